/* stdout_session.h -- a door session whose caller is standard output, for
 * the developer tools and benchmarks that catch what a screen sends. */
#ifndef STDOUT_SESSION_H
#define STDOUT_SESSION_H

#include <unistd.h>

#include "ODCmdLn.h"
#include "doorkit.h"

/* The drawing goes to a caller on standard output, as a door runs on a
 * pseudo-terminal; nothing may end the session while the clock is moved. */
static inline void start_stdout_session(void)
{
    /* The caller's input: a line that stays open and silent. */
    int line[2];
    if (pipe(line) == 0) dup2(line[0], 0);
    bODUseStdio = 1;
    od_control.caller_ansi = 1;
    od_control.silent_mode = 1;
    od_init();
    od_control.inactivity_seconds = 0;
    od_control.disable_flags |= OD_DISABLE_TIME_LIMIT;
}

#endif
