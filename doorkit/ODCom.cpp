/* ODCom.cpp -- the caller's connection, portable part: the handle and its
 * settings, the telnet receive machine and send escaping, CP437 to UTF-8,
 * and the public calls about the line and the caller. The transports
 * themselves live in posix/ODComPosix.cpp and win32/ODComWin32.cpp. */
#include "ODCom.h"
#include "ODComInt.h"
#include "ODInEx.h"
#include "ODInQue.h"
#include "ODPlat.h"
#include "ODSync.h"
#include "ODUtil.h"
#include "doorkit.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

tPortHandle hSerialPort = nullptr;
int bUserEightBit = 0;
int bODComTelnetSocket = 0;
const char *pszODComUserID = nullptr;

/* Sends larger than this give their scratch space back afterwards, so one
 * huge send does not pin memory for the rest of the session. */
#define ODCOM_SCRATCH_KEEP 65536

/* Bytes a non-waiting telnet read consumes at most without finding data. */
#define ODCOM_TELNET_SKIP_LIMIT 4096

/* ---- handle and settings ---- */

int ODComAlloc(tPortHandle *handle)
{
    if (!handle) return ODCOM_FAIL;
    ODComPort *p = (ODComPort *)calloc(1, sizeof *p);
    if (!p) return ODCOM_NOMEM;
    p->btFlowControl = 0x80;
    p->btWordFormat = 3;
    p->dwRXBufferSize = 1024;
    p->dwTXBufferSize = 1024;
    p->btFIFOSetting = 0x81;
    p->nHandle = -1;
    int rc = ODComPlatAlloc(p);
    if (rc != ODCOM_OK) {
        free(p);
        return rc;
    }
    *handle = p;
    return ODCOM_OK;
}

void ODComFree(tPortHandle p)
{
    if (!p) return;
    if (p->bIsOpen) ODComClose(p);
    ODComPlatFree(p);
    free(p->pbtScratch);
    free(p);
}

int ODComSetFlowControl(tPortHandle p, uint8_t v) { if (!p) return ODCOM_FAIL; p->btFlowControl = v; return ODCOM_OK; }
int ODComSetSpeed(tPortHandle p, uint32_t v)      { if (!p) return ODCOM_FAIL; p->dwSpeed = v; return ODCOM_OK; }
int ODComSetPort(tPortHandle p, uint8_t v)        { if (!p) return ODCOM_FAIL; p->btPort = v; return ODCOM_OK; }
int ODComSetPortAddress(tPortHandle p, uint32_t v){ if (!p) return ODCOM_FAIL; p->dwPortAddress = v; return ODCOM_OK; }
int ODComSetIRQ(tPortHandle p, uint8_t v)         { if (!p) return ODCOM_FAIL; p->btIRQ = v; return ODCOM_OK; }
int ODComSetRXBuf(tPortHandle p, uint32_t v)      { if (!p) return ODCOM_FAIL; p->dwRXBufferSize = v; return ODCOM_OK; }
int ODComSetTXBuf(tPortHandle p, uint32_t v)      { if (!p) return ODCOM_FAIL; p->dwTXBufferSize = v; return ODCOM_OK; }
int ODComSetFIFO(tPortHandle p, uint8_t v)        { if (!p) return ODCOM_FAIL; p->btFIFOSetting = v; return ODCOM_OK; }

static void ODComTelnetReset(ODComPort *p)
{
    p->nTelnetState = ODTEL_DATA;
    p->bPushedBack = 0;
    p->btPushedBack = 0;
}

int ODComSetPreferredMethod(tPortHandle p, int method)
{
    if (!p) return ODCOM_FAIL;
    if (method == ODCOM_METHOD_TELNET) {
        p->nMethod = ODCOM_METHOD_SOCKET;
        p->bTelnet = 1;
    } else {
        p->nMethod = method;
        p->bTelnet = 0;
    }
    ODComTelnetReset(p);
    return ODCOM_OK;
}

int ODComGetMethod(tPortHandle p, int *method)
{
    if (!p || !method) return ODCOM_FAIL;
    *method = p->nMethod;
    return ODCOM_OK;
}

/* ---- opening and closing ---- */

void ODComSerialDeviceName(char *out, size_t size, unsigned number)
{
    char digits[16];
    snprintf(digits, sizeof digits, "%u", number);
    const char *mark = strstr(szODComSerialDevice, "%u");
    size_t prefix = mark ? (size_t)(mark - szODComSerialDevice) : strlen(szODComSerialDevice);
    snprintf(out, size, "%.*s%s%s", (int)prefix, szODComSerialDevice, mark ? digits : "", mark ? mark + 2 : "");
}

static void ODComMarkOpen(ODComPort *p)
{
    p->bIsOpen = 1;
    p->avatar = tODComAvatarState{};
    p->bPeerGone = 0;
    p->nReadPos = p->nReadLen = 0;
    ODComTelnetReset(p);
}

int ODComOpen(tPortHandle p)
{
    if (!p) return ODCOM_FAIL;
    if (p->bIsOpen) return ODCOM_OK;
    if (p->nMethod == ODCOM_METHOD_NONE || p->nMethod == ODCOM_METHOD_DOOR32) {
        if (ODComPlatLoadDoor32(p) == ODCOM_OK) {
            p->nMethod = ODCOM_METHOD_DOOR32;
            ODComMarkOpen(p);
            return ODCOM_OK;
        }
        if (p->nMethod == ODCOM_METHOD_DOOR32) return ODCOM_FAIL;
    }
    if (p->nMethod == ODCOM_METHOD_STDIO) {
        if (ODComPlatOpenStdio(p) != ODCOM_OK) return ODCOM_FAIL;
        ODComMarkOpen(p);
        return ODCOM_OK;
    }
    if (p->nMethod != ODCOM_METHOD_NONE && p->nMethod != ODCOM_METHOD_SERIAL) return ODCOM_FAIL;
    if (ODComPlatOpenSerial(p) != ODCOM_OK) return ODCOM_FAIL;
    p->nMethod = ODCOM_METHOD_SERIAL;
    p->nReadMode = ODCOM_READ_UNKNOWN;
    ODComMarkOpen(p);
    return ODCOM_OK;
}

int ODComOpenFromExistingHandle(tPortHandle p, uint64_t existing)
{
    if (!p) return ODCOM_FAIL;
    if (p->nMethod == ODCOM_METHOD_SOCKET) {
        if (ODComPlatAdoptSocket(p, existing) != ODCOM_OK) return ODCOM_FAIL;
        p->bInherited = 0;
    } else {
        if (ODComPlatAdoptSerial(p, existing) != ODCOM_OK) return ODCOM_FAIL;
        p->nMethod = ODCOM_METHOD_SERIAL;
        p->nReadMode = ODCOM_READ_UNKNOWN;
        p->bInherited = 1;
    }
    ODComMarkOpen(p);
    return ODCOM_OK;
}

int ODComClose(tPortHandle p)
{
    if (!p) return ODCOM_FAIL;
    if (p->bIsOpen) ODComPlatClose(p);
    ODComTelnetReset(p);
    p->nReadPos = p->nReadLen = 0;
    p->bIsOpen = 0;
    return ODCOM_OK;
}

/* ---- line state ---- */

/* The last wait found the line quiet and its waiter has not moved on. */
static int ODComQuiet(ODComPort *p)
{
    return p->bQuiet;
}

void ODComForgetQuiet(tPortHandle p)
{
    if (p) p->bQuiet = 0;
}

int ODComLineQuiet(tPortHandle p)
{
    return p && p->bQuiet && p->nReadPos >= p->nReadLen && !p->bPushedBack;
}

int ODComInputBuffered(tPortHandle p)
{
    return p ? p->nReadLen - p->nReadPos : 0;
}

int ODComCarrier(tPortHandle p, int *carrier)
{
    if (!p || !carrier) return ODCOM_FAIL;
    if (!p->bIsOpen || p->bPeerGone) {
        *carrier = 0;
        return ODCOM_OK;
    }
    /* Bytes the caller sent before hanging up are still the caller's. */
    if (p->nReadPos < p->nReadLen || ODComQuiet(p)) {
        *carrier = 1;
        return ODCOM_OK;
    }
    return ODComPlatCarrier(p, carrier);
}

int ODComSetDTR(tPortHandle p, int raise)
{
    if (!p || !p->bIsOpen) return ODCOM_FAIL;
    return ODComPlatSetDTR(p, raise);
}

int ODComOutbound(tPortHandle p, int *count)
{
    if (!p || !count) return ODCOM_FAIL;
    *count = 0;
    if (!p->bIsOpen) return ODCOM_FAIL;
    return ODComPlatOutbound(p, count);
}

int ODComClearInbound(tPortHandle p)
{
    if (!p || !p->bIsOpen) return ODCOM_FAIL;
    return ODComPlatClearInbound(p);
}

/* ---- receiving ---- */

/* The next byte from the read-ahead, filling it from the transport when
 * empty. Codes as ODComPlatRead. */
static int ODComFetch(ODComPort *p, uint8_t *byte, uint32_t wait_ms)
{
    if (p->nReadPos >= p->nReadLen) {
        if (p->bPeerGone) return ODCOM_NOTHING;
        if (wait_ms == 0 && ODComQuiet(p)) {
            /* Answered by the wait just before; the next read asks again. */
            p->bQuiet = 0;
            return ODCOM_NOTHING;
        }
        int got = 0;
        p->nReadPos = p->nReadLen = 0;
        int rc = ODComPlatRead(p, p->abtReadAhead, (int)sizeof p->abtReadAhead, wait_ms, &got);
        if (rc != ODCOM_OK) return rc;
        p->nReadLen = got;
    }
    *byte = p->abtReadAhead[p->nReadPos++];
    return ODCOM_OK;
}

/* Feeds one received byte to the telnet machine. 1 with *out set when the
 * byte (or a pending CR) is data for the door. */
static int ODComTelnetFeed(ODComPort *p, uint8_t byte, uint8_t *out)
{
    switch (p->nTelnetState) {
    case ODTEL_DATA:
        if (byte == 255) {
            p->nTelnetState = ODTEL_IAC;
            return 0;
        }
        if (byte == 13) {
            p->nTelnetState = ODTEL_CR;
            return 0;
        }
        *out = byte;
        return 1;
    case ODTEL_IAC:
        if (byte == 255) {
            p->nTelnetState = ODTEL_DATA;
            *out = 255;
            return 1;
        }
        if (byte >= 251) p->nTelnetState = ODTEL_OPTION;
        else if (byte == 250) p->nTelnetState = ODTEL_SUB;
        else p->nTelnetState = ODTEL_DATA;
        return 0;
    case ODTEL_OPTION:
        p->nTelnetState = ODTEL_DATA;
        return 0;
    case ODTEL_SUB:
        if (byte == 255) p->nTelnetState = ODTEL_SUB_IAC;
        return 0;
    case ODTEL_SUB_IAC:
        p->nTelnetState = byte == 240 ? ODTEL_DATA : ODTEL_SUB;
        return 0;
    case ODTEL_CR:
    default:
        p->nTelnetState = ODTEL_DATA;
        if (byte != 10 && byte != 0) {
            p->bPushedBack = 1;
            p->btPushedBack = byte;
        }
        *out = 13;
        return 1;
    }
}

int ODComGetByte(tPortHandle p, char *byte, int wait)
{
    if (!p || !byte || !p->bIsOpen) return ODCOM_FAIL;
    uint32_t wait_ms = wait ? OD_WAIT_FOREVER : 0;
    if (!p->bTelnet) {
        uint8_t b;
        int rc = ODComFetch(p, &b, wait_ms);
        if (rc == ODCOM_OK) {
            *byte = (char)b;
            return ODCOM_OK;
        }
        return wait ? ODCOM_FAIL : rc;
    }
    /* Without waiting, a caller streaming nothing but telnet commands could
     * keep this loop busy as long as the stream lasts; it gives up after a
     * bounded amount, keeping its state for the next call. */
    int budget = ODCOM_TELNET_SKIP_LIMIT;
    for (;;) {
        uint8_t in, out;
        if (!wait && budget-- == 0) return ODCOM_NOTHING;
        if (p->bPushedBack) {
            p->bPushedBack = 0;
            in = p->btPushedBack;
        } else {
            /* A CR waits a little for the LF or NUL that telnet sends with
             * it; a CR alone is delivered when nothing follows. */
            int rc = ODComFetch(p, &in, p->nTelnetState == ODTEL_CR ? 20 : wait_ms);
            if (rc != ODCOM_OK) {
                if (rc == ODCOM_NOTHING && !p->bPeerGone && p->nTelnetState == ODTEL_CR) {
                    p->nTelnetState = ODTEL_DATA;
                    *byte = 13;
                    return ODCOM_OK;
                }
                if (rc != ODCOM_NOTHING || p->bPeerGone) ODComTelnetReset(p);
                return wait ? ODCOM_FAIL : rc;
            }
        }
        if (ODComTelnetFeed(p, in, &out)) {
            *byte = (char)out;
            return ODCOM_OK;
        }
    }
}

int ODComWaitInput(tPortHandle p, int64_t wake, uint32_t wait_ms)
{
    if (p) p->bQuiet = 0;
    if (p && (p->nReadPos < p->nReadLen || p->bPushedBack)) return 0;
    tPortHandle line = p && p->bIsOpen && !p->bPeerGone ? p : nullptr;
    int seen = ODComPlatWaitInput(line, wake, wait_ms);
    if (line && (seen & ODCOM_LINE_QUIET)) p->bQuiet = 1;
    /* A local session has no line to hear; a line that has gone is news. */
    if (!p && !(seen & ODCOM_WAKE_SEEN)) seen |= ODCOM_LINE_QUIET;
    else if (!line) seen &= ~ODCOM_LINE_QUIET;
    return seen;
}

/* ---- sending ---- */

/* Scratch space of at least size bytes; null when out of memory. */
static uint8_t *ODComScratch(ODComPort *p, size_t size)
{
    if (p->nScratchSize < size) {
        uint8_t *grown = (uint8_t *)realloc(p->pbtScratch, size);
        if (!grown) return nullptr;
        p->pbtScratch = grown;
        p->nScratchSize = size;
    }
    return p->pbtScratch;
}

static void ODComScratchTrim(ODComPort *p)
{
    if (p->nScratchSize > ODCOM_SCRATCH_KEEP) {
        free(p->pbtScratch);
        p->pbtScratch = nullptr;
        p->nScratchSize = 0;
    }
}

/* ---- AVATAR commands in converted output ----
 *
 * An AVATAR terminal reads the bytes after a command as its binary
 * parameters (an attribute, a repeated character and its count, a cursor
 * position); they must reach it as they are, however the text around them
 * is converted. The position inside a command is kept between sends, since
 * a command may be split across two. */

#define ODAVT_TEXT     0
#define ODAVT_COMMAND  1 /* after ^V: the command byte comes next */
#define ODAVT_PATTERN  2 /* after ^V^Y: the pattern length comes next */
#define ODAVT_PARAMS   3 /* wParamsLeft bytes of parameters follow */

/* Parameter bytes of each ^V command (0x01-0x0E; others have none). */
static const uint8_t abtODAvatarParams[15] = {0, 1, 0, 0, 0, 0, 0, 0, 2, 0, 5, 5, 3, 4, 0};

/* Whether the byte is part of a command (sent unconverted), moving the
 * state on; state null means plain text throughout. */
static int ODComAvatarByte(tODComAvatarState *state, uint8_t b)
{
    if (!state) return 0;
    switch (state->btStep) {
    case ODAVT_COMMAND:
        if (b == 0x19) {
            state->btStep = ODAVT_PATTERN;
        } else {
            state->wParamsLeft = b < sizeof abtODAvatarParams ? abtODAvatarParams[b] : 0;
            state->btStep = state->wParamsLeft ? ODAVT_PARAMS : ODAVT_TEXT;
        }
        return 1;
    case ODAVT_PATTERN:
        /* The pattern's bytes, then the repeat count. */
        state->wParamsLeft = (uint16_t)(b + 1);
        state->btStep = ODAVT_PARAMS;
        return 1;
    case ODAVT_PARAMS:
        if (--state->wParamsLeft == 0) state->btStep = ODAVT_TEXT;
        return 1;
    default:
        if (b == 0x16) {
            state->btStep = ODAVT_COMMAND;
            return 1;
        }
        if (b == 0x19) {
            state->wParamsLeft = 2; /* the character and the count */
            state->btStep = ODAVT_PARAMS;
            return 1;
        }
        return 0;
    }
}

/* UTF-8 length of CP437 bytes, AVATAR parameters counted as they are (from
 * a copy of the state); -1 past 0x7FFFFFFF. */
static int64_t ODComUnicodeLength(const uint8_t *bytes, int length, const tODComAvatarState *avatar)
{
    tODComAvatarState copy = avatar ? *avatar : tODComAvatarState{};
    tODComAvatarState *state = avatar ? &copy : nullptr;
    int64_t total = 0;
    for (int i = 0; i < length; i++) {
        if (ODComAvatarByte(state, bytes[i])) total++;
        else total += bytes[i] < 0x80 ? 1 : cp437_unicode_table[bytes[i] - 0x80] < 0x800 ? 2 : 3;
    }
    return total > 0x7FFFFFFF ? -1 : total;
}

static void ODComUnicodeWrite(const uint8_t *bytes, int length, uint8_t *out, tODComAvatarState *avatar)
{
    for (int i = 0; i < length; i++) {
        uint8_t b = bytes[i];
        int command = ODComAvatarByte(avatar, b);
        if (command || b < 0x80) {
            *out++ = b;
            continue;
        }
        uint16_t cp = cp437_unicode_table[b - 0x80];
        if (cp < 0x800) {
            *out++ = (uint8_t)(0xC0 | (cp >> 6));
            *out++ = (uint8_t)(0x80 | (cp & 0x3F));
        } else {
            *out++ = (uint8_t)(0xE0 | (cp >> 12));
            *out++ = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
            *out++ = (uint8_t)(0x80 | (cp & 0x3F));
        }
    }
}

uint8_t *ODComCP437ToUnicode(const uint8_t *bytes, int *length)
{
    if (!bytes || !length || *length < 0) {
        od_control.last_error = ODERR_LIMIT;
        return nullptr;
    }
    int64_t total = ODComUnicodeLength(bytes, *length, nullptr);
    if (total < 0) {
        od_control.last_error = ODERR_LIMIT;
        return nullptr;
    }
    uint8_t *out = (uint8_t *)malloc(total > 0 ? (size_t)total : 1);
    if (!out) {
        od_control.last_error = ODERR_NOMEMORY;
        return nullptr;
    }
    ODComUnicodeWrite(bytes, *length, out, nullptr);
    *length = (int)total;
    return out;
}

/* Length of the telnet-escaped form; -1 when it would reach 2^31. */
static int64_t ODComTelnetLength(const uint8_t *bytes, int length)
{
    int64_t total = length;
    for (int i = 0; i < length; i++) {
        if (bytes[i] == 255) total++;
        else if (bytes[i] == 13 && !(i + 1 < length && bytes[i + 1] == 10)) total++;
    }
    return total >= 0x80000000LL ? -1 : total;
}

static void ODComTelnetEscape(const uint8_t *bytes, int length, uint8_t *out)
{
    for (int i = 0; i < length; i++) {
        uint8_t b = bytes[i];
        *out++ = b;
        if (b == 255) *out++ = 255;
        else if (b == 13 && !(i + 1 < length && bytes[i + 1] == 10)) *out++ = 0;
    }
}

int ODComSendBuffer(tPortHandle p, const uint8_t *bytes, int length)
{
    if (!p || length < 0 || (!bytes && length > 0)) return ODCOM_FAIL;
    if (length == 0) return ODCOM_OK;
    if (!p->bIsOpen) return ODCOM_FAIL;
    if (p->nMethod == ODCOM_METHOD_NONE) return ODCOM_OK;

    const uint8_t *send = bytes;
    int send_length = length;
    uint8_t *converted = nullptr;
    if (od_control.remote_utf8) {
        tODComAvatarState *avatar = od_control.caller_avatar ? &p->avatar : nullptr;
        int64_t total = ODComUnicodeLength(bytes, length, avatar);
        if (total < 0) {
            od_control.last_error = ODERR_LIMIT;
            return ODCOM_FAIL;
        }
        if (p->bTelnet) {
            /* Escaping needs its own space: the converted form goes to a
             * heap buffer of its own, the escaped one to the scratch. */
            converted = (uint8_t *)malloc((size_t)total);
            if (!converted) {
                od_control.last_error = ODERR_NOMEMORY;
                return ODCOM_FAIL;
            }
            ODComUnicodeWrite(bytes, length, converted, avatar);
        } else {
            converted = nullptr;
            uint8_t *scratch = ODComScratch(p, (size_t)total);
            if (!scratch) {
                od_control.last_error = ODERR_NOMEMORY;
                return ODCOM_FAIL;
            }
            ODComUnicodeWrite(bytes, length, scratch, avatar);
        }
        send = converted ? converted : p->pbtScratch;
        send_length = (int)total;
    }
    if (p->bTelnet) {
        int64_t total = ODComTelnetLength(send, send_length);
        uint8_t *scratch = total < 0 ? nullptr : ODComScratch(p, (size_t)total);
        if (!scratch) {
            od_control.last_error = total < 0 ? ODERR_LIMIT : ODERR_NOMEMORY;
            free(converted);
            return ODCOM_FAIL;
        }
        ODComTelnetEscape(send, send_length, scratch);
        send = scratch;
        send_length = (int)total;
    }
    int rc = ODComPlatWrite(p, send, send_length);
    free(converted);
    ODComScratchTrim(p);
    return rc;
}

void ODComPush(tPortHandle p)
{
    if (p && p->bIsOpen && (p->nMethod == ODCOM_METHOD_SOCKET || p->nMethod == ODCOM_METHOD_TELNET))
        ODComPlatPush(p);
}

int ODComSendByte(tPortHandle p, uint8_t byte)
{
    return ODComSendBuffer(p, &byte, 1);
}

/* ---- the session's connection ---- */

int ODComSessionOpen(void)
{
    if (!hODInputQueue) {
        int capacity = od_control.input_queue_size ? od_control.input_queue_size : ODINQ_DEFAULT_SIZE;
        if (ODInQueueAlloc(&hODInputQueue, capacity) != ODINQ_OK) return 0;
        od_control.remote_keyboard_enabled = 1;
    }
    if (od_control.remote_bps == 0 || hSerialPort) return 1;
    tPortHandle port;
    if (ODComAlloc(&port) != ODCOM_OK) return 0;
    int rc;
    if (od_control.com_method == ODCOM_METHOD_STDIO) {
        ODComSetPreferredMethod(port, ODCOM_METHOD_STDIO);
        rc = ODComOpen(port);
    } else if (od_control.open_handle != 0) {
        if (od_control.handle_is_socket)
            ODComSetPreferredMethod(port, bODComTelnetSocket ? ODCOM_METHOD_TELNET : ODCOM_METHOD_SOCKET);
        rc = ODComOpenFromExistingHandle(port, od_control.open_handle);
    } else {
        ODComSetFlowControl(port, od_control.com_flow_control == 1 ? 2
                                  : od_control.com_flow_control == 2 ? 0 : 0x80);
        ODComSetPort(port, (uint8_t)od_control.com_port);
        ODComSetSpeed(port, od_control.remote_bps);
        ODComSetRXBuf(port, od_control.rx_buffer_size ? od_control.rx_buffer_size : 256);
        ODComSetTXBuf(port, od_control.tx_buffer_size ? od_control.tx_buffer_size : 3072);
        rc = ODComOpen(port);
    }
    if (rc != ODCOM_OK) {
        ODComFree(port);
        return 0;
    }
    ODComSetDTR(port, 1);
    ODComGetMethod(port, &rc);
    od_control.com_method = (uint8_t)rc;
    hSerialPort = port;
    return 1;
}

void ODComSessionClose(void)
{
    if (hSerialPort) {
        ODComClose(hSerialPort);
        ODComFree(hSerialPort);
        hSerialPort = nullptr;
    }
    if (hODInputQueue) {
        ODInQueueFree(hODInputQueue);
        hODInputQueue = nullptr;
    }
}

/* ---- public calls ---- */

static int ODComIsRemote(void)
{
    return od_control.remote_bps != 0 && hSerialPort != nullptr;
}

int od_carrier(void)
{
    ODPublicCall call;
    if (!call.entered) return 0;
    if (!ODComIsRemote()) {
        od_control.last_error = ODERR_NOREMOTE;
        return 0;
    }
    int carrier = 0;
    if (ODComCarrier(hSerialPort, &carrier) != ODCOM_OK) {
        od_control.last_error = ODERR_GENERALFAIL;
        return 0;
    }
    return carrier ? 1 : 0;
}

void od_set_dtr(int high)
{
    ODPublicCall call;
    if (!call.entered) return;
    if (!ODComIsRemote()) {
        od_control.last_error = ODERR_NOREMOTE;
        return;
    }
    if (ODComSetDTR(hSerialPort, high) != ODCOM_OK) od_control.last_error = ODERR_GENERALFAIL;
}

int od_set_port(int port)
{
    /* A port chosen before start-up; it must not start the kit itself. */
    if (!ODSyncPublicCallAllowed()) return 0;
    if (bODInitialized || port < 0 || port > 255) {
        od_control.last_error = ODERR_PARAM;
        return 0;
    }
    od_control.com_port = (uint16_t)port;
    return 1;
}

int od_get_user_8bit(void)
{
    return ODSyncPublicCallAllowed() ? bUserEightBit : 0;
}

void od_set_user_8bit(int eight_bit)
{
    bUserEightBit = eight_bit ? 1 : 0;
}

int ODFramingIsEightBit(const char *framing)
{
    if (!framing) return 0;
    while (*framing && isspace((unsigned char)*framing)) framing++;
    return *framing == '8' || strstr(framing, ",8,") != nullptr;
}

/* The name, or the handle when there is no name; null when neither. */
static const char *ODComCallerName(void)
{
    if (od_control.caller_name[0]) return od_control.caller_name;
    if (od_control.caller_handle[0]) return od_control.caller_handle;
    return nullptr;
}

const char *od_get_user_id(void)
{
    static char szUserID[48];
    szUserID[0] = '\0';
    ODPublicCall call;
    if (!call.entered) return szUserID;
    const char *name = ODComCallerName();
    char name_copy[36];
    ODStringCopy(name_copy, name ? name : "", sizeof name_copy);
    int kind = od_control.drop_file_kind;
    unsigned record = od_control.caller_record_number;
    if (kind == OD_DROP_BBSDEV) {
        ODStringCopy(szUserID, pszODComUserID ? pszODComUserID : "", sizeof szUserID);
    } else if (kind >= 1 && kind <= 13 && kind != 5 && kind != 7 && (kind != 9 || record != 0)) {
        snprintf(szUserID, sizeof szUserID, "%u:%s", record, name_copy);
    } else if (kind == 0 || kind == 5 || kind == 7 || kind == 9 || kind == OD_DROP_NONE) {
        /* A session without a drop file (kind 100: local, or speed and port
         * from the command line) is named like the kinds without a record
         * number, so a local player has an identity too. */
        if (name) snprintf(szUserID, sizeof szUserID, ":%s", name_copy);
    }
    return szUserID;
}
