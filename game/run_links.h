/* run_links.h -- what the adventure (runs, scenes, combat, riddles) calls in
 * the game's other modules, gathered in one place so the seams are easy to
 * find: the month's campaign, the screen helpers, the caller's class, and
 * the daily reservation, mission and result recording.
 *
 * The daily and result modules are declared here until their headers are in
 * the tree. The test names a header by its place in game/ because system
 * headers share some of these names. */
#ifndef RUN_LINKS_H
#define RUN_LINKS_H

#include "profile.h"
#include "screen.h"
#include "season.h"

/* The daily reservation and mission. */
#if __has_include("../game/daily.h")
#include "daily.h"
#else
int  daily_reserve(void);      /* 1 when this caller's day is reserved */
void daily_release(void);      /* removes the reservation, if held */
void daily_story(int d);
extern const char *const daily_chapters[31];
#endif

/* Result recording and the final screen. */
#if __has_include("../game/result.h")
#include "result.h"
#else
void record_result(int daily);
#endif

#endif
