// The session screen: a shadow at the caller's size, and what of it the
// local screen shows.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODInEx.h"
#include "ODScrn.h"

#include <string>

namespace {

std::string LocalRow(int row)
{
    std::string text;
    for (int column = 0; column < OD_SCREEN_WIDTH; column++)
        text.push_back((char)(pScrnBuffer[(row - 1) * OD_SCREEN_WIDTH + column] & 0xFF));
    return text;
}

std::string ShadowRow(int row, int width)
{
    std::string text;
    for (int column = 1; column <= width; column++) text.push_back((char)(ODSessionScreenGetCell(column, row) & 0xFF));
    return text;
}

tODSessionScreenInfo Info()
{
    tODSessionScreenInfo info;
    ODSessionScreenGetInfo(&info);
    return info;
}

class SessionScreenTest : public ::testing::Test {
protected:
    void Start(int width, int length)
    {
        od_init();
        od_control.remote_bps = 38400;
        od_control.caller_screen_width = (uint8_t)width;
        od_control.caller_screen_length = (uint16_t)length;
        ASSERT_EQ(ODScrnInitialize(), ODSCRN_OK);
        ASSERT_EQ(ODSessionScreenInitialize(80, 25), 0);
        ASSERT_TRUE(ODSessionScreenAvailable());
    }
    void TearDown() override
    {
        ODSessionScreenShutdown();
        ODScrnShutdown();
    }
};

TEST_F(SessionScreenTest, ALargeCallerGetsAShadowOfTheirOwnSize)
{
    Start(132, 50);
    tODSessionScreenInfo info = Info();
    EXPECT_EQ(info.left, 1);
    EXPECT_EQ(info.top, 1);
    EXPECT_EQ(info.right, 132);
    EXPECT_EQ(info.bottom, 50);
    EXPECT_EQ(info.attribute, 7);
    EXPECT_EQ(info.cursor_column, 1);
    EXPECT_EQ(info.cursor_row, 1);
    EXPECT_EQ(info.scrolling, 1);
    EXPECT_EQ(ODSessionScreenGetCell(132, 50), 0x0720);
    EXPECT_EQ(ODSessionScreenGetCell(133, 50), 0);
}

TEST_F(SessionScreenTest, ASmallCallerStillGetsTheMinimum)
{
    Start(40, 10);
    EXPECT_EQ(Info().right, 80);
    EXPECT_EQ(Info().bottom, 25);
}

TEST_F(SessionScreenTest, TextOutsideTheVisibleCornerChangesNothingLocallyAndHidesTheCaret)
{
    Start(132, 50);
    ODSessionScreenSetCursorPos(100, 3);
    ODSessionScreenDisplayString("far right");
    ODSessionScreenPresent();
    EXPECT_EQ(ShadowRow(3, 132).substr(99, 9), "far right");
    EXPECT_EQ(LocalRow(3), std::string(80, ' '));
    EXPECT_FALSE(bCaretOn) << "the caller's cursor is where the sysop cannot see it";

    ODSessionScreenSetCursorPos(1, 40);
    ODSessionScreenDisplayString("far down");
    ODSessionScreenPresent();
    for (int row = 1; row <= 25; row++) EXPECT_EQ(LocalRow(row), std::string(80, ' '));
    EXPECT_FALSE(bCaretOn);

    ODSessionScreenSetCursorPos(5, 5);
    ODSessionScreenDisplayString("seen");
    ODSessionScreenPresent();
    EXPECT_EQ(LocalRow(5).substr(4, 4), "seen");
    EXPECT_TRUE(bCaretOn) << "back in view, the caret comes back";
    tODScrnTextInfo local;
    ODScrnGetTextInfo(&local);
    EXPECT_EQ(local.cursor_column, 9);
    EXPECT_EQ(local.cursor_row, 5);
}

TEST_F(SessionScreenTest, ARowStraddlingTheEdgeShowsItsVisiblePart)
{
    Start(132, 50);
    ODSessionScreenSetCursorPos(75, 2);
    ODSessionScreenSetAttribute(0x1E);
    ODSessionScreenDisplayString("0123456789");
    ODSessionScreenPresent();
    EXPECT_EQ(LocalRow(2).substr(74), "012345");
    EXPECT_EQ(pScrnBuffer[OD_SCREEN_WIDTH + 79] >> 8, 0x1E);
    tODScrnTextInfo local;
    ODScrnGetTextInfo(&local);
    EXPECT_EQ(local.attribute, 0x1E) << "the local attribute follows the shadow";
}

TEST_F(SessionScreenTest, WrappingFollowsTheCallersWidthNotTheLocalOne)
{
    Start(132, 50);
    ODSessionScreenDisplayString(std::string(100, 'w').c_str());
    EXPECT_EQ(Info().cursor_column, 101);
    EXPECT_EQ(Info().cursor_row, 1);
    ODSessionScreenSetCursorPos(130, 1);
    ODSessionScreenDisplayChar('\t');
    EXPECT_EQ(Info().cursor_column, 1) << "a tab past column 132 wraps";
    EXPECT_EQ(Info().cursor_row, 2);
}

TEST_F(SessionScreenTest, ScrollingAtTheCallersBottomRow)
{
    Start(80, 30);
    ODSessionScreenDisplayString("first");
    ODSessionScreenSetCursorPos(1, 30);
    ODSessionScreenDisplayString("last\n");
    ODSessionScreenPresent();
    EXPECT_EQ(ShadowRow(29, 80).substr(0, 4), "last");
    EXPECT_EQ(ShadowRow(1, 80).substr(0, 5), "     ");
    EXPECT_EQ(Info().cursor_row, 30);
    EXPECT_EQ(LocalRow(1), std::string(80, ' ')) << "the scroll repainted the visible part";

    ODSessionScreenEnableScrolling(0);
    ODSessionScreenDisplayString("\n\n");
    EXPECT_EQ(Info().cursor_row, 30);
    EXPECT_EQ(ShadowRow(29, 80).substr(0, 4), "last");
}

TEST_F(SessionScreenTest, ClearingRepaintsTheWholeLocalWindow)
{
    Start(80, 25);
    // Something written behind the shadow's back is painted over by the
    // presentation of a clear.
    ODScrnDisplayString("stale");
    ODSessionScreenSetAttribute(0x17);
    ODSessionScreenClear();
    ODSessionScreenPresent();
    EXPECT_EQ(LocalRow(1), std::string(80, ' '));
    EXPECT_EQ(pScrnBuffer[24 * OD_SCREEN_WIDTH + 79], 0x1720);
    EXPECT_EQ(Info().cursor_column, 1);
    EXPECT_EQ(Info().cursor_row, 1);
}

TEST_F(SessionScreenTest, ClearToEndOfLine)
{
    Start(132, 50);
    ODSessionScreenDisplayString(std::string(132, 'x').c_str());
    ODSessionScreenSetCursorPos(50, 1);
    ODSessionScreenClearToEndOfLine();
    EXPECT_EQ(ShadowRow(1, 132), std::string(49, 'x') + std::string(83, ' '));
    EXPECT_EQ(Info().cursor_column, 50) << "the cursor stays";
    ODSessionScreenPresent();
    EXPECT_EQ(LocalRow(1), std::string(49, 'x') + std::string(31, ' '));
}

TEST_F(SessionScreenTest, ANarrowerLocalWindowShowsLess)
{
    Start(132, 50);
    ODScrnSetBoundary(1, 1, 40, 10);
    ODSessionScreenSetCursorPos(1, 2);
    ODSessionScreenDisplayString(std::string(60, 'n').c_str());
    ODSessionScreenPresent();
    EXPECT_EQ(LocalRow(2), std::string(40, 'n') + std::string(40, ' '));
    EXPECT_FALSE(bCaretOn) << "column 61 is beyond the 40-column window";
}

TEST_F(SessionScreenTest, CursorPositionsAreClamped)
{
    Start(132, 50);
    ODSessionScreenSetCursorPos(500, -3);
    EXPECT_EQ(Info().cursor_column, 132);
    EXPECT_EQ(Info().cursor_row, 1);
}

TEST(SessionScreenStart, ALocalSessionHasNoShadow)
{
    od_init();
    od_control.remote_bps = 0;
    EXPECT_EQ(ODSessionScreenInitialize(80, 25), 0);
    EXPECT_FALSE(ODSessionScreenAvailable());
    EXPECT_EQ(nSessionScreenError, 0);
    ODSessionScreenDisplayString("nothing happens");
    ODSessionScreenPresent();
}

TEST(SessionScreenStart, AnImpossibleSizeRunsWithoutAShadow)
{
    od_init();
    od_control.remote_bps = 2400;
    od_control.caller_screen_width = 0;
    od_control.caller_screen_length = 0;
    EXPECT_EQ(ODSessionScreenInitialize(0, 25), ODERR_LIMIT);
    EXPECT_FALSE(ODSessionScreenAvailable());
    EXPECT_EQ(nSessionScreenError, ODERR_LIMIT);
    EXPECT_EQ(ODSessionScreenInitialize(80, -1), ODERR_LIMIT);
    EXPECT_EQ(ODSessionScreenInitialize(0x10000, 0x10000), ODERR_LIMIT) << "2^32 cells overflow";
    EXPECT_FALSE(ODSessionScreenAvailable());
}

TEST(SessionScreenStart, TheLargestDropFileSizeIsAccepted)
{
    od_init();
    od_control.remote_bps = 2400;
    od_control.caller_screen_width = 255;
    od_control.caller_screen_length = 65535;
    EXPECT_EQ(ODSessionScreenInitialize(80, 25), 0);
    EXPECT_EQ(Info().right, 255);
    EXPECT_EQ(Info().bottom, 65535);
    ODSessionScreenSetCursorPos(255, 65535);
    ODSessionScreenDisplayString("end");
    EXPECT_EQ(ODSessionScreenGetCell(255, 65534) & 0xFF, 'e') << "the wrap scrolled the whole shadow";
    EXPECT_EQ(ODSessionScreenGetCell(2, 65535) & 0xFF, 'd');
    ODSessionScreenShutdown();
    EXPECT_FALSE(ODSessionScreenAvailable());
}

} // namespace
