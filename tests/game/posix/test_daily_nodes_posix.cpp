// The daily across nodes: real processes for one caller and one day, and
// exactly one of them gets to play it.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "../test_scores_fixture.h"
#include "result.h"
#include "test_scores_nodes.h"

namespace {

using DailyNodesTest = DoorDirTest;

int count_of(const std::vector<int> &codes, int value)
{
    return (int)std::count(codes.begin(), codes.end(), value);
}

} // namespace

TEST_F(DailyNodesTest, TwoNodesOneCallerOneDaily)
{
    for (int round = 0; round < 10; round++) {
        auto codes = run_nodes(2, [](int) { return daily_reserve(); });
        ASSERT_EQ(codes.size(), 2u);
        EXPECT_EQ(count_of(codes, 1), 1) << "round " << round;
        EXPECT_EQ(count_of(codes, 0), 1) << "round " << round;
        ASSERT_TRUE(exists("data/profile-00c0ffee12345678-2026278.running"));
        ASSERT_TRUE(std::filesystem::remove(dir_.path("data/profile-00c0ffee12345678-2026278.running")));
        EXPECT_FALSE(exists("data/.grimby-write.lock"));
    }
}

TEST_F(DailyNodesTest, ACrowdOfNodesStillGivesOneDaily)
{
    auto codes = run_nodes(12, [](int) { return daily_reserve(); });
    EXPECT_EQ(count_of(codes, 1), 1);
    EXPECT_EQ(count_of(codes, 0), 11);
}

TEST_F(DailyNodesTest, FinishedOnOneNodeRefusedOnAnotherUntilTomorrow)
{
    // Node A plays the daily to the end while B knocks before and after.
    auto a = run_nodes(1, [](int) {
        if (!daily_reserve()) return 10;
        return save_result(1) == RESULT_SAVED ? 0 : 11;
    });
    ASSERT_EQ(a[0], 0);
    auto b = run_nodes(1, [](int) { return daily_reserve(); });
    EXPECT_EQ(b[0], 0);
    EXPECT_EQ(lines("data/daily.tsv").size(), 1u);
    // After midnight UTC the stamp moves on and the caller is let in.
    auto tomorrow = run_nodes(1, [](int) {
        season_stamp = 2026279;
        season_day = 7;
        return daily_reserve();
    });
    EXPECT_EQ(tomorrow[0], 1);
}

TEST_F(DailyNodesTest, AbandonedOnOneNodePlayableOnAnother)
{
    auto a = run_nodes(1, [](int) {
        if (!daily_reserve()) return 10;
        daily_release();
        return 0;
    });
    ASSERT_EQ(a[0], 0);
    EXPECT_FALSE(exists("data/profile-00c0ffee12345678-2026278.running"));
    EXPECT_FALSE(exists("data/daily-lock.tsv"));
    auto b = run_nodes(1, [](int) { return daily_reserve(); });
    EXPECT_EQ(b[0], 1);
}

TEST_F(DailyNodesTest, NodesRacingToFinishAndStartNeverLetTheDayTwice)
{
    // One node finishes the daily while others keep trying to start it: none
    // of them may slip in between the mark and the release.
    ASSERT_EQ(daily_reserve(), 1); // held by "node zero", this process
    auto codes = run_nodes(6, [](int i) {
        if (i == 0) {
            daily_reserved = 1; // the reservation taken above, inherited
            return save_result(1) == RESULT_SAVED ? 0 : 11;
        }
        int got = 0;
        for (int attempt = 0; attempt < 15; attempt++) {
            if (daily_reserve()) got++;
            ODPlatSleepMs(7);
        }
        return got;
    });
    EXPECT_EQ(codes[0], 0);
    for (size_t i = 1; i < codes.size(); i++) EXPECT_EQ(codes[i], 0) << i;
    daily_reserved = 0;
}
