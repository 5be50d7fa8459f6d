/* profile.h -- who the caller is to the game: the profile file named by the
 * caller's identity, the handle with its colour codes and its plain form,
 * gender and class, and the dialogue that creates them. */
#ifndef PROFILE_H
#define PROFILE_H

#include <stddef.h>
#include <stdint.h>

extern char profile_path[128];   /* "data/profile-%016llx.tsv"; empty: no identity */
extern char display_handle[128]; /* the handle as typed, colour codes and all */
extern char player[32];          /* the plain handle: scores, chat, InterBBS */
extern int  gender;              /* 0 M, 1 F; cosmetic */
extern int  player_class;        /* 0 CARVER .. 4 MEDIUM */

#define PLAYER_CLASSES     5
#define HANDLE_VISIBLE_MAX 24  /* characters of the plain handle */
#define HANDLE_INPUT_MAX   55  /* characters the caller may type */
#define PROFILE_LINE_MAX   256 /* the profile line is read through this buffer */

/* 64-bit FNV-1a over the identity's bytes up to its terminator. */
uint64_t profile_hash(const char *identity);

/* Fills profile_path from the caller's identity. A null or empty identity
 * empties profile_path and gives 0. */
int profile_set_identity(const char *identity);

/* The colour (1 to 15) that a colour code at the start of text selects:
 * "|" and two digits from 01 to 15. 0 when text does not open a code. */
int handle_colour_code(const char *text);

/* Fills player from a display handle: codes skipped whole, printable
 * characters but backslash kept, at most HANDLE_VISIBLE_MAX of them;
 * "TRAVELER" when nothing visible is left. */
void make_plain_handle(const char *handle);

/* One stretch of a drawn handle: text in one colour on black, starting at
 * column, on consecutive columns. */
typedef struct {
    int  column;
    int  colour;
    int  length;
    char text[80];
} handle_run;

#define HANDLE_RUNS_MAX 80

/* Lays a display handle out from column on: where each visible character
 * lands and in which colour, gathered into runs. Columns 0, 44 to 46 and 80
 * on are skipped but counted; layout ends at column 75. Returns the number
 * of runs written (at most max_runs). */
int handle_layout(int column, const char *handle, handle_run *runs, int max_runs);

/* Draws a display handle in its colours at (row, column). */
void render_handle(int column, int row, const char *handle);

/* Parses one profile line (line feed already removed). 1 and the three
 * values when it is a valid profile, else 0 and nothing written. */
int profile_parse_line(const char *line, char *handle, size_t handle_size, int *gender_out,
                       int *class_out);

/* Loads a profile file into the globals; 0 (globals untouched) when it is
 * missing, unreadable or invalid. */
int profile_load(const char *path);

/* The temporary name a save of path writes first. 1 when it fits. */
int profile_temp_path(const char *path, char *out, size_t out_size);

/* Writes the profile line through a temporary file in the same directory,
 * moved over the old profile only once it is complete on disk. 0 on any
 * failure, and then the old file is as it was. */
int profile_save(const char *path);

/* One key of the handle entry line (entry holds up to HANDLE_INPUT_MAX
 * characters and its terminator). *echo is set to the bytes to send back,
 * or null. Returns 1 when the key ended the line. */
int handle_input_key(char *entry, int key, const char **echo);

/* Loads the caller's profile or runs the creation dialogue. */
void profile_setup(void);

#endif
