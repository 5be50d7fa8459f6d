// Platform layer: checked arithmetic, strings, names, files, directory
// scans, semaphores and the switchable clock.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>

#include "ODPlat.h"
#include "ODSafe.h"
#include "ODUtil.h"
#include "testdir.h"

TEST(SafeArithmetic, AddAndMultiplyFailInsteadOfWrapping)
{
    size_t out = 7;
    EXPECT_FALSE(ODSizeAdd(SIZE_MAX, 1, &out));
    EXPECT_EQ(out, 7u);
    EXPECT_TRUE(ODSizeAdd(SIZE_MAX - 1, 1, &out));
    EXPECT_EQ(out, SIZE_MAX);
    EXPECT_FALSE(ODSizeAdd(1, 1, nullptr));
    EXPECT_TRUE(ODSizeMultiply(0, SIZE_MAX, &out));
    EXPECT_EQ(out, 0u);
    EXPECT_FALSE(ODSizeMultiply(SIZE_MAX / 2 + 1, 2, &out));
    EXPECT_FALSE(ODSizeMultiply(2, 2, nullptr));
}

TEST(SafeArithmetic, DivisionByZeroWritesNothing)
{
    uint32_t q = 99, r = 99;
    EXPECT_FALSE(ODDWordDivide(&q, &r, 10, 0));
    EXPECT_EQ(q, 99u);
    EXPECT_EQ(r, 99u);
    EXPECT_TRUE(ODDWordDivide(&q, nullptr, 17, 5));
    EXPECT_EQ(q, 3u);
    EXPECT_TRUE(ODDWordDivide(nullptr, &r, 17, 5));
    EXPECT_EQ(r, 2u);
}

TEST(Strings, CopyAlwaysTerminatesAndPascalRoundTrips)
{
    char small[4];
    ODStringCopy(small, "abcdef", sizeof small);
    EXPECT_STREQ(small, "abc");
    char pascal[16];
    ODStringCToPascal(pascal, 5, "abcdefgh");
    EXPECT_EQ(pascal[0], 5);
    char back[16];
    ODStringPascalToC(back, pascal, 10);
    EXPECT_STREQ(back, "abcde");
    char twelve[14] = {12, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l'};
    ODStringPascalToC(back, twelve, 10);
    EXPECT_STREQ(back, "");
    EXPECT_TRUE(ODStringHasTail("C:\\BBS\\DOOR.SYS", "door.sys"));
    EXPECT_FALSE(ODStringHasTail("SYS", "DOOR.SYS"));
}

TEST(Strings, WorkStringAppendStopsAtAFullBuffer)
{
    strcpy(szODWorkString, "World");
    char buffer[8] = "Hi ";
    safe_strcat(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Hi Worl");
    safe_strcat(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Hi Worl");
    safe_strcpy(buffer, 3);
    EXPECT_STREQ(buffer, "Wo");
}

TEST(Filenames, MakeFilenameJoinsWithThePlatformSeparator)
{
    char out[64];
    std::string dir = std::string("DOORS") + OD_PATH_SEP;
    ASSERT_EQ(ODMakeFilename(out, dir.c_str(), "X.LOG", sizeof out), ODPLAT_OK);
    EXPECT_EQ(std::string(out), dir + "X.LOG");
    ASSERT_EQ(ODMakeFilename(out, "DOORS", "X.LOG", sizeof out), ODPLAT_OK);
    EXPECT_EQ(std::string(out), dir + "X.LOG");
    ASSERT_EQ(ODMakeFilename(out, "", "X.LOG", sizeof out), ODPLAT_OK);
    EXPECT_STREQ(out, "X.LOG");
    strcpy(out, "untouched");
    EXPECT_EQ(ODMakeFilename(out, "DOORS", "X.LOG", strlen("DOORS/X.LOG")), ODPLAT_NOFIT);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(ODMakeFilename(out, "DOORS", "X.LOG", strlen("DOORS/X.LOG") + 1), ODPLAT_OK);
}

TEST(Files, AccessModeAndSize)
{
    TestDir dir;
    std::string missing = dir.path("missing.txt");
    for (int mode : {0, 2, 4, 6}) EXPECT_EQ(ODFileAccessMode(missing.c_str(), mode), ODPLAT_FAIL);
    std::string present = dir.write("present.txt", "twelve bytes");
    for (int mode : {0, 2, 4, 6}) EXPECT_EQ(ODFileAccessMode(present.c_str(), mode), ODPLAT_OK);
    FILE *f = fopen(present.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    fseek(f, 3, SEEK_SET);
    EXPECT_EQ(ODFileSize(f), 12);
    EXPECT_EQ(ftell(f), 3);
    fclose(f);
}

TEST(Files, DirectoryScanMatchesPatternsAndAttributes)
{
    TestDir dir;
    dir.write("DOOR.SYS", "1\r\n");
    dir.write("dorinfo1.def", "x\r\n");
    dir.mkdir("sub");
    tODDirHandle scan;
    // Letter case does not matter, as on Windows.
    ASSERT_EQ(ODDirOpen(dir.path("door.sys").c_str(), OD_ATTR_ARCHIVE | OD_ATTR_READONLY, &scan), ODPLAT_OK);
    tODDirEntry entry;
    ASSERT_EQ(ODDirRead(scan, &entry), ODPLAT_OK);
    EXPECT_EQ(entry.dwFileSize, 3u);
    EXPECT_EQ(ODDirRead(scan, &entry), ODPLAT_NOMORE);
    ODDirClose(scan);

    // Directories only come when asked for.
    int files = 0, dirs = 0;
    ASSERT_EQ(ODDirOpen(dir.path("*").c_str(), 0, &scan), ODPLAT_OK);
    while (ODDirRead(scan, &entry) == ODPLAT_OK) files++;
    ODDirClose(scan);
    ASSERT_EQ(ODDirOpen(dir.path("*").c_str(), OD_ATTR_DIRECTORY, &scan), ODPLAT_OK);
    while (ODDirRead(scan, &entry) == ODPLAT_OK)
        if (entry.wAttributes & OD_ATTR_DIRECTORY) dirs++;
    ODDirClose(scan);
    EXPECT_EQ(files, 2);
    EXPECT_EQ(dirs, 1);

    EXPECT_EQ(ODDirOpen(dir.path("*.none").c_str(), 0, &scan), ODPLAT_NOTFOUND);
    std::string huge(5000, 'a');
    EXPECT_NE(ODDirOpen(huge.c_str(), 0, &scan), ODPLAT_OK);
}

TEST(Clock, VirtualTimeAdvancesOnlyWhenTheKitWaits)
{
    ODPlatClockUseVirtual(1000, 1700000000);
    EXPECT_EQ(ODPlatTickMs(), 1000u);
    ODPlatSleepMs(60000);
    EXPECT_EQ(ODPlatTickMs(), 61000u);
    EXPECT_EQ(ODPlatWallSeconds(), 1700000060);

    tODSemaphoreHandle sem;
    ASSERT_EQ(ODSemaphoreAlloc(&sem, 0, 4), ODPLAT_OK);
    EXPECT_EQ(ODSemaphoreDown(sem, 250), ODPLAT_TIMEOUT);
    EXPECT_EQ(ODPlatTickMs(), 61250u);
    ODSemaphoreUp(sem, 1);
    EXPECT_EQ(ODSemaphoreDown(sem, 250), ODPLAT_OK);
    EXPECT_EQ(ODPlatTickMs(), 61250u);
    ODSemaphoreFree(sem);
    ODPlatClockUseReal();
    EXPECT_FALSE(ODPlatClockIsVirtual());
}

namespace {
struct Handoff {
    tODSemaphoreHandle ready;
    tODMutex lock;
    std::atomic<int> value{0};
};

void Producer(void *raw)
{
    Handoff *h = static_cast<Handoff *>(raw);
    ODMutexLock(h->lock);
    ODMutexLock(h->lock);  // recursive
    h->value = 42;
    ODMutexUnlock(h->lock);
    ODMutexUnlock(h->lock);
    ODSemaphoreUp(h->ready, 1);
}
}  // namespace

TEST(Threads, SemaphoreWakesAWaiterFromAnotherThread)
{
    Handoff h;
    ASSERT_EQ(ODSemaphoreAlloc(&h.ready, 0, 1), ODPLAT_OK);
    ASSERT_EQ(ODMutexInitialize(&h.lock), ODPLAT_OK);
    tODThreadHandle thread;
    ASSERT_EQ(ODThreadCreate(&thread, Producer, &h), ODPLAT_OK);
    EXPECT_EQ(ODSemaphoreDown(h.ready, 5000), ODPLAT_OK);
    ODThreadWaitForExit(thread);
    EXPECT_EQ(h.value.load(), 42);
    // A release past the maximum releases nothing.
    ODSemaphoreUp(h.ready, 1);
    ODSemaphoreUp(h.ready, 1);
    EXPECT_EQ(ODSemaphoreDown(h.ready, 0), ODPLAT_OK);
    EXPECT_EQ(ODSemaphoreDown(h.ready, 0), ODPLAT_TIMEOUT);
    ODMutexDestroy(h.lock);
    ODSemaphoreFree(h.ready);
}

TEST(Platform, RandomBytesAndProgramDirectory)
{
    unsigned char a[32] = {}, b[32] = {};
    ASSERT_TRUE(ODPlatRandomBytes(a, sizeof a));
    ASSERT_TRUE(ODPlatRandomBytes(b, sizeof b));
    EXPECT_NE(memcmp(a, b, sizeof a), 0);
    char dir[1024];
    ASSERT_EQ(ODPlatProgramDirectory(dir, sizeof dir), ODPLAT_OK);
    EXPECT_GT(strlen(dir), 0u);
    EXPECT_NE(dir[strlen(dir) - 1], OD_PATH_SEP);
}
