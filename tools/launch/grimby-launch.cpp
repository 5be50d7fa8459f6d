/* grimby-launch -- a small BBS-style launcher for trying GRIMBY exactly as a
 * Linux BBS serves it: telnet negotiation, a name prompt, a node of its own,
 * a drop file in a per-node directory, and the door started with the caller's
 * socket (or on a pseudo-terminal on standard I/O), one process per caller.
 *
 * It is a test and demonstration tool, not a BBS: no accounts, no menus. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

enum DropKind { DROP_DOOR32, DROP_DOORSYS, DROP_DORINFO, DROP_CHAIN };

struct Options {
    std::string listen_address = "127.0.0.1";
    int port = 2323;
    std::string door;          /* the door program */
    std::vector<std::string> door_args;
    std::string nodes_dir = "nodes";
    DropKind drop = DROP_DOOR32;
    bool stdio = false;        /* run the door on a pty, standard I/O */
    std::string name;          /* fixed caller name: no prompt */
    int max_nodes = 8;
    int first_node = 1;
    int minutes = 60;
    std::string bbs_name = "GRIMBY Test BBS";
    std::string sysop = "Sysop";
    int callers = 0;           /* stop after this many callers; 0 = never */
    bool raw = false;          /* no telnet negotiation (a raw TCP caller) */
};

Options opt;
volatile sig_atomic_t stop_requested = 0;

void usage(FILE *out)
{
    fprintf(out,
            "usage: grimby-launch [options] [-- door arguments...]\n"
            "  --listen ADDR      address to listen on (default 127.0.0.1)\n"
            "  --port N           TCP port (default 2323; 0 picks a free one)\n"
            "  --door PATH        door program (default: GRIMBY beside this program)\n"
            "  --nodes DIR        per-node directories go here (default ./nodes)\n"
            "  --dropfile KIND    door32 (default), doorsys, dorinfo or chain\n"
            "  --stdio            run the door on a pseudo-terminal (standard I/O)\n"
            "  --name NAME        caller name (skips the name prompt)\n"
            "  --nodes-max N      nodes available (default 8)\n"
            "  --first-node N     number of the first node (default 1)\n"
            "  --minutes N        caller's time left (default 60)\n"
            "  --bbs-name NAME    BBS name written to the drop file\n"
            "  --callers N        serve N callers, then exit (default: run until stopped)\n"
            "  --raw              no telnet negotiation\n");
}

void report(const char *format, ...)
{
    char when[32];
    time_t now = time(nullptr);
    strftime(when, sizeof when, "%H:%M:%S", localtime(&now));
    va_list args;
    va_start(args, format);
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printf("%s %s\n", when, text);
    fflush(stdout);
}

bool write_all(int fd, const void *data, size_t length)
{
    const char *p = (const char *)data;
    while (length > 0) {
        ssize_t n = write(fd, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= (size_t)n;
    }
    return true;
}

bool send_text(int fd, const char *text)
{
    return write_all(fd, text, strlen(text));
}

/* ---- telnet, caller side of the server ---- */

enum { IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240 };
enum { OPT_ECHO = 1, OPT_SGA = 3, OPT_NAWS = 31 };

struct TelnetReader {
    int state = 0;        /* 0 data, 1 IAC, 2 option verb, 3 SB, 4 SB IAC */
    unsigned char verb = 0;
    unsigned char sb[64];
    size_t sb_length = 0;
    bool last_was_cr = false;
    int width = 80, height = 24;
    bool window_changed = false;

    /* Feeds one byte; returns the data byte or -1 when it was telnet. */
    int feed(unsigned char c)
    {
        switch (state) {
        case 0:
            if (c == IAC) {
                state = 1;
                return -1;
            }
            if (last_was_cr && (c == 0 || c == '\n')) {
                last_was_cr = false;
                return -1; /* CR NUL and CR LF are one Enter */
            }
            last_was_cr = c == '\r';
            return c;
        case 1:
            if (c == IAC) {
                state = 0;
                return IAC;
            }
            if (c == SB) {
                state = 3;
                sb_length = 0;
            } else if (c >= WILL && c <= DONT) {
                verb = c;
                state = 2;
            } else {
                state = 0;
            }
            return -1;
        case 2:
            state = 0;
            return -1;
        case 3:
            if (c == IAC) state = 4;
            else if (sb_length < sizeof sb) sb[sb_length++] = c;
            return -1;
        case 4:
            if (c == SE) {
                state = 0;
                if (sb_length >= 5 && sb[0] == OPT_NAWS) {
                    int w = sb[1] << 8 | sb[2], h = sb[3] << 8 | sb[4];
                    if (w > 0 && h > 0) {
                        width = w;
                        height = h;
                        window_changed = true;
                    }
                }
            } else {
                if (c == IAC && sb_length < sizeof sb) sb[sb_length++] = c;
                state = 3;
            }
            return -1;
        }
        state = 0;
        return -1;
    }
};

/* Reads from the caller until the deadline; every data byte goes to sink. */
template <typename Sink>
int read_caller(int fd, TelnetReader &telnet, int timeout_ms, Sink sink)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r <= 0) return r;
    unsigned char buffer[256];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return -1;
    for (ssize_t i = 0; i < n; i++) {
        int c = opt.raw ? buffer[i] : telnet.feed(buffer[i]);
        if (c >= 0) sink(c);
    }
    return 1;
}

bool negotiate(int fd, TelnetReader &telnet)
{
    if (opt.raw) return true;
    static const unsigned char offer[] = {IAC, WILL, OPT_ECHO, IAC, WILL, OPT_SGA,
                                          IAC, DO, OPT_SGA, IAC, DO, OPT_NAWS};
    if (!write_all(fd, offer, sizeof offer)) return false;
    /* Give the client a moment to answer, so the window size is known before
     * the door starts; a client that never answers just waits half a second. */
    for (int waited = 0; waited < 500 && !telnet.window_changed; waited += 50)
        if (read_caller(fd, telnet, 50, [](int) {}) < 0) return false;
    return true;
}

/* The name prompt: echoes what the caller types; Enter ends it. */
bool ask_name(int fd, TelnetReader &telnet, std::string &name)
{
    send_text(fd, "\r\n\x1b[0;1;36mGRIMBY test BBS\x1b[0m - ");
    send_text(fd, opt.bbs_name.c_str());
    send_text(fd, "\r\n\r\nYour name: ");
    name.clear();
    bool done = false;
    time_t start = time(nullptr);
    while (!done) {
        if (time(nullptr) - start > 120) return false;
        int r = read_caller(fd, telnet, 1000, [&](int c) {
            if (done) return;
            if (c == '\r' || c == '\n') {
                if (!name.empty()) done = true;
            } else if ((c == 8 || c == 127) && !name.empty()) {
                name.pop_back();
                send_text(fd, "\b \b");
            } else if (c >= 32 && c < 127 && name.size() < 34) {
                name += (char)c;
                char echo[2] = {(char)c, 0};
                send_text(fd, echo);
            }
        });
        if (r < 0) return false;
    }
    send_text(fd, "\r\n");
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return !name.empty();
}

/* ---- nodes, users and drop files ---- */

/* A stable user number per name, kept in nodes/users.tsv under a file lock,
 * so a caller keeps the same identity (and profile) across visits. */
int user_number(const std::string &name)
{
    std::string path = opt.nodes_dir + "/users.tsv";
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) return 1;
    flock(fd, LOCK_EX);
    FILE *f = fdopen(fd, "r+");
    char line[128];
    int highest = 0, found = 0;
    while (f && fgets(line, sizeof line, f)) {
        char *tab = strchr(line, '\t');
        if (!tab) continue;
        int number = atoi(line);
        char *end = tab + 1 + strcspn(tab + 1, "\r\n");
        *end = '\0';
        if (strcasecmp(tab + 1, name.c_str()) == 0) found = number;
        if (number > highest) highest = number;
    }
    if (!found && f) {
        found = highest + 1;
        fseek(f, 0, SEEK_END);
        fprintf(f, "%d\t%s\n", found, name.c_str());
        fflush(f);
    }
    flock(fd, LOCK_UN);
    if (f) fclose(f);
    else close(fd);
    return found;
}

bool write_file(const std::string &path, const std::string &text)
{
    std::string temp = path + ".tmp";
    FILE *f = fopen(temp.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    return ok && rename(temp.c_str(), path.c_str()) == 0;
}

std::string crlf_lines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines) text += line + "\r\n";
    return text;
}

struct Caller {
    int node;
    int socket;
    std::string name;
    int user;
    int width, height;
};

/* Writes the node's drop file; returns its path. */
std::string write_drop_file(const Caller &c, const std::string &dir)
{
    std::string first = c.name, last;
    size_t space = c.name.find(' ');
    if (space != std::string::npos) {
        first = c.name.substr(0, space);
        last = c.name.substr(space + 1);
    }
    const std::string minutes = std::to_string(opt.minutes);
    const std::string handle = opt.stdio ? "0" : std::to_string(c.socket);
    std::string path;
    switch (opt.drop) {
    case DROP_DOOR32:
        path = dir + "/DOOR32.SYS";
        write_file(path, crlf_lines({opt.stdio ? "0" : "2", handle, "38400", "GRIMBY-LAUNCH 1.0",
                                     std::to_string(c.user), c.name, c.name, "100", minutes, "1",
                                     std::to_string(c.node)}));
        break;
    case DROP_DOORSYS:
        path = dir + "/DOOR.SYS";
        write_file(path, crlf_lines({opt.stdio ? "COM0:STDIO" : "COM1:", "38400", "8", std::to_string(c.node),
                                     "38400", "Y", "Y", "Y", "Y", c.name, "Localhost", "000-000-0000",
                                     "000-000-0000", "", "100", "1", "01/01/26",
                                     std::to_string(opt.minutes * 60), minutes, "GR",
                                     std::to_string(c.height > 0 && c.height < 100 ? c.height : 24), "N", "",
                                     "", "", std::to_string(c.user), "Z", "0", "0", "0", "9999", "01/01/80",
                                     "", "", opt.sysop, c.name, "00:00", "Y", "N", "Y", "7", "0", "01/01/80",
                                     "00:00", "00:00", "9999", "0", "0", "0", "", "0", "0"}));
        break;
    case DROP_DORINFO:
        path = dir + "/DORINFO1.DEF";
        write_file(path, crlf_lines({opt.bbs_name, "SYSOP", "", opt.stdio ? "COM0" : "COM1",
                                     "38400 BAUD,N,8,1", "0", first, last, "Localhost", "1", "100", minutes}));
        break;
    case DROP_CHAIN:
        path = dir + "/CHAIN.TXT";
        write_file(path, crlf_lines({std::to_string(c.user), c.name, c.name, "", "21", "M", "0",
                                     "01/01/26", "80", std::to_string(c.height > 0 ? c.height : 24), "100",
                                     "0", "0", "1", "1", std::to_string(opt.minutes * 60), dir, dir,
                                     "GRIMBY.LOG", "38400", "1", opt.bbs_name, "", "0", "0", "0", "0", "0",
                                     "0", "8N1"}));
        break;
    }
    return path;
}

/* ---- running the door ---- */

std::vector<std::string> door_command(const Caller &c, const std::string &drop_path)
{
    std::vector<std::string> argv = {opt.door, "-D", drop_path, "-N", std::to_string(c.node)};
    if (opt.stdio) argv.push_back("-STDIO");
    else if (opt.drop != DROP_DOOR32) {
        argv.push_back("-SOCKET");
        argv.push_back(std::to_string(c.socket));
    }
    for (const std::string &a : opt.door_args) argv.push_back(a);
    return argv;
}

int describe_status(int status, char *text, size_t size)
{
    if (WIFEXITED(status)) {
        snprintf(text, size, "error level %d", WEXITSTATUS(status));
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) snprintf(text, size, "killed by signal %d", WTERMSIG(status));
    else snprintf(text, size, "status %d", status);
    return -1;
}

/* Starts the door without copying this process first: on a virtual machine
 * a fork's page-table copy and copy-on-write faults cost the caller about a
 * millisecond of the wait for the door's first byte. With a terminal, the
 * door gets a session of its own with that terminal as its controlling
 * terminal and standard I/O. */
pid_t spawn_door(const std::vector<std::string> &args, const std::string &dir, const char *terminal = nullptr)
{
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    if (terminal) {
        /* Opened after the new session begins, so it becomes the controlling terminal. */
        posix_spawn_file_actions_addopen(&actions, 0, terminal, O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&actions, 0, 1);
        posix_spawn_file_actions_adddup2(&actions, 0, 2);
    }
    posix_spawnattr_init(&attributes);
    sigset_t reset;
    sigemptyset(&reset);
    sigaddset(&reset, SIGPIPE);
    sigaddset(&reset, SIGCHLD);
    posix_spawnattr_setsigdefault(&attributes, &reset);
    posix_spawnattr_setflags(&attributes, (short)(POSIX_SPAWN_SETSIGDEF | (terminal ? POSIX_SPAWN_SETSID : 0)));
    pid_t pid = -1;
    int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) {
        fprintf(stderr, "grimby-launch: cannot start %s in %s: %s\n", argv[0], dir.c_str(), strerror(failed));
        return -1;
    }
    return pid;
}

/* Socket hand-over: the door inherits the caller's socket descriptor. */
int run_door_on_socket(const Caller &c, const std::string &dir, const std::string &drop_path)
{
    int flags = fcntl(c.socket, F_GETFD);
    fcntl(c.socket, F_SETFD, flags & ~FD_CLOEXEC);
    pid_t pid = spawn_door(door_command(c, drop_path), dir);
    if (pid < 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

/* The door's output to a telnet caller: a 0xFF byte (a CP437 character)
 * goes out doubled, or the caller would take it for a telnet command. */
bool send_door_output(int fd, const unsigned char *data, size_t length)
{
    unsigned char escaped[8192];
    while (length > 0) {
        size_t m = 0, used = 0;
        for (; used < length && m + 2 <= sizeof escaped; used++) {
            escaped[m++] = data[used];
            if (data[used] == IAC && !opt.raw) escaped[m++] = IAC;
        }
        if (!write_all(fd, escaped, m)) return false;
        data += used;
        length -= used;
    }
    return true;
}

/* Standard I/O on a pseudo-terminal, as most Linux BBS servers run a native
 * door: the launcher relays between the caller and the pty, and ends the door
 * with SIGHUP (then SIGTERM, then SIGKILL) when the caller drops. */
int run_door_on_pty(const Caller &c, const std::string &dir, const std::string &drop_path, TelnetReader &telnet)
{
    struct winsize size = {};
    size.ws_col = (unsigned short)(c.width > 0 ? c.width : 80);
    size.ws_row = (unsigned short)(c.height > 0 ? c.height : 24);
    /* The relay writes what the pty gives in one piece: it goes out at once
     * rather than behind the caller's delayed acknowledgements. */
    int one = 1;
    setsockopt(c.socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int master = -1, terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, &size) != 0) return -1;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    char terminal_name[PATH_MAX] = "";
    bool named = ttyname_r(terminal, terminal_name, sizeof terminal_name) == 0;
    pid_t pid = named ? spawn_door(door_command(c, drop_path), dir, terminal_name) : -1;
    close(terminal);
    if (pid < 0) {
        close(master);
        return -1;
    }

    bool caller_gone = false;
    int status = 0;
    bool door_done = false;
    time_t hangup_at = 0;
    int escalation = 0;
    while (!door_done) {
        struct pollfd p[2] = {{master, POLLIN, 0}, {caller_gone ? -1 : c.socket, POLLIN, 0}};
        poll(p, 2, 200);
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            unsigned char buffer[4096];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0 && !caller_gone && !send_door_output(c.socket, buffer, (size_t)n)) caller_gone = true;
        }
        if (!caller_gone && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            std::string data;
            int r = read_caller(c.socket, telnet, 0, [&](int ch) { data += (char)ch; });
            if (r < 0) caller_gone = true;
            else if (!data.empty()) write_all(master, data.data(), data.size());
            if (telnet.window_changed) {
                telnet.window_changed = false;
                struct winsize ws = {};
                ws.ws_col = (unsigned short)telnet.width;
                ws.ws_row = (unsigned short)telnet.height;
                ioctl(master, TIOCSWINSZ, &ws);
            }
        }
        if (caller_gone && hangup_at == 0) {
            report("node %d: caller dropped, hanging up the door", c.node);
            kill(-pid, SIGHUP);
            kill(pid, SIGHUP);
            hangup_at = time(nullptr);
        }
        if (hangup_at) {
            time_t waited = time(nullptr) - hangup_at;
            if (waited >= 2 && escalation == 0) {
                kill(pid, SIGTERM);
                escalation = 1;
            } else if (waited >= 5 && escalation == 1) {
                kill(pid, SIGKILL);
                escalation = 2;
            }
        }
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) door_done = true;
    }
    /* Whatever the door wrote last still reaches the caller; a process the
     * door left behind may hold the terminal open, so this does not wait
     * for the terminal to close, only for the output to stop. */
    unsigned char buffer[4096];
    ssize_t n;
    struct pollfd rest = {master, POLLIN, 0};
    while (!caller_gone && poll(&rest, 1, 100) > 0 && (n = read(master, buffer, sizeof buffer)) > 0)
        if (!send_door_output(c.socket, buffer, (size_t)n)) break;
    close(master);
    return status;
}

/* One caller, in its own process: negotiate, ask the name, write the drop
 * file, run the door, report its error level, hang up. */
[[noreturn]] void serve_caller(Caller c)
{
    signal(SIGCHLD, SIG_DFL);
    TelnetReader telnet;
    if (!negotiate(c.socket, telnet)) _exit(0);
    c.width = telnet.width;
    c.height = telnet.height;
    if (!opt.name.empty()) c.name = opt.name;
    else if (!ask_name(c.socket, telnet, c.name)) {
        report("node %d: caller left at the name prompt", c.node);
        _exit(0);
    }
    c.user = user_number(c.name);
    std::string dir = opt.nodes_dir + "/node" + std::to_string(c.node);
    mkdir(dir.c_str(), 0755);
    char absolute[PATH_MAX];
    if (!realpath(dir.c_str(), absolute)) _exit(1);
    dir = absolute;
    std::string drop_path = write_drop_file(c, dir);
    report("node %d: %s (user %d) enters the door", c.node, c.name.c_str(), c.user);
    int status = opt.stdio ? run_door_on_pty(c, dir, drop_path, telnet) : run_door_on_socket(c, dir, drop_path);
    char text[64];
    int level = describe_status(status, text, sizeof text);
    report("node %d: door ended with %s", c.node, text);
    shutdown(c.socket, SHUT_RDWR);
    close(c.socket);
    _exit(level < 0 ? 255 : level);
}

void on_stop(int)
{
    stop_requested = 1;
}

bool parse_options(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "grimby-launch: %s needs a value\n", what);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--") {
            for (i++; i < argc; i++) opt.door_args.push_back(argv[i]);
        } else if (a == "--listen") opt.listen_address = value("--listen");
        else if (a == "--port") opt.port = atoi(value("--port"));
        else if (a == "--door") opt.door = value("--door");
        else if (a == "--nodes") opt.nodes_dir = value("--nodes");
        else if (a == "--stdio") opt.stdio = true;
        else if (a == "--raw") opt.raw = true;
        else if (a == "--name") opt.name = value("--name");
        else if (a == "--nodes-max") opt.max_nodes = atoi(value("--nodes-max"));
        else if (a == "--first-node") opt.first_node = atoi(value("--first-node"));
        else if (a == "--minutes") opt.minutes = atoi(value("--minutes"));
        else if (a == "--bbs-name") opt.bbs_name = value("--bbs-name");
        else if (a == "--callers") opt.callers = atoi(value("--callers"));
        else if (a == "--dropfile") {
            std::string kind = value("--dropfile");
            if (kind == "door32") opt.drop = DROP_DOOR32;
            else if (kind == "doorsys") opt.drop = DROP_DOORSYS;
            else if (kind == "dorinfo") opt.drop = DROP_DORINFO;
            else if (kind == "chain") opt.drop = DROP_CHAIN;
            else {
                fprintf(stderr, "grimby-launch: unknown drop file kind %s\n", kind.c_str());
                return false;
            }
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            exit(0);
        } else {
            fprintf(stderr, "grimby-launch: unknown option %s\n", a.c_str());
            return false;
        }
    }
    if (opt.port < 0 || opt.port > 65535 || opt.max_nodes < 1 || opt.minutes < 1) {
        fprintf(stderr, "grimby-launch: a port, node count or minutes value is out of range\n");
        return false;
    }
    if (opt.door.empty()) {
        char self[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            self[n] = '\0';
            std::string here(self);
            here = here.substr(0, here.rfind('/'));
            for (const char *candidate : {"/GRIMBY", "/game/GRIMBY", "/../game/GRIMBY"}) {
                std::string path = here + candidate;
                if (access(path.c_str(), X_OK) == 0) {
                    char resolved[PATH_MAX];
                    opt.door = realpath(path.c_str(), resolved) ? resolved : path;
                    break;
                }
            }
        }
    } else {
        char resolved[PATH_MAX];
        if (realpath(opt.door.c_str(), resolved)) opt.door = resolved;
    }
    if (opt.door.empty() || access(opt.door.c_str(), X_OK) != 0) {
        fprintf(stderr, "grimby-launch: no door program to run (use --door PATH)\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (!parse_options(argc, argv)) {
        usage(stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction stop = {};
    stop.sa_handler = on_stop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    mkdir(opt.nodes_dir.c_str(), 0755);

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)opt.port);
    if (inet_pton(AF_INET, opt.listen_address.c_str(), &address.sin_addr) != 1) {
        fprintf(stderr, "grimby-launch: bad listen address %s\n", opt.listen_address.c_str());
        return 2;
    }
    if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 16) != 0) {
        fprintf(stderr, "grimby-launch: cannot listen on %s:%d: %s\n", opt.listen_address.c_str(), opt.port,
                strerror(errno));
        return 1;
    }
    /* With port 0 the system picks one; the line below tells which. */
    socklen_t length = sizeof address;
    if (getsockname(listener, (struct sockaddr *)&address, &length) == 0) opt.port = ntohs(address.sin_port);
    report("listening on %s:%d, door %s%s", opt.listen_address.c_str(), opt.port, opt.door.c_str(),
         opt.stdio ? " (standard I/O on a pty)" : " (socket hand-over)");

    std::vector<pid_t> nodes((size_t)opt.max_nodes, 0);
    int served = 0;
    int exit_code = 0;
    while (!stop_requested) {
        /* Free the nodes of callers who have left. */
        int status;
        pid_t done;
        while ((done = waitpid(-1, &status, WNOHANG)) > 0)
            for (pid_t &n : nodes)
                if (n == done) n = 0;
        bool busy = false;
        for (pid_t n : nodes) busy = busy || n != 0;
        if (opt.callers > 0 && served >= opt.callers) {
            if (!busy) break;
            usleep(50000);
            continue;
        }
        struct pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        int caller = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (caller < 0) continue;
        int slot = -1;
        for (int i = 0; i < opt.max_nodes && slot < 0; i++)
            if (nodes[(size_t)i] == 0) slot = i;
        if (slot < 0) {
            send_text(caller, "\r\nAll nodes are busy. Please call again later.\r\n");
            close(caller);
            continue;
        }
        Caller c = {opt.first_node + slot, caller, "", 0, 80, 24};
        pid_t pid = fork();
        if (pid == 0) {
            close(listener);
            serve_caller(c);
        }
        close(caller);
        if (pid > 0) {
            nodes[(size_t)slot] = pid;
            served++;
        } else {
            exit_code = 1;
        }
    }
    close(listener);
    for (pid_t n : nodes)
        if (n > 0) waitpid(n, nullptr, 0);
    return exit_code;
}
