/* ODKrnl.h -- the kernel: the door kit's periodic housekeeping pass (carrier,
 * inactivity, time limits), the sysop's requests from the local display,
 * sysop chat, the kit timers, the session clock and od_sleep. */
#ifndef ODKRNL_H
#define ODKRNL_H

#include <stdint.h>

/* A kit timer: start tick and duration in milliseconds of the kit clock,
 * compared with unsigned wrap-around. */
typedef struct {
    uint32_t dwStart;
    uint32_t dwDuration;
} tODTimer;

void     ODTimerStart(tODTimer *timer, uint32_t duration_ms);
int      ODTimerElapsed(const tODTimer *timer);
uint32_t ODTimerLeft(const tODTimer *timer);
void     ODTimerWaitForElapse(const tODTimer *timer);

/* Time since start-up on the kit's monotonic clock; never goes backwards.
 * Either output may be null. */
void ODSessionTimeInitialize(void);
void ODSessionTimeGet(uint32_t *seconds, uint16_t *milliseconds);

extern int      bKernelActive;  /* a pass is running */
extern tODTimer RunKernelTimer; /* restarted by every pass; 250 ms */
/* The longest an input wait may sleep before looking again; a pass that
 * received bytes sets it to 0, the next wait puts it back. */
extern uint32_t ODMaxMSToWait;

/* Session clock second at which the next minute is taken off the caller. */
extern int64_t  nNextTimeDeductTime;
extern int      nLastInactivitySetting;
extern int      bWarnedAboutInactivity;

#define OD_KERNEL_PERIOD_MS 250
#define OD_WAIT_SLICE_MS     50

/* Start-up: the request lock, the first time deduction 60 seconds ahead,
 * the pass and the request dispatch registered with the API nesting layer.
 * 0 when requests are already queued or the lock cannot be made. */
int  ODKrnlInitialize(void);
/* Frees queued requests and the lock, unhooks the kernel. */
void ODKrnlShutdown(void);

/* One kernel pass, for callers already inside a public call (the input and
 * output calls); od_kernel is the public form. Does nothing while a pass is
 * running or once the session is no longer running. */
void ODKrnlRunPass(void);

/* Whether the caller has gone: no carrier on the line, or the BBS
 * signalled the door to end. */
int  ODKrnlCallerGone(void);

/* Carries out the queued requests of the local display in order (API entry
 * and outermost exit, through pfODSyncDispatchRequests). */
void ODKrnlDispatchPending(void);

/* Sysop chat: runs until the sysop ends it (Escape, or the chat request
 * again) or the session stops. Game thread, inside a public call. */
void ODKrnlChatMode(void);

/* A key typed at the local keyboard: scan code in the high byte, character
 * in the low byte. Safe from the local display's thread. */
void ODKrnlHandleLocalKey(uint16_t key);

/* Sets the next time deduction to fall due the given number of seconds
 * from now (start-up uses it for a BBS deadline). */
void ODKrnlSetNextDeduction(int64_t seconds_from_now);

/* ---- requests from the local display (any thread) ----
 * Honoured only while the session runs. A toggle flips the snapshot at
 * once and queues the new value; a failed allocation beeps and drops the
 * request. */
#define OD_REQ_CHAT        0
#define OD_REQ_KEYBOARD    1
#define OD_REQ_SYSOP_NEXT  2
#define OD_REQ_INACTIVITY  3
#define OD_REQ_TIME        4
#define OD_REQ_LOCKOUT     5
#define OD_REQ_SHUTDOWN    6

/* Exit reasons (request 6 and the kernel's own): the error level is the
 * reason minus 1; 3 and 5 hang up. */
#define OD_REASON_CRITICAL    1
#define OD_REASON_CARRIER     2
#define OD_REASON_HANGUP      3
#define OD_REASON_TIME        4
#define OD_REASON_INACTIVITY  5
#define OD_REASON_RETURNED    6

void ODKrnlRequestChatToggle(void);
void ODKrnlRequestKeyboardToggle(void);
void ODKrnlRequestSysopNextToggle(void);
void ODKrnlRequestInactivityToggle(void);
void ODKrnlRequestTimeAdjustment(int minutes);
void ODKrnlRequestLockout(void);
void ODKrnlRequestShutdown(int reason);

/* What the local display shows of the session, copied under the lock. */
typedef struct {
    char     szProgramName[40];
    char     szProgramVersion[40];
    char     szCallerName[36];
    char     szCallerLocation[26];
    char     szChatReason[78];
    int32_t  bRemote;
    uint32_t dwSpeed;
    uint16_t wNode;
    int32_t  nTimeLeft;
    int32_t  nCmdShow;
    int32_t  bWantsChat;
    int32_t  bInactivityOff;
    int32_t  bSysopNext;
    int32_t  bKeyboardOn;
    int32_t  bChatActive;
    int32_t  bRunning;  /* requests are honoured */
    int32_t  bStopping; /* the session is ending */
} tODKrnlUIState;

/* 1 with the snapshot copied; 0 before the kernel has one. */
int  ODKrnlGetUIState(tODKrnlUIState *state);
/* Writes the snapshot from the control block (game thread); 0 when the
 * lock could not be set up. Tells the display when something changed. */
int  ODKrnlRefreshUIState(void);

/* The local display's notice that the snapshot changed. Called from either
 * thread with no kit lock held; it must only wake the display. */
typedef void (*tODKrnlStateChangedFunc)(void);
void ODKrnlSetStateChangedHook(tODKrnlStateChangedFunc function);

/* ---- termination signals (posix/ODKrnlSignalPosix.cpp) ----
 * SIGHUP, SIGTERM and SIGINT end the session as a lost carrier does; the
 * handler only records the signal and wakes the game thread's wait through
 * the descriptor given; SIGPIPE is ignored. */
int  ODKrnlSignalInstall(void);
void ODKrnlSignalSetWake(int64_t wake_handle);
int  ODKrnlSignalPending(void); /* the signal caught, or 0 */

#endif
