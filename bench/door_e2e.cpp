/* door_e2e.cpp -- GRIMBY as a BBS caller meets it, measured end to end:
 * grimby-launch on loopback, callers speaking telnet, the real game.
 *
 * For each caller: the time from the Enter after the name (the launcher then
 * writes the drop file and starts the door) to the door's first byte; then
 * the way through the music question and survivor creation to the lobby.
 * With every caller in the lobby, the resident memory of each door process.
 * Then the first caller's key round trips in the hall of fame (each key
 * redraws the whole page) to the first byte and to the page's last line.
 *
 *   bench_door_e2e [--callers N] [--keys N] [--stdio] [--launcher PATH] [--door PATH]
 *
 * Defaults: 8 callers, 200 keys, the launcher and GRIMBY of this build. */
#include "bench_net.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

namespace {

enum { IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240 };
enum { OPT_ECHO = 1, OPT_SGA = 3, OPT_NAWS = 31 };

/* A telnet caller: answers the server's options as a terminal client
 * does (80 x 25, echo and go-ahead suppression accepted) and keeps the
 * data bytes it received, with the time each read arrived. */
struct Caller {
    int fd = -1;
    std::string data;
    int state = 0;
    int verb = 0;

    void reply(std::initializer_list<unsigned char> bytes)
    {
        std::string s(bytes.begin(), bytes.end());
        if (send(fd, s.data(), s.size(), 0) < 0) perror("send");
    }

    void answer(int command, int option)
    {
        if (command == DO && option == OPT_NAWS)
            reply({IAC, WILL, OPT_NAWS, IAC, SB, OPT_NAWS, 0, 80, 0, 25, IAC, SE});
        else if (command == DO)
            reply({IAC, (unsigned char)(option == OPT_SGA ? WILL : WONT), (unsigned char)option});
        else if (command == WILL)
            reply({IAC, (unsigned char)(option == OPT_ECHO || option == OPT_SGA ? DO : DONT),
                   (unsigned char)option});
    }

    void feed(const std::string &bytes)
    {
        for (unsigned char c : bytes) {
            switch (state) {
            case 0:
                if (c == IAC) state = 1;
                else data += (char)c;
                break;
            case 1:
                if (c == IAC) {
                    data += (char)c;
                    state = 0;
                } else if (c == SB) {
                    state = 3;
                } else if (c >= WILL) {
                    verb = c;
                    state = 2;
                } else {
                    state = 0;
                }
                break;
            case 2:
                answer(verb, c);
                state = 0;
                break;
            case 3:
                if (c == IAC) state = 4;
                break;
            default:
                state = c == SE ? 0 : 3;
                break;
            }
        }
    }

    /* Reads once; the time it arrived, or 0 when nothing came in time. */
    uint64_t read_once(int timeout_ms)
    {
        std::string bytes;
        if (!ReceiveSome(fd, bytes, timeout_ms)) return 0;
        uint64_t when = NowMicros();
        feed(bytes);
        return when;
    }

    /* Waits until text appears at or after position from; the time it came. */
    uint64_t wait_for(const std::string &text, size_t from, int timeout_ms = 10000)
    {
        uint64_t deadline = NowMicros() + (uint64_t)timeout_ms * 1000u;
        while (data.find(text, from) == std::string::npos) {
            int left = (int)((deadline - std::min(deadline, NowMicros())) / 1000u);
            if (left <= 0) return 0;
            uint64_t when = read_once(left);
            if (when == 0) return 0;
            if (data.find(text, from) != std::string::npos) return when;
        }
        return NowMicros();
    }

    void type(const std::string &keys) { send(fd, keys.data(), keys.size(), 0); }
};

struct Options {
    int callers = 8;
    int keys = 200;
    bool stdio = false;
    std::string launcher, door;
};

bool CopyFile(const std::string &from, const std::string &to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return in.good() && out.good() && chmod(to.c_str(), 0755) == 0;
}

int FreePort(void)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, (struct sockaddr *)&address, sizeof address);
    getsockname(fd, (struct sockaddr *)&address, &length);
    close(fd);
    return ntohs(address.sin_port);
}

int Connect(int port)
{
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)port);
    for (int attempt = 0; attempt < 300; attempt++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, (struct sockaddr *)&address, sizeof address) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        usleep(10000);
    }
    return -1;
}

/* Resident memory of one process, in KiB: RSS, PSS, and what is its own. */
struct Memory {
    long rss = 0, pss = 0, own = 0;
};

long FieldKiB(const std::string &text, const char *name)
{
    size_t at = text.find(name);
    return at == std::string::npos ? 0 : atol(text.c_str() + at + strlen(name));
}

Memory MemoryOf(pid_t pid)
{
    Memory m;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::stringstream s;
    s << status.rdbuf();
    m.rss = FieldKiB(s.str(), "VmRSS:");
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::stringstream r;
    r << rollup.rdbuf();
    m.pss = FieldKiB(r.str(), "\nPss:");
    m.own = FieldKiB(r.str(), "Private_Clean:") + FieldKiB(r.str(), "Private_Dirty:");
    return m;
}

/* The door processes: everything running the given program file. */
std::vector<pid_t> DoorProcesses(const std::string &program)
{
    std::vector<pid_t> pids;
    DIR *proc = opendir("/proc");
    if (!proc) return pids;
    while (struct dirent *entry = readdir(proc)) {
        pid_t pid = (pid_t)atoi(entry->d_name);
        if (pid <= 0) continue;
        char exe[PATH_MAX];
        ssize_t n = readlink(("/proc/" + std::string(entry->d_name) + "/exe").c_str(), exe, sizeof exe - 1);
        if (n <= 0) continue;
        exe[n] = 0;
        if (program == exe) pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

/* From the name prompt to the lobby; the microseconds from the Enter after
 * the name to the door's first byte, or 0 when the way failed. */
uint64_t EnterLobby(Caller &c, int number)
{
    if (!c.wait_for("Your name: ", 0)) return 0;
    std::string name = "Bench Caller " + std::to_string(number);
    c.type(name);
    if (!c.wait_for(name, 0)) return 0;
    size_t echoed = c.data.size() + 2; /* the launcher's own CR LF after the name */
    uint64_t enter = NowMicros();
    c.type("\r");
    uint64_t first = 0;
    while (c.data.size() <= echoed)
        if ((first = c.read_once(5000)) == 0) return 0;
    uint64_t start_to_first = first - enter;

    if (!c.wait_for("[N] SILENT", echoed)) return 0;
    size_t mark = c.data.size();
    c.type("N");
    if (!c.wait_for("> ", mark)) return 0;
    mark = c.data.size();
    c.type("Bench" + std::to_string(number) + "\r");
    if (!c.wait_for("[Y] YES, KEEP IT", mark)) return 0;
    mark = c.data.size();
    c.type("Y");
    if (!c.wait_for("CHOOSE M / F", mark)) return 0;
    mark = c.data.size();
    c.type("M");
    if (!c.wait_for("[5] MEDIUM", mark)) return 0;
    mark = c.data.size();
    c.type("1");
    /* October's first visit offers its opening: straight to the lobby. */
    for (int step = 0; step < 3; step++) {
        if (c.wait_for("[Q] RETURN TO BBS", mark, 3000)) return start_to_first;
        if (c.data.find("[G] GO STRAIGHT", mark) != std::string::npos) {
            mark = c.data.size();
            c.type("G");
        }
    }
    return 0;
}

void PrintMicros(const char *what, const std::vector<uint64_t> &v)
{
    printf("  %-38s p50 %8.3f ms   p99 %8.3f ms   max %8.3f ms\n", what, Percentile(v, 0.5) / 1000.0,
           Percentile(v, 0.99) / 1000.0, Percentile(v, 1.0) / 1000.0);
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    std::string build = BenchBuildDir();
    opt.launcher = build + "/grimby-launch";
    opt.door = build + "/game/GRIMBY";
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--callers" && has_value) opt.callers = std::max(1, atoi(argv[++i]));
        else if (a == "--keys" && has_value) opt.keys = std::max(10, atoi(argv[++i]));
        else if (a == "--stdio") opt.stdio = true;
        else if (a == "--launcher" && has_value) opt.launcher = argv[++i];
        else if (a == "--door" && has_value) opt.door = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--callers N] [--keys N] [--stdio] [--launcher PATH] [--door PATH]\n",
                    argv[0]);
            return 2;
        }
    }

    /* The game keeps its data beside the program: a copy of its own. */
    char work[] = "/tmp/grimby-bench-XXXXXX";
    if (!mkdtemp(work)) {
        perror("mkdtemp");
        return 1;
    }
    std::string door = std::string(work) + "/GRIMBY";
    if (!CopyFile(opt.door, door)) {
        fprintf(stderr, "cannot copy %s\n", opt.door.c_str());
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    int port = FreePort();
    std::string log = std::string(work) + "/launch.log";
    pid_t launcher = fork();
    if (launcher == 0) {
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<std::string> args = {opt.launcher, "--port", std::to_string(port), "--door", door,
                                         "--nodes", std::string(work) + "/nodes", "--nodes-max",
                                         std::to_string(opt.callers + 1)};
        if (opt.stdio) args.push_back("--stdio");
        std::vector<char *> list;
        for (std::string &a : args) list.push_back(&a[0]);
        list.push_back(nullptr);
        execv(list[0], list.data());
        _exit(127);
    }

    int failures = 0;
    std::vector<Caller> callers((size_t)opt.callers);
    std::vector<uint64_t> start_to_first;
    for (int i = 0; i < opt.callers; i++) {
        Caller &c = callers[(size_t)i];
        c.fd = Connect(port);
        uint64_t micros = c.fd < 0 ? 0 : EnterLobby(c, i + 1);
        if (micros == 0) {
            fprintf(stderr, "caller %d did not reach the lobby\n", i + 1);
            failures++;
            continue;
        }
        start_to_first.push_back(micros);
    }

    std::vector<pid_t> doors = DoorProcesses(door);
    std::vector<uint64_t> rss, pss, own;
    for (pid_t pid : doors) {
        Memory m = MemoryOf(pid);
        rss.push_back((uint64_t)m.rss);
        pss.push_back((uint64_t)m.pss);
        own.push_back((uint64_t)m.own);
    }

    /* Key round trips in the hall of fame: S and D each redraw the page. */
    std::vector<uint64_t> first_byte, whole_page;
    Caller &c = callers[0];
    size_t mark = c.data.size();
    c.type("H");
    if (failures == 0 && c.wait_for("[C] LOBBY", mark)) {
        for (int i = 0; i < opt.keys; i++) {
            usleep(20000 + (unsigned)(i * 7919 % 30000)); /* a person's typing pace */
            mark = c.data.size();
            uint64_t sent = NowMicros();
            c.type(i % 2 ? "S" : "D");
            uint64_t first = c.read_once(5000);
            uint64_t last = c.wait_for("[C] LOBBY", mark, 5000);
            if (!first || !last) {
                fprintf(stderr, "no answer to key %d\n", i);
                failures++;
                break;
            }
            first_byte.push_back(first - sent);
            whole_page.push_back(last - sent);
        }
        mark = c.data.size();
        c.type("C");
        c.wait_for("[Q] RETURN TO BBS", mark);
    }

    for (Caller &each : callers) {
        if (each.fd < 0) continue;
        each.type("Q");
    }
    /* Each door's exit steps run, then the launcher reports its level. */
    int ended = 0;
    for (int waited = 0; waited < 10000 && ended < opt.callers; waited += 50) {
        usleep(50000);
        std::ifstream in(log);
        std::string line;
        ended = 0;
        while (std::getline(in, line))
            if (line.find("door ended with error level 0") != std::string::npos) ended++;
    }
    for (Caller &each : callers)
        if (each.fd >= 0) close(each.fd);
    kill(launcher, SIGTERM);
    waitpid(launcher, nullptr, 0);

    printf("GRIMBY through grimby-launch (%s), %d callers over loopback telnet\n",
           opt.stdio ? "standard I/O on a pseudo-terminal" : "DOOR32.SYS socket hand-over", opt.callers);
    PrintMicros("Enter after the name -> first door byte", start_to_first);
    printf("  resident memory of %zu door processes in the lobby:\n", doors.size());
    printf("    RSS  p50 %6.2f MiB  max %6.2f MiB   (target <= 4 MiB)\n", Percentile(rss, 0.5) / 1024.0,
           Percentile(rss, 1.0) / 1024.0);
    printf("    PSS  p50 %6.2f MiB  max %6.2f MiB   (shared pages divided among the nodes)\n",
           Percentile(pss, 0.5) / 1024.0, Percentile(pss, 1.0) / 1024.0);
    printf("    own  p50 %6.2f MiB  max %6.2f MiB   (private pages)\n", Percentile(own, 0.5) / 1024.0,
           Percentile(own, 1.0) / 1024.0);
    printf("  hall of fame page redraws, %zu keys:\n", whole_page.size());
    PrintMicros("key -> first byte", first_byte);
    PrintMicros("key -> last line of the page", whole_page);
    printf("  doors ended with error level 0: %d of %d\n", ended, opt.callers);

    std::string remove = std::string("rm -rf '") + work + "'";
    if (system(remove.c_str()) != 0) fprintf(stderr, "could not remove %s\n", work);
    return failures == 0 && ended == opt.callers ? 0 : 1;
}
