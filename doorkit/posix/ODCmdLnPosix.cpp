/* ODCmdLnPosix.cpp -- the Linux half of the command line: the process line
 * rebuilt from /proc/self/cmdline, byte widening, and help on standard output. */
#include "../ODCmdLn.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Reads the whole of /proc/self/cmdline: NUL-terminated arguments, as many
 * bytes as the kernel holds (there is no fixed upper bound). */
static char *ODCmdLnReadProcCmdline(size_t *size)
{
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    size_t capacity = 4096, used = 0;
    char *buffer = (char *)malloc(capacity + 1);
    while (buffer) {
        if (used == capacity) {
            char *grown = capacity > ((size_t)-1 - 1) / 2 ? nullptr
                                                          : (char *)realloc(buffer, capacity * 2 + 1);
            if (!grown) {
                free(buffer);
                buffer = nullptr;
                break;
            }
            buffer = grown;
            capacity *= 2;
        }
        ssize_t n = read(fd, buffer + used, capacity - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            free(buffer);
            buffer = nullptr;
            break;
        }
        if (n == 0) break;
        used += (size_t)n;
    }
    close(fd);
    if (buffer) {
        buffer[used] = '\0'; /* ends an argument a program rewrote without its NUL */
        *size = used;
    }
    return buffer;
}

char *ODCmdLnProcessLine(void)
{
    size_t size = 0;
    char *raw = ODCmdLnReadProcCmdline(&size);
    if (!raw) return nullptr;
    size_t count = 0;
    for (size_t at = 0; at < size; at += strlen(raw + at) + 1) count++;
    char *line = nullptr;
    if (count > 0) {
        const char **args = (const char **)malloc(count * sizeof(char *));
        if (args) {
            size_t i = 0;
            for (size_t at = 0; at < size; at += strlen(raw + at) + 1) args[i++] = raw + at;
            line = ODCmdLnQuoteArgs((int)(count > (size_t)0x7FFFFFFF ? 0x7FFFFFFF : count), args);
            free(args);
        }
    }
    free(raw);
    return line;
}

/* The command line is bytes: each one becomes one code unit and comes back
 * unchanged, high CP437 and UTF-8 bytes included. */
tODWideChar *ODCmdLnToWide(const char *text)
{
    if (!text) return nullptr;
    size_t length = strlen(text);
    if (length >= ((size_t)-1) / sizeof(tODWideChar) - 1) return nullptr;
    tODWideChar *wide = (tODWideChar *)malloc((length + 1) * sizeof(tODWideChar));
    if (!wide) return nullptr;
    for (size_t i = 0; i <= length; i++) wide[i] = (tODWideChar)(unsigned char)text[i];
    return wide;
}

size_t ODCmdLnFromWide(const tODWideChar *text, char *out, size_t out_size)
{
    if (!text) return 0;
    size_t length = 0;
    for (; text[length]; length++)
        if (text[length] > 0xFF) return 0; /* not a byte: cannot come from the line */
    if (!out) return length + 1;
    if (out_size < length + 1) return 0;
    for (size_t i = 0; i < length; i++) out[i] = (char)(unsigned char)text[i];
    out[length] = '\0';
    return length + 1;
}

tODWideChar **ODWindowsCommandLineToArgv(const tODWideChar *line, int *argc, void **release_token)
{
    if (release_token) *release_token = nullptr;
    return ODCmdLnSplitPortable(line, argc, malloc);
}

void ODWindowsCommandLineFree(tODWideChar **argv, void *release_token)
{
    (void)release_token;
    free(argv);
}

void ODCmdLnShowHelp(const char *title, const char *text)
{
    printf("%s\n\n%s\n", title, text);
    fflush(stdout);
}
