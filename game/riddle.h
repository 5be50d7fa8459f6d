/* riddle.h -- the rusted seal of a stage: a three-way riddle that gives a
 * clue, a key and score once per stage, and costs health when missed. */
#ifndef RIDDLE_H
#define RIDDLE_H

#include <stddef.h>

/* The option line of the last riddle built. */
extern char choices[100];

/* Puts the current stage's riddle before the caller. */
void puzzle(void);

/* Builds the riddle of stage (0..7) in month_index (0..11; 9 is October's
 * hand-written set): the riddle text into text, the option line into
 * choices. month_name names the month in the other months' riddles.
 * Returns the right answer, 1..3. */
int riddle_build(int stage, int month_index, const char *month_name, char *text, size_t text_size);

/* Takes the caller's key against the answer (1..3) at the current stage:
 * RIDDLE_RIGHT breaks the seal (clue, key, score), RIDDLE_WRONG costs 12 hp,
 * RIDDLE_QUIT (Q or Escape) sets quit_requested. Letter case is ignored. */
#define RIDDLE_WRONG 0
#define RIDDLE_RIGHT 1
#define RIDDLE_QUIT  2
int riddle_answer(int key, int answer);

#endif
