// Storage: the data directory, the "grimby.json" scan with friendly and
// hostile files, and the write lock on the virtual clock.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "ODPlat.h"
#include "storage.h"
#include "testdir.h"

namespace {

// Runs each case inside a fresh directory with the defaults restored.
class StorageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char here[2048];
        ASSERT_EQ(ODDirGetCurrent(here, sizeof here), ODPLAT_OK);
        saved_ = here;
        ASSERT_EQ(ODDirChangeCurrent(dir_.root().c_str()), ODPLAT_OK);
        storage_ok = 0;
        interbbs_enabled = 0;
        strcpy(bbs_name, "Q-ORB ONLINE");
    }
    void TearDown() override
    {
        while (write_lock_held()) write_lock_release();
        ODDirChangeCurrent(saved_.c_str());
    }
    void config(const std::string &text)
    {
        dir_.write("grimby.json", text);
        load_config();
    }
    TestDir dir_;
    std::string saved_;
};

} // namespace

TEST_F(StorageTest, PrepareMakesTheDataDirectoryAndAcceptsAnExistingOne)
{
    EXPECT_EQ(storage_prepare(dir_.root().c_str()), 1);
    EXPECT_EQ(storage_ok, 1);
    EXPECT_TRUE(std::filesystem::is_directory(dir_.path("data")));
    storage_ok = 0;
    EXPECT_EQ(storage_prepare(nullptr), 1);
    EXPECT_EQ(storage_ok, 1);
}

TEST_F(StorageTest, AFileNamedDataIsNotAStorageDirectory)
{
    dir_.write("data", "not a directory");
    EXPECT_EQ(storage_prepare(nullptr), 0);
    EXPECT_EQ(storage_ok, 0);
}

TEST_F(StorageTest, AMissingDirectoryLeavesStorageOffAndTheWorkingDirectoryAlone)
{
    storage_ok = 1;
    EXPECT_EQ(storage_prepare(dir_.path("nowhere/at/all").c_str()), 0);
    EXPECT_EQ(storage_ok, 0);
    EXPECT_FALSE(dir_.exists("nowhere"));
    char here[2048];
    ASSERT_EQ(ODDirGetCurrent(here, sizeof here), ODPLAT_OK);
    EXPECT_TRUE(std::filesystem::equivalent(here, dir_.root()));
}

TEST_F(StorageTest, InitStorageWorksFromTheProgramsDirectory)
{
    char program[2048];
    ASSERT_EQ(ODPlatProgramDirectory(program, sizeof program), ODPLAT_OK);
    bool had_data = std::filesystem::exists(std::string(program) + "/data");
    init_storage();
    EXPECT_EQ(storage_ok, 1);
    char here[2048];
    ASSERT_EQ(ODDirGetCurrent(here, sizeof here), ODPLAT_OK);
    EXPECT_TRUE(std::filesystem::equivalent(here, program));
    EXPECT_TRUE(std::filesystem::is_directory("data"));
    if (!had_data) storage_remove_dir("data");
}

TEST_F(StorageTest, ScoreSharingReadsTrueAndFalseWithOrWithoutBlanks)
{
    config("{ \"score_sharing\": { \"enabled\":true } }");
    EXPECT_EQ(interbbs_enabled, 1);
    config("{ \"score_sharing\": {\n  \"enabled\": false\n } }");
    EXPECT_EQ(interbbs_enabled, 0);
    config("{\"score_sharing\":{\"enabled\" :\r\n\t true}}");
    EXPECT_EQ(interbbs_enabled, 1);
    config("{\"score_sharing\":{\"enabled\": \"true\"}}"); // a string is not true
    EXPECT_EQ(interbbs_enabled, 0);
}

TEST_F(StorageTest, EnabledBeforeScoreSharingIsNotTakenForIt)
{
    interbbs_enabled = 0;
    config("{\"chat\":{\"enabled\": true}, \"score_sharing\": {}}");
    EXPECT_EQ(interbbs_enabled, 0);
    interbbs_enabled = 1;
    config("{\"enabled\": false, \"score_sharing\": {\"url\": \"x\"}}");
    EXPECT_EQ(interbbs_enabled, 1); // nothing after the key: the value stands
}

TEST_F(StorageTest, BbsNameKeepsTheDefaultUnlessItFits)
{
    config("{\"bbs_name\": \"\"}");
    EXPECT_STREQ(bbs_name, "Q-ORB ONLINE");
    config("{\"bbs_name\": \"" + std::string(64, 'N') + "\"}");
    EXPECT_STREQ(bbs_name, "Q-ORB ONLINE");
    config("{\"bbs_name\": \"" + std::string(63, 'M') + "\"}");
    EXPECT_EQ(std::string(bbs_name), std::string(63, 'M'));
    config("{\"bbs_name\":\"The \\\"Pit\\\"\"}"); // no escapes: the value ends at the first quote
    EXPECT_STREQ(bbs_name, "The \\");
}

TEST_F(StorageTest, BbsNameRefusesUnterminatedAndControlBytes)
{
    config("{\"bbs_name\": \"Runaway");
    EXPECT_STREQ(bbs_name, "Q-ORB ONLINE");
    config("{\"bbs_name\": \"Evil\x1b[2J\"}");
    EXPECT_STREQ(bbs_name, "Q-ORB ONLINE");
    config("{\"bbs_name\": \"Tab\there\"}");
    EXPECT_STREQ(bbs_name, "Q-ORB ONLINE");
    config("{\"bbs_name\": \"\xC9\xCD Grim \xCD\xBB\"}"); // CP437 box bytes are welcome
    EXPECT_STREQ(bbs_name, "\xC9\xCD Grim \xCD\xBB");
    config("{\"bbs_name\"");
    config("{\"bbs_name\":");
    config("\"bbs_name\" : \"");
    EXPECT_STREQ(bbs_name, "\xC9\xCD Grim \xCD\xBB");
}

TEST_F(StorageTest, OnlyTheFirst4095BytesAreRead)
{
    std::string head = "{\"bbs_name\": \"Early\", \"pad\": \"";
    std::string pad(4095 - head.size() - 1, 'x');
    config(head + pad + "\"bbs_name\" late\", \"score_sharing\": {\"enabled\": true}}");
    EXPECT_STREQ(bbs_name, "Early");
    EXPECT_EQ(interbbs_enabled, 0);
    // The value's closing quote just past the cut: an unterminated value.
    strcpy(bbs_name, "Q-ORB ONLINE");
    std::string lead = "{\"bbs_name\": \"";
    config(std::string(4095 - lead.size() - 3, ' ') + lead + "abc\"}");
    EXPECT_STREQ(bbs_name, "Q-ORB ONLINE");
}

TEST_F(StorageTest, HostileFilesLeaveTheDefaults)
{
    std::mt19937 random(20240917);
    for (int round = 0; round < 50; round++) {
        std::string bytes(1 + random() % 9000, '\0');
        for (char &c : bytes) c = (char)(random() & 0xFF);
        config(bytes);
    }
    config(std::string(1 << 20, '"')); // a megabyte of quotes
    config(std::string("\0\"bbs_name\": \"Hidden\"", 21));
    EXPECT_STREQ(bbs_name, "Q-ORB ONLINE");
    EXPECT_EQ(interbbs_enabled, 0);
    std::filesystem::remove(dir_.path("grimby.json"));
    dir_.mkdir("grimby.json");
    load_config();
    std::filesystem::remove(dir_.path("grimby.json"));
    load_config();
    EXPECT_STREQ(bbs_name, "Q-ORB ONLINE");
    EXPECT_EQ(interbbs_enabled, 0);
}

TEST_F(StorageTest, WriteLockIsADirectoryTakenAndRemoved)
{
    dir_.mkdir("data");
    ASSERT_EQ(write_lock_take(), 1);
    EXPECT_TRUE(std::filesystem::is_directory(dir_.path("data/.grimby-write.lock")));
    // A node that only knows the directory waits for it as before.
    EXPECT_EQ(storage_make_dir(STORAGE_WRITE_LOCK), STORAGE_DIR_EXISTS);
    EXPECT_EQ(write_lock_clear_dead(0), 0); // a living holder is never cleared
    EXPECT_EQ(write_lock_take(), 1); // our own hold nests instead of waiting on itself
    write_lock_release();
    EXPECT_TRUE(dir_.exists("data/.grimby-write.lock"));
    write_lock_release();
    EXPECT_FALSE(dir_.exists("data/.grimby-write.lock"));
    EXPECT_FALSE(write_lock_held());
}

TEST_F(StorageTest, ReleasingALockWeDoNotHoldLeavesItAlone)
{
    dir_.mkdir("data/.grimby-write.lock");
    write_lock_release();
    EXPECT_TRUE(dir_.exists("data/.grimby-write.lock"));
}

// Another node's hold, as the operating system sees it: the directory and
// an owner file held open by this process through a separate hold.
struct LivingHolder {
    storage_hold owner = STORAGE_NO_HOLD;
    explicit LivingHolder(TestDir &dir)
    {
        dir.mkdir("data/.grimby-write.lock");
        EXPECT_EQ(storage_hold_create(STORAGE_WRITE_OWNER, "4242\n", &owner), 1);
    }
    void die()
    {
        storage_hold_close(owner);
        owner = STORAGE_NO_HOLD;
    }
    ~LivingHolder() { die(); }
};

TEST_F(StorageTest, ALockIsWaitedForWhileItsHolderLivesAndClearedOnceItDies)
{
    LivingHolder holder(dir_);
    ODPlatClockUseVirtual(5000, 1700000000);
    EXPECT_EQ(write_lock_take(), 0);
    EXPECT_GE(ODPlatTickMs() - 5000, (uint64_t)WRITE_LOCK_WAIT_MS);
    EXPECT_LT(ODPlatTickMs() - 5000, (uint64_t)WRITE_LOCK_WAIT_MS + 50);
    EXPECT_TRUE(dir_.exists("data/.grimby-write.lock/owner"));

    holder.die(); // killed: the system lets go of its owner file
    uint64_t start = ODPlatTickMs();
    EXPECT_EQ(write_lock_take(), 1);
    EXPECT_LE(ODPlatTickMs() - start, (uint64_t)WRITE_LOCK_CHECK_MS + 10);
    write_lock_release();
    EXPECT_FALSE(dir_.exists("data/.grimby-write.lock"));
    ODPlatClockUseReal();
}

// Left by a node killed between the directory and its owner file, or held
// by a node that never makes one: cleared only once it has stood unchanged
// for the grace, so such a node's short hold is waited for.
TEST_F(StorageTest, ALockWithoutAnOwnerIsClearedAfterStandingUnchangedForTheGrace)
{
    dir_.mkdir("data/.grimby-write.lock");
    EXPECT_EQ(write_lock_clear_dead(1000), 0);
    EXPECT_EQ(write_lock_clear_dead(1000 + WRITE_LOCK_GRACE_MS - 1), 0);
    // Let go and taken again meanwhile: a new hold, timed afresh.
    std::filesystem::remove(dir_.path("data/.grimby-write.lock"));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    dir_.mkdir("data/.grimby-write.lock");
    EXPECT_EQ(write_lock_clear_dead(1000 + WRITE_LOCK_GRACE_MS), 0);
    EXPECT_EQ(write_lock_clear_dead(1000 + 2 * WRITE_LOCK_GRACE_MS - 1), 0);
    EXPECT_TRUE(dir_.exists("data/.grimby-write.lock"));
    EXPECT_EQ(write_lock_clear_dead(1000 + 2 * WRITE_LOCK_GRACE_MS), 1);
    EXPECT_FALSE(dir_.exists("data/.grimby-write.lock"));

    // A save that meets one waits out the grace, then saves.
    dir_.mkdir("data/.grimby-write.lock");
    ODPlatClockUseVirtual(5000, 1700000000);
    EXPECT_EQ(write_lock_take(), 1);
    EXPECT_GE(ODPlatTickMs() - 5000, (uint64_t)WRITE_LOCK_GRACE_MS);
    // Checks come at the first retry after each interval, so each of the
    // two (the one that starts the timing, the one that clears) may be a
    // retry late.
    const uint64_t check_late = WRITE_LOCK_CHECK_MS + WRITE_LOCK_RETRY_MS + WRITE_LOCK_RETRY_JITTER_MS;
    EXPECT_LE(ODPlatTickMs() - 5000, (uint64_t)WRITE_LOCK_GRACE_MS + 2 * check_late);
    write_lock_release();
    ODPlatClockUseReal();
}

TEST_F(StorageTest, ADeadOwnerFileIsClearedAtTheFirstLookButAStrangersFilesAreNot)
{
    // Killed between making its owner file and holding it.
    dir_.write("data/.grimby-write.lock/owner", "");
    ODPlatClockUseVirtual(0, 0);
    EXPECT_EQ(write_lock_take(), 1);
    EXPECT_LE(ODPlatTickMs(), (uint64_t)WRITE_LOCK_CHECK_MS + 10);
    write_lock_release();
    EXPECT_FALSE(dir_.exists("data/.grimby-write.lock"));

    // Something else put in the directory is not ours to delete.
    dir_.write("data/.grimby-write.lock/owner", "");
    dir_.write("data/.grimby-write.lock/notes.txt", "sysop");
    uint64_t start = ODPlatTickMs();
    EXPECT_EQ(write_lock_take(), 0);
    EXPECT_GE(ODPlatTickMs() - start, (uint64_t)WRITE_LOCK_WAIT_MS);
    EXPECT_TRUE(dir_.exists("data/.grimby-write.lock/notes.txt"));
    ODPlatClockUseReal();
}

TEST_F(StorageTest, AFileInTheLocksPlaceAlsoHoldsItOff)
{
    dir_.write("data/.grimby-write.lock", "");
    ODPlatClockUseVirtual(0, 0);
    EXPECT_EQ(write_lock_take(), 0);
    EXPECT_GE(ODPlatTickMs(), (uint64_t)WRITE_LOCK_WAIT_MS);
    EXPECT_LT(ODPlatTickMs(), (uint64_t)WRITE_LOCK_WAIT_MS + 50);
    EXPECT_TRUE(dir_.exists("data/.grimby-write.lock"));
    ODPlatClockUseReal();
}

TEST_F(StorageTest, NoDataDirectoryFailsAtOnce)
{
    ODPlatClockUseVirtual(0, 0);
    EXPECT_EQ(write_lock_take(), 0);
    EXPECT_EQ(ODPlatTickMs(), 0u);
    ODPlatClockUseReal();
}
