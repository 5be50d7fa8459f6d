/* interbbs_win32.cpp -- starting the score hub sync worker on Windows:
 * hidden, detached from any console, inheriting no handles, not waited for. */
#include <windows.h>

#include <string.h>

#include "interbbs.h"

int interbbs_start_worker(const char *program)
{
    if (!program) return 0;
    char command_line[MAX_PATH];
    size_t length = strlen(program);
    if (length == 0 || length >= sizeof command_line) return 0;
    memcpy(command_line, program, length + 1); /* CreateProcessA may write to it */

    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    ZeroMemory(&process, sizeof process);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    if (!CreateProcessA(program, command_line, nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | DETACHED_PROCESS, nullptr, nullptr, &startup, &process))
        return 0;
    /* Never waited for: the handles go at once, and Windows keeps no
     * leftovers of an ended process that nobody holds. */
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 1;
}

void interbbs_reap_workers(void)
{
}
