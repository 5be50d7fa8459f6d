/* ODGetIn.cpp -- the input calls: raw keys from the queue (od_get_key and
 * the calls built on it) and decoded input events (od_get_input), which turn
 * the terminal's escape sequences and doorway codes into extended keys. */
#include "ODGetIn.h"
#include "ODCom.h"
#include "ODInEx.h"
#include "ODInQue.h"
#include "ODKrnl.h"
#include "ODPlat.h"
#include "ODSync.h"
#include "doorkit.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#define ESC "\x1b"

const tODKeySequence aKeySequences[OD_KEY_SEQUENCE_COUNT] = {
    {ESC "A", OD_KEY_UP, 0},     {ESC "[A", OD_KEY_UP, 0},     {ESC "OA", OD_KEY_UP, 0},     {"\x05", OD_KEY_UP, 1},
    {ESC "B", OD_KEY_DOWN, 0},   {ESC "[B", OD_KEY_DOWN, 0},   {ESC "OB", OD_KEY_DOWN, 0},   {"\x18", OD_KEY_DOWN, 1},
    {ESC "C", OD_KEY_RIGHT, 0},  {ESC "[C", OD_KEY_RIGHT, 0},  {ESC "OC", OD_KEY_RIGHT, 0},  {"\x04", OD_KEY_RIGHT, 1},
    {ESC "D", OD_KEY_LEFT, 0},   {ESC "[D", OD_KEY_LEFT, 0},   {ESC "OD", OD_KEY_LEFT, 0},   {"\x13", OD_KEY_LEFT, 1},
    {ESC "H", OD_KEY_HOME, 0},   {ESC "[H", OD_KEY_HOME, 0},   {ESC "[1~", OD_KEY_HOME, 0},
    {ESC "[L", OD_KEY_HOME, 0},  {ESC "OH", OD_KEY_HOME, 0},
    {ESC "K", OD_KEY_END, 0},    {ESC "[K", OD_KEY_END, 0},    {ESC "[F", OD_KEY_END, 0},
    {ESC "[4~", OD_KEY_END, 0},  {ESC "OK", OD_KEY_END, 0},
    {ESC "[M", OD_KEY_PGUP, 0},  {ESC "[5~", OD_KEY_PGUP, 0},  {ESC "[V", OD_KEY_PGUP, 0},
    {ESC "[H" ESC "[2J", OD_KEY_PGDN, 0}, {ESC "[6~", OD_KEY_PGDN, 0}, {ESC "[U", OD_KEY_PGDN, 0},
    {ESC "[2~", OD_KEY_INSERT, 0}, {"\x16\x09", OD_KEY_INSERT, 1}, {"\x16", OD_KEY_INSERT, 1},
    {ESC "[3~", OD_KEY_DELETE, 0}, {"\x7f", OD_KEY_DELETE, 0},    {"\x07", OD_KEY_DELETE, 1},
    {ESC "P", 59, 0},  {ESC "OP", 59, 0}, {ESC "[11~", 59, 0},
    {ESC "Q", 60, 0},  {ESC "OQ", 60, 0}, {ESC "[12~", 60, 0},
    {ESC "?w", 61, 0}, {ESC "OR", 61, 0}, {ESC "[13~", 61, 0}, {ESC "Ow", 61, 0},
    {ESC "?x", 62, 0}, {ESC "OS", 62, 0}, {ESC "[14~", 62, 0}, {ESC "Ox", 62, 0},
    {ESC "?t", 63, 0}, {ESC "[15~", 63, 0}, {ESC "Ot", 63, 0},
    {ESC "?u", 64, 0}, {ESC "[17~", 64, 0}, {ESC "Ou", 64, 0},
    {ESC "?q", 65, 0}, {ESC "[18~", 65, 0}, {ESC "Oq", 65, 0},
    {ESC "?r", 66, 0}, {ESC "[19~", 66, 0}, {ESC "Or", 66, 0},
    {ESC "?p", 67, 0}, {ESC "[20~", 67, 0}, {ESC "Op", 67, 0},
    {ESC "[21~", OD_KEY_F10, 0},
    {ESC "[23~", OD_KEY_F11, 0},
    {ESC "[24~", OD_KEY_F12, 0},
};

/* Decoding state, kept between calls of od_get_input for the process. */
static char szCurrentSequence[OD_SEQUENCE_MAX + 1];
static int  nSequenceLength = 0;
static int  bDoorwayMode = 0;
static int  bDoorwayPending = 0;

static int ODGetInDeliverFirst(tODInputEvent *out, uint32_t remote);

/* ---- waiting ---- */

/* Milliseconds to the deadline on the session clock; 0 once it has passed. */
static uint32_t ODGetInDeadlineLeft(const tODDeadline *deadline)
{
    uint32_t s;
    uint16_t ms;
    ODSessionTimeGet(&s, &ms);
    if (deadline->dwSeconds < s || (deadline->dwSeconds == s && deadline->wMilliseconds <= ms)) return 0;
    uint64_t left = (uint64_t)(deadline->dwSeconds - s) * 1000u + deadline->wMilliseconds - ms;
    return left > 0xFFFFFFF0u ? 0xFFFFFFF0u : (uint32_t)left;
}

int ODGetInNextEvent(tODInputEvent *event, const tODTimer *timer, const tODDeadline *deadline)
{
    if (!hODInputQueue) return -1;
    int look = 1;
    for (;;) {
        if (look && ODInQueueGetNextEvent(hODInputQueue, event, 0) == ODINQ_OK) return 1;
        uint32_t slice = OD_WAIT_SLICE_MS;
        if (timer) {
            uint32_t left = ODTimerLeft(timer);
            if (left == 0) return 0;
            if (left < slice) slice = left;
        }
        if (deadline) {
            uint32_t left = ODGetInDeadlineLeft(deadline);
            if (left == 0) return 0;
            if (left < slice) slice = left;
        }
        if (ODMaxMSToWait < slice) slice = ODMaxMSToWait;
        ODMaxMSToWait = OD_WAIT_SLICE_MS;
        uint32_t level = ODSyncAPIRelease();
        int seen = ODComWaitInput(hSerialPort, ODInQueueGetWakeHandle(hODInputQueue), slice);
        /* Cleared only once seen, and before the next look: a key queued
         * after the look signals again and ends the next wait at once. */
        if (seen & ODCOM_WAKE_SEEN) ODInQueueClearWake(hODInputQueue);
        ODSyncAPIReacquire(level);
        /* A slice that heard nothing (input, a hang-up, a local key, a
         * sysop request and a signal all end the wait) brought no event
         * and leaves the checkpoint only the clock's duties, which keep
         * the kernel's 250 ms period: most idle slices are their wait
         * alone. On the virtual clock every slice looks: its time passes
         * in a thousandth of the real time (the wait's pause), and the
         * kernel's duties keep step with it. */
        look = !(seen & ODCOM_LINE_QUIET) || (seen & ODCOM_WAKE_SEEN) || ODTimerElapsed(&RunKernelTimer) ||
               ODPlatClockIsVirtual();
        if (!look) {
            ODComForgetQuiet(hSerialPort);
            continue;
        }
        int running = ODSyncAPICheckpoint();
        ODComForgetQuiet(hSerialPort);
        if (!running) return -1;
    }
}

/* ---- raw keys ---- */

char od_get_key(int wait)
{
    ODPublicCall call;
    if (!call.entered) return 0;
    ODKrnlRunPass();
    for (;;) {
        tODInputEvent event;
        int got;
        /* Bytes a decoded read took from the queue but did not use come
         * first, so a game that mixes both kinds of read loses no key. */
        if (!bDoorwayMode && nSequenceLength > 0) got = ODGetInDeliverFirst(&event, 1);
        else if (wait) got = ODGetInNextEvent(&event, nullptr, nullptr);
        else got = hODInputQueue && ODInQueueGetNextEvent(hODInputQueue, &event, 0) == ODINQ_OK;
        if (got != 1) return 0;
        od_control.last_key_local = event.bFromRemote ? 0 : 1;
        /* Enter arrives as CR; the LF that many terminals send with it is
         * not a key of its own. */
        if (event.chKeyPress == 10) continue;
        return (char)event.chKeyPress;
    }
}

int od_key_pending(void)
{
    if (!ODSyncPublicCallAllowed()) return 0;
    ODPublicCall call;
    if (!call.entered) return 0;
    ODKrnlRunPass();
    return ODInQueueWaiting(hODInputQueue);
}

void od_clear_keybuffer(void)
{
    ODPublicCall call;
    if (!call.entered) return;
    ODKrnlRunPass();
    ODInQueueEmpty(hODInputQueue);
    if (od_control.remote_bps != 0 && hSerialPort) ODComClearInbound(hSerialPort);
}

char od_get_answer(const char *allowed)
{
    ODPublicCall call;
    if (!call.entered) return 0;
    if (!allowed) {
        od_control.last_error = ODERR_PARAM;
        return 0;
    }
    for (;;) {
        char key = od_get_key(1);
        if (eODLifecycleState != OD_STATE_RUNNING) return 0;
        if (key == 0) continue;
        for (const char *c = allowed; *c; c++)
            if (toupper((unsigned char)*c) == toupper((unsigned char)key)) return *c;
    }
}

void od_input_str(char *buffer, int max_length, unsigned char minimum, unsigned char maximum)
{
    ODPublicCall call;
    if (!call.entered) return;
    if (!buffer || max_length < 1 || minimum > maximum) {
        od_control.last_error = ODERR_PARAM;
        return;
    }
    int position = 0;
    buffer[0] = '\0';
    for (;;) {
        unsigned char key = (unsigned char)od_get_key(1);
        if (eODLifecycleState != OD_STATE_RUNNING) {
            buffer[position] = '\0';
            return;
        }
        if (key == 13 || key == 10) {
            buffer[position] = '\0';
            od_disp_str("\r\n");
            return;
        }
        if (key == 8) {
            if (position > 0) {
                od_disp_str("\b \b");
                position--;
            }
            continue;
        }
        if (key >= minimum && key <= maximum && position < max_length) {
            char echo[2] = {(char)key, '\0'};
            od_disp_str(echo);
            buffer[position++] = (char)key;
        }
    }
}

/* ---- decoded input ---- */

static int ODGetInRowUsable(const tODKeySequence *row, uint16_t flags)
{
    return !(row->bIsControl && (flags & GETIN_NOCTRL));
}

/* Whether some row and the buffer agree over the shorter of the two. */
static int ODGetInAnyRowBegins(uint16_t flags)
{
    for (const tODKeySequence &row : aKeySequences) {
        if (!ODGetInRowUsable(&row, flags)) continue;
        size_t length = strlen(row.pszSequence);
        size_t n = length < (size_t)nSequenceLength ? length : (size_t)nSequenceLength;
        if (memcmp(row.pszSequence, szCurrentSequence, n) == 0) return 1;
    }
    return 0;
}

#define OD_SWALLOWED   2 /* a step took a sequence that is no key */
#define OD_UNDECIDED  -1 /* a longer row may still complete */
#define OD_NO_MATCH   -2 /* nothing matches and nothing could */

/* The decided match on the buffer: the longest row that equals its start,
 * unless a longer row still begins with the whole buffer. */
static int ODGetCodeIfLongest(uint16_t flags)
{
    if (flags & GETIN_RAW) return OD_NO_MATCH;
    int best = OD_NO_MATCH;
    size_t best_length = 0;
    int undecided = 0;
    for (int i = 0; i < OD_KEY_SEQUENCE_COUNT; i++) {
        const tODKeySequence *row = &aKeySequences[i];
        if (!ODGetInRowUsable(row, flags)) continue;
        size_t length = strlen(row->pszSequence);
        if (length <= (size_t)nSequenceLength) {
            if (length > best_length && memcmp(row->pszSequence, szCurrentSequence, length) == 0) {
                best = i;
                best_length = length;
            }
        } else if (memcmp(row->pszSequence, szCurrentSequence, (size_t)nSequenceLength) == 0) {
            undecided = 1;
        }
    }
    return undecided ? OD_UNDECIDED : best;
}

/* The longest row whose whole sequence equals the start of the buffer. */
static int ODGetInLongestFullMatch(uint16_t flags)
{
    if (flags & GETIN_RAW) return -1;
    int best = -1;
    size_t best_length = 0;
    for (int i = 0; i < OD_KEY_SEQUENCE_COUNT; i++) {
        const tODKeySequence *row = &aKeySequences[i];
        if (!ODGetInRowUsable(row, flags)) continue;
        size_t length = strlen(row->pszSequence);
        if (length <= (size_t)nSequenceLength && length > best_length &&
            memcmp(row->pszSequence, szCurrentSequence, length) == 0) {
            best = i;
            best_length = length;
        }
    }
    return best;
}

static void ODGetInRemoveFront(int count)
{
    if (count > nSequenceLength) count = nSequenceLength;
    memmove(szCurrentSequence, szCurrentSequence + count, (size_t)(nSequenceLength - count));
    nSequenceLength -= count;
    szCurrentSequence[nSequenceLength] = '\0';
}

static int ODGetInDeliver(tODInputEvent *out, uint32_t type, uint32_t remote, uint8_t key)
{
    out->EventType = type;
    out->bFromRemote = remote;
    out->chKeyPress = key;
    return 1;
}

static int ODGetInDeliverFirst(tODInputEvent *out, uint32_t remote)
{
    uint8_t key = (uint8_t)szCurrentSequence[0];
    ODGetInRemoveFront(1);
    return ODGetInDeliver(out, EVENT_CHARACTER, remote, key);
}

static int ODGetInDeliverRow(tODInputEvent *out, int row, uint32_t remote)
{
    ODGetInRemoveFront((int)strlen(aKeySequences[row].pszSequence));
    return ODGetInDeliver(out, EVENT_EXTENDED_KEY, remote, aKeySequences[row].btKeyCode);
}

/* ---- control sequences the table does not hold ----
 *
 * Terminals send more than the table knows: xterm adds the modifiers to a
 * cursor or editing key as a second parameter (ESC [1;5A is Ctrl-Up,
 * ESC [5;5~ Ctrl-Page Up), and some send mouse or paste marks. Such a
 * sequence is one key or none; delivered as characters it would press
 * whatever keys its digits and letters happen to be. */

#define OD_CSI_NONE     -1 /* the buffer does not begin a control sequence */
#define OD_CSI_PARTIAL   0 /* it may still become one */
#define OD_IS_CSI_PARAMETER(c)    ((c) >= 0x30 && (c) <= 0x3F)
#define OD_IS_CSI_INTERMEDIATE(c) ((c) >= 0x20 && (c) <= 0x2F)
#define OD_IS_CSI_FINAL(c)        ((c) >= 0x40 && (c) <= 0x7E)

/* The length of the whole control sequence (ESC [, parameter bytes,
 * intermediate bytes, one final byte) at the front of the buffer. One that
 * fills the buffer without ending is none: it is not a key. */
static int ODGetInCsiLength(void)
{
    const uint8_t *s = (const uint8_t *)szCurrentSequence;
    int n = nSequenceLength;
    if (n < 2 || s[0] != 0x1B || s[1] != '[') return OD_CSI_NONE;
    int i = 2;
    while (i < n && OD_IS_CSI_PARAMETER(s[i])) i++;
    while (i < n && OD_IS_CSI_INTERMEDIATE(s[i])) i++;
    if (i == n) return n < OD_SEQUENCE_MAX ? OD_CSI_PARTIAL : OD_CSI_NONE;
    return OD_IS_CSI_FINAL(s[i]) ? i + 1 : OD_CSI_NONE;
}

static int ODGetInFindRow(const char *sequence, uint16_t flags)
{
    for (int i = 0; i < OD_KEY_SEQUENCE_COUNT; i++)
        if (ODGetInRowUsable(&aKeySequences[i], flags) && strcmp(aKeySequences[i].pszSequence, sequence) == 0)
            return i;
    return -1;
}

/* The row of the unmodified key for a complete sequence of the given length
 * with a modifier parameter: ESC [1;mX is ESC [X (ESC OX for F1-F4, which
 * xterm sends so when modified), ESC [n;m~ is ESC [n~. -1 when none. */
static int ODGetInModifiedRow(int length, uint16_t flags)
{
    const char *s = szCurrentSequence;
    char final = s[length - 1];
    const char *separator = (const char *)memchr(s + 2, ';', (size_t)(length - 3));
    if (!separator) return -1;
    int first = (int)(separator - (s + 2));
    /* The rest is modifier numbers: digits and separators only. */
    for (const char *c = separator; c < s + length - 1; c++)
        if (*c != ';' && (*c < '0' || *c > '9')) return -1;
    for (int i = 0; i < first; i++)
        if (s[2 + i] < '0' || s[2 + i] > '9') return -1;
    char plain[OD_SEQUENCE_MAX + 1];
    if (final == '~') {
        if (first == 0) return -1;
        snprintf(plain, sizeof plain, ESC "[%.*s~", first, s + 2);
        return ODGetInFindRow(plain, flags);
    }
    if (!(first == 0 || (first == 1 && s[2] == '1'))) return -1;
    snprintf(plain, sizeof plain, ESC "[%c", final);
    int row = ODGetInFindRow(plain, flags);
    if (row >= 0) return row;
    snprintf(plain, sizeof plain, ESC "O%c", final);
    return ODGetInFindRow(plain, flags);
}

/* Step 8: the longest complete row at the front, else a whole control
 * sequence (its key, or nothing), else the first character. */
static int ODGetInResolve(tODInputEvent *out, uint32_t remote, uint16_t flags)
{
    if (nSequenceLength == 0) return 0;
    int row = ODGetInLongestFullMatch(flags);
    if (row >= 0) return ODGetInDeliverRow(out, row, remote);
    int length = (flags & GETIN_RAW) ? OD_CSI_NONE : ODGetInCsiLength();
    if (length > 0) {
        row = ODGetInModifiedRow(length, flags);
        ODGetInRemoveFront(length);
        if (row < 0) return OD_SWALLOWED;
        return ODGetInDeliver(out, EVENT_EXTENDED_KEY, remote, aKeySequences[row].btKeyCode);
    }
    return ODGetInDeliverFirst(out, remote);
}

/* Whether the collected characters may still grow into a control sequence
 * that no row begins: then the window keeps collecting. */
static int ODGetInCsiGrowing(uint16_t flags)
{
    return !(flags & GETIN_RAW) && ODGetInCsiLength() == OD_CSI_PARTIAL;
}

/* Decodes the next input event. The first event is awaited under timer (or
 * without limit when forever is set) or until the deadline; characters of a
 * sequence come within 250 ms of each other. 1 delivered, 0 none,
 * OD_SWALLOWED when what came was a sequence that is no key. */
static int ODGetInputStep(tODInputEvent *out, const tODTimer *timer, const tODDeadline *deadline, uint16_t flags)
{
    uint32_t remote = 1;
    ODKrnlRunPass();

    if (!bDoorwayMode && nSequenceLength == 0) {
        if (bDoorwayPending) {
            bDoorwayPending = 0;
            bDoorwayMode = 1;
        } else {
            tODInputEvent event;
            if (ODGetInNextEvent(&event, timer, deadline) != 1) return 0;
            if (!event.bFromRemote && event.chKeyPress != 0)
                return ODGetInDeliver(out, EVENT_CHARACTER, 0, event.chKeyPress);
            remote = event.bFromRemote;
            if (event.chKeyPress == 0) {
                bDoorwayMode = 1;
            } else {
                szCurrentSequence[0] = (char)event.chKeyPress;
                szCurrentSequence[1] = '\0';
                nSequenceLength = 1;
            }
        }
    }

    ODKrnlRunPass();
    if (!bDoorwayMode && nSequenceLength > 0) {
        if (flags & GETIN_RAW) return ODGetInDeliverFirst(out, remote);
        if (!ODGetInAnyRowBegins(flags)) {
            if (!ODGetInCsiGrowing(flags)) return ODGetInResolve(out, remote, flags);
        } else {
            int row = ODGetCodeIfLongest(flags);
            if (row >= 0) return ODGetInDeliverRow(out, row, remote);
            if (row == OD_NO_MATCH && !ODGetInCsiGrowing(flags)) return ODGetInResolve(out, remote, flags);
        }
    }

    /* Collect. */
    ODKrnlRunPass();
    if (!bDoorwayPending) {
        for (;;) {
            tODTimer window;
            ODTimerStart(&window, OD_KERNEL_PERIOD_MS);
            tODInputEvent event;
            if (ODGetInNextEvent(&event, &window, deadline) != 1) break;
            if (bDoorwayMode) {
                bDoorwayMode = 0;
                return ODGetInDeliver(out, EVENT_EXTENDED_KEY, event.bFromRemote, event.chKeyPress);
            }
            if (event.chKeyPress == 0) {
                bDoorwayPending = 1;
                return ODGetInResolve(out, 1, flags);
            }
            if (!event.bFromRemote) return ODGetInDeliver(out, EVENT_CHARACTER, 0, event.chKeyPress);
            szCurrentSequence[nSequenceLength++] = (char)event.chKeyPress;
            szCurrentSequence[nSequenceLength] = '\0';
            int row = ODGetCodeIfLongest(flags);
            if (row >= 0) return ODGetInDeliverRow(out, row, 1);
            /* Nothing can grow out of what is held, or no room for more:
             * resolve now rather than wait out the window. */
            if ((row == OD_NO_MATCH && !ODGetInCsiGrowing(flags)) || nSequenceLength >= OD_SEQUENCE_MAX)
                return ODGetInResolve(out, 1, flags);
            ODKrnlRunPass();
        }
    }

    /* The window ran out (or the session stopped). */
    if (bDoorwayMode) {
        bDoorwayMode = 0;
        return ODGetInDeliver(out, EVENT_CHARACTER, remote, 0);
    }
    return ODGetInResolve(out, 1, flags);
}

/* A swallowed sequence is no event: the wait goes on under the same timer
 * or deadline. Each round removes what it swallowed, so a caller streaming
 * such sequences ends only the rounds' input, never the kernel's passes. */
static int ODGetInputCore(tODInputEvent *out, const tODTimer *timer, const tODDeadline *deadline, uint16_t flags)
{
    for (;;) {
        int got = ODGetInputStep(out, timer, deadline, flags);
        if (got != OD_SWALLOWED) return got;
        if (eODLifecycleState != OD_STATE_RUNNING) return 0;
    }
}

int od_get_input(tODInputEvent *event, uint32_t timeout_ms, uint16_t flags)
{
    ODPublicCall call;
    if (!call.entered) return 0;
    if (!event) {
        od_control.last_error = ODERR_PARAM;
        return 0;
    }
    if (timeout_ms == OD_NO_TIMEOUT) return ODGetInputCore(event, nullptr, nullptr, flags);
    tODTimer timer;
    ODTimerStart(&timer, timeout_ms);
    return ODGetInputCore(event, &timer, nullptr, flags);
}

int od_get_input_until(tODInputEvent *event, uint32_t deadline_seconds, int deadline_milliseconds, uint16_t flags)
{
    ODPublicCall call;
    if (!call.entered) return 0;
    if (!event || deadline_milliseconds < 0 || deadline_milliseconds > 999) {
        od_control.last_error = ODERR_PARAM;
        return 0;
    }
    tODDeadline deadline = {deadline_seconds, (uint16_t)deadline_milliseconds};
    if (ODGetInDeadlineLeft(&deadline) == 0) return 0;
    return ODGetInputCore(event, nullptr, &deadline, flags);
}
