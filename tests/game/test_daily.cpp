// Daily challenge: the tables fit their screens, the outcomes follow from the
// UTC date alone, and the once-a-day guard (reservation directory and
// daily-lock file) holds against stale, hostile and foreign data.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "daily.h"
#include "scene.h"
#include "test_scores_fixture.h"

namespace {

using DailyTest = DoorDirTest;

int wrapped_lines(const char *text, int width)
{
    return prose_wrap(text, width, nullptr, nullptr);
}

void set_tz(const char *zone)
{
#ifdef _WIN32
    _putenv_s("TZ", zone);
    _tzset();
#else
    setenv("TZ", zone, 1);
    tzset();
#endif
}

} // namespace

TEST(DailyTables, EveryOctoberRowIsWrittenAndFitsItsScreen)
{
    for (int i = 0; i < DAILY_OCTOBER_DAYS; i++) {
        ASSERT_NE(daily_events[i], nullptr) << i;
        ASSERT_NE(daily_results[i], nullptr) << i;
        ASSERT_NE(daily_safe_results[i], nullptr) << i;
        // The event is drawn from row 7 and must end before the choice at row 12.
        EXPECT_LE(wrapped_lines(daily_events[i], 39), 5) << daily_events[i];
        EXPECT_GE(strlen(daily_events[i]), 30u) << i;
        // The answers are drawn from row 9 and stay above the bars at row 18.
        EXPECT_LE(wrapped_lines(daily_results[i], 39), 8) << daily_results[i];
        EXPECT_LE(wrapped_lines(daily_safe_results[i], 39), 8) << daily_safe_results[i];
        std::string decision = std::string("[1] ") + daily_decisions[i];
        EXPECT_EQ(wrapped_lines(decision.c_str(), 39), 1) << decision;
        EXPECT_LE(strlen(daily_chapters[i]), 41u);
    }
    // The rows quoted for the season stand as written.
    EXPECT_STREQ(daily_events[0], "A skeletal collector demands candy or your shadow. Choose what to surrender.");
    EXPECT_STREQ(daily_events[7], "A ghost pounds from inside your trunk. The lock is already open.");
    EXPECT_STREQ(daily_events[30], "At midnight, Grimby demands the last light. The whole town goes dark.");
    EXPECT_STREQ(daily_results[3], "The witch stamps your soul PAID.");
    EXPECT_STREQ(daily_results[30], "The last light burns inside your chest.");
    EXPECT_STREQ(daily_safe_results[18], "You wave the driver on and take the long road home.");
    EXPECT_STREQ(daily_safe_results[30], "You guard a small flame until the town bells ring again.");
    EXPECT_STREQ(daily_chapters[0], "THE CANDY TAX");
    EXPECT_STREQ(daily_decisions[30], "CHALLENGE GRIMBY");
    // Every other-month mission text fits above its choice too.
    for (int m = 0; m < 12; m++)
        for (int d = 1; d <= 31; d++) {
            std::string text = std::string(daily_omen(d, m)) + " " + seasons[m].goal;
            EXPECT_LE(wrapped_lines(text.c_str(), 39), 5) << text;
        }
}

TEST(DailyOutcome, FirstOfOctoberAndFifthOfMarch)
{
    EXPECT_EQ(daily_october_outcome(1), 2);
    energy = 100, keys = 0, score = 0;
    daily_risky_outcome(daily_october_outcome(1));
    EXPECT_EQ(energy, 86);
    EXPECT_EQ(keys, 1);
    EXPECT_EQ(score, 140);

    EXPECT_EQ(daily_month_outcome(5, 2, 2026), 3);
    EXPECT_STREQ(daily_omen(5, 2), "A missing key hangs beyond a broken bridge."); // omen 3
    blade_upgrade = 0, score = 0;
    daily_risky_outcome(3);
    EXPECT_EQ(blade_upgrade, 2);
    EXPECT_EQ(score, 120);
}

TEST(DailyOutcome, EveryRiskAndTheSafeRoute)
{
    struct { int k, coins, hp, energy, keys, blade, clues, score; const char *melody; } expect[] = {
        {0, 12, 0, 0, 0, 0, 0, 100, "MFT130O4L8E.G.C"},  {1, 0, -10, 0, 0, 0, 0, 160, "MFT120O3L16C<G>C"},
        {2, 0, 0, -14, 1, 0, 0, 140, "MFT220O5L32G>C"},  {3, 0, 0, 0, 0, 2, 0, 120, "MFT175O4L16CEG"},
        {4, 0, 0, 0, 0, 0, 1, 110, "MFT220O5L32G>C"},
    };
    for (auto &e : expect) {
        coins = hp = energy = keys = blade_upgrade = clues = score = 0;
        EXPECT_STREQ(daily_risky_outcome(e.k), e.melody);
        EXPECT_EQ(coins, e.coins);
        EXPECT_EQ(hp, e.hp);
        EXPECT_EQ(energy, e.energy);
        EXPECT_EQ(keys, e.keys);
        EXPECT_EQ(blade_upgrade, e.blade);
        EXPECT_EQ(clues, e.clues);
        EXPECT_EQ(score, e.score);
    }
    hp = 97, energy = 115, score = 10;
    daily_safe_outcome();
    EXPECT_EQ(hp, 100);
    EXPECT_EQ(energy, 100);
    EXPECT_EQ(score, 35);
    hp = 50, energy = 60;
    daily_safe_outcome();
    EXPECT_EQ(hp, 56);
    EXPECT_EQ(energy, 68);
}

// One UTC date gives one mission wherever the BBS is and whatever its clock
// zone: the stamp, the seed, the chapter and the outcome.
TEST(DailyOutcome, TheSameForOneUtcDateOnAnyMachine)
{
    struct Reading { int stamp, day, month, k; uint32_t seed; };
    auto read_at = [](int64_t seconds, const char *zone) {
        set_tz(zone);
        ODPlatClockUseVirtual(0, seconds);
        season_bind();
        Reading r{season_stamp, season_day, season_index, 0, run_daily_seed(season_stamp)};
        r.k = season_index == 9 ? daily_october_outcome(season_day)
                                : daily_month_outcome(season_day, season_index, season_year);
        return r;
    };
    const int64_t first_second = 1793404800;  // 31 October 2026 00:00:00 UTC
    const int64_t last_second = 1793491199;   // 31 October 2026 23:59:59 UTC
    Reading a = read_at(first_second, "UTC");
    Reading b = read_at(last_second, "Pacific/Kiritimati");
    Reading c = read_at(first_second + 43200, "America/Los_Angeles");
    for (const Reading &r : {b, c}) {
        EXPECT_EQ(r.stamp, a.stamp);
        EXPECT_EQ(r.day, a.day);
        EXPECT_EQ(r.seed, a.seed);
        EXPECT_EQ(r.k, a.k);
    }
    EXPECT_EQ(a.stamp, 2026303);
    EXPECT_EQ(a.day, 31);
    EXPECT_EQ(a.month, 9);
    EXPECT_EQ(a.k, (13 * 30 + 7) % 5);
    // One second later it is another day, with another stamp.
    Reading next = read_at(last_second + 1, "UTC");
    EXPECT_EQ(next.stamp, 2026304);
    EXPECT_EQ(next.month, 10);
    EXPECT_NE(next.seed, a.seed);
    set_tz("UTC");
}

TEST(DailyReservation, NameIsTheProfileStemAndTheStamp)
{
    char name[160];
    ASSERT_EQ(daily_reservation_name(name, sizeof name, "data/profile-0123456789abcdef.tsv", 2026278), 1);
    EXPECT_STREQ(name, "data/profile-0123456789abcdef-2026278.running");
    ASSERT_EQ(daily_reservation_name(name, sizeof name, "data/noextension", 7), 1);
    EXPECT_STREQ(name, "data/noextension-7.running");
    EXPECT_EQ(daily_reservation_name(name, sizeof name, "", 7), 0);
    std::string huge(200, 'p');
    EXPECT_EQ(daily_reservation_name(name, sizeof name, huge.c_str(), 7), 0);
    EXPECT_STREQ(name, "");
}

TEST_F(DailyTest, OnceADayForOneCaller)
{
    ASSERT_EQ(daily_reserve(), 1);
    EXPECT_EQ(daily_reserved, 1);
    EXPECT_STREQ(daily_reservation, "data/profile-00c0ffee12345678-2026278.running");
    EXPECT_TRUE(std::filesystem::is_directory(dir_.path(daily_reservation)));
    EXPECT_EQ(daily_reserve(), 0); // already held
    EXPECT_FALSE(write_lock_held());

    // Abandoned: the caller may try again the same day.
    daily_release();
    EXPECT_EQ(daily_reserved, 0);
    EXPECT_FALSE(exists("data/profile-00c0ffee12345678-2026278.running"));
    ASSERT_EQ(daily_reserve(), 1);

    // Finished: marked, released, and refused until the next UTC day.
    ASSERT_EQ(daily_mark_played(), 1);
    daily_release();
    EXPECT_EQ(read("data/daily-lock.tsv"), std::string(kProfile) + "\t2026278\n");
    EXPECT_EQ(daily_reserve(), 0);
    EXPECT_FALSE(exists("data/profile-00c0ffee12345678-2026278.running"));
    ASSERT_EQ(daily_mark_played(), 1); // already marked: no second line
    EXPECT_EQ(lines("data/daily-lock.tsv").size(), 1u);
    season_stamp = 2026279;
    EXPECT_EQ(daily_reserve(), 1);
}

TEST_F(DailyTest, ARunOnAnotherNodeOrALeftoverKeepsTheCallerOut)
{
    dir_.mkdir("data/profile-00c0ffee12345678-2026278.running");
    EXPECT_EQ(daily_reserve(), 0);
    EXPECT_EQ(daily_reserved, 0);
    // Refused without removing what it did not make.
    daily_release();
    EXPECT_TRUE(exists("data/profile-00c0ffee12345678-2026278.running"));
    // Another caller is not concerned.
    strcpy(profile_path, "data/profile-1111111111111111.tsv");
    EXPECT_EQ(daily_reserve(), 1);
}

TEST_F(DailyTest, RefusedWithoutProfileStorageOrLock)
{
    profile_path[0] = 0;
    EXPECT_EQ(daily_reserve(), 0);
    strcpy(profile_path, kProfile);
    storage_ok = 0;
    EXPECT_EQ(daily_reserve(), 0);
    storage_ok = 1;
    // Another node holds the write lock and never lets go.
    dir_.mkdir("data/.grimby-write.lock");
    storage_hold owner; // the other node, alive: its owner file held
    ASSERT_EQ(storage_hold_create(STORAGE_WRITE_OWNER, "", &owner), 1);
    uint64_t start = ODPlatTickMs();
    EXPECT_EQ(daily_reserve(), 0);
    EXPECT_GE(ODPlatTickMs() - start, (uint64_t)WRITE_LOCK_WAIT_MS); // the whole bounded wait
    EXPECT_EQ(daily_reserved, 0);
    EXPECT_FALSE(exists("data/profile-00c0ffee12345678-2026278.running"));
    EXPECT_TRUE(exists("data/.grimby-write.lock")); // never another's to remove
    storage_hold_close(owner);
}

TEST_F(DailyTest, HostileDailyLockLinesNeverMatch)
{
    std::string p = kProfile;
    std::string text;
    text += p + "X\t2026278\n";                    // a longer name
    text += p.substr(0, p.size() - 1) + "\t2026278\n"; // a shorter one
    text += p + "\t2026278junk\n";                 // trailing junk
    text += p + "\t20262780\n";
    text += p + " 2026278\n";                      // no tab
    text += p + "\t\n";
    text += std::string(3000, 'z') + p + "\t2026278\n"; // over-long
    text += std::string("data/\0", 6) + p + "\t2026278\n";
    text += p + "\t2026277\n";                     // yesterday
    dir_.write("data/daily-lock.tsv", text);
    EXPECT_EQ(daily_already_played(kProfile, 2026278), 0);
    EXPECT_EQ(daily_reserve(), 1);
    daily_release();
    // A proper line after all that garbage, even with CR LF, is found.
    dir_.write("data/daily-lock.tsv", text + p + "\t2026278\r\n");
    EXPECT_EQ(daily_already_played(kProfile, 2026278), 1);
    EXPECT_EQ(daily_reserve(), 0);
}

TEST_F(DailyTest, AnUnwritableDailyLockFailsTheMarkAndKeepsTheReservation)
{
    ASSERT_EQ(daily_reserve(), 1);
    dir_.mkdir("data/daily-lock.tsv"); // a directory where the file should be
    EXPECT_EQ(daily_mark_played(), 0);
    EXPECT_FALSE(write_lock_held());
}
