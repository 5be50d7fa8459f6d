/* ODInExPosix.cpp -- the Linux half of start-up and exit: a fatal start-up
 * message goes to standard error, where a BBS's log catches it. */
#include "../ODInEx.h"

#include <stdio.h>
#include <string.h>

void ODInExShowFatalError(const char *title, const char *text)
{
    (void)title;
    /* One line per line of text; a message's own closing newline makes no
     * empty line. */
    const char *line = text;
    while (*line) {
        const char *end = strchr(line, '\n');
        size_t length = end ? (size_t)(end - line) : strlen(line);
        fprintf(stderr, "%.*s\n", (int)length, line);
        if (!end) break;
        line = end + 1;
    }
    fflush(stderr);
}
