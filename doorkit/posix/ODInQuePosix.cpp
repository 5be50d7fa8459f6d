/* ODInQuePosix.cpp -- the input queue's wake handle on Linux: an eventfd
 * that a wait can poll together with the caller's connection. */
#include "../ODInQue.h"

#include <errno.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

int64_t ODInQueuePlatWakeAlloc(void)
{
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd < 0 ? -1 : (int64_t)fd;
}

void ODInQueuePlatWakeFree(int64_t wake)
{
    if (wake >= 0) close((int)wake);
}

void ODInQueuePlatWakeSignal(int64_t wake)
{
    if (wake < 0) return;
    uint64_t one = 1;
    /* A full counter (EAGAIN) is still signalled: nothing to do. */
    while (write((int)wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void ODInQueuePlatWakeClear(int64_t wake)
{
    if (wake < 0) return;
    uint64_t count;
    while (read((int)wake, &count, sizeof count) < 0 && errno == EINTR) {
    }
}
