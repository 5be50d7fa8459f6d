/* ODKrnlSignalPosix.cpp -- how a Linux BBS ends a door: SIGHUP when the
 * caller's line drops, then SIGTERM, then SIGKILL. The first two (and
 * SIGINT) become a lost carrier, so the session ends through the normal
 * exit path; the handler itself only records the signal and wakes the wait. */
#include "../ODKrnl.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t nODSignalCaught = 0;
static volatile sig_atomic_t nODSignalWakeFd = -1;
static int bODSignalInstalled = 0;

static void ODKrnlSignalHandler(int signal_number)
{
    int saved = errno;
    nODSignalCaught = signal_number;
    int fd = nODSignalWakeFd;
    if (fd >= 0) {
        /* The input queue's eventfd: a wait polling it ends at once. */
        uint64_t one = 1;
        ssize_t written = write(fd, &one, sizeof one);
        (void)written;
    }
    errno = saved;
}

int ODKrnlSignalInstall(void)
{
    if (bODSignalInstalled) return 1;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = ODKrnlSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    int ok = 1;
    static const int aSignals[] = {SIGHUP, SIGTERM, SIGINT};
    for (int signal_number : aSignals) {
        struct sigaction previous;
        /* A signal the process was told to ignore (nohup) stays ignored. */
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        if (sigaction(signal_number, &action, nullptr) != 0) ok = 0;
    }
    /* A caller gone from a socket or pipe must be a failed write that the
     * carrier check notices, not the death of the door. */
    signal(SIGPIPE, SIG_IGN);
    bODSignalInstalled = 1;
    return ok;
}

void ODKrnlSignalSetWake(int64_t wake_handle)
{
    nODSignalWakeFd = (wake_handle >= 0 && wake_handle <= 0x7FFFFFFF) ? (sig_atomic_t)wake_handle : -1;
    /* A signal that came before there was anything to wake. */
    if (nODSignalCaught && nODSignalWakeFd >= 0) {
        uint64_t one = 1;
        ssize_t written = write((int)nODSignalWakeFd, &one, sizeof one);
        (void)written;
    }
}

int ODKrnlSignalPending(void)
{
    return nODSignalCaught;
}
