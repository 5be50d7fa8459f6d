// The hall of fame, driven by the caller's keys: the local tables, the
// InterBBS summary and full views, and the way back to the lobby.
#include <gtest/gtest.h>

#include <string>

#include "test_scores_session.h"
#include "test_scores_fixture.h"
#include "scores.h"

namespace {

class HallTest : public DoorDirTest {
protected:
    void SetUp() override
    {
        DoorDirTest::SetUp();
        ASSERT_TRUE(session_.Start());
    }
    AnsiScreen Hall(const std::string &keys) { return session_.Play(keys, [] { hall(); }); }
    CallerSession session_;
};

std::string rows(int n, int first_score)
{
    std::string text;
    for (int i = 0; i < n; i++)
        text += "20261006\tPlayer" + std::to_string(i) + "WithAVeryLongName\t" +
                std::to_string(first_score + i) + "\t" + std::to_string(i % 8 + 1) + "\t0\n";
    return text;
}

} // namespace

TEST_F(HallTest, StoryTableFirstWithThirteenRanks)
{
    dir_.write("data/story.tsv", rows(14, 100));
    AnsiScreen screen = Hall("xC!"); // x is ignored, C leaves
    EXPECT_EQ(session_.Unread(), "!");
    EXPECT_EQ(session_.Pages().size(), 1u);
    EXPECT_EQ(screen.text(1, 42, 23), "STORY MODE - TOP SCORES");
    EXPECT_EQ(screen.line(5), "   1. Player13WithAVeryLon     113  STAGE 6");
    EXPECT_EQ(screen.fg(5, 3), 14);
    EXPECT_EQ(screen.line(6), "   2. Player12WithAVeryLon     112  STAGE 5");
    EXPECT_EQ(screen.fg(6, 3), 7);
    EXPECT_EQ(screen.line(17), "  13. Player1WithAVeryLong     101  STAGE 2");
    EXPECT_EQ(screen.line(18), "");
    EXPECT_EQ(screen.text(21, 3, 45), "[S] STORY  [D] DAILY  [I] INTERBBS  [C] LOBBY");
    EXPECT_EQ(screen.fg(21, 3), 11);
}

TEST_F(HallTest, DailyViewAndTheEmptyTables)
{
    Hall("dS\x1b");
    auto pages = session_.Pages();
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0].text(7, 4, 34), "No Story Mode scores recorded yet.");
    EXPECT_EQ(pages[0].fg(7, 4), 7);
    EXPECT_EQ(pages[1].text(1, 42, 28), "DAILY CHALLENGE - TOP SCORES");
    EXPECT_EQ(pages[1].text(7, 4, 39), "No Daily Challenge scores recorded yet.");
    EXPECT_EQ(pages[2].text(1, 42, 23), "STORY MODE - TOP SCORES");
}

TEST_F(HallTest, InterbbsViewsReturnToTheLocalViewLastShown)
{
    dir_.write("data/interbbs-story.tsv", "Crow\tDARK HARBOR\t900\n");
    Hall("DISxADCQQ");
    auto pages = session_.Pages();
    ASSERT_EQ(pages.size(), 7u);
    const AnsiScreen &summary = pages[2];
    EXPECT_EQ(summary.text(1, 42, 21), "INTERBBS - TOP SCORES");
    EXPECT_EQ(summary.text(4, 3, 15), "DAILY NIGHTMARE");
    EXPECT_EQ(summary.fg(4, 3), 14);
    EXPECT_EQ(summary.text(6, 3, 33), "Leaderboard not synchronized yet.");
    EXPECT_EQ(summary.text(13, 3, 10), "STORY MODE");
    EXPECT_EQ(summary.line(15), "   1. Crow                 DARK HARBOR          900");
    EXPECT_EQ(summary.text(22, 3, 41), "[A] ALL  [S] STORY  [D] DAILY  [C] RETURN");
    const AnsiScreen &story = pages[3];
    EXPECT_EQ(story.text(1, 42, 27), "INTERBBS STORY - TOP SCORES");
    EXPECT_EQ(story.line(5), "   1. Crow                 DARK HARBOR          900");
    EXPECT_EQ(story.text(22, 3, 41), "[A] ALL  [S] STORY  [D] DAILY  [C] RETURN");
    EXPECT_EQ(pages[4].text(1, 42, 21), "INTERBBS - TOP SCORES"); // A: back to the summary
    EXPECT_EQ(pages[5].text(1, 42, 27), "INTERBBS DAILY - TOP SCORES");
    EXPECT_EQ(pages[5].text(5, 3, 33), "Leaderboard not synchronized yet.");
    // C goes back to the daily table it came from; Q there leaves.
    EXPECT_EQ(pages[6].text(1, 42, 28), "DAILY CHALLENGE - TOP SCORES");
    EXPECT_EQ(session_.Unread(), "Q");
}
