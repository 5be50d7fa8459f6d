// launcher_process.cpp -- running grimby-launch for the end-to-end tests.
#include "launcher_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool LauncherProcess::Start(const std::string &program, const std::vector<std::string> &args, int timeout_ms)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    std::vector<std::string> all = {program, "--port", "0"};
    all.insert(all.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    if (pid == 0) {
        // A group of its own, so a test that fails half-way can still end
        // every door the launcher started.
        setpgid(0, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char *> argv;
        for (const std::string &a : all) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    setpgid(pid, pid);
    close(out[1]);
    pid_ = pid;
    out_fd_ = out[0];
    const char *marker = "listening on 127.0.0.1:";
    if (!WaitForOutput(marker, timeout_ms)) return false;
    port_ = atoi(output_.c_str() + output_.find(marker) + strlen(marker));
    return port_ > 0;
}

void LauncherProcess::Read(int timeout_ms)
{
    if (out_fd_ < 0) return;
    struct pollfd p = {out_fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return;
    char buffer[4096];
    ssize_t n = read(out_fd_, buffer, sizeof buffer);
    if (n > 0) output_.append(buffer, (size_t)n);
    else if (n == 0) {
        close(out_fd_);
        out_fd_ = -1;
    }
}

bool LauncherProcess::WaitForOutput(const std::string &text, int timeout_ms)
{
    long long end = NowMs() + timeout_ms;
    while (output_.find(text) == std::string::npos) {
        long long left = end - NowMs();
        if (left <= 0 || out_fd_ < 0) return false;
        Read((int)(left < 50 ? left : 50));
    }
    return true;
}

int LauncherProcess::DoorLevel(int node, int timeout_ms, int visit)
{
    std::string prefix = (node > 0 ? "node " + std::to_string(node) : std::string()) + ": door ended with ";
    long long end = NowMs() + timeout_ms;
    for (;;) {
        size_t at = std::string::npos;
        int seen = 0;
        for (size_t from = 0; seen < visit; seen++, from = at + 1)
            if ((at = output_.find(prefix, from)) == std::string::npos) break;
        if (seen == visit && output_.find('\n', at) != std::string::npos) {
            std::string rest = output_.substr(at + prefix.size());
            if (rest.compare(0, 12, "error level ") != 0) return -2;
            return atoi(rest.c_str() + 12);
        }
        long long left = end - NowMs();
        if (left <= 0 || out_fd_ < 0) return -1;
        Read((int)(left < 50 ? left : 50));
    }
}

bool LauncherProcess::WaitExit(int timeout_ms, int *status)
{
    long long end = NowMs() + timeout_ms;
    while (pid_ > 0) {
        int s;
        if (waitpid(pid_, &s, WNOHANG) == pid_) {
            status_ = s;
            pid_ = -1;
            break;
        }
        if (NowMs() >= end) return false;
        Read(20);
    }
    // The rest of its output; a door still holding the pipe is not waited for.
    while (out_fd_ >= 0 && NowMs() < end) Read(20);
    if (status) *status = status_;
    return true;
}

int LauncherProcess::Stop(int timeout_ms)
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        // Wait for the exit without reaping: while the launcher is not
        // reaped its id (and so its group's) cannot belong to anyone else.
        long long end = NowMs() + timeout_ms;
        siginfo_t info;
        for (;;) {
            memset(&info, 0, sizeof info);
            if (waitid(P_PID, (id_t)pid_, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid_) break;
            if (NowMs() >= end) break;
            Read(20);
        }
        // Doors a failed test left behind are in the same group.
        kill(-pid_, SIGKILL);
        WaitExit(timeout_ms);
    }
    if (out_fd_ >= 0) {
        close(out_fd_);
        out_fd_ = -1;
    }
    return status_;
}
