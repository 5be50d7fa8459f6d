/* run_state.cpp -- the run state and the rules of a run that need no screen:
 * the generator, class start values, the daily's date modifiers, searching,
 * the trunk and the finale's choices. Kept apart from the screens so the
 * rules can be checked on their own. */
#include "run.h"

#include <string.h>

/* in_adventure and quit_requested live with the screen helpers, whose
 * prompts read and set them. */
int hp = 0;
int energy = 0;
int coins = 0;
int score = 0;
int level = 0;
int keys = 0;
int clues = 0;
int weapon = 0;
int shield = 0;
int rounds = 0;
int blade_upgrade = 0;
int armor_upgrade = 0;
int lantern_upgrade = 0;
int exploration_count[8];
int puzzle_solved[8];
int Halloween_mode = 0;
uint32_t seasonal_rng_state = 1;

uint32_t run_draw(void)
{
    seasonal_rng_state = seasonal_rng_state * 1664525u + 1013904223u;
    return seasonal_rng_state >> 1;
}

uint32_t run_story_seed(int year, int month_index)
{
    uint32_t seed = (uint32_t)year * 100u + (uint32_t)month_index + 1u;
    return seed ? seed : 1;
}

uint32_t run_daily_seed(int stamp)
{
    uint32_t seed = (uint32_t)stamp;
    return seed ? seed : 1;
}

void run_heal(int amount)
{
    hp += amount;
    if (hp > 100) hp = 100;
}

void run_reset(int player_class)
{
    static const int start[5][4] = {
        /* hp, energy, coins, clues */
        {100, 100, 20, 0}, /* CARVER */
        {120, 100, 20, 0}, /* WARDEN */
        {100, 100, 32, 0}, /* ALCHEMIST */
        {100, 115, 20, 0}, /* SCOUT */
        {100, 100, 20, 1}, /* MEDIUM */
    };
    /* A class number from a damaged profile plays as the first class. */
    const int *values = start[(player_class >= 0 && player_class < 5) ? player_class : 0];
    hp = values[0];
    energy = values[1];
    coins = values[2];
    clues = values[3];
    weapon = score = shield = keys = level = rounds = 0;
    blade_upgrade = armor_upgrade = lantern_upgrade = 0;
    memset(exploration_count, 0, sizeof exploration_count);
    memset(puzzle_solved, 0, sizeof puzzle_solved);
}

void run_daily_modifiers(int d, int m, int y, int player_class)
{
    /* The order matters: later rules overwrite what earlier ones set. */
    level = (m + d + y) % 8;
    coins = (d % 7) * 3 + 12;
    hp = (d % 5) * 4 + 78;
    if (d % 3 == 0) armor_upgrade = 2;
    if (d % 4 == 0) blade_upgrade = 3;
    if (d % 5 == 0) clues = player_class == 4 ? 2 : 1;
    if (d % 2 == 0) energy = player_class == 3 ? 100 : 85;
    if (d % 7 == 0) hp = (d % 5) * 4 + 66;
    if (d % 11 == 0) coins = (d % 7) * 3 + 22;
    if (d % 13 == 0) energy = 65;
    if (d % 17 == 0) blade_upgrade += 2;
    if (m == 9 && d == 31) {
        level = 7;
        hp = 65;
        coins = 9;
        armor_upgrade = 0;
        blade_upgrade = 0;
    }
}

int run_trunk_cost(int item)
{
    static const int cost[8] = {0, 7, 9, 10, 8, 15, 16, 14};
    return (item >= 1 && item <= 7) ? cost[item] : 0;
}

int run_trunk_buy(int item)
{
    int cost = run_trunk_cost(item);
    if (cost == 0 || cost > coins) return RUN_BUY_NONE;
    coins -= cost;
    int *upgrade = 0, step = 0, limit = 0;
    switch (item) {
    case 1:
    case 2:
    case 3: weapon = item; break; /* replaces, and loses, any item readied before */
    case 4: run_heal(25); break;
    case 5: upgrade = &blade_upgrade, step = 4, limit = 12; break;
    case 6: upgrade = &armor_upgrade, step = 3, limit = 9; break;
    case 7: upgrade = &lantern_upgrade, step = 1, limit = 3; break;
    }
    if (upgrade) {
        if (*upgrade >= limit) {
            coins += cost;
            return RUN_BUY_REFUND;
        }
        *upgrade += step;
    }
    return RUN_BUY_DONE;
}

int run_explore(int s)
{
    if (s < 0 || s > 7 || exploration_count[s] >= 3) return RUN_SEARCH_EMPTY;
    exploration_count[s]++;
    if (run_draw() % 3 != 0) {
        coins += 5;
        score += 30;
        return RUN_SEARCH_FOUND;
    }
    hp -= 8;
    return RUN_SEARCH_HURT;
}

void run_shadow_choice(int key)
{
    if (key == 'Q' || key == 'q' || key == 27) {
        quit_requested = 1;
    } else if (key == '1') {
        hp -= 7;
        coins += 8;
    } else if (key == '2') {
        run_heal(12);
    }
}

static int upper(int key)
{
    return (key >= 'a' && key <= 'z') ? key - 32 : key;
}

const char *run_finale_bell(int key)
{
    key = upper(key);
    if (key == 'Q' || key == 27) {
        quit_requested = 1;
        return 0;
    }
    if (key == '2' && (lantern_upgrade > 0 || clues >= 2)) {
        score += 500;
        run_heal(15);
        return "MFT130O4L8E.G.C";
    }
    if (key == '1') {
        score += 350;
        hp -= 12;
        return "MFT120O3L16C<G>C";
    }
    hp -= 20; /* the lantern without a ward or a clue, or no answer at all */
    return "MFT85O2L8C.P8C";
}

const char *run_finale_flame(int key)
{
    key = upper(key);
    if (key == 'Q' || key == 27) {
        quit_requested = 1;
        return 0;
    }
    if (key == '1') {
        score += 800;
        coins += 10;
        return "MFT145O4L8CEG>C<E";
    }
    score += 200;
    hp -= 15;
    return "MFT120O3L16C<G>C";
}
