// The write lock between real processes: this test program starts copies
// of itself as workers (the WriteLockWorker case, which does nothing unless
// GRIMBY_LOCK_WORKER names a job) and lets them contend for one lock.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ODPlat.h"
#include "storage.h"
#include "testdir.h"

extern char **environ;

namespace {

// GRIMBY_LOCK_WORKER = "<job> <directory> <count>".
struct WorkerJob {
    std::string job, directory;
    int count = 0;
};

bool worker_job(WorkerJob *out)
{
    const char *value = getenv("GRIMBY_LOCK_WORKER");
    if (!value) return false;
    char job[32], directory[1024];
    int count = 0;
    if (sscanf(value, "%31s %1023s %d", job, directory, &count) != 3) return false;
    out->job = job;
    out->directory = directory;
    out->count = count;
    return true;
}

pid_t start_worker(const std::string &job, const std::string &directory, int count)
{
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=WriteLockWorker.Job";
    std::string setting = "GRIMBY_LOCK_WORKER=" + job + " " + directory + " " + std::to_string(count);
    std::vector<char *> env;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "GRIMBY_LOCK_WORKER=", 19) != 0) env.push_back(*e);
    env.push_back(setting.data());
    env.push_back(nullptr);
    char *argv[] = {self.data(), filter.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, env.data()) != 0) return -1;
    return pid;
}

int wait_worker(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

} // namespace

// The lock as a node of an older release takes it: the bare directory,
// tried every 100 ms for about 10 s.
int legacy_take()
{
    for (int attempt = 0; attempt < 100; attempt++) {
        if (mkdir("data/.grimby-write.lock", 0777) == 0) return 1;
        if (errno != EEXIST) return 0;
        usleep(100000);
    }
    return 0;
}

// Inside the lock: prove no one else is, and bump a shared counter by a
// slow read-modify-write.
void count_one()
{
    int inside = open("data/inside", O_CREAT | O_EXCL | O_WRONLY, 0600);
    ASSERT_GE(inside, 0) << "two holders of the write lock at once";
    close(inside);
    int value = atoi(read_file("data/counter").c_str());
    usleep(3000);
    write_file("data/counter", std::to_string(value + 1));
    ASSERT_EQ(unlink("data/inside"), 0);
}

// The worker side. Jobs:
//   count N  -- N times: take the lock, count_one, release
//   legacy N -- the same with the older release's bare directory
//   try 0    -- one take on the virtual clock; writes 1 or 0 to "try-result"
//   hold 0   -- takes the lock, says so in "holding", then waits to be killed
//   crash 0  -- takes the lock and kills itself holding it
TEST(WriteLockWorker, Job)
{
    WorkerJob job;
    if (!worker_job(&job)) GTEST_SKIP() << "runs only as a worker of the lock tests";
    ASSERT_EQ(chdir(job.directory.c_str()), 0);
    if (job.job == "count" || job.job == "legacy") {
        bool legacy = job.job == "legacy";
        for (int i = 0; i < job.count; i++) {
            ASSERT_EQ(legacy ? legacy_take() : write_lock_take(), 1);
            count_one();
            if (::testing::Test::HasFatalFailure()) return;
            if (legacy) ASSERT_EQ(rmdir("data/.grimby-write.lock"), 0);
            else write_lock_release();
            usleep(10000); // a node does other work between writes
        }
    } else if (job.job == "crash") {
        ASSERT_EQ(write_lock_take(), 1);
        usleep(2000);
        raise(SIGKILL);
    } else if (job.job == "try") {
        ODPlatClockUseVirtual(0, 0);
        int taken = write_lock_take();
        write_file("try-result", taken ? "1" : "0");
        if (taken) write_lock_release();
    } else if (job.job == "hold") {
        ASSERT_EQ(write_lock_take(), 1);
        write_file("holding", "1");
        for (;;) pause();
    }
}

// Among them one node of an older release: it waits for ours, and ours
// wait for its short holds instead of clearing them.
TEST(WriteLockProcesses, ContendingWritersNeverOverlapAndLoseNothing)
{
    TestDir dir;
    dir.mkdir("data");
    dir.write("data/counter", "0");
    const int workers = 4, rounds = 12;
    std::vector<pid_t> pids;
    for (int i = 0; i < workers; i++) {
        pid_t pid = start_worker(i == 0 ? "legacy" : "count", dir.root(), rounds);
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    for (pid_t pid : pids) EXPECT_EQ(wait_worker(pid), 0);
    EXPECT_EQ(dir.read("data/counter"), std::to_string(workers * rounds));
    EXPECT_FALSE(dir.exists("data/.grimby-write.lock"));
    EXPECT_FALSE(dir.exists("data/inside"));
}

TEST(WriteLockProcesses, AnotherProcessWaitsForOurLockAndGetsItAfterRelease)
{
    TestDir dir;
    dir.mkdir("data");
    ASSERT_EQ(chdir(dir.root().c_str()), 0);
    ASSERT_EQ(write_lock_take(), 1);
    pid_t pid = start_worker("try", dir.root(), 0);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_worker(pid), 0);
    EXPECT_EQ(dir.read("try-result"), "0");
    write_lock_release();
    pid = start_worker("try", dir.root(), 0);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(wait_worker(pid), 0);
    EXPECT_EQ(dir.read("try-result"), "1");
    EXPECT_FALSE(dir.exists("data/.grimby-write.lock"));
}

TEST(WriteLockProcesses, AHolderKilledHoldingTheLockIsClearedByTheNextSave)
{
    TestDir dir;
    dir.mkdir("data");
    ASSERT_EQ(chdir(dir.root().c_str()), 0);
    pid_t pid = start_worker("hold", dir.root(), 0);
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 1000 && !dir.exists("holding"); i++) usleep(10000);
    ASSERT_TRUE(dir.exists("holding"));
    kill(pid, SIGKILL);
    EXPECT_EQ(wait_worker(pid), 128 + SIGKILL);
    EXPECT_TRUE(dir.exists("data/.grimby-write.lock/owner"));

    ODPlatClockUseVirtual(0, 0);
    EXPECT_EQ(write_lock_take(), 1);
    EXPECT_LE(ODPlatTickMs(), (uint64_t)WRITE_LOCK_CHECK_MS + 10);
    write_lock_release();
    EXPECT_FALSE(dir.exists("data/.grimby-write.lock"));
    ODPlatClockUseReal();
}

// Nodes killed one after another while holding the lock, with writers
// waiting each time: they race to clear every dead lock, and still never
// two hold it at once, and none gives up.
TEST(WriteLockProcesses, WritersRacingToClearDeadLocksNeverBothHoldIt)
{
    TestDir dir;
    dir.mkdir("data");
    dir.write("data/counter", "0");
    ASSERT_EQ(chdir(dir.root().c_str()), 0);
    const int workers = 4, rounds = 15, crashes = 8;
    std::vector<pid_t> pids;
    for (int i = 0; i < workers; i++) {
        pid_t pid = start_worker("count", dir.root(), rounds);
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    for (int i = 0; i < crashes; i++) {
        pid_t pid = start_worker("crash", dir.root(), 0);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(wait_worker(pid), 128 + SIGKILL);
    }
    for (pid_t pid : pids) EXPECT_EQ(wait_worker(pid), 0);
    EXPECT_EQ(dir.read("data/counter"), std::to_string(workers * rounds));
    ODPlatClockUseVirtual(0, 0); // the last crash may have left one
    EXPECT_EQ(write_lock_take(), 1);
    write_lock_release();
    ODPlatClockUseReal();
    EXPECT_FALSE(dir.exists("data/.grimby-write.lock"));
    EXPECT_FALSE(dir.exists("data/inside"));
}
