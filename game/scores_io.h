/* scores_io.h -- reading and appending the game's tab-separated data files
 * (scores, daily marks, the InterBBS exchange) so that hostile lines are
 * skipped and an append never leaves a torn line behind. */
#ifndef SCORES_IO_H
#define SCORES_IO_H

#include <stddef.h>
#include <stdio.h>

#define TSV_LINE_MAX 512

#define TSV_END  0 /* no more lines */
#define TSV_LINE 1 /* a line, its end (LF or CR LF) removed */
#define TSV_BAD  2 /* an over-long line or one holding a NUL byte: skip it */

/* Reads a file line by line through its own buffer. */
typedef struct {
    FILE  *stream;
    size_t position;
    size_t length;
    int    at_end;
    char   buffer[8192];
} tsv_reader;

void tsv_open(tsv_reader *reader, FILE *stream);

/* Opens a data file for reading; null when it is missing or is not a
 * regular file (a device or a pipe would never end). */
FILE *tsv_fopen(const char *path);

/* The next line into line (size bytes with its terminator). A line that
 * does not fit is consumed whole and reported as TSV_BAD. */
int tsv_next(tsv_reader *reader, char *line, size_t size);

/* Splits line in place at its tabs; returns the number of fields (at most
 * most). A field may be empty. */
int tsv_split(char *line, char **fields, int most);

/* A decimal int: optional sign, at least one digit, no overflow; the whole
 * text unless trailing_ok. 1 on success. */
int tsv_parse_int(const char *text, long *out, int trailing_ok);

/* Appends one whole record to path (created if missing) with a single
 * write. A file whose last line lacks its line feed gets one first, so the
 * record starts a line of its own; a short write is cut back off, so the
 * file never keeps half a record. 1 when every byte is written and the file
 * closed cleanly. Callers hold the write lock. */
int tsv_append(const char *path, const char *record, size_t length);

#endif
