/* demo.cpp -- the door kit's small demo session, the stand-in for the game
 * until the game itself lands. */
#include "doorkit.h"
#include "grimby.h"

#include <string.h>

int grimby_main(const char *command_line)
{
    (void)command_line;
    strcpy(od_control.program_name, "GRIMBY - Almanac");
    strcpy(od_control.program_version, "2.0.0");
    od_control.always_clear_screen = 1;
    od_init();
    od_clr_scr();
    od_set_color(14, 1);
    od_set_cursor(2, 10);
    od_disp_str(" GRIMBY door kit demo ");
    od_set_color(7, 0);
    od_set_cursor(4, 10);
    od_disp_str("Press keys; Q quits.");
    for (;;) {
        char key = od_get_key(1);
        if (key == 0) break;
        if (key == 'q' || key == 'Q') break;
        od_set_cursor(6, 10);
        od_set_color(10, 0);
        od_disp_str("Key: ");
        char text[2] = {key, 0};
        od_disp_str(text);
    }
    od_set_color(7, 0);
    od_disp_str("\r\n");
    od_exit(0, 0);
    return 0;
}
