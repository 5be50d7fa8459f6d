/* ODConsoleWin32.cpp -- on Windows the sysop's local display is the frame
 * window (ODFrameWin32.cpp); start-up and exit reach it through the same
 * calls as the Linux console. */
#include <windows.h>

#include "../ODConsole.h"
#include "../ODFrame.h"
#include "../doorkit.h"

static int bODFrameRunning = 0;
static int bODFrameLingers = 0;

int ODConsoleStart(int prompt_for_name, char *name, size_t name_size)
{
    if (bODFrameRunning) return OD_CONSOLE_STARTED;
    if (od_control.silent_mode) return OD_CONSOLE_NONE;
    /* The kit's resources live in a DOORKIT module when one is loaded,
     * else in the program itself. */
    HMODULE module = GetModuleHandleA("DOORKIT");
    if (!module) module = GetModuleHandleA(nullptr);
    int rc = ODFrameStart(module, prompt_for_name, name, name_size);
    if (rc == OD_FRAME_CANCELLED) return OD_CONSOLE_CANCELLED;
    if (rc != OD_FRAME_STARTED) return OD_CONSOLE_FAILED;
    bODFrameRunning = 1;
    return OD_CONSOLE_STARTED;
}

void ODConsoleShutdown(void)
{
    if (!bODFrameRunning) return;
    if (!ODFrameShutdown()) bODFrameLingers = 1;
    bODFrameRunning = 0;
}

int ODConsoleLingers(void)
{
    return bODFrameLingers;
}

void ODConsoleShowMessage(const char *text)
{
    ODScrnShowMessage(text);
}

void ODConsoleRemoveMessage(void)
{
    ODScrnRemoveMessage();
}

void ODConsoleRestoreTerminal(void) {}

int ODConsoleActive(void)
{
    return bODFrameRunning;
}
