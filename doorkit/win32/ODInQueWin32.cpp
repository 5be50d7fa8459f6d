/* ODInQueWin32.cpp -- the input queue's wake handle on Windows: a
 * manual-reset event that a wait can watch together with the connection. */
#include "../ODInQue.h"

#include <windows.h>

int64_t ODInQueuePlatWakeAlloc(void)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event ? (int64_t)(intptr_t)event : -1;
}

void ODInQueuePlatWakeFree(int64_t wake)
{
    if (wake >= 0) CloseHandle((HANDLE)(intptr_t)wake);
}

void ODInQueuePlatWakeSignal(int64_t wake)
{
    if (wake >= 0) SetEvent((HANDLE)(intptr_t)wake);
}

void ODInQueuePlatWakeClear(int64_t wake)
{
    if (wake >= 0) ResetEvent((HANDLE)(intptr_t)wake);
}
