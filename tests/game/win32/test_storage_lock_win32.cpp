// The write lock between real Windows processes: this test program starts
// copies of itself as workers (the WriteLockWorkerWin32 case, which does
// nothing unless GRIMBY_LOCK_WORKER names a job) and ends some of them with
// TerminateProcess while they hold the lock.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ODPlat.h"
#include "storage.h"
#include "testdir.h"

namespace {

// GRIMBY_LOCK_WORKER = "<job> <count> <directory>".
HANDLE start_worker(const std::string &job, int count, const std::string &directory)
{
    char self[4096];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) return nullptr;
    std::string setting = job + " " + std::to_string(count) + " " + directory;
    std::string line = std::string("\"") + self + "\" --gtest_filter=WriteLockWorkerWin32.Job";
    SetEnvironmentVariableA("GRIMBY_LOCK_WORKER", setting.c_str());
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    BOOL started = CreateProcessA(self, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                                  &si, &pi);
    SetEnvironmentVariableA("GRIMBY_LOCK_WORKER", nullptr);
    if (!started) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

DWORD wait_worker(HANDLE process)
{
    DWORD code = 999;
    if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) TerminateProcess(process, 998);
    WaitForSingleObject(process, 5000);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

} // namespace

// The worker side. Jobs:
//   count N -- N times: take the lock, prove no one else is inside (a file
//              made only if new), bump a shared counter slowly, release
//   hold 0  -- takes the lock, says so in "holding", then waits to be ended
//   crash 0 -- takes the lock and ends itself holding it
TEST(WriteLockWorkerWin32, Job)
{
    const char *value = getenv("GRIMBY_LOCK_WORKER");
    if (!value) GTEST_SKIP() << "runs only as a worker of the lock tests";
    char job[32];
    int count = 0, used = 0;
    ASSERT_EQ(sscanf(value, "%31s %d %n", job, &count, &used), 2);
    ASSERT_TRUE(SetCurrentDirectoryA(value + used));
    if (strcmp(job, "count") == 0) {
        for (int i = 0; i < count; i++) {
            ASSERT_EQ(write_lock_take(), 1);
            HANDLE inside = CreateFileA("data\\inside", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(inside, INVALID_HANDLE_VALUE) << "two holders of the write lock at once";
            CloseHandle(inside);
            int n = atoi(TestReadFile("data\\counter").c_str());
            Sleep(3);
            TestWriteFile("data\\counter", std::to_string(n + 1));
            ASSERT_TRUE(DeleteFileA("data\\inside"));
            write_lock_release();
            Sleep(10);
        }
    } else if (strcmp(job, "hold") == 0) {
        ASSERT_EQ(write_lock_take(), 1);
        TestWriteFile("holding", "1");
        Sleep(INFINITE);
    } else if (strcmp(job, "crash") == 0) {
        ASSERT_EQ(write_lock_take(), 1);
        Sleep(2);
        TerminateProcess(GetCurrentProcess(), 9);
    }
}

TEST(WriteLockProcessesWin32, AHolderEndedHoldingTheLockIsClearedByTheNextSave)
{
    TestDir dir;
    dir.mkdir("data");
    ASSERT_TRUE(SetCurrentDirectoryA(dir.root().c_str()));
    HANDLE holder = start_worker("hold", 0, dir.root());
    ASSERT_NE(holder, nullptr);
    for (int i = 0; i < 1000 && !dir.exists("holding"); i++) Sleep(10);
    ASSERT_TRUE(dir.exists("holding"));

    // Alive, it is waited for.
    ODPlatClockUseVirtual(0, 0);
    EXPECT_EQ(write_lock_take(), 0);
    EXPECT_GE(ODPlatTickMs(), (uint64_t)WRITE_LOCK_WAIT_MS);

    TerminateProcess(holder, 9);
    EXPECT_EQ(wait_worker(holder), 9u);
    EXPECT_TRUE(dir.exists("data/.grimby-write.lock/owner"));
    uint64_t start = ODPlatTickMs();
    EXPECT_EQ(write_lock_take(), 1);
    EXPECT_LE(ODPlatTickMs() - start, (uint64_t)WRITE_LOCK_CHECK_MS + 10);
    write_lock_release();
    ODPlatClockUseReal();
    EXPECT_FALSE(dir.exists("data/.grimby-write.lock"));
    SetCurrentDirectoryA("\\");
}

TEST(WriteLockProcessesWin32, WritersRacingToClearDeadLocksNeverBothHoldIt)
{
    TestDir dir;
    dir.mkdir("data");
    dir.write("data/counter", "0");
    const int workers = 3, rounds = 10, crashes = 4;
    std::vector<HANDLE> counting;
    for (int i = 0; i < workers; i++) {
        HANDLE worker = start_worker("count", rounds, dir.root());
        ASSERT_NE(worker, nullptr);
        counting.push_back(worker);
    }
    for (int i = 0; i < crashes; i++) {
        HANDLE worker = start_worker("crash", 0, dir.root());
        ASSERT_NE(worker, nullptr);
        EXPECT_EQ(wait_worker(worker), 9u);
    }
    for (HANDLE worker : counting) EXPECT_EQ(wait_worker(worker), 0u);
    EXPECT_EQ(dir.read("data/counter"), std::to_string(workers * rounds));
    EXPECT_FALSE(dir.exists("data/inside"));
}
