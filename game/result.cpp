/* result.cpp -- saving a run's result under the write lock: the score line
 * first (the only write whose failure loses the result), then the outbox,
 * the bulletins and the daily mark, each of which only lowers the result to
 * a warning. */
#include "result.h"

#include <stdio.h>
#include <string.h>

#include "ODPlat.h"
#include "daily.h"
#include "interbbs.h"
#include "profile.h"
#include "run.h"
#include "scores.h"
#include "scores_io.h"
#include "season.h"
#include "storage.h"

void result_date(char *out, unsigned size)
{
    snprintf(out, size, "%04d%02d%02d", season_year, season_index + 1, season_day);
}

/* The score line's name: the plain handle as it is (bytes above 126
 * included), but never a byte that would break the line apart. */
static void result_line_name(char *out, size_t size)
{
    size_t n = 0;
    for (; player[n] && n + 1 < size; n++) {
        unsigned char c = (unsigned char)player[n];
        out[n] = (c < 32 || c == 127) ? '_' : (char)c;
    }
    out[n] = 0;
    if (n == 0) snprintf(out, size, "TRAVELER");
}

/* When this process last let go of the write lock (0: never). */
static uint64_t nResultLastRelease;

/* A node that saves again straight after its last save would win the lock
 * every time against nodes that sleep between their tries, and starve
 * them into giving up; it first waits out the longest retry pause, so
 * every waiting node gets a try in between. A caller's saves are minutes
 * apart, so play never waits here. */
static void result_take_turns(void)
{
    if (!nResultLastRelease) return;
    const uint64_t turn = WRITE_LOCK_RETRY_MS + WRITE_LOCK_RETRY_JITTER_MS;
    uint64_t since = ODPlatTickMs() - nResultLastRelease;
    if (since < turn) ODPlatSleepMs((uint32_t)(turn - since));
}

static void result_release(void)
{
    write_lock_release();
    nResultLastRelease = ODPlatTickMs() | 1;
}

int save_result(int daily)
{
    interbbs_reap_workers(); /* a sync worker that has ended leaves nothing behind */
    if (!storage_ok) return RESULT_FAILED;
    char date[48], name[sizeof player + 1], line[TSV_LINE_MAX];
    result_date(date, sizeof date);
    result_line_name(name, sizeof name);
    int n = snprintf(line, sizeof line, "%s\t%s\t%d\t%d\t%d\n", date, name, score, level + 1,
                     daily ? 1 : 0);
    if (n <= 0 || (size_t)n >= sizeof line) return RESULT_FAILED;

    result_take_turns();
    if (!write_lock_take()) return RESULT_FAILED;
    if (!tsv_append(daily ? SCORES_DAILY_FILE : SCORES_STORY_FILE, line, (size_t)n)) {
        result_release();
        return RESULT_FAILED;
    }
    int result = RESULT_SAVED;
    if (!interbbs_queue(date, name, score, daily, profile_path)) result = RESULT_WARNING;
    if (!export_scores()) result = RESULT_WARNING;
    result_release();

    if (daily) {
        /* Without the mark the reservation stays, so the caller cannot start
         * the same day again on the strength of a failed write. */
        int marked = daily_mark_played();
        nResultLastRelease = ODPlatTickMs() | 1;
        if (!marked) return RESULT_WARNING;
        daily_release();
    }
    return result;
}

void record_result(int daily)
{
    final_screen(save_result(daily));
}
