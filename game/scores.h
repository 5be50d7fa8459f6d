/* scores.h -- the local score tables ("data/story.tsv", "data/daily.tsv"):
 * reading and ranking them, the hall of fame, and the score bulletins the
 * BBS shows in its menus. */
#ifndef SCORES_H
#define SCORES_H

#define SCORES_STORY_FILE "data/story.tsv"
#define SCORES_DAILY_FILE "data/daily.tsv"
#define SCORE_TABLE_MAX   512 /* entries a table holds */
#define SCORE_EXPORT_ROWS  20 /* ranks in each bulletin */
#define SCORE_HALL_ROWS    13 /* ranks on a hall of fame page */

typedef struct {
    char date[32];  /* eight digits, year month day, as written */
    char name[64];  /* the plain handle */
    int  score;
    int  stage;     /* stage reached, 1 to 8 */
    int  kind;      /* 0 story, 1 daily */
} score_entry;

/* Parses one score line (its line end removed): date, name, score, stage
 * and kind separated by tabs. Names holding control bytes are refused, as
 * they would reach callers' terminals. 1 and the entry on success. */
int score_parse_line(const char *line, score_entry *entry);

/* Ranks by exchange: for each position i, every later position j whose
 * score is greater is swapped into i. This exact procedure settles ties. */
void rank_scores(score_entry *entries, int count);

/* Reads a score file into entries (room for most) and ranks them; returns
 * the count, 0 for a missing file. Once more lines than fit have been read,
 * a new line replaces the lowest score it beats, so the table always holds
 * the best results of the whole file, however long it has grown. */
int read_scores_file(const char *path, score_entry *entries, int most);

/* The story (daily 0) or daily table, SCORE_TABLE_MAX entries, ranked. */
int read_scores(score_entry *entries, int daily);

/* Writes the four bulletins from the two tables: "highscores.ans",
 * "highscores.asc", "daily-highscores.ans", "daily-highscores.asc". Each
 * pair is written to temporary files and moved over the old bulletins only
 * when both are complete, so a failure leaves the previous ones whole.
 * 1 when all four were replaced. Called with the write lock held. */
int export_scores(void);

/* The bulletin texts of a table, as written (the plain text with bare line
 * feeds; text mode adds the carriage returns on Windows). */
int scores_format_ansi(char *out, unsigned size, const score_entry *entries, int count, int daily);
int scores_format_text(char *out, unsigned size, const score_entry *entries, int count, int daily);


/* The hall of fame: the story and daily tables and the InterBBS
 * leaderboards; returns to the lobby on C, Q or Escape. */
void hall(void);

#endif
