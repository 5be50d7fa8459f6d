/* frame_latency.cpp -- (Windows, run under Wine) what the sysop's frame
 * window costs the caller: key-to-reply latency of the real GRIMBY.exe
 * while its frame repaints the lobby, the busiest screen the game draws
 * (art, colours, CP437 blocks), against the same door run with -SILENT,
 * measured in one run with the keys of the two sessions interleaved so
 * both see the same machine load.
 *
 * Each round sends "h" (the hall of fame replaces the lobby) and "c" (the
 * lobby is drawn again) and times the first byte and the whole answer
 * (until the screen's last text is there). Prints p50 and p90.
 *
 *   frame_latency.exe [rounds]      (default 20; needs DISPLAY for the frame) */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "win_door.h"

namespace {

double NowMs()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

struct Session {
    const char *name;
    WinDoor door;
    WinCaller caller;
    std::vector<double> first, whole;
};

// Sends the key and waits for the answer's text; false after 10 s.
bool Time(Session &s, const char *key, const char *answer)
{
    s.caller.screen.clear();
    double start = NowMs(), first = -1;
    s.caller.Type(key);
    int row, col;
    while (NowMs() - start < 10000) {
        std::string bytes = s.caller.ReadSome();
        if (bytes.empty()) {
            Sleep(1);
            continue;
        }
        if (first < 0) first = NowMs() - start;
        s.caller.screen.feed(bytes);
        if (s.caller.screen.find(answer, &row, &col)) {
            s.first.push_back(first);
            s.whole.push_back(NowMs() - start);
            return true;
        }
    }
    fprintf(stderr, "%s: no \"%s\" after \"%s\"\n", s.name, answer, key);
    return false;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[(size_t)(p * (double)(v.size() - 1))];
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 20;
    if (rounds < 1) rounds = 1;
    Session framed, silent;
    framed.name = "frame window";
    silent.name = "-SILENT";
    if (!framed.door.Start(&framed.caller, "") || !silent.door.Start(&silent.caller, "-SILENT")) return 1;
    if (!WinDoor::ReachLobby(framed.caller) || !WinDoor::ReachLobby(silent.caller)) {
        fprintf(stderr, "a session did not reach the lobby\n");
        return 1;
    }
    Session *order[2] = {&framed, &silent};
    for (int i = 0; i < rounds; i++) {
        for (Session *s : order) {
            if (!Time(*s, "h", "No Story Mode scores") || !Time(*s, "c", "[Q] RETURN TO BBS")) return 1;
        }
        std::swap(order[0], order[1]); /* neither always goes first */
    }
    printf("GRIMBY.exe key-to-reply latency under Wine, %d rounds of hall and lobby redraws\n", rounds);
    printf("%-14s %10s %10s %10s %10s\n", "", "first p50", "first p90", "whole p50", "whole p90");
    for (Session *s : {&framed, &silent})
        printf("%-14s %8.1fms %8.1fms %8.1fms %8.1fms\n", s->name, Percentile(s->first, 0.5),
               Percentile(s->first, 0.9), Percentile(s->whole, 0.5), Percentile(s->whole, 0.9));
    double p50 = Percentile(framed.whole, 0.5) / std::max(Percentile(silent.whole, 0.5), 0.001);
    double p90 = Percentile(framed.whole, 0.9) / std::max(Percentile(silent.whole, 0.9), 0.001);
    printf("frame / silent, whole answer: p50 %.2fx, p90 %.2fx; target <= 2x: %s\n", p50, p90,
           p50 <= 2.0 && p90 <= 2.0 ? "met" : "NOT met");
    framed.caller.HangUp();
    silent.caller.HangUp();
    framed.door.ExitCode();
    silent.door.ExitCode();
    return 0;
}
