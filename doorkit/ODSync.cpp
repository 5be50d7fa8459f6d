/* ODSync.cpp -- the API nesting level and the public-call rule.
 *
 * nAPILevel is a counter of the game thread, not a lock: other threads never
 * enter public calls. Deferred work runs through hooks set by the modules
 * that own it (kernel, local screen). */
#include "doorkit.h"
#include "ODSync.h"
#include "ODInEx.h"

uint32_t nAPILevel = 0;
int      bSyncActive = 0;

tODSyncHook pfODSyncDispatchRequests = nullptr;
tODSyncHook pfODSyncPublishScreen = nullptr;
tODSyncHook pfODSyncKernelPass = nullptr;
tODSyncHook pfODSyncCallRefused = nullptr;
tODSyncHook pfODSyncEnterCall = nullptr;

/* A call refused because the session is past running: the exit side may
 * have work that such a call is the moment for (a stop to carry out). */
static void ODSyncRefused(void)
{
    od_control.last_error = ODERR_GENERALFAIL;
    if (pfODSyncCallRefused) pfODSyncCallRefused();
}

static void ODSyncDispatch(void)
{
    if (pfODSyncDispatchRequests) pfODSyncDispatchRequests();
}

static void ODSyncPublish(void)
{
    if (pfODSyncPublishScreen) pfODSyncPublishScreen();
}

int ODSyncSessionInitialize(void)
{
    if (!bSyncActive) {
        nAPILevel = 0;
        bSyncActive = 1;
    }
    return 1;
}

int ODSyncPublicCallAllowed(void)
{
    if (eODLifecycleState < 3) return 1;
    ODSyncRefused();
    return 0;
}

void ODSyncAPIEntry(void)
{
    if (pfODSyncEnterCall) pfODSyncEnterCall();
    uint32_t previous = nAPILevel++;
    if (previous == 0 && eODLifecycleState == OD_STATE_RUNNING) ODSyncDispatch();
}

void ODSyncAPIExit(void)
{
    if (nAPILevel == 0) return;
    if (nAPILevel > 1) {
        nAPILevel--;
        return;
    }
    if (eODLifecycleState == OD_STATE_RUNNING) {
        ODSyncDispatch();
        /* A dispatched request may itself have entered the API and left it
         * deeper than we were; then only this call's level is given up. */
        if (nAPILevel > 1) {
            nAPILevel--;
            return;
        }
    }
    if (eODLifecycleState == OD_STATE_RUNNING) ODSyncPublish();
    nAPILevel = 0;
    if (eODLifecycleState == OD_STATE_ENDED) {
        bSyncActive = 0;
        nAPILevel = 0;
    }
}

uint32_t ODSyncAPIRelease(void)
{
    ODSyncPublish();
    uint32_t previous = nAPILevel;
    nAPILevel = 0;
    return previous;
}

void ODSyncAPIReacquire(uint32_t level)
{
    nAPILevel = level;
}

int ODSyncAPICheckpoint(void)
{
    if (nAPILevel > 0) {
        ODSyncPublish();
        if (eODLifecycleState == OD_STATE_RUNNING) {
            ODSyncDispatch();
            if (pfODSyncKernelPass) pfODSyncKernelPass();
        }
    }
    return eODLifecycleState == OD_STATE_RUNNING;
}

int ODSyncAPIIsNested(void)
{
    return bSyncActive && nAPILevel != 0;
}

ODPublicCall::ODPublicCall() : entered(0)
{
    if (!bODInitialized) {
        od_init();
        if (eODLifecycleState > OD_STATE_RUNNING || !bODInitialized) {
            od_control.last_error = ODERR_GENERALFAIL;
            return;
        }
    }
    if (eODLifecycleState > OD_STATE_RUNNING) {
        ODSyncRefused();
        return;
    }
    ODSyncAPIEntry();
    entered = 1;
}

ODPublicCall::~ODPublicCall()
{
    if (entered) ODSyncAPIExit();
}
