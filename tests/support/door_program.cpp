// door_program.cpp -- the test door: a door program as small as the game's
// own start-up and lobby, run by a test binary started the way a BBS
// starts a door.
#include "door_program.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

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

int DoorMain()
{
    pszMarkPath = getenv("DOORKIT_TEST_MARK");
    const char *args = getenv("DOORKIT_TEST_DOOR_ARGS");
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
