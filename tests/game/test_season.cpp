// Monthly campaigns: binding to the UTC date on a pinned kit clock, the
// twelve records and the generated clue and discovery lines.
#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <string>

#include "ODPlat.h"
#include "season.h"
#include "test_calendar.h"

namespace {

// Pins the kit's wall clock and binds through the real entry point.
void bind_on(int y, int mo, int d, int h = 12, int mi = 0, int s = 0)
{
    ODPlatClockUseVirtual(0, TestUtcSeconds(y, mo, d, h, mi, s));
    season_bind();
}

std::string title_case(const char *upper)
{
    std::string out;
    bool start = true;
    for (const char *p = upper; *p; p++) {
        out += start ? (char)toupper((unsigned char)*p) : (char)tolower((unsigned char)*p);
        start = *p == ' ';
    }
    return out;
}

std::string lower(const char *text)
{
    std::string out;
    for (const char *p = text; *p; p++) out += (char)tolower((unsigned char)*p);
    return out;
}

} // namespace

TEST(SeasonBind, TablesAreWholeBeforeTheFirstBind)
{
    for (int i = 0; i < SEASON_STAGES; i++) {
        ASSERT_NE(places[i], nullptr);
        ASSERT_NE(bosses[i], nullptr);
        ASSERT_NE(stage_clues[i], nullptr);
        ASSERT_NE(stage_discoveries[i], nullptr);
    }
    EXPECT_STREQ(places[0], "FROSTBOUND STATION");
}

TEST(SeasonBind, EveryMonthBindsItsOwnCampaign)
{
    for (int m = 1; m <= 12; m++) {
        bind_on(2026, m, 15);
        EXPECT_EQ(season_index, m - 1);
        EXPECT_EQ(season_day, 15);
        EXPECT_EQ(season_year, 2026);
        for (int i = 0; i < SEASON_STAGES; i++) {
            EXPECT_STREQ(places[i], seasons[m - 1].places[i]);
            EXPECT_STREQ(bosses[i], seasons[m - 1].guardians[i]);
            EXPECT_STREQ(stage_clues[i], season_clue(m - 1, i));
            EXPECT_STREQ(stage_discoveries[i], season_discovery(m - 1, i));
        }
    }
}

TEST(SeasonBind, MonthChangesAtMidnightUtcMidVisit)
{
    bind_on(2026, 1, 31, 23, 59, 59);
    EXPECT_EQ(season_index, 0);
    EXPECT_EQ(season_day, 31);
    EXPECT_STREQ(places[0], "FROSTBOUND STATION");
    ODPlatClockAdvance(1000);
    season_bind();
    EXPECT_EQ(season_index, 1);
    EXPECT_EQ(season_day, 1);
    EXPECT_STREQ(places[0], "RIBBON SQUARE");
    EXPECT_STREQ(bosses[7], "THE HEARTBREAK ENGINE");
}

TEST(SeasonBind, YearChangesAtMidnightUtc)
{
    bind_on(2025, 12, 31, 23, 59, 59);
    EXPECT_EQ(season_index, 11);
    EXPECT_EQ(season_year, 2025);
    EXPECT_EQ(season_stamp, 2025364);
    ODPlatClockAdvance(1000);
    season_bind();
    EXPECT_EQ(season_index, 0);
    EXPECT_EQ(season_day, 1);
    EXPECT_EQ(season_year, 2026);
    EXPECT_EQ(season_stamp, 2026000);
}

TEST(SeasonBind, StampCountsLeapDays)
{
    struct {
        int y, m, d, stamp;
    } cases[] = {
        {2026, 1, 1, 2026000}, {2024, 12, 31, 2024365}, {2024, 2, 29, 2024059},
        {2024, 3, 1, 2024060}, {2023, 3, 1, 2023059},   {2000, 12, 31, 2000365},
        {2100, 3, 1, 2100059}, {1970, 1, 1, 1970000},   {2038, 1, 19, 2038018},
    };
    for (auto &c : cases) {
        bind_on(c.y, c.m, c.d, 0, 0, 0);
        EXPECT_EQ(season_stamp, c.stamp) << c.y << "-" << c.m << "-" << c.d;
        EXPECT_EQ(season_index, c.m - 1);
        EXPECT_EQ(season_day, c.d);
    }
    bind_on(2024, 2, 29, 23, 59, 59);
    ODPlatClockAdvance(1000);
    season_bind();
    EXPECT_EQ(season_index, 2);
    EXPECT_EQ(season_day, 1);
}

TEST(SeasonBind, HalloweenIsTheThirtyFirstOfOctoberOnly)
{
    bind_on(2026, 10, 30, 23, 59, 59);
    EXPECT_EQ(season_index, SEASON_OCTOBER);
    EXPECT_FALSE(season_is_halloween());
    ODPlatClockAdvance(1000);
    season_bind();
    EXPECT_TRUE(season_is_halloween());
    EXPECT_STREQ(bosses[7], "GRIMBY THE UNDEAD");
    bind_on(2026, 11, 1, 0, 0, 0);
    EXPECT_FALSE(season_is_halloween());
    bind_on(2026, 12, 31);
    EXPECT_FALSE(season_is_halloween());
}

TEST(SeasonBind, AClockTheCalendarCannotPlaceKeepsThePreviousDate)
{
    bind_on(2026, 5, 9);
    EXPECT_EQ(season_bind_at(-1), 0);
    EXPECT_EQ(season_bind_at(TestUtcSeconds(10000, 1, 1, 12)), 0);
    EXPECT_EQ(season_index, 4);
    EXPECT_EQ(season_day, 9);
    EXPECT_EQ(season_year, 2026);
    EXPECT_STREQ(places[7], "THE THORN THRONE");
    EXPECT_EQ(season_bind_at(TestUtcSeconds(9999, 12, 31, 23, 59, 59)), 1);
    EXPECT_EQ(season_stamp, 9999 * 1000 + 364);
}

TEST(SeasonRecords, NamesTitlesAndGoalsAsWritten)
{
    const char *expect[12][3] = {
        {"January", "THE FROZEN MIDNIGHT", "Rebuild the clock and thaw the town."},
        {"February", "THE HEARTBREAK ENGINE", "Return the letters before the final dance."},
        {"March", "THE STOLEN SPRING", "Break the vault and return the first rain."},
        {"April", "THE STORM-EGG HEIST", "Rescue the fair from the nesting storm."},
        {"May", "THE THORN QUEEN", "Free the garden from its hungry crown."},
        {"June", "THE SUN THAT WOULD NOT SET", "Restore sunset before the harbor burns."},
        {"July", "THE FIREWORK REBELLION", "Stop the fortress and save the festival."},
        {"August", "THE UNDERTOW ARCADE", "Return the memories and break the undertow."},
        {"September", "THE BELL AFTER DARK", "Stop the bell and keep tomorrow unwritten."},
        {"October", "A HALLOWEEN NIGHTMARE", "Survive the harvest and defeat Grimby."},
        {"November", "THE FEAST OF SHADOWS", "Break the feast and bring the missing guests home."},
        {"December", "THE MIDNIGHT SLEIGH", "Return the stars before the sleigh departs."},
    };
    for (int m = 0; m < 12; m++) {
        EXPECT_STREQ(seasons[m].name, expect[m][0]);
        EXPECT_STREQ(seasons[m].title, expect[m][1]);
        EXPECT_STREQ(seasons[m].goal, expect[m][2]);
        for (int i = 0; i < SEASON_STAGES; i++) {
            ASSERT_NE(seasons[m].places[i], nullptr);
            ASSERT_NE(seasons[m].guardians[i], nullptr);
            EXPECT_GT(strlen(seasons[m].places[i]), 3u);
            EXPECT_GT(strlen(seasons[m].guardians[i]), 3u);
        }
    }
}

TEST(SeasonRecords, StoriesPlacesAndGuardiansSpotChecked)
{
    EXPECT_STREQ(seasons[0].introduction,
                 "The town clock stopped at midnight. Frost is growing inside the wires. Find "
                 "its eight broken gears before the winter steals the sunrise.");
    EXPECT_STREQ(seasons[10].introduction,
                 "An invitation appears on every doorstep. The banquet hall has set a place for "
                 "everyone, but the guests who enter leave no footprints. Follow the silver "
                 "serving keys.");
    EXPECT_STREQ(seasons[9].introduction,
                 "You brought home a pumpkin. Something else came home with you.");
    EXPECT_STREQ(seasons[5].ending, "The sun finally sets. Cool waves carry the boats safely home.");
    EXPECT_STREQ(seasons[11].ending,
                 "The stars return. Every light in town shines through the winter night.");
    EXPECT_STREQ(seasons[3].places[2], "THE PAINTED SHED");
    EXPECT_STREQ(seasons[6].guardians[6], "ROMAN CANDLE GIANT");
    EXPECT_STREQ(seasons[9].places[6], "THE ROT KING'S GARDEN");
    EXPECT_STREQ(seasons[8].guardians[7], "THE TOMORROW RECTOR");
    EXPECT_STREQ(seasons[1].places[1], "THE EMPTY POST OFFICE");
    EXPECT_STREQ(seasons[7].guardians[4], "LOCKER LEVIATHAN");
}

TEST(SeasonLines, OctoberKeepsItsOwnLines)
{
    EXPECT_STREQ(season_clue(9, 0), "Rotten vines conceal a buried lantern.");
    EXPECT_STREQ(season_clue(9, 7), "Grimby waits behind the black gate.");
    EXPECT_STREQ(season_discovery(9, 3), "A crow drops a silver token in the corn.");
    EXPECT_STREQ(season_discovery(9, 7), "A scorched crown waits below the throne.");
}

TEST(SeasonLines, OtherMonthsFollowTheirPatterns)
{
    EXPECT_STREQ(season_clue(0, 0),
                 "Rime Runner guards the next seal. Rebuild the clock and thaw the town.");
    EXPECT_STREQ(season_clue(0, 7),
                 "The Midnight King guards the next seal. Rebuild the clock and thaw the town.");
    EXPECT_STREQ(season_discovery(0, 0), "At frostbound station, you find a broken seal. Its "
                                         "mark points toward the ice road.");
    EXPECT_STREQ(season_discovery(0, 7), "At the winter crown, you find a broken seal. Its "
                                         "mark points toward the winter crown.");
    EXPECT_STREQ(season_clue(3, 0), "Puddle Hopper guards the next seal. Rescue the fair from "
                                    "the nesting storm.");

    // Every generated line, built again here from the record.
    for (int m = 0; m < 12; m++) {
        if (m == SEASON_OCTOBER) continue;
        const season_record &s = seasons[m];
        for (int i = 0; i < SEASON_STAGES; i++) {
            std::string clue = title_case(s.guardians[i]) + " guards the next seal. " + s.goal;
            int next = i < 7 ? i + 1 : 7;
            std::string discovery = "At " + lower(s.places[i]) +
                                    ", you find a broken seal. Its mark points toward " +
                                    lower(s.places[next]) + ".";
            EXPECT_EQ(season_clue(m, i), clue);
            EXPECT_EQ(season_discovery(m, i), discovery);
        }
    }
}

TEST(SeasonLines, OutOfRangeGivesNull)
{
    EXPECT_EQ(season_clue(-1, 0), nullptr);
    EXPECT_EQ(season_clue(12, 0), nullptr);
    EXPECT_EQ(season_discovery(0, 8), nullptr);
    EXPECT_EQ(season_discovery(0, -1), nullptr);
}
