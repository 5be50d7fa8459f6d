/* ODCore.cpp -- core output and input calls.
 * Placeholder until the terminal I/O layer lands: writes ANSI to standard
 * output and reads keys from standard input. */
#include "doorkit.h"
#include "ODSync.h"
#include "ODPlat.h"

#include <stdio.h>
#include <string.h>

void od_disp_str(const char *text)
{
    ODPublicCall call;
    if (!call.entered) return;
    if (!text) {
        od_control.last_error = ODERR_PARAM;
        return;
    }
    fputs(text, stdout);
    fflush(stdout);
}

void od_clr_scr(void)
{
    od_disp_str("\x1b[2J\x1b[1;1H");
}

void od_set_color(int foreground, int background)
{
    static const int ansi[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    char sequence[32];
    snprintf(sequence, sizeof sequence, "\x1b[0;%s3%d;4%dm", (foreground & 8) ? "1;" : "",
             ansi[foreground & 7], ansi[background & 7]);
    od_disp_str(sequence);
}

int od_set_cursor(int row, int column)
{
    char sequence[32];
    snprintf(sequence, sizeof sequence, "\x1b[%d;%dH", row, column);
    od_disp_str(sequence);
    return 1;
}
