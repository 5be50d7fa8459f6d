/* ODFrame.h -- the sysop's local frame window (Windows: win32/ODFrameWin32.cpp
 * with the screen window of win32/ODScrnWin32.cpp). The rules the frame
 * follows that do not depend on the window system live in ODFrame.cpp, so
 * they are the same in every build and tested natively. */
#ifndef ODFRAME_H
#define ODFRAME_H

#include <stddef.h>
#include <stdint.h>

#include "ODKrnl.h"

/* Results of ODFrameStart; the same numbers as the local console's. */
#define OD_FRAME_STARTED   0
#define OD_FRAME_FAILED    1
#define OD_FRAME_CANCELLED 2

/* How long start-up waits for the frame before it is judged not to start,
 * and how long exit waits for the frame thread before leaving it behind. */
#define OD_FRAME_START_WAIT_MS 10000
#define OD_FRAME_STOP_WAIT_MS   5000

/* Game thread. Starts the frame thread and waits for it (see above). With
 * prompt_for_name the local login dialog asks for the caller's name first,
 * name (name_size bytes) holding the proposal and receiving the answer. */
int  ODFrameStart(void *instance, int prompt_for_name, char *name, size_t name_size);
/* Ends the frame (no shutdown request) and waits, at most
 * OD_FRAME_STOP_WAIT_MS, for its thread: 1 when it ended (or none ran), 0
 * when it runs on. Safe when no frame runs. */
int  ODFrameShutdown(void);
/* The kernel's notice that its snapshot changed; any thread. */
void ODFrameControlStateChanged(void);
/* A one-line notice in the message dialog, and its removal. */
void ODScrnShowMessage(const char *text);
void ODScrnRemoveMessage(void);

/* ---- portable rules ---- */

/* A burst of state changes costs one refresh: the notice is posted only
 * when none is pending. post returns non-zero when the message went out;
 * a failed post leaves no notice pending, so the next change tries again.
 * The frame clears the flag (ODFrameNoticeTaken) before it reads the
 * snapshot, so a change during the refresh posts again. */
typedef int (*tODFramePostFunc)(void *argument);
int  ODFrameNoticeChanged(volatile long *dirty, tODFramePostFunc post, void *argument);
void ODFrameNoticeTaken(volatile long *dirty);

/* Minutes the time spinner asks for on a step of the control. The control
 * counts upward from 0 to 1440, so its up arrow steps by a positive delta:
 * it adds time, as the Add commands do. */
int ODFrameSpinnerMinutes(int delta);

/* The About box's first line: the program's name, or "BBS Door Program"
 * while the program has not named itself. */
const char *ODFrameAboutTitle(const tODKrnlUIState *state);

/* Menu check marks and pressed buttons for the snapshot. */
typedef struct {
    int bChat;          /* Chat Mode: chat is running */
    int bKeyboardOff;   /* User Keyboard Off: the caller's keys are ignored */
    int bSysopNext;
    int bInactivityOn;  /* Inactivity Timer: the check is on */
} tODFrameChecks;
void ODFrameGetChecks(const tODKrnlUIState *state, tODFrameChecks *checks);

/* The caption: the program name, or "%s - User Wants Chat" while the caller
 * wants chat and no chat is running. Returns whether the caller wants chat
 * (the caption then flashes). */
int ODFrameCaption(const tODKrnlUIState *state, char *out, size_t out_size);

#endif
