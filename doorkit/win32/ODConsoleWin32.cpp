/* ODConsoleWin32.cpp -- the local display on Windows is the frame window;
 * until it is built a Windows session runs without one, as in silent mode,
 * and a local session keeps the sysop's name for the caller. */
#include "../ODConsole.h"

int ODConsoleStart(int prompt_for_name, char *name, size_t name_size)
{
    (void)prompt_for_name;
    (void)name;
    (void)name_size;
    return OD_CONSOLE_NONE;
}

void ODConsoleShutdown(void) {}
void ODConsoleShowMessage(const char *text) { (void)text; }
void ODConsoleRemoveMessage(void) {}
void ODConsoleRestoreTerminal(void) {}

int ODConsoleActive(void)
{
    return 0;
}
