/* ODInEx1.cpp -- session start-up and exit: od_init and od_exit, the
 * lifecycle state, the pending exit and fatal start-up errors. */
#include "doorkit.h"
#include "ODInEx.h"
#include "ODSync.h"
#include "ODPlat.h"
#include "ODCom.h"
#include "ODKrnl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

ODControl od_control;

int      eODLifecycleState = OD_STATE_NOT_STARTED;
int      bODInitialized = 0;
int      bODExitRequestedDuringInitialization = 0;
int32_t  nODPendingExitErrorLevel = 0;
int      bODPendingExitTermCall = 0;
int      bODExitPrologueComplete = 0;
uint8_t  btExitReason = 0;

static int bODExitRunning = 0;

static void ODDefaultProcessExit(int exit_code)
{
    fflush(stdout);
    fflush(stderr);
    _Exit(exit_code);
}

tODProcessExitFunc pfODProcessExit = ODDefaultProcessExit;

void ODProcessExit(int exit_code)
{
    pfODProcessExit(exit_code);
}

ODControl *od_control_get(void)
{
    if (eODLifecycleState > OD_STATE_RUNNING) {
        od_control.last_error = ODERR_GENERALFAIL;
        return nullptr;
    }
    return &od_control;
}

void od_init(void)
{
    if (eODLifecycleState > OD_STATE_RUNNING) {
        od_control.last_error = ODERR_GENERALFAIL;
        return;
    }
    if (bODInitialized) return;
    if (!ODSyncSessionInitialize()) {
        od_control.last_error = ODERR_GENERALFAIL;
        return;
    }
    bODInitialized = 1;
    eODLifecycleState = OD_STATE_STARTING;
    ODPlatInit();
    if (!ODComSessionOpen()) ODInitError("Unable to access serial port, cannot continue.");
    ODKrnlInitialize();
    /* Start-up proper (drop file, connection, screens, kernel) fills in here. */
    eODLifecycleState = OD_STATE_RUNNING;
    if (bODExitRequestedDuringInitialization) {
        bODExitRequestedDuringInitialization = 0;
        od_exit(nODPendingExitErrorLevel, bODPendingExitTermCall);
    }
}

void od_exit(int error_level, int term_call)
{
    if (eODLifecycleState == OD_STATE_ENDED) {
        od_control.last_error = ODERR_GENERALFAIL;
        return;
    }
    if (bODExitRunning) return;
    if (!bODInitialized) {
        bODExitRequestedDuringInitialization = 1;
        nODPendingExitErrorLevel = error_level;
        bODPendingExitTermCall = term_call;
        od_init();
        return;
    }
    bODExitRunning = 1;
    ODSyncAPIEntry();
    if (!bODExitPrologueComplete) {
        nODPendingExitErrorLevel = error_level;
        bODPendingExitTermCall = term_call;
        bODExitPrologueComplete = 1;
    }
    eODLifecycleState = OD_STATE_EXITING;
    /* Write-back, hang-up and tear-down fill in here. */
    ODComSessionClose();
    bODInitialized = 0;
    eODLifecycleState = OD_STATE_ENDED;
    bODExitPrologueComplete = 0;
    ODSyncAPIExit();
    bODExitRunning = 0;
    ODProcessExit(nODPendingExitErrorLevel);
}

void ODInitError(const char *message)
{
    /* The Windows half shows a message box; here the same text goes to
     * standard error, one line. */
    fprintf(stderr, "%s: %s\n", od_control.program_name[0] ? od_control.program_name : "door", message);
    ODProcessExit(0);
}
