// door_process.cpp -- the test door as a child process (Linux).
#include "door_process.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "door_program.h"

namespace {

uint64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

}  // namespace

std::string TestSelfExe()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    return path;
}

bool TestDoorStart(const TestDoorOptions &options, TestDoor *door)
{
    int err[2];
    if (pipe(err) != 0) return false;
    std::string exe = TestSelfExe();
    pid_t pid = fork();
    if (pid < 0) {
        close(err[0]);
        close(err[1]);
        return false;
    }
    if (pid == 0) {
        if (options.controlling_tty) setsid();
        int in = options.stdin_fd >= 0 ? options.stdin_fd : open("/dev/null", O_RDONLY);
        int out = options.stdout_fd >= 0 ? options.stdout_fd : open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err[1], 2);
        if (options.controlling_tty) ioctl(0, TIOCSCTTY, 0);
        for (int fd = 3; fd < 1024; fd++) {
            bool keep = false;
            for (int k : options.inherit) keep = keep || k == fd;
            if (!keep) close(fd);
        }
        for (int fd : options.inherit) fcntl(fd, F_SETFD, 0);
        // The BBS's signal dispositions are the defaults.
        signal(SIGPIPE, SIG_DFL);
        setenv(TEST_DOOR_ENV, "1", 1);
        setenv("DOORKIT_TEST_DOOR_ARGS", options.args.c_str(), 1);
        for (const auto &pair : options.env) setenv(pair.first.c_str(), pair.second.c_str(), 1);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(120);
        execl(exe.c_str(), exe.c_str(), (char *)nullptr);
        _exit(121);
    }
    close(err[1]);
    door->pid = pid;
    door->err_fd = err[0];
    return true;
}

int TestDoorWait(TestDoor *door, int timeout_ms, std::string *err)
{
    uint64_t end = NowMs() + (uint64_t)timeout_ms;
    std::string text;
    int status = 0;
    int result = -1000;
    for (;;) {
        pid_t done = waitpid(door->pid, &status, WNOHANG);
        if (done == door->pid) {
            result = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -999;
            break;
        }
        if (NowMs() >= end) {
            kill(door->pid, SIGKILL);
            waitpid(door->pid, &status, 0);
            break;
        }
        struct pollfd p = {door->err_fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            char buffer[4096];
            ssize_t n = read(door->err_fd, buffer, sizeof buffer);
            if (n > 0) text.append(buffer, (size_t)n);
        }
    }
    char buffer[4096];
    fcntl(door->err_fd, F_SETFL, O_NONBLOCK);
    ssize_t n;
    while ((n = read(door->err_fd, buffer, sizeof buffer)) > 0) text.append(buffer, (size_t)n);
    close(door->err_fd);
    door->err_fd = -1;
    door->pid = -1;
    if (err) *err = text;
    return result;
}

std::string TestReadUntil(int fd, const std::string &text, int timeout_ms)
{
    uint64_t end = NowMs() + (uint64_t)timeout_ms;
    std::string out;
    while (out.find(text) == std::string::npos) {
        uint64_t now = NowMs();
        if (now >= end) break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)(end - now)) <= 0) continue;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buffer, (size_t)n);
    }
    return out;
}
