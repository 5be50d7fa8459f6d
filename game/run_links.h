/* run_links.h -- what the adventure (runs, scenes, combat, riddles) calls in
 * the game's other modules, gathered in one place so the seams are easy to
 * find: the month's campaign, the screen helpers, the caller's class, and
 * the daily reservation, mission and result recording.
 *
 * A module's own header is used as soon as it is in the tree; until then
 * the names it will provide are declared here. The test names the header by
 * its place in game/ because system headers share some of these names
 * (MinGW ships a profile.h). */
#ifndef RUN_LINKS_H
#define RUN_LINKS_H

#include <stdint.h>

/* The month's campaign: season_bind, the date values and the stage tables. */
#if __has_include("../game/season.h")
#include "season.h"
#else
struct season_record {
    const char *name;
    const char *title;
    const char *introduction;
    const char *goal;
    const char *ending;
    const char *places[8];
    const char *guardians[8];
    const char *clues[8];
    const char *discoveries[8];
};
extern const season_record seasons[12];
extern int season_index;
extern int season_day;
extern int season_year;
extern int season_stamp;
extern const char *places[8];
extern const char *bosses[8];
extern const char *stage_clues[8];
extern const char *stage_discoveries[8];
void season_bind(void);
#endif

/* Screen helpers, pictures and music. A screen.h without the pictures and
 * music (SCREEN_ART_COLUMN) is the early one that declares only the text
 * helpers. */
#if __has_include("../game/screen.h")
#include "screen.h"
#endif
#ifndef SCREEN_ART_COLUMN
#if !__has_include("../game/screen.h")
int put(int column, int row, int colour, const char *text);
void header(const char *title);
void waitc(void);
#endif
void bar(int row, const char *label, int value, int colour);
void seasonal_draw(int column, int variant);
void seasonal_draw_at(int column, int row, int variant);
void grimby_art(int column, int row, int variant);
int play(const char *melody);
#endif

/* The caller's class (0 CARVER .. 4 MEDIUM). */
#if __has_include("../game/profile.h")
#include "profile.h"
#else
extern int player_class;
#endif

/* The daily reservation and mission. */
#if __has_include("../game/daily.h")
#include "daily.h"
#else
int  daily_reserve(void);      /* 1 when this caller's day is reserved */
void daily_release(void);      /* removes the reservation, if held */
void daily_story(int day);
extern const char *const daily_chapters[31];
#endif

/* Result recording and the final screen. */
#if __has_include("../game/result.h")
#include "result.h"
#else
void record_result(int daily);
#endif

#endif
