/* screen.h -- the game's screen helpers on an 80 x 24 page: the bounded
 * text writer, the title header and the continue-or-quit prompt. */
#ifndef SCREEN_H
#define SCREEN_H

/* Writes text at (row r, column c) in colour on black, cut to the room
 * that keeps it off the picture at column 47. */
void put(int c, int r, int colour, const char *text);

/* Clears the page and draws the title bar. */
void header(const char *title);

/* The continue-or-quit prompt. */
void waitc(void);

#endif
