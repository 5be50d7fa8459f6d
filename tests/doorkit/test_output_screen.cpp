// The caller's screen, read back: a long run of random output calls is
// played into a small terminal model from the bytes the caller received,
// and must give exactly the picture the kit keeps in its session screen.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODInEx.h"
#include "ODScrn.h"

#include "ansiscreen.h"
#include "test_output_caller.h"

#include <stdint.h>
#include <random>
#include <string>
#include <vector>

namespace {

// The caller's terminal as the kit pictures it: ANSI and AVATAR codes,
// wrapping and scrolling as the kit's screens do. Every batch must end
// between sequences and hold none the model does not know.
class CallerScreen : public AnsiScreen {
public:
    CallerScreen(int width, int height) : AnsiScreen(height, width, kAvatar | kWrapAndScroll) {}
    void Feed(const std::string &bytes)
    {
        feed(bytes);
        EXPECT_FALSE(in_sequence()) << "an unfinished sequence";
        EXPECT_EQ(unknown_sequences(), 0) << "a sequence the caller does not know";
    }
    uint16_t Cell(int column, int row) const { return cell(row, column); }
};

std::string RandomText(std::mt19937 &random, size_t length)
{
    static const char pool[] = "abcdefghij KLMNOP 0123456789 .,:-\r\n\t\b\xb0\xc4\xdb";
    std::string text;
    for (size_t i = 0; i < length; i++) text.push_back(pool[random() % (sizeof pool - 1)]);
    return text;
}

void PlayRandomSession(OutputCaller &caller, CallerScreen &screen, int width, int height, unsigned seed)
{
    std::mt19937 random(seed);
    static const char *const descriptions[] = {"bright white on blue", "red", "grey", "flashing yellow on cyan",
                                               "bright", "green on black", ""};
    // The terminal starts in grey on black; so does the kit's shadow.
    od_set_attrib(0x07);
    for (int step = 0; step < 1500; step++) {
        switch (random() % 10) {
        case 0: od_set_attrib((int)(random() % 256)); break;
        case 1: od_set_color((int)(random() % 16), (int)(random() % 8)); break;
        case 2: od_set_cursor((int)(1 + random() % height), (int)(1 + random() % width)); break;
        case 3: if (random() % 8 == 0) od_clr_scr(); break;
        case 4: od_clr_line(); break;
        case 5: od_repeat((char)('A' + random() % 26), (uint8_t)(random() % 120)); break;
        case 6: od_printf("`%s`%s", descriptions[random() % 7], RandomText(random, random() % 30).c_str()); break;
        case 7: od_putch((int)('a' + random() % 26)); break;
        default: od_disp_str(RandomText(random, random() % 90).c_str()); break;
        }
        if (step % 100 == 99) {
            screen.Feed(caller.Take(5));
            ASSERT_FALSE(::testing::Test::HasFailure()) << "at step " << step;
        }
    }
    screen.Feed(caller.Take(5));
}

void ExpectSameScreen(const CallerScreen &screen, int width, int height)
{
    int differences = 0;
    for (int row = 1; row <= height; row++) {
        for (int column = 1; column <= width; column++) {
            if (screen.Cell(column, row) != ODSessionScreenGetCell(column, row) && differences++ < 5) {
                ADD_FAILURE() << "cell " << column << "," << row << ": caller 0x" << std::hex
                              << screen.Cell(column, row) << ", kit 0x" << ODSessionScreenGetCell(column, row);
            }
        }
    }
    EXPECT_EQ(differences, 0);
}

class CallerScreenTest : public ::testing::Test {
protected:
    OutputCaller caller;
    void TearDown() override { caller.Stop(); }
};

TEST_F(CallerScreenTest, AnsiCallerSeesWhatTheKitBelieves)
{
    ASSERT_TRUE(caller.Start(ANSI));
    CallerScreen screen(80, 25);
    PlayRandomSession(caller, screen, 80, 25, 1);
    ExpectSameScreen(screen, 80, 25);
}

TEST_F(CallerScreenTest, AvatarCallerSeesWhatTheKitBelieves)
{
    ASSERT_TRUE(caller.Start(AVATAR));
    CallerScreen screen(80, 25);
    PlayRandomSession(caller, screen, 80, 25, 2);
    ExpectSameScreen(screen, 80, 25);
}

TEST_F(CallerScreenTest, AWideTallCallerSeesWhatTheKitBelieves)
{
    ASSERT_TRUE(caller.Start(ANSI, true, 132, 50));
    CallerScreen screen(132, 50);
    PlayRandomSession(caller, screen, 132, 50, 3);
    ExpectSameScreen(screen, 132, 50);
    // The local screen shows the caller's top-left corner.
    for (int row = 1; row <= 25; row++)
        for (int column = 1; column <= 80; column++)
            ASSERT_EQ(pScrnBuffer[(row - 1) * OD_SCREEN_WIDTH + column - 1], screen.Cell(column, row));
}

} // namespace

namespace {

TEST_F(CallerScreenTest, APlainCallerSeesWhatTheKitBelieves)
{
    ASSERT_TRUE(caller.Start(PLAIN));
    CallerScreen screen(80, 25);
    PlayRandomSession(caller, screen, 80, 25, 4);
    ExpectSameScreen(screen, 80, 25);
}

} // namespace
