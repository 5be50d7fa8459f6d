/* output_latency.cpp -- key-to-screen latency when the door draws with the
 * kit's output calls, as a game does: one call per colour change, cursor
 * move and piece of text, about 120 calls for a full screen.
 *
 * Runs twice over loopback telnet: with the output collected into one send
 * per screen (as the kit does), and with every call sent on its own (the
 * collection switched off), and prints p50 and p99 of the time to the
 * first and the last byte of each answer.
 *
 *   bench_output_latency [keys]      (default 300) */
#include "ODCom.h"
#include "ODCore.h"
#include "ODPlat.h"
#include "ODScrn.h"
#include "ODSync.h"
#include "doorkit.h"

#include "bench_net.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

/* A lobby-like screen drawn call by call; ends with a 0x01 byte so the
 * caller knows the answer is complete. */
static void DrawScreen(int key)
{
    od_clr_scr();
    od_set_color(14, 1);
    od_set_cursor(1, 1);
    od_repeat('\xcd', 79);
    for (int row = 3; row < 22; row++) {
        od_set_cursor(row, 3);
        od_set_color(row % 2 ? 11 : 10, 0);
        od_printf("[%c]", 'A' + row);
        od_set_color(7, 0);
        od_disp_str(" a line of the menu, the kind the lobby draws");
        od_printf(" `bright white`%d", key + row);
    }
    od_set_cursor(23, 3);
    od_disp_str("\x01");
}

static void ShortAnswer(int key)
{
    od_set_cursor(5, 10);
    od_set_color(10, 0);
    od_printf("Key: %c\x01", key);
}

static bool bCollect = true;

static void DoorLoop(int fd)
{
    od_control.remote_bps = 115200;
    od_control.open_handle = (uint64_t)fd;
    od_control.handle_is_socket = 1;
    od_control.caller_ansi = 1;
    od_control.caller_screen_width = 80;
    od_control.caller_screen_length = 25;
    bODComTelnetSocket = 1;
    od_init();
    od_control.always_clear_screen = 1;
    od_control.current_attribute = -1;
    od_control.color_delimiter = '`';
    ODScrnInitialize();
    ODSessionScreenInitialize(80, 25);
    if (!bCollect) {
        /* Every output call sent on its own, as without collection. */
        pfODSyncPublishScreen = nullptr;
        ODPlatSetSleepHook(nullptr);
    }
    for (;;) {
        char key = od_get_key(1);
        if (key == 0 || key == 'Q') break;
        if (key == 'S')
            DrawScreen(key);
        else
            ShortAnswer(key);
    }
}

static int RunSession(int keys)
{
    int caller = -1, door = -1;
    if (!LoopbackPair(&caller, &door)) return 1;

    std::thread door_thread(DoorLoop, door);

    std::vector<uint64_t> first_all, last_all, last_full;
    std::string received;
    for (int i = 0; i < keys; i++) {
        char key = i % 5 == 4 ? 'S' : (char)('a' + i % 26);
        usleep(2000 + (unsigned)(i * 7919 % 3000));
        uint64_t sent = NowMicros();
        if (send(caller, &key, 1, 0) != 1) {
            perror("send");
            return 1;
        }
        uint64_t first = 0;
        received.clear();
        while (received.find('\x01') == std::string::npos) {
            if (!ReceiveSome(caller, received, 5000)) {
                fprintf(stderr, "no answer to key %d (or the door closed)\n", i);
                return 1;
            }
            if (!first) first = NowMicros();
        }
        uint64_t last = NowMicros();
        first_all.push_back(first - sent);
        last_all.push_back(last - sent);
        if (key == 'S') last_full.push_back(last - sent);
    }
    char quit = 'Q';
    send(caller, &quit, 1, 0);
    door_thread.join();
    close(caller);

    printf("%-32s %8.3fms %8.3fms %8.3fms %8.3fms %8.3fms\n",
           bCollect ? "collected, one send per answer" : "one send per output call",
           Percentile(first_all, 0.50) / 1000.0, Percentile(first_all, 0.99) / 1000.0,
           Percentile(last_all, 0.50) / 1000.0, Percentile(last_all, 0.99) / 1000.0,
           Percentile(last_full, 0.99) / 1000.0);
    return 0;
}

int main(int argc, char **argv)
{
    int keys = argc > 1 ? atoi(argv[1]) : 300;
    if (keys < 10) keys = 10;
    printf("key-to-answer latency over loopback telnet, %d keys, every 5th a full screen of output calls\n", keys);
    printf("%-32s %10s %10s %10s %10s %10s\n", "", "first p50", "first p99", "last p50", "last p99",
           "screen p99");
    /* The kit is one session per process: the second run is a child. */
    if (argc > 2 && strcmp(argv[2], "--single") == 0) {
        bCollect = false;
        return RunSession(keys);
    }
    fflush(stdout);
    int rc = RunSession(keys);
    if (rc != 0) return rc;
    fflush(stdout);
    char command[512];
    snprintf(command, sizeof command, "'%s' %d --single | tail -n 1", argv[0], keys);
    return system(command) == 0 ? 0 : 1;
}
