/* ODInEx1.cpp -- session start-up and exit: od_init and od_exit, the
 * lifecycle state, the pending exit and fatal start-up errors. */
#include "doorkit.h"
#include "ODInEx.h"
#include "ODSync.h"
#include "ODPlat.h"
#include "ODCmdLn.h"

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
    bODInitialized = 0;
    eODLifecycleState = OD_STATE_ENDED;
    bODExitPrologueComplete = 0;
    ODSyncAPIExit();
    bODExitRunning = 0;
    ODProcessExit(nODPendingExitErrorLevel);
}

void ODInitError(const char *message)
{
    static const char szHint[] = "\nUse the -HELP command line option for help, or -LOCAL for local mode.";
    char title[sizeof od_control.program_name + 1];
    memcpy(title, od_control.program_name, sizeof od_control.program_name);
    title[sizeof od_control.program_name] = '\0';
    if (!message) message = "";

    /* A sysop who started the door by hand learns where help is; without
     * room for that, the bare message still goes out. */
    char *text = nullptr;
    if (bParsedCmdLine) {
        size_t size = strlen(message) + sizeof szHint;
        text = (char *)malloc(size);
        if (text) snprintf(text, size, "%s%s", message, szHint);
    }
    ODInExShowFatalError(title, text ? text : message);
    free(text);
    ODProcessExit(0);
}
