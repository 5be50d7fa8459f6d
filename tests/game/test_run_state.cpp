// The rules of a run without the screen: generator, seeds, class start
// values, the daily's date modifiers, searching, the trunk and the finale.
#include <gtest/gtest.h>

#include "run.h"
#include "test_random.h"

#include <stdint.h>

namespace {

TEST(RunGenerator, FollowsTheLinearCongruentialSequence)
{
    seasonal_rng_state = 1;
    EXPECT_EQ(run_draw(), 507784374u);
    EXPECT_EQ(seasonal_rng_state, 1015568748u);
    EXPECT_EQ(run_draw(), 793002733u);
    EXPECT_EQ(run_draw(), 1082851519u);
    EXPECT_EQ(run_draw(), 1513725282u);
    EXPECT_EQ(run_draw(), 108541616u);  // wrapped modulo 2^32
}

TEST(RunGenerator, SeedsNameTheMonthOrTheDateAndAreNeverZero)
{
    EXPECT_EQ(run_story_seed(2026, 0), 202601u);
    EXPECT_EQ(run_story_seed(2026, 11), 202612u);
    EXPECT_EQ(run_story_seed(0, -1), 1u);
    EXPECT_EQ(run_daily_seed(2026000), 2026000u);
    EXPECT_EQ(run_daily_seed(2024365), 2024365u);
    EXPECT_EQ(run_daily_seed(0), 1u);
    EXPECT_NE(run_story_seed(2026, 1), run_story_seed(2026, 2));
}

TEST(RunReset, ClassStartValues)
{
    const int expected[5][4] = {
        {100, 100, 20, 0}, {120, 100, 20, 0}, {100, 100, 32, 0}, {100, 115, 20, 0}, {100, 100, 20, 1},
    };
    for (int cls = 0; cls < 5; cls++) {
        score = keys = level = weapon = shield = 99;
        blade_upgrade = armor_upgrade = lantern_upgrade = 5;
        exploration_count[7] = puzzle_solved[3] = 1;
        run_reset(cls);
        EXPECT_EQ(hp, expected[cls][0]) << cls;
        EXPECT_EQ(energy, expected[cls][1]) << cls;
        EXPECT_EQ(coins, expected[cls][2]) << cls;
        EXPECT_EQ(clues, expected[cls][3]) << cls;
        EXPECT_EQ(score + keys + level + weapon + shield, 0);
        EXPECT_EQ(blade_upgrade + armor_upgrade + lantern_upgrade, 0);
        EXPECT_EQ(exploration_count[7] + puzzle_solved[3], 0);
    }
    run_reset(9);  // a damaged class number plays as a CARVER
    EXPECT_EQ(hp, 100);
    EXPECT_EQ(coins, 20);
}

TEST(RunHeal, EveryHealCapsAtOneHundred)
{
    run_reset(1);  // WARDEN, 120
    run_heal(25);
    EXPECT_EQ(hp, 100);
    hp = 90;
    run_heal(6);
    EXPECT_EQ(hp, 96);
    run_heal(12);
    EXPECT_EQ(hp, 100);
}

class DailyModifiers : public ::testing::Test {
protected:
    void Apply(int d, int m, int y, int cls)
    {
        run_reset(cls);
        run_daily_modifiers(d, m, y, cls);
    }
};

TEST_F(DailyModifiers, GuardianStageAndBaseValues)
{
    Apply(1, 2, 2026, 0);  // 5 March would be d 5; here 1 March
    EXPECT_EQ(level, (2 + 1 + 2026) % 8);
    EXPECT_EQ(coins, 1 * 3 + 12);
    EXPECT_EQ(hp, 1 * 4 + 78);
    EXPECT_EQ(energy, 100);  // odd day: class value stays
    EXPECT_EQ(armor_upgrade + blade_upgrade + clues, 0);
}

TEST_F(DailyModifiers, Day26IsEvenButThirteenWins)
{
    Apply(26, 0, 2026, 3);  // a SCOUT would get 100 on an even day
    EXPECT_EQ(energy, 65);
}

TEST_F(DailyModifiers, Day22GivesTwentyFiveCoins)
{
    Apply(22, 4, 2026, 2);  // the ALCHEMIST's 32 is replaced as well
    EXPECT_EQ(coins, 25);
    EXPECT_EQ(energy, 85);
    EXPECT_EQ(hp, (22 % 5) * 4 + 78);
}

TEST_F(DailyModifiers, EveryRuleOnItsDays)
{
    Apply(20, 5, 2026, 4);  // 4 | 20, 5 | 20, even; MEDIUM
    EXPECT_EQ(blade_upgrade, 3);
    EXPECT_EQ(clues, 2);
    EXPECT_EQ(energy, 85);
    EXPECT_EQ(armor_upgrade, 0);

    Apply(15, 5, 2026, 0);  // 3 | 15, 5 | 15
    EXPECT_EQ(armor_upgrade, 2);
    EXPECT_EQ(clues, 1);

    Apply(28, 5, 2026, 3);  // 7 | 28 replaces hp; SCOUT on an even day
    EXPECT_EQ(hp, (28 % 5) * 4 + 66);
    EXPECT_EQ(energy, 100);
    EXPECT_EQ(blade_upgrade, 3);

    Apply(17, 5, 2026, 0);  // 17 adds to whatever the blade holds
    EXPECT_EQ(blade_upgrade, 2);
}

TEST_F(DailyModifiers, HalloweenOverridesEverything)
{
    Apply(31, 9, 2026, 1);
    EXPECT_EQ(level, 7);
    EXPECT_EQ(hp, 65);
    EXPECT_EQ(coins, 9);
    EXPECT_EQ(armor_upgrade, 0);
    EXPECT_EQ(blade_upgrade, 0);

    Apply(31, 11, 2026, 1);  // 31 December is no Halloween
    EXPECT_EQ(coins, (31 % 7) * 3 + 12);
    EXPECT_EQ(hp, (31 % 5) * 4 + 78);
}

TEST(RunExplore, TheSameSeedGivesTheSameSearches)
{
    int first[8][3], second[8][3];
    for (int pass = 0; pass < 2; pass++) {
        run_reset(0);
        seasonal_rng_state = run_story_seed(2026, 4);
        for (int s = 0; s < 8; s++)
            for (int i = 0; i < 3; i++) (pass ? second : first)[s][i] = run_explore(s);
    }
    for (int s = 0; s < 8; s++)
        for (int i = 0; i < 3; i++) EXPECT_EQ(first[s][i], second[s][i]);

    // And each outcome is the generator's verdict: two in three find coins.
    TestLcg lcg{run_story_seed(2026, 4)};
    run_reset(0);
    seasonal_rng_state = run_story_seed(2026, 4);
    int found = 0;
    for (int s = 0; s < 8; s++) {
        int expected = lcg.next() % 3 != 0 ? RUN_SEARCH_FOUND : RUN_SEARCH_HURT;
        int before_hp = hp, before_coins = coins, before_score = score;
        ASSERT_EQ(run_explore(s), expected);
        if (expected == RUN_SEARCH_FOUND) {
            found++;
            EXPECT_EQ(coins - before_coins, 5);
            EXPECT_EQ(score - before_score, 30);
            EXPECT_EQ(hp, before_hp);
        } else {
            EXPECT_EQ(before_hp - hp, 8);
            EXPECT_EQ(coins, before_coins);
        }
    }
}

TEST(RunExplore, ANextMonthDrawsDifferently)
{
    int differ = 0;
    TestLcg may{run_story_seed(2026, 4)}, june{run_story_seed(2026, 5)};
    for (int i = 0; i < 24; i++) differ += (may.next() % 3 != 0) != (june.next() % 3 != 0);
    EXPECT_GT(differ, 0);
}

TEST(RunExplore, TheFourthSearchFindsNothingAndDrawsNothing)
{
    run_reset(0);
    seasonal_rng_state = 77;
    for (int i = 0; i < 3; i++) EXPECT_NE(run_explore(2), RUN_SEARCH_EMPTY);
    uint32_t state = seasonal_rng_state;
    int before_hp = hp, before_coins = coins, before_score = score;
    EXPECT_EQ(run_explore(2), RUN_SEARCH_EMPTY);
    EXPECT_EQ(seasonal_rng_state, state);
    EXPECT_EQ(hp, before_hp);
    EXPECT_EQ(coins, before_coins);
    EXPECT_EQ(score, before_score);
    EXPECT_EQ(exploration_count[2], 3);
    EXPECT_EQ(run_explore(-1), RUN_SEARCH_EMPTY);
    EXPECT_EQ(run_explore(8), RUN_SEARCH_EMPTY);
}

TEST(RunTrunk, CostsAndWhatCannotBePaid)
{
    const int cost[8] = {0, 7, 9, 10, 8, 15, 16, 14};
    for (int i = 0; i < 8; i++) EXPECT_EQ(run_trunk_cost(i), cost[i]);
    EXPECT_EQ(run_trunk_cost(8), 0);
    run_reset(0);
    coins = 9;
    EXPECT_EQ(run_trunk_buy(3), RUN_BUY_NONE);
    EXPECT_EQ(coins, 9);
    EXPECT_EQ(weapon, 0);
    EXPECT_EQ(run_trunk_buy(0), RUN_BUY_NONE);
    EXPECT_EQ(run_trunk_buy(2), RUN_BUY_DONE);
    EXPECT_EQ(coins, 0);
    EXPECT_EQ(weapon, 2);
}

TEST(RunTrunk, ANewItemReplacesTheReadiedOne)
{
    run_reset(2);  // 32 coins
    EXPECT_EQ(run_trunk_buy(1), RUN_BUY_DONE);
    EXPECT_EQ(run_trunk_buy(3), RUN_BUY_DONE);
    EXPECT_EQ(weapon, 3);
    EXPECT_EQ(coins, 32 - 7 - 10);
}

TEST(RunTrunk, TonicAtOneHundredTwentyLeavesOneHundred)
{
    run_reset(1);
    EXPECT_EQ(run_trunk_buy(4), RUN_BUY_DONE);
    EXPECT_EQ(hp, 100);
    EXPECT_EQ(coins, 12);
}

TEST(RunTrunk, UpgradesStopAtTheirLimitsAndRefund)
{
    run_reset(0);
    coins = 1000;
    for (int i = 0; i < 3; i++) EXPECT_EQ(run_trunk_buy(5), RUN_BUY_DONE);
    EXPECT_EQ(blade_upgrade, 12);
    int before = coins;
    EXPECT_EQ(run_trunk_buy(5), RUN_BUY_REFUND);
    EXPECT_EQ(coins, before);
    EXPECT_EQ(blade_upgrade, 12);

    for (int i = 0; i < 3; i++) EXPECT_EQ(run_trunk_buy(6), RUN_BUY_DONE);
    EXPECT_EQ(armor_upgrade, 9);
    EXPECT_EQ(run_trunk_buy(6), RUN_BUY_REFUND);
    for (int i = 0; i < 3; i++) EXPECT_EQ(run_trunk_buy(7), RUN_BUY_DONE);
    EXPECT_EQ(lantern_upgrade, 3);
    EXPECT_EQ(run_trunk_buy(7), RUN_BUY_REFUND);
    EXPECT_EQ(lantern_upgrade, 3);

    // A daily's blade of 3 passes 12 once: the rule looks only at "below 12".
    run_reset(0);
    coins = 1000;
    blade_upgrade = 11;
    EXPECT_EQ(run_trunk_buy(5), RUN_BUY_DONE);
    EXPECT_EQ(blade_upgrade, 15);
}

TEST(RunShadows, SearchRestOrLeave)
{
    run_reset(0);
    run_shadow_choice('1');
    EXPECT_EQ(hp, 93);
    EXPECT_EQ(coins, 28);
    run_shadow_choice('2');
    EXPECT_EQ(hp, 100);
    run_shadow_choice('x');
    EXPECT_EQ(hp, 100);
    EXPECT_EQ(quit_requested, 0);
    run_shadow_choice(27);
    EXPECT_EQ(quit_requested, 1);
}

TEST(RunFinale, TheBell)
{
    run_reset(0);
    hp = 50;
    EXPECT_STREQ(run_finale_bell('1'), "MFT120O3L16C<G>C");
    EXPECT_EQ(score, 350);
    EXPECT_EQ(hp, 38);

    run_reset(0);
    hp = 50;
    EXPECT_STREQ(run_finale_bell('2'), "MFT85O2L8C.P8C");  // no ward, one clue short
    EXPECT_EQ(hp, 30);
    EXPECT_EQ(score, 0);

    run_reset(4);
    clues = 2;
    hp = 90;
    EXPECT_STREQ(run_finale_bell('2'), "MFT130O4L8E.G.C");
    EXPECT_EQ(score, 500);
    EXPECT_EQ(hp, 100);

    run_reset(0);
    lantern_upgrade = 1;
    run_finale_bell('7');
    EXPECT_EQ(hp, 80);

    run_reset(0);
    EXPECT_EQ(run_finale_bell('q'), nullptr);
    EXPECT_EQ(quit_requested, 1);
    EXPECT_EQ(hp, 100);
}

TEST(RunFinale, TheFlame)
{
    run_reset(0);
    EXPECT_STREQ(run_finale_flame('1'), "MFT145O4L8CEG>C<E");
    EXPECT_EQ(score, 800);
    EXPECT_EQ(coins, 30);
    run_finale_flame('2');
    EXPECT_EQ(score, 1000);
    EXPECT_EQ(hp, 85);
    EXPECT_EQ(run_finale_flame(27), nullptr);
    EXPECT_EQ(quit_requested, 1);
}

}  // namespace
