/* console.cpp (Linux) -- the console settings mode runs on the terminal the
 * sysop started it from; nothing to open. */
#include "grimby.h"

#include <stdio.h>

void game_console_open(void) {}

void game_console_report(const char *text)
{
    fputs(text, stdout);
    fflush(stdout);
}
