// Profile saving when the disk refuses the bytes: the temporary file is
// pointed at /dev/full, so the write itself fails as on a full disk.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <filesystem>

#include "profile.h"
#include "testdir.h"

TEST(ProfileSaveOnAFullDisk, TheOldProfileSurvivesAndNoTemporaryIsLeft)
{
    TestDir dir;
    dir.write("data/p.tsv", "Old\t0\t2\n");
    std::string target = dir.path("data/p.tsv");
    char temp[512];
    ASSERT_EQ(profile_temp_path(target.c_str(), temp, sizeof temp), 1);
    ASSERT_EQ(symlink("/dev/full", temp), 0);
    strcpy(display_handle, "New");
    EXPECT_EQ(profile_save(target.c_str()), 0);
    EXPECT_EQ(dir.read("data/p.tsv"), "Old\t0\t2\n");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temp)));
}
