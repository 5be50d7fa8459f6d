// InterBBS exchange: outbox lines to the byte, hostile leaderboards, and the
// sync worker started in the background -- a copy of this very test program
// stands in for the worker (see interbbs_test_worker below).
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

#include "interbbs.h"
#include "test_scores_worker.h"

namespace fs = std::filesystem;

/* Worker mode: when this program is started as the sync worker it finds
 * GRIMBY_TEST_WORKER_MARK in its environment, waits for the go file if one
 * is named, writes what it can see of itself into the mark file and ends
 * before any test runs. */
static void interbbs_test_write_mark(const char *mark)
{
    std::string info = "worker";
#ifndef _WIN32
    info += " pid=" + std::to_string(getpid()) + " sid=" + std::to_string(getsid(0)) + " fds=";
    if (DIR *d = opendir("/proc/self/fd")) {
        int own = dirfd(d);
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.' && atoi(e->d_name) != own) info += std::string(e->d_name) + ",";
        closedir(d);
    }
#endif
    std::string temp = std::string(mark) + ".part";
    if (FILE *f = fopen(temp.c_str(), "wb")) {
        fputs(info.c_str(), f);
        fclose(f);
        rename(temp.c_str(), mark);
    }
}

static int interbbs_test_worker = [] {
    const char *mark = getenv("GRIMBY_TEST_WORKER_MARK");
    if (!mark || !*mark) return 0;
    const char *started = getenv("GRIMBY_TEST_WORKER_STARTED");
    if (started && *started) {
        if (FILE *f = fopen(started, "wb")) fclose(f);
    }
    const char *go = getenv("GRIMBY_TEST_WORKER_GO");
    for (int i = 0; go && *go && i < 3000 && !fs::exists(go); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    interbbs_test_write_mark(mark);
    fflush(nullptr);
    _exit(0);
}();

TEST(InterbbsOutbox, SafeNameReplacesEveryUnsafeByteAndCutsAt32)
{
    char out[INTERBBS_NAME_MAX + 1];
    interbbs_safe_name(out, "Nigh\x82t\tJar\x7f~");
    EXPECT_STREQ(out, "Nigh_t_Jar_~");
    interbbs_safe_name(out, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    EXPECT_STREQ(out, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    interbbs_safe_name(out, "");
    EXPECT_STREQ(out, "");
}

TEST(InterbbsOutbox, LineIsExactWithTheTimeAsASigned32BitNumber)
{
    char line[256];
    int n = interbbs_outbox_line(line, sizeof line, "20261006", "Night\xe9Jar", 1234, 0, 1791288000, 1,
                                 "data/profile-00c0ffee12345678.tsv");
    EXPECT_STREQ(line, "grimby\t20261006\tNight_Jar\t1234\tstory\t1791288000-1-profile-00c0ffee12345678.tsv\n");
    EXPECT_EQ(n, (int)strlen(line));
    // After January 2038 the low 32 bits read as a negative number.
    interbbs_outbox_line(line, sizeof line, "20380120", "A", -3, 1, 2147483648LL + 5, 42, "data/p.tsv");
    EXPECT_STREQ(line, "grimby\t20380120\tA\t-3\tdaily\t-2147483643-42-p.tsv\n");
    EXPECT_EQ(interbbs_outbox_line(line, 20, "20261006", "A", 1, 0, 1, 1, "data/p.tsv"), -1);
}

TEST_F(InterbbsTest, QueuedLinesCarryTheProcessSequence)
{
    ASSERT_EQ(interbbs_queue("20261006", "NightJar", 10, 0, kProfile), 1);
    ASSERT_EQ(interbbs_queue("20261006", "NightJar", 20, 1, kProfile), 1);
    EXPECT_EQ(read("data/interbbs-outbox.tsv"),
              "grimby\t20261006\tNightJar\t10\tstory\t1791288000-1-profile-00c0ffee12345678.tsv\n"
              "grimby\t20261006\tNightJar\t20\tdaily\t1791288000-2-profile-00c0ffee12345678.tsv\n");
}

TEST(InterbbsBoard, RowsNeedAllThreeFields)
{
    interbbs_row r;
    ASSERT_EQ(interbbs_parse_row("Crow\tDARK HARBOR BBS\t9000", &r), 1);
    EXPECT_STREQ(r.player, "Crow");
    EXPECT_STREQ(r.bbs, "DARK HARBOR BBS");
    EXPECT_EQ(r.score, 9000);
    EXPECT_EQ(interbbs_parse_row("Crow\tBBS\t9000\t20261006\tmore", &r), 1); // later fields ignored
    const char *bad[] = {"Crow\tBBS", "Crow\t\t9000", "\tBBS\t9000", "Crow\tBBS\tnine",
                         "Crow\tBBS\t", "Crow\tBBS\t1e9", ""};
    for (const char *line : bad) EXPECT_EQ(interbbs_parse_row(line, &r), 0) << line;
    std::string long_name(48, 'x');
    EXPECT_EQ(interbbs_parse_row((long_name + "\tBBS\t1").c_str(), &r), 0);
    EXPECT_EQ(interbbs_parse_row(("Crow\t" + long_name + "\t1").c_str(), &r), 0);
    EXPECT_EQ(interbbs_parse_row((long_name.substr(1) + "\t" + long_name.substr(1) + "\t1").c_str(), &r), 1);
}

TEST_F(InterbbsTest, BoardsSkipBadLinesWithoutUsingUpRows)
{
    interbbs_row rows[8];
    EXPECT_EQ(interbbs_read_rows(INTERBBS_STORY_BOARD, rows, 8), -1);
    dir_.write("data/interbbs-story.tsv", "");
    EXPECT_EQ(interbbs_read_rows(INTERBBS_STORY_BOARD, rows, 8), 0);
    std::string text = "only\ttwo\n";
    text += std::string(4000, 'A') + "\tBBS\t1\n";
    text += std::string("nul\0led\tBBS\t5\n", 14);
    text += "first\tONE BBS\t300\n";
    text += "garbage line\n";
    text += "second\tTWO BBS\t200\r\n";
    text += "third\tTHREE BBS\t100";
    dir_.write("data/interbbs-story.tsv", text);
    ASSERT_EQ(interbbs_read_rows(INTERBBS_STORY_BOARD, rows, 2), 2);
    EXPECT_STREQ(rows[0].player, "first");
    EXPECT_STREQ(rows[1].player, "second");
    ASSERT_EQ(interbbs_read_rows(INTERBBS_STORY_BOARD, rows, 8), 3);
    EXPECT_STREQ(rows[2].bbs, "THREE BBS");
}

TEST_F(InterbbsTest, NoSettingsMeansNoWorker)
{
    install_worker();
    arm(false);
    interbbs_sync_background();
    // A started worker announces itself at once; give it ample time to.
    EXPECT_FALSE(wait_for(dir_.path("worker.started"), 2));
}

TEST_F(InterbbsTest, SharingOnWithoutAWorkerProgramIsSilent)
{
    dir_.write("hub/sync.json", "{}");
    arm(false);
    interbbs_sync_background();
    interbbs_sync_background();
    EXPECT_FALSE(wait_for(dir_.path("worker.started"), 1));
}

TEST_F(InterbbsTest, TheWorkerStartsInTheBackgroundAndIsNeverWaitedFor)
{
    install_worker();
    dir_.write("hub/sync.json", "{}");
    arm(true);
    // The worker holds until the go file exists: a start that waited for it
    // would never come back.
    interbbs_sync_background();
    ASSERT_TRUE(wait_for(dir_.path("worker.started"), 30));
    EXPECT_FALSE(fs::exists(mark_));
    dir_.write("go", "");
    ASSERT_TRUE(wait_for(mark_, 30));
    EXPECT_EQ(read("worker.mark").substr(0, 6), "worker");
}
