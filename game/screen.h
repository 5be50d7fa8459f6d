/* screen.h -- the game's screen primitives: bounded text, the title bar,
 * bars, the continue prompt, the pictures and ANSI music. Everything is
 * drawn through the door kit's public output calls.
 *
 * Layout of the 80 x 24 page: text in columns 3-43 of rows 4-17, the
 * picture at column 47 in rows 4-22, bars, status and prompts in rows
 * 18-24 across the full width. Rows and columns are 1-based. */
#ifndef SCREEN_H
#define SCREEN_H

/* Process-wide switches the primitives read; the music question, the runs
 * and the prompts set them. */
extern int sound_enabled;   /* the caller's terminal plays ANSI music */
extern int in_adventure;    /* a run is in progress: waitc offers the lobby */
extern int quit_requested;  /* the caller asked to leave the current run */

/* The BBS name every header shows; the storage module reads it from the
 * settings. */
extern char bbs_name[64];

#define SCREEN_TEXT_RIGHT   43  /* last text column beside the picture */
#define SCREEN_ART_COLUMN   47
#define SCREEN_ART_TOP       4
#define SCREEN_MUSIC_MAX   220  /* longest melody play sends */

/* Draws at most the room of (column, row): 79 - column characters, or
 * 44 - column in rows 4-17 left of the picture. Control bytes are shown as
 * blanks, so the cursor ends exactly where the room says. 1 when something
 * was drawn. */
int put(int column, int row, int colour, const char *text);

/* put with a printf format; the formatted text is cut at 255 bytes. */
int putf(int column, int row, int colour, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

/* Clears the page and draws the title bar with the BBS name; title may be
 * null. */
void header(const char *title);

/* Waits for the caller's next plain key, decoded: a cursor or function key
 * is skipped, never taken for an Escape and letters. 0 once the caller is
 * gone or the session has ended. */
int screen_key(void);

/* The continue-or-quit prompt: returns on C, on Q or Escape (setting
 * quit_requested), on any key once quit_requested is set, and when the
 * caller is gone. */
void waitc(void);

/* A 0-100 bar of fourteen cells with its label. */
void bar(int row, const char *label, int value, int colour);

/* The current month's picture, rows 4-22. Variants 0-2 as stored, 3
 * glitter, 4 dim. */
void seasonal_draw(int column, int variant);

/* The same picture with its top row at any screen row (the end effect
 * draws it from row 3). */
void seasonal_draw_at(int column, int row, int variant);

/* The October villain with its top-left cell at (row, column). Variants:
 * 0 still, 1 eyes flash, 2 red veins, 3 sparks, 4 dim. */
void grimby_art(int column, int row, int variant);

/* The October shading of one pixel colour at picture cell (row, column). */
int harvest_color(int colour, int row, int column, int variant);

/* Sends a melody in ANSI music notation when sound is on. 1 when sent;
 * 0 when sound is off or the melody is empty, too long or holds a byte
 * that is not printable. Never waits for the music. */
int play(const char *melody);

#endif
