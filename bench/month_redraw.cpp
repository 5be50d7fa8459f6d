/* month_redraw.cpp -- bytes a caller receives for one full redraw of each
 * month's screen (title bar and picture), drawn by the game's own code
 * through the door kit's output calls. Target: at most 3,000 bytes.
 *
 * The first figure is what the kit sent, as caught on standard output. The
 * second re-encodes the same stream's colour changes the way an ANSI
 * output layer that tracks the caller's colour does (only the parts that
 * differ, a reset only where bright or blink must go off), for comparison
 * while the kit in this build still sends every colour in full. */
#include "ODPlat.h"
#include "season.h"
#include "screen.h"
#include "../tools/stdout_session.h"

#include "doorkit.h"
#include "ODCmdLn.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

/* Standard output is a temporary file for the whole run (see main): the
 * bytes one drawing sends are those the file grew by. */
static std::string capture(void (*draw)(void))
{
    off_t start = lseek(1, 0, SEEK_END);
    draw();
    od_kernel(); /* the kit sends what it collected */
    off_t end = lseek(1, 0, SEEK_END);
    std::string bytes((size_t)(end - start), '\0');
    if (end > start && pread(1, &bytes[0], bytes.size(), start) != (ssize_t)bytes.size()) bytes.clear();
    return bytes;
}

/* Length of the colour change from attribute c (-1 unknown) to a. */
static size_t sgr_length(int c, int a)
{
    static const int ansi[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    if (c >= 0 && (((c & 0x80) && !(a & 0x80)) || ((c & 0x08) && !(a & 0x08)))) c = -1;
    std::string p;
    auto add = [&p](int v) { p += (p.empty() ? "" : ";") + std::to_string(v); };
    if (c < 0) {
        add(0);
        if (a & 0x80) add(5);
        if (a & 0x08) add(1);
    } else {
        if ((a & 0x80) && !(c & 0x80)) add(5);
        if ((a & 0x08) && !(c & 0x08)) add(1);
    }
    if (c < 0 || (c & 7) != (a & 7)) add(30 + ansi[a & 7]);
    if (c < 0 || (c & 0x70) != (a & 0x70)) add(40 + ansi[(a >> 4) & 7]);
    return p.empty() ? 0 : p.size() + 3;
}

/* The stream's size with every colour change sent as a difference. */
static size_t diff_encoded(const std::string &s)
{
    static const int pc[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    size_t total = 0;
    int current = -1;
    for (size_t i = 0; i < s.size();) {
        if (s[i] == 0x1B && i + 1 < s.size() && s[i + 1] == '[') {
            size_t j = i + 2;
            while (j < s.size() && !(s[j] >= 0x40 && s[j] <= 0x7E)) j++;
            if (j >= s.size()) break;
            std::string params = s.substr(i + 2, j - i - 2);
            if (s[j] == 'm') {
                int a = current < 0 ? 7 : current;
                size_t start = 0;
                for (;;) {
                    size_t end = params.find(';', start);
                    int v = atoi(params.substr(start, end - start).c_str());
                    if (v == 0) a = 7;
                    if (v == 1) a |= 8;
                    if (v == 5) a |= 0x80;
                    if (v >= 30 && v <= 37) a = (a & ~7) | pc[v - 30];
                    if (v >= 40 && v <= 47) a = (a & ~0x70) | (pc[v - 40] << 4);
                    if (end == std::string::npos) break;
                    start = end + 1;
                }
                total += sgr_length(current, a);
                current = a;
            } else {
                total += j + 1 - i;
                if (s[j] == 'J' && current >= 0) total += sgr_length(-1, current);
            }
            i = j + 1;
        } else {
            total++;
            i++;
        }
    }
    return total;
}

static void pin(int month, int day)
{
    static const int64_t first_of_month_2026[12] = {20454, 20485, 20513, 20544, 20574, 20605,
                                                    20635, 20666, 20697, 20727, 20758, 20788};
    /* The tick keeps going forward: only the date moves. */
    ODPlatClockUseVirtual(ODPlatTickMs() + 1000, (first_of_month_2026[month] + day - 1) * 86400 + 43200);
    season_bind();
}

static void draw_month_screen(void)
{
    if (season_index == SEASON_OCTOBER) {
        header(season_is_halloween() ? "A HALLOWEEN NIGHTMARE" : seasons[season_index].title);
        grimby_art(SCREEN_ART_COLUMN, SCREEN_ART_TOP, season_is_halloween() ? 2 : 0);
    } else {
        header(seasons[season_index].title);
        seasonal_draw(SCREEN_ART_COLUMN, 0);
    }
}

int main(void)
{
    char path[] = "/tmp/grimby-bench-XXXXXX";
    int sink = mkstemp(path);
    if (sink < 0) {
        perror("mkstemp");
        return 1;
    }
    unlink(path);
    FILE *report = fdopen(dup(1), "w");
    dup2(sink, 1);
    start_stdout_session();
    fprintf(report, "Full redraw of each month's screen (title bar + picture), bytes to the caller\n");
    fprintf(report, "%-12s %8s %12s\n", "month", "sent", "diff-coded");
    size_t worst = 0;
    for (int m = 0; m < 12; m++) {
        pin(m, 15);
        std::string bytes = capture(draw_month_screen);
        size_t diff = diff_encoded(bytes);
        if (bytes.size() > worst) worst = bytes.size();
        fprintf(report, "%-12s %8zu %12zu\n", seasons[m].name, bytes.size(), diff);
    }
    pin(9, 31);
    std::string halloween = capture(draw_month_screen);
    fprintf(report, "%-12s %8zu %12zu\n", "Halloween", halloween.size(), diff_encoded(halloween));
    if (halloween.size() > worst) worst = halloween.size();
    fprintf(report, "largest: %zu bytes (target 3000): %s\n", worst, worst <= 3000 ? "met" : "NOT MET");
    return worst <= 3000 ? 0 : 1;
}
