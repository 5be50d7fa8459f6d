/* scores.cpp -- score tables: parsing, the exchange ranking and the four
 * bulletins, each replaced whole through a temporary file. */
#include "scores.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "scores_io.h"
#include "storage.h"

int score_parse_line(const char *line, score_entry *entry)
{
    char copy[TSV_LINE_MAX];
    size_t length = strlen(line);
    if (length >= sizeof copy) return 0;
    memcpy(copy, line, length + 1);
    char *field[6];
    if (tsv_split(copy, field, 6) != 5) return 0;
    size_t date_length = strlen(field[0]);
    size_t name_length = strlen(field[1]);
    if (date_length == 0 || date_length >= sizeof entry->date) return 0;
    if (name_length == 0 || name_length >= sizeof entry->name) return 0;
    for (size_t i = 0; i < date_length; i++)
        if ((unsigned char)field[0][i] < 32 || field[0][i] == 127) return 0;
    for (size_t i = 0; i < name_length; i++)
        if ((unsigned char)field[1][i] < 32 || field[1][i] == 127) return 0;
    long score = 0, stage = 0, kind = 0;
    if (!tsv_parse_int(field[2], &score, 0) || !tsv_parse_int(field[3], &stage, 0) ||
        !tsv_parse_int(field[4], &kind, 0))
        return 0;
    memcpy(entry->date, field[0], date_length + 1);
    memcpy(entry->name, field[1], name_length + 1);
    entry->score = (int)score;
    entry->stage = (int)stage;
    entry->kind = (int)kind;
    return 1;
}

void rank_scores(score_entry *entries, int count)
{
    /* The exchanges run on indices and the entries move once at the end:
     * the same order, without copying whole entries at every swap. */
    static int order[SCORE_TABLE_MAX];
    static score_entry ranked[SCORE_TABLE_MAX];
    if (count > SCORE_TABLE_MAX) {
        for (int i = 0; i + 1 < count; i++)
            for (int j = i + 1; j < count; j++)
                if (entries[j].score > entries[i].score) {
                    score_entry swap = entries[i];
                    entries[i] = entries[j];
                    entries[j] = swap;
                }
        return;
    }
    for (int i = 0; i < count; i++) order[i] = i;
    for (int i = 0; i + 1 < count; i++)
        for (int j = i + 1; j < count; j++)
            if (entries[order[j]].score > entries[order[i]].score) {
                int swap = order[i];
                order[i] = order[j];
                order[j] = swap;
            }
    for (int i = 0; i < count; i++) ranked[i] = entries[order[i]];
    for (int i = 0; i < count; i++) entries[i] = ranked[i];
}

int read_scores_file(const char *path, score_entry *entries, int most)
{
    if (!entries || most <= 0) return 0;
    FILE *in = tsv_fopen(path);
    if (!in) return 0;
    tsv_reader reader;
    tsv_open(&reader, in);
    char line[TSV_LINE_MAX];
    int count = 0;
    int lowest = -1; /* the slot a better late result replaces, once full */
    int status;
    score_entry entry;
    while ((status = tsv_next(&reader, line, sizeof line)) != TSV_END) {
        if (status != TSV_LINE || !score_parse_line(line, &entry)) continue;
        if (count < most) {
            entries[count++] = entry;
            continue;
        }
        /* A full table still takes a result that beats its lowest: the hall
         * of a long-running board must keep showing new records. */
        if (lowest < 0) {
            lowest = 0;
            for (int i = 1; i < count; i++)
                if (entries[i].score < entries[lowest].score) lowest = i;
        }
        if (entry.score > entries[lowest].score) {
            entries[lowest] = entry;
            lowest = -1;
        }
    }
    fclose(in);
    if (count >= 2) rank_scores(entries, count);
    return count;
}

int read_scores(score_entry *entries, int daily)
{
    return read_scores_file(daily ? SCORES_DAILY_FILE : SCORES_STORY_FILE, entries,
                            SCORE_TABLE_MAX);
}

/* Appends formatted text to out at *used; 0 when it does not fit. */
static int scores_add(char *out, unsigned size, unsigned *used, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

static int scores_add(char *out, unsigned size, unsigned *used, const char *format, ...)
{
    if (*used >= size) return 0;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(out + *used, size - *used, format, args);
    va_end(args);
    if (n < 0 || (unsigned)n >= size - *used) return 0;
    *used += (unsigned)n;
    return 1;
}

int scores_format_ansi(char *out, unsigned size, const score_entry *entries, int count, int daily)
{
    unsigned used = 0;
    if (!out || size == 0) return -1;
    out[0] = 0;
    int ok = scores_add(out, size, &used, "%s",
                        daily ? "\x1b[1;35mGRIMBY - DAILY NIGHTMARE TOP SCORES\x1b[0m\r\n"
                              : "\x1b[1;36mHARVESTFALL - HALL OF HORRORS\x1b[0m\r\n");
    for (int i = 0; ok && i < count && i < SCORE_EXPORT_ROWS; i++) {
        if (daily)
            ok = scores_add(out, size, &used, "\x1b[1;33m%2d. %-24.24s\x1b[0m %8d\r\n", i + 1,
                            entries[i].name, entries[i].score);
        else
            ok = scores_add(out, size, &used, "\x1b[1;33m%2d. %-24.24s\x1b[0m %8d STAGE %d\r\n",
                            i + 1, entries[i].name, entries[i].score, entries[i].stage);
    }
    return ok ? (int)used : -1;
}

int scores_format_text(char *out, unsigned size, const score_entry *entries, int count, int daily)
{
    unsigned used = 0;
    if (!out || size == 0) return -1;
    out[0] = 0;
    int ok = scores_add(out, size, &used, "%s",
                        daily ? "GRIMBY - DAILY NIGHTMARE TOP SCORES\n"
                              : "HARVESTFALL - HALL OF HORRORS\n");
    for (int i = 0; ok && i < count && i < SCORE_EXPORT_ROWS; i++) {
        if (daily)
            ok = scores_add(out, size, &used, "%2d. %-24.24s %8d\n", i + 1, entries[i].name,
                            entries[i].score);
        else
            ok = scores_add(out, size, &used, "%2d. %-24.24s %8d STAGE %d\n", i + 1,
                            entries[i].name, entries[i].score, entries[i].stage);
    }
    return ok ? (int)used : -1;
}

/* Writes length bytes to a new temporary file; mode "wb" or "w" (text mode
 * gives the bulletin CR LF line ends on Windows). 1 when complete. */
static int scores_write_temp(const char *path, const char *mode, const char *text, int length)
{
    FILE *out = fopen(path, mode);
    if (!out) return 0;
    int ok = length >= 0 && fwrite(text, 1, (size_t)length, out) == (size_t)length;
    if (fflush(out) != 0) ok = 0;
    if (fclose(out) != 0) ok = 0;
    return ok;
}

/* 1 when the file at path holds exactly text; mode "rb" or "r" as it was
 * written, so text-mode line ends compare as written. */
static int scores_file_holds(const char *path, const char *mode, const char *text, int length)
{
    static char current[4096 + 1];
    FILE *in = fopen(path, mode);
    if (!in) return 0;
    size_t got = fread(current, 1, sizeof current, in);
    fclose(in);
    return length >= 0 && got == (size_t)length && memcmp(current, text, got) == 0;
}

/* One pair of bulletins of a table. */
static int scores_export_pair(int daily, const char *ansi_name, const char *text_name)
{
    static score_entry entries[SCORE_TABLE_MAX];
    static char ansi[4096], text[4096];
    char ansi_temp[64], text_temp[64];
    snprintf(ansi_temp, sizeof ansi_temp, "%s.tmp", ansi_name);
    snprintf(text_temp, sizeof text_temp, "%s.tmp", text_name);

    int count = read_scores(entries, daily);
    int ansi_length = scores_format_ansi(ansi, sizeof ansi, entries, count, daily);
    int text_length = scores_format_text(text, sizeof text, entries, count, daily);
    if (ansi_length < 0 || text_length < 0) return 0;
    /* Most results do not reach the top twenty: leaving bulletins that
     * would not change alone keeps the write lock's hold short. */
    if (scores_file_holds(ansi_name, "rb", ansi, ansi_length) &&
        scores_file_holds(text_name, "r", text, text_length))
        return 1;
    int ok = scores_write_temp(ansi_temp, "wb", ansi, ansi_length) &&
             scores_write_temp(text_temp, "w", text, text_length);
    if (ok) {
        ok = storage_replace_file(ansi_temp, ansi_name);
        ok = storage_replace_file(text_temp, text_name) && ok;
    }
    /* Whatever was not moved into place is not left lying about. */
    remove(ansi_temp);
    remove(text_temp);
    return ok;
}

int export_scores(void)
{
    int ok = scores_export_pair(0, "highscores.ans", "highscores.asc");
    ok = scores_export_pair(1, "daily-highscores.ans", "daily-highscores.asc") && ok;
    return ok;
}
