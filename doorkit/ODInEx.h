/* ODInEx.h -- session lifecycle state shared by start-up, exit and the
 * public-call rule. */
#ifndef ODINEX_H
#define ODINEX_H

#include <stdint.h>

extern int      eODLifecycleState;
extern int      bODInitialized;
extern int      bODExitRequestedDuringInitialization;
extern int32_t  nODPendingExitErrorLevel;
extern int      bODPendingExitTermCall;
extern int      bODExitPrologueComplete;
extern uint8_t  btExitReason;

/* Ends the process at once with the exit code. Tests may replace it to
 * observe the exit without the process ending (the hook must not return
 * into the kit: it is called as the last step of od_exit). */
typedef void (*tODProcessExitFunc)(int exit_code);
extern tODProcessExitFunc pfODProcessExit;
void ODProcessExit(int exit_code);

/* A fatal start-up error: shows the message (Windows: message box; Linux:
 * one line on standard error) and ends the process with exit code 0. */
void ODInitError(const char *message);

/* The OS half of ODInitError: shows the text under the title, returns. */
void ODInExShowFatalError(const char *title, const char *text);

#endif
