/* run_links.h -- what the adventure (runs, scenes, combat, riddles) calls in
 * the game's other modules, gathered in one place so the seams are easy to
 * find: the month's campaign, the screen helpers, the caller's class, the
 * daily reservation and mission, and result recording. */
#ifndef RUN_LINKS_H
#define RUN_LINKS_H

#include "daily.h"
#include "profile.h"
#include "result.h"
#include "screen.h"
#include "season.h"

#endif
