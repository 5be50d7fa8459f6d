/* run.cpp -- one adventure from the lobby and back: the opening, the story's
 * eight stages with search, seal, trunk and guardian, the daily challenge,
 * the Halloween finale, and the hand-over to result recording. */
#include "run.h"
#include "combat.h"
#include "doorkit.h"
#include "online.h"
#include "riddle.h"
#include "run_links.h"
#include "scene.h"

#include <stdio.h>

static int is_quit_key(int key)
{
    return key == 'Q' || key == 'q' || key == 27;
}

/* ---- where a run ends ----
 * Recording, and giving a daily's day back, belong to the results and daily
 * modules: every ending of a run passes through one of these two. */

static void record(int daily)
{
    record_result(daily);
}

static void abandon(int daily)
{
    if (daily) daily_release();
}

/* ---- the story's opening ---- */

static void october_flicker(void)
{
    header("THE NIGHT IT BEGAN");
    put(4, 5, 14, "You buy a pumpkin. Maybe two.");
    put(4, 6, 14, "The farmer avoids your eyes.");
    put(4, 8, 7, "The sky turns black. Radio dies.");
    put(4, 9, 7, "Something scratches the back seat.");
    play("MFT90O3L8C.P8G.C");
    for (int f = 0; f < 7; f++) {
        if (!game_online()) break;
        uint32_t pause = (uint32_t)(170 + 40 * f);
        if (f % 3 == 0) grimby_art(46, 4, f / 3);
        if (f == 2 || f == 5) {
            /* Something in the back seat, for one beat. */
            put(38, 4, 15, "     \xDB");
            put(40, 5, 14, "\xDC\xDB\xDB");
            put(41, 6, 15, "\xDB\xDF");
            od_sleep(pause);
            continue;
        }
        for (int row = 4; row <= 6; row++) put(38, row, 8, "      ");
        od_sleep(pause);
    }
    for (int row = 4; row <= 6; row++) put(38, row, 8, "      ");
    put(4, 13, 12, "GRIMBY: THE HARVEST HAS BEGUN.");
    put(4, 17, 11, "Doors lock. Headlights die.");
    put(4, 18, 11, "The nightmare begins.");
}

static void story_introduction(void)
{
    if (season_index == 9) {
        october_flicker();
    } else {
        header(seasons[season_index].title);
        prose(5, 14, seasons[season_index].introduction, 39);
        seasonal_draw(47, 0);
        prose(14, 11, seasons[season_index].goal, 39);
    }
    waitc();
}

/* ---- the trunk ---- */

static void trunk(void)
{
    int october = season_index == 9;
    for (;;) {
        scene("TRUNK SUPPLIES - PREPARE YOUR NEXT MOVE");
        /* Lines that would run past the text column lose a padding blank
         * rather than their closing words. */
        if (october) {
            put(3, 7, 15, "[1] CANDY BOMB      7 candy   (18 damage)");
            put(3, 8, 15, "[2] SALT SHOT       9 candy   (24 damage)");
            put(3, 9, 15, "[3] LANTERN FLARE  10 candy   (stun)");
            put(3, 10, 15, "[4] HOLY CIDER     8 candy   (+25 sanity)");
            put(3, 11, 10, "[5] SHARPEN BLADE 15 candy (+4 carve)");
        } else {
            put(3, 7, 15, "[1] TOKEN BURST      7 tokens (18 damage)");
            put(3, 8, 15, "[2] POWER SHOT       9 tokens (24 damage)");
            put(3, 9, 15, "[3] SIGNAL FLARE    10 tokens (stun)");
            put(3, 10, 15, "[4] FIELD TONIC     8 tokens (+25 health)");
            put(3, 11, 10, "[5] SHARPEN BLADE 15 tokens (+4 strike)");
        }
        put(3, 12, 10, "[6] ARMOR PLATING 16 tokens (-3 damage)");
        put(3, 13, 10, "[7] WARD LANTERN 14 tokens (+1 stun)");
        char purse[40];
        snprintf(purse, sizeof purse, "%s: %d", october ? "CANDY" : "TOKENS", coins);
        put(3, 14, 14, purse);
        put(3, 16, 11, "[C] LEAVE TRUNK");

        /* Keys that buy nothing leave the page as it is. */
        int key, bought = RUN_BUY_NONE;
        do {
            key = screen_key();
            if (key == 0 || key == 'C' || key == 'c' || is_quit_key(key)) {
                quit_requested = 0;
                return;
            }
            if (key >= '1' && key <= '7') bought = run_trunk_buy(key - '0');
        } while (bought == RUN_BUY_NONE);
        play(key == '4' ? "MFT195O5L32GEC" : "MFT175O4L16CEG");
    }
}

/* ---- one stage of the story ---- */

static void stage_menu(int first)
{
    if (first) {
        put(3, 9, 15, "[1] EXPLORE    [2] PUZZLE");
        put(3, 10, 15, "[3] TRUNK      [4] BOSS   [Q] QUIT");
    } else {
        put(3, 9, 15, "[1] EXPLORE  [2] PUZZLE");
        put(3, 10, 15, "[3] TRUNK    [4] BOSS  [Q] QUIT");
    }
}

static void explore(int s)
{
    if (exploration_count[s] < 3) {
        play("MFT105O3L16C.P16<G");
        play(run_explore(s) == RUN_SEARCH_FOUND ? "MFT130O4L8E.G.C" : "MFT120O3L16C<G>C");
    } else {
        scene("THE AREA HAS BEEN SEARCHED THOROUGHLY.");
        put(3, 12, 14, "Nothing else remains here.");
        waitc();
    }
    scene("YOU SEARCH THE DARKNESS. SOMETHING MOVES.");
    prose(12, 14, stage_discoveries[s], 40);
    put(3, 15, 11, "[C] CONTINUE");
    waitc();
}

/* Plays stage s until its guardian fight ends, the caller leaves, dies or
 * is gone. */
static void stage(int s)
{
    level = s;
    play("MFT100O3L8C<G>C");
    scene(stage_clues[s]);
    stage_menu(1);
    for (;;) {
        int key = screen_key();
        if (key == 0) return;
        if (is_quit_key(key)) {
            quit_requested = 1;
            return;
        }
        if (key == '4') {
            if (hp > 0 && !quit_requested) {
                combat();
                if (hp > 0 && !quit_requested) run_heal(8);
            }
            return;
        }
        if (key == '1') explore(s);
        else if (key == '2') puzzle();
        else if (key == '3') trunk();
        else continue;
        /* Leaving through a prompt's Q goes back to the lobby at once. */
        if (hp < 1 || quit_requested) return;
        scene(stage_clues[level]);
        stage_menu(0);
    }
}

/* ---- the Halloween finale ---- */

/* Returns 1 when the run ends here (the caller quit, is gone, or fell). */
static int finale_step_ends(const char *melody)
{
    if (melody) play(melody);
    return quit_requested || hp < 1;
}

void run_halloween_finale(int daily)
{
    header("HALLOWEEN - THE THIRTEENTH BELL");
    play("MFT75O2L4C.P8<G");
    grimby_art(47, 4, 2);
    prose(6, 12,
          "The town clock strikes thirteen. Grimby's shadow escapes the shattered throne and climbs the church "
          "steeple.",
          39);
    put(3, 13, 14, "[1] CLIMB THE STEEPLE");
    put(3, 15, 11, "[2] LIGHT THE WARD LANTERN");
    int key = screen_key();
    /* A caller who is gone chooses nothing: the result stands as it is. */
    if (key == 0 || finale_step_ends(run_finale_bell(key))) {
        record(daily);
        return;
    }

    header("HALLOWEEN - THE LAST FLAME");
    play("MFT90O3L8G.C.E");
    prose(6, 14,
          "The last candle in town flickers. The ghosts beg you to save it before the harvest consumes every name "
          "in the graveyard.",
          39);
    put(3, 13, 11, "[1] PROTECT THE CANDLE");
    put(3, 15, 11, "[2] THROW IT INTO THE DARK");
    key = screen_key();
    if (key == 0 || finale_step_ends(run_finale_flame(key))) {
        record(daily);
        return;
    }

    header("HALLOWEEN - DAWN BREAKS");
    play("MFT145O4L8CEG>C<E");
    prose(8, 10,
          "The bell falls silent. The first sunrise of November breaks through the black clouds. The surviving "
          "pumpkins turn to ordinary ash.",
          39);
    score += RUN_DAWN_SCORE;
    waitc();
    if (!quit_requested && hp >= 1) explosion(0);
    /* A story passes its completion step here, which shows nothing in
     * October. */
    record(daily);
}

/* ---- the two runs ---- */

static void story(void)
{
    story_introduction();
    for (int s = 0; s < 8; s++) {
        if (hp < 1) {
            if (quit_requested) return;
            explosion(1);
            record(0);
            return;
        }
        if (quit_requested) return;
        /* Without the caller the run ends here and keeps its score. */
        if (!game_online()) break;
        stage(s);
    }
    if (quit_requested) return;
    if (hp < 1) {
        explosion(1);
        record(0);
        return;
    }
    if (Halloween_mode) {
        run_halloween_finale(0);
        return;
    }
    explosion(0);
    if (season_index != 9 && game_online()) {
        header("CAMPAIGN COMPLETE");
        seasonal_draw(47, 0);
        prose(7, 14, seasons[season_index].ending, 39);
        waitc();
    }
    record(0);
}

/* 1 while the daily goes on: the caller neither quit nor left. A lost
 * carrier abandons the daily like a Q, so the day is not spent. */
static int daily_goes_on(void)
{
    return !quit_requested && game_online();
}

static void daily(void)
{
    int d = (season_day >= 1 && season_day <= 31) ? season_day : 1;
    if (Halloween_mode) play("MFT100O3L8C.P8C.P8<G");
    run_daily_modifiers(d, season_index, season_year, player_class);

    scene("DAILY NIGHTMARE: ONE BOSS. ONE SHOT.");
    const char *chapter = season_index == 9 ? daily_chapters[(d - 1) % 31] : places[(d - 1) % 8];
    char line[64];
    snprintf(line, sizeof line, "DAY %02d: %s", d, chapter);
    put(3, 10, 14, line);
    prose(12, 11,
          "A new dated mission every day: a guardian, supplies, hazards and choices. The UTC date sets the "
          "challenge across all BBSes.",
          40);
    waitc();
    if (!daily_goes_on()) {
        abandon(1);
        return;
    }

    daily_story(d);
    if (!daily_goes_on()) {
        abandon(1);
        return;
    }

    if (d % 3 == 1) {
        scene("THE SHADOWS OFFER A CHOICE");
        put(3, 10, 14, season_index == 9 ? "[1] SEARCH FOR CANDY [2] REST" : "[1] SEARCH FOR TOKENS [2] REST");
        run_shadow_choice(screen_key());
    } else {
        puzzle();
    }
    if (!daily_goes_on()) {
        abandon(1);
        return;
    }
    if (hp < 1) {
        explosion(1);
        record(1);
        return;
    }

    combat();
    if (!daily_goes_on()) {
        abandon(1);
        return;
    }
    if (hp < 1) {
        explosion(1);
        record(1);
    } else if (Halloween_mode) {
        run_halloween_finale(1);
    } else {
        explosion(0);
        record(1);
    }
}

static void daily_unavailable(void)
{
    header("DAILY UNAVAILABLE");
    put(4, 7, 14, "Already played or running. Try tomorrow.");
    put(4, 10, 11, "Story mode is always available.");
    waitc();
}

void run(int daily_run)
{
    season_bind();
    in_adventure = 1;
    quit_requested = 0;
    seasonal_rng_state = daily_run ? run_daily_seed(season_stamp) : run_story_seed(season_year, season_index);
    if (daily_run && !daily_reserve()) {
        daily_unavailable();
    } else {
        Halloween_mode = season_index == 9 && season_day == 31;
        run_reset(player_class);
        if (daily_run) daily();
        else story();
    }
    quit_requested = 0;
    in_adventure = 0;
}
