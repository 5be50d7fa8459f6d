/* screen.cpp -- the game's screen primitives on top of the door kit's
 * public output calls: bounded text, title bar, bars, the continue prompt,
 * the pictures and ANSI music. */
#include "screen.h"
#include "art.h"
#include "season.h"
#include "doorkit.h"
#include "online.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int sound_enabled = 0;
int in_adventure = 0;
int quit_requested = 0;

#define SCREEN_LAST_ROW 24

int put(int column, int row, int colour, const char *text)
{
    if (!text || column < 1 || column >= 80 || row < 1 || row >= 25) return 0;
    int room = 79 - column;
    if (row >= 4 && row <= 17 && column < SCREEN_ART_COLUMN) room = 44 - column;
    if (room < 1) return 0;

    char shown[80];
    int n = 0;
    for (; n < room && text[n]; n++) {
        unsigned char c = (unsigned char)text[n];
        shown[n] = (c < 32 || c == 127) ? ' ' : (char)c;
    }
    shown[n] = 0;
    od_set_color(colour & 15, 0);
    od_set_cursor(row, column);
    if (n) od_disp_str(shown);
    return 1;
}

int putf(int column, int row, int colour, const char *format, ...)
{
    if (!format) return 0;
    char text[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return 0;
    return put(column, row, colour, text);
}

/* ---- header ---- */

static const char szRule[] = "\xB0\xB1\xB2\xDB\xDB\xDB\xDB\xB2\xB1\xB0";

void header(const char *title)
{
    od_clr_scr();
    put(2, 1, 11, season_index == SEASON_OCTOBER ? "HARVESTFALL" : "GRIMBY - ALMANAC");
    if (title) {
        char cut[38];
        snprintf(cut, sizeof cut, "%s", title);
        put(42, 1, 14, cut);
    }
    put(2, 2, 8, szRule);
    char name[21];
    size_t length = strnlen(bbs_name, 20);
    memcpy(name, bbs_name, length);
    name[length] = 0;
    put(15, 2, 8, name);
    put((int)length + 17, 2, 8, szRule);
}

/* ---- keys ---- */

int screen_key(void)
{
    /* Keys are read decoded: the escape sequence of a cursor key must not
     * be taken for Escape (quit) followed by letters. */
    while (game_online()) {
        tODInputEvent event;
        if (!od_get_input(&event, 1000, GETIN_NORMAL)) continue;
        if (event.EventType == EVENT_CHARACTER && event.chKeyPress != 0) return event.chKeyPress;
    }
    return 0;
}

/* ---- continue prompt ---- */

void waitc(void)
{
    put(4, 23, 7, in_adventure ? "[C] CONTINUE     [Q] BACK TO LOBBY"
                               : "[C] CONTINUE     [Q] RETURN TO BBS");
    for (;;) {
        int key = screen_key();
        if (key == 0) return; /* the caller is gone: nothing left to wait for */
        key = toupper(key);
        if (key == 'C') return;
        if (key == 'Q' || key == 27) {
            quit_requested = 1;
            return;
        }
        if (quit_requested) return;
    }
}

/* ---- bar ---- */

void bar(int row, const char *label, int value, int colour)
{
    putf(3, row, 7, "%-9s", label ? label : "");
    put(13, row, 8, "[");
    if (value < 0) value = 0;
    if (value > 100) value = 100;
    int filled = value * 14 / 100;
    char cells[15];
    memset(cells, 0xDB, (size_t)filled);
    cells[filled] = 0;
    if (filled) put(14, row, colour, cells);
    memset(cells, 0xB0, (size_t)(14 - filled));
    cells[14 - filled] = 0;
    if (filled < 14) put(14 + filled, row, 8, cells);
    put(28, row, 8, "]");
}

/* ---- pictures ----
 *
 * A picture is sent row by row as runs of cells that share one colour.
 * Many cells look the same in more than one colour: a blank shows only its
 * background, a full block only its foreground, and an upper half block in
 * a on b looks exactly like a lower half block in b on a. The encoder uses
 * that freedom to make runs longer, so a picture costs fewer colour
 * changes while the caller's screen shows exactly the stored picture. */

enum { LOOK_BLANK, LOOK_FULL, LOOK_HALF, LOOK_CHAR };

struct look {
    unsigned char kind;
    unsigned char ch;    /* LOOK_CHAR */
    unsigned char a, b;  /* BLANK: a = background; FULL: a = colour;
                            HALF: a = upper, b = lower; CHAR: a = fg, b = bg */
};

static look screen_look_of(unsigned char ch, int fg, int bg)
{
    look l = {LOOK_CHAR, ch, (unsigned char)fg, (unsigned char)bg};
    if (ch == ' ' || ch == 0 || ch == 255) {
        l.kind = LOOK_BLANK;
        l.a = (unsigned char)bg;
    } else if (ch == 0xDB) {
        l.kind = LOOK_FULL;
    } else if (ch == 0xDF || ch == 0xDC) {
        int upper = ch == 0xDF ? fg : bg, lower = ch == 0xDF ? bg : fg;
        if (upper == lower) {
            l = {upper < 8 ? (unsigned char)LOOK_BLANK : (unsigned char)LOOK_FULL, ' ',
                 (unsigned char)upper, 0};
        } else {
            l = {LOOK_HALF, 0, (unsigned char)upper, (unsigned char)lower};
        }
    }
    return l;
}

/* Two pixel colours of one cell. Where both are bright and differ, no
 * ANSI cell can show them (backgrounds are 0-7): the lower one is dimmed. */
static look screen_look_of_pixels(int upper, int lower)
{
    if (upper == lower) {
        look l = {upper < 8 ? (unsigned char)LOOK_BLANK : (unsigned char)LOOK_FULL, ' ',
                  (unsigned char)upper, 0};
        return l;
    }
    if (upper >= 8 && lower >= 8) {
        look l = {LOOK_CHAR, 0xDF, (unsigned char)upper, (unsigned char)(lower & 7)};
        return l;
    }
    look l = {LOOK_HALF, 0, (unsigned char)upper, (unsigned char)lower};
    return l;
}

/* The byte that shows the look in foreground f on background b, or -1. */
static int screen_char_in(const look &l, int f, int b)
{
    switch (l.kind) {
    case LOOK_BLANK:
        if (b == l.a) return ' ';
        if (f == l.a) return 0xDB;
        return -1;
    case LOOK_FULL:
        if (f == l.a) return 0xDB;
        if (l.a < 8 && b == l.a) return ' ';
        return -1;
    case LOOK_HALF:
        if (f == l.a && b == l.b) return 0xDF;
        if (f == l.b && b == l.a) return 0xDC;
        return -1;
    default:
        return (f == l.a && b == l.b) ? l.ch : -1;
    }
}

/* Colour states in which the look can be shown; returns how many. */
static int screen_states_for(const look &l, int *fgs, int *bgs)
{
    int n = 0;
    switch (l.kind) {
    case LOOK_BLANK:
        for (int f = 0; f < 16; f++) fgs[n] = f, bgs[n++] = l.a;
        break;
    case LOOK_FULL:
        for (int b = 0; b < 8; b++) fgs[n] = l.a, bgs[n++] = b;
        if (l.a < 8)
            for (int f = 0; f < 16; f++) fgs[n] = f, bgs[n++] = l.a;
        break;
    case LOOK_HALF:
        if (l.b < 8) fgs[n] = l.a, bgs[n++] = l.b;
        if (l.a < 8) fgs[n] = l.b, bgs[n++] = l.a;
        break;
    default:
        fgs[n] = l.a, bgs[n++] = l.b;
        break;
    }
    return n;
}

struct screen_pen {
    int fg, bg; /* -1 until the first colour is set */
};

static void screen_send_row(int row, int column, const look *cells, int count, screen_pen *pen)
{
    if (row < 1 || row > SCREEN_LAST_ROW || column < 1 || column > 79) return;
    if (count > 80 - column) count = 80 - column; /* never past column 79 */
    if (count <= 0) return;
    od_set_cursor(row, column);
    char run[81];
    int length = 0;
    for (int x = 0; x < count; x++) {
        int ch = pen->fg < 0 ? -1 : screen_char_in(cells[x], pen->fg, pen->bg);
        if (ch < 0) {
            if (length) {
                run[length] = 0;
                od_disp_str(run);
                length = 0;
            }
            /* The state that carries the most cells from here; on a tie the
             * one that keeps a colour of the pen, which is cheaper to send. */
            int fgs[24], bgs[24];
            int states = screen_states_for(cells[x], fgs, bgs);
            int best = 0, best_reach = -1, best_keep = -1;
            for (int s = 0; s < states; s++) {
                int reach = 0;
                while (x + reach < count && screen_char_in(cells[x + reach], fgs[s], bgs[s]) >= 0)
                    reach++;
                int keep = (fgs[s] == pen->fg) + (bgs[s] == pen->bg);
                if (reach > best_reach || (reach == best_reach && keep > best_keep)) {
                    best = s;
                    best_reach = reach;
                    best_keep = keep;
                }
            }
            pen->fg = fgs[best];
            pen->bg = bgs[best];
            od_set_color(pen->fg, pen->bg);
            ch = screen_char_in(cells[x], pen->fg, pen->bg);
        }
        run[length++] = (char)ch;
    }
    if (length) {
        run[length] = 0;
        od_disp_str(run);
    }
}

void seasonal_draw_at(int column, int row, int variant)
{
    const art_month *art = &seasonal_art[season_index >= 0 && season_index < 12 ? season_index : 0];
    screen_pen pen = {-1, -1};
    for (int y = 0; y < ART_ROWS; y++) {
        look cells[ART_COLS];
        for (int x = 0; x < ART_COLS; x++) {
            const unsigned char *c = art->cell[y][x];
            int fg = c[1], bg = c[2];
            unsigned char ch = c[0];
            if (variant == 3 && fg != 0 && (x + y) % 9 == 0) fg = 15;
            if (variant == 4 && (x + y) % 3 == 0) ch = ' ', fg = 0, bg = 0;
            cells[x] = screen_look_of(ch, fg, bg);
        }
        screen_send_row(row + y, column, cells, ART_COLS, &pen);
    }
    od_set_color(7, 0);
}

void seasonal_draw(int column, int variant)
{
    seasonal_draw_at(column, SCREEN_ART_TOP, variant);
}

int harvest_color(int colour, int row, int column, int variant)
{
    int y = row, x = column;
    int result = colour;
    if (colour == 6) {
        int d = x > 15 ? x - 15 : 15 - x;
        int s = x + y;
        if (d > 9)
            result = (s % 4 == 0) ? 4 : 6;
        else
            result = (d < 5 && s % 9 == 0) ? 14 : 6;
        if (y >= 11 && y <= 15 && x % 7 == 0) result = 0; /* the ribs */
        if (variant == 2) return (s % 13 == 0) ? 12 : result;
        if (variant == 3) return (s % 5 == 0) ? 15 : result;
    } else if (colour == 14) {
        if (variant == 1 && y >= 7 && y <= 12) return 15; /* the eyes flash */
    } else if (colour == 2) {
        result = ((x + y) % 7 == 0) ? 10 : 2;
    }
    if (variant == 4 && (3 * y + x) % 5 == 0) result = 0;
    return result;
}

void grimby_art(int column, int row, int variant)
{
    screen_pen pen = {-1, -1};
    for (int y = 0; y < ART_ROWS; y++) {
        look cells[ART_COLS];
        for (int x = 0; x < ART_COLS; x++) {
            int upper = harvest_color(grimby_pixels.cell[y][x][0], y, x, variant);
            int lower = harvest_color(grimby_pixels.cell[y][x][1], y, x, variant);
            cells[x] = screen_look_of_pixels(upper, lower);
        }
        screen_send_row(row + y, column, cells, ART_COLS, &pen);
    }
    od_set_color(7, 0);
}

/* ---- music ---- */

int play(const char *melody)
{
    if (!sound_enabled || !melody || !melody[0]) return 0;
    size_t length = strlen(melody);
    if (length > SCREEN_MUSIC_MAX) return 0;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)melody[i];
        if (c < 32 || c > 126) return 0; /* a stray SO would end the music early */
    }
    char frame[256];
    frame[0] = 0x1B;
    frame[1] = '[';
    frame[2] = '|';
    memcpy(frame + 3, melody, length);
    frame[3 + length] = 0x0E;
    frame[4 + length] = 0x0F;
    frame[5 + length] = 0;
    od_disp_str(frame);
    return 1;
}
