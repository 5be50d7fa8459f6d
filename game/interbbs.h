/* interbbs.h -- the game's side of the InterBBS score exchange. The game
 * never talks to the score hub: it queues results in an outbox, starts the
 * sync worker in the background, and shows the leaderboards the worker
 * leaves in "data". */
#ifndef INTERBBS_H
#define INTERBBS_H

#include <stddef.h>
#include <stdint.h>

#define INTERBBS_OUTBOX      "data/interbbs-outbox.tsv"
#define INTERBBS_STORY_BOARD "data/interbbs-story.tsv"
#define INTERBBS_DAILY_BOARD "data/interbbs-daily.tsv"
#define INTERBBS_SETTINGS    "hub/sync.json"
#define INTERBBS_NAME_MAX    32 /* bytes of the safe name in an outbox line */
#ifdef _WIN32
#define INTERBBS_WORKER "hub\\GRIMBY-SYNC.exe"
#else
#define INTERBBS_WORKER "hub/GRIMBY-SYNC"
#endif

/* One leaderboard row. */
typedef struct {
    char player[48];
    char bbs[48];
    int  score;
} interbbs_row;

/* The safe form of a handle for the exchange: every byte outside 32..126
 * becomes '_', cut to INTERBBS_NAME_MAX bytes. out holds at least 33. */
void interbbs_safe_name(char *out, const char *name);

/* Formats one outbox line: "grimby", date, safe name, score, kind word
 * ("story" or "daily") and the entry id "<now>-<sequence>-<profile file>"
 * (now as a signed 32-bit number, the profile file without its leading
 * "data/"). Returns the length, or -1 when it does not fit. */
int interbbs_outbox_line(char *out, size_t size, const char *date, const char *name, int score,
                         int daily, int64_t now, unsigned long sequence, const char *profile);

/* Queues a result in the outbox, whether or not sharing is on; the entry
 * id takes the kit clock and this process's next sequence number (the
 * first line of a process carries 1). Called with the write lock held.
 * 1 when the whole line is written. */
int interbbs_queue(const char *date, const char *name, int score, int daily, const char *profile);

/* Parses one leaderboard line: player, tab, BBS name, tab, score (further
 * fields are ignored). 1 and the row on success. */
int interbbs_parse_row(const char *line, interbbs_row *row);

/* Reads up to most valid rows of a leaderboard in file order. -1 when the
 * file cannot be opened. */
int interbbs_read_rows(const char *file, interbbs_row *rows, int most);

/* Draws up to most rows of a leaderboard from screen row `row` on, or the
 * line saying there is nothing to show. */
void interbbs_rows(const char *file, int row, int most);

/* Starts the score hub sync worker ("hub/GRIMBY-SYNC", ".exe" on Windows)
 * hidden and detached, never waiting for it; does nothing without
 * "hub/sync.json". Every failure is silent: the game plays on with its
 * local tables. */
void interbbs_sync_background(void);

/* ---- the operating system's half (posix/, win32/) ---- */

/* Starts program with no arguments in a session of its own, with no
 * window, no console and none of the game's handles. 1 when started. */
int interbbs_start_worker(const char *program);

/* Collects workers of this process that have ended; never blocks. */
void interbbs_reap_workers(void);

#endif
