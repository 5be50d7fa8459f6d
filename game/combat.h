/* combat.h -- the guardian fight: the caller's five actions against the
 * stage guardian, whose fight pattern (chosen by month and stage) heals it,
 * drains stamina, blunts hits or sharpens its bite. */
#ifndef COMBAT_H
#define COMBAT_H

/* Fights the guardian of the current stage (level). On return the fight is
 * over: hp below 1 means lost; quit_requested means the caller left. */
void combat(void);

/* ---- the rules, without the screen ---- */

#define COMBAT_ACTION_LIMIT 70 /* a fight still going after this many actions is lost */

/* Actions, by key. */
#define COMBAT_STRIKE 1
#define COMBAT_THROW  2
#define COMBAT_DODGE  3
#define COMBAT_SPECIAL 4
#define COMBAT_TAUNT  5

/* How a fight ended, after an action. */
#define COMBAT_GOING 0
#define COMBAT_WON   1
#define COMBAT_LOST  2

typedef struct {
    int guardian_hp;
    int guardian_max;
    int pattern; /* 0..7 */
} CombatFight;

/* What one action did, for the screen to show and sound. */
typedef struct {
    int spent;          /* 1 when the action took a turn */
    int exhausted;      /* a strike refused for want of stamina (no turn) */
    int damage;         /* dealt to the guardian, after any blunting */
    int answered;       /* the guardian bit back */
    int bite;           /* hp lost to the bite */
    int outcome;        /* COMBAT_GOING, COMBAT_WON or COMBAT_LOST */
    const char *melody; /* the action's sound; 0 when nothing plays */
} CombatTurn;

/* Pattern of a month's guardian: month 0 is October, else 1..12. */
int combat_pattern(int month, int stage);

/* Sets up the fight against the guardian of stage (0..7) and clears the
 * action count (rounds). */
void combat_begin(CombatFight *fight, int month, int stage);

/* Carries out one action of the caller (1..5) and the guardian's answer,
 * using and changing the run state. Returns turn->spent. */
int combat_act(CombatFight *fight, int action, int player_class, CombatTurn *turn);

/* The guardian's defeat: score, coins and a key for the stage. */
void combat_reward(void);

#endif
