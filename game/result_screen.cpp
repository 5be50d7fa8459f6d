/* result_screen.cpp -- the final screen of a run: the score, the guardian
 * reached and whether the result was saved. */
#include "result.h"

#include <stdio.h>
#include <string.h>

#include "doorkit.h"
#include "run.h"
#include "screen.h"

/* Like put, but with the whole row: this page holds no picture. */
static void result_line(int column, int row, int colour, const char *text)
{
    char cut[80];
    int room = 79 - column;
    if (room < 1) return;
    snprintf(cut, sizeof cut, "%.*s", room, text);
    od_set_color(colour, 0);
    od_set_cursor(row, column);
    od_disp_str(cut);
}

void final_screen(int result)
{
    char text[96];
    header(hp < 1 ? "THE GUARDIANS WIN" : "THE NIGHT IS YOURS");
    snprintf(text, sizeof text, "FINAL SCORE: %d    BOSS REACHED: %d/8", score, level + 1);
    result_line(6, 9, 14, text);
    if (result == RESULT_SAVED)
        result_line(6, 12, 11, "Your score was saved. The harvest remembers.");
    else if (result == RESULT_WARNING)
        result_line(6, 12, 11, "Score saved; export or daily-lock warning.");
    else
        result_line(6, 12, 12, "SCORE SAVE FAILED! Check game directory permissions.");
    waitc();
    quit_requested = 0;
    in_adventure = 0;
}
