/* combat.cpp -- the guardian fight on screen: the turn page, the caller's
 * keys, the sounds and the shaking picture, around the rules of
 * combat_rules.cpp. */
#include "combat.h"
#include "doorkit.h"
#include "online.h"
#include "run.h"
#include "run_links.h"
#include "scene.h"

#include <stdio.h>

/* Played when the guardian is first shown and again when it falls. */
static const char *const boss_themes[8] = {
    "MFT116O3L16CE<G", "MFT175O4L16G>C<G", "MFT105O2L8C.G.",   "MFT148O3L16EGC",
    "MFT82O2L8C.P8G",  "MFT155O4L16E<G>C", "MFT98O3L8C.G.E",   "MFT90O2L8C.P8<C",
};

/* October's guardians speak; the other months' show the month's goal. */
static const char *const boss_taunts[8] = {
    "ROOT: YOUR BONES WILL FEED MY VINES!",  "HARVESTER: NO ONE OUTRUNS THE LIGHT!",
    "WRAITH: I CAN FIX ANYTHING BUT YOU!",   "MAULER: THE CORN REMEMBERS YOUR NAME!",
    "BONE GOURD: THE DEAD DEMAND A TOLL!",   "JUDGE: GUILTY BY THE HARVEST!",
    "ROT KING: EVERYTHING GROWS ROTTEN!",    "GRIMBY: THE HARVEST IS FOREVER!",
};

static int fight_stage(void)
{
    return (level >= 0 && level < 8) ? level : (level < 0 ? 0 : 7);
}

static void draw_turn(const CombatFight *fight, int stage)
{
    int october = season_index == 9;
    scene(october ? "THE HARVEST IS HUNGRY!" : "THE GUARDIAN BLOCKS YOUR PATH!");
    if (rounds == 0) {
        play(Halloween_mode ? "MFT100O3L8C.P8C.P8<G" : "MFT90O3L8C.P8G.C");
        play(boss_themes[stage]);
    }
    char line[64];
    snprintf(line, sizeof line, "BOSS: %s", bosses[stage]);
    put(3, 6, 12, line);

    put(3, 8, 7, "BOSS HP  ");
    put(13, 8, 8, "[");
    int filled = fight->guardian_hp * 14 / fight->guardian_max;
    if (filled < 0) filled = 0;
    if (filled > 14) filled = 14;
    char cells[15];
    for (int i = 0; i < filled; i++) cells[i] = (char)219;
    cells[filled] = '\0';
    if (filled > 0) put(14, 8, 12, cells);
    for (int i = 0; i < 14 - filled; i++) cells[i] = (char)176;
    cells[14 - filled] = '\0';
    if (filled < 14) put(14 + filled, 8, 8, cells);
    put(28, 8, 8, "]");

    /* The October choices take two rows; the break keeps "[3] DODGE" whole
     * instead of leaving its key at the end of the first row. */
    prose(10, 15, october ? "[1] CARVE (12) [2] THROW CANDY (18)\n[3] DODGE" : "[1] STRIKE [2] THROW TOKEN [3] DODGE",
          40);
    put(3, 12, 15, "[4] SPECIAL (supply) [5] TAUNT (+stamina)");
    prose(14, 14, october ? boss_taunts[stage] : seasons[season_index].goal, 40);
}

/* A heavy hit shakes the guardian's picture. */
static void shake(void)
{
    static const int variants[3] = {2, 3, 2};
    for (int i = 0; i < 3; i++) {
        if (!game_online()) return;
        if (season_index == 9) grimby_art(47, 4, variants[i]);
        else seasonal_draw(47, variants[i]);
        if (i < 2) od_sleep(135);
    }
}

static void victory(int stage)
{
    play("MFT150O4L8CEG>C");
    play(boss_themes[stage]);
    /* The reward is counted before the page is drawn, so its status line
     * already shows the key just won. */
    combat_reward();
    scene("THE MONSTER FALLS!");
    prose(11, 10,
          season_index == 9 ? "BOSS DEFEATED! YOU RECOVER CANDY AND A STRANGE KEY."
                            : "GUARDIAN DEFEATED! YOU RECOVER TOKENS AND A SEAL KEY.",
          40);
    waitc();
}

void combat(void)
{
    int stage = fight_stage();
    CombatFight fight;
    combat_begin(&fight, season_index == 9 ? 0 : season_index + 1, stage);
    const char *notice = 0;
    while (hp >= 1 && !quit_requested && game_online()) {
        draw_turn(&fight, stage);
        if (notice) {
            /* Shown after the redraw so the caller can read it. */
            put(3, 16, 12, notice);
            notice = 0;
        }
        int key = screen_key();
        if (key == 0) continue;
        if (key == 'Q' || key == 'q' || key == 27) {
            quit_requested = 1;
            break;
        }
        if (key < '1' || key > '5') continue;
        CombatTurn turn;
        combat_act(&fight, key - '0', player_class, &turn);
        if (turn.melody) play(turn.melody);
        if (turn.exhausted) notice = "TOO EXHAUSTED! REST WITH [5].";
        if (!turn.spent) continue;
        if (turn.damage >= 18) {
            play("MFT160O4L16EG>C<G");
            shake();
        }
        if (turn.answered) play(turn.bite > 9 ? "MFT210O5L32C<G" : "MFT120O3L16C<G>C");
        if (turn.outcome == COMBAT_WON) {
            victory(stage);
            break;
        }
        if (turn.outcome == COMBAT_LOST) break;
    }
}
