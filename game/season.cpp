/* season.cpp -- binds the month's campaign to the current UTC date and
 * builds the clue and discovery lines of the months outside October. */
#include "season.h"
#include "ODPlat.h"

#include <ctype.h>
#include <stdio.h>

int season_index = 0;
int season_day = 1;
int season_year = 1970;
int season_stamp = 1970000;

const char *places[SEASON_STAGES];
const char *bosses[SEASON_STAGES];
const char *stage_clues[SEASON_STAGES];
const char *stage_discoveries[SEASON_STAGES];

/* The generated lines of all twelve months: under 100 characters with the
 * longest names of the tables, room for two 63-character names besides. */
#define SEASON_LINE 192
static char aszClues[SEASON_MONTHS][SEASON_STAGES][SEASON_LINE];
static char aszDiscoveries[SEASON_MONTHS][SEASON_STAGES][SEASON_LINE];
static int bLinesBuilt = 0;

/* "BLACK ICE HOUND" -> "Black Ice Hound": each word capitalised. */
static void season_title_case(char *out, size_t size, const char *text)
{
    size_t n = 0;
    int word_start = 1;
    for (; *text && n + 1 < size; text++) {
        unsigned char c = (unsigned char)*text;
        out[n++] = (char)(word_start ? toupper(c) : tolower(c));
        word_start = (c == ' ');
    }
    out[n] = 0;
}

static void season_lower(char *out, size_t size, const char *text)
{
    size_t n = 0;
    for (; *text && n + 1 < size; text++) out[n++] = (char)tolower((unsigned char)*text);
    out[n] = 0;
}

static void season_build_lines(void)
{
    if (bLinesBuilt) return;
    for (int m = 0; m < SEASON_MONTHS; m++) {
        const season_record *s = &seasons[m];
        for (int i = 0; i < SEASON_STAGES; i++) {
            if (s->clues[i]) {
                snprintf(aszClues[m][i], SEASON_LINE, "%s", s->clues[i]);
            } else {
                char name[64];
                season_title_case(name, sizeof name, s->guardians[i]);
                snprintf(aszClues[m][i], SEASON_LINE, "%s guards the next seal. %s", name, s->goal);
            }
            if (s->discoveries[i]) {
                snprintf(aszDiscoveries[m][i], SEASON_LINE, "%s", s->discoveries[i]);
            } else {
                char here[64], next[64];
                season_lower(here, sizeof here, s->places[i]);
                season_lower(next, sizeof next, s->places[i + 1 < SEASON_STAGES ? i + 1 : i]);
                snprintf(aszDiscoveries[m][i], SEASON_LINE,
                         "At %s, you find a broken seal. Its mark points toward %s.", here, next);
            }
        }
    }
    bLinesBuilt = 1;
}

const char *season_clue(int month, int stage)
{
    if (month < 0 || month >= SEASON_MONTHS || stage < 0 || stage >= SEASON_STAGES) return nullptr;
    season_build_lines();
    return aszClues[month][stage];
}

const char *season_discovery(int month, int stage)
{
    if (month < 0 || month >= SEASON_MONTHS || stage < 0 || stage >= SEASON_STAGES) return nullptr;
    season_build_lines();
    return aszDiscoveries[month][stage];
}

static void season_copy_tables(int month)
{
    season_build_lines();
    for (int i = 0; i < SEASON_STAGES; i++) {
        places[i] = seasons[month].places[i];
        bosses[i] = seasons[month].guardians[i];
        stage_clues[i] = aszClues[month][i];
        stage_discoveries[i] = aszDiscoveries[month][i];
    }
}

/* Binds January 1970 before main, so a screen drawn before the first
 * season_bind (or with a clock that never reads) finds whole tables. */
static int bTablesReady = (season_copy_tables(0), 1);

/* Days since 1970-01-01 to a civil date (proleptic Gregorian); exact for
 * every day the int64 range can hold. */
static void season_civil_from_days(int64_t days, int64_t *year, int *month, int *day)
{
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t doe = days - era * 146097;                              /* [0, 146096] */
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365; /* [0, 399] */
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);          /* [0, 365], from 1 March */
    int64_t mp = (5 * doy + 2) / 153;                               /* [0, 11] */
    *day = (int)(doy - (153 * mp + 2) / 5 + 1);
    *month = (int)(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2);
}

static int season_is_leap(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int season_bind_at(int64_t seconds)
{
    (void)bTablesReady;
    if (seconds < 0) return 0;
    int64_t days = seconds / 86400;
    int64_t year;
    int month, day;
    season_civil_from_days(days, &year, &month, &day);
    if (year > 9999) return 0;

    static const int before_month[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    int yday = before_month[month - 1] + day - 1;
    if (month > 2 && season_is_leap(year)) yday++;

    season_index = month - 1;
    season_day = day;
    season_year = (int)year;
    season_stamp = season_year * 1000 + yday;
    season_copy_tables(season_index);
    return 1;
}

void season_bind(void)
{
    season_bind_at(ODPlatWallSeconds());
}

int season_is_halloween(void)
{
    return season_index == SEASON_OCTOBER && season_day == 31;
}
