/* season.h -- the twelve monthly campaigns and the season state bound to
 * the current UTC date, which every screen and run reads. */
#ifndef SEASON_H
#define SEASON_H

#include <stdint.h>

#define SEASON_MONTHS  12
#define SEASON_STAGES   8
#define SEASON_OCTOBER  9

/* One month's campaign. Outside October the clue and discovery lines are
 * generated from the guardians, places and goal (season_clue,
 * season_discovery); only October carries them written out here, the
 * other months hold null pointers in those two fields. */
struct season_record {
    const char *name;
    const char *title;
    const char *introduction;
    const char *goal;
    const char *ending;
    const char *places[SEASON_STAGES];
    const char *guardians[SEASON_STAGES];
    const char *clues[SEASON_STAGES];
    const char *discoveries[SEASON_STAGES];
};

extern const season_record seasons[SEASON_MONTHS]; /* January first */

/* The bound date, all UTC: month 0-11, day 1-31, four-digit year, and
 * year x 1000 + day of the year (0 for 1 January). */
extern int season_index;
extern int season_day;
extern int season_year;
extern int season_stamp;

/* The current month's stage tables, indexed by stage 0-7. Bound to January
 * of 1970 before the first season_bind, so they are never null. */
extern const char *places[SEASON_STAGES];
extern const char *bosses[SEASON_STAGES];
extern const char *stage_clues[SEASON_STAGES];
extern const char *stage_discoveries[SEASON_STAGES];

/* Binds the season state to the kit's wall clock (ODPlatWallSeconds). */
void season_bind(void);

/* Binds it to the given seconds since 1970 (UTC). A time the calendar
 * cannot place (before 1970 or after the year 9999) keeps the previous
 * state and returns 0; otherwise 1. */
int season_bind_at(int64_t seconds);

/* The clue and discovery line of a month's stage: written out in October,
 * generated in the other months. Null only for an index out of range. */
const char *season_clue(int month, int stage);
const char *season_discovery(int month, int stage);

/* 1 on 31 October, the night the Halloween finale runs. */
int season_is_halloween(void);

#endif
