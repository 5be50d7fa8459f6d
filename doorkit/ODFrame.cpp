/* ODFrame.cpp -- the frame window's rules that are the same on every
 * window system: notice coalescing, the spinner's direction, the About
 * line, check marks and the caption. */
#include "ODFrame.h"

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
static long ODFrameExchange(volatile long *flag, long value)
{
    return InterlockedExchange((LONG volatile *)flag, value);
}
#else
static long ODFrameExchange(volatile long *flag, long value)
{
    return __atomic_exchange_n(flag, value, __ATOMIC_SEQ_CST);
}
#endif

int ODFrameNoticeChanged(volatile long *dirty, tODFramePostFunc post, void *argument)
{
    if (ODFrameExchange(dirty, 1) != 0) return 0;
    if (post(argument)) return 1;
    ODFrameExchange(dirty, 0);
    return 0;
}

void ODFrameNoticeTaken(volatile long *dirty)
{
    ODFrameExchange(dirty, 0);
}

int ODFrameSpinnerMinutes(int delta)
{
    return delta;
}

const char *ODFrameAboutTitle(const tODKrnlUIState *state)
{
    if (!state->szProgramName[0] || strcmp(state->szProgramName, "DoorKit") == 0) return "BBS Door Program";
    return state->szProgramName;
}

void ODFrameGetChecks(const tODKrnlUIState *state, tODFrameChecks *checks)
{
    checks->bChat = state->bChatActive != 0;
    checks->bKeyboardOff = !state->bKeyboardOn;
    checks->bSysopNext = state->bSysopNext != 0;
    checks->bInactivityOn = !state->bInactivityOff;
}

int ODFrameCaption(const tODKrnlUIState *state, char *out, size_t out_size)
{
    int wants = state->bWantsChat && !state->bChatActive;
    if (wants)
        snprintf(out, out_size, "%s - User Wants Chat", state->szProgramName);
    else
        snprintf(out, out_size, "%s", state->szProgramName);
    return wants;
}
