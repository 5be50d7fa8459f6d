// Keeps the Wine desktop up for a whole test run. Wine starts its desktop
// process from the first program that needs it, and that process inherits
// the program's standard handles: were it a test, the test runner's pipe
// would stay open until the desktop closed, long after the test ended. The
// run starts this first, with nothing on its handles, and ends it with the
// wineserver.
#include <windows.h>

int main()
{
    if (!GetDesktopWindow()) return 1;
    // A message queue on the desktop: the desktop counts this thread as a
    // user and so stays open.
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    for (;;) Sleep(INFINITE);
}
