/* ODKrnlSignalWin32.cpp -- the Windows side of the termination signals:
 * a window-subsystem door has no console to be signalled through, and a
 * BBS ends a Windows door by dropping the caller's line, which the kernel's
 * carrier check notices. */
#include "../ODKrnl.h"

int ODKrnlSignalInstall(void)
{
    return 1;
}

void ODKrnlSignalSetWake(int64_t wake_handle)
{
    (void)wake_handle;
}

int ODKrnlSignalPending(void)
{
    return 0;
}
