// The local screen model: control characters, wrapping and scrolling, the
// text window, and publication to the display side under the mutex.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODCore.h"
#include "ODInEx.h"
#include "ODScrn.h"
#include "ODSync.h"

#include <atomic>
#include <string>
#include <thread>

namespace {

// Characters of one 1-based row of the working buffer.
std::string Row(int row, const uint16_t *cells = nullptr)
{
    if (!cells) cells = pScrnBuffer;
    std::string text;
    for (int column = 0; column < OD_SCREEN_WIDTH; column++)
        text.push_back((char)(cells[(row - 1) * OD_SCREEN_WIDTH + column] & 0xFF));
    return text;
}

uint8_t AttributeAt(int column, int row)
{
    return (uint8_t)(pScrnBuffer[(row - 1) * OD_SCREEN_WIDTH + column - 1] >> 8);
}

std::string Blanks(int count) { return std::string((size_t)count, ' '); }

// Cursor as the text information reports it: 1-based, window-relative.
std::pair<int, int> Cursor()
{
    tODScrnTextInfo info;
    ODScrnGetTextInfo(&info);
    return {info.cursor_column, info.cursor_row};
}

class ScreenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        od_init();
        ASSERT_EQ(ODScrnInitialize(), ODSCRN_OK);
    }
    void TearDown() override { ODScrnShutdown(); }
};

TEST_F(ScreenTest, StartsBlankInGreyWithTheCaretHomeAndTheHookInstalled)
{
    EXPECT_TRUE(bScreenPresentationActive);
    for (int row = 1; row <= 25; row++) EXPECT_EQ(Row(row), Blanks(80));
    EXPECT_EQ(AttributeAt(1, 1), 7);
    EXPECT_EQ(AttributeAt(80, 25), 7);
    EXPECT_EQ(Cursor(), std::make_pair(1, 1));
    EXPECT_TRUE(bCaretOn);
    EXPECT_FALSE(bScreenDirty);
    EXPECT_EQ(pfODSyncPublishScreen, &ODCoreSyncPoint);
    tODScrnSnapshot snapshot;
    ASSERT_EQ(ODScrnReadDisplay(&snapshot), 0);
    EXPECT_EQ(Row(1, snapshot.cells), Blanks(80));
    EXPECT_EQ(snapshot.caret_on, 1);
}

TEST_F(ScreenTest, EightyCharactersLeaveTheCursorAtTheStartOfTheNextRow)
{
    ODScrnDisplayString(std::string(80, 'x').c_str());
    EXPECT_EQ(Cursor(), std::make_pair(1, 2));
    EXPECT_EQ(Row(1), std::string(80, 'x'));
}

TEST_F(ScreenTest, WritingPastTheBottomRowScrollsTheWindow)
{
    ODScrnDisplayString("top line");
    ODScrnSetCursorPos(1, 25);
    ODScrnSetAttribute(0x1E);
    ODScrnDisplayString(std::string(80, 'b').c_str());
    EXPECT_EQ(Cursor(), std::make_pair(1, 25));
    EXPECT_EQ(Row(24), std::string(80, 'b'));
    EXPECT_EQ(Row(25), Blanks(80));
    EXPECT_EQ(AttributeAt(1, 25), 0x1E) << "the new bottom row is blank in the current attribute";
    EXPECT_NE(Row(1).substr(0, 8), "top line") << "row 1 scrolled away";
}

TEST_F(ScreenTest, WithoutScrollingTheLastRowWrapsOntoItself)
{
    ODScrnEnableScrolling(0);
    ODScrnSetCursorPos(1, 25);
    ODScrnDisplayString((std::string(80, 'a') + "bc").c_str());
    EXPECT_EQ(Row(25), "bc" + std::string(78, 'a'));
    EXPECT_EQ(Row(24), Blanks(80));
    EXPECT_EQ(Cursor(), std::make_pair(3, 25));
    ODScrnDisplayString("\n\n");
    EXPECT_EQ(Cursor(), std::make_pair(3, 25)) << "a line feed on the last row stays there";
}

TEST_F(ScreenTest, ControlCharacters)
{
    ODScrnDisplayString("abc\b\bX");
    EXPECT_EQ(Row(1).substr(0, 4), "aXc ") << "backspace moves left without erasing";
    ODScrnDisplayString("\r");
    EXPECT_EQ(Cursor(), std::make_pair(1, 1));
    ODScrnDisplayString("\b");
    EXPECT_EQ(Cursor(), std::make_pair(1, 1)) << "backspace at column 1 does nothing";
    ODScrnDisplayString("\t");
    EXPECT_EQ(Cursor(), std::make_pair(9, 1));
    ODScrnDisplayString("\t");
    EXPECT_EQ(Cursor(), std::make_pair(17, 1));
    ODScrnDisplayString("\n");
    EXPECT_EQ(Cursor(), std::make_pair(17, 2)) << "line feed keeps the column";
    ODScrnDisplayString("\a");
    EXPECT_EQ(Cursor(), std::make_pair(17, 2)) << "the bell does not move";

    // Everything else is stored as it is, including NUL, VT, FF and ESC.
    const char odd[] = {0, 11, 12, 27, '['};
    ODScrnSetCursorPos(1, 3);
    ODScrnDisplayBuffer(odd, sizeof odd);
    EXPECT_EQ(Row(3).substr(0, 5), std::string(odd, sizeof odd));
    EXPECT_EQ(Cursor(), std::make_pair(6, 3));
}

TEST_F(ScreenTest, TabNearTheRightEdgeWrapsToTheNextLine)
{
    ODScrnSetCursorPos(75, 4);
    ODScrnDisplayChar('\t');
    EXPECT_EQ(Cursor(), std::make_pair(1, 5));
    ODScrnSetCursorPos(72, 4);
    ODScrnDisplayChar('\t');
    EXPECT_EQ(Cursor(), std::make_pair(73, 4)) << "column 73 is the last tab stop that fits";
}

TEST_F(ScreenTest, TheTextWindowConfinesWritingScrollingAndClearing)
{
    for (int row = 1; row <= 25; row++) {
        ODScrnSetCursorPos(1, (uint8_t)row);
        ODScrnDisplayString(std::string(80, '.').c_str());
    }
    ODScrnSetCursorPos(50, 20);
    ODScrnSetBoundary(11, 6, 20, 8); // 10 x 3
    tODScrnTextInfo info;
    ODScrnGetTextInfo(&info);
    EXPECT_EQ(info.left, 11);
    EXPECT_EQ(info.top, 6);
    EXPECT_EQ(info.right, 20);
    EXPECT_EQ(info.bottom, 8);
    EXPECT_EQ(Cursor(), std::make_pair(10, 3)) << "the cursor was clamped into the window";

    ODScrnClear();
    EXPECT_EQ(Cursor(), std::make_pair(1, 1));
    EXPECT_EQ(Row(6), std::string(10, '.') + Blanks(10) + std::string(60, '.'));
    EXPECT_EQ(Row(5), std::string(80, '.'));
    EXPECT_EQ(Row(9), std::string(80, '.'));

    ODScrnDisplayString("0123456789ABCDEFGHIJabcdefghijKLM");
    EXPECT_EQ(Row(5), std::string(80, '.')) << "scrolling stays inside the window";
    EXPECT_EQ(Row(6).substr(8, 14), "..ABCDEFGHIJ..");
    EXPECT_EQ(Row(7).substr(10, 10), "abcdefghij");
    EXPECT_EQ(Row(8).substr(8, 14), "..KLM       ..");
    EXPECT_EQ(Row(9), std::string(80, '.'));
    EXPECT_EQ(Cursor(), std::make_pair(4, 3));
}

TEST_F(ScreenTest, ABadWindowIsIgnoredAndCoordinatesAreClamped)
{
    ODScrnSetBoundary(30, 5, 20, 10);
    tODScrnTextInfo info;
    ODScrnGetTextInfo(&info);
    EXPECT_EQ(info.left, 1);
    EXPECT_EQ(info.right, 80);
    ODScrnSetBoundary(0, 0, 200, 200);
    ODScrnGetTextInfo(&info);
    EXPECT_EQ(info.left, 1);
    EXPECT_EQ(info.top, 1);
    EXPECT_EQ(info.right, 80);
    EXPECT_EQ(info.bottom, 25);
    ODScrnSetCursorPos(200, 0);
    EXPECT_EQ(Cursor(), std::make_pair(80, 1));
    ODScrnSetCursorPos(0, 99);
    EXPECT_EQ(Cursor(), std::make_pair(1, 25));
}

TEST_F(ScreenTest, StoredTextInformationComesBack)
{
    ODScrnSetBoundary(5, 5, 40, 20);
    ODScrnSetAttribute(0x4F);
    ODScrnSetCursorPos(7, 3);
    ODStoreTextInfo();
    ODScrnSetBoundary(1, 1, 80, 25);
    ODScrnSetAttribute(0x07);
    ODScrnSetCursorPos(70, 22);
    ODRestoreTextInfo();
    tODScrnTextInfo info;
    ODScrnGetTextInfo(&info);
    EXPECT_EQ(info.left, 5);
    EXPECT_EQ(info.top, 5);
    EXPECT_EQ(info.right, 40);
    EXPECT_EQ(info.bottom, 20);
    EXPECT_EQ(info.attribute, 0x4F);
    EXPECT_EQ(info.cursor_column, 7);
    EXPECT_EQ(info.cursor_row, 3);
}

TEST_F(ScreenTest, PutTextCopiesARectangleAndLeavesOutWhatFallsOutside)
{
    uint16_t cells[3 * 2];
    for (int i = 0; i < 6; i++) cells[i] = (uint16_t)(('A' + i) | 0x1F00);
    ODScrnPutText(79, 24, 81, 25, cells); // the third column is off the grid
    EXPECT_EQ(Row(24).substr(78), "AB");
    EXPECT_EQ(Row(25).substr(78), "DE");
    EXPECT_EQ(AttributeAt(80, 25), 0x1F);
    EXPECT_EQ(Cursor(), std::make_pair(1, 1)) << "putting text does not move the cursor";

    ODScrnSetBoundary(2, 2, 5, 5);
    ODScrnPutText(0, 1, 2, 2, cells); // column 0 is outside the window
    EXPECT_EQ(Row(2).substr(0, 4), " BC ");
    EXPECT_EQ(Row(3).substr(0, 4), " EF ");
    ODScrnPutText(3, 3, 2, 3, cells); // empty rectangle
    ODScrnPutText(1, 1, 3, 2, nullptr);
}

TEST_F(ScreenTest, PrintfShortAndLong)
{
    EXPECT_EQ(ODScrnPrintf("%d-%s", 42, "x"), 4u);
    EXPECT_EQ(Row(1).substr(0, 4), "42-x");
    std::string long_text(200, 'q');
    ODScrnSetCursorPos(1, 3);
    EXPECT_EQ(ODScrnPrintf("%s!", long_text.c_str()), 201u);
    EXPECT_EQ(Row(3), std::string(80, 'q'));
    EXPECT_EQ(Row(5).substr(0, 42), std::string(40, 'q') + "! ");
}

TEST_F(ScreenTest, NothingIsVisibleUntilPublishedAndAQuietPublishDoesNothing)
{
    int repaints = 0;
    ODScrnSetRepaintHook([](void *count) { ++*(int *)count; }, &repaints);
    tODScrnSnapshot before;
    ODScrnReadDisplay(&before);

    ODScrnDisplayString("hello");
    tODScrnSnapshot snapshot;
    ODScrnReadDisplay(&snapshot);
    EXPECT_EQ(Row(1, snapshot.cells), Blanks(80));
    EXPECT_EQ(snapshot.generation, before.generation);

    ODScrnPublish();
    ODScrnReadDisplay(&snapshot);
    EXPECT_EQ(Row(1, snapshot.cells).substr(0, 6), "hello ");
    EXPECT_EQ(snapshot.cursor_column, 5);
    EXPECT_EQ(snapshot.cursor_row, 0);
    EXPECT_EQ(snapshot.generation, before.generation + 1);
    EXPECT_EQ(repaints, 1);
    EXPECT_EQ(Row(1).substr(0, 6), "hello ") << "the working copy keeps the picture";

    ODScrnPublish();
    ODScrnReadDisplay(&snapshot);
    EXPECT_EQ(snapshot.generation, before.generation + 1);
    EXPECT_EQ(repaints, 1) << "publishing twice repaints nothing the second time";

    // A cursor that moves without text, and a caret switched off, are
    // changes the sysop must see.
    ODScrnSetCursorPos(10, 12);
    ODScrnPublish();
    ODScrnReadDisplay(&snapshot);
    EXPECT_EQ(snapshot.cursor_column, 9);
    EXPECT_EQ(snapshot.cursor_row, 11);
    ODScrnEnableCaret(0);
    ODScrnPublish();
    ODScrnReadDisplay(&snapshot);
    EXPECT_EQ(snapshot.caret_on, 0);
    EXPECT_EQ(repaints, 3);

    ODScrnSetRepaintHook(nullptr, nullptr);
    ODScrnDisplayChar('z');
    ODScrnPublish();
    EXPECT_EQ(repaints, 3);
}

TEST_F(ScreenTest, PublishedCursorIsAbsolute)
{
    ODScrnSetBoundary(21, 11, 60, 20);
    ODScrnSetCursorPos(3, 4);
    ODScrnPublish();
    tODScrnSnapshot snapshot;
    ODScrnReadDisplay(&snapshot);
    EXPECT_EQ(snapshot.cursor_column, 22);
    EXPECT_EQ(snapshot.cursor_row, 13);
}

TEST_F(ScreenTest, TheOutermostPublicCallPublishes)
{
    ODScrnDisplayString("abc");
    ODSyncAPIEntry();
    ODSyncAPIEntry();
    ODSyncAPIExit();
    tODScrnSnapshot snapshot;
    ODScrnReadDisplay(&snapshot);
    EXPECT_EQ(Row(1, snapshot.cells).substr(0, 3), "   ") << "a nested call does not publish";
    ODSyncAPIExit();
    ODScrnReadDisplay(&snapshot);
    EXPECT_EQ(Row(1, snapshot.cells).substr(0, 3), "abc");
}

TEST_F(ScreenTest, AReaderNeverSeesATornPublication)
{
    // The game thread fills the whole screen with one letter per frame and
    // publishes; every snapshot the reader takes must be a single letter.
    std::atomic<bool> done{false};
    std::atomic<long> snapshots{0};
    std::atomic<long> torn{0};
    std::thread reader([&] {
        tODScrnSnapshot snapshot;
        while (!done.load()) {
            ODScrnReadDisplay(&snapshot);
            uint16_t first = snapshot.cells[0];
            for (int i = 1; i < OD_SCREEN_CELLS; i++) {
                if (snapshot.cells[i] != first) {
                    torn++;
                    break;
                }
            }
            snapshots++;
        }
    });
    std::string frame(OD_SCREEN_CELLS - 1, ' ');
    for (int i = 0; i < 3000 || snapshots.load() < 200; i++) {
        std::fill(frame.begin(), frame.end(), (char)('A' + i % 26));
        ODScrnSetCursorPos(1, 1);
        ODScrnSetAttribute((uint8_t)(i & 0x7F));
        // 1999 cells through the writer, the last one put directly, so the
        // screen never scrolls.
        ODScrnDisplayString(frame.c_str());
        uint16_t last = (uint16_t)(frame[0] | ((i & 0x7F) << 8));
        ODScrnPutText(80, 25, 80, 25, &last);
        ODScrnPublish();
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(snapshots.load(), 0);
}

TEST_F(ScreenTest, StatusLineIsNotPartOfThisKit)
{
    od_control.last_error = 0;
    od_set_statusline(1);
    EXPECT_EQ((int)od_control.last_error, ODERR_UNSUPPORTED);
}

TEST(ScreenLifecycle, ShutdownEndsTheModelAndReadersAreRefused)
{
    od_init();
    ASSERT_EQ(ODScrnInitialize(), ODSCRN_OK);
    ODScrnShutdown();
    EXPECT_FALSE(bScreenPresentationActive);
    tODScrnSnapshot snapshot;
    EXPECT_EQ(ODScrnReadDisplay(&snapshot), 1);
    ODScrnDisplayString("ignored");
    ODScrnPublish();
    ODScrnClear();
    ASSERT_EQ(ODScrnInitialize(), ODSCRN_OK) << "the model can be made again";
    ODScrnShutdown();
}

} // namespace
