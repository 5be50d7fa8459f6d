/* ODScrn.h -- the local screen the sysop watches (an 80 x 25 model written by
 * the game thread and published to the display side), and the session
 * screen, a shadow of the caller's screen at the caller's own size.
 *
 * Threads: everything here runs on the game thread except ODScrnReadDisplay
 * and ODScrnSetRepaintHook, which the display thread (Windows frame, Linux
 * local console) calls; they touch only what ScreenPresentationMutex guards.
 * The model exists from ODScrnInitialize (before the display thread starts)
 * to ODScrnShutdown (after it has stopped). */
#ifndef ODSCRN_H
#define ODSCRN_H

#include <stddef.h>
#include <stdint.h>

#include "ODPlat.h"

#define OD_SCREEN_WIDTH  80
#define OD_SCREEN_HEIGHT 25
#define OD_SCREEN_CELLS  (OD_SCREEN_WIDTH * OD_SCREEN_HEIGHT)

/* Result codes of ODScrnInitialize. */
#define ODSCRN_OK     0
#define ODSCRN_FAIL   1 /* the mutex could not be created */
#define ODSCRN_NOMEM  2

/* Saved text information: window (1-based, absolute), attribute, cursor
 * (1-based, relative to the window). */
#pragma pack(push, 1)
typedef struct {
    uint8_t left;
    uint8_t top;
    uint8_t right;
    uint8_t bottom;
    uint8_t attribute;
    uint8_t cursor_column;
    uint8_t cursor_row;
} tODScrnTextInfo;
#pragma pack(pop)

/* ---- the local screen model (game thread) ---- */

/* Cells: character in the low byte, attribute in the high byte, row by row. */
extern uint16_t *pScrnBuffer;     /* working buffer: written by the game thread */
extern uint16_t *pDisplayBuffer;  /* display buffer: read under the mutex */
extern uint8_t  btLeftBoundary, btTopBoundary, btRightBoundary, btBottomBoundary; /* 0-based */
extern uint8_t  btCursorColumn, btCursorRow; /* 0-based, relative to the window */
extern uint8_t  btCurrentAttribute;
extern int      bScrollEnabled;
extern int      bRequestedCaretOn, bCaretOn;
extern int      bScreenDirty;
extern int      bScreenPresentationActive;
extern tODScrnTextInfo ODTextInfo;

/* Published state, guarded by ScreenPresentationMutex. */
extern tODMutex ScreenPresentationMutex;
extern int      bDisplayCaretOn;
extern uint8_t  btDisplayCursorRow, btDisplayCursorColumn; /* 0-based, absolute */

int  ODScrnInitialize(void);
void ODScrnShutdown(void);

/* Coordinates are 1-based. The window is absolute in the grid; cursor
 * positions are relative to the window. Out-of-range values are clamped. */
void ODScrnSetBoundary(uint8_t left, uint8_t top, uint8_t right, uint8_t bottom);
void ODScrnSetCursorPos(uint8_t column, uint8_t row);
void ODScrnSetAttribute(uint8_t attribute);
void ODScrnEnableScrolling(int on);
void ODScrnEnableCaret(int on);
void ODScrnGetTextInfo(tODScrnTextInfo *info);
void ODStoreTextInfo(void);
void ODRestoreTextInfo(void);

/* Writing at the cursor. BEL, BS, TAB, LF and CR act; every other byte is
 * stored as it is. */
void     ODScrnDisplayChar(uint8_t ch);
void     ODScrnDisplayBuffer(const char *bytes, size_t length);
void     ODScrnDisplayString(const char *text);
uint32_t ODScrnPrintf(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void ODScrnClear(void);
void ODScrnScrollUpOneLine(void);

/* Copies a rectangle of cells (row by row, right - left + 1 per row) to the
 * window-relative 1-based positions given; parts outside the window are
 * left out. */
void ODScrnPutText(int left, int top, int right, int bottom, const uint16_t *cells);

/* Makes the working buffer visible: exchanges the buffers under the mutex
 * and asks the display side to repaint. Does nothing when nothing changed. */
void ODScrnPublish(void);

/* Shows or hides the caret as the session screen decides: on means the
 * caret requested by ODScrnEnableCaret, off hides it. */
void ODScrnShowCaret(int visible);

/* ---- the display side (any thread) ---- */

typedef struct {
    uint16_t cells[OD_SCREEN_CELLS];
    uint8_t  cursor_row;    /* 0-based, absolute */
    uint8_t  cursor_column; /* 0-based, absolute */
    uint8_t  caret_on;
    uint32_t generation;    /* grows by one with every publication */
} tODScrnSnapshot;

/* Copies the published picture under the mutex; 0 on success, 1 when the
 * model does not exist. */
int ODScrnReadDisplay(tODScrnSnapshot *snapshot);

/* The display side's repaint request, called under the mutex after each
 * publication (so it must not block or take another lock: post a message,
 * set a flag, write to a pipe). A null function removes it. */
typedef void (*tODScrnRepaintFunc)(void *argument);
void ODScrnSetRepaintHook(tODScrnRepaintFunc function, void *argument);

/* ---- the session screen (game thread) ---- */

typedef struct {
    int32_t left, top, right, bottom; /* 1-based, absolute */
    int32_t attribute;
    int32_t cursor_column, cursor_row; /* 1-based, relative */
    int32_t scrolling;
} tODSessionScreenInfo;

extern int bSessionScreenAvailable;
extern int nSessionScreenError; /* 1 out of memory, 5 impossible size, else 0 */

/* Creates the shadow for a remote session only: at least minimum_width x
 * minimum_height, larger when the caller's screen is. Returns 0, or the
 * error (1, 5) with which the session runs without a shadow. */
int  ODSessionScreenInitialize(int32_t minimum_width, int32_t minimum_height);
void ODSessionScreenShutdown(void);
int  ODSessionScreenAvailable(void);
void ODSessionScreenGetInfo(tODSessionScreenInfo *info);
void ODSessionScreenSetCursorPos(int32_t column, int32_t row); /* 1-based, clamped */
void ODSessionScreenSetAttribute(uint8_t attribute);
void ODSessionScreenEnableScrolling(int on);
void ODSessionScreenDisplayChar(uint8_t ch);
void ODSessionScreenDisplayBuffer(const char *bytes, size_t length);
void ODSessionScreenDisplayString(const char *text);
void ODSessionScreenClear(void);
void ODSessionScreenClearToEndOfLine(void);
void ODSessionScreenScrollUpOneLine(void);

/* Copies what changed in the visible top-left corner into the local screen
 * and carries the attribute, cursor and caret over. */
void ODSessionScreenPresent(void);

/* The shadow's cell at a 1-based absolute position (tests, diagnostics);
 * 0 outside the shadow. */
uint16_t ODSessionScreenGetCell(int32_t column, int32_t row);

/* ---- public ---- */

/* The local status line is not part of the picture in this kit: the frame's
 * status bar shows the session instead. Always fails with error 11. */
#ifdef __cplusplus
extern "C"
#endif
void od_set_statusline(int setting);

#endif
