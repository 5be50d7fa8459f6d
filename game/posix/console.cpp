/* console.cpp (Linux) -- the console settings mode runs on the terminal the
 * sysop started it from; nothing to open. */
#include "grimby.h"

void game_console_open(void) {}
