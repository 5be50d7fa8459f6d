/* ODConsole.h -- the sysop's local display of a session: on Linux the local
 * console (the picture drawn on the terminal the door was started from,
 * with the frame window's commands on Alt-keys); on Windows the frame
 * window's place. Start-up and exit talk to it only through the calls
 * below; it talks to the session only through the kernel's snapshot and
 * requests, the local screen's display buffer and the input queue. */
#ifndef ODCONSOLE_H
#define ODCONSOLE_H

#include <stddef.h>
#include <stdint.h>

#include "ODKrnl.h"

/* Results of ODConsoleStart. */
#define OD_CONSOLE_STARTED   0
#define OD_CONSOLE_FAILED    1
#define OD_CONSOLE_CANCELLED 2 /* the sysop cancelled the name prompt */
#define OD_CONSOLE_NONE      3 /* no local display for this session */

/* Starts the display thread when this session gets one: not silent, and a
 * terminal on standard input and output that is not the caller's line and
 * is ours (foreground). With prompt_for_name it first asks for the local
 * caller's name, name (name_size bytes) holding the proposal and receiving
 * the answer. Game thread. */
int  ODConsoleStart(int prompt_for_name, char *name, size_t name_size);
/* Stops the thread and gives the terminal back as it was. */
void ODConsoleShutdown(void);
/* 1 when the display's thread was left running at shutdown (a frame that
 * would not end in time): what it reads and writes must then outlive the
 * session, since the thread may still paint, read the snapshot or queue a
 * key until the process ends. */
int  ODConsoleLingers(void);
/* A one-line notice ("Ending call...") shown until removed. */
void ODConsoleShowMessage(const char *text);
void ODConsoleRemoveMessage(void);
/* Gives the terminal back at once; safe on any path out of the process,
 * idempotent, and a no-op when the console never ran. */
void ODConsoleRestoreTerminal(void);
int  ODConsoleActive(void);

/* ---- portable parts, shared with the tests ---- */

/* Sysop commands, as the frame window's menu numbers them. */
enum {
    kODConsoleNoCommand = 0,
    kODConsoleChat = 50000,
    kODConsoleKeyboard = 50001,
    kODConsoleSysopNext = 50002,
    kODConsoleHangup = 50003,
    kODConsoleAddOne = 50007,
    kODConsoleAddFive = 50008,
    kODConsoleSubtractOne = 50009,
    kODConsoleSubtractFive = 50010,
    kODConsoleInactivity = 50011,
    kODConsoleExitToBBS = 50015,
    kODConsoleLockout = 50016
};

/* One thing the sysop typed. */
typedef struct {
    int      nCommand; /* a kODConsole* command, or kODConsoleNoCommand */
    uint16_t wKey;     /* else a key: scan code << 8 | character; 0 nothing */
} tODConsoleInput;

/* Decodes the sysop's terminal bytes. Returns how many bytes of the buffer
 * the next input took (0: the bytes so far may begin a longer sequence;
 * call again with more, or with final set once nothing more comes soon).
 * An input that means nothing (an unknown sequence) comes back with no
 * command and key 0. */
size_t ODConsoleDecode(const uint8_t *bytes, size_t length, int final, tODConsoleInput *input);

/* The CP437 character for a Unicode code point; 0 when it has none. */
uint8_t ODConsoleUnicodeToCP437(uint32_t code_point);

/* What the terminal shows: the picture rows, then status rows. */
#define OD_CONSOLE_MAX_ROWS 27
#define OD_CONSOLE_COLUMNS  80

typedef struct {
    int      nRows;    /* rows in use */
    int      nColumns; /* columns in use */
    uint16_t aCells[OD_CONSOLE_MAX_ROWS][OD_CONSOLE_COLUMNS]; /* attribute << 8 | CP437 */
    int      nCursorRow, nCursorColumn; /* 0-based */
    int      bCursorOn;
} tODConsoleCanvas;

/* Terminal bytes that turn the screen showing previous into next: only the
 * cells that differ are drawn (all when previous is null), each as UTF-8,
 * with the fewest colour changes. Returns the length written to out (at
 * most out_size; OD_CONSOLE_RENDER_MAX always suffices). */
#define OD_CONSOLE_RENDER_MAX (OD_CONSOLE_MAX_ROWS * OD_CONSOLE_COLUMNS * 32 + 256)
size_t ODConsoleRender(const tODConsoleCanvas *previous, const tODConsoleCanvas *next, char *out, size_t out_size);

/* The Unicode code point of a CP437 byte as the PC showed it (control
 * bytes as their glyphs, 0 as a blank). */
uint16_t ODConsoleCP437ToUnicode(uint8_t ch);

/* UTF-8 for a CP437 byte as the PC showed it (control bytes as their
 * glyphs); returns the byte count (1 to 3). */
int ODConsoleCP437ToUTF8(uint8_t ch, char out[4]);

/* The status bar's texts: part 1 ("%s of %s at %ldbps" or "... in local
 * mode", with the chat reason) and part 2 ("Node %d"). */
void ODConsoleStatusPart1(const tODKrnlUIState *state, char *out, size_t out_size);
void ODConsoleStatusPart2(const tODKrnlUIState *state, char *out, size_t out_size);

/* The frame window's confirmation question for a command, or null when it
 * asks none; and its status-bar help text. */
const char *ODConsoleConfirmation(int command);
const char *ODConsoleHelpText(int command);

/* Lays out the console: picture rows from the display buffer, the status
 * row and, when there is room, the line under it (key help, a question or
 * a notice). rows and columns are the terminal's size. */
void ODConsoleCompose(tODConsoleCanvas *canvas, int rows, int columns, const uint16_t *cells,
                      int cursor_row, int cursor_column, int caret_on, const tODKrnlUIState *state,
                      const char *line);

/* Carries out a command as the frame window does: the toggles and time
 * changes at once as kernel requests; hang-up, lock-out and exit to the
 * BBS once confirmed (confirmed 1). */
void ODConsolePostCommand(int command);

#endif
