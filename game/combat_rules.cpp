/* combat_rules.cpp -- the arithmetic of a guardian fight: actions, the eight
 * patterns, the bite and the action limit. No screen here, so every rule can
 * be replayed from a seed. */
#include "combat.h"
#include "run.h"

int combat_pattern(int month, int stage)
{
    int p = (month + stage) % 8;
    return p < 0 ? p + 8 : p;
}

void combat_begin(CombatFight *fight, int month, int stage)
{
    fight->guardian_max = stage * 11 + 35;
    fight->guardian_hp = fight->guardian_max;
    fight->pattern = combat_pattern(month, stage);
    rounds = 0;
}

/* The caller's half of the turn: damage, and whether the guardian may
 * answer. Returns 0 when the action takes no turn. */
static int caller_action(int action, int player_class, CombatTurn *turn, int *answers)
{
    switch (action) {
    case COMBAT_STRIKE:
        if (energy < 8) {
            turn->exhausted = 1;
            turn->melody = "MFT220O5L32C<G";
            return 0;
        }
        energy -= 8;
        turn->damage = 10 + (int)(run_draw() % 8) + blade_upgrade + (player_class == 0 ? 4 : 0);
        turn->melody = "MFT160O4L16EG>C<G";
        return 1;
    case COMBAT_THROW:
        if (coins < 3) return 0;
        coins -= 3;
        turn->damage = 17 + (int)(run_draw() % 8);
        turn->melody = "MFT190O4L16CEG>C";
        return 1;
    case COMBAT_DODGE:
        shield = 1;
        turn->melody = "MFT200O5L16G>C";
        return 1;
    case COMBAT_SPECIAL:
        if (weapon == 1) turn->damage = 18;
        else if (weapon == 2) turn->damage = 24;
        else if (weapon == 3) {
            turn->damage = 7 + 4 * lantern_upgrade;
            *answers = 0; /* the flare stuns */
        } else return 0;
        weapon = 0;
        turn->melody = "MFT240O5L32C>C";
        return 1;
    case COMBAT_TAUNT:
        energy += 14;
        if (energy > 100) energy = 100;
        turn->melody = "MFT200O4L16CGE";
        return 1;
    }
    return 0;
}

int combat_act(CombatFight *fight, int action, int player_class, CombatTurn *turn)
{
    *turn = CombatTurn();
    int answers = 1;
    if (!caller_action(action, player_class, turn, &answers)) return 0;
    turn->spent = 1;
    if (energy < 0) energy = 0;

    /* The pattern's twist before the hit, on the count before this action. */
    int r = rounds, d = turn->damage, half = fight->guardian_max / 2;
    switch (fight->pattern) {
    case 0: if (r % 4 == 3) fight->guardian_hp += 3; break;
    case 1: if (r % 3 == 2 && !shield) energy -= 5; break;
    case 2: if (r % 4 == 1) fight->guardian_hp += 2; break;
    case 3: if (r % 3 == 1 && d >= 1) d = 3 * d / 4; break;
    case 4: if (r % 4 == 2 && hp > 5) hp -= 3; break;
    case 5: if (r % 4 == 0 && !shield) energy -= 4; break;
    case 6: if (r % 3 == 0) fight->guardian_hp += 5; break;
    case 7: if (fight->guardian_hp < half && r % 2 == 0) fight->guardian_hp += 4; break;
    }
    if (energy < 0) energy = 0;

    fight->guardian_hp -= d;
    score += 3 * d;
    turn->damage = d;

    r = ++rounds;
    if (fight->guardian_hp > 0 && answers) {
        int bite = (int)(run_draw() % 7) + 2 * level + 5 + (Halloween_mode ? 5 : 0) - armor_upgrade;
        if (bite < 1) bite = 1;
        if (shield) bite /= 3;
        switch (fight->pattern) {
        case 1: if (r % 3 == 0) bite += 3; break;
        case 2: if (r % 4 == 0) bite += 4; break;
        case 5: if (r % 5 == 0) bite += 5; break;
        case 7: if (fight->guardian_hp < half) bite += 4; break;
        }
        hp -= bite;
        turn->answered = 1;
        turn->bite = bite;
    }

    shield = 0;
    if (rounds > COMBAT_ACTION_LIMIT) {
        /* A stalled fight is lost; a guardian felled by this very action
         * still falls, but the caller is spent. */
        hp = 0;
        turn->outcome = fight->guardian_hp > 0 ? COMBAT_LOST : COMBAT_WON;
    } else if (fight->guardian_hp <= 0) {
        turn->outcome = COMBAT_WON;
    } else if (hp < 1) {
        turn->outcome = COMBAT_LOST;
    }
    return 1;
}

void combat_reward(void)
{
    score += 100 * level + (Halloween_mode ? 600 : 250);
    coins += 2 * level + 12;
    keys += 1;
}
