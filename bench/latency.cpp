/* latency.cpp -- key-to-reply latency of a door-kit session over loopback
 * telnet, as a caller feels it.
 *
 * A tiny door runs on its own thread: it reads keys with od_get_key and
 * answers each with a short line, and every fifth key with a full-screen
 * redraw of about 2 KB. The caller (this program's main thread) sends keys
 * one at a time, like a person typing, and for each key measures the time
 * to the first byte and to the last byte of the answer. Prints p50 and p99
 * of both.
 *
 *   bench_latency [keys]      (default 500) */
#include "ODCom.h"
#include "doorkit.h"

#include "bench_net.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

/* An 80 x 24 screen: clear, a CP437 frame, coloured text. No IAC bytes and
 * no bare CRs, so the wire length equals the buffer length. */
static std::string FullScreen(char key)
{
    std::string s = "\x1b[0m\x1b[2J\x1b[1;1H\x1b[1;33;44m\xc9";
    s += std::string(78, '\xcd');
    s += "\xbb\r\n";
    for (int row = 2; row < 24; row++) {
        s += "\xba\x1b[0;37;40m";
        char line[80];
        snprintf(line, sizeof line, " row %2d: you pressed '%c' -- the lobby redraws itself here", row, key);
        std::string text = line;
        text.resize(78, ' ');
        s += text + "\x1b[1;33;44m\xba\r\n";
    }
    return s;
}

static std::string ShortReply(char key)
{
    char line[64];
    snprintf(line, sizeof line, "\x1b[5;10H\x1b[1;32mKey: %c\x1b[0m", key);
    return line;
}

static void DoorLoop(int fd)
{
    od_control.remote_bps = 115200;
    od_control.open_handle = (uint64_t)fd;
    od_control.handle_is_socket = 1;
    bODComTelnetSocket = 1;
    od_init();
    for (;;) {
        char key = od_get_key(1);
        if (key == 0 || key == 'Q') break;
        std::string reply = key == 'S' ? FullScreen(key) : ShortReply(key);
        ODComSendBuffer(hSerialPort, (const uint8_t *)reply.data(), (int)reply.size());
    }
}

int main(int argc, char **argv)
{
    int keys = argc > 1 ? atoi(argv[1]) : 500;
    if (keys < 10) keys = 10;

    int caller = -1, door = -1;
    if (!LoopbackPair(&caller, &door)) return 1;

    std::thread door_thread(DoorLoop, door);

    std::vector<uint64_t> first_small, last_small, first_full, last_full, first_all, last_all;
    for (int i = 0; i < keys; i++) {
        char key = i % 5 == 4 ? 'S' : (char)('a' + i % 26);
        size_t expected = key == 'S' ? FullScreen(key).size() : ShortReply(key).size();
        /* Typing pace: the door is back in its wait before the key comes. */
        usleep(2000 + (unsigned)(i * 7919 % 3000));
        uint64_t sent = NowMicros();
        if (send(caller, &key, 1, 0) != 1) {
            perror("send");
            return 1;
        }
        std::string received;
        uint64_t first = 0;
        while (received.size() < expected) {
            if (!ReceiveSome(caller, received, 5000)) {
                fprintf(stderr, "no answer to key %d (or the door closed)\n", i);
                return 1;
            }
            if (!first) first = NowMicros();
        }
        uint64_t last = NowMicros();
        (key == 'S' ? first_full : first_small).push_back(first - sent);
        (key == 'S' ? last_full : last_small).push_back(last - sent);
        first_all.push_back(first - sent);
        last_all.push_back(last - sent);
    }
    char quit = 'Q';
    send(caller, &quit, 1, 0);
    door_thread.join();
    close(caller);

    printf("door-kit key latency over loopback telnet, %d keys (every 5th a %zu-byte screen)\n", keys,
           FullScreen('S').size());
    printf("%-22s %10s %10s %10s %10s\n", "", "first p50", "first p99", "last p50", "last p99");
    struct Row { const char *name; std::vector<uint64_t> *first, *last; } rows[] = {
        {"all keys", &first_all, &last_all},
        {"short answers", &first_small, &last_small},
        {"full-screen answers", &first_full, &last_full},
    };
    for (const Row &r : rows)
        printf("%-22s %8.3fms %8.3fms %8.3fms %8.3fms\n", r.name, Percentile(*r.first, 0.50) / 1000.0,
               Percentile(*r.first, 0.99) / 1000.0, Percentile(*r.last, 0.50) / 1000.0,
               Percentile(*r.last, 0.99) / 1000.0);
    uint64_t p99 = Percentile(last_all, 0.99);
    printf("target p99 <= 5 ms for the whole answer: %s\n", p99 <= 5000 ? "met" : "NOT met");
    return 0;
}
