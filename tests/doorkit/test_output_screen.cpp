// The caller's screen, read back: a long run of random output calls is
// played into a small terminal model from the bytes the caller received,
// and must give exactly the picture the kit keeps in its session screen.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODInEx.h"
#include "ODScrn.h"

#include "test_output_caller.h"

#include <stdint.h>
#include <random>
#include <string>
#include <vector>

namespace {

// A terminal that understands what the kit sends (ANSI colour, cursor,
// clear screen and line; AVATAR colour, cursor, clear line and repeat; the
// form feed) and wraps and scrolls the way the kit's screens do.
class CallerScreen {
public:
    CallerScreen(int width, int height) : width_(width), height_(height), cells_((size_t)width * height, Blank()) {}

    void Feed(const std::string &bytes)
    {
        for (size_t i = 0; i < bytes.size(); i++) {
            uint8_t c = (uint8_t)bytes[i];
            if (c == 0x1b && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                size_t j = i + 2;
                std::vector<int> params(1, 0);
                while (j < bytes.size() && (isdigit((uint8_t)bytes[j]) || bytes[j] == ';')) {
                    if (bytes[j] == ';')
                        params.push_back(0);
                    else
                        params.back() = params.back() * 10 + (bytes[j] - '0');
                    j++;
                }
                ASSERT_LT(j, bytes.size()) << "an unfinished sequence";
                Csi(bytes[j], params);
                i = j;
            } else if (c == 0x16 && i + 1 < bytes.size()) {
                uint8_t op = (uint8_t)bytes[i + 1];
                if (op == 0x01) {
                    attribute_ = (uint8_t)bytes[i + 2];
                    i += 2;
                } else if (op == 0x07) {
                    ClearToEnd();
                    i += 1;
                } else if (op == 0x08) {
                    row_ = (uint8_t)bytes[i + 2] - 1;
                    column_ = (uint8_t)bytes[i + 3] - 1;
                    i += 3;
                } else {
                    ADD_FAILURE() << "unknown AVATAR code " << (int)op;
                }
            } else if (c == 0x19) {
                for (int n = 0; n < (uint8_t)bytes[i + 2]; n++) Put((uint8_t)bytes[i + 1]);
                i += 2;
            } else if (c == 0x0c) {
                Clear();
            } else {
                Put(c);
            }
        }
    }

    uint16_t Cell(int column, int row) const { return cells_[(size_t)(row - 1) * width_ + column - 1]; }

private:
    uint16_t Blank() const { return (uint16_t)(' ' | attribute_ << 8); }

    void Clear()
    {
        for (auto &cell : cells_) cell = Blank();
        column_ = row_ = 0;
    }
    void ClearToEnd()
    {
        for (int x = column_; x < width_; x++) cells_[(size_t)row_ * width_ + x] = Blank();
    }
    void LineFeed()
    {
        if (row_ < height_ - 1) {
            row_++;
            return;
        }
        cells_.erase(cells_.begin(), cells_.begin() + width_);
        cells_.insert(cells_.end(), (size_t)width_, Blank());
    }
    void Put(uint8_t c)
    {
        switch (c) {
        case 7: return;
        case 8: if (column_ > 0) column_--; return;
        case 9:
            column_ = (column_ / 8 + 1) * 8;
            if (column_ >= width_) {
                column_ = 0;
                LineFeed();
            }
            return;
        case 10: LineFeed(); return;
        case 13: column_ = 0; return;
        }
        cells_[(size_t)row_ * width_ + column_] = (uint16_t)(c | attribute_ << 8);
        if (++column_ >= width_) {
            column_ = 0;
            LineFeed();
        }
    }
    void Csi(char final, const std::vector<int> &params)
    {
        static const int pc[8] = {0, 4, 2, 6, 1, 5, 3, 7}; // ANSI colour -> PC colour
        switch (final) {
        case 'H':
            row_ = params[0] - 1;
            column_ = (params.size() > 1 ? params[1] : 1) - 1;
            break;
        case 'J':
            EXPECT_EQ(params[0], 2);
            for (auto &cell : cells_) cell = Blank();
            break;
        case 'K': ClearToEnd(); break;
        case 'm':
            for (int p : params) {
                if (p == 0) attribute_ = 0x07;
                else if (p == 1) attribute_ |= 0x08;
                else if (p == 5) attribute_ |= 0x80;
                else if (p >= 30 && p <= 37) attribute_ = (uint8_t)((attribute_ & ~0x07) | pc[p - 30]);
                else if (p >= 40 && p <= 47) attribute_ = (uint8_t)((attribute_ & ~0x70) | pc[p - 40] << 4);
                else ADD_FAILURE() << "unknown colour parameter " << p;
            }
            break;
        default: ADD_FAILURE() << "unknown sequence " << final;
        }
    }

    int width_, height_;
    int column_ = 0, row_ = 0;
    uint8_t attribute_ = 0x07;
    std::vector<uint16_t> cells_;
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
