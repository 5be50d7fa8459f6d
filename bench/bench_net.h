/* bench_net.h -- what the benchmark programs share: the build tree they
 * run from, a door started on a socket as a BBS does, the monotonic clock in microseconds, percentiles, a loopback
 * TCP pair and a caller's reads. */
#ifndef BENCH_NET_H
#define BENCH_NET_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

/* The build tree this benchmark was built in (its programs live in bench/):
 * the programs under test are found beside it, in game/, hub/ and the root. */
static inline std::string BenchBuildDir(void)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return ".";
    std::string path(self, (size_t)n);
    path.erase(path.rfind('/'));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

/* Starts dir/GRIMBY as a BBS hands over a telnet caller: a DOOR32.SYS
 * naming the door's end of a socket pair, standard I/O on /dev/null.
 * Returns the door's pid (-1 on failure) and the caller's end in *caller. */
static inline pid_t BenchStartSocketDoor(const std::string &dir, const char *caller_name, int *caller)
{
    int link[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, link) != 0) return -1;
    std::string drop_path = dir + "/DOOR32.SYS", exe = dir + "/GRIMBY";
    FILE *drop = fopen(drop_path.c_str(), "w");
    if (!drop) {
        close(link[0]);
        close(link[1]);
        return -1;
    }
    fprintf(drop, "2\r\n%d\r\n38400\r\nBench BBS\r\n1\r\n%s\r\n%s\r\n20\r\n120\r\n1\r\n1\r\n", link[1],
            caller_name, caller_name);
    fclose(drop);
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        close(link[0]);
        execl(exe.c_str(), exe.c_str(), "-D", drop_path.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(link[1]);
    if (pid < 0) {
        close(link[0]);
        return -1;
    }
    *caller = link[0];
    return pid;
}

static inline uint64_t NowMicros(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

static inline uint64_t Percentile(std::vector<uint64_t> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(p * (double)(v.size() - 1) + 0.5);
    return v[i];
}

/* A caller connected to a door over loopback TCP. The caller's end sends
 * each key as it is typed (no Nagle), as telnet clients do; the door's end
 * keeps the system default, as an inherited BBS socket does. */
static inline bool LoopbackPair(int *caller, int *door)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
        perror("listen");
        if (listener >= 0) close(listener);
        return false;
    }
    *caller = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(*caller, (struct sockaddr *)&address, sizeof address) != 0) {
        perror("connect");
        close(listener);
        return false;
    }
    *door = accept(listener, nullptr, nullptr);
    close(listener);
    int one = 1;
    setsockopt(*caller, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return *door >= 0;
}

/* Reads what is there within timeout_ms and appends it; false when the
 * other end closed or nothing came. */
static inline bool ReceiveSome(int fd, std::string &into, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buffer[65536];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    into.append(buffer, (size_t)n);
    return true;
}

#endif
