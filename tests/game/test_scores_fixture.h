// test_scores_fixture.h -- a door directory of its own for each case of the
// score, daily, result and InterBBS tests: "data" inside it, the working
// directory switched to it, a caller and a date bound, the virtual clock on
// so a lock that cannot be had gives up in no real time.
#ifndef TEST_SCORES_FIXTURE_H
#define TEST_SCORES_FIXTURE_H

#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ODPlat.h"
#include "daily.h"
#include "profile.h"
#include "run.h"
#include "season.h"
#include "storage.h"
#include "testdir.h"

class DoorDirTest : public ::testing::Test {
protected:
    static constexpr const char *kProfile = "data/profile-00c0ffee12345678.tsv";

    void SetUp() override
    {
        char here[2048];
        ASSERT_EQ(ODDirGetCurrent(here, sizeof here), ODPLAT_OK);
        saved_ = here;
        dir_.mkdir("data");
        ASSERT_EQ(ODDirChangeCurrent(dir_.root().c_str()), ODPLAT_OK);
        ODPlatClockUseVirtual(1000, 1791288000); /* 6 October 2026, 12:00 UTC */
        storage_ok = 1;
        strcpy(profile_path, kProfile);
        strcpy(player, "NightJar");
        season_year = 2026;
        season_index = 9;
        season_day = 6;
        season_stamp = 2026278;
        score = 1234;
        level = 4;
        hp = 50;
        daily_reservation[0] = 0;
        daily_reserved = 0;
    }
    void TearDown() override
    {
        while (write_lock_held()) write_lock_release();
        ODDirChangeCurrent(saved_.c_str());
    }

    std::string read(const std::string &name) const { return dir_.read(name); }
    bool exists(const std::string &name) const { return dir_.exists(name); }
    std::vector<std::string> lines(const std::string &name) const
    {
        std::vector<std::string> out;
        std::istringstream in(read(name));
        std::string line;
        while (std::getline(in, line)) out.push_back(line);
        return out;
    }

    TestDir dir_;
    std::string saved_;
};

#endif
