// The picture tables: every cell something a terminal shows as a glyph in
// a colour it can show, and every picture a real, distinct picture.
#include <gtest/gtest.h>

#include <string.h>

#include <set>

#include "art.h"

TEST(MonthArt, EveryCellIsAPrintableGlyphInAShowableColour)
{
    for (int m = 0; m < 12; m++) {
        for (int y = 0; y < ART_ROWS; y++) {
            for (int x = 0; x < ART_COLS; x++) {
                const unsigned char *c = seasonal_art[m].cell[y][x];
                // Bytes below 32 and 127 would act as controls (13 is a
                // carriage return); 255 looks blank but is not.
                EXPECT_TRUE(c[0] >= 32 && c[0] != 127 && c[0] != 255)
                    << "month " << m << " cell " << x << "," << y << " byte " << (int)c[0];
                EXPECT_LE(c[1], 15) << "month " << m << " cell " << x << "," << y;
                EXPECT_LE(c[2], 7) << "month " << m << " cell " << x << "," << y;
            }
        }
    }
}

TEST(MonthArt, EveryMonthIsARealDistinctPicture)
{
    for (int m = 0; m < 12; m++) {
        int figure = 0;
        std::set<int> colours;
        for (int y = 0; y < ART_ROWS; y++) {
            for (int x = 0; x < ART_COLS; x++) {
                const unsigned char *c = seasonal_art[m].cell[y][x];
                if (c[0] != ' ' && c[1] != 0) figure++;
                if (c[0] != ' ') colours.insert(c[1]);
                if (c[0] == 0xDF || c[0] == 0xDC || c[0] == ' ') colours.insert(c[2]);
            }
        }
        EXPECT_GT(figure, ART_ROWS * ART_COLS / 3) << "month " << m;
        EXPECT_GE(colours.size(), 6u) << "month " << m;
        for (int other = 0; other < m; other++) {
            int same = 0;
            for (int y = 0; y < ART_ROWS; y++)
                for (int x = 0; x < ART_COLS; x++)
                    same += !memcmp(seasonal_art[m].cell[y][x], seasonal_art[other].cell[y][x], 3);
            EXPECT_LT(same, ART_ROWS * ART_COLS * 2 / 3) << "months " << m << " and " << other;
        }
    }
}

TEST(VillainArt, PumpkinEyesAndStemInTheirColours)
{
    int count[16] = {0};
    int glow_in_flash_rows = 0;
    for (int y = 0; y < ART_ROWS; y++) {
        for (int x = 0; x < ART_COLS; x++) {
            for (int h = 0; h < 2; h++) {
                int c = grimby_pixels.cell[y][x][h];
                ASSERT_LE(c, 15);
                count[c]++;
                if (c == 14 && y >= 7 && y <= 12) glow_in_flash_rows++;
            }
        }
    }
    EXPECT_GT(count[6], 500) << "the pumpkin fills the picture";
    EXPECT_GT(count[14], 60) << "glowing eyes and mouth";
    EXPECT_GT(count[2], 20) << "a stem";
    // The eyes flash in rows 7-12 (variant 1): the whole face sits there.
    EXPECT_EQ(glow_in_flash_rows, count[14]);
}
