/* result.h -- the tail of every run that is not abandoned: the result is
 * saved to the score table, queued for the InterBBS exchange, the bulletins
 * are refreshed, a daily is marked as played, and the final screen says how
 * it went. */
#ifndef RESULT_H
#define RESULT_H

/* Result codes of a recording. */
#define RESULT_FAILED  0 /* the score line is not saved */
#define RESULT_SAVED   1
#define RESULT_WARNING 2 /* saved, but the outbox, a bulletin or the daily mark failed */

/* The date of a result as eight digits, from the bound season. */
void result_date(char *out, unsigned size);

/* Saves the current run's result (daily 0 story, 1 daily) and, for a daily,
 * marks the day and gives the reservation back. Shows nothing. */
int save_result(int daily);

/* The final screen for a result code; waits for the caller, then clears
 * quit_requested and in_adventure. */
void final_screen(int result);

/* save_result, then final_screen: the end of a run. */
void record_result(int daily);

#endif
