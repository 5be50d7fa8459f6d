/* daily.h -- the daily challenge: one dated mission per UTC day, the same on
 * every BBS, and the guard that lets each caller finish it once a day. */
#ifndef DAILY_H
#define DAILY_H

#define DAILY_LOCK_FILE "data/daily-lock.tsv"
#define DAILY_OCTOBER_DAYS 31
#define DAILY_OMENS 8

/* The reservation of the current run: the profile file name without its
 * extension, then "-<season_stamp>.running". It is a directory, created
 * atomically, so two nodes cannot both hold one caller's day. */
extern char daily_reservation[160];
extern int  daily_reserved; /* 1 while this process holds daily_reservation */

/* October's missions, indexed by day - 1. */
extern const char *const daily_chapters[DAILY_OCTOBER_DAYS];
extern const char *const daily_decisions[DAILY_OCTOBER_DAYS];
extern const char *const daily_events[DAILY_OCTOBER_DAYS];
extern const char *const daily_results[DAILY_OCTOBER_DAYS];
extern const char *const daily_safe_results[DAILY_OCTOBER_DAYS];
/* The other months' omens. */
extern const char *const daily_omens[DAILY_OMENS];

/* Builds the reservation name of profile (cut at its last '.') and stamp
 * into out; 1 when it fits. */
int daily_reservation_name(char *out, unsigned size, const char *profile, int stamp);

/* 1 when "data/daily-lock.tsv" holds a line for profile on day stamp.
 * Unreadable, malformed or over-long lines never match. */
int daily_already_played(const char *profile, int stamp);

/* Takes the day's reservation for profile_path and season_stamp: refused
 * without a profile or storage, when the write lock cannot be had, when the
 * caller already finished today's daily, or while the reservation exists
 * (another node is playing it, or a run of today never finished). 1 when
 * this process now holds it. Shows nothing: the run shows the refusal. */
int daily_reserve(void);

/* Gives the day back: removes the reservation directory (abandoned run, or
 * after the result is marked). Harmless when nothing is held. */
void daily_release(void);

/* Appends profile_path and season_stamp to "data/daily-lock.tsv" unless the
 * line is there already, under the write lock. 1 when the day is marked. */
int daily_mark_played(void);

/* The run-state changes of outcome k (0..4) of the risky choice, and the
 * melody October plays with it. */
const char *daily_risky_outcome(int k);

/* The safe route: hp +6 and energy +8, each capped at 100, score +25. */
void daily_safe_outcome(void);

/* Outcome of the risky choice on day d: October by its row, other months
 * by the date. */
int daily_october_outcome(int d);
int daily_month_outcome(int d, int month_index, int year);

/* The omen of day d in month index m (the other months' mission text). */
const char *daily_omen(int d, int month_index);

/* The day's mission: one choice before the riddle or the shadows' offer and
 * the guardian. May set quit_requested (also when the caller drops). */
void daily_story(int d);

#endif
