/* daily_story.cpp -- the daily mission's screen: the dated choice the caller
 * makes before the riddle or the shadows' offer and the guardian. */
#include "daily.h"

#include <stdio.h>

#include "doorkit.h"
#include "run.h"
#include "scene.h"
#include "screen.h"
#include "season.h"

/* The caller's choice: '1', '2', or 0 when the run is being abandoned
 * (Q or Escape, a quit already asked for, or the caller gone -- a dropped
 * caller abandons the run so the day's reservation is given back). Keys
 * come decoded, as everywhere in a run: a cursor key is not an Escape. */
static int daily_choice_key(void)
{
    for (;;) {
        int key = screen_key();
        if (key == 0 || key == 'q' || key == 'Q' || key == 27) {
            quit_requested = 1;
            return 0;
        }
        if (key == '1' || key == '2') return key;
        if (quit_requested) return 0;
    }
}

void daily_story(int d)
{
    char text[256];
    if (season_index == SEASON_OCTOBER) {
        int i = (d - 1) % DAILY_OCTOBER_DAYS;
        if (i < 0) i += DAILY_OCTOBER_DAYS;
        scene(daily_chapters[i]);
        prose(7, 14, daily_events[i], 39);
        snprintf(text, sizeof text, "[1] %s", daily_decisions[i]);
        prose(12, 11, text, 39);
        put(3, 15, 11, "[2] TAKE A SAFER ROUTE");
        int choice = daily_choice_key();
        if (!choice) return;
        if (choice == '1') {
            play(daily_risky_outcome(daily_october_outcome(d)));
            scene("THE HARVEST ANSWERS YOUR CHOICE");
            prose(9, 14, daily_results[i], 39);
        } else {
            daily_safe_outcome();
            play("MFT200O4L16CGE");
            scene("YOU TAKE THE LONG WAY");
            prose(9, 11, daily_safe_results[i], 39);
        }
        waitc();
        return;
    }

    int place = (d - 1) % 8;
    if (place < 0) place += 8;
    snprintf(text, sizeof text, "MISSION %02d: %s", d, places[place]);
    scene(text);
    snprintf(text, sizeof text, "%s %s", daily_omen(d, season_index),
             seasons[season_index].goal);
    prose(7, 14, text, 39);
    put(3, 12, 11, "[1] FOLLOW THE DANGEROUS SHORTCUT");
    put(3, 15, 11, "[2] TAKE THE SAFER ROUTE");
    int choice = daily_choice_key();
    if (!choice) return;
    if (choice == '1') {
        daily_risky_outcome(daily_month_outcome(d, season_index, season_year));
        scene("THE SHORTCUT HAS A PRICE");
        prose(9, 14,
              "You reach a hidden cache. The seal opens, but the guardian knows you are coming.",
              39);
    } else {
        daily_safe_outcome();
        scene("THE PATIENT PATH");
        prose(9, 11, "You arrive rested and ready. The sealed path leads to today's guardian.", 39);
    }
    waitc();
}
