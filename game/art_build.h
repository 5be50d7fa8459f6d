/* art_build.h -- turns the readable picture sources (rows of CP437
 * characters written in UTF-8, colour maps as rows of hex digits) into the
 * cell tables, while compiling. A picture with a wrong row width, a
 * character CP437 lacks or a colour the terminal cannot show does not
 * compile: the error names one of the art_error_ functions below. */
#ifndef ART_BUILD_H
#define ART_BUILD_H

#include "ODCp437.h"
#include "art.h"

#include <stdint.h>

/* A month picture's source, one line per screen row: the 30 characters,
 * then their foreground and background colours as 30 digits each: '.' or
 * '0' black, '1'-'9', 'A'-'F' (10-15). Backgrounds are 0-7 only, since an
 * ANSI terminal shows no bright background. */
struct art_row_source {
    const char *text;
    const char *fg;
    const char *bg;
};

struct art_month_source {
    art_row_source rows[ART_ROWS];
};

/* The villain as 38 rows of 30 pixels, one colour digit each. */
struct art_villain_source {
    const char *pixels[ART_ROWS * 2];
};

/* Not constexpr on purpose: reaching one while compiling a picture stops
 * the build with its name in the message. */
void art_error_row_is_not_30_cells();
void art_error_character_not_in_cp437();
void art_error_control_character();
void art_error_bad_utf8();
void art_error_bad_colour_digit();
void art_error_bright_background();

/* Decodes one UTF-8 character at text[*pos] and returns its CP437 byte.
 * The bytes below 32 and 127 are refused: a terminal acts on them (13 is
 * a carriage return) instead of showing the glyph CP437 gives them. */
constexpr unsigned char art_cp437_at(const char *text, int *pos)
{
    unsigned char c = (unsigned char)text[*pos];
    uint32_t code = 0;
    int extra = 0;
    if (c < 0x80) {
        code = c;
    } else if ((c & 0xE0) == 0xC0) {
        code = c & 0x1F;
        extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
        code = c & 0x0F;
        extra = 2;
    } else {
        art_error_bad_utf8();
    }
    (*pos)++;
    for (int i = 0; i < extra; i++) {
        unsigned char d = (unsigned char)text[*pos];
        if ((d & 0xC0) != 0x80) art_error_bad_utf8();
        code = (code << 6) | (d & 0x3F);
        (*pos)++;
    }
    if (code < 0x80) {
        if (code < 0x20 || code == 0x7F) art_error_control_character();
        return (unsigned char)code;
    }
    for (int i = 0; i < 128; i++) {
        if (cp437_unicode_table[i] == code) {
            if (i == 127) art_error_control_character(); /* no-break space: looks blank, is not */
            return (unsigned char)(0x80 + i);
        }
    }
    art_error_character_not_in_cp437();
    return 0;
}

constexpr int art_colour_digit(char c)
{
    if (c == '.') return 0;
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    art_error_bad_colour_digit();
    return 0;
}

constexpr int art_length(const char *text)
{
    int n = 0;
    while (text[n]) n++;
    return n;
}

constexpr art_month art_build_month(const art_month_source &source)
{
    art_month out{};
    for (int y = 0; y < ART_ROWS; y++) {
        const art_row_source &row = source.rows[y];
        const char *text = row.text;
        if (art_length(row.fg) != ART_COLS || art_length(row.bg) != ART_COLS)
            art_error_row_is_not_30_cells();
        int pos = 0;
        for (int x = 0; x < ART_COLS; x++) {
            if (!text[pos]) art_error_row_is_not_30_cells();
            out.cell[y][x][0] = art_cp437_at(text, &pos);
            out.cell[y][x][1] = (unsigned char)art_colour_digit(row.fg[x]);
            int bg = art_colour_digit(row.bg[x]);
            if (bg > 7) art_error_bright_background();
            out.cell[y][x][2] = (unsigned char)bg;
        }
        if (text[pos]) art_error_row_is_not_30_cells();
    }
    return out;
}

constexpr art_villain art_build_villain(const art_villain_source &source)
{
    art_villain out{};
    for (int p = 0; p < ART_ROWS * 2; p++) {
        if (art_length(source.pixels[p]) != ART_COLS) art_error_row_is_not_30_cells();
        for (int x = 0; x < ART_COLS; x++)
            out.cell[p / 2][x][p % 2] = (unsigned char)art_colour_digit(source.pixels[p][x]);
    }
    return out;
}

#endif
