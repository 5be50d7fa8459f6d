/* scores_io.cpp -- line reader, field splitter and the torn-line-proof
 * append behind every data file the game writes. */
#include "scores_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NOINHERIT
#define O_NOINHERIT 0
#endif

void tsv_open(tsv_reader *reader, FILE *stream)
{
    reader->stream = stream;
    reader->position = 0;
    reader->length = 0;
    reader->at_end = stream == nullptr;
}

FILE *tsv_fopen(const char *path)
{
    FILE *stream = path ? fopen(path, "rb") : nullptr;
    if (!stream) return nullptr;
    struct stat info;
    if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) {
        fclose(stream);
        return nullptr;
    }
    return stream;
}

/* Refills the buffer; 0 when the file has nothing more. */
static int tsv_fill(tsv_reader *reader)
{
    if (reader->at_end) return 0;
    reader->length = fread(reader->buffer, 1, sizeof reader->buffer, reader->stream);
    reader->position = 0;
    if (reader->length == 0) {
        reader->at_end = 1;
        return 0;
    }
    return 1;
}

int tsv_next(tsv_reader *reader, char *line, size_t size)
{
    size_t used = 0;
    int bad = size == 0;
    int any = 0;
    for (;;) {
        if (reader->position >= reader->length && !tsv_fill(reader)) {
            if (!any) return TSV_END;
            break; /* last line without its line feed */
        }
        any = 1;
        const char *start = reader->buffer + reader->position;
        size_t left = reader->length - reader->position;
        const char *end = (const char *)memchr(start, '\n', left);
        size_t take = end ? (size_t)(end - start) : left;
        if (!bad) {
            if (memchr(start, 0, take) || used + take >= size) {
                bad = 1;
            } else {
                memcpy(line + used, start, take);
                used += take;
            }
        }
        reader->position += take + (end ? 1 : 0);
        if (end) break;
    }
    if (bad) {
        if (size) line[0] = 0;
        return TSV_BAD;
    }
    if (used > 0 && line[used - 1] == '\r') used--;
    line[used] = 0;
    return TSV_LINE;
}

int tsv_split(char *line, char **fields, int most)
{
    int count = 0;
    char *p = line;
    while (count < most) {
        fields[count++] = p;
        char *tab = strchr(p, '\t');
        if (!tab) break;
        *tab = 0;
        p = tab + 1;
    }
    return count;
}

int tsv_parse_int(const char *text, long *out, int trailing_ok)
{
    if (!text) return 0;
    const char *p = text;
    int negative = 0;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return 0;
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > (long long)INT_MAX + 1) return 0;
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return 0;
    if (!trailing_ok && *p) return 0;
    *out = (long)value;
    return 1;
}

int tsv_append(const char *path, const char *record, size_t length)
{
    if (!path || !record || length == 0 || length > TSV_LINE_MAX) return 0;
    int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_BINARY | O_CLOEXEC | O_NOINHERIT, 0666);
    if (fd < 0) return 0;
    int ok = 0;
    char out[TSV_LINE_MAX + 1];
    size_t out_length = 0;
    off_t size = lseek(fd, 0, SEEK_END);
    if (size >= 0) {
        /* A torn last line (a crash, another program) must not swallow the
         * start of ours. */
        char last = '\n';
        if (size > 0 && (lseek(fd, size - 1, SEEK_SET) < 0 || read(fd, &last, 1) != 1))
            last = 0;
        if (last != '\n') out[out_length++] = '\n';
        memcpy(out + out_length, record, length);
        out_length += length;
        size_t done = 0;
        while (done < out_length) {
            ssize_t n = write(fd, out + done, (unsigned)(out_length - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += (size_t)n;
        }
        if (done == out_length) {
            ok = 1;
        } else if (done > 0) {
            /* Disk full or a size limit mid-record: give the file back its
             * old end rather than keep half a line. */
            if (ftruncate(fd, size) != 0) { /* nothing more can be done */
            }
        }
    }
    if (close(fd) != 0) ok = 0;
    return ok;
}
