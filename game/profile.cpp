/* profile.cpp -- the caller's profile without its screens: the file name
 * from the caller's identity, colour codes, the plain handle, the layout of
 * a coloured handle, and the profile file's strict reading and safe saving. */
#include "profile.h"

#include "doorkit.h"
#include "storage.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

char profile_path[128] = "";
char display_handle[128] = "TRAVELER";
char player[32] = "TRAVELER";
int  gender = 0;
int  player_class = 0;

uint64_t profile_hash(const char *identity)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    if (!identity) return hash;
    for (const unsigned char *p = (const unsigned char *)identity; *p; p++) {
        hash ^= *p;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

int profile_set_identity(const char *identity)
{
    if (!identity || !identity[0]) {
        profile_path[0] = '\0';
        return 0;
    }
    snprintf(profile_path, sizeof profile_path, "data/profile-%016" PRIx64 ".tsv",
             profile_hash(identity));
    return 1;
}

int handle_colour_code(const char *text)
{
    if (!text || text[0] != '|') return 0;
    if (text[1] < '0' || text[1] > '9') return 0;
    if (text[2] < '0' || text[2] > '9') return 0;
    int value = (text[1] - '0') * 10 + (text[2] - '0');
    return value >= 1 && value <= 15 ? value : 0;
}

static int handle_printable(unsigned char c)
{
    return c >= 32 && c <= 126;
}

void make_plain_handle(const char *handle)
{
    int length = 0;
    int visible = 0; /* a handle of blanks shows as nothing in score tables */
    for (const char *p = handle ? handle : ""; *p && length < HANDLE_VISIBLE_MAX;) {
        if (handle_colour_code(p)) {
            p += 3;
            continue;
        }
        unsigned char c = (unsigned char)*p++;
        if (!handle_printable(c) || c == '\\' || c == '|') continue;
        player[length++] = (char)c;
        if (c != ' ') visible = 1;
    }
    player[length] = '\0';
    if (!visible) strcpy(player, "TRAVELER");
}

/* Columns where a handle character is not drawn: off the page, and the gap
 * before the picture at column 47. */
static int handle_column_hidden(int column)
{
    return column < 1 || column >= 80 || (column >= 44 && column <= 46);
}

int handle_layout(int column, const char *handle, handle_run *runs, int max_runs)
{
    int count = 0;
    int colour = 15;
    if (!handle || !runs || max_runs < 1) return 0;
    for (const char *p = handle; *p && column < 75;) {
        int code = handle_colour_code(p);
        if (code) {
            colour = code;
            p += 3;
            continue;
        }
        unsigned char c = (unsigned char)*p++;
        /* Only a hostile string gets here with a control byte; it must not
         * reach the caller's terminal. */
        if (!handle_printable(c)) continue;
        if (!handle_column_hidden(column)) {
            handle_run *last = count ? &runs[count - 1] : nullptr;
            if (!last || last->colour != colour || last->column + last->length != column) {
                if (count == max_runs) break;
                last = &runs[count++];
                last->column = column;
                last->colour = colour;
                last->length = 0;
            }
            last->text[last->length++] = (char)c;
            last->text[last->length] = '\0';
        }
        column++;
    }
    return count;
}

void render_handle(int column, int row, const char *handle)
{
    handle_run runs[HANDLE_RUNS_MAX];
    int count = handle_layout(column, handle, runs, HANDLE_RUNS_MAX);
    /* One colour change and one cursor move per run instead of per
     * character: the same picture in far fewer bytes. */
    for (int i = 0; i < count; i++) {
        od_set_color(runs[i].colour, 0);
        od_set_cursor(row, runs[i].column);
        od_disp_str(runs[i].text);
    }
}

static int profile_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

/* A decimal number as the profile writes it: blanks, an optional sign and
 * at most nine digits, so no value can overflow. */
static const char *profile_number(const char *p, int *value)
{
    while (profile_space(*p)) p++;
    int negative = 0;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int digits = 0;
    long result = 0;
    while (*p >= '0' && *p <= '9') {
        if (++digits > 9) return nullptr;
        result = result * 10 + (*p++ - '0');
    }
    if (digits == 0) return nullptr;
    *value = (int)(negative ? -result : result);
    return p;
}

int profile_parse_line(const char *line, char *handle, size_t handle_size, int *gender_out,
                       int *class_out)
{
    if (!line || !handle || handle_size < 2 || !gender_out || !class_out) return 0;
    const char *tab = strchr(line, '\t');
    if (!tab) return 0;
    size_t length = (size_t)(tab - line);
    if (length < 1 || length > 127 || length >= handle_size) return 0;
    /* The dialogue only ever stores printable characters; anything else
     * is a damaged or planted file. */
    for (size_t i = 0; i < length; i++)
        if (!handle_printable((unsigned char)line[i])) return 0;
    int gender_value = 0, class_value = 0;
    const char *p = profile_number(tab + 1, &gender_value);
    if (!p) return 0;
    p = profile_number(p, &class_value);
    if (!p) return 0;
    /* The dialogue stores 0 or 1; anything else is a damaged file. */
    if (gender_value != 0 && gender_value != 1) return 0;
    if (class_value < 0 || class_value >= PLAYER_CLASSES) return 0;
    memcpy(handle, line, length);
    handle[length] = '\0';
    *gender_out = gender_value;
    *class_out = class_value;
    return 1;
}

int profile_load(const char *path)
{
    if (!path || !path[0]) return 0;
    FILE *file = fopen(path, "rb");
    if (!file) return 0;
    char line[PROFILE_LINE_MAX];
    char *got = fgets(line, sizeof line, file);
    fclose(file);
    if (!got) return 0;
    line[strcspn(line, "\n")] = '\0';
    char handle[sizeof display_handle];
    int gender_value, class_value;
    if (!profile_parse_line(line, handle, sizeof handle, &gender_value, &class_value)) return 0;
    strcpy(display_handle, handle);
    gender = gender_value;
    player_class = class_value;
    make_plain_handle(display_handle);
    return 1;
}

int profile_temp_path(const char *path, char *out, size_t out_size)
{
    if (!path || !path[0] || !out || out_size == 0) return 0;
    /* The process id keeps two nodes saving the same caller apart. */
    int length = snprintf(out, out_size, "%s.%lu.tmp", path, storage_process_id());
    return length > 0 && (size_t)length < out_size;
}

int profile_save(const char *path)
{
    char line[PROFILE_LINE_MAX];
    int length = snprintf(line, sizeof line, "%s\t%d\t%d\n", display_handle, gender, player_class);
    if (length <= 0 || (size_t)length >= sizeof line) return 0;
    /* Never replace a good profile with one the next visit would refuse. */
    char check[sizeof display_handle];
    int gender_value, class_value;
    line[length - 1] = '\0';
    int valid = profile_parse_line(line, check, sizeof check, &gender_value, &class_value);
    line[length - 1] = '\n';
    if (!valid) return 0;

    char temp[sizeof profile_path + 32];
    if (!profile_temp_path(path, temp, sizeof temp)) return 0;
    FILE *file = fopen(temp, "wb");
    if (!file) return 0;
    int ok = fwrite(line, 1, (size_t)length, file) == (size_t)length;
    ok = storage_flush_file(file) && ok;
    if (fclose(file) != 0) ok = 0;
    if (ok) ok = storage_replace_file(temp, path);
    if (!ok) remove(temp);
    return ok;
}

int handle_input_key(char *entry, int key, const char **echo)
{
    *echo = nullptr;
    if (key == '\r' || key == '\n') {
        *echo = "\n\r";
        return 1;
    }
    size_t length = strlen(entry);
    if (key == 8 || key == 127) {
        if (length > 0) {
            entry[length - 1] = '\0';
            *echo = "\b \b";
        }
        return 0;
    }
    if (key >= 32 && key <= 126 && length < HANDLE_INPUT_MAX) {
        entry[length] = (char)key;
        entry[length + 1] = '\0';
        *echo = entry + length;
    }
    return 0;
}
