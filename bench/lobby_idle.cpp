/* lobby_idle.cpp -- what a caller sitting in the lobby costs the BBS: runs
 * the real GRIMBY as a child on a socket, the way a BBS hands over a telnet
 * caller, walks it to the lobby as a new caller, then lets it idle and reads
 * the child's CPU time from /proc before and after. Beside it, in the same
 * window, a bare loop of 50 ms waits (the slice the door kit keeps, and
 * nothing else) is measured the same way: the floor any program that
 * watches a line every 50 ms pays on this machine. Target: the lobby costs
 * at most 1.25 times that floor (the median of nine windows).
 *
 *   bench_lobby_idle [--seconds N] [--grimby PATH]   (default 60 s; GRIMBY
 *                                                    beside bench/ in ../game) */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "bench_net.h"

namespace {

double now_seconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The child's CPU time in seconds: the scheduler's nanoseconds on a CPU,
 * summed over its threads, when the kernel keeps them; else user and system
 * ticks (10 ms steps) from stat. */
double cpu_seconds(pid_t pid)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "/proc/%d/task", (int)pid);
    DIR *tasks = opendir(path);
    if (tasks) {
        double total = 0;
        int counted = 0;
        for (struct dirent *entry; (entry = readdir(tasks)) != nullptr;) {
            if (entry->d_name[0] == '.') continue;
            snprintf(path, sizeof path, "/proc/%d/task/%s/schedstat", (int)pid, entry->d_name);
            FILE *sched = fopen(path, "r");
            if (!sched) continue;
            unsigned long long ns = 0;
            if (fscanf(sched, "%llu", &ns) == 1) {
                total += (double)ns / 1e9;
                counted++;
            }
            fclose(sched);
        }
        closedir(tasks);
        if (counted) return total;
    }
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE *file = fopen(path, "r");
    if (!file) return -1;
    char line[4096];
    size_t n = fread(line, 1, sizeof line - 1, file);
    fclose(file);
    line[n] = '\0';
    /* The command name may hold blanks and brackets: count from its end. */
    char *p = strrchr(line, ')');
    if (!p) return -1;
    unsigned long utime = 0, stime = 0;
    int field = 2;
    for (char *token = strtok(p + 1, " "); token; token = strtok(nullptr, " ")) {
        field++;
        if (field == 14) utime = strtoul(token, nullptr, 10);
        if (field == 15) {
            stime = strtoul(token, nullptr, 10);
            break;
        }
    }
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

/* Reads what the door sends until the text has come or the time is up;
 * appends to all. */
bool read_until(int fd, std::string *all, const char *text, double seconds)
{
    double end = now_seconds() + seconds;
    size_t from = all->size();
    while (all->find(text, from > 200 ? from - 200 : 0) == std::string::npos) {
        double left = end - now_seconds();
        if (left <= 0) return false;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)(left * 1000) + 1) <= 0) continue;
        char buffer[8192];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        all->append(buffer, (size_t)got);
    }
    return true;
}

bool send_keys(int fd, const char *keys)
{
    size_t length = strlen(keys);
    return write(fd, keys, length) == (ssize_t)length;
}

bool copy_file(const std::string &from, const std::string &to)
{
    FILE *in = fopen(from.c_str(), "rb");
    if (!in) return false;
    FILE *out = fopen(to.c_str(), "wb");
    if (!out) {
        fclose(in);
        return false;
    }
    char buffer[65536];
    size_t n;
    bool ok = true;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) ok = ok && fwrite(buffer, 1, n, out) == n;
    fclose(in);
    ok = fclose(out) == 0 && ok;
    return ok && chmod(to.c_str(), 0755) == 0;
}

/* The floor: a child doing nothing but 50 ms waits until it is killed. */
pid_t start_bare_loop()
{
    pid_t pid = fork();
    if (pid == 0) {
        for (;;) poll(nullptr, 0, 50);
    }
    return pid;
}

int fail(const char *what, const std::string &seen)
{
    fprintf(stderr, "lobby_idle: %s\n", what);
    if (!seen.empty()) fprintf(stderr, "last bytes from the door: %.300s\n", seen.substr(seen.size() > 300 ? seen.size() - 300 : 0).c_str());
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 60;
    std::string grimby = BenchBuildDir() + "/game/GRIMBY";
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = atof(argv[++i]);
        else if (!strcmp(argv[i], "--grimby") && i + 1 < argc) grimby = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--seconds N] [--grimby PATH]\n", argv[0]);
            return 2;
        }
    }
    if (seconds <= 0) seconds = 1;

    /* A door directory of its own: GRIMBY runs from where it lives. */
    char dir_template[] = "/tmp/grimby-lobby-idle-XXXXXX";
    if (!mkdtemp(dir_template)) return fail("cannot make a door directory", "");
    std::string dir = dir_template;
    std::string exe = dir + "/GRIMBY";
    if (!copy_file(grimby, exe)) return fail(("cannot copy " + grimby).c_str(), "");

    int fd = -1;
    pid_t pid = BenchStartSocketDoor(dir, "Idle Caller", &fd);
    if (pid < 0) return fail("cannot start the door", "");

    /* A new caller: silent, a survivor, and into the lobby. */
    std::string seen;
    if (!read_until(fd, &seen, "[N] SILENT", 10)) return fail("no music question", seen);
    send_keys(fd, "n");
    if (!read_until(fd, &seen, "> ", 10)) return fail("no handle entry", seen);
    send_keys(fd, "Idle\r");
    if (!read_until(fd, &seen, "[Y] YES", 10)) return fail("no handle preview", seen);
    send_keys(fd, "y");
    if (!read_until(fd, &seen, "M / F", 10)) return fail("no gender question", seen);
    send_keys(fd, "m");
    if (!read_until(fd, &seen, "[5] MEDIUM", 10)) return fail("no class question", seen);
    send_keys(fd, "1");
    /* In October the opening asks first. */
    if (!read_until(fd, &seen, "[Q] RETURN TO BBS", 10)) {
        if (seen.find("[G] GO STRAIGHT") == std::string::npos) return fail("no lobby", seen);
        send_keys(fd, "g");
        if (!read_until(fd, &seen, "[Q] RETURN TO BBS", 10)) return fail("no lobby", seen);
    }
    /* Let the lobby's first drawing settle before measuring. */
    read_until(fd, &seen, "\x01never", 0.5);

    pid_t bare = start_bare_loop();
    if (bare < 0) return fail("cannot start the bare loop", "");
    /* Both in their loops before the first window opens. A wake costs a few
     * tens of microseconds and this machine's noise is of that size, so the
     * run is cut into windows and the median window's ratio is the result. */
    usleep(200000);
    const int windows = 9;
    double ratios[windows];
    size_t bytes_before = seen.size();
    double cpu_before = cpu_seconds(pid);
    double bare_before = cpu_seconds(bare);
    double wall_before = now_seconds();
    double window_cpu = cpu_before, window_bare = bare_before;
    for (int w = 0; w < windows; w++) {
        double window_end = wall_before + seconds * (w + 1) / windows;
        /* Keep reading, as a terminal does (the walking figure). */
        while (now_seconds() < window_end) read_until(fd, &seen, "\x01never", window_end - now_seconds());
        double cpu_now = cpu_seconds(pid), bare_now = cpu_seconds(bare);
        ratios[w] = bare_now > window_bare ? (cpu_now - window_cpu) / (bare_now - window_bare) : 0;
        window_cpu = cpu_now;
        window_bare = bare_now;
    }
    double cpu_after = window_cpu;
    double bare_after = window_bare;
    double wall = now_seconds() - wall_before;
    kill(bare, SIGKILL);
    waitpid(bare, nullptr, 0);
    size_t idle_bytes = seen.size() - bytes_before;

    send_keys(fd, "q");
    int status = 0;
    struct rusage usage;
    double wait_end = now_seconds() + 10;
    pid_t done = 0;
    while ((done = wait4(pid, &status, WNOHANG, &usage)) == 0 && now_seconds() < wait_end) usleep(10000);
    if (done != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return fail("GRIMBY did not leave on Q", seen);
    }
    close(fd);

    if (cpu_before < 0 || cpu_after < 0 || bare_before < 0 || bare_after < 0)
        return fail("cannot read the children's CPU time", "");
    double idle_cpu = cpu_after - cpu_before;
    double percent = 100.0 * idle_cpu / wall;
    double bare_cpu = bare_after - bare_before;
    double bare_percent = 100.0 * bare_cpu / wall;
    double whole_ratio = bare_cpu > 0 ? idle_cpu / bare_cpu : 0;
    double sorted[windows];
    memcpy(sorted, ratios, sizeof sorted);
    std::sort(sorted, sorted + windows);
    double ratio = sorted[windows / 2];
    double whole = (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + (double)usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
    printf("lobby idle: %.1f s of real time, GRIMBY used %.3f s of CPU = %.3f %% of one core\n", wall, idle_cpu,
           percent);
    printf("  the bare loop of 50 ms waits used %.3f s = %.3f %% (%.2f \u00d7 over the whole run)\n", bare_cpu,
           bare_percent, whole_ratio);
    printf("  windows of %.1f s:", wall / windows);
    for (int w = 0; w < windows; w++) printf(" %.2f", ratios[w]);
    printf("\n  median: %.2f \u00d7 the bare loop (target <= 1.25 \u00d7)\n", ratio);
    printf("  %zu bytes sent while idle; whole session %.3f s CPU, exit code %d\n", idle_bytes, whole,
           WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    /* The door directory goes with the run. */
    std::string clean = "rm -rf '" + dir + "'";
    if (system(clean.c_str()) != 0) fprintf(stderr, "lobby_idle: left %s behind\n", dir.c_str());
    return bare_cpu > 0 && ratio <= 1.25 ? 0 : 3;
}
