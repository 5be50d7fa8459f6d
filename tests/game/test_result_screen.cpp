// The final screen of a run: title by the outcome, the score line and the
// saving message shown whole, then back to the lobby with the run cleared.
#include <gtest/gtest.h>

#include <string>

#include "test_scores_session.h"
#include "test_scores_fixture.h"
#include "result.h"

namespace {

class FinalScreenTest : public DoorDirTest {
protected:
    void SetUp() override
    {
        DoorDirTest::SetUp();
        ASSERT_TRUE(session_.Start());
    }
    CallerSession session_;
};

} // namespace

TEST_F(FinalScreenTest, SavedVictory)
{
    in_adventure = 1;
    quit_requested = 1;
    AnsiScreen screen = session_.Play("C!", [] { final_screen(RESULT_SAVED); });
    EXPECT_EQ(session_.Unread(), "!");
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
    AnsiScreen warned = session_.Play("C", [] { final_screen(RESULT_WARNING); });
    EXPECT_EQ(warned.text(1, 42, 17), "THE GUARDIANS WIN");
    EXPECT_EQ(warned.line(12), "     Score saved; export or daily-lock warning.");
    EXPECT_EQ(warned.fg(12, 6), 11);
    AnsiScreen failed = session_.Play("q", [] { final_screen(RESULT_FAILED); });
    // Past the picture's edge: this page has none, so the line stands whole.
    EXPECT_EQ(failed.line(12), "     SCORE SAVE FAILED! Check game directory permissions.");
    EXPECT_EQ(failed.fg(12, 6), 12);
    EXPECT_EQ(quit_requested, 0);
}
