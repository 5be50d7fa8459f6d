// dropfile_support.h -- helpers for the drop-file tests: files written the
// way BBS software writes them, file ages, environment variables, and a
// fixture that gives each test its own directory as the current one.
#ifndef DROPFILE_SUPPORT_H
#define DROPFILE_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testdir.h"

// Lines joined with the line end after each one ("\r\n" as DOS BBSes write).
std::string JoinLines(const std::vector<std::string> &lines, const std::string &end = "\r\n");

// Sets the file's modification time to `seconds` before now.
void SetFileAge(const std::string &path, int seconds);

void SetEnvVar(const char *name, const std::string &value);
void UnsetEnvVar(const char *name);

// Clears od_control and the drop-file state, makes a fresh directory the
// current one (restored afterwards) and clears the directory variables the
// search reads.
class DropFileTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes a file in the test directory; returns its absolute path.
    std::string Write(const std::string &name, const std::string &bytes) { return dir.write(name, bytes); }
    std::string Read(const std::string &name) { return dir.read(name); }
    void SetDropPath(const std::string &path);

    TestDir dir;
    std::string saved_cwd;
};

#endif
