/* ODConsole.cpp -- the portable half of the local console: the sysop's key
 * decoding, the status and question texts of the frame window, the layout
 * of picture and status rows, and the diffed drawing in CP437-as-UTF-8. The
 * terminal and the thread are the OS half's (posix/ODConsolePosix.cpp). */
#include "ODConsole.h"
#include "ODCom.h"
#include "ODKrnl.h"

#include <stdio.h>
#include <string.h>

/* ---- CP437 as the PC showed it ---- */

/* Glyphs of the control bytes 0-31 (0 shows as a blank). */
static const uint16_t awODLowGlyphs[32] = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,
    0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,
    0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC,
};

static uint16_t ODConsoleGlyph(uint8_t ch)
{
    if (ch < 32) return awODLowGlyphs[ch];
    if (ch == 127) return 0x2302;
    if (ch < 128) return ch;
    return cp437_unicode_table[ch - 128];
}

uint16_t ODConsoleCP437ToUnicode(uint8_t ch)
{
    return ODConsoleGlyph(ch);
}

int ODConsoleCP437ToUTF8(uint8_t ch, char out[4])
{
    uint16_t cp = ODConsoleGlyph(ch);
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    out[0] = (char)(0xE0 | (cp >> 12));
    out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[2] = (char)(0x80 | (cp & 0x3F));
    return 3;
}

uint8_t ODConsoleUnicodeToCP437(uint32_t code_point)
{
    if (code_point >= 32 && code_point < 127) return (uint8_t)code_point;
    if (code_point == 0xA0) return 255;
    for (int i = 0; i < 128; i++)
        if (cp437_unicode_table[i] == code_point) return (uint8_t)(128 + i);
    return 0;
}

/* ---- the sysop's keys ---- */

static int ODConsoleAltCommand(uint8_t ch)
{
    switch (ch | 0x20) {
    case 'c': return kODConsoleChat;
    case 'k': return kODConsoleKeyboard;
    case 'n': return kODConsoleSysopNext;
    case 'h': return kODConsoleHangup;
    case 'l': return kODConsoleLockout;
    case 'x': return kODConsoleExitToBBS;
    case 'i': return kODConsoleInactivity;
    default: return kODConsoleNoCommand;
    }
}

/* The scan code of a key in a "CSI n ~" sequence; 0 unknown. */
static uint8_t ODConsoleTildeKey(int number)
{
    switch (number) {
    case 1: case 7: return 71;
    case 2: return 82;
    case 3: return 83;
    case 4: case 8: return 79;
    case 5: return 73;
    case 6: return 81;
    case 11: case 12: case 13: case 14: case 15: return (uint8_t)(59 + number - 11);
    case 17: case 18: case 19: case 20: case 21: return (uint8_t)(64 + number - 17);
    case 23: return 133;
    case 24: return 134;
    default: return 0;
    }
}

/* A key with its modifiers: the time commands live on shifted and Alt'd
 * up and down arrows, as in the frame window's accelerators. */
static void ODConsoleModifiedKey(uint8_t scan, int modifier, tODConsoleInput *input)
{
    int shift = modifier > 1 && ((modifier - 1) & 1);
    int alt = modifier > 1 && ((modifier - 1) & 2);
    if (scan == 72 && alt) input->nCommand = kODConsoleAddFive;
    else if (scan == 72 && shift) input->nCommand = kODConsoleAddOne;
    else if (scan == 80 && alt) input->nCommand = kODConsoleSubtractFive;
    else if (scan == 80 && shift) input->nCommand = kODConsoleSubtractOne;
    else if (scan == 59) return; /* F1: the system has no local help */
    else if (!alt) input->wKey = (uint16_t)(scan << 8);
}

/* An escape sequence after ESC '[' or ESC 'O' starting at bytes[0]: the
 * bytes it took, or -1 while it may still be growing. */
static long ODConsoleDecodeSequence(const uint8_t *bytes, size_t length, int final, int ss3,
                                      tODConsoleInput *input)
{
    int params[4] = {0, 0, 0, 0};
    int count = 0;
    size_t i = 0;
    for (; i < length; i++) {
        uint8_t b = bytes[i];
        if (b >= '0' && b <= '9') {
            if (count == 0) count = 1;
            if (count <= 4 && params[count - 1] < 10000) params[count - 1] = params[count - 1] * 10 + (b - '0');
        } else if (b == ';') {
            count = count == 0 ? 2 : count + 1;
        } else if (b >= 0x40 && b <= 0x7E) {
            break;
        } else if (b < 0x20 || b > 0x7E) {
            return (long)i; /* not a sequence after all: drop what came so far */
        }
    }
    if (i >= length) return final ? (long)length : -1;
    if (i > 24) return (long)i + 1; /* absurdly long: ignore */
    uint8_t last = bytes[i];
    int modifier = count >= 2 ? params[1] : 1;
    uint8_t scan = 0;
    switch (last) {
    case 'A': scan = 72; break;
    case 'B': scan = 80; break;
    case 'C': scan = 77; break;
    case 'D': scan = 75; break;
    case 'H': scan = 71; break;
    case 'F': scan = 79; break;
    case 'P': scan = 59; break;
    case 'Q': scan = 60; break;
    case 'R': scan = 61; break;
    case 'S': scan = 62; break;
    case '~': scan = ss3 ? 0 : ODConsoleTildeKey(params[0]); break;
    default: break;
    }
    if (scan) ODConsoleModifiedKey(scan, modifier, input);
    return (long)i + 1;
}

size_t ODConsoleDecode(const uint8_t *bytes, size_t length, int final, tODConsoleInput *input)
{
    input->nCommand = kODConsoleNoCommand;
    input->wKey = 0;
    if (length == 0) return 0;
    uint8_t b = bytes[0];
    if (b == 0x1B) {
        if (length == 1) {
            if (!final) return 0;
            input->wKey = 27;
            return 1;
        }
        uint8_t c = bytes[1];
        if (c == '[' || c == 'O') {
            long used = ODConsoleDecodeSequence(bytes + 2, length - 2, final, c == 'O', input);
            return used < 0 ? 0 : (size_t)used + 2;
        }
        if (c == 0x1B) {
            /* Meta sent as a prefix: ESC, then the key's own sequence. */
            if (length == 2 && !final) return 0;
            tODConsoleInput inner;
            size_t used = ODConsoleDecode(bytes + 1, length - 1, final, &inner);
            if (used == 0) return 0;
            if (inner.wKey == (72 << 8)) input->nCommand = kODConsoleAddFive;
            else if (inner.wKey == (80 << 8)) input->nCommand = kODConsoleSubtractFive;
            return used + 1;
        }
        input->nCommand = ODConsoleAltCommand(c);
        return 2;
    }
    if (b < 0x80) {
        /* The terminal's backspace key sends 127; the game expects 8. */
        input->wKey = b == 127 ? 8 : b;
        return 1;
    }
    /* UTF-8 from the sysop's terminal: the CP437 character, if any. */
    size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (need == 1) return 1;
    if (length < need) return final ? length : 0;
    uint32_t cp = b & (0x3F >> (need - 1));
    for (size_t i = 1; i < need; i++) {
        if ((bytes[i] & 0xC0) != 0x80) return i;
        cp = (cp << 6) | (bytes[i] & 0x3F);
    }
    input->wKey = ODConsoleUnicodeToCP437(cp);
    return need;
}

/* ---- the frame window's texts ---- */

void ODConsoleStatusPart1(const tODKrnlUIState *s, char *out, size_t out_size)
{
    int used;
    if (s->bRemote)
        used = snprintf(out, out_size, "%s of %s at %ldbps", s->szCallerName, s->szCallerLocation, (long)s->dwSpeed);
    else
        used = snprintf(out, out_size, "%s of %s in local mode", s->szCallerName, s->szCallerLocation);
    if (used < 0 || (size_t)used >= out_size) return;
    if (s->bWantsChat && s->szChatReason[0])
        snprintf(out + used, out_size - (size_t)used, " (Reason for chat: \"%s\")", s->szChatReason);
}

void ODConsoleStatusPart2(const tODKrnlUIState *s, char *out, size_t out_size)
{
    snprintf(out, out_size, "Node %d", (int)s->wNode);
}

const char *ODConsoleConfirmation(int command)
{
    switch (command) {
    case kODConsoleHangup: return "You are about to disconnect this user. Do you wish to proceed?";
    case kODConsoleLockout: return "You are about to lock out this user. Do you wish to proceed?";
    case kODConsoleExitToBBS:
        return "You are about to terminate this session and return the user to the BBS.\nDo you wish to proceed?";
    default: return nullptr;
    }
}

const char *ODConsoleHelpText(int command)
{
    switch (command) {
    case kODConsoleChat: return "Enters or exits chat mode, allowing you to communicate with the remote user.";
    case kODConsoleKeyboard: return "Causes any keys or commands from the remote user to be ignored.";
    case kODConsoleSysopNext: return "Reserves the system for the sysop after this user logs off (if supported by BBS).";
    case kODConsoleHangup: return "Hangs up the modem and exits the door.";
    case kODConsoleAddOne: return "Increases the user's time remaining by one minute.";
    case kODConsoleAddFive: return "Increases the user's time remaining by five minutes.";
    case kODConsoleSubtractOne: return "Decreases the user's time remaining by one minute.";
    case kODConsoleSubtractFive: return "Decreases the user's time remaining by five minutes.";
    case kODConsoleInactivity:
        return "Enables the timer that will log off the user after a long period of no activity.";
    case kODConsoleExitToBBS: return "Exits the door without hanging up.";
    case kODConsoleLockout: return "Hangs up the modem, denying any further access to the user (if supported by BBS).";
    default: return nullptr;
    }
}

void ODConsolePostCommand(int command)
{
    switch (command) {
    case kODConsoleChat: ODKrnlRequestChatToggle(); break;
    case kODConsoleKeyboard: ODKrnlRequestKeyboardToggle(); break;
    case kODConsoleSysopNext: ODKrnlRequestSysopNextToggle(); break;
    case kODConsoleInactivity: ODKrnlRequestInactivityToggle(); break;
    case kODConsoleAddOne: ODKrnlRequestTimeAdjustment(1); break;
    case kODConsoleAddFive: ODKrnlRequestTimeAdjustment(5); break;
    case kODConsoleSubtractOne: ODKrnlRequestTimeAdjustment(-1); break;
    case kODConsoleSubtractFive: ODKrnlRequestTimeAdjustment(-5); break;
    case kODConsoleHangup: ODKrnlRequestShutdown(OD_REASON_HANGUP); break;
    case kODConsoleLockout: ODKrnlRequestLockout(); break;
    case kODConsoleExitToBBS: ODKrnlRequestShutdown(OD_REASON_RETURNED); break;
    default: break;
    }
}

/* ---- layout ---- */

#define OD_ATTR_STATUS 0x70 /* black on grey, as a status bar */
#define OD_ATTR_LINE   0x07
#define OD_ATTR_KEYS   0x08
#define OD_ATTR_FLAG   0x74 /* red on grey */

static void ODConsolePutText(tODConsoleCanvas *canvas, int row, int column, const char *text, uint8_t attribute,
                             int limit)
{
    for (; *text && column < limit && column < canvas->nColumns; text++, column++)
        canvas->aCells[row][column] = (uint16_t)(attribute << 8 | (uint8_t)*text);
}

static void ODConsoleFillRow(tODConsoleCanvas *canvas, int row, uint8_t attribute)
{
    for (int column = 0; column < canvas->nColumns; column++)
        canvas->aCells[row][column] = (uint16_t)(attribute << 8 | ' ');
}

static void ODConsoleStatusRow(tODConsoleCanvas *canvas, int row, const tODKrnlUIState *s)
{
    ODConsoleFillRow(canvas, row, OD_ATTR_STATUS);
    char flags[80] = "";
    if (s->bStopping) strcat(flags, " ENDING");
    if (s->bWantsChat && !s->bChatActive) strcat(flags, " WANTS-CHAT");
    if (s->bChatActive) strcat(flags, " CHAT");
    if (!s->bKeyboardOn) strcat(flags, " KBD-OFF");
    if (s->bSysopNext) strcat(flags, " NEXT");
    if (s->bInactivityOff) strcat(flags, " NO-TIMER");
    char right[64];
    char node[24];
    ODConsoleStatusPart2(s, node, sizeof node);
    snprintf(right, sizeof right, "%d min. | %s ", (int)s->nTimeLeft, node);
    int columns = canvas->nColumns;
    int right_start = columns - (int)strlen(right);
    int flags_start = right_start - (int)strlen(flags) - 1;
    if (right_start < 0) right_start = 0;
    if (flags_start < 0) flags_start = 0;
    char part1[200];
    ODConsoleStatusPart1(s, part1, sizeof part1);
    ODConsolePutText(canvas, row, 1, part1, OD_ATTR_STATUS, flags_start);
    ODConsolePutText(canvas, row, flags_start, flags, OD_ATTR_FLAG, right_start);
    ODConsolePutText(canvas, row, right_start, right, OD_ATTR_STATUS, columns);
}

void ODConsoleCompose(tODConsoleCanvas *canvas, int rows, int columns, const uint16_t *cells, int cursor_row,
                      int cursor_column, int caret_on, const tODKrnlUIState *state, const char *line)
{
    if (rows < 1) rows = 1;
    if (rows > OD_CONSOLE_MAX_ROWS) rows = OD_CONSOLE_MAX_ROWS;
    if (columns < 1) columns = 1;
    if (columns > OD_CONSOLE_COLUMNS) columns = OD_CONSOLE_COLUMNS;
    canvas->nRows = rows;
    canvas->nColumns = columns;

    /* The whole 25-row picture with the status row and a line under it when
     * the terminal has the rows; on a smaller one the status row takes the
     * last row and the picture shows its top, where the game draws. */
    int picture_rows = rows >= 26 ? 25 : rows - 1;
    int status_row = picture_rows;
    int line_row = rows >= 27 ? 26 : -1;
    for (int row = 0; row < picture_rows; row++)
        for (int column = 0; column < columns; column++)
            canvas->aCells[row][column] = cells ? cells[row * 80 + column] : (uint16_t)(0x07 << 8 | ' ');

    tODKrnlUIState empty;
    if (!state) {
        memset(&empty, 0, sizeof empty);
        empty.bKeyboardOn = 1;
        state = &empty;
    }
    ODConsoleStatusRow(canvas, status_row, state);
    if (line_row >= 0) {
        ODConsoleFillRow(canvas, line_row, OD_ATTR_LINE);
        if (!line)
            ODConsolePutText(canvas, line_row, 0,
                             "Alt+ C chat K kbd N next H hangup L lockout X exit I timer \x18\x19 \xf1" "5m Shift+\x18\x19 \xf1" "1m",
                             OD_ATTR_KEYS, columns);
    }
    if (line) {
        /* A question or notice sits at the bottom, its lines upward from
         * the last row. */
        const char *split = strchr(line, '\n');
        int bottom = line_row >= 0 ? line_row : status_row;
        char first[160];
        const char *last = line;
        if (split) {
            size_t n = (size_t)(split - line);
            if (n >= sizeof first) n = sizeof first - 1;
            memcpy(first, line, n);
            first[n] = '\0';
            last = split + 1;
        }
        ODConsoleFillRow(canvas, bottom, OD_ATTR_STATUS);
        ODConsolePutText(canvas, bottom, 1, last, OD_ATTR_STATUS, columns);
        if (split && bottom > 0) {
            ODConsoleFillRow(canvas, bottom - 1, OD_ATTR_STATUS);
            ODConsolePutText(canvas, bottom - 1, 1, first, OD_ATTR_STATUS, columns);
        }
    }
    canvas->nCursorRow = cursor_row;
    canvas->nCursorColumn = cursor_column;
    canvas->bCursorOn = caret_on && cursor_row >= 0 && cursor_row < picture_rows && cursor_column >= 0 &&
                        cursor_column < columns;
}

/* ---- drawing ---- */

typedef struct {
    char  *out;
    size_t size;
    size_t used;
} tODConsoleOut;

static void ODConsoleEmit(tODConsoleOut *o, const char *bytes, size_t length)
{
    if (o->used + length > o->size) length = o->used < o->size ? o->size - o->used : 0;
    memcpy(o->out + o->used, bytes, length);
    o->used += length;
}

static void ODConsoleEmitMove(tODConsoleOut *o, int row, int column)
{
    char text[32];
    int n = snprintf(text, sizeof text, "\x1b[%d;%dH", row + 1, column + 1);
    if (n > 0) ODConsoleEmit(o, text, (size_t)n < sizeof text ? (size_t)n : sizeof text - 1);
}

/* SGR for a PC attribute: bright foregrounds as the bright colours, the
 * blink bit as blink. */
static void ODConsoleEmitAttribute(tODConsoleOut *o, uint8_t attribute)
{
    static const uint8_t abtANSI[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    char text[32];
    int fg = abtANSI[attribute & 7] + ((attribute & 8) ? 90 : 30);
    int bg = abtANSI[(attribute >> 4) & 7] + 40;
    int n = snprintf(text, sizeof text, "\x1b[0;%d;%d%sm", fg, bg, (attribute & 0x80) ? ";5" : "");
    ODConsoleEmit(o, text, (size_t)n);
}

size_t ODConsoleRender(const tODConsoleCanvas *previous, const tODConsoleCanvas *next, char *out, size_t out_size)
{
    tODConsoleOut o = {out, out_size, 0};
    int full = !previous || previous->nRows != next->nRows || previous->nColumns != next->nColumns;
    ODConsoleEmit(&o, "\x1b[?25l", 6);
    if (full) ODConsoleEmit(&o, "\x1b[0m\x1b[2J", 8);
    int attribute = -1;
    for (int row = 0; row < next->nRows; row++) {
        int column = 0;
        int cursor_column = -1; /* where the terminal's cursor is on this row */
        while (column < next->nColumns) {
            if (!full && previous->aCells[row][column] == next->aCells[row][column]) {
                column++;
                continue;
            }
            if (cursor_column != column) ODConsoleEmitMove(&o, row, column);
            /* One run of changed cells; a short stretch of unchanged ones
             * inside it is cheaper to redraw than to jump over. */
            while (column < next->nColumns) {
                if (!full && previous->aCells[row][column] == next->aCells[row][column]) {
                    int same = 0;
                    while (column + same < next->nColumns &&
                           previous->aCells[row][column + same] == next->aCells[row][column + same] && same < 5)
                        same++;
                    if (same >= 5 || column + same >= next->nColumns) break;
                }
                uint16_t cell = next->aCells[row][column];
                if ((cell >> 8) != attribute) {
                    attribute = cell >> 8;
                    ODConsoleEmitAttribute(&o, (uint8_t)attribute);
                }
                char utf8[4];
                int n = ODConsoleCP437ToUTF8((uint8_t)(cell & 0xFF), utf8);
                ODConsoleEmit(&o, utf8, (size_t)n);
                column++;
            }
            cursor_column = column;
        }
    }
    ODConsoleEmit(&o, "\x1b[0m", 4);
    if (next->bCursorOn) {
        ODConsoleEmitMove(&o, next->nCursorRow, next->nCursorColumn);
        ODConsoleEmit(&o, "\x1b[?25h", 6);
    }
    return o.used;
}
