// The continue prompt, answered by a caller's keys over a real connection.
#include <gtest/gtest.h>

#include <string>

#include "doorkit.h"
#include "screen.h"
#include "../test_screen_capture.h"

namespace {

// Runs waitc with the keys; returns the keys it left unread.
std::string wait_with(const std::string &keys, AnsiScreen *screen = nullptr)
{
    OutputCapture out;
    KeyInput in(keys);
    AnsiScreen scratch;
    out.into(screen ? *screen : scratch, [] { waitc(); });
    std::string rest;
    for (char c; (c = od_get_key(0)) != 0;) rest += c;
    return rest;
}

} // namespace

TEST(Waitc, PromptNamesWhereQuitLeads)
{
    AnsiScreen screen;
    in_adventure = 0;
    wait_with("C", &screen);
    EXPECT_EQ(screen.text(23, 4, 34), "[C] CONTINUE     [Q] RETURN TO BBS");
    EXPECT_EQ(screen.fg(23, 4), 7);
    in_adventure = 1;
    AnsiScreen again;
    wait_with("C", &again);
    EXPECT_EQ(again.text(23, 4, 34), "[C] CONTINUE     [Q] BACK TO LOBBY");
}

TEST(Waitc, ContinueIgnoresOtherKeysFirst)
{
    quit_requested = 0;
    EXPECT_EQ(wait_with("xy1cZZ"), "ZZ");
    EXPECT_EQ(quit_requested, 0);
}

TEST(Waitc, QuitOrEscapeAsksToLeave)
{
    quit_requested = 0;
    EXPECT_EQ(wait_with("aqC"), "C");
    EXPECT_EQ(quit_requested, 1);
    quit_requested = 0;
    EXPECT_EQ(wait_with("\x1b" "1"), "1");
    EXPECT_EQ(quit_requested, 1);
}

TEST(Waitc, ACallersCursorKeyIsNoEscape)
{
    quit_requested = 0;
    // Up as ANSI and as VT52 sends it, then Continue.
    EXPECT_EQ(wait_with("\x1b[A\x1b" "AcR"), "R");
    EXPECT_EQ(quit_requested, 0);
}

TEST(Waitc, AnyKeyWhenLeavingIsAlreadyAsked)
{
    quit_requested = 1;
    EXPECT_EQ(wait_with("xC"), "C");
    EXPECT_EQ(quit_requested, 1);
}

TEST(Waitc, CursorKeysAreSkippedWhole)
{
    quit_requested = 0;
    // Up arrow as its doorway code: a 0, then 72 ('H').
    EXPECT_EQ(wait_with(std::string("\0H", 2) + "cR"), "R");
    EXPECT_EQ(quit_requested, 0);
}

TEST(Waitc, ACallerWhoHangsUpEndsTheSessionWithLevelOne)
{
    EXPECT_EXIT(
        {
            capture_caller().Send("xyz");
            capture_caller().Close();
            waitc();
            od_exit(0, 0); // the game's exit steps, as after any lost caller
            exit(99);
        },
        ::testing::ExitedWithCode(1), "");
}
