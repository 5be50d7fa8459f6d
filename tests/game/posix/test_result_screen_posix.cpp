// The final screen of a run: title by the outcome, the score line and the
// saving message shown whole, then back to the lobby with the run cleared.
#include <gtest/gtest.h>

#include <string>

#include "../test_screen_capture.h"
#include "../test_scores_fixture.h"
#include "doorkit.h"
#include "result.h"

namespace {

using FinalScreenTest = DoorDirTest;

AnsiScreen final_with(int result, const std::string &keys)
{
    OutputCapture out;
    KeyInput in(keys);
    AnsiScreen screen;
    out.into(screen, [&] { final_screen(result); });
    return screen;
}

} // namespace

TEST_F(FinalScreenTest, SavedVictory)
{
    in_adventure = 1;
    quit_requested = 1;
    AnsiScreen screen = final_with(RESULT_SAVED, "C");
    EXPECT_EQ(screen.text(1, 42, 18), "THE NIGHT IS YOURS");
    EXPECT_EQ(screen.line(9), "     FINAL SCORE: 1234    BOSS REACHED: 5/8");
    EXPECT_EQ(screen.fg(9, 6), 14);
    EXPECT_EQ(screen.line(12), "     Your score was saved. The harvest remembers.");
    EXPECT_EQ(screen.fg(12, 6), 11);
    EXPECT_EQ(in_adventure, 0);
    EXPECT_EQ(quit_requested, 0);
}

TEST_F(FinalScreenTest, DefeatWithAWarningOrAFailure)
{
    hp = 0;
    AnsiScreen warned = final_with(RESULT_WARNING, "C");
    EXPECT_EQ(warned.text(1, 42, 17), "THE GUARDIANS WIN");
    EXPECT_EQ(warned.line(12), "     Score saved; export or daily-lock warning.");
    EXPECT_EQ(warned.fg(12, 6), 11);
    AnsiScreen failed = final_with(RESULT_FAILED, "q");
    // Past the picture's edge: this page has none, so the line stands whole.
    EXPECT_EQ(failed.line(12), "     SCORE SAVE FAILED! Check game directory permissions.");
    EXPECT_EQ(failed.fg(12, 6), 12);
    EXPECT_EQ(quit_requested, 0);
}
