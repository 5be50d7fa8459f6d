/* ODInEx.h -- session lifecycle state shared by start-up, exit, the kernel
 * and the public-call rule, and the kit-internal half of od_init/od_exit. */
#ifndef ODINEX_H
#define ODINEX_H

#include <stddef.h>
#include <stdint.h>

/* The kernel has ended the session (carrier lost, a hang-up, time used up,
 * inactivity, the sysop): public calls are refused and waits end, so the
 * game's loops see the caller gone and its own exit steps run; the game's
 * od_exit then ends the process with the kernel's error level. A game that
 * never calls od_exit is ended at its first kit call after the grace time. */
#define OD_STATE_STOPPING 3
#define OD_STOP_GRACE_MS  800

extern int      eODLifecycleState;
extern int      bODInitialized;
extern int      bODExitRequestedDuringInitialization;
extern int32_t  nODPendingExitErrorLevel;
extern int      bODPendingExitTermCall;
extern int      bODExitPrologueComplete;
extern uint8_t  btExitReason;

/* What start-up recorded for exit. */
extern int64_t  nStartupUnixTime;   /* seconds since 1970; 0 unknown */
extern int32_t  nInitialRemaining;  /* minutes at start-up, before the max_time cap */
extern uint32_t dwFileBPS;          /* the drop file's speed, put back at exit */
extern char     szOriginalDir[1024];
extern int      bPromptForUserName;
extern char     szWindowsStartupUserName[36];
extern int      bWindowsStartupCancelled;

/* The stop the kernel asked for (see OD_STATE_STOPPING). */
extern int      bODSessionStopping;
extern int32_t  nODStopErrorLevel;
extern int      bODStopTermCall;

/* Ends the process at once with the exit code. Tests may replace the hook
 * to observe the exit; it must not return into the kit (a hook that does
 * return is followed by the default exit), but may jump out of it. */
typedef void (*tODProcessExitFunc)(int exit_code);
extern tODProcessExitFunc pfODProcessExit;
[[noreturn]] void ODProcessExit(int exit_code);

/* A fatal start-up error: shows the message (Windows: message box; Linux:
 * one line on standard error) and ends the process with exit code 0. */
[[noreturn]] void ODInitError(const char *message);

/* The OS half of ODInitError: shows the text under the title, returns. */
void ODInExShowFatalError(const char *title, const char *text);
/* Where fatal start-up messages go: ODInExShowFatalError unless a test
 * sends them elsewhere (a message box would wait on a shared desktop). */
typedef void (*tODShowFatalFunc)(const char *title, const char *text);
extern tODShowFatalFunc pfODShowFatalError;

/* Start-up as od_init does it up to opening the caller's connection, and
 * no further: od_control holds what a session would use. 0 when start-up
 * would end, with its message in fatal; nothing is opened or started. */
int ODInExUnderstand(char *fatal, size_t fatal_size);

/* Sends od_control.modem_exit_command to the modem (exit without hang-up). */
void ODInExDisableDTR(void);

/* The kernel's way to end the session: moves a running session to
 * OD_STATE_STOPPING with the error level and hang-up flag od_exit will use,
 * and sends what output is collected. Nothing when not running. */
void ODInExStopSession(int error_level, int term_call);

/* Called while the session is stopping by every refused public call (and
 * od_sleep): carries out the stop once the grace time has passed. */
void ODInExStopCheck(void);

#endif
