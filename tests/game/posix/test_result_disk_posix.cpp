// Recording on a full disk, past a file size limit and into a read-only data
// directory: the failure is reported and nothing already saved is harmed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "../test_scores_fixture.h"
#include "result.h"
#include "test_scores_nodes.h"

namespace fs = std::filesystem;

namespace {

using ResultDiskTest = DoorDirTest;

const std::string kOld = "20261001\tOld\t50\t2\t0\n20261002\tOlder\t40\t1\t0\n";

} // namespace

TEST_F(ResultDiskTest, AFullDiskFailsTheScoreLine)
{
    fs::create_symlink("/dev/full", dir_.path("data/story.tsv"));
    EXPECT_EQ(save_result(0), RESULT_FAILED);
    EXPECT_FALSE(exists("data/interbbs-outbox.tsv"));
    EXPECT_FALSE(exists("data/.grimby-write.lock"));
}

TEST_F(ResultDiskTest, AFullDiskUnderTheOutboxOrTheDailyMarkOnlyWarns)
{
    fs::create_symlink("/dev/full", dir_.path("data/interbbs-outbox.tsv"));
    EXPECT_EQ(save_result(0), RESULT_WARNING);
    EXPECT_EQ(lines("data/story.tsv").size(), 1u);

    fs::create_symlink("/dev/full", dir_.path("data/daily-lock.tsv"));
    ASSERT_EQ(daily_reserve(), 1);
    EXPECT_EQ(save_result(1), RESULT_WARNING);
    EXPECT_EQ(daily_reserved, 1); // kept: the day cannot be started again
    EXPECT_EQ(daily_reserve(), 0);
}

TEST_F(ResultDiskTest, ARecordCutShortIsTakenBackOff)
{
    dir_.write("data/story.tsv", kOld);
    // The file may grow by ten bytes only: the write stops mid-record.
    auto codes = run_nodes(1, [](int) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {(rlim_t)kOld.size() + 10, (rlim_t)kOld.size() + 10};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 9;
        return save_result(0);
    });
    EXPECT_EQ(codes[0], RESULT_FAILED);
    EXPECT_EQ(read("data/story.tsv"), kOld);
    EXPECT_FALSE(exists("data/interbbs-outbox.tsv"));
    EXPECT_FALSE(exists("data/.grimby-write.lock"));

    // The same for the outbox: the score line stands, the outbox keeps its
    // old lines and only those.
    std::string outbox(300, 'o');
    outbox = "grimby\t" + outbox + "\n";
    dir_.write("data/interbbs-outbox.tsv", outbox);
    auto again = run_nodes(1, [&](int) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {(rlim_t)outbox.size() + 10, (rlim_t)outbox.size() + 10};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 9;
        return save_result(0);
    });
    EXPECT_EQ(again[0], RESULT_WARNING);
    EXPECT_EQ(read("data/interbbs-outbox.tsv"), outbox);
    EXPECT_EQ(lines("data/story.tsv").back(), "20261006\tNightJar\t1234\t5\t0");
}

TEST_F(ResultDiskTest, AReadOnlyDataDirectoryFailsAndChangesNothing)
{
    dir_.write("data/story.tsv", kOld);
    dir_.write("data/daily-lock.tsv", "");
    ASSERT_EQ(chmod(dir_.path("data/story.tsv").c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir_.path("data/daily-lock.tsv").c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir_.path("data").c_str(), 0555), 0);
    // The superuser writes through any mode: the node runs as nobody.
    auto codes = run_nodes(1, [](int) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 9;
        int reserved = daily_reserve();
        int saved = save_result(0);
        return reserved * 10 + saved;
    });
    chmod(dir_.path("data").c_str(), 0755);
    EXPECT_EQ(codes[0], RESULT_FAILED);
    EXPECT_EQ(read("data/story.tsv"), kOld);
    EXPECT_FALSE(exists("data/interbbs-outbox.tsv"));
    EXPECT_FALSE(exists("highscores.ans"));
}
