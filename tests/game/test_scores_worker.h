// test_scores_worker.h -- a door directory whose hub holds a copy of the
// test program as the sync worker; the copy knows from its environment that
// it is the worker (the hook lives in test_interbbs.cpp).
#ifndef TEST_SCORES_WORKER_H
#define TEST_SCORES_WORKER_H

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "interbbs.h"
#include "test_scores_fixture.h"

inline void set_env(const char *name, const std::string &value)
{
#ifdef _WIN32
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
    _putenv_s(name, value.c_str());
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

inline std::string this_program()
{
#ifdef _WIN32
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
#else
    return std::filesystem::read_symlink("/proc/self/exe").string();
#endif
}

inline bool wait_for(const std::string &path, int seconds)
{
    for (int i = 0; i < seconds * 100; i++) {
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::filesystem::exists(path);
}

class InterbbsTest : public DoorDirTest {
protected:
    void TearDown() override
    {
        set_env("GRIMBY_TEST_WORKER_MARK", "");
        set_env("GRIMBY_TEST_WORKER_GO", "");
        set_env("GRIMBY_TEST_WORKER_STARTED", "");
        if (!go_.empty() && !std::filesystem::exists(go_)) dir_.write("go", "");
        DoorDirTest::TearDown();
    }
    // Puts a copy of this program where the worker belongs.
    void install_worker()
    {
        dir_.mkdir("hub");
        std::error_code ec;
        std::filesystem::copy_file(this_program(), dir_.path(INTERBBS_WORKER_FILE), ec);
        ASSERT_FALSE(ec) << ec.message();
    }
    void arm(bool hold)
    {
        mark_ = dir_.path("worker.mark");
        set_env("GRIMBY_TEST_WORKER_MARK", mark_);
        set_env("GRIMBY_TEST_WORKER_STARTED", dir_.path("worker.started"));
        if (hold) {
            go_ = dir_.path("go");
            set_env("GRIMBY_TEST_WORKER_GO", go_);
        }
    }
    static constexpr const char *INTERBBS_WORKER_FILE =
#ifdef _WIN32
        "hub/GRIMBY-SYNC.exe";
#else
        "hub/GRIMBY-SYNC";
#endif
    std::string mark_, go_;
};

#endif
