/* console.cpp (Windows) -- a window-subsystem program has no console: make
 * one and point the standard streams at it for the settings dialogue. */
#include <windows.h>

#include <stdio.h>

#include "grimby.h"

void game_console_open(void)
{
    AllocConsole();
    if (!freopen("CONIN$", "r", stdin)) return;
    if (!freopen("CONOUT$", "w", stdout)) return;
}
