/* scene_wrap.cpp -- the word-wrap rule that lays story text into the left
 * column: words joined by single blanks, line feeds kept, words longer than
 * a line cut into line-sized pieces. */
#include "scene.h"

static void ignore_line(int, const char *, int, void *) {}

int prose_wrap(const char *text, int width, ProseEmit emit, void *context)
{
    if (!emit) emit = ignore_line;
    if (!text || width < 1) return 0;
    /* A line never holds more than the widest row of the screen, so a
     * fixed buffer serves any width asked for. */
    char line[256];
    if (width > (int)sizeof line - 1) width = (int)sizeof line - 1;
    int number = 0, length = 0;
    const char *p = text;
    while (*p) {
        if (*p == ' ') {
            p++;
            continue;
        }
        if (*p == '\n') {
            if (length > 0) emit(number, line, length, context);
            number++;
            length = 0;
            p++;
            continue;
        }
        const char *word = p;
        while (*p && *p != ' ' && *p != '\n') p++;
        int size = (int)(p - word);
        if (length > 0 && length + 1 + size > width) {
            emit(number++, line, length, context);
            length = 0;
        }
        if (size > width) {
            /* Only reached on an empty line: the word cannot share one. */
            while (size > width) {
                emit(number++, word, width, context);
                word += width;
                size -= width;
            }
        } else if (length > 0) {
            line[length++] = ' ';
        }
        for (int i = 0; i < size; i++) line[length++] = word[i];
    }
    if (length > 0) emit(number++, line, length, context);
    return number;
}
