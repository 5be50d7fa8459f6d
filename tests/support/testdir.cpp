// testdir.cpp -- temporary directories for tests.
#include "testdir.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

TestDir::TestDir()
{
    std::random_device rd;
    for (;;) {
        fs::path candidate = fs::temp_directory_path() / ("grimby-test-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            root_ = candidate.string();
            return;
        }
    }
}

TestDir::~TestDir()
{
    std::error_code ec;
    // Windows keeps a process's current directory: leave it first, or the
    // directory outlives the test (the game moves into its own directory).
    fs::path current = fs::current_path(ec);
    if (!ec && current.string().rfind(root_, 0) == 0) fs::current_path(fs::temp_directory_path(), ec);
    fs::remove_all(root_, ec);
}

std::string TestDir::path(const std::string &name) const
{
    return (fs::path(root_) / name).string();
}

std::string TestReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TestWriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    return !out.fail();
}

std::string TestDir::write(const std::string &name, const std::string &bytes) const
{
    std::string p = path(name);
    fs::create_directories(fs::path(p).parent_path());
    TestWriteFile(p, bytes);
    return p;
}

std::string TestDir::read(const std::string &name) const
{
    return TestReadFile(path(name));
}

std::string TestDir::mkdir(const std::string &name) const
{
    std::string p = path(name);
    fs::create_directories(p);
    return p;
}

bool TestDir::exists(const std::string &name) const
{
    return fs::exists(path(name));
}
