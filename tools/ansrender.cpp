/* ansrender.cpp -- draws one game screen with the game's own code and
 * writes what the door kit sends as an .ANS file, so every picture can be
 * looked at as a caller sees it (and turned into a PNG with ansilove).
 *
 *   ansrender lobby YYYY-MM-DD [variant]   the lobby look of that UTC date
 *   ansrender picture MONTH [variant]      header and month picture (1-12)
 *   ansrender villain [variant]            header and the October villain
 *
 * The bytes go wherever the kit sends the caller's output: standard output
 * for a session on standard I/O. */
#include "doorkit.h"
#include "ODCmdLn.h"
#include <unistd.h>
#include "ODPlat.h"
#include "season.h"
#include "screen.h"
#include "stdout_session.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int64_t days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

static void pin_date(int year, int month, int day)
{
    ODPlatClockUseVirtual(ODPlatTickMs() + 1000, days_from_civil(year, month, day) * 86400 + 12 * 3600);
    season_bind();
}

/* The left column of the preview: the text the lobby shows beside the
 * picture, laid out in whole words. */
static void wrap(int row, int colour, const char *text, int width)
{
    char line[64];
    int length = 0;
    while (*text && row <= 17) {
        while (*text == ' ') text++;
        const char *end = text;
        while (*end && *end != ' ') end++;
        int word = (int)(end - text);
        if (word == 0) break;
        if (length && length + 1 + word > width) {
            line[length] = 0;
            put(3, row++, colour, line);
            length = 0;
        }
        if (length) line[length++] = ' ';
        if (word > width) word = width;
        memcpy(line + length, text, (size_t)word);
        length += word;
        text = end;
    }
    if (length && row <= 17) {
        line[length] = 0;
        put(3, row, colour, line);
    }
}

static void finish(void)
{
    /* Park the cursor on the last row so the page keeps its 24 rows. */
    od_set_color(7, 0);
    od_set_cursor(24, 79);
    od_disp_str(" ");
    od_kernel(); /* the kit sends what it collected */
}

static void draw_lobby(int variant)
{
    int october = season_index == SEASON_OCTOBER;
    int halloween = season_is_halloween();
    const season_record *s = &seasons[season_index];
    header(halloween ? "A HALLOWEEN NIGHTMARE" : s->title);
    if (october)
        grimby_art(SCREEN_ART_COLUMN, SCREEN_ART_TOP, variant >= 0 ? variant : (halloween ? 2 : 0));
    else
        seasonal_draw(SCREEN_ART_COLUMN, variant >= 0 ? variant : 0);
    put(3, 5, 14, october ? "THE HARVEST HAS TEETH." : s->name);
    wrap(7, 7, october ? "You brought home a pumpkin. Something else came home with you."
                       : s->goal, 39);
    if (halloween)
        put(3, 19, 14, "HALLOWEEN: FINAL BOSS, EXTRA DAMAGE!");
    else
        putf(3, 19, 14, "%s %02d, %04d UTC - NEW MONTH, NEW STORY", s->name, season_day,
             season_year);
    finish();
}

static int usage(void)
{
    fprintf(stderr, "usage: ansrender lobby YYYY-MM-DD [variant]\n"
                    "       ansrender picture MONTH [variant]\n"
                    "       ansrender villain [variant]\n");
    return 2;
}

int main(int argc, char **argv)
{
    start_stdout_session();
    if (argc < 2) return usage();
    int variant = -1;
    if (!strcmp(argv[1], "lobby")) {
        int y, m, d;
        if (argc < 3 || sscanf(argv[2], "%d-%d-%d", &y, &m, &d) != 3 || y < 1970 || m < 1 ||
            m > 12 || d < 1 || d > 31)
            return usage();
        if (argc > 3) variant = atoi(argv[3]);
        pin_date(y, m, d);
        draw_lobby(variant);
    } else if (!strcmp(argv[1], "picture")) {
        int m = argc > 2 ? atoi(argv[2]) : 0;
        if (m < 1 || m > 12) return usage();
        variant = argc > 3 ? atoi(argv[3]) : 0;
        pin_date(2026, m, 15);
        header(seasons[season_index].title);
        seasonal_draw(SCREEN_ART_COLUMN, variant);
        finish();
    } else if (!strcmp(argv[1], "villain")) {
        variant = argc > 2 ? atoi(argv[2]) : 0;
        pin_date(2026, 10, 15);
        header("GRIMBY THE UNDEAD");
        grimby_art(SCREEN_ART_COLUMN, SCREEN_ART_TOP, variant);
        finish();
    } else {
        return usage();
    }
    return 0;
}
