// Screen primitives, checked on the caller's screen: what the door kit
// sends is captured and replayed into an ANSI screen model.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "ODPlat.h"
#include "art.h"
#include "season.h"
#include "screen.h"
#include "test_screen_capture.h"

namespace {

const std::string kSixty = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx";

void bind_month(int month) // 0-11, the 15th of 2026
{
    static const int64_t first[12] = {20454, 20485, 20513, 20544, 20574, 20605,
                                      20635, 20666, 20697, 20727, 20758, 20788};
    ODPlatClockUseVirtual(0, (first[month] + 14) * 86400 + 43200);
    season_bind();
}

} // namespace

TEST(Put, CutsTextToTheRoomBesideThePicture)
{
    ASSERT_EQ(kSixty.size(), 60u);
    OutputCapture out;
    AnsiScreen screen;
    int drawn = 0;
    out.into(screen, [&] {
        drawn += put(3, 10, 14, kSixty.c_str());
        drawn += put(3, 19, 14, kSixty.c_str());
        drawn += put(6, 12, 10, kSixty.c_str());
    });
    EXPECT_EQ(drawn, 3);
    EXPECT_EQ(screen.line(10), "  " + kSixty.substr(0, 41));
    EXPECT_EQ(screen.line(19), "  " + kSixty);
    EXPECT_EQ(screen.text(12, 6, 39), kSixty.substr(0, 38) + " ");
    EXPECT_EQ(screen.fg(10, 3), 14);
    EXPECT_EQ(screen.bg(10, 3), 0);
    EXPECT_EQ(screen.fg(12, 6), 10);
}

TEST(Put, RoomDependsOnRowAndColumn)
{
    std::string eighty(80, 'x');
    OutputCapture out;
    AnsiScreen screen;
    out.into(screen, [&] {
        put(47, 10, 7, eighty.c_str()); // right of the text area: full room
        put(3, 3, 7, eighty.c_str());   // above the text rows
        put(3, 17, 7, eighty.c_str());  // last row of the text rows
        put(3, 18, 7, eighty.c_str());  // first row below them
        put(1, 24, 7, eighty.c_str());
    });
    EXPECT_EQ(screen.line(10), std::string(46, ' ') + std::string(32, 'x'));
    EXPECT_EQ(screen.line(3).size(), 2u + 76u);
    EXPECT_EQ(screen.line(17).size(), 2u + 41u);
    EXPECT_EQ(screen.line(18).size(), 2u + 76u);
    EXPECT_EQ(screen.line(24), std::string(78, 'x'));
}

TEST(Put, DrawsNothingOutsideItsBounds)
{
    OutputCapture out;
    int drawn = 0;
    std::string sent = out.sent_by([&] {
        drawn += put(44, 10, 7, "x"); // room 0 beside the picture
        drawn += put(46, 4, 7, "x");
        drawn += put(0, 20, 7, "x");
        drawn += put(80, 20, 7, "x");
        drawn += put(5, 0, 7, "x");
        drawn += put(5, 25, 7, "x");
        drawn += put(5, 20, 7, nullptr);
    });
    EXPECT_EQ(drawn, 0);
    EXPECT_EQ(sent, "");
    AnsiScreen screen;
    out.into(screen, [&] { drawn = put(43, 10, 7, "xy"); });
    EXPECT_EQ(drawn, 1);
    EXPECT_EQ(screen.line(10), std::string(42, ' ') + "x");
}

TEST(Put, ControlBytesCannotMoveTheCursor)
{
    OutputCapture out;
    AnsiScreen screen;
    out.into(screen, [] { put(3, 20, 7, "A\x1b[2JB\r\nC"); });
    EXPECT_EQ(screen.line(20), "  A [2JB  C");
    EXPECT_EQ(screen.cursor_row(), 20);
    EXPECT_EQ(screen.unknown_sequences(), 0);
}

TEST(Put, FormattedTextKeepsTheSameBounds)
{
    OutputCapture out;
    AnsiScreen screen;
    out.into(screen, [] {
        putf(3, 10, 14, "DAY %02d: %s", 7, "THE MIRROR LIGHTHOUSE AND A LONG TAIL TO CUT");
    });
    EXPECT_EQ(screen.text(10, 1, 46),
              "  " + std::string("DAY 07: THE MIRROR LIGHTHOUSE AND A LONG TAIL TO CUT").substr(0, 41) +
                  "   ");
}

TEST(Header, ClearsAndDrawsTheTitleBar)
{
    bind_month(2);
    OutputCapture out;
    AnsiScreen screen;
    out.into(screen, [] {
        put(3, 10, 7, "left over");
        header("A TITLE THAT IS FAR TOO LONG FOR THE BAR, REALLY");
    });
    EXPECT_EQ(screen.line(10), "");
    EXPECT_EQ(screen.text(1, 2, 16), "GRIMBY - ALMANAC");
    EXPECT_EQ(screen.fg(1, 2), 11);
    EXPECT_EQ(screen.text(1, 42),
              std::string("A TITLE THAT IS FAR TOO LONG FOR THE BAR, REALLY").substr(0, 37) + "  ");
    EXPECT_EQ(screen.fg(1, 42), 14);
    const std::string rule = "\xB0\xB1\xB2\xDB\xDB\xDB\xDB\xB2\xB1\xB0";
    EXPECT_EQ(screen.text(2, 2, 10), rule);
    EXPECT_EQ(screen.fg(2, 2), 8);
    EXPECT_EQ(screen.text(2, 15, 12), "Q-ORB ONLINE");
    EXPECT_EQ(screen.text(2, 12 + 17, 10), rule);
    EXPECT_EQ(screen.fg(2, 29), 8);
}

TEST(Header, OctoberCarriesTheHarvestName)
{
    bind_month(9);
    OutputCapture out;
    AnsiScreen screen;
    out.into(screen, [] { header(nullptr); });
    EXPECT_EQ(screen.line(1), " HARVESTFALL");
    EXPECT_EQ(screen.fg(1, 2), 11);
}

TEST(Header, LongBbsNameShowsTwentyAndMovesTheRule)
{
    char saved[64];
    memcpy(saved, bbs_name, sizeof saved);
    strcpy(bbs_name, "ABCDEFGHIJKLMNOPQRSTUVWXY"); // 25 characters
    OutputCapture out;
    AnsiScreen screen;
    out.into(screen, [] { header("T"); });
    EXPECT_EQ(screen.text(2, 15, 22), "ABCDEFGHIJKLMNOPQRST  ");
    EXPECT_EQ(screen.ch(2, 37), 0xB0);
    EXPECT_EQ(screen.ch(2, 46), 0xB0);
    EXPECT_EQ(screen.ch(2, 47), ' ');

    // An unterminated name is read no further than its twenty characters.
    memset(bbs_name, 'Z', sizeof bbs_name);
    AnsiScreen again;
    out.into(again, [] { header("T"); });
    EXPECT_EQ(again.text(2, 15, 22), std::string(20, 'Z') + "  ");
    memcpy(bbs_name, saved, sizeof saved);
}

TEST(Bar, FillsFourteenCellsByValue)
{
    struct {
        int value, filled;
    } cases[] = {{0, 0}, {7, 0}, {8, 1}, {50, 7}, {99, 13}, {100, 14}, {150, 14}, {-20, 0},
                 {2147483647, 14}};
    for (auto &c : cases) {
        OutputCapture out;
        AnsiScreen screen;
        out.into(screen, [&] { bar(18, "HEALTH", c.value, 10); });
        EXPECT_EQ(screen.text(18, 3, 10), "HEALTH    ");
        EXPECT_EQ(screen.fg(18, 3), 7);
        EXPECT_EQ(screen.ch(18, 13), '[');
        EXPECT_EQ(screen.ch(18, 28), ']');
        EXPECT_EQ(screen.fg(18, 13), 8);
        for (int i = 0; i < 14; i++) {
            bool full = i < c.filled;
            EXPECT_EQ(screen.ch(18, 14 + i), full ? 0xDB : 0xB0) << c.value << " cell " << i;
            EXPECT_EQ(screen.fg(18, 14 + i), full ? 10 : 8) << c.value << " cell " << i;
        }
    }
}

TEST(Music, FramesTheMelodyForTheTerminal)
{
    OutputCapture out;
    sound_enabled = 1;
    int sent = 0;
    EXPECT_EQ(out.sent_by([&] { sent = play("MFT120O3L16C<G>C"); }),
              std::string("\x1b[|MFT120O3L16C<G>C\x0e\x0f"));
    EXPECT_EQ(sent, 1);

    std::string longest(220, 'C'), too_long(221, 'C');
    EXPECT_EQ(out.sent_by([&] { sent = play(longest.c_str()); }),
              "\x1b[|" + longest + "\x0e\x0f");
    EXPECT_EQ(sent, 1);
    EXPECT_EQ(out.sent_by([&] {
        sent = play(too_long.c_str()) + play("MFT120\x0e" "C") + play("") + play(nullptr);
    }), "");
    EXPECT_EQ(sent, 0);

    AnsiScreen screen;
    out.into(screen, [] { play("MFT150O4L8CDEFGAB>C"); });
    ASSERT_EQ(screen.music().size(), 1u);
    EXPECT_EQ(screen.music()[0], "MFT150O4L8CDEFGAB>C");
    EXPECT_EQ(screen.line(1), "");
}

TEST(Music, SilentWhenSoundIsOff)
{
    OutputCapture out;
    sound_enabled = 0;
    int sent = 1;
    EXPECT_EQ(out.sent_by([&] { sent = play("MFT120O3L16C<G>C"); }), "");
    EXPECT_EQ(sent, 0);
}

TEST(HarvestColor, PumpkinShading)
{
    // Edge cells (|15 - x| > 9) darken where x + y is a multiple of 4.
    EXPECT_EQ(harvest_color(6, 0, 4, 0), 4);
    EXPECT_EQ(harvest_color(6, 1, 4, 0), 6);
    EXPECT_EQ(harvest_color(6, 2, 26, 0), 4);
    // Centre cells (|15 - x| < 5) glint where x + y is a multiple of 9.
    EXPECT_EQ(harvest_color(6, 3, 15, 0), 14);
    EXPECT_EQ(harvest_color(6, 4, 15, 0), 6);
    EXPECT_EQ(harvest_color(6, 0, 9, 0), 6); // d = 6: no glint
    // Ribs in rows 11-15 where x is a multiple of 7.
    EXPECT_EQ(harvest_color(6, 11, 14, 0), 0);
    EXPECT_EQ(harvest_color(6, 15, 21, 0), 0);
    EXPECT_EQ(harvest_color(6, 16, 21, 0), 6);
    EXPECT_EQ(harvest_color(6, 10, 7, 0), 6);
    // Veins and sparks are returned before dimming; the rib can turn red.
    EXPECT_EQ(harvest_color(6, 12, 14, 2), 12);
    EXPECT_EQ(harvest_color(6, 12, 16, 2), 6);
    EXPECT_EQ(harvest_color(6, 5, 10, 3), 15);
    EXPECT_EQ(harvest_color(6, 5, 11, 3), 6);
}

TEST(HarvestColor, EyesStemDimAndOthers)
{
    EXPECT_EQ(harvest_color(14, 7, 3, 1), 15);
    EXPECT_EQ(harvest_color(14, 12, 3, 1), 15);
    EXPECT_EQ(harvest_color(14, 6, 3, 1), 14);
    EXPECT_EQ(harvest_color(14, 13, 3, 1), 14);
    EXPECT_EQ(harvest_color(14, 9, 3, 0), 14);
    EXPECT_EQ(harvest_color(2, 3, 4, 0), 10);
    EXPECT_EQ(harvest_color(2, 3, 5, 0), 2);
    EXPECT_EQ(harvest_color(9, 3, 5, 0), 9);
    // Dim: 3y + x a multiple of 5 goes black, whatever the colour became.
    EXPECT_EQ(harvest_color(9, 1, 2, 4), 0);
    EXPECT_EQ(harvest_color(9, 1, 3, 4), 9);
    EXPECT_EQ(harvest_color(6, 1, 12, 4), 0);
    EXPECT_EQ(harvest_color(14, 0, 5, 4), 0);
    EXPECT_EQ(harvest_color(2, 0, 7, 4), 10);
}

namespace {

// The colours of a cell's two halves as stored, or -1 for a character cell.
void stored_halves(const unsigned char *cell, int *upper, int *lower)
{
    unsigned char c = cell[0];
    int f = cell[1], b = cell[2];
    *upper = *lower = -1;
    if (c == ' ') *upper = *lower = b;
    if (c == 0xDB) *upper = *lower = f;
    if (c == 0xDF) *upper = f, *lower = b;
    if (c == 0xDC) *upper = b, *lower = f;
}

// Checks the picture drawn at (row, column) against the stored cells, cell
// by cell as the caller sees them.
void expect_month_on_screen(const AnsiScreen &screen, int month, int row, int column,
                            int variant)
{
    const art_month &art = seasonal_art[month];
    for (int y = 0; y < ART_ROWS; y++) {
        for (int x = 0; x < ART_COLS && column + x <= 79; x++) {
            unsigned char cell[3] = {art.cell[y][x][0], art.cell[y][x][1], art.cell[y][x][2]};
            if (variant == 3 && cell[1] != 0 && (x + y) % 9 == 0) cell[1] = 15;
            if (variant == 4 && (x + y) % 3 == 0) cell[0] = ' ', cell[1] = 0, cell[2] = 0;
            int want_up, want_low, got_up, got_low;
            stored_halves(cell, &want_up, &want_low);
            screen.halves(row + y, column + x, &got_up, &got_low);
            if (want_up >= 0) {
                ASSERT_EQ(got_up, want_up) << "month " << month << " cell " << x << "," << y;
                ASSERT_EQ(got_low, want_low) << "month " << month << " cell " << x << "," << y;
            } else {
                ASSERT_EQ(screen.ch(row + y, column + x), cell[0])
                    << "month " << month << " cell " << x << "," << y;
                ASSERT_EQ(screen.fg(row + y, column + x), cell[1]);
                ASSERT_EQ(screen.bg(row + y, column + x), cell[2]);
            }
        }
    }
}

} // namespace

TEST(SeasonalDraw, EveryMonthShowsItsPictureExactly)
{
    for (int m = 0; m < 12; m++) {
        bind_month(m);
        for (int variant = 0; variant <= 4; variant++) {
            OutputCapture out;
            AnsiScreen screen;
            out.into(screen, [&] { seasonal_draw(47, variant); });
            expect_month_on_screen(screen, m, 4, 47, variant);
            EXPECT_EQ(screen.current_attr(), 0x07) << "colour left at 7 on 0";
            EXPECT_EQ(screen.unknown_sequences(), 0);
            for (int r = 1; r <= 24; r++) {
                if (r < 4 || r > 22) {
                    EXPECT_EQ(screen.line(r), "") << "row " << r;
                }
                EXPECT_EQ(screen.text(r, 1, 46), std::string(46, ' ')) << "row " << r;
            }
        }
    }
}

TEST(SeasonalDraw, StopsAtColumnSeventyNine)
{
    bind_month(4);
    OutputCapture out;
    AnsiScreen screen;
    out.into(screen, [] { seasonal_draw_at(60, 3, 0); });
    expect_month_on_screen(screen, 4, 3, 60, 0);
    for (int r = 1; r <= 25; r++) EXPECT_EQ(screen.ch(r, 80), ' ');
}

TEST(GrimbyArt, EveryVariantShowsTheShadedPixels)
{
    for (int variant = 0; variant <= 4; variant++) {
        OutputCapture out;
        AnsiScreen screen;
        out.into(screen, [&] { grimby_art(47, 4, variant); });
        EXPECT_EQ(screen.current_attr(), 0x07);
        for (int y = 0; y < ART_ROWS; y++) {
            for (int x = 0; x < ART_COLS; x++) {
                int up = harvest_color(grimby_pixels.cell[y][x][0], y, x, variant);
                int low = harvest_color(grimby_pixels.cell[y][x][1], y, x, variant);
                // Two different bright halves cannot share one ANSI cell:
                // the lower one shows in its dark shade.
                if (up >= 8 && low >= 8 && up != low) low &= 7;
                int got_up, got_low;
                screen.halves(4 + y, 47 + x, &got_up, &got_low);
                ASSERT_EQ(got_up, up) << "variant " << variant << " cell " << x << "," << y;
                ASSERT_EQ(got_low, low) << "variant " << variant << " cell " << x << "," << y;
            }
        }
    }
}

TEST(GrimbyArt, EyesAndMouthFlashInVariantOne)
{
    OutputCapture out;
    AnsiScreen flash;
    out.into(flash, [] { grimby_art(47, 4, 1); });
    int glowing = 0, white = 0;
    for (int y = 7; y <= 12; y++) {
        for (int x = 0; x < ART_COLS; x++) {
            int halves[2];
            flash.halves(4 + y, 47 + x, &halves[0], &halves[1]);
            for (int h = 0; h < 2; h++) {
                if (grimby_pixels.cell[y][x][h] != 14) continue;
                glowing++;
                // A lower half under another bright half shows dark.
                white += halves[h] == 15 || (h == 1 && halves[h] == 7);
            }
        }
    }
    EXPECT_GT(glowing, 40);
    EXPECT_EQ(white, glowing);
}
