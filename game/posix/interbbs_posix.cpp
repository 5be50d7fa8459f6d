/* interbbs_posix.cpp -- starting the score hub sync worker on Linux: its own
 * session, standard streams on /dev/null, none of the game's descriptors
 * (the caller's socket above all), and never a wait for it. */
#include "interbbs.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

/* Workers this process started and has not collected yet. Each session
 * starts at most two (arrival and exit), so a small table is plenty; a
 * worker still running when the game ends is adopted and collected by the
 * system. Only these ids are ever waited for: a process-wide change to
 * SIGCHLD would take other children's exit codes from whoever waits for
 * them. */
#define INTERBBS_WORKERS_TRACKED 8
static pid_t aInterbbsWorkers[INTERBBS_WORKERS_TRACKED];

void interbbs_reap_workers(void)
{
    for (int i = 0; i < INTERBBS_WORKERS_TRACKED; i++) {
        if (aInterbbsWorkers[i] <= 0) continue;
        int status;
        pid_t done = waitpid(aInterbbsWorkers[i], &status, WNOHANG);
        if (done == aInterbbsWorkers[i] || (done < 0 && errno != EINTR))
            aInterbbsWorkers[i] = 0;
    }
}

int interbbs_start_worker(const char *program)
{
    if (!program || access(program, X_OK) != 0) return 0;
    int slot = -1;
    for (int i = 0; i < INTERBBS_WORKERS_TRACKED && slot < 0; i++)
        if (aInterbbsWorkers[i] <= 0) slot = i;
    if (slot < 0) return 0; /* every slot holds a worker still running */

    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    if (posix_spawnattr_init(&attributes) != 0) return 0;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        posix_spawnattr_destroy(&attributes);
        return 0;
    }
    /* A session of its own, so the caller's hang-up signals do not reach
     * it, with default signal handling and nothing blocked. */
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    int ok = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                       POSIX_SPAWN_SETSIGDEF) == 0 &&
             posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
             posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
             posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
             posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
             posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0) == 0;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    ok = ok && posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
#else
    for (int fd = 3; ok && fd < 1024; fd++)
        if (fcntl(fd, F_GETFD) >= 0) ok = posix_spawn_file_actions_addclose(&actions, fd) == 0;
#endif
    pid_t pid = 0;
    if (ok) {
        char *argv[2] = {const_cast<char *>(program), nullptr};
        ok = posix_spawn(&pid, program, &actions, &attributes, argv, environ) == 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (!ok) return 0;
    aInterbbsWorkers[slot] = pid;
    return 1;
}
