/* ODScrn.cpp -- the local screen model and the session screen: what the
 * sysop sees of the caller's screen, kept on the game thread and handed to
 * the display thread through a double buffer under one mutex. */
#include "doorkit.h"
#include "ODScrn.h"
#include "ODCore.h"
#include "ODSync.h"
#include "ODPlat.h"
#include "ODSafe.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- the text grid both screens share ----
 *
 * One set of control-character rules for the local screen and the session
 * screen, so what the sysop sees and what the kit believes the caller sees
 * cannot drift apart. Coordinates are 0-based; the window is absolute and
 * inclusive, the cursor relative to it. */

struct tODGrid {
    uint16_t *cells;
    int32_t   stride; /* cells per row of the whole grid */
    int32_t   left, top, right, bottom;
    int32_t   column, row;
    uint8_t   attribute;
    int       scroll;
    /* area written since the changed flag was last cleared, absolute */
    int       changed;
    int32_t   changed_left, changed_top, changed_right, changed_bottom;
};

static inline uint16_t ODGridBlank(uint8_t attribute)
{
    return (uint16_t)(' ' | (attribute << 8));
}

static void ODGridMarkChanged(tODGrid *grid, int32_t left, int32_t top, int32_t right, int32_t bottom)
{
    if (!grid->changed) {
        grid->changed = 1;
        grid->changed_left = left;
        grid->changed_top = top;
        grid->changed_right = right;
        grid->changed_bottom = bottom;
        return;
    }
    if (left < grid->changed_left) grid->changed_left = left;
    if (top < grid->changed_top) grid->changed_top = top;
    if (right > grid->changed_right) grid->changed_right = right;
    if (bottom > grid->changed_bottom) grid->changed_bottom = bottom;
}

/* Fills an absolute rectangle with blanks in the grid's attribute. */
static void ODGridFill(tODGrid *grid, int32_t left, int32_t top, int32_t right, int32_t bottom)
{
    uint16_t blank = ODGridBlank(grid->attribute);
    for (int32_t y = top; y <= bottom; y++) {
        uint16_t *cell = grid->cells + (size_t)y * grid->stride + left;
        for (int32_t x = left; x <= right; x++) *cell++ = blank;
    }
    ODGridMarkChanged(grid, left, top, right, bottom);
}

static void ODGridClampCursor(tODGrid *grid)
{
    int32_t width = grid->right - grid->left + 1;
    int32_t height = grid->bottom - grid->top + 1;
    if (grid->column >= width) grid->column = width - 1;
    if (grid->row >= height) grid->row = height - 1;
    if (grid->column < 0) grid->column = 0;
    if (grid->row < 0) grid->row = 0;
}

static void ODGridScrollUp(tODGrid *grid)
{
    size_t row_bytes = (size_t)(grid->right - grid->left + 1) * sizeof(uint16_t);
    for (int32_t y = grid->top; y < grid->bottom; y++) {
        memmove(grid->cells + (size_t)y * grid->stride + grid->left,
                grid->cells + (size_t)(y + 1) * grid->stride + grid->left, row_bytes);
    }
    ODGridFill(grid, grid->left, grid->bottom, grid->right, grid->bottom);
    ODGridMarkChanged(grid, grid->left, grid->top, grid->right, grid->bottom);
}

/* Down one row; at the bottom the window scrolls, or the row stays. */
static void ODGridLineFeed(tODGrid *grid)
{
    if (grid->row < grid->bottom - grid->top) {
        grid->row++;
    } else if (grid->scroll) {
        ODGridScrollUp(grid);
    }
}

static void ODGridWrite(tODGrid *grid, const uint8_t *bytes, size_t length)
{
    int32_t width = grid->right - grid->left + 1;
    ODGridClampCursor(grid);
    for (size_t i = 0; i < length; i++) {
        uint8_t ch = bytes[i];
        switch (ch) {
        case 7:
            if (!od_control.silent_mode) ODPlatRingBell();
            break;
        case 8:
            if (grid->column > 0) grid->column--;
            break;
        case 9:
            grid->column = (grid->column / 8 + 1) * 8;
            if (grid->column >= width) {
                grid->column = 0;
                ODGridLineFeed(grid);
            }
            break;
        case 10:
            ODGridLineFeed(grid);
            break;
        case 13:
            grid->column = 0;
            break;
        default: {
            int32_t x = grid->left + grid->column;
            int32_t y = grid->top + grid->row;
            grid->cells[(size_t)y * grid->stride + x] = (uint16_t)(ch | (grid->attribute << 8));
            ODGridMarkChanged(grid, x, y, x, y);
            if (++grid->column >= width) {
                grid->column = 0;
                ODGridLineFeed(grid);
            }
            break;
        }
        }
    }
}

/* ---- the local screen ---- */

uint16_t *pScrnBuffer = nullptr;
uint16_t *pDisplayBuffer = nullptr;
uint8_t   btLeftBoundary = 0, btTopBoundary = 0;
uint8_t   btRightBoundary = OD_SCREEN_WIDTH - 1, btBottomBoundary = OD_SCREEN_HEIGHT - 1;
uint8_t   btCursorColumn = 0, btCursorRow = 0;
uint8_t   btCurrentAttribute = 7;
int       bScrollEnabled = 1;
int       bRequestedCaretOn = 0, bCaretOn = 0;
int       bScreenDirty = 0;
int       bScreenPresentationActive = 0;
tODScrnTextInfo ODTextInfo;

tODMutex ScreenPresentationMutex = nullptr;
int      bDisplayCaretOn = 0;
uint8_t  btDisplayCursorRow = 0, btDisplayCursorColumn = 0;

static uint32_t           dwPublishGeneration = 0;
static tODScrnRepaintFunc pfScrnRepaint = nullptr;
static void              *pScrnRepaintArgument = nullptr;

static void ODScrnLoadGrid(tODGrid *grid)
{
    grid->cells = pScrnBuffer;
    grid->stride = OD_SCREEN_WIDTH;
    grid->left = btLeftBoundary;
    grid->top = btTopBoundary;
    grid->right = btRightBoundary;
    grid->bottom = btBottomBoundary;
    grid->column = btCursorColumn;
    grid->row = btCursorRow;
    grid->attribute = btCurrentAttribute;
    grid->scroll = bScrollEnabled;
    grid->changed = 0;
}

static void ODScrnStoreGrid(const tODGrid *grid)
{
    btCursorColumn = (uint8_t)grid->column;
    btCursorRow = (uint8_t)grid->row;
    bScreenDirty = 1;
}

int ODScrnInitialize(void)
{
    if (bScreenPresentationActive) return ODSCRN_OK;
    size_t bytes = OD_SCREEN_CELLS * sizeof(uint16_t);
    pScrnBuffer = (uint16_t *)malloc(bytes);
    pDisplayBuffer = (uint16_t *)malloc(bytes);
    if (!pScrnBuffer || !pDisplayBuffer) {
        free(pScrnBuffer);
        free(pDisplayBuffer);
        pScrnBuffer = pDisplayBuffer = nullptr;
        return ODSCRN_NOMEM;
    }
    if (ODMutexInitialize(&ScreenPresentationMutex) != ODPLAT_OK) {
        free(pScrnBuffer);
        free(pDisplayBuffer);
        pScrnBuffer = pDisplayBuffer = nullptr;
        ScreenPresentationMutex = nullptr;
        return ODSCRN_FAIL;
    }
    btLeftBoundary = 0;
    btTopBoundary = 0;
    btRightBoundary = OD_SCREEN_WIDTH - 1;
    btBottomBoundary = OD_SCREEN_HEIGHT - 1;
    btCurrentAttribute = 7;
    bScrollEnabled = 1;
    bScreenPresentationActive = 1;
    ODScrnClear();
    bRequestedCaretOn = bCaretOn = 1;
    memcpy(pDisplayBuffer, pScrnBuffer, bytes);
    btDisplayCursorColumn = (uint8_t)(btLeftBoundary + btCursorColumn);
    btDisplayCursorRow = (uint8_t)(btTopBoundary + btCursorRow);
    bDisplayCaretOn = bCaretOn;
    dwPublishGeneration++;
    bScreenDirty = 0;
    /* From here on the API's sync points send collected output and publish
     * this picture. */
    ODCoreAttach();
    return ODSCRN_OK;
}

void ODScrnShutdown(void)
{
    /* The connection closes after the screens at exit: whatever output is
     * still collected goes now, while it can. */
    ODCoreDetach();
    if (!bScreenPresentationActive) return;
    bScreenPresentationActive = 0;
    ODMutexDestroy(ScreenPresentationMutex);
    ScreenPresentationMutex = nullptr;
    free(pScrnBuffer);
    free(pDisplayBuffer);
    pScrnBuffer = pDisplayBuffer = nullptr;
    pfScrnRepaint = nullptr;
    pScrnRepaintArgument = nullptr;
    bScreenDirty = 0;
}

void ODScrnSetBoundary(uint8_t left, uint8_t top, uint8_t right, uint8_t bottom)
{
    if (left < 1) left = 1;
    if (top < 1) top = 1;
    if (right > OD_SCREEN_WIDTH) right = OD_SCREEN_WIDTH;
    if (bottom > OD_SCREEN_HEIGHT) bottom = OD_SCREEN_HEIGHT;
    if (left > right || top > bottom) return; /* no window: keep the one we have */
    btLeftBoundary = (uint8_t)(left - 1);
    btTopBoundary = (uint8_t)(top - 1);
    btRightBoundary = (uint8_t)(right - 1);
    btBottomBoundary = (uint8_t)(bottom - 1);
    if (btCursorColumn > btRightBoundary - btLeftBoundary) btCursorColumn = (uint8_t)(btRightBoundary - btLeftBoundary);
    if (btCursorRow > btBottomBoundary - btTopBoundary) btCursorRow = (uint8_t)(btBottomBoundary - btTopBoundary);
    bScreenDirty = 1;
}

void ODScrnSetCursorPos(uint8_t column, uint8_t row)
{
    int width = btRightBoundary - btLeftBoundary + 1;
    int height = btBottomBoundary - btTopBoundary + 1;
    int c = column < 1 ? 1 : (column > width ? width : column);
    int r = row < 1 ? 1 : (row > height ? height : row);
    if (btCursorColumn == c - 1 && btCursorRow == r - 1) return;
    btCursorColumn = (uint8_t)(c - 1);
    btCursorRow = (uint8_t)(r - 1);
    /* A moved cursor is a change the sysop should see, even with no text. */
    bScreenDirty = 1;
}

void ODScrnSetAttribute(uint8_t attribute)
{
    btCurrentAttribute = attribute;
}

void ODScrnEnableScrolling(int on)
{
    bScrollEnabled = on ? 1 : 0;
}

void ODScrnEnableCaret(int on)
{
    on = on ? 1 : 0;
    bRequestedCaretOn = on;
    if (bCaretOn != on) {
        bCaretOn = on;
        bScreenDirty = 1;
    }
}

void ODScrnShowCaret(int visible)
{
    int on = visible ? bRequestedCaretOn : 0;
    if (bCaretOn != on) {
        bCaretOn = on;
        bScreenDirty = 1;
    }
}

void ODScrnGetTextInfo(tODScrnTextInfo *info)
{
    if (!info) return;
    info->left = (uint8_t)(btLeftBoundary + 1);
    info->top = (uint8_t)(btTopBoundary + 1);
    info->right = (uint8_t)(btRightBoundary + 1);
    info->bottom = (uint8_t)(btBottomBoundary + 1);
    info->attribute = btCurrentAttribute;
    info->cursor_column = (uint8_t)(btCursorColumn + 1);
    info->cursor_row = (uint8_t)(btCursorRow + 1);
}

void ODStoreTextInfo(void)
{
    ODScrnGetTextInfo(&ODTextInfo);
}

void ODRestoreTextInfo(void)
{
    ODScrnSetBoundary(ODTextInfo.left, ODTextInfo.top, ODTextInfo.right, ODTextInfo.bottom);
    ODScrnSetAttribute(ODTextInfo.attribute);
    ODScrnSetCursorPos(ODTextInfo.cursor_column, ODTextInfo.cursor_row);
}

void ODScrnDisplayBuffer(const char *bytes, size_t length)
{
    if (!bScreenPresentationActive || !bytes || length == 0) return;
    tODGrid grid;
    ODScrnLoadGrid(&grid);
    ODGridWrite(&grid, (const uint8_t *)bytes, length);
    ODScrnStoreGrid(&grid);
}

void ODScrnDisplayChar(uint8_t ch)
{
    ODScrnDisplayBuffer((const char *)&ch, 1);
}

void ODScrnDisplayString(const char *text)
{
    if (!text) return;
    ODScrnDisplayBuffer(text, strlen(text));
}

uint32_t ODScrnPrintf(const char *format, ...)
{
    if (!format) return 0xFFFFFFFFu;
    char small[81];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) return 0xFFFFFFFFu;
    if ((size_t)length < sizeof small) {
        ODScrnDisplayBuffer(small, (size_t)length);
        return (uint32_t)length;
    }
    char *large = (char *)malloc((size_t)length + 1);
    if (!large) return 0xFFFFFFFFu;
    va_start(args, format);
    int again = vsnprintf(large, (size_t)length + 1, format, args);
    va_end(args);
    if (again != length) {
        free(large);
        return 0xFFFFFFFFu;
    }
    ODScrnDisplayBuffer(large, (size_t)length);
    free(large);
    return (uint32_t)length;
}

void ODScrnClear(void)
{
    if (!bScreenPresentationActive) return;
    tODGrid grid;
    ODScrnLoadGrid(&grid);
    ODGridFill(&grid, grid.left, grid.top, grid.right, grid.bottom);
    grid.column = grid.row = 0;
    ODScrnStoreGrid(&grid);
}

void ODScrnScrollUpOneLine(void)
{
    if (!bScreenPresentationActive) return;
    tODGrid grid;
    ODScrnLoadGrid(&grid);
    ODGridScrollUp(&grid);
    ODScrnStoreGrid(&grid);
}

void ODScrnPutText(int left, int top, int right, int bottom, const uint16_t *cells)
{
    if (!bScreenPresentationActive || !cells || left > right || top > bottom) return;
    int width = btRightBoundary - btLeftBoundary + 1;
    int height = btBottomBoundary - btTopBoundary + 1;
    int source_width = right - left + 1;
    int first_column = left < 1 ? 1 : left;
    int last_column = right > width ? width : right;
    int first_row = top < 1 ? 1 : top;
    int last_row = bottom > height ? height : bottom;
    if (first_column > last_column || first_row > last_row) return;
    size_t run = (size_t)(last_column - first_column + 1) * sizeof(uint16_t);
    for (int row = first_row; row <= last_row; row++) {
        const uint16_t *from = cells + (size_t)(row - top) * source_width + (first_column - left);
        uint16_t *to = pScrnBuffer + (size_t)(btTopBoundary + row - 1) * OD_SCREEN_WIDTH
                       + btLeftBoundary + first_column - 1;
        memcpy(to, from, run);
    }
    bScreenDirty = 1;
}

void ODScrnPublish(void)
{
    if (!bScreenPresentationActive || !bScreenDirty) return;
    ODMutexLock(ScreenPresentationMutex);
    uint16_t *published = pScrnBuffer;
    pScrnBuffer = pDisplayBuffer;
    pDisplayBuffer = published;
    btDisplayCursorColumn = (uint8_t)(btLeftBoundary + btCursorColumn);
    btDisplayCursorRow = (uint8_t)(btTopBoundary + btCursorRow);
    bDisplayCaretOn = bCaretOn;
    dwPublishGeneration++;
    if (pfScrnRepaint) pfScrnRepaint(pScrnRepaintArgument);
    ODMutexUnlock(ScreenPresentationMutex);
    /* The display side reads only pDisplayBuffer, so the working copy can
     * be brought up to date outside the lock. */
    memcpy(pScrnBuffer, pDisplayBuffer, OD_SCREEN_CELLS * sizeof(uint16_t));
    bScreenDirty = 0;
}

int ODScrnReadDisplay(tODScrnSnapshot *snapshot)
{
    if (!snapshot || !bScreenPresentationActive) return 1;
    ODMutexLock(ScreenPresentationMutex);
    memcpy(snapshot->cells, pDisplayBuffer, sizeof snapshot->cells);
    snapshot->cursor_row = btDisplayCursorRow;
    snapshot->cursor_column = btDisplayCursorColumn;
    snapshot->caret_on = (uint8_t)bDisplayCaretOn;
    snapshot->generation = dwPublishGeneration;
    ODMutexUnlock(ScreenPresentationMutex);
    return 0;
}

void ODScrnSetRepaintHook(tODScrnRepaintFunc function, void *argument)
{
    if (!bScreenPresentationActive) return;
    ODMutexLock(ScreenPresentationMutex);
    pfScrnRepaint = function;
    pScrnRepaintArgument = function ? argument : nullptr;
    ODMutexUnlock(ScreenPresentationMutex);
}

void od_set_statusline(int setting)
{
    (void)setting;
    ODPublicCall call;
    if (!call.entered) return;
    od_control.last_error = ODERR_UNSUPPORTED;
}

/* ---- the session screen ---- */

struct tODSessionScreen {
    uint16_t *cells;
    int32_t   width, height;
    int32_t   left, top, right, bottom;
    int32_t   cursor_column, cursor_row;
    int32_t   attribute;
    int32_t   scrolling;
    int32_t   changed;
    int32_t   changed_left, changed_top, changed_right, changed_bottom;
};

static tODSessionScreen SessionScreen;
int bSessionScreenAvailable = 0;
int nSessionScreenError = 0;

static void ODSessionScreenLoadGrid(tODGrid *grid)
{
    grid->cells = SessionScreen.cells;
    grid->stride = SessionScreen.width;
    grid->left = SessionScreen.left;
    grid->top = SessionScreen.top;
    grid->right = SessionScreen.right;
    grid->bottom = SessionScreen.bottom;
    grid->column = SessionScreen.cursor_column;
    grid->row = SessionScreen.cursor_row;
    grid->attribute = (uint8_t)SessionScreen.attribute;
    grid->scroll = SessionScreen.scrolling;
    grid->changed = SessionScreen.changed;
    grid->changed_left = SessionScreen.changed_left;
    grid->changed_top = SessionScreen.changed_top;
    grid->changed_right = SessionScreen.changed_right;
    grid->changed_bottom = SessionScreen.changed_bottom;
}

static void ODSessionScreenStoreGrid(const tODGrid *grid)
{
    SessionScreen.cursor_column = grid->column;
    SessionScreen.cursor_row = grid->row;
    SessionScreen.changed = grid->changed;
    SessionScreen.changed_left = grid->changed_left;
    SessionScreen.changed_top = grid->changed_top;
    SessionScreen.changed_right = grid->changed_right;
    SessionScreen.changed_bottom = grid->changed_bottom;
}

int ODSessionScreenInitialize(int32_t minimum_width, int32_t minimum_height)
{
    if (bSessionScreenAvailable) return 0;
    nSessionScreenError = 0;
    if (od_control.remote_bps == 0) return 0;
    int32_t width = od_control.caller_screen_width;
    int32_t height = od_control.caller_screen_length;
    if (width < minimum_width) width = minimum_width;
    if (height < minimum_height) height = minimum_height;
    size_t count = 0, bytes = 0;
    /* Cell positions are computed in 32 bits, so the shadow stays below
     * 2^31 cells whatever the pointer size. */
    if (width <= 0 || height <= 0 || !ODSizeMultiply((size_t)width, (size_t)height, &count)
        || count > 0x7FFFFFFFu || !ODSizeMultiply(count, sizeof(uint16_t), &bytes)) {
        nSessionScreenError = ODERR_LIMIT;
        return nSessionScreenError;
    }
    uint16_t *cells = (uint16_t *)malloc(bytes);
    if (!cells) {
        nSessionScreenError = ODERR_NOMEMORY;
        return nSessionScreenError;
    }
    memset(&SessionScreen, 0, sizeof SessionScreen);
    SessionScreen.cells = cells;
    SessionScreen.width = width;
    SessionScreen.height = height;
    SessionScreen.right = width - 1;
    SessionScreen.bottom = height - 1;
    SessionScreen.attribute = 7;
    SessionScreen.scrolling = 1;
    uint16_t blank = ODGridBlank(7);
    for (size_t i = 0; i < count; i++) cells[i] = blank;
    bSessionScreenAvailable = 1;
    return 0;
}

void ODSessionScreenShutdown(void)
{
    /* Collected output still reaches the caller before the port closes. */
    ODCoreFlushOutput();
    free(SessionScreen.cells);
    memset(&SessionScreen, 0, sizeof SessionScreen);
    bSessionScreenAvailable = 0;
    nSessionScreenError = 0;
}

int ODSessionScreenAvailable(void)
{
    return bSessionScreenAvailable;
}

void ODSessionScreenGetInfo(tODSessionScreenInfo *info)
{
    if (!info) return;
    info->left = SessionScreen.left + 1;
    info->top = SessionScreen.top + 1;
    info->right = SessionScreen.right + 1;
    info->bottom = SessionScreen.bottom + 1;
    info->attribute = SessionScreen.attribute;
    info->cursor_column = SessionScreen.cursor_column + 1;
    info->cursor_row = SessionScreen.cursor_row + 1;
    info->scrolling = SessionScreen.scrolling;
}

void ODSessionScreenSetCursorPos(int32_t column, int32_t row)
{
    if (!bSessionScreenAvailable) return;
    int32_t width = SessionScreen.right - SessionScreen.left + 1;
    int32_t height = SessionScreen.bottom - SessionScreen.top + 1;
    if (column < 1) column = 1;
    if (column > width) column = width;
    if (row < 1) row = 1;
    if (row > height) row = height;
    SessionScreen.cursor_column = column - 1;
    SessionScreen.cursor_row = row - 1;
}

void ODSessionScreenSetAttribute(uint8_t attribute)
{
    SessionScreen.attribute = attribute;
}

void ODSessionScreenEnableScrolling(int on)
{
    SessionScreen.scrolling = on ? 1 : 0;
}

void ODSessionScreenDisplayBuffer(const char *bytes, size_t length)
{
    if (!bSessionScreenAvailable || !bytes || length == 0) return;
    tODGrid grid;
    ODSessionScreenLoadGrid(&grid);
    ODGridWrite(&grid, (const uint8_t *)bytes, length);
    ODSessionScreenStoreGrid(&grid);
}

void ODSessionScreenDisplayChar(uint8_t ch)
{
    ODSessionScreenDisplayBuffer((const char *)&ch, 1);
}

void ODSessionScreenDisplayString(const char *text)
{
    if (!text) return;
    ODSessionScreenDisplayBuffer(text, strlen(text));
}

void ODSessionScreenClear(void)
{
    if (!bSessionScreenAvailable) return;
    tODGrid grid;
    ODSessionScreenLoadGrid(&grid);
    ODGridFill(&grid, grid.left, grid.top, grid.right, grid.bottom);
    grid.column = grid.row = 0;
    ODSessionScreenStoreGrid(&grid);
}

void ODSessionScreenClearToEndOfLine(void)
{
    if (!bSessionScreenAvailable) return;
    tODGrid grid;
    ODSessionScreenLoadGrid(&grid);
    ODGridClampCursor(&grid);
    int32_t y = grid.top + grid.row;
    ODGridFill(&grid, grid.left + grid.column, y, grid.right, y);
    ODSessionScreenStoreGrid(&grid);
}

void ODSessionScreenScrollUpOneLine(void)
{
    if (!bSessionScreenAvailable) return;
    tODGrid grid;
    ODSessionScreenLoadGrid(&grid);
    ODGridScrollUp(&grid);
    ODSessionScreenStoreGrid(&grid);
}

uint16_t ODSessionScreenGetCell(int32_t column, int32_t row)
{
    if (!bSessionScreenAvailable || column < 1 || row < 1 || column > SessionScreen.width
        || row > SessionScreen.height)
        return 0;
    return SessionScreen.cells[(size_t)(row - 1) * SessionScreen.width + (column - 1)];
}

void ODSessionScreenPresent(void)
{
    if (!bSessionScreenAvailable || !bScreenPresentationActive) return;
    tODScrnTextInfo local;
    ODScrnGetTextInfo(&local);
    int32_t visible_width = local.right - local.left + 1;
    if (SessionScreen.width < visible_width) visible_width = SessionScreen.width;
    if (OD_SCREEN_WIDTH < visible_width) visible_width = OD_SCREEN_WIDTH;
    int32_t visible_height = local.bottom - local.top + 1;
    if (SessionScreen.height < visible_height) visible_height = SessionScreen.height;

    if (SessionScreen.changed) {
        int32_t left = SessionScreen.changed_left < 0 ? 0 : SessionScreen.changed_left;
        int32_t top = SessionScreen.changed_top < 0 ? 0 : SessionScreen.changed_top;
        int32_t right = SessionScreen.changed_right < visible_width - 1 ? SessionScreen.changed_right
                                                                         : visible_width - 1;
        int32_t bottom = SessionScreen.changed_bottom < visible_height - 1 ? SessionScreen.changed_bottom
                                                                           : visible_height - 1;
        for (int32_t y = top; left <= right && y <= bottom; y++) {
            ODScrnPutText(left + 1, y + 1, right + 1, y + 1,
                          SessionScreen.cells + (size_t)y * SessionScreen.width + left);
        }
        SessionScreen.changed = 0;
    }

    ODScrnSetAttribute((uint8_t)SessionScreen.attribute);

    int32_t column = SessionScreen.left + SessionScreen.cursor_column;
    int32_t row = SessionScreen.top + SessionScreen.cursor_row;
    if (column < visible_width && row < visible_height) {
        ODScrnSetCursorPos((uint8_t)(column + 1), (uint8_t)(row + 1));
        ODScrnShowCaret(1);
    } else {
        /* The caller's cursor is where the sysop cannot see it. */
        ODScrnShowCaret(0);
    }
}
