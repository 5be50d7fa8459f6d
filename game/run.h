/* run.h -- the state of the caller's current adventure (story or daily) and
 * the run itself. Combat, riddles, the daily mission and result recording
 * all read and change these globals; run() resets them at every start. */
#ifndef RUN_H
#define RUN_H

#include <stdint.h>

/* ---- run state, reset by run() ---- */
extern int in_adventure;    /* 1 while a run is in progress */
extern int quit_requested;  /* the caller abandoned; cleared back in the lobby */
extern int hp;              /* SANITY in October, HEALTH otherwise */
extern int energy;          /* STAMINA */
extern int coins;           /* CANDY in October, TOKENS otherwise */
extern int score;
extern int level;           /* current stage 0..7, shown as 1..8 */
extern int keys;
extern int clues;
extern int weapon;          /* trunk item 1..3 readied for the next fight, 0 none */
extern int shield;          /* dodging this combat turn */
extern int rounds;          /* actions taken in the current fight */
extern int blade_upgrade;
extern int armor_upgrade;
extern int lantern_upgrade;
extern int exploration_count[8]; /* searches made per stage */
extern int puzzle_solved[8];     /* seal broken per stage */
extern int Halloween_mode;       /* the run started on 31 October (UTC) */

/* The run's random generator: state = state * 1664525 + 1013904223 (mod
 * 2^32). Every draw advances it once; callers use state >> 1. Seeded from
 * the month (story) or the UTC date (daily) so a run can be replayed. */
extern uint32_t seasonal_rng_state;

/* Advances seasonal_rng_state once and returns state >> 1. */
uint32_t run_draw(void);

/* The seed of a story run in a month (1..12) of a year, and of the daily of
 * a season stamp (year * 1000 + day of the year); never 0. */
uint32_t run_story_seed(int year, int month_index);
uint32_t run_daily_seed(int stamp);

/* Heals hp by amount, capped at 100: a WARDEN healed at 120 drops to 100. */
void run_heal(int amount);

/* Sets the run state to the start values of a class (0 CARVER .. 4 MEDIUM). */
void run_reset(int player_class);

/* Applies the daily date modifiers for day d (1..31) of month index m
 * (0..11) and year y, in their fixed order; Halloween values last. */
void run_daily_modifiers(int d, int m, int y, int player_class);

/* ---- building blocks of a run, without the screen ---- */

/* Trunk cost in coins of item 1..7; 0 for any other key. */
int run_trunk_cost(int item);

/* Buys trunk item 1..7: RUN_BUY_NONE when the item is unknown or the caller
 * cannot pay (nothing changes), RUN_BUY_DONE when bought, RUN_BUY_REFUND
 * when an upgrade already at its limit gave the coins back. */
#define RUN_BUY_NONE   0
#define RUN_BUY_DONE   1
#define RUN_BUY_REFUND 2
int run_trunk_buy(int item);

/* One search of stage s: RUN_SEARCH_EMPTY when it was searched three times
 * already, RUN_SEARCH_FOUND (coins and score) or RUN_SEARCH_HURT (hp). */
/* The score of the Halloween dawn, the last step of the finale. */
#define RUN_DAWN_SCORE 1000

/* The most one run can score: the game's scoring rules played at their
 * most generous (every stage, the longest fight, the hardest blow). The
 * score hub refuses results above it. Leaves the run state reset. */
long run_score_ceiling(void);

#define RUN_SEARCH_EMPTY 0
#define RUN_SEARCH_FOUND 1
#define RUN_SEARCH_HURT  2
int run_explore(int s);

/* The shadows' offer of the daily (key as typed): Q or Escape abandons,
 * 1 trades hp for coins, 2 rests; other keys change nothing. */
void run_shadow_choice(int key);

/* The two choices of the Halloween finale (key as typed). Each returns the
 * melody that answers the choice, or 0 when the caller quit. */
const char *run_finale_bell(int key);
const char *run_finale_flame(int key);

/* ---- the run ---- */

/* The Halloween finale after the last guardian (daily 0 story, 1 daily):
 * the bell, the flame and the dawn; records the result in every case. */
void run_halloween_finale(int daily);

/* Plays one adventure from the lobby: daily 0 is the month's story, 1 the
 * daily challenge. On return quit_requested and in_adventure are 0. */
void run(int daily);

#endif
