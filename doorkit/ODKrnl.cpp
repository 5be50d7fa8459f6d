/* ODKrnl.cpp -- the kernel: one pass of housekeeping run inside public calls
 * on the game thread (the caller's bytes into the input queue, carrier,
 * inactivity, the caller's minutes), the sysop's requests from the local
 * display, sysop chat, the kit timers, the session clock and od_sleep. */
#include "ODKrnl.h"
#include "ODCom.h"
#include "ODCore.h"
#include "ODInEx.h"
#include "ODInQue.h"
#include "ODPlat.h"
#include "ODSync.h"
#include "ODUtil.h"
#include "doorkit.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

int      bKernelActive = 0;
tODTimer RunKernelTimer = {0, 0};
uint32_t ODMaxMSToWait = OD_WAIT_SLICE_MS;
int64_t  nNextTimeDeductTime = 0;
int      nLastInactivitySetting = 0;
int      bWarnedAboutInactivity = 0;

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
    if (!left) return;
    if (ODSyncAPIIsNested()) {
        uint32_t level = ODSyncAPIRelease();
        ODPlatSleepMs(left);
        ODSyncAPIReacquire(level);
    } else {
        ODPlatSleepMs(left);
    }
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
    uint64_t now = ODPlatTickMs();
    uint64_t elapsed = now >= qwODSessionStartTick ? now - qwODSessionStartTick : 0;
    uint32_t s = (uint32_t)(elapsed / 1000);
    uint16_t ms = (uint16_t)(elapsed % 1000);
    /* A clock put back (a virtual clock switched under a running session,
     * or a system clock on a platform without a monotonic one) must not
     * move deadlines measured against this clock: report the last value
     * until real time passes it. */
    if (s < dwODSessionLastSeconds || (s == dwODSessionLastSeconds && ms < wODSessionLastMilliseconds)) {
        s = dwODSessionLastSeconds;
        ms = wODSessionLastMilliseconds;
    }
    dwODSessionLastSeconds = s;
    wODSessionLastMilliseconds = ms;
    if (seconds) *seconds = s;
    if (milliseconds) *milliseconds = ms;
}

static int64_t ODKrnlNowSeconds(void)
{
    uint32_t s;
    ODSessionTimeGet(&s, nullptr);
    return (int64_t)s;
}

/* ---- requests and the display's snapshot ----
 *
 * KernelStateLock guards the request list and the snapshot, and is held
 * only while one of them is copied: never across a call into another
 * module, so the display thread's other locks (screen, input queue) are
 * never taken inside it. */

typedef struct tODKrnlRequest {
    struct tODKrnlRequest *pNext;
    int nKind;
    int nValue;
    int nAmount;
    int nReason;
} tODKrnlRequest;

static tODMutex        KernelStateLock = nullptr;
static tODKrnlRequest *pRequestHead = nullptr;
static tODKrnlRequest *pRequestTail = nullptr;
/* Set with the list under the lock; read without it, so a checkpoint with
 * nothing posted (every idle slice) touches no lock. */
static std::atomic<int> bRequestsPosted{0};
static tODKrnlUIState  UIState;
static int             bUIStateValid = 0;
static tODKrnlStateChangedFunc pfStateChanged = nullptr;
static int             bChatRunning = 0;

void ODKrnlSetStateChangedHook(tODKrnlStateChangedFunc function)
{
    pfStateChanged = function;
}

static void ODKrnlTellDisplay(void)
{
    tODKrnlStateChangedFunc function = pfStateChanged;
    if (function) function();
}

static int ODKrnlEnsureLock(void)
{
    if (KernelStateLock) return 1;
    return ODMutexInitialize(&KernelStateLock) == ODPLAT_OK;
}

static int ODKrnlClampMinutes(int minutes)
{
    if (minutes < 0) return 0;
    if (minutes > 1440) return 1440;
    return minutes;
}

static void ODKrnlFillUIState(tODKrnlUIState *s)
{
    memset(s, 0, sizeof *s);
    ODStringCopy(s->szProgramName, od_control.program_name, sizeof s->szProgramName);
    ODStringCopy(s->szProgramVersion, od_control.program_version, sizeof s->szProgramVersion);
    ODStringCopy(s->szCallerName, od_control.caller_name, sizeof s->szCallerName);
    ODStringCopy(s->szCallerLocation, od_control.caller_location, sizeof s->szCallerLocation);
    ODStringCopy(s->szChatReason, od_control.chat_reason, sizeof s->szChatReason);
    s->bRemote = od_control.remote_bps != 0 && hSerialPort != nullptr;
    s->dwSpeed = od_control.connect_bps ? od_control.connect_bps : od_control.remote_bps;
    s->wNode = od_control.node;
    s->nTimeLeft = (int16_t)od_control.caller_time_left;
    s->nCmdShow = od_control.cmd_show;
    s->bWantsChat = od_control.caller_wants_chat != 0;
    s->bInactivityOff = od_control.inactivity_disabled != 0;
    s->bSysopNext = od_control.sysop_next != 0;
    s->bKeyboardOn = od_control.remote_keyboard_enabled != 0;
    s->bChatActive = od_control.chat_active != 0;
    s->bRunning = eODLifecycleState == OD_STATE_RUNNING;
    s->bStopping = eODLifecycleState > OD_STATE_RUNNING;
}

int ODKrnlRefreshUIState(void)
{
    if (!ODKrnlEnsureLock()) return 0;
    tODKrnlUIState fresh;
    ODKrnlFillUIState(&fresh);
    ODMutexLock(KernelStateLock);
    /* Requests posted but not carried out yet are already in the snapshot
     * (a toggle's next value is computed from it): a refresh from the
     * session alone would undo them, and a second toggle would repeat the
     * first instead of reversing it. */
    for (const tODKrnlRequest *request = pRequestHead; request; request = request->pNext) {
        switch (request->nKind) {
        case OD_REQ_CHAT: fresh.bChatActive = request->nValue; break;
        case OD_REQ_KEYBOARD: fresh.bKeyboardOn = request->nValue; break;
        case OD_REQ_SYSOP_NEXT: fresh.bSysopNext = request->nValue; break;
        case OD_REQ_INACTIVITY: fresh.bInactivityOff = request->nValue; break;
        case OD_REQ_TIME: fresh.nTimeLeft = ODKrnlClampMinutes(fresh.nTimeLeft + request->nAmount); break;
        default: break;
        }
    }
    int changed = !bUIStateValid || memcmp(&fresh, &UIState, sizeof fresh) != 0;
    UIState = fresh;
    bUIStateValid = 1;
    ODMutexUnlock(KernelStateLock);
    if (changed) ODKrnlTellDisplay();
    return 1;
}

int ODKrnlGetUIState(tODKrnlUIState *state)
{
    if (!state || !KernelStateLock) return 0;
    ODMutexLock(KernelStateLock);
    int valid = bUIStateValid;
    if (valid) *state = UIState;
    ODMutexUnlock(KernelStateLock);
    return valid;
}

/* Appends a request; apply, when given, updates the snapshot under the
 * same lock so the display shows the new value before the game thread
 * has carried it out. */
static void ODKrnlPost(int kind, int value, int amount, int reason)
{
    if (!KernelStateLock) return;
    tODKrnlRequest *request = (tODKrnlRequest *)calloc(1, sizeof *request);
    if (!request) {
        ODPlatRingBell();
        return;
    }
    request->nKind = kind;
    request->nValue = value;
    request->nAmount = amount;
    request->nReason = reason;
    ODMutexLock(KernelStateLock);
    if (!bUIStateValid || !UIState.bRunning) {
        ODMutexUnlock(KernelStateLock);
        free(request);
        return;
    }
    switch (kind) {
    case OD_REQ_CHAT: request->nValue = UIState.bChatActive = !UIState.bChatActive; break;
    case OD_REQ_KEYBOARD: request->nValue = UIState.bKeyboardOn = !UIState.bKeyboardOn; break;
    case OD_REQ_SYSOP_NEXT: request->nValue = UIState.bSysopNext = !UIState.bSysopNext; break;
    case OD_REQ_INACTIVITY: request->nValue = UIState.bInactivityOff = !UIState.bInactivityOff; break;
    case OD_REQ_TIME: UIState.nTimeLeft = ODKrnlClampMinutes(UIState.nTimeLeft + amount); break;
    default: break;
    }
    if (pRequestTail)
        pRequestTail->pNext = request;
    else
        pRequestHead = request;
    pRequestTail = request;
    bRequestsPosted.store(1, std::memory_order_release);
    /* The game thread's wait ends now and carries it out. Under the lock:
     * the queue outlives every post made while the session runs. */
    ODInQueueWake(hODInputQueue);
    ODMutexUnlock(KernelStateLock);
    ODKrnlTellDisplay();
}

void ODKrnlRequestChatToggle(void) { ODKrnlPost(OD_REQ_CHAT, 0, 0, 0); }
void ODKrnlRequestKeyboardToggle(void) { ODKrnlPost(OD_REQ_KEYBOARD, 0, 0, 0); }
void ODKrnlRequestSysopNextToggle(void) { ODKrnlPost(OD_REQ_SYSOP_NEXT, 0, 0, 0); }
void ODKrnlRequestInactivityToggle(void) { ODKrnlPost(OD_REQ_INACTIVITY, 0, 0, 0); }
void ODKrnlRequestTimeAdjustment(int minutes) { ODKrnlPost(OD_REQ_TIME, 0, minutes, 0); }
void ODKrnlRequestLockout(void) { ODKrnlPost(OD_REQ_LOCKOUT, 0, 0, OD_REASON_HANGUP); }

void ODKrnlRequestShutdown(int reason)
{
    if (reason < OD_REASON_CRITICAL || reason > OD_REASON_RETURNED) return;
    ODKrnlPost(OD_REQ_SHUTDOWN, 0, 0, reason);
}

static void ODKrnlFreeList(tODKrnlRequest *request)
{
    while (request) {
        tODKrnlRequest *next = request->pNext;
        free(request);
        request = next;
    }
}

/* The kernel's exit: the reason's error level, hanging up for a sysop
 * hang-up and for inactivity. */
static void ODKrnlExit(int reason)
{
    btExitReason = (uint8_t)(reason - 1);
    ODInExStopSession(reason - 1, reason == OD_REASON_HANGUP || reason == OD_REASON_INACTIVITY);
}

void ODKrnlDispatchPending(void)
{
    if (eODLifecycleState != OD_STATE_RUNNING || !KernelStateLock) return;
    if (!bRequestsPosted.load(std::memory_order_acquire)) return;
    ODMutexLock(KernelStateLock);
    tODKrnlRequest *request = pRequestHead;
    pRequestHead = pRequestTail = nullptr;
    bRequestsPosted.store(0, std::memory_order_relaxed);
    ODMutexUnlock(KernelStateLock);
    if (!request) return;

    while (request) {
        if (eODLifecycleState != OD_STATE_RUNNING) break;
        tODKrnlRequest *next = request->pNext;
        int kind = request->nKind, value = request->nValue;
        int amount = request->nAmount, reason = request->nReason;
        free(request);
        request = next;
        switch (kind) {
        case OD_REQ_CHAT:
            if (value) {
                if (!bChatRunning) ODKrnlChatMode();
            } else {
                od_control.chat_active = 0;
            }
            break;
        case OD_REQ_KEYBOARD: od_control.remote_keyboard_enabled = value ? 1 : 0; break;
        case OD_REQ_SYSOP_NEXT: od_control.sysop_next = value ? 1 : 0; break;
        case OD_REQ_INACTIVITY: od_control.inactivity_disabled = value ? 1 : 0; break;
        case OD_REQ_TIME:
            od_control.caller_time_left =
                (uint16_t)ODKrnlClampMinutes((int16_t)od_control.caller_time_left + amount);
            break;
        case OD_REQ_LOCKOUT:
            od_control.caller_security = 0;
            ODKrnlExit(OD_REASON_HANGUP);
            break;
        case OD_REQ_SHUTDOWN: ODKrnlExit(reason); break;
        default: break;
        }
    }
    ODKrnlFreeList(request);
    ODKrnlRefreshUIState();
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
    if (!hODInputQueue || ODComLineQuiet(hSerialPort)) return;
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

/* Keys the caller sent before the line went are still the caller's (the
 * "Q" typed just before hanging up, a script piped to a door on standard
 * input): the game gets this long to take them before the session stops. */
#define OD_LINE_GONE_GRACE_MS 500
static uint64_t qwLineGoneSince = 0;

int ODKrnlCallerGone(void)
{
    if (ODKrnlSignalPending()) return 1;
    if (od_control.remote_bps == 0 || !hSerialPort) return 0;
    int carrier = 1;
    return ODComCarrier(hSerialPort, &carrier) == ODCOM_OK && !carrier;
}

/* 1 when the session has just been stopped for a lost caller: the line
 * reports no carrier, or the BBS signalled the door to end. */
static int ODKrnlCarrierStep(void)
{
    int lost = ODKrnlCallerGone();
    if (!lost) {
        qwLineGoneSince = 0;
        return 0;
    }
    if (hODInputQueue && ODInQueueWaiting(hODInputQueue) > 0) {
        uint64_t now = ODPlatTickMs();
        if (!qwLineGoneSince) qwLineGoneSince = now ? now : 1;
        if (now - qwLineGoneSince < OD_LINE_GONE_GRACE_MS) return 0;
    }
    ODKrnlExit(OD_REASON_CARRIER);
    return 1;
}

/* An end text starts on a fresh row but is written over whatever that row
 * held (a warning's longer tail, the lobby's art). On an ANSI or AVATAR
 * caller the rest of each row it writes on is cleared; a plain terminal
 * gets the text as it is. */
static void ODKrnlShowEndText(const char *text)
{
    if (!text) return;
    if (!od_control.caller_ansi && !od_control.caller_avatar) {
        od_disp_str(text);
        return;
    }
    while (*text) {
        size_t line = strcspn(text, "\n"), shown = line;
        if (shown > 0 && text[shown - 1] == '\r') shown--;
        od_disp(text, (int)shown, 1);
        if (shown > 0) od_clr_line();
        od_disp(text + shown, (int)(line - shown + (text[line] == '\n')), 1);
        text += line + (text[line] == '\n');
    }
}

static void ODKrnlInactivityStep(void)
{
    int limit = od_control.inactivity_seconds;
    if (limit != nLastInactivitySetting) {
        if (nLastInactivitySetting == 0 && hODInputQueue) ODInQueueResetLastActivity(hODInputQueue);
        nLastInactivitySetting = limit;
    }
    if (limit == 0 || od_control.inactivity_disabled || !hODInputQueue) {
        bWarnedAboutInactivity = 0;
        return;
    }
    int64_t idle = ODPlatWallSeconds() - ODInQueueGetLastActivity(hODInputQueue);
    if (idle < 0) {
        /* The wall clock went back: count from now rather than never. */
        ODInQueueResetLastActivity(hODInputQueue);
        idle = 0;
    }
    if (idle > limit) {
        ODKrnlShowEndText(od_control.texts.inactivity_end);
        ODKrnlExit(OD_REASON_INACTIVITY);
        return;
    }
    if (idle > limit - (int)od_control.inactivity_warning_seconds) {
        if (!bWarnedAboutInactivity) {
            bWarnedAboutInactivity = 1;
            if (od_control.texts.inactivity_warning) od_disp_str(od_control.texts.inactivity_warning);
        }
    } else {
        bWarnedAboutInactivity = 0;
    }
}

static void ODKrnlShowTimeWarning(int minutes)
{
    if (!od_control.texts.time_warning) return;
    char text[256];
    /* The format is the kit's own text or one the game set; it takes one
     * integer. */
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    snprintf(text, sizeof text, od_control.texts.time_warning, minutes);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    od_disp_str(text);
}

static void ODKrnlTimeStep(void)
{
    int64_t now = ODKrnlNowSeconds();
    int unlimited = (od_control.disable_flags & OD_DISABLE_TIME_LIMIT) != 0;
    if (od_control.chat_active) {
        /* Time spent talking with the sysop is not the caller's. */
        nNextTimeDeductTime = now + 60;
    }
    while (now >= nNextTimeDeductTime) {
        nNextTimeDeductTime += 60;
        int before = (int16_t)od_control.caller_time_left;
        if (before > -32768) od_control.caller_time_left = (uint16_t)(before - 1);
        if (!unlimited && before >= 2 && before <= 4) ODKrnlShowTimeWarning(before - 1);
        if (eODLifecycleState != OD_STATE_RUNNING) return;
    }
    if (!unlimited && (int16_t)od_control.caller_time_left < 1) {
        ODKrnlShowEndText(od_control.texts.time_used_up);
        ODKrnlExit(OD_REASON_TIME);
    }
}

void ODKrnlRunPass(void)
{
    if (bKernelActive || eODLifecycleState != OD_STATE_RUNNING) return;
    bKernelActive = 1;
    if (!ODKrnlCarrierStep()) {
        if (od_control.remote_bps != 0 && hSerialPort) ODKrnlReceive();
        if (eODLifecycleState == OD_STATE_RUNNING) ODKrnlInactivityStep();
        if (eODLifecycleState == OD_STATE_RUNNING) ODKrnlTimeStep();
        /* The display follows the minutes and flags the pass changed; the
         * refresh only tells it when something did. */
        if (eODLifecycleState == OD_STATE_RUNNING) ODKrnlRefreshUIState();
    }
    ODTimerStart(&RunKernelTimer, OD_KERNEL_PERIOD_MS);
    bKernelActive = 0;
}

static void ODKrnlPassHook(void)
{
    ODKrnlRunPass();
}

void ODKrnlSetNextDeduction(int64_t seconds_from_now)
{
    nNextTimeDeductTime = ODKrnlNowSeconds() + seconds_from_now;
}

int ODKrnlInitialize(void)
{
    if (!bODSessionTimeInitialized) ODSessionTimeInitialize();
    if (!ODKrnlEnsureLock()) return 0;
    ODMutexLock(KernelStateLock);
    int queued = pRequestHead != nullptr;
    ODMutexUnlock(KernelStateLock);
    if (queued) return 0;
    nNextTimeDeductTime = ODKrnlNowSeconds() + 60;
    nLastInactivitySetting = od_control.inactivity_seconds;
    bWarnedAboutInactivity = 0;
    /* A hook already registered (a test standing in for the kernel) stays. */
    if (!pfODSyncKernelPass) pfODSyncKernelPass = ODKrnlPassHook;
    if (!pfODSyncDispatchRequests) pfODSyncDispatchRequests = ODKrnlDispatchPending;
    ODTimerStart(&RunKernelTimer, OD_KERNEL_PERIOD_MS);
    return 1;
}

void ODKrnlShutdown(void)
{
    if (pfODSyncKernelPass == ODKrnlPassHook) pfODSyncKernelPass = nullptr;
    if (pfODSyncDispatchRequests == ODKrnlDispatchPending) pfODSyncDispatchRequests = nullptr;
    pfStateChanged = nullptr;
    if (!KernelStateLock) return;
    ODMutexLock(KernelStateLock);
    tODKrnlRequest *request = pRequestHead;
    pRequestHead = pRequestTail = nullptr;
    bRequestsPosted.store(0, std::memory_order_relaxed);
    bUIStateValid = 0;
    ODMutexUnlock(KernelStateLock);
    ODKrnlFreeList(request);
    ODMutexDestroy(KernelStateLock);
    KernelStateLock = nullptr;
}

void ODKrnlHandleLocalKey(uint16_t key)
{
    tODInQueueHandle queue = hODInputQueue;
    if (!queue) return;
    tODInputEvent events[2];
    events[0].EventType = events[1].EventType = EVENT_CHARACTER;
    events[0].bFromRemote = events[1].bFromRemote = 0;
    uint8_t character = (uint8_t)(key & 0xFF);
    uint8_t scan = (uint8_t)(key >> 8);
    if (character != 0) {
        events[0].chKeyPress = character;
        ODInQueueAddEvent(queue, &events[0]);
    } else if (scan != 0) {
        /* A key without a character arrives as its doorway code. */
        events[0].chKeyPress = 0;
        events[1].chKeyPress = scan;
        ODInQueueAddEvents(queue, events, 2);
    }
}

/* ---- sysop chat ---- */

#define OD_CHAT_WRAP_COLUMN 75
#define OD_CHAT_WORD_MAX    70

void ODKrnlChatMode(void)
{
    if (bChatRunning || eODLifecycleState != OD_STATE_RUNNING) return;
    bChatRunning = 1;
    /* The kernel keeps running inside chat: carrier, time, requests. */
    int was_active = bKernelActive;
    bKernelActive = 0;
    int previous_attribute = od_control.current_attribute;
    uint8_t local_colour = od_control.chat_colours[0] ? od_control.chat_colours[0] : 12;
    uint8_t remote_colour = od_control.chat_colours[1] ? od_control.chat_colours[1] : 15;

    od_control.caller_wants_chat = 0;
    od_control.chat_active = 1;
    ODKrnlRefreshUIState();
    od_set_attrib(local_colour);
    if (od_control.texts.chat_started) od_disp_str(od_control.texts.chat_started);

    char word[OD_CHAT_WORD_MAX + 8];
    int word_length = 0;
    int column = 0;
    int colour = local_colour;
    while (od_control.chat_active && eODLifecycleState == OD_STATE_RUNNING) {
        tODInputEvent event;
        if (!od_get_input(&event, 25, GETIN_NORMAL)) {
            if (eODLifecycleState != OD_STATE_RUNNING) break;
            od_sleep(0);
            continue;
        }
        int want = event.bFromRemote ? remote_colour : local_colour;
        if (event.EventType == EVENT_EXTENDED_KEY) {
            /* A terminal's 127 backspace decodes to Delete. */
            if (event.chKeyPress != OD_KEY_DELETE) continue;
            event.EventType = EVENT_CHARACTER;
            event.chKeyPress = 8;
        }
        uint8_t ch = event.chKeyPress;
        if (ch == 27 && !event.bFromRemote) break;
        if (want != colour) {
            od_set_attrib(want);
            colour = want;
        }
        if (ch == 13) {
            od_disp_str("\r\n");
            column = 0;
            word_length = 0;
        } else if (ch == 8 || ch == 127) {
            if (column > 0) {
                od_disp_str("\b \b");
                column--;
                if (word_length > 0) word_length--;
            }
        } else if (ch >= 32) {
            od_putch(ch);
            column++;
            if (ch == ' ') {
                word_length = 0;
            } else if (word_length < OD_CHAT_WORD_MAX) {
                word[word_length++] = (char)ch;
            } else {
                word_length = OD_CHAT_WORD_MAX; /* too long to move: the line just breaks */
            }
            if (column >= OD_CHAT_WRAP_COLUMN) {
                if (ch != ' ' && word_length > 0 && word_length < OD_CHAT_WORD_MAX && word_length < column) {
                    /* Take the unfinished word off this line and start the
                     * next one with it. */
                    od_repeat('\b', (uint8_t)word_length);
                    od_repeat(' ', (uint8_t)word_length);
                    od_disp_str("\r\n");
                    od_disp(word, word_length, 1);
                    column = word_length;
                } else {
                    od_disp_str("\r\n");
                    column = 0;
                    word_length = 0;
                }
            }
        }
    }

    if (eODLifecycleState == OD_STATE_RUNNING) {
        od_set_attrib(local_colour);
        if (od_control.texts.chat_ended) od_disp_str(od_control.texts.chat_ended);
        if (previous_attribute >= 0) od_set_attrib(previous_attribute);
    }
    od_control.chat_active = 0;
    /* Talking took no minutes; the next one is due a whole minute on. */
    nNextTimeDeductTime = ODKrnlNowSeconds() + 60;
    bKernelActive = was_active;
    bChatRunning = 0;
    if (eODLifecycleState == OD_STATE_RUNNING) ODKrnlRefreshUIState();
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
    if (eODLifecycleState == OD_STATE_STOPPING) {
        /* The game's exit steps may still pause; a loop that ignores the
         * stop is ended here once the grace time is over. */
        ODPlatSleepMs(milliseconds < OD_WAIT_SLICE_MS ? milliseconds : OD_WAIT_SLICE_MS);
        ODInExStopCheck();
        return;
    }
    ODPublicCall call;
    if (!call.entered) return;
    if (milliseconds == 0) {
        uint32_t level = ODSyncAPIRelease();
        ODPlatSleepMs(0);
        ODSyncAPIReacquire(level);
        return;
    }
    /* In slices, so the kernel, the sysop's requests and the local picture
     * keep going through a long pause. */
    tODTimer timer;
    ODTimerStart(&timer, milliseconds);
    for (;;) {
        uint32_t left = ODTimerLeft(&timer);
        if (left == 0) break;
        uint32_t level = ODSyncAPIRelease();
        ODPlatSleepMs(left < OD_WAIT_SLICE_MS ? left : OD_WAIT_SLICE_MS);
        ODSyncAPIReacquire(level);
        if (!ODSyncAPICheckpoint()) break;
    }
}
