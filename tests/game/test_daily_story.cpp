// The daily mission on the caller's screen: October's chapters and the
// other months' shortcut, answered with the caller's keys.
#include <gtest/gtest.h>

#include <string>

#include "test_scores_session.h"
#include "test_scores_fixture.h"
#include "daily.h"
#include "screen.h"

namespace {

class DailyStoryTest : public DoorDirTest {
protected:
    void SetUp() override
    {
        DoorDirTest::SetUp();
        ASSERT_TRUE(session_.Start());
        quit_requested = 0;
        in_adventure = 1;
        sound_enabled = 1;
        hp = 80, energy = 100, coins = 20, score = 0, keys = 0, clues = 0, blade_upgrade = 0;
        level = 3;
    }
    void Bind(int64_t seconds)
    {
        ODPlatClockUseVirtual(0, seconds);
        season_bind();
    }
    AnsiScreen Day(const std::string &typed)
    {
        return session_.Play(typed, [] { daily_story(season_day); });
    }
    CallerSession session_;
};

} // namespace

TEST_F(DailyStoryTest, FirstOfOctoberRiskyChoice)
{
    Bind(1790812800 + 3600); // 1 October 2026
    ASSERT_EQ(season_day, 1);
    AnsiScreen screen = Day("x1C!");
    EXPECT_EQ(session_.Unread(), "!");
    auto pages = session_.Pages();
    ASSERT_EQ(pages.size(), 2u);
    const AnsiScreen &asked = pages[0];
    EXPECT_EQ(asked.text(5, 3, 13), "THE CANDY TAX");
    EXPECT_EQ(asked.text(7, 3, 37), "A skeletal collector demands candy or");
    EXPECT_EQ(asked.fg(7, 3), 14);
    EXPECT_EQ(asked.text(12, 3, 16), "[1] PAY THE TOLL");
    EXPECT_EQ(asked.fg(12, 3), 11);
    EXPECT_EQ(asked.text(15, 3, 22), "[2] TAKE A SAFER ROUTE");
    EXPECT_EQ(asked.fg(15, 3), 11);

    EXPECT_EQ(quit_requested, 0);
    EXPECT_EQ(energy, 86);
    EXPECT_EQ(keys, 1);
    EXPECT_EQ(score, 140);
    EXPECT_EQ(screen.text(5, 3, 31), "THE HARVEST ANSWERS YOUR CHOICE");
    EXPECT_EQ(screen.text(9, 3, 38), "The collector counts your coins twice.");
    EXPECT_EQ(screen.fg(9, 3), 14);
    ASSERT_FALSE(screen.music().empty());
    EXPECT_EQ(screen.music().back(), "MFT220O5L32G>C");
}

TEST_F(DailyStoryTest, OctoberSafeRouteAndLeaving)
{
    Bind(1793404800 + 60); // 31 October 2026
    AnsiScreen screen = Day("2C");
    EXPECT_EQ(hp, 86);
    EXPECT_EQ(energy, 100);
    EXPECT_EQ(score, 25);
    EXPECT_EQ(screen.text(5, 3, 21), "YOU TAKE THE LONG WAY");
    EXPECT_EQ(screen.text(9, 3, 38), "You guard a small flame until the town");
    EXPECT_EQ(screen.fg(9, 3), 11);
    EXPECT_EQ(screen.music().back(), "MFT200O4L16CGE");

    // Q at the choice abandons the run and changes nothing.
    score = 0;
    Day("Q1");
    EXPECT_EQ(quit_requested, 1);
    EXPECT_EQ(score, 0);
    EXPECT_EQ(session_.Unread(), "1");
}

TEST_F(DailyStoryTest, FifthOfMarchTakesTheShortcut)
{
    Bind(1772712000); // 5 March 2026
    ASSERT_EQ(season_index, 2);
    AnsiScreen screen = Day("1C");
    auto pages = session_.Pages();
    ASSERT_EQ(pages.size(), 2u);
    const AnsiScreen &asked = pages[0];
    EXPECT_EQ(asked.text(5, 3, 29), "MISSION 05: THE RAINLESS WELL");
    EXPECT_EQ(asked.text(7, 3, 35), "A missing key hangs beyond a broken");
    EXPECT_EQ(asked.text(12, 3, 33), "[1] FOLLOW THE DANGEROUS SHORTCUT");
    EXPECT_EQ(asked.text(15, 3, 24), "[2] TAKE THE SAFER ROUTE");
    EXPECT_EQ(blade_upgrade, 2);
    EXPECT_EQ(score, 120);
    EXPECT_TRUE(screen.music().empty()); // no melodies outside October
    EXPECT_EQ(screen.text(5, 3, 24), "THE SHORTCUT HAS A PRICE");
    EXPECT_EQ(screen.text(9, 3, 34), "You reach a hidden cache. The seal");

    Day("\x1b");
    EXPECT_EQ(quit_requested, 1);
}
