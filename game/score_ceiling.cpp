/* score_ceiling.cpp -- the most one run can score. Found by playing the
 * scoring rules themselves at their most generous rather than restating
 * their numbers, so the bound follows the rules when they change. */
#include "combat.h"
#include "daily.h"
#include "riddle.h"
#include "run.h"

#define STAGES ((int)(sizeof exploration_count / sizeof exploration_count[0]))

static long gain_of(long before) { return (long)score - before; }

/* The most health one action can give back to a guardian, over every
 * pattern and every count of actions, with the guardian low. */
static int most_heal(void)
{
    int most = 0;
    for (int pattern = 0; pattern < 8; pattern++)
        for (int r = 0; r < 24; r++) {
            run_reset(0);
            hp = 1000;
            CombatFight fight;
            combat_begin(&fight, pattern, 0);
            fight.guardian_hp = 1;
            rounds = r;
            CombatTurn turn;
            combat_act(&fight, COMBAT_DODGE, 0, &turn);
            if (fight.guardian_hp - 1 > most) most = fight.guardian_hp - 1;
        }
    return most;
}

/* The hardest blow: the strongest class with the blade raised as far as
 * the start of any day, the trunk and a daily outcome can raise it. */
static int hardest_blow(void)
{
    int most_blade = 0;
    for (int m = 0; m < 12; m++)
        for (int d = 1; d <= 31; d++) {
            run_reset(0);
            run_daily_modifiers(d, m, 2000, 0);
            coins = 1 << 20;
            while (run_trunk_buy(5) == RUN_BUY_DONE) {}
            for (int k = 0; k < 5; k++) {
                int before = blade_upgrade;
                daily_risky_outcome(k);
                if (blade_upgrade > before) break;
            }
            if (blade_upgrade > most_blade) most_blade = blade_upgrade;
        }
    int most = 0;
    static const int actions[] = {COMBAT_STRIKE, COMBAT_THROW, COMBAT_SPECIAL};
    for (int action : actions)
        for (int item = 1; item <= 3; item++)
            // A roll is the draw's low bits, which repeat every 16 states:
            // sixteen seeds see every roll, whatever state the draw was in.
            for (uint32_t seed = 0; seed < 16; seed++) {
                run_reset(0);
                blade_upgrade = most_blade;
                lantern_upgrade = 3;
                energy = 100;
                coins = 100;
                hp = 1000;
                weapon = item;
                seasonal_rng_state = seed;
                CombatFight fight;
                combat_begin(&fight, 0, 7);
                fight.guardian_hp = 1 << 20;
                CombatTurn turn;
                combat_act(&fight, action, 0, &turn);
                if (turn.damage > most) most = turn.damage;
            }
    return most;
}

long run_score_ceiling(void)
{
    uint32_t draw_state = seasonal_rng_state;
    int heal = most_heal(), blow = hardest_blow();
    long total = 0;
    for (int stage = 0; stage < STAGES; stage++) {
        run_reset(0);
        CombatFight fight;
        combat_begin(&fight, 0, stage);
        // Every point struck off scores: the guardian's health, all it can
        // win back within the action limit, and the blow that fells it.
        long before = score;
        CombatTurn turn;
        fight.guardian_hp = 1 << 20;
        energy = 100;
        combat_act(&fight, COMBAT_STRIKE, 0, &turn);
        long per_point = turn.damage > 0 ? gain_of(before) / turn.damage : 0;
        total += per_point * (fight.guardian_max + (long)COMBAT_ACTION_LIMIT * heal + blow);
        long reward = 0;
        for (int halloween = 0; halloween < 2; halloween++) {
            run_reset(0);
            level = stage;
            Halloween_mode = halloween;
            before = score;
            combat_reward();
            if (gain_of(before) > reward) reward = gain_of(before);
        }
        total += reward;
        run_reset(0);
        level = stage;
        before = score;
        riddle_answer('1', 1);
        total += gain_of(before);
        // Every search of the stage finds something.
        for (int search = 0; search < 3; search++) {
            long found = 0;
            for (int attempt = 0; attempt < 64 && found == 0; attempt++) {
                run_reset(0);
                hp = 1000;
                seasonal_rng_state = (uint32_t)attempt;
                before = score;
                if (run_explore(stage) == RUN_SEARCH_FOUND) found = gain_of(before);
            }
            total += found;
        }
    }
    long bell = 0, flame = 0, outcome = 0;
    for (int key = '1'; key <= '3'; key++) {
        run_reset(0);
        lantern_upgrade = 1;
        long before = score;
        run_finale_bell(key);
        if (gain_of(before) > bell) bell = gain_of(before);
        run_reset(0);
        before = score;
        run_finale_flame(key);
        if (gain_of(before) > flame) flame = gain_of(before);
    }
    for (int k = 0; k < 5; k++) {
        run_reset(0);
        long before = score;
        daily_risky_outcome(k);
        if (gain_of(before) > outcome) outcome = gain_of(before);
    }
    run_reset(0);
    daily_safe_outcome();
    if (score > outcome) outcome = score;
    Halloween_mode = 0;
    run_reset(0);
    seasonal_rng_state = draw_state;
    return total + bell + flame + RUN_DAWN_SCORE + outcome;
}
