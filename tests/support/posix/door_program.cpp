// door_program.cpp -- the test door: a door program as small as the game's
// own start-up and lobby, run by a test binary started the way a BBS
// starts a door.
#include "door_program.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "ODPlat.h"
#include "doorkit.h"

namespace {

const char *pszMarkPath = nullptr;

void Mark(const char *text)
{
    if (!pszMarkPath) return;
    FILE *file = fopen(pszMarkPath, "a");
    if (!file) return;
    fprintf(file, "%s\n", text);
    fclose(file);
}

// As the game asks: a local session has no carrier to hold.
int Online()
{
    od_control.last_error = 0;
    if (od_carrier()) return 1;
    return od_control.last_error == ODERR_NOREMOTE;
}

// Plays the BBS's part for a door started where the test cannot hand it a
// descriptor (a terminal that tmux runs): connects to the test's caller on
// loopback TCP and writes a DOOR32.SYS naming that socket.
std::string ConnectAsTheBBS(const char *port, const char *args)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)atoi(port));
    if (fd < 0 || connect(fd, (struct sockaddr *)&address, sizeof address) != 0) exit(125);
    FILE *drop = fopen("DOOR32.SYS", "w");
    if (!drop) exit(124);
    fprintf(drop, "2\r\n%d\r\n38400\r\nTest BBS\r\n5\r\nRemote Rita\r\nRita\r\n20\r\n30\r\n1\r\n2\r\n", fd);
    fclose(drop);
    return std::string(args ? args : "") + " -D DOOR32.SYS";
}

int DoorMain()
{
    pszMarkPath = getenv("DOORKIT_TEST_MARK");
    const char *args = getenv("DOORKIT_TEST_DOOR_ARGS");
    std::string connected;
    const char *bbs_port = getenv("DOORKIT_TEST_CONNECT");
    if (bbs_port) {
        connected = ConnectAsTheBBS(bbs_port, args);
        args = connected.c_str();
    }
    const char *virtual_clock = getenv("DOORKIT_TEST_VIRTUAL");
    if (virtual_clock && !strcmp(virtual_clock, "1")) ODPlatClockUseVirtual(1000000, (int64_t)time(nullptr));
    snprintf(od_control.program_name, sizeof od_control.program_name, "%s", "Test Door");
    od_control.always_clear_screen = 1;
    od_parse_cmd_line(args ? args : "");
    od_init();

    char line[200];
    snprintf(line, sizeof line, "started name=%s handle=%s node=%u left=%d remote=%u method=%u kind=%u",
             od_control.caller_name, od_control.caller_handle, (unsigned)od_control.node,
             (int)(int16_t)od_control.caller_time_left, (unsigned)(od_control.remote_bps != 0),
             (unsigned)od_control.com_method, (unsigned)od_control.drop_file_kind);
    Mark(line);
    snprintf(line, sizeof line, "id=%s", od_get_user_id());
    Mark(line);
    snprintf(line, sizeof line, "pid=%d", (int)getpid());
    Mark(line);
    const char *move_to = getenv("DOORKIT_TEST_CHDIR");
    if (move_to) ODDirChangeCurrent(move_to);

    od_clr_scr();
    od_disp_str("TEST DOOR ");
    od_disp_str(od_control.caller_name);
    od_disp_str("\r\nPress Q to quit.\r\n");
    while (Online()) {
        tODInputEvent event;
        if (!od_get_input(&event, 200, GETIN_NORMAL)) continue;
        if (event.EventType != EVENT_CHARACTER) continue;
        if (event.chKeyPress == 'q' || event.chKeyPress == 'Q') {
            Mark("quit");
            od_exit(7, 0);
            return 7;
        }
        char echo[16];
        snprintf(echo, sizeof echo, "key %c\r\n", event.chKeyPress >= 32 ? event.chKeyPress : '?');
        od_disp_str(echo);
    }
    Mark("exit-steps");
    od_exit(0, 0);
    return 0;
}

}  // namespace

void TestDoorRunIfAsked()
{
    if (!getenv(TEST_DOOR_ENV)) return;
    exit(DoorMain());
}
