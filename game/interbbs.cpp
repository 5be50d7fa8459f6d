/* interbbs.cpp -- outbox lines, leaderboard rows and the background start
 * of the sync worker. Leaderboards come from other BBSes through the hub,
 * so every byte of them is treated as hostile. */
#include "interbbs.h"

#include <stdio.h>
#include <string.h>

#include "ODPlat.h"
#include "doorkit.h"
#include "scores_io.h"
#include "screen.h"

static unsigned long nInterbbsSequence;

void interbbs_safe_name(char *out, const char *name)
{
    size_t n = 0;
    for (; name && name[n] && n < INTERBBS_NAME_MAX; n++) {
        unsigned char c = (unsigned char)name[n];
        out[n] = (c < 32 || c > 126) ? '_' : (char)c;
    }
    out[n] = 0;
}

int interbbs_outbox_line(char *out, size_t size, const char *date, const char *name, int score,
                         int daily, int64_t now, unsigned long sequence, const char *profile)
{
    char safe[INTERBBS_NAME_MAX + 1];
    interbbs_safe_name(safe, name);
    if (!profile) profile = "";
    if (strncmp(profile, "data/", 5) == 0) profile += 5;
    /* The low 32 bits of the time, as a signed number. */
    long stamp = (long)(int32_t)(uint32_t)(uint64_t)now;
    int n = snprintf(out, size, "grimby\t%s\t%s\t%d\t%s\t%ld-%lu-%s\n", date, safe, score,
                     daily ? "daily" : "story", stamp, sequence, profile);
    if (n < 0 || (size_t)n >= size) return -1;
    return n;
}

int interbbs_queue(const char *date, const char *name, int score, int daily, const char *profile)
{
    char line[TSV_LINE_MAX];
    int n = interbbs_outbox_line(line, sizeof line, date, name, score, daily,
                                 ODPlatWallSeconds(), ++nInterbbsSequence, profile);
    return n > 0 && tsv_append(INTERBBS_OUTBOX, line, (size_t)n);
}

int interbbs_parse_row(const char *line, interbbs_row *row)
{
    char copy[TSV_LINE_MAX];
    size_t length = strlen(line);
    if (length >= sizeof copy) return 0;
    memcpy(copy, line, length + 1);
    char *field[4];
    if (tsv_split(copy, field, 4) < 3) return 0;
    size_t player_length = strlen(field[0]);
    size_t bbs_length = strlen(field[1]);
    if (player_length == 0 || player_length >= sizeof row->player) return 0;
    if (bbs_length == 0 || bbs_length >= sizeof row->bbs) return 0;
    long score = 0;
    if (!tsv_parse_int(field[2], &score, 0)) return 0;
    memcpy(row->player, field[0], player_length + 1);
    memcpy(row->bbs, field[1], bbs_length + 1);
    row->score = (int)score;
    return 1;
}

int interbbs_read_rows(const char *file, interbbs_row *rows, int most)
{
    FILE *in = tsv_fopen(file);
    if (!in) return -1;
    tsv_reader reader;
    tsv_open(&reader, in);
    char line[TSV_LINE_MAX];
    int count = 0;
    int status;
    while (count < most && (status = tsv_next(&reader, line, sizeof line)) != TSV_END)
        if (status == TSV_LINE && interbbs_parse_row(line, &rows[count])) count++;
    fclose(in);
    return count;
}

void interbbs_rows(const char *file, int row, int most)
{
    interbbs_row rows[32];
    if (most > 32) most = 32;
    int count = interbbs_read_rows(file, rows, most);
    if (count < 0) {
        put(3, row, 12, "Leaderboard not synchronized yet.");
        return;
    }
    if (count == 0) {
        put(3, row, 12, "No scores in this category yet.");
        return;
    }
    for (int k = 0; k < count; k++) {
        char text[128];
        snprintf(text, sizeof text, "%2d. %-20.20s %-15.15s %8d", k + 1, rows[k].player,
                 rows[k].bbs, rows[k].score);
        text[76] = 0;
        /* Names from other boards must not carry terminal controls. */
        for (char *p = text; *p; p++)
            if ((unsigned char)*p < 32 || *p == 127) *p = ' ';
        /* These pages hold no picture: the row takes the full width. */
        od_set_color(k == 0 ? 14 : 11, 0);
        od_set_cursor(row + k, 3);
        od_disp_str(text);
    }
}

void interbbs_sync_background(void)
{
    interbbs_reap_workers();
    FILE *settings = fopen(INTERBBS_SETTINGS, "rb");
    if (!settings) return;
    fclose(settings);
    interbbs_start_worker(INTERBBS_WORKER);
}
