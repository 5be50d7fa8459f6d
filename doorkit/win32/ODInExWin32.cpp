/* ODInExWin32.cpp -- the Windows half of start-up and exit: a fatal start-up
 * message in a task-modal message box. */
#include <windows.h>

#include "../ODInEx.h"

void ODInExShowFatalError(const char *title, const char *text)
{
    MessageBoxA(nullptr, text, title, MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}
