/* scores_hall.cpp -- the hall of fame: the local story and daily tables and
 * the InterBBS leaderboards, re-read from the files at every page. */
#include "scores.h"

#include <stdio.h>

#include "doorkit.h"
#include "interbbs.h"
#include "online.h"
#include "screen.h"

enum { HALL_LOCAL, HALL_SUMMARY, HALL_STORY_BOARD, HALL_DAILY_BOARD };

static void hall_local(int daily)
{
    static score_entry entries[SCORE_TABLE_MAX];
    header(daily ? "DAILY CHALLENGE - TOP SCORES" : "STORY MODE - TOP SCORES");
    int count = read_scores(entries, daily);
    if (count == 0)
        put(4, 7, 7,
            daily ? "No Daily Challenge scores recorded yet." : "No Story Mode scores recorded yet.");
    for (int i = 0; i < count && i < SCORE_HALL_ROWS; i++) {
        char text[96];
        snprintf(text, sizeof text, "%2d. %-20.20s %7d  STAGE %d", i + 1, entries[i].name,
                 entries[i].score, entries[i].stage);
        put(3, 5 + i, i == 0 ? 14 : 7, text);
    }
    put(3, 21, 11, "[S] STORY  [D] DAILY  [I] INTERBBS  [C] LOBBY");
}

static void hall_boards(int view)
{
    if (view == HALL_SUMMARY) {
        header("INTERBBS - TOP SCORES");
        put(3, 4, 14, "DAILY NIGHTMARE");
        interbbs_rows(INTERBBS_DAILY_BOARD, 6, 6);
        put(3, 13, 14, "STORY MODE");
        interbbs_rows(INTERBBS_STORY_BOARD, 15, 5);
    } else if (view == HALL_STORY_BOARD) {
        header("INTERBBS STORY - TOP SCORES");
        interbbs_rows(INTERBBS_STORY_BOARD, 5, 14);
    } else {
        header("INTERBBS DAILY - TOP SCORES");
        interbbs_rows(INTERBBS_DAILY_BOARD, 5, 14);
    }
    put(3, 22, 11, "[A] ALL  [S] STORY  [D] DAILY  [C] RETURN");
}

/* The next key, upper-cased; 0 once the caller is gone. */
static int hall_key(void)
{
    int key = screen_key();
    return key >= 'a' && key <= 'z' ? key - ('a' - 'A') : key;
}

void hall(void)
{
    int daily = 0;
    int view = HALL_LOCAL;
    for (;;) {
        if (view == HALL_LOCAL)
            hall_local(daily);
        else
            hall_boards(view);
        int next = -1;
        while (next < 0) {
            int key = hall_key();
            if (key == 0) return;
            if (view == HALL_LOCAL) {
                if (key == 'C' || key == 'Q' || key == 27) return;
                if (key == 'S' || key == 'D') {
                    daily = key == 'D';
                    next = HALL_LOCAL;
                } else if (key == 'I') {
                    next = HALL_SUMMARY;
                }
            } else {
                if (key == 'C' || key == 'Q' || key == 27) next = HALL_LOCAL;
                else if (key == 'S') next = HALL_STORY_BOARD;
                else if (key == 'D') next = HALL_DAILY_BOARD;
                else if (key == 'A') next = HALL_SUMMARY;
            }
        }
        view = next;
    }
}
