// Recording a result: what lands in each file, the order of the failures and
// which of them only lower the result to a warning.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "interbbs.h"
#include "result.h"
#include "scores.h"
#include "scores_io.h"
#include "test_scores_fixture.h"

namespace {

using ResultTest = DoorDirTest;

std::string outbox_story_line(int sequence)
{
    return "grimby\t20261006\tNightJar\t1234\tstory\t1791288000-" + std::to_string(sequence) +
           "-profile-00c0ffee12345678.tsv\n";
}

} // namespace

TEST_F(ResultTest, AStoryResultReachesTableOutboxAndBulletins)
{
    ASSERT_EQ(save_result(0), RESULT_SAVED);
    EXPECT_EQ(read("data/story.tsv"), "20261006\tNightJar\t1234\t5\t0\n");
    EXPECT_EQ(read("data/interbbs-outbox.tsv"), outbox_story_line(1));
    EXPECT_NE(read("highscores.asc").find(" 1. NightJar                     1234 STAGE 5"),
              std::string::npos);
    EXPECT_TRUE(exists("daily-highscores.ans"));
    EXPECT_FALSE(exists("data/daily-lock.tsv"));
    EXPECT_FALSE(write_lock_held());
    EXPECT_FALSE(exists("data/.grimby-write.lock"));

    // A second result of the same process carries sequence number 2.
    score = 99;
    level = 7;
    ASSERT_EQ(save_result(0), RESULT_SAVED);
    EXPECT_EQ(lines("data/story.tsv").back(), "20261006\tNightJar\t99\t8\t0");
    EXPECT_NE(read("data/interbbs-outbox.tsv").find("\t99\tstory\t1791288000-2-profile-"), std::string::npos);
}

TEST_F(ResultTest, AHighByteStaysInTheTableButNotInTheOutbox)
{
    strcpy(player, "Caf\x82 Crow");
    ASSERT_EQ(save_result(0), RESULT_SAVED);
    EXPECT_EQ(read("data/story.tsv"), "20261006\tCaf\x82 Crow\t1234\t5\t0\n");
    EXPECT_NE(read("data/interbbs-outbox.tsv").find("\tCaf_ Crow\t"), std::string::npos);
}

TEST_F(ResultTest, ADailyIsMarkedAndItsReservationGivenBack)
{
    ASSERT_EQ(daily_reserve(), 1);
    std::string reservation = daily_reservation;
    ASSERT_EQ(save_result(1), RESULT_SAVED);
    EXPECT_EQ(read("data/daily.tsv"), "20261006\tNightJar\t1234\t5\t1\n");
    EXPECT_NE(read("data/interbbs-outbox.tsv").find("\t1234\tdaily\t"), std::string::npos);
    EXPECT_EQ(read("data/daily-lock.tsv"), std::string(kProfile) + "\t2026278\n");
    EXPECT_FALSE(exists(reservation));
    EXPECT_EQ(daily_reserved, 0);
    EXPECT_EQ(daily_reserve(), 0); // played today
}

TEST_F(ResultTest, NoStorageSavesNothing)
{
    storage_ok = 0;
    EXPECT_EQ(save_result(0), RESULT_FAILED);
    EXPECT_FALSE(exists("data/story.tsv"));
    EXPECT_FALSE(exists("data/interbbs-outbox.tsv"));
}

TEST_F(ResultTest, ALockHeldByAnotherNodeFailsAfterTheBoundedWait)
{
    dir_.mkdir("data/.grimby-write.lock");
    storage_hold owner; // the other node, alive: its owner file held
    ASSERT_EQ(storage_hold_create(STORAGE_WRITE_OWNER, "", &owner), 1);
    uint64_t start = ODPlatTickMs();
    EXPECT_EQ(save_result(0), RESULT_FAILED);
    EXPECT_GE(ODPlatTickMs() - start, (uint64_t)WRITE_LOCK_WAIT_MS);
    EXPECT_FALSE(exists("data/story.tsv"));
    EXPECT_FALSE(exists("data/interbbs-outbox.tsv"));
    EXPECT_TRUE(exists("data/.grimby-write.lock"));
    storage_hold_close(owner);
}

TEST_F(ResultTest, AnUnwritableScoreFileIsAFailureAndQueuesNothing)
{
    dir_.mkdir("data/story.tsv");
    EXPECT_EQ(save_result(0), RESULT_FAILED);
    EXPECT_FALSE(exists("data/interbbs-outbox.tsv"));
    EXPECT_FALSE(write_lock_held());
    EXPECT_FALSE(exists("data/.grimby-write.lock"));
}

TEST_F(ResultTest, AnUnwritableOutboxOnlyWarns)
{
    dir_.mkdir("data/interbbs-outbox.tsv");
    EXPECT_EQ(save_result(0), RESULT_WARNING);
    EXPECT_EQ(read("data/story.tsv"), "20261006\tNightJar\t1234\t5\t0\n");
    EXPECT_TRUE(exists("highscores.ans")); // the bulletins still follow
    EXPECT_FALSE(exists("data/.grimby-write.lock"));
}

TEST_F(ResultTest, AFailedBulletinOnlyWarns)
{
    dir_.mkdir("daily-highscores.ans.tmp");
    EXPECT_EQ(save_result(0), RESULT_WARNING);
    EXPECT_EQ(lines("data/story.tsv").size(), 1u);
    EXPECT_EQ(lines("data/interbbs-outbox.tsv").size(), 1u);
}

TEST_F(ResultTest, AnUnwritableDailyLockWarnsAndKeepsTheCallerOutForTheDay)
{
    ASSERT_EQ(daily_reserve(), 1);
    std::string reservation = daily_reservation;
    dir_.mkdir("data/daily-lock.tsv");
    EXPECT_EQ(save_result(1), RESULT_WARNING);
    EXPECT_EQ(lines("data/daily.tsv").size(), 1u);
    EXPECT_TRUE(exists(reservation));
    EXPECT_EQ(daily_reserved, 1);
    EXPECT_EQ(daily_reserve(), 0);
    EXPECT_FALSE(exists("data/.grimby-write.lock"));
    // After midnight UTC the same visit may play the new day.
    season_stamp = 2026279;
    EXPECT_EQ(daily_reserve(), 1);
    EXPECT_TRUE(exists(reservation)); // the old day stays barred
}

TEST_F(ResultTest, ADailyAlreadyMarkedIsNotMarkedTwice)
{
    dir_.write("data/daily-lock.tsv", std::string(kProfile) + "\t2026278\n");
    daily_reserved = 0;
    EXPECT_EQ(save_result(1), RESULT_SAVED);
    EXPECT_EQ(lines("data/daily-lock.tsv").size(), 1u);
}

TEST_F(ResultTest, AppendsNeverGlueOntoATornLine)
{
    // A line cut short by an earlier crash: ours still starts a line of its own
    // and the torn one is left as it was, to be skipped by every reader.
    dir_.write("data/story.tsv", "20261001\tOld\t50\t2\t0\n20261002\tTor");
    ASSERT_EQ(save_result(0), RESULT_SAVED);
    EXPECT_EQ(read("data/story.tsv"),
              "20261001\tOld\t50\t2\t0\n20261002\tTor\n20261006\tNightJar\t1234\t5\t0\n");
    static score_entry e[SCORE_TABLE_MAX];
    ASSERT_EQ(read_scores(e, 0), 2);
    EXPECT_STREQ(e[0].name, "NightJar");
}

TEST_F(ResultTest, AnEmptyOrControlLadenHandleCannotBreakTheLine)
{
    player[0] = 0;
    ASSERT_EQ(save_result(0), RESULT_SAVED);
    strcpy(player, "Tab\tNew\nLine");
    ASSERT_EQ(save_result(0), RESULT_SAVED);
    auto rows = lines("data/story.tsv");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], "20261006\tTRAVELER\t1234\t5\t0");
    EXPECT_EQ(rows[1], "20261006\tTab_New_Line\t1234\t5\t0");
}

TEST(ResultAppend, RefusesWhatCannotBeOneRecord)
{
    EXPECT_EQ(tsv_append(nullptr, "x\n", 2), 0);
    EXPECT_EQ(tsv_append("x", "", 0), 0);
    std::string huge(TSV_LINE_MAX + 1, 'x');
    EXPECT_EQ(tsv_append("x", huge.c_str(), huge.size()), 0);
}
