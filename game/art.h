/* art.h -- the game's pictures: one 30 x 19 picture per month and the
 * October villain, in the cell formats the screen primitives draw. */
#ifndef ART_H
#define ART_H

#define ART_ROWS 19
#define ART_COLS 30

/* A month picture: per cell the CP437 character, the foreground colour
 * (0-15) and the background colour (0-7). */
struct art_month {
    unsigned char cell[ART_ROWS][ART_COLS][3];
};

/* The villain: per cell the colour of the upper and of the lower half,
 * drawn with half blocks, so 38 rows of pixels. Colour 6 is the pumpkin,
 * 14 its eyes and mouth, 2 its stem; harvest_color shades them. */
struct art_villain {
    unsigned char cell[ART_ROWS][ART_COLS][2];
};

extern const art_month seasonal_art[12]; /* January first */
extern const art_villain grimby_pixels;

#endif
