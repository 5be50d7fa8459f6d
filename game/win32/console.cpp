/* console.cpp (Windows) -- a window-subsystem program has no console: make
 * one and point the standard streams at it for the settings dialogue, or
 * find one for a report. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "grimby.h"

void game_console_open(void)
{
    AllocConsole();
    if (!freopen("CONIN$", "r", stdin)) return;
    if (!freopen("CONOUT$", "w", stdout)) return;
}

void game_console_report(const char *text)
{
    /* Redirected to a file or pipe: write there, and wait for no one. */
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN) {
        size_t left = strlen(text);
        DWORD written = 0;
        while (left > 0 && WriteFile(out, text, left > 65536 ? 65536 : (DWORD)left, &written, nullptr) && written) {
            text += written;
            left -= written;
        }
        return;
    }
    int own = !AttachConsole(ATTACH_PARENT_PROCESS);
    if (own) AllocConsole();
    if (!freopen("CONOUT$", "w", stdout)) return;
    fputs(text, stdout);
    if (own && freopen("CONIN$", "r", stdin)) {
        /* A console of our own closes with us. */
        fputs("Press Enter to close.", stdout);
        fflush(stdout);
        getchar();
    }
    fflush(stdout);
}
