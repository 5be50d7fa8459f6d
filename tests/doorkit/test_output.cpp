// Output calls, byte for byte: what the caller's terminal receives for each
// emulation, and what the local picture shows.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODCom.h"
#include "ODCore.h"
#include "ODInEx.h"
#include "ODScrn.h"
#include "ODSync.h"

#include "test_output_caller.h"

#include <string>

namespace {

std::string LocalRow(int row)
{
    std::string text;
    for (int column = 0; column < OD_SCREEN_WIDTH; column++)
        text.push_back((char)(pScrnBuffer[(row - 1) * OD_SCREEN_WIDTH + column] & 0xFF));
    return text;
}

uint8_t LocalAttribute(int column, int row)
{
    return (uint8_t)(pScrnBuffer[(row - 1) * OD_SCREEN_WIDTH + column - 1] >> 8);
}

std::pair<int, int> RowColumn()
{
    int row = 0, column = 0;
    od_get_cursor(&row, &column);
    return {row, column};
}

class OutputTest : public ::testing::Test {
protected:
    OutputCaller caller;

    // A remote session with the given terminal and screen size.
    void Remote(int terminal, int width = 80, int length = 25)
    {
        ASSERT_TRUE(caller.Start(terminal, true, width, length));
    }
    // A local session: nothing goes anywhere but the local screen.
    void Local(int terminal) { ASSERT_TRUE(caller.Start(terminal, false)); }
    void TearDown() override { caller.Stop(); }
};

// ---- colour ----

TEST_F(OutputTest, AnsiColourAfterAClearIsAFullDescriptionInOrder)
{
    Remote(ANSI);
    od_set_attrib(0x1F);
    EXPECT_EQ(caller.Take(), "\x1b[0;1;37;44m");
    EXPECT_EQ((int)od_control.current_attribute, 0x1F);
}

TEST_F(OutputTest, AnsiNeedsAResetToDropBrightOrBlink)
{
    Remote(ANSI);
    od_set_attrib(0x0F);
    caller.Take();
    od_set_attrib(0x07);
    EXPECT_EQ(caller.Take(), "\x1b[0;37;40m");
    od_set_attrib(0x87);
    EXPECT_EQ(caller.Take(), "\x1b[5m") << "only blink is added";
    od_set_attrib(0x07);
    EXPECT_EQ(caller.Take(), "\x1b[0;37;40m");
}

TEST_F(OutputTest, AnsiSendsOnlyWhatChanged)
{
    Remote(ANSI);
    od_set_attrib(0x07);
    caller.Take();
    od_set_attrib(0x07);
    EXPECT_EQ(caller.Take(), "") << "the same colour twice sends nothing";
    od_set_attrib(0x02);
    EXPECT_EQ(caller.Take(), "\x1b[32m");
    od_set_attrib(0x42);
    EXPECT_EQ(caller.Take(), "\x1b[41m");
    od_set_attrib(0x4A);
    EXPECT_EQ(caller.Take(), "\x1b[1m");
    od_set_attrib(0xCE);
    EXPECT_EQ(caller.Take(), "\x1b[5;33m");
    od_set_color(14, 12); // background 12: red with blink
    EXPECT_EQ(caller.Take(), "");
    od_set_color(7, 0);
    EXPECT_EQ(caller.Take(), "\x1b[0;37;40m");
}

TEST_F(OutputTest, AvatarColourIsThreeBytesAndNothingWhenUnchanged)
{
    Remote(AVATAR);
    od_set_attrib(0x1F);
    EXPECT_EQ(caller.Take(), std::string("\x16\x01\x1f", 3));
    od_set_attrib(0x1F);
    EXPECT_EQ(caller.Take(), "");
    od_set_attrib(0x00);
    EXPECT_EQ(caller.Take(), std::string("\x16\x01\x00", 3));
}

TEST_F(OutputTest, APlainCallerHasNoColourAndTheLocalColourStays)
{
    Remote(PLAIN);
    od_control.last_error = 0;
    od_set_color(14, 1);
    EXPECT_EQ((int)od_control.last_error, ODERR_NOGRAPHICS);
    EXPECT_EQ(caller.Take(), "");
    od_disp_str("x");
    EXPECT_EQ(LocalAttribute(1, 1), 7);
    EXPECT_EQ((int)od_control.current_attribute, -1);
}

TEST_F(OutputTest, MinusOneAndOutOfRangeAttributes)
{
    Remote(ANSI);
    od_control.last_error = 0;
    od_set_attrib(-1);
    od_set_color(-1, 0);
    EXPECT_EQ(caller.Take(), "");
    EXPECT_EQ((int)od_control.last_error, 0);
    od_set_attrib(256);
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    od_set_attrib(-2);
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    EXPECT_EQ(caller.Take(), "");
}

TEST_F(OutputTest, ColourChangesReachTheLocalPicture)
{
    Remote(ANSI);
    od_set_color(12, 1);
    od_disp_str("R");
    od_set_attrib(0x2E);
    od_disp_str("Y");
    EXPECT_EQ(LocalAttribute(1, 1), 0x1C);
    EXPECT_EQ(LocalAttribute(2, 1), 0x2E);
    EXPECT_EQ(LocalRow(1).substr(0, 3), "RY ");
}

// ---- clearing ----

TEST_F(OutputTest, AnsiClearScreenRestoresTheColour)
{
    Remote(ANSI);
    od_set_attrib(0x1E);
    od_disp_str("junk");
    caller.Take();
    od_clr_scr();
    EXPECT_EQ(caller.Take(), "\x1b[2J\x1b[1;1H\x1b[0;1;33;44m");
    EXPECT_EQ(LocalRow(1), std::string(80, ' '));
    EXPECT_EQ(LocalAttribute(1, 1), 0x1E) << "the local screen clears in the current colour";
    EXPECT_EQ(RowColumn(), std::make_pair(1, 1));
}

TEST_F(OutputTest, ClearScreenWithAnUnknownColourSendsNoColour)
{
    Remote(ANSI);
    od_clr_scr();
    EXPECT_EQ(caller.Take(), "\x1b[2J\x1b[1;1H");
    EXPECT_EQ((int)od_control.current_attribute, -1);
}

TEST_F(OutputTest, AvatarAndPlainClearWithAFormFeed)
{
    Remote(AVATAR);
    od_set_attrib(0x1E);
    caller.Take();
    od_clr_scr();
    EXPECT_EQ(caller.Take(), std::string("\x0c\x16\x01\x1e", 4));
}

TEST_F(OutputTest, PlainClearIsAFormFeed)
{
    Remote(PLAIN);
    od_clr_scr();
    EXPECT_EQ(caller.Take(), "\x0c");
}

TEST_F(OutputTest, RipClearResetsTheWindowsFirst)
{
    Remote(RIP | ANSI);
    od_clr_scr();
    EXPECT_EQ(caller.Take(), "!|*!|w0000270M12\x1b[2J\x1b[1;1H");
}

TEST_F(OutputTest, ACallerWhoAsksNotToBeClearedIsNotUnlessTheDoorInsists)
{
    Remote(ANSI);
    od_control.always_clear_screen = 0;
    od_control.caller_flags = 0;
    od_disp_str("keep");
    caller.Take();
    od_clr_scr();
    EXPECT_EQ(caller.Take(), "");
    EXPECT_EQ(LocalRow(1).substr(0, 4), "keep");
    od_control.caller_flags = 2;
    od_clr_scr();
    EXPECT_EQ(caller.Take(), "\x1b[2J\x1b[1;1H");
}

TEST_F(OutputTest, ClearLineAnsiAndAvatar)
{
    Remote(ANSI);
    od_disp_str(std::string(60, 'z').c_str());
    od_set_cursor(1, 20);
    caller.Take();
    od_clr_line();
    EXPECT_EQ(caller.Take(), "\x1b[K");
    EXPECT_EQ(LocalRow(1), std::string(19, 'z') + std::string(61, ' '));
    EXPECT_EQ(RowColumn(), std::make_pair(1, 20));
}

TEST_F(OutputTest, ClearLineAvatar)
{
    Remote(AVATAR);
    od_clr_line();
    EXPECT_EQ(caller.Take(), std::string("\x16\x07", 2));
}

TEST_F(OutputTest, ClearLineForAPlainCallerOverwritesAndStepsBack)
{
    Remote(PLAIN);
    od_disp_str(std::string(79, 'p').c_str());
    caller.Take();
    od_disp_str("\r");
    for (int i = 0; i < 74; i++) od_disp_str(" "); // to column 75
    caller.Take();
    od_clr_line();
    EXPECT_EQ(caller.Take(), "     \b\b\b\b\b");
    EXPECT_EQ(RowColumn(), std::make_pair(1, 75));
    EXPECT_EQ(LocalRow(1), std::string(80, ' '));
}

TEST_F(OutputTest, ClearLineAtTheLastColumnForAPlainLocalCallerSendsNothing)
{
    Local(PLAIN);
    od_disp_str(std::string(79, 'p').c_str());
    od_clr_line();
    EXPECT_EQ(LocalRow(1), std::string(79, 'p') + " ");
    EXPECT_EQ(RowColumn(), std::make_pair(1, 80));
}

TEST_F(OutputTest, ClearLineOnTheLocalScreenNeverScrolls)
{
    Local(ANSI);
    ODScrnSetCursorPos(1, 24);
    od_disp_str("above");
    ODScrnSetCursorPos(1, 25);
    od_disp_str(std::string(79, 'b').c_str());
    ODScrnSetCursorPos(10, 25);
    od_clr_line();
    EXPECT_EQ(LocalRow(25), std::string(9, 'b') + std::string(71, ' '));
    EXPECT_EQ(LocalRow(24).substr(0, 5), "above");
    EXPECT_EQ(RowColumn(), std::make_pair(25, 10));
}

// ---- the cursor ----

TEST_F(OutputTest, CursorPlacementAnsi)
{
    Remote(ANSI);
    EXPECT_TRUE(od_set_cursor(5, 10));
    EXPECT_EQ(caller.Take(), "\x1b[5;10H");
    EXPECT_EQ(RowColumn(), std::make_pair(5, 10));
    od_disp_str("X");
    EXPECT_EQ(LocalRow(5).substr(9, 1), "X");
}

TEST_F(OutputTest, CursorPlacementAvatarIsRowFirst)
{
    Remote(AVATAR);
    EXPECT_TRUE(od_set_cursor(25, 80));
    EXPECT_EQ(caller.Take(), std::string("\x16\x08\x19\x50", 4));
    EXPECT_EQ(RowColumn(), std::make_pair(25, 80));
}

TEST_F(OutputTest, CursorOutOfRangeIsRefused)
{
    Local(ANSI);
    od_control.last_error = 0;
    EXPECT_FALSE(od_set_cursor(26, 1));
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    od_control.last_error = 0;
    EXPECT_FALSE(od_set_cursor(0, 5));
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    od_control.last_error = 0;
    EXPECT_FALSE(od_set_cursor(5, 0));
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    EXPECT_FALSE(od_set_cursor(1, 81));
    EXPECT_FALSE(od_set_cursor(-7, 1 << 30));
    EXPECT_EQ(RowColumn(), std::make_pair(1, 1));
}

TEST_F(OutputTest, CursorOnAPlainTerminalIsNoGraphics)
{
    Remote(PLAIN);
    od_control.last_error = 0;
    EXPECT_FALSE(od_set_cursor(3, 3));
    EXPECT_EQ((int)od_control.last_error, ODERR_NOGRAPHICS);
    EXPECT_EQ(RowColumn(), std::make_pair(1, 1));
    EXPECT_EQ(caller.Take(), "");
}

TEST_F(OutputTest, CursorRangeFollowsTheCallersScreen)
{
    Remote(ANSI, 132, 50);
    EXPECT_TRUE(od_set_cursor(40, 100));
    EXPECT_EQ(caller.Take(), "\x1b[40;100H");
    EXPECT_EQ(RowColumn(), std::make_pair(40, 100));
    od_disp_str("hidden");
    EXPECT_EQ(ODSessionScreenGetCell(100, 40) & 0xFF, 'h');
    for (int row = 1; row <= 25; row++) EXPECT_EQ(LocalRow(row), std::string(80, ' '));
    EXPECT_FALSE(bCaretOn);
}

TEST_F(OutputTest, CursorColumn100IsOutOfRangeForAnEightyColumnCaller)
{
    Remote(ANSI, 80, 25);
    od_control.last_error = 0;
    EXPECT_FALSE(od_set_cursor(1, 100));
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
}

TEST_F(OutputTest, AvatarCannotAddressBeyond255)
{
    Remote(AVATAR, 80, 300);
    od_control.last_error = 0;
    EXPECT_FALSE(od_set_cursor(256, 1));
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    EXPECT_TRUE(od_set_cursor(255, 1));
    EXPECT_EQ(caller.Take(), std::string("\x16\x08\xff\x01", 4));
}

TEST_F(OutputTest, GetCursorWantsAtLeastOnePointer)
{
    Local(ANSI);
    od_control.last_error = 0;
    EXPECT_FALSE(od_get_cursor(nullptr, nullptr));
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    int row = 0;
    od_disp_str("\n\n");
    EXPECT_TRUE(od_get_cursor(&row, nullptr));
    EXPECT_EQ(row, 3);
    int column = 0;
    od_disp_str("abcd");
    EXPECT_TRUE(od_get_cursor(nullptr, &column));
    EXPECT_EQ(column, 5);
}

// ---- text and repeats ----

TEST_F(OutputTest, TextGoesToTheCallerAndTheLocalPicture)
{
    Remote(ANSI);
    od_disp_str("Hello\r\n");
    od_putch('!');
    od_disp("abc\x1b[1m", 7, 1);
    od_disp("quiet", 5, 0);
    EXPECT_EQ(caller.Take(), "Hello\r\n!abc\x1b[1mquiet");
    EXPECT_EQ(LocalRow(1).substr(0, 6), "Hello ");
    // Escape sequences are not interpreted locally: the bytes are stored.
    EXPECT_EQ(LocalRow(2).substr(0, 9), std::string("!abc\x1b[1m ", 9));
}

TEST_F(OutputTest, BadTextArgumentsAreRefused)
{
    Remote(ANSI);
    od_control.last_error = 0;
    od_disp_str(nullptr);
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    od_control.last_error = 0;
    od_disp(nullptr, 4, 1);
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    od_control.last_error = 0;
    od_disp("abc", -1, 1);
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    od_disp(nullptr, 0, 1);
    EXPECT_EQ(caller.Take(), "");
}

TEST_F(OutputTest, RepeatAvatarIsThreeBytesAndShowsTheRun)
{
    Remote(AVATAR);
    od_repeat('-', 0);
    EXPECT_EQ(caller.Take(), "");
    od_repeat('-', 79);
    EXPECT_EQ(caller.Take(), std::string("\x19-\x4f", 3));
    EXPECT_EQ(LocalRow(1), std::string(79, '-') + " ");
}

TEST_F(OutputTest, RepeatOtherwiseSendsTheRun)
{
    Remote(ANSI);
    od_repeat('=', 255);
    EXPECT_EQ(caller.Take(), std::string(255, '='));
    od_repeat((char)0xC4, 3);
    EXPECT_EQ(caller.Take(), "\xc4\xc4\xc4");
}

// A UTF-8 caller's text is converted, but an AVATAR command's parameters
// are binary and reach the terminal unchanged, even split across sends.
TEST_F(OutputTest, AvatarParametersAreNotConvertedForAUtf8Caller)
{
    Remote(AVATAR);
    od_control.remote_utf8 = 1;
    od_set_attrib(0x9C);
    od_repeat((char)0xC4, 200);
    od_disp_str("\xC4");
    EXPECT_EQ(caller.Take(), "\x16\x01\x9C" "\x19\xC4\xC8" "\xE2\x94\x80");
    ASSERT_EQ(ODComSendBuffer(hSerialPort, (const uint8_t *)"\x16", 1), 0);
    ASSERT_EQ(ODComSendBuffer(hSerialPort, (const uint8_t *)"\x01\xB0\xB0", 3), 0);
    // ^V^Y: a pattern of two characters repeated 0x90 times, then text.
    ASSERT_EQ(ODComSendBuffer(hSerialPort, (const uint8_t *)"\x16\x19\x02\xB1\xB2\x90\xB2", 7), 0);
    EXPECT_EQ(caller.Peek(), "\x16\x01\xB0" "\xE2\x96\x91" "\x16\x19\x02\xB1\xB2\x90" "\xE2\x96\x93");
    od_control.remote_utf8 = 0;
}

TEST_F(OutputTest, AnAvatarCallerWithAnsiGetsAvatarExceptForClearScreen)
{
    Remote(AVATAR | ANSI);
    od_set_attrib(0x0E);
    od_set_cursor(2, 3);
    od_repeat('*', 5);
    od_clr_line();
    EXPECT_EQ(caller.Take(), std::string("\x16\x01\x0e\x16\x08\x02\x03\x19*\x05\x16\x07", 12));
    od_clr_scr();
    EXPECT_EQ(caller.Take(), std::string("\x1b[2J\x1b[1;1H\x16\x01\x0e", 13));
}

TEST_F(OutputTest, ALocalSessionSendsNothingButShowsEverything)
{
    Local(ANSI);
    od_set_color(10, 0);
    od_disp_str("local");
    od_repeat('#', 3);
    EXPECT_EQ(LocalRow(1).substr(0, 9), "local### ");
    EXPECT_EQ(LocalAttribute(1, 1), 0x0A);
    EXPECT_EQ(ODCoreOutputPending(), 0u);
}

// ---- the public-call rule ----

TEST_F(OutputTest, NothingIsOutputOnceTheSessionIsEnding)
{
    Remote(ANSI);
    eODLifecycleState = OD_STATE_EXITING;
    od_control.last_error = 0;
    od_disp_str("late");
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
    od_control.last_error = 0;
    od_set_color(1, 2);
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
    EXPECT_EQ(od_printf("x"), 0);
    EXPECT_FALSE(od_set_cursor(1, 1));
    od_clr_scr();
    od_repeat('x', 4);
    eODLifecycleState = OD_STATE_RUNNING;
    EXPECT_EQ(caller.Take(), "");
    EXPECT_EQ(LocalRow(1), std::string(80, ' '));
}

} // namespace
