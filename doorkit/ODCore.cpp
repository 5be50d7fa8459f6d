/* ODCore.cpp -- the core output calls: text, repeats, colour and screen
 * clearing, turned into the caller's terminal language (ANSI, AVATAR, RIP
 * or plain) on the connection and written to the local picture; and the
 * collected output that reaches the connection in whole updates. */
#include "doorkit.h"
#include "ODCore.h"
#include "ODCom.h"
#include "ODInEx.h"
#include "ODKrnl.h"
#include "ODScrn.h"
#include "ODSync.h"
#include "ODPlat.h"

#include <stdio.h>
#include <string.h>
#include <thread>

const uint8_t abtPCToANSIColorTable[8] = {30, 34, 32, 36, 31, 35, 33, 37};
char szODOutputWork[OD_WORK_STRING_SIZE];

/* ---- collected output ----
 *
 * Everything drawn between two waits becomes one transfer (ODCore.h lists
 * the points that send). Bytes are collected only while the sync hook is
 * ours (so those points are certain to run), the session is running and a
 * public call is active; otherwise they go at once, after anything
 * collected. */

static uint8_t abtODOutput[OD_OUTPUT_BUFFER_SIZE];
static size_t  nODOutputLength = 0;
static int     bODOutputTransferring = 0;
int            nODOutputCalls = 0;
int            bODOutputEntering = 0;

/* Only the game thread does remote I/O; other threads' sleeps send nothing. */
static std::thread::id idODGameThread;

static int ODCoreRemote(void)
{
    return od_control.remote_bps != 0 && hSerialPort != nullptr;
}

/* One transfer with the API level released, so that no deferred exit or
 * kernel request runs in the middle of it. */
static int ODCoreTransfer(const uint8_t *bytes, size_t length)
{
    int result = 0;
    int transferring = bODOutputTransferring;
    bODOutputTransferring = 1;
    uint32_t level = ODSyncAPIRelease();
    while (length > 0) {
        /* Pieces small enough that the connection's UTF-8 and telnet
         * forms of them still fit its int sizes. */
        int chunk = length > 0x100000u ? 0x100000 : (int)length;
        result = ODComSendBuffer(hSerialPort, bytes, chunk);
        if (result != 0) break;
        bytes += chunk;
        length -= (size_t)chunk;
    }
    ODSyncAPIReacquire(level);
    bODOutputTransferring = transferring;
    return result;
}

void ODCoreFlushOutput(void)
{
    if (bODOutputTransferring || nODOutputLength == 0) return;
    size_t length = nODOutputLength;
    nODOutputLength = 0;
    if (!ODCoreRemote()) return; /* the connection is gone; nobody to tell */
    if (ODCoreTransfer(abtODOutput, length) == 0) ODComPush(hSerialPort);
}

size_t ODCoreOutputPending(void)
{
    return nODOutputLength;
}

void ODCoreSyncPoint(void)
{
    /* The outermost end of an output call: the door is still drawing, so
     * the bytes wait for the next point. Releases and checkpoints inside
     * calls nested deeper (a chat started by a dispatched request) still
     * send. */
    if (!(nODOutputCalls > 0 && nAPILevel == 1)) ODCoreFlushOutput();
    ODScrnPublish();
}

/* Any call but an output call is a point where the door has stopped
 * drawing: od_exit above all, which may close the connection. */
static void ODCoreEnterCall(void)
{
    if (!bODOutputEntering) ODCoreFlushOutput();
}

static void ODCoreBeforeSleep(void)
{
    if (std::this_thread::get_id() == idODGameThread) ODCoreFlushOutput();
}

void ODCoreAttach(void)
{
    idODGameThread = std::this_thread::get_id();
    pfODSyncPublishScreen = ODCoreSyncPoint;
    pfODSyncEnterCall = ODCoreEnterCall;
    ODPlatSetSleepHook(ODCoreBeforeSleep);
}

void ODCoreDetach(void)
{
    ODCoreFlushOutput();
    if (pfODSyncEnterCall == ODCoreEnterCall) pfODSyncEnterCall = nullptr;
    ODPlatSetSleepHook(nullptr);
}

static int ODCoreCollecting(void)
{
    return pfODSyncPublishScreen == ODCoreSyncPoint && eODLifecycleState == OD_STATE_RUNNING
           && nAPILevel > 0 && !bODOutputTransferring;
}

void ODCoreKernelIfDue(void)
{
    if (ODTimerElapsed(&RunKernelTimer)) ODKrnlRunPass();
}

static void ODCoreSendBytes(const uint8_t *bytes, size_t length)
{
    if (length == 0 || !ODCoreRemote()) return;
    if (!ODCoreCollecting()) {
        ODCoreFlushOutput();
        ODCoreTransfer(bytes, length);
        return;
    }
    if (length > sizeof abtODOutput - nODOutputLength) {
        ODCoreFlushOutput();
        if (length > sizeof abtODOutput) {
            ODCoreTransfer(bytes, length);
            return;
        }
    }
    memcpy(abtODOutput + nODOutputLength, bytes, length);
    nODOutputLength += length;
}

void ODCoreSend(const char *bytes, size_t length)
{
    ODCoreKernelIfDue();
    ODCoreSendBytes((const uint8_t *)bytes, length);
}

int ODCoreSendRemoteBuffer(const uint8_t *bytes, int size)
{
    if (!ODCoreRemote()) return ODCOM_FAIL;
    if (size <= 0 || !bytes) return size == 0 ? 0 : ODCOM_FAIL;
    ODCoreFlushOutput();
    return ODCoreTransfer(bytes, (size_t)size);
}

int ODCoreSendRemoteByte(uint8_t byte)
{
    if (!ODCoreRemote()) return ODCOM_FAIL;
    ODCoreFlushOutput();
    int transferring = bODOutputTransferring;
    bODOutputTransferring = 1;
    uint32_t level = ODSyncAPIRelease();
    int result = ODComSendByte(hSerialPort, byte);
    ODSyncAPIReacquire(level);
    bODOutputTransferring = transferring;
    return result;
}

/* ---- the local picture ---- */

void ODCoreShow(const char *bytes, size_t length)
{
    if (length == 0) return;
    if (bSessionScreenAvailable) {
        ODSessionScreenDisplayBuffer(bytes, length);
        ODSessionScreenPresent();
    } else {
        ODScrnDisplayBuffer(bytes, length);
    }
}

void ODCoreShowAttribute(uint8_t attribute)
{
    if (bSessionScreenAvailable) {
        ODSessionScreenSetAttribute(attribute);
        ODSessionScreenPresent();
    } else {
        ODScrnSetAttribute(attribute);
    }
}

/* ---- colour ---- */

/* Appends one ANSI colour parameter: the first after ESC "[", the others
 * after ";". */
static void ODCoreAddParameter(char *sequence, size_t size, size_t *length, int value)
{
    int written = snprintf(sequence + *length, size - *length, *length == 0 ? "x[%d" : ";%d", value);
    if (written < 0 || (size_t)written >= size - *length) return;
    if (*length == 0) sequence[0] = 27;
    *length += (size_t)written;
}

void ODCoreSetAttribute(uint8_t attribute)
{
    int current = od_control.current_attribute;

    if (od_control.caller_avatar) {
        if (attribute == current) return;
        od_control.current_attribute = attribute;
        ODCoreShowAttribute(attribute);
        const uint8_t sequence[3] = {0x16, 0x01, attribute};
        ODCoreSend((const char *)sequence, sizeof sequence);
        return;
    }

    if (!od_control.caller_ansi) {
        od_control.last_error = ODERR_NOGRAPHICS;
        return;
    }

    char sequence[40];
    size_t length = 0;
    /* ANSI cannot switch blink or bright off by itself: that takes a reset
     * and a full description. */
    if (current != -1 && (((current & 0x80) && !(attribute & 0x80)) || ((current & 0x08) && !(attribute & 0x08))))
        current = -1;
    if (current == -1) {
        ODCoreAddParameter(sequence, sizeof sequence, &length, 0);
        if (attribute & 0x80) ODCoreAddParameter(sequence, sizeof sequence, &length, 5);
        if (attribute & 0x08) ODCoreAddParameter(sequence, sizeof sequence, &length, 1);
    } else {
        if ((attribute & 0x80) && !(current & 0x80)) ODCoreAddParameter(sequence, sizeof sequence, &length, 5);
        if ((attribute & 0x08) && !(current & 0x08)) ODCoreAddParameter(sequence, sizeof sequence, &length, 1);
    }
    if (current == -1 || (attribute & 0x07) != (current & 0x07))
        ODCoreAddParameter(sequence, sizeof sequence, &length, abtPCToANSIColorTable[attribute & 0x07]);
    if (current == -1 || (attribute & 0x70) != (current & 0x70))
        ODCoreAddParameter(sequence, sizeof sequence, &length, abtPCToANSIColorTable[(attribute >> 4) & 0x07] + 10);
    if (length > 0) {
        sequence[length++] = 'm';
        ODCoreSend(sequence, length);
    }
    od_control.current_attribute = attribute;
    ODCoreShowAttribute(attribute);
}

void od_set_attrib(int attribute)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return;
    if (attribute == -1) return;
    if (attribute < 0 || attribute > 255) {
        od_control.last_error = ODERR_PARAM;
        return;
    }
    ODCoreSetAttribute((uint8_t)attribute);
}

void od_set_color(int foreground, int background)
{
    if (!ODSyncPublicCallAllowed()) return;
    int attribute = background * 16 + foreground;
    if (attribute == -1) return;
    od_set_attrib(attribute);
}

/* ---- text ---- */

void od_disp(const char *buffer, int size, int local_echo)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return;
    if (size < 0 || (size > 0 && !buffer)) {
        od_control.last_error = ODERR_PARAM;
        return;
    }
    ODCoreSend(buffer, (size_t)size);
    if (local_echo) ODCoreShow(buffer, (size_t)size);
}

void od_disp_str(const char *text)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return;
    if (!text) {
        od_control.last_error = ODERR_PARAM;
        return;
    }
    size_t length = strlen(text);
    ODCoreSend(text, length);
    ODCoreShow(text, length);
}

void od_putch(int ch)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return;
    uint8_t byte = (uint8_t)ch;
    ODCoreShow((const char *)&byte, 1);
    ODCoreSendBytes(&byte, 1);
    ODCoreKernelIfDue();
}

void od_repeat(char value, uint8_t times)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return;
    if (times == 0) return;
    memset(szODOutputWork, value, times);
    szODOutputWork[times] = '\0';
    ODCoreShow(szODOutputWork, times);
    if (od_control.caller_avatar) {
        const char sequence[3] = {0x19, value, (char)times};
        ODCoreSend(sequence, sizeof sequence);
    } else {
        ODCoreSend(szODOutputWork, times);
    }
}

/* ---- clearing the screen ---- */

void od_clr_scr(void)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return;
    /* A caller who asked not to have the screen cleared keeps it, unless
     * the door insists. */
    if (!od_control.always_clear_screen && !(od_control.caller_flags & 0x02)) return;

    if (od_control.caller_rip) {
        ODCoreSend("!|*", 3);
        ODCoreSend("!|w0000270M12", 13);
    }
    if (od_control.caller_ansi)
        ODCoreSend("\x1b[2J\x1b[1;1H", 10);
    else
        ODCoreSend("\x0c", 1);

    if (bSessionScreenAvailable) {
        ODSessionScreenClear();
        ODSessionScreenPresent();
    } else {
        ODScrnClear();
    }

    /* After a clear the terminal's colour is unknown; put it back with one
     * full description so the screen keeps its colour. */
    int previous = od_control.current_attribute;
    od_control.current_attribute = -1;
    if (previous != -1) ODCoreSetAttribute((uint8_t)previous);
}

/* ---- waiting for the output to leave ---- */

void ODWaitDrain(uint32_t milliseconds)
{
    ODCoreFlushOutput();
    if (!ODCoreRemote()) return;
    uint64_t start = ODPlatTickMs();
    for (;;) {
        int outbound = 0;
        if (ODComOutbound(hSerialPort, &outbound) != 0 || outbound == 0) return;
        if (!bODInitialized) return;
        if (milliseconds != 0xFFFFFFFFu && ODPlatTickMs() - start >= milliseconds) return;
        od_sleep(0);
        if (eODLifecycleState == OD_STATE_RUNNING) ODKrnlRunPass();
    }
}

