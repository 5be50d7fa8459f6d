/* chat_latency.cpp -- how long a chat line takes from one BBS's caller to
 * another's, and how long a lobby key waits while the hub stalls. Starts the
 * real grimby-hub (a CA and a localhost certificate made for the run), two
 * BBSes each running the real GRIMBY on a socket as a BBS hands over a
 * caller, walks both callers into the chat room, and times each line from
 * the Enter on one caller's line to its text on the other caller's screen,
 * at random moments against the worker's rhythm. Then stops the hub with
 * SIGSTOP (it accepts connections and answers nothing) and times lobby keys.
 * Targets: line p99 <= 4.5 s; longest lobby key wait <= 60 ms.
 *
 *   bench_chat_latency [--lines N] [--keys N] [--grimby PATH] [--hub PATH] */
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench_net.h"
#include "qorb_chat_int.h"
#include "qorb_json.h"

namespace {

bool sh(const std::string &command)
{
    return system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

bool write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

std::string read_file(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
    return text;
}

/* One caller on a door over a socket pair; everything the door sent is
 * kept so that a wait can look for text that arrives after a mark. */
struct Door {
    pid_t pid = -1;
    int fd = -1;
    std::string seen;

    void pump(int timeout_ms)
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return;
        char buffer[65536];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) seen.append(buffer, (size_t)got);
    }
    /* Waits for text after position from; the time it appeared, or 0. */
    uint64_t wait_for(const std::string &text, size_t from, double seconds)
    {
        uint64_t end = NowMicros() + (uint64_t)(seconds * 1e6);
        for (;;) {
            if (seen.find(text, from) != std::string::npos) return NowMicros();
            if (NowMicros() >= end) return 0;
            pump(5);
        }
    }
    bool keys(const char *text)
    {
        size_t length = strlen(text);
        return write(fd, text, length) == (ssize_t)length;
    }
};

bool start_door(const std::string &grimby, const std::string &dir, const std::string &chat_json,
                const std::string &grimby_json, const char *name, Door *door)
{
    mkdir(dir.c_str(), 0700);
    if (!sh("cp '" + grimby + "' '" + dir + "/GRIMBY'") || !write_file(dir + "/chat.json", chat_json) ||
        !write_file(dir + "/grimby.json", grimby_json))
        return false;
    door->pid = BenchStartSocketDoor(dir, name, &door->fd);
    return door->pid > 0;
}

/* A new caller: silent, a survivor, into the lobby. */
bool to_lobby(Door *door, const char *handle)
{
    struct Step {
        const char *text, *keys;
    } steps[] = {{"[N] SILENT", "n"}, {"> ", nullptr}, {"[Y] YES", "y"}, {"M / F", "m"}, {"CLASS", "1"}};
    for (const Step &step : steps) {
        if (!door->wait_for(step.text, 0, 20)) return false;
        if (step.keys) {
            door->keys(step.keys);
        } else {
            door->keys(handle);
            door->keys("\r");
        }
        door->seen.clear();
    }
    uint64_t end = NowMicros() + 20000000;
    while (NowMicros() < end) {
        door->pump(50);
        if (door->seen.find("[G] GO STRAIGHT") != std::string::npos) {
            door->keys("g");
            door->seen.clear();
        }
        if (door->seen.find("[Q] RETURN TO BBS") != std::string::npos) return true;
    }
    return false;
}

int fail(const char *what, const Door *door = nullptr)
{
    fprintf(stderr, "chat_latency: %s\n", what);
    if (door && !door->seen.empty())
        fprintf(stderr, "last bytes from the door: %.300s\n",
                door->seen.substr(door->seen.size() > 300 ? door->seen.size() - 300 : 0).c_str());
    return 1;
}

std::string enroll(const std::string &hub_url, const std::string &ca, const char *bbs)
{
    static char reply[4096];
    long status = 0;
    std::string body = std::string("{\"bbs\":\"") + bbs + "\",\"game\":\"grimby\"}";
    if (!pn_request((hub_url + "/v1/enroll/auto").c_str(), ca.c_str(), body.c_str(), nullptr, reply, sizeof reply, &status) ||
        status != 200)
        return "";
    static cj_doc doc;
    char secret[257];
    if (!cj_parse(&doc, reply) || !cj_get(&doc, "secret", secret, sizeof secret)) return "";
    return secret;
}

} // namespace

int main(int argc, char **argv)
{
    int lines = 200, key_count = 100;
    std::string grimby = BenchBuildDir() + "/game/GRIMBY", hub_binary = BenchBuildDir() + "/hub/grimby-hub";
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--lines") && i + 1 < argc) lines = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--keys") && i + 1 < argc) key_count = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--grimby") && i + 1 < argc) grimby = argv[++i];
        else if (!strcmp(argv[i], "--hub") && i + 1 < argc) hub_binary = argv[++i];
        else {
            fprintf(stderr, "usage: %s [--lines N] [--keys N] [--grimby PATH] [--hub PATH]\n", argv[0]);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/grimby-chat-latency-XXXXXX";
    if (!mkdtemp(pattern)) return fail("cannot make a directory");
    std::string dir = pattern;

    /* The hub, with a CA of this run's own. */
    write_file(dir + "/leaf.ext", "subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n");
    if (!sh("cd '" + dir + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
            "-subj '/CN=Bench CA' && openssl req -new -newkey rsa:2048 -nodes -keyout key.pem -out leaf.csr "
            "-subj /CN=localhost && openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-out cert.pem -days 2 -extfile leaf.ext"))
        return fail("openssl could not make the certificates");
    write_file(dir + "/hub.json", "{\"listen\":\"127.0.0.1\",\"port\":0,\"certificate\":\"cert.pem\",\"key\":\"key.pem\","
                                  "\"database\":\"hub.db\",\"release_dir\":\"releases\",\"port_file\":\"port\"}\n");
    mkdir((dir + "/releases").c_str(), 0700);
    pid_t hub = fork();
    if (hub == 0) {
        int log = open((dir + "/hub.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(log, 2);
        execl(hub_binary.c_str(), hub_binary.c_str(), "--config", (dir + "/hub.json").c_str(), (char *)nullptr);
        _exit(127);
    }
    int port = 0;
    for (int i = 0; i < 2000 && !port; i++) {
        std::string text = read_file(dir + "/port");
        if (!text.empty() && text.back() == '\n') port = atoi(text.c_str());
        else usleep(10000);
    }
    if (!port) return fail(("the hub did not start: " + read_file(dir + "/hub.log")).c_str());
    std::string url = "https://localhost:" + std::to_string(port);
    std::string ca = dir + "/ca.pem";
    std::string setting = "{\"hub\":\"" + url + "\",\"hub_ca\":\"" + ca + "\"}\n";
    std::string secret_a = enroll(url, ca, "Bench A"), secret_b = enroll(url, ca, "Bench B");
    if (secret_a.empty() || secret_b.empty()) return fail("enrollment failed");

    auto chat_json = [&](const char *bbs, const std::string &secret) {
        return std::string("{\"enabled\":true,\"bbs\":\"") + bbs + "\",\"secret\":\"" + secret + "\",\"url\":\"" +
               url + "\"}\n";
    };
    Door a, b;
    if (!start_door(grimby, dir + "/a", chat_json("Bench A", secret_a), setting, "Ann", &a) ||
        !start_door(grimby, dir + "/b", chat_json("Bench B", secret_b), setting, "Bob", &b))
        return fail("cannot start the doors");
    if (!to_lobby(&a, "Ann")) return fail("caller A did not reach the lobby", &a);
    if (!to_lobby(&b, "Bob")) return fail("caller B did not reach the lobby", &b);
    a.keys("c");
    b.keys("c");
    if (!a.wait_for("players online", 0, 30) || !b.wait_for("players online", 0, 30))
        return fail("the chat rooms did not come online", &a);

    printf("chat_latency: %d lines from caller A (BBS A) to caller B (BBS B) through grimby-hub\n", lines);
    fflush(stdout);
    srand((unsigned)NowMicros());
    std::vector<uint64_t> took;
    for (int i = 1; i <= lines; i++) {
        /* A random moment against both workers' 2 s rhythm. */
        uint64_t pause_end = NowMicros() + (uint64_t)(rand() % 2000) * 1000;
        while (NowMicros() < pause_end) {
            a.pump(5);
            b.pump(5);
        }
        /* B only reads; a backspace on its empty line keeps the kit's
         * inactivity limit from ending its call. */
        if (i % 10 == 0) b.keys("\b");
        a.seen.clear();
        size_t mark = b.seen.size();
        char token[32], line[64];
        snprintf(token, sizeof token, "#%d#", i);
        snprintf(line, sizeof line, "line %s\r", token);
        a.keys(line);
        uint64_t sent = NowMicros();
        uint64_t shown = b.wait_for(token, mark, 30);
        if (!shown) return fail("a line did not arrive within 30 s", &b);
        took.push_back(shown - sent);
        if (b.seen.size() > (1u << 20)) b.seen.erase(0, b.seen.size() - 4096);
        if (i % 10 == 0 || i == lines) {
            printf("  %3d/%d lines: p50 %.2f s, p99 %.2f s, max %.2f s\n", i, lines, Percentile(took, 0.50) / 1e6,
                   Percentile(took, 0.99) / 1e6, Percentile(took, 1.0) / 1e6);
            fflush(stdout);
        }
    }
    double p99 = Percentile(took, 0.99) / 1e6;
    printf("line latency over %d lines: p50 %.2f s, p99 %.2f s (target p99 <= 4.50 s) %s\n", lines,
           Percentile(took, 0.50) / 1e6, p99, p99 <= 4.5 ? "OK" : "MISSED");

    /* Lobby keys, first with the hub serving, then with it stopped. */
    a.keys("\x1b");
    if (!a.wait_for("[Q] RETURN TO BBS", 0, 10)) return fail("caller A did not return to the lobby", &a);
    auto lobby_keys = [&](const char *label) {
        std::vector<uint64_t> waits;
        for (int i = 0; i < key_count; i++) {
            uint64_t pause_end = NowMicros() + (uint64_t)(rand() % 300) * 1000;
            while (NowMicros() < pause_end) a.pump(5);
            a.seen.clear();
            uint64_t sent = NowMicros();
            a.keys("h");
            uint64_t shown = a.wait_for("TOP SCORES", 0, 10);
            if (!shown) return (uint64_t)0;
            waits.push_back(shown - sent);
            a.keys("c");
            if (!a.wait_for("[Q] RETURN TO BBS", 0, 10)) return (uint64_t)0;
        }
        printf("lobby key to answer, %s: p50 %.1f ms, max %.1f ms over %d keys\n", label,
               Percentile(waits, 0.5) / 1e3, Percentile(waits, 1.0) / 1e3, key_count);
        fflush(stdout);
        return Percentile(waits, 1.0);
    };
    if (!lobby_keys("hub serving")) return fail("a lobby key went unanswered", &a);
    kill(hub, SIGSTOP);
    usleep(3000 * 1000); /* the worker is now inside requests that get nowhere */
    uint64_t worst = lobby_keys("hub stalled");
    if (!worst) return fail("a lobby key went unanswered while the hub stalled", &a);
    bool status_says = a.seen.find("Hub unavailable - reconnecting") != std::string::npos ||
                       a.wait_for("Hub unavailable - reconnecting", 0, 15);
    printf("longest lobby key wait while the hub stalls: %.1f ms (target <= 60 ms) %s; status line %s\n",
           worst / 1e3, worst <= 60000 ? "OK" : "MISSED", status_says ? "says the hub is unavailable" : "NOT updated");

    /* The caller leaves while the worker is stuck: the door still ends. */
    uint64_t quit = NowMicros();
    a.keys("q");
    int status = 0;
    while (waitpid(a.pid, &status, WNOHANG) == 0 && NowMicros() - quit < 10000000) usleep(1000);
    printf("door exit while the hub stalls: %.0f ms after Q\n", (NowMicros() - quit) / 1e3);
    kill(hub, SIGCONT);
    kill(b.pid, SIGTERM);
    kill(hub, SIGTERM);
    waitpid(b.pid, nullptr, 0);
    waitpid(hub, nullptr, 0);
    sh("rm -rf '" + dir + "'");
    return 0;
}
