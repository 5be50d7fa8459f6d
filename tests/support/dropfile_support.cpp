// dropfile_support.cpp -- helpers for the drop-file tests.
#include "dropfile_support.h"

#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <filesystem>

#include "ODInEx2.h"
#include "doorkit.h"

namespace fs = std::filesystem;

std::string JoinLines(const std::vector<std::string> &lines, const std::string &end)
{
    std::string out;
    for (const std::string &line : lines) out += line + end;
    return out;
}

void SetFileAge(const std::string &path, int seconds)
{
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(seconds));
}

void SetEnvVar(const char *name, const std::string &value)
{
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

void UnsetEnvVar(const char *name)
{
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

void DropFileTest::SetUp()
{
    memset(&od_control, 0, sizeof od_control);
    od_control.node = 1;
    ODDropFileRelease();
    for (const char *name : {"RA", "QUICK", "PCB", "BBS", "WCNODEID", "SBBSNODE", "BBSDEV_DRP"}) UnsetEnvVar(name);
    saved_cwd = fs::current_path().string();
    fs::current_path(dir.root());
}

void DropFileTest::TearDown()
{
    ODDropFileRelease();
    fs::current_path(saved_cwd);
}

void DropFileTest::SetDropPath(const std::string &path)
{
    ASSERT_LT(path.size(), sizeof od_control.drop_path);
    memset(od_control.drop_path, 0, sizeof od_control.drop_path);
    memcpy(od_control.drop_path, path.data(), path.size());
}
