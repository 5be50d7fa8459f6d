/* node_storm.cpp -- the node storm: many node processes record results into
 * one data directory, contending for the write lock. Counts lost lines, torn
 * lines and saves that gave up (all must be 0) and reports the time one save
 * takes:
 *   - for the node counts a BBS really has (4, 8, 16), with callers saving
 *     back to back and at a caller's pace (one result per caller every 1 to
 *     4 s, uniformly jittered: still far busier than play, where a run takes
 *     minutes), p50 and p99 for each; target p99 <= 250 ms at a caller's pace;
 *   - for the storm itself: nodes saving back to back.
 *
 *   bench_node_storm [nodes [results-per-node [paced-results-per-node]]]
 *                                                   (default 64 50 16) */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "interbbs.h"
#include "profile.h"
#include "result.h"
#include "run.h"
#include "scores.h"
#include "scores_io.h"
#include "season.h"
#include "storage.h"

namespace {

struct Sample {
    int32_t node;
    int32_t result;
    uint32_t microseconds;
};

double now_seconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

/* The pause before a node's next save: fixed, or uniform in [lo, hi]. */
struct Pace {
    int lo_ms, hi_ms;
};

/* One node: its own caller, results one after another, a sample per save. */
void node_main(int node, int results, Pace pace, int gate, int samples)
{
    char c;
    while (read(gate, &c, 1) < 0 && errno == EINTR) {
    }
    storage_ok = 1;
    snprintf(player, sizeof player, "NODE%02d", node);
    snprintf(profile_path, sizeof profile_path, "data/profile-%016x.tsv", node + 1);
    season_year = 2026, season_index = 9, season_day = 6, season_stamp = 2026278;
    unsigned seed = (unsigned)(node + 1) * 2654435761u;
    for (int i = 0; i < results; i++) {
        int pause = pace.lo_ms;
        if (pace.hi_ms > pace.lo_ms) pause += (int)(rand_r(&seed) % (unsigned)(pace.hi_ms - pace.lo_ms + 1));
        if (pause) usleep((useconds_t)pause * 1000);
        score = node * 100000 + i;
        level = i % 8;
        double start = now_seconds();
        int result = save_result(0);
        Sample s = {node, result, (uint32_t)((now_seconds() - start) * 1e6)};
        if (write(samples, &s, sizeof s) != (ssize_t)sizeof s) _exit(3);
    }
    _exit(0);
}

double percentile(std::vector<uint32_t> &v, double p)
{
    if (v.empty()) return 0;
    size_t k = (size_t)(p * (double)(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + (long)k, v.end());
    return v[k] / 1000.0;
}

struct Storm {
    std::vector<uint32_t> times;
    int gave_up, warned, crashed;
    long expected, lines, lost, torn, doubled, outbox_lines, outbox_lost, outbox_torn;
    double elapsed;
};

/* Runs nodes processes of results saves each in a fresh door directory and
 * checks every line they left. */
int storm(int nodes, int results, Pace pace, Storm *out)
{
    char root[] = "/tmp/grimby-node-storm-XXXXXX";
    char here[4096];
    if (!getcwd(here, sizeof here) || !mkdtemp(root) || chdir(root) != 0 || mkdir("data", 0777) != 0) {
        perror("node storm: door directory");
        return 0;
    }
    int gate[2], samples[2];
    if (pipe(gate) != 0 || pipe(samples) != 0) return 0;
    std::vector<pid_t> pids;
    for (int node = 0; node < nodes; node++) {
        pid_t pid = fork();
        if (pid < 0) {
            perror("node storm: fork");
            break;
        }
        if (pid == 0) {
            close(gate[1]);
            close(samples[0]);
            node_main(node, results, pace, gate[0], samples[1]);
        }
        pids.push_back(pid);
    }
    close(gate[0]);
    close(samples[1]);
    double start = now_seconds();
    close(gate[1]); /* all nodes go at once */

    Storm &r = *out;
    r = Storm();
    Sample s;
    for (;;) {
        ssize_t n = read(samples[0], &s, sizeof s);
        if (n < 0 && errno == EINTR) continue;
        if (n != (ssize_t)sizeof s) break;
        r.times.push_back(s.microseconds);
        if (s.result == RESULT_FAILED) r.gave_up++;
        if (s.result == RESULT_WARNING) r.warned++;
    }
    close(samples[0]);
    for (pid_t pid : pids) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            r.crashed++;
    }
    r.crashed += nodes - (int)pids.size();
    r.elapsed = now_seconds() - start;

    /* Every expected line exactly once, every line whole. */
    r.expected = (long)nodes * results;
    std::set<int> seen;
    FILE *in = tsv_fopen(SCORES_STORY_FILE);
    tsv_reader reader;
    tsv_open(&reader, in);
    char line[TSV_LINE_MAX];
    int status;
    while (in && (status = tsv_next(&reader, line, sizeof line)) != TSV_END) {
        r.lines++;
        score_entry e;
        char name[16];
        if (status != TSV_LINE || !score_parse_line(line, &e)) {
            r.torn++;
            continue;
        }
        snprintf(name, sizeof name, "NODE%02d", e.score / 100000);
        if (strcmp(e.name, name) != 0 || e.stage != e.score % 100000 % 8 + 1) r.torn++;
        else if (!seen.insert(e.score).second) r.doubled++;
    }
    if (in) fclose(in);
    r.lost = r.expected - (long)seen.size();

    std::set<std::string> ids;
    in = tsv_fopen(INTERBBS_OUTBOX);
    tsv_open(&reader, in);
    while (in && (status = tsv_next(&reader, line, sizeof line)) != TSV_END) {
        r.outbox_lines++;
        char *field[7];
        if (status != TSV_LINE || tsv_split(line, field, 7) != 6 || strcmp(field[0], "grimby") != 0) {
            r.outbox_torn++;
            continue;
        }
        ids.insert(field[5]);
    }
    if (in) fclose(in);
    r.outbox_lost = r.expected - (long)ids.size();

    std::string cleanup = std::string("rm -rf ") + root;
    if (chdir(here) != 0 || system(cleanup.c_str()) != 0) fprintf(stderr, "node storm: %s left\n", root);
    return 1;
}

int storm_bad(const Storm &r)
{
    return r.lost || r.torn || r.doubled || r.outbox_lost || r.outbox_torn || r.gave_up || r.crashed;
}

} // namespace

int main(int argc, char **argv)
{
    int nodes = argc > 1 ? atoi(argv[1]) : 64;
    int results = argc > 2 ? atoi(argv[2]) : 50;
    int paced_results = argc > 3 ? atoi(argv[3]) : 16;
    if (nodes < 1 || nodes > 999 || results < 1 || results > 99999 || paced_results < 0 ||
        paced_results > 99999) {
        fprintf(stderr, "usage: %s [nodes [results-per-node [paced-results-per-node]]]\n", argv[0]);
        return 2;
    }
    int bad = 0;

    /* The baseline: one node alone, its saves far enough apart that it
     * never waits for its turn. */
    Storm solo;
    if (!storm(1, 30, Pace{150, 150}, &solo)) return 2;
    printf("one node alone: %ld saves, %d gave up; time to save: p50 %.1f ms, p99 %.1f ms\n",
           solo.expected, solo.gave_up, percentile(solo.times, 0.50), percentile(solo.times, 0.99));
    bad |= storm_bad(solo);

    printf("time to save by node count (ms; a caller's pace is one result every 1-4 s, jittered):\n");
    printf("  nodes  pace                saves   p50     p99     max    gave up  lost\n");
    const int counts[] = {4, 8, 16};
    for (int count : counts) {
        for (int paced = 0; paced < 2; paced++) {
            if (paced && paced_results == 0) continue;
            Storm r;
            Pace pace = paced ? Pace{1000, 4000} : Pace{0, 0};
            if (!storm(count, paced ? paced_results : results, pace, &r)) return 2;
            printf("  %5d  %-18s %6ld %7.1f %7.1f %7.1f %6d %6ld\n", count,
                   paced ? "a caller's pace" : "back to back", r.expected, percentile(r.times, 0.50),
                   percentile(r.times, 0.99), percentile(r.times, 1.0), r.gave_up, r.lost + r.outbox_lost);
            fflush(stdout);
            bad |= storm_bad(r);
        }
    }
    printf("  target: p99 <= 250 ms at a caller's pace\n");

    Storm r;
    if (!storm(nodes, results, Pace{0, 0}, &r)) return 2;
    printf("node storm: %d nodes x %d results = %ld saves in %.2f s (%.0f saves/s)\n", nodes, results,
           r.expected, r.elapsed, r.expected / r.elapsed);
    printf("  score lines: %ld written, %ld lost, %ld torn, %ld doubled\n", r.lines, r.lost, r.torn,
           r.doubled);
    printf("  outbox lines: %ld written, %ld lost, %ld torn\n", r.outbox_lines, r.outbox_lost,
           r.outbox_torn);
    printf("  saves: %d gave up, %d saved with a warning, %d nodes crashed\n", r.gave_up, r.warned,
           r.crashed);
    printf("  time to save: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", percentile(r.times, 0.50),
           percentile(r.times, 0.99), percentile(r.times, 1.0));
    bad |= storm_bad(r);
    return bad ? 1 : 0;
}
