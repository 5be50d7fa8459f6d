/* ODKrnl.cpp -- the kernel: one pass of housekeeping run inside public
 * calls on the game thread (moving the caller's bytes into the input queue,
 * and the session's other duties as steps of the same pass), the kit timers,
 * the session clock and od_sleep. */
#include "ODKrnl.h"
#include "ODCom.h"
#include "ODInEx.h"
#include "ODInQue.h"
#include "ODPlat.h"
#include "ODSync.h"
#include "doorkit.h"

#include <stdio.h>

int      bKernelActive = 0;
tODTimer RunKernelTimer = {0, 0};
uint32_t ODMaxMSToWait = OD_WAIT_SLICE_MS;

#define OD_KERNEL_DROP_LIMIT 4096

static uint64_t qwODSessionStartTick = 0;
static int      bODSessionTimeInitialized = 0;
static uint32_t dwODSessionLastSeconds = 0;
static uint16_t wODSessionLastMilliseconds = 0;

/* ---- timers ---- */

void ODTimerStart(tODTimer *timer, uint32_t duration_ms)
{
    timer->dwStart = (uint32_t)ODPlatTickMs();
    timer->dwDuration = duration_ms;
}

int ODTimerElapsed(const tODTimer *timer)
{
    return (uint32_t)((uint32_t)ODPlatTickMs() - timer->dwStart) >= timer->dwDuration;
}

uint32_t ODTimerLeft(const tODTimer *timer)
{
    uint32_t spent = (uint32_t)ODPlatTickMs() - timer->dwStart;
    return spent >= timer->dwDuration ? 0 : timer->dwDuration - spent;
}

void ODTimerWaitForElapse(const tODTimer *timer)
{
    uint32_t left = ODTimerLeft(timer);
    if (left) ODPlatSleepMs(left);
}

/* ---- session clock ---- */

void ODSessionTimeInitialize(void)
{
    qwODSessionStartTick = ODPlatTickMs();
    dwODSessionLastSeconds = 0;
    wODSessionLastMilliseconds = 0;
    bODSessionTimeInitialized = 1;
}

void ODSessionTimeGet(uint32_t *seconds, uint16_t *milliseconds)
{
    if (!bODSessionTimeInitialized) ODSessionTimeInitialize();
    uint64_t elapsed = ODPlatTickMs() - qwODSessionStartTick;
    uint32_t s = (uint32_t)(elapsed / 1000);
    uint16_t ms = (uint16_t)(elapsed % 1000);
    /* The kit clock is monotonic already; this keeps the promise even if a
     * clock is switched under a running session. */
    if (s < dwODSessionLastSeconds || (s == dwODSessionLastSeconds && ms < wODSessionLastMilliseconds)) {
        s = dwODSessionLastSeconds;
        ms = wODSessionLastMilliseconds;
    }
    dwODSessionLastSeconds = s;
    wODSessionLastMilliseconds = ms;
    if (seconds) *seconds = s;
    if (milliseconds) *milliseconds = ms;
}

/* ---- the pass ---- */

static void ODKrnlLogEnter(uint8_t byte)
{
    FILE *log = fopen("grimby-raw-enter.log", "a");
    if (!log) return;
    fprintf(log, "raw incoming key=%d\n", byte);
    fclose(log);
}

/* Moves the bytes the caller sent into the input queue, a slot reserved
 * before each read so a byte once read always has a place. */
static void ODKrnlReceive(void)
{
    if (!hODInputQueue) return;
    /* Bytes dropped while the caller's keyboard is off take no room, so
     * they are bounded per pass: a flooding caller cannot hold the pass. */
    int drop_budget = OD_KERNEL_DROP_LIMIT;
    for (;;) {
        if (ODInQueueReserveEvent(hODInputQueue) != ODINQ_OK) return;
        char byte;
        if (ODComGetByte(hSerialPort, &byte, 0) != ODCOM_OK) {
            ODInQueueCancelReservedEvent(hODInputQueue);
            return;
        }
        ODMaxMSToWait = 0;
        if (!od_control.remote_keyboard_enabled) {
            ODInQueueCancelReservedEvent(hODInputQueue);
            if (--drop_budget == 0) return;
            continue;
        }
        tODInputEvent event;
        event.EventType = EVENT_CHARACTER;
        event.bFromRemote = 1;
        event.chKeyPress = (uint8_t)byte;
        ODInQueueCommitReservedEvent(hODInputQueue, &event);
        if (event.chKeyPress == 13 || event.chKeyPress == 10) ODKrnlLogEnter(event.chKeyPress);
    }
}

void ODKrnlRunPass(void)
{
    if (bKernelActive) return;
    bKernelActive = 1;

    /* The caller's line: carrier, then received bytes. */
    if (od_control.remote_bps != 0 && hSerialPort) ODKrnlReceive();

    ODTimerStart(&RunKernelTimer, OD_KERNEL_PERIOD_MS);
    bKernelActive = 0;
}

static void ODKrnlPassHook(void)
{
    ODKrnlRunPass();
}

int ODKrnlInitialize(void)
{
    if (!bODSessionTimeInitialized) ODSessionTimeInitialize();
    /* A pass already registered (a test standing in for the kernel) stays. */
    if (!pfODSyncKernelPass) pfODSyncKernelPass = ODKrnlPassHook;
    ODTimerStart(&RunKernelTimer, OD_KERNEL_PERIOD_MS);
    return 1;
}

void ODKrnlShutdown(void)
{
    if (pfODSyncKernelPass == ODKrnlPassHook) pfODSyncKernelPass = nullptr;
}

void ODKrnlHandleLocalKey(uint16_t key)
{
    if (!hODInputQueue) return;
    tODInputEvent events[2];
    events[0].EventType = events[1].EventType = EVENT_CHARACTER;
    events[0].bFromRemote = events[1].bFromRemote = 0;
    uint8_t character = (uint8_t)(key & 0xFF);
    uint8_t scan = (uint8_t)(key >> 8);
    if (character != 0) {
        events[0].chKeyPress = character;
        ODInQueueAddEvent(hODInputQueue, &events[0]);
    } else if (scan != 0) {
        /* A key without a character arrives as its doorway code. */
        events[0].chKeyPress = 0;
        events[1].chKeyPress = scan;
        ODInQueueAddEvents(hODInputQueue, events, 2);
    }
}

/* ---- public calls ---- */

void od_kernel(void)
{
    ODPublicCall call;
    if (!call.entered) return;
    ODKrnlRunPass();
}

void od_sleep(uint32_t milliseconds)
{
    /* The exit path may pause (draining, waiting for the line to drop)
     * while the session is already past running. */
    if (eODLifecycleState == OD_STATE_EXITING && ODSyncAPIIsNested()) {
        ODPlatSleepMs(milliseconds);
        return;
    }
    ODPublicCall call;
    if (!call.entered) return;
    ODPlatSleepMs(milliseconds);
}
