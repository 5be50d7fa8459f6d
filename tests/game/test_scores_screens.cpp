// The InterBBS leaderboard rows as the caller sees them: full width, colours
// by rank, and nothing from another board that could steer a terminal.
#include <gtest/gtest.h>

#include <string>

#include "interbbs.h"
#include "test_screen_capture.h"
#include "test_scores_fixture.h"

namespace {

using BoardScreenTest = DoorDirTest;

AnsiScreen draw_rows(const char *file, int row, int most)
{
    OutputCapture out;
    AnsiScreen screen;
    out.into(screen, [&] { interbbs_rows(file, row, most); });
    return screen;
}

} // namespace

TEST_F(BoardScreenTest, RowsTakeTheFullWidthWithTheScoreShown)
{
    dir_.write("data/interbbs-daily.tsv",
               "TheLongestHandleOnTheBoardX\tA VERY LONG BBS NAME INDEED\t123456789\n"
               "bad line\n"
               "Crow\tDARK HARBOR\t-40\n");
    AnsiScreen screen = draw_rows(INTERBBS_DAILY_BOARD, 6, 6);
    EXPECT_EQ(screen.line(6), "   1. TheLongestHandleOnTh A VERY LONG BBS 123456789");
    EXPECT_EQ(screen.line(7), "   2. Crow                 DARK HARBOR          -40");
    EXPECT_EQ(screen.fg(6, 3), 14);
    EXPECT_EQ(screen.fg(6, 52), 14);
    EXPECT_EQ(screen.fg(7, 3), 11);
    EXPECT_EQ(screen.line(8), "");
}

TEST_F(BoardScreenTest, MissingEmptyAndHostileBoards)
{
    AnsiScreen missing = draw_rows(INTERBBS_STORY_BOARD, 15, 5);
    EXPECT_EQ(missing.line(15), "  Leaderboard not synchronized yet.");
    EXPECT_EQ(missing.fg(15, 3), 12);

    dir_.write("data/interbbs-story.tsv", "only\ttwo fields\n");
    AnsiScreen empty = draw_rows(INTERBBS_STORY_BOARD, 15, 5);
    EXPECT_EQ(empty.line(15), "  No scores in this category yet.");
    EXPECT_EQ(empty.fg(15, 3), 12);

    dir_.write("data/interbbs-story.tsv", "Evil\x1b[2J\x1b[31m\tBBS\x07\t5\n");
    AnsiScreen hostile = draw_rows(INTERBBS_STORY_BOARD, 5, 14);
    EXPECT_EQ(hostile.unknown_sequences(), 0);
    EXPECT_EQ(hostile.text(5, 3, 12), " 1. Evil [2J");
    EXPECT_EQ(hostile.fg(5, 3), 14);
}
