/* ODGraph.cpp -- cursor placement and line clearing: the calls that need
 * to know where the caller's cursor is, answered from the session screen
 * when there is one and from the local screen otherwise. */
#include "doorkit.h"
#include "ODCore.h"
#include "ODScrn.h"
#include "ODSync.h"

#include <stdio.h>
#include <string.h>

/* The window and cursor the caller's position is checked against. */
typedef struct {
    int width, height; /* of the text window */
    int column, row;   /* 1-based, relative */
} tODGraphPosition;

static void ODGraphGetPosition(tODGraphPosition *position)
{
    if (bSessionScreenAvailable) {
        tODSessionScreenInfo info;
        ODSessionScreenGetInfo(&info);
        position->width = info.right - info.left + 1;
        position->height = info.bottom - info.top + 1;
        position->column = info.cursor_column;
        position->row = info.cursor_row;
    } else {
        tODScrnTextInfo info;
        ODScrnGetTextInfo(&info);
        position->width = info.right - info.left + 1;
        position->height = info.bottom - info.top + 1;
        position->column = info.cursor_column;
        position->row = info.cursor_row;
    }
}

static void ODGraphMoveLocalCursor(int row, int column)
{
    if (bSessionScreenAvailable) {
        ODSessionScreenSetCursorPos(column, row);
        ODSessionScreenPresent();
    } else {
        ODScrnSetCursorPos((uint8_t)column, (uint8_t)row);
    }
}

void od_clr_line(void)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return;
    tODGraphPosition position;
    ODGraphGetPosition(&position);
    int remaining = position.width - position.column;
    if (remaining < 0) remaining = 0;

    if (od_control.caller_avatar || od_control.caller_ansi) {
        if (bSessionScreenAvailable) {
            ODSessionScreenClearToEndOfLine();
            ODSessionScreenPresent();
        } else {
            /* Blank to the right edge without letting the wrap scroll, then
             * put the cursor back where it was. */
            int scrolling = bScrollEnabled;
            ODScrnEnableScrolling(0);
            memset(szODOutputWork, ' ', (size_t)remaining + 1);
            ODScrnDisplayBuffer(szODOutputWork, (size_t)remaining + 1);
            ODScrnEnableScrolling(scrolling);
            ODScrnSetCursorPos((uint8_t)position.column, (uint8_t)position.row);
        }
        if (od_control.caller_avatar)
            ODCoreSend("\x16\x07", 2);
        else
            ODCoreSend("\x1b[K", 3);
        return;
    }

    /* A plain terminal: overwrite with blanks and step back. The last
     * column is left alone, since writing it would wrap the line. */
    if (remaining <= 0) return;
    if ((size_t)remaining * 2 > sizeof szODOutputWork) remaining = (int)(sizeof szODOutputWork / 2);
    memset(szODOutputWork, ' ', (size_t)remaining);
    memset(szODOutputWork + remaining, '\b', (size_t)remaining);
    ODCoreSend(szODOutputWork, (size_t)remaining * 2);
    ODCoreShow(szODOutputWork, (size_t)remaining * 2);
}

int od_set_cursor(int row, int column)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return 0;
    tODGraphPosition position;
    ODGraphGetPosition(&position);
    if (row < 1 || column < 1 || column > position.width || row > position.height) {
        od_control.last_error = ODERR_PARAM;
        return 0;
    }

    if (od_control.caller_avatar) {
        if (row > 255 || column > 255) {
            od_control.last_error = ODERR_PARAM;
            return 0;
        }
        ODGraphMoveLocalCursor(row, column);
        const char sequence[4] = {0x16, 0x08, (char)row, (char)column};
        ODCoreSend(sequence, sizeof sequence);
        return 1;
    }

    if (od_control.caller_ansi) {
        char sequence[32];
        int length = snprintf(sequence, sizeof sequence, "x[%d;%dH", row, column);
        sequence[0] = 27;
        ODCoreSend(sequence, (size_t)length);
        ODGraphMoveLocalCursor(row, column);
        return 1;
    }

    od_control.last_error = ODERR_NOGRAPHICS;
    return 0;
}

int od_get_cursor(int *row, int *column)
{
    ODCoreOutputCall output;
    if (!output.call.entered) return 0;
    if (!row && !column) {
        od_control.last_error = ODERR_PARAM;
        return 0;
    }
    tODGraphPosition position;
    ODGraphGetPosition(&position);
    if (row) *row = position.row;
    if (column) *column = position.column;
    return 1;
}
