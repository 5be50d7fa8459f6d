/* score_latency.cpp -- how long a result takes to travel between BBSes:
 * from a caller's exit on BBS A (the game queues the result and starts A's
 * sync worker) to the row in BBS B's InterBBS table once B's next caller
 * arrives (B's worker runs), against the real grimby-hub on loopback. One
 * sync on each side bounds it; the figure is that pair's cost.
 *
 *   bench_score_latency [RUNS]   (default 50) */
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "bench_net.h"
#include "interbbs.h"

namespace {

std::string gBuild;

int RunIn(const std::string &dir, const std::vector<std::string> &args)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Write(const std::string &path, const std::string &text)
{
    FILE *out = fopen(path.c_str(), "wb");
    if (!out) return false;
    bool ok = fwrite(text.data(), 1, text.size(), out) == text.size();
    return fclose(out) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = argc > 1 ? atoi(argv[1]) : 50;
    if (runs < 1) runs = 50;
    gBuild = BenchBuildDir();
    char pattern[] = "/tmp/grimby-score-latency-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string root = pattern, hub_dir = root + "/hub";
    std::string init = "'" + gBuild + "/hub/grimby-hub' --init '" + hub_dir +
                       "' --host localhost >/dev/null 2>&1 && sed -i 's/\"port\": 443/\"port\": 0, "
                       "\"port_file\": \"port\"/; s/\"listen\": \"0.0.0.0\"/\"listen\": \"127.0.0.1\"/' '" +
                       hub_dir + "/hub.json'";
    if (system(init.c_str()) != 0) {
        fprintf(stderr, "the hub could not be set up in %s\n", root.c_str());
        return 1;
    }
    pid_t hub = fork();
    if (hub == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execl((gBuild + "/hub/grimby-hub").c_str(), "grimby-hub", "--config", (hub_dir + "/hub.json").c_str(),
              (char *)nullptr);
        _exit(127);
    }
    int port = 0;
    for (int i = 0; i < 200 && !port; i++, usleep(20000)) {
        FILE *in = fopen((hub_dir + "/port").c_str(), "r");
        if (in) {
            if (fscanf(in, "%d", &port) != 1) port = 0;
            fclose(in);
        }
    }
    std::string sync = gBuild + "/workers/GRIMBY-SYNC", config = gBuild + "/workers/GRIMBY-CONFIG";
    std::string a = root + "/a", b = root + "/b";
    bool ready = port > 0;
    for (const std::string &dir : {a, b}) {
        std::string settings = "{\"hub\":\"https://localhost:" + std::to_string(port) + "\",\"hub_ca\":\"" +
                               hub_dir + "/cert.pem\"}\n";
        ready = ready && mkdir(dir.c_str(), 0755) == 0 && mkdir((dir + "/data").c_str(), 0755) == 0 &&
                Write(dir + "/grimby.json", settings) &&
                RunIn(dir, {config, "--gui-setup", "--bbs", dir == a ? "Bench A" : "Bench B", "--domain",
                            "localhost", "--interbbs", "Y"}) == 0;
    }
    if (!ready) {
        fprintf(stderr, "the hub or the two BBSes could not be set up (see %s)\n", root.c_str());
        kill(hub, SIGTERM);
        return 1;
    }
    char here[PATH_MAX];
    if (!getcwd(here, sizeof here)) return 1;
    char date[9];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y%m%d", gmtime(&now));

    std::vector<uint64_t> total, upload, fetch;
    int missing = 0;
    for (int run = 0; run < runs; run++) {
        std::string player = "Runner" + std::to_string(run);
        uint64_t t0 = NowMicros();
        /* The caller leaves A: the game queues the result... */
        if (chdir(a.c_str()) != 0) return 1;
        interbbs_queue(date, player.c_str(), 100000 + run, 0, "data/profile-0123456789abcdef.tsv");
        if (chdir(here) != 0) return 1;
        /* ...and A's worker runs; then B's, at its next caller's arrival. */
        int a_code = RunIn(a, {sync});
        uint64_t t1 = NowMicros();
        int b_code = RunIn(b, {sync});
        interbbs_row rows[32];
        int count = interbbs_read_rows((b + "/" INTERBBS_STORY_BOARD).c_str(), rows, 32);
        uint64_t t2 = NowMicros();
        if (a_code != 0 || b_code != 0 || count < 1 || player != rows[0].player) missing++;
        total.push_back(t2 - t0);
        upload.push_back(t1 - t0);
        fetch.push_back(t2 - t1);
    }
    kill(hub, SIGTERM);
    waitpid(hub, nullptr, 0);
    if (system(("rm -rf '" + root + "'").c_str()) != 0) fprintf(stderr, "%s was left behind\n", root.c_str());

    printf("bench_score_latency: %d runs, a caller's exit on A to the row in B's table\n", runs);
    printf("  exit on A -> B's table     p50 %7.1f ms  p99 %7.1f ms\n", Percentile(total, 0.50) / 1000.0,
           Percentile(total, 0.99) / 1000.0);
    printf("    A's sync (upload)        p50 %7.1f ms  p99 %7.1f ms\n", Percentile(upload, 0.50) / 1000.0,
           Percentile(upload, 0.99) / 1000.0);
    printf("    B's sync (boards)        p50 %7.1f ms  p99 %7.1f ms\n", Percentile(fetch, 0.50) / 1000.0,
           Percentile(fetch, 0.99) / 1000.0);
    printf("  runs whose row was missing from B's table: %d\n", missing);
    return missing ? 1 : 0;
}
