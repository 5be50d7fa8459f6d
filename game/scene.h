/* scene.h -- the shape of every adventure screen: the stage page, the
 * word-wrapper for story text, and the twelve-frame effect that ends a run. */
#ifndef SCENE_H
#define SCENE_H

/* The stage page of the current stage (level): place as title, picture,
 * the text (may be null) on rows 5 to 7, the bars and the status line. */
void scene(const char *text);

/* Draws text wrapped to lines of at most width characters at column 3,
 * line i on row row + i; nothing beyond row 20. */
void prose(int row, int colour, const char *text, int width);

/* The end effect: 0 for a victory, 1 for a defeat. */
void explosion(int defeated);

/* The line layout behind prose, without the screen: calls emit once for
 * every line that holds text, with its line number (rows left empty by
 * line feeds are skipped, not emitted) and its characters (not
 * terminated). Returns the number of lines the text takes; 0 for no text
 * or a width below 1. emit may be null to only count. */
typedef void (*ProseEmit)(int line, const char *text, int length, void *context);
int prose_wrap(const char *text, int width, ProseEmit emit, void *context);

#endif
