/* ODInEx2.cpp -- drop files: finding the file the BBS left for this caller,
 * reading each supported format into od_control, the strictly validated
 * BBSDev file, and writing the session's results back at exit.
 *
 * A drop file is read whole into memory and parsed into a working copy of
 * od_control; only a file that reads completely is committed, so a short or
 * hostile file changes nothing and is never written back. Write-back keeps
 * every line the BBS wrote and rewrites only the lines whose value the
 * session changed, so an unchanged file goes back byte for byte. */
#include "doorkit.h"
#include "ODInEx2.h"
#include "ODCmdLn.h"
#include "ODPlat.h"
#include "ODUtil.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Text drop files are a few hundred bytes (a DOOR.SYS with a long
 * conference list a few KiB); anything larger is not one. */
#define ODDROP_TEXT_MAX   (64u * 1024u)
#define ODDROP_LINE_MAX   254 /* the part of a line the fields see */
#define ODBBSDEV_MAX      4096
#define ODBBSDEV_LINES    19
#define ODDROP_FILE_ATTRS (OD_ATTR_READONLY | OD_ATTR_ARCHIVE | OD_ATTR_HIDDEN | OD_ATTR_SYSTEM)
#define ODDROP_NO_PORT    0xFFFFu

const char *apszDropFileNames[ODDROP_NAME_COUNT] = {
    "exitinfo.bbs", "dorinfo1.def", "chain.txt",  "sfdoors.dat", "door.sys",   "callinfo.bbs",
    "sfmain.dat",   "sffile.dat",   "sfmess.dat", "sfsysop.dat", "tribbs.sys", "door32.sys"};

enum {
    NAME_EXITINFO, NAME_DORINFO, NAME_CHAIN, NAME_SFDOORS, NAME_DOORSYS, NAME_CALLINFO,
    NAME_SFMAIN, NAME_SFFILE, NAME_SFMESS, NAME_SFSYSOP, NAME_TRIBBS, NAME_DOOR32
};

static char szODNodeDorinfo[16] = "dorinfo1.def";

char     szDropFilePath[ODDROP_PATH_SIZE];
char     szExitinfoBBSPath[ODDROP_PATH_SIZE];
char    *apszDropFileInfo[ODDROP_INFO_LINES];
char     szODDropFileFraming[81];
int      bIsSysop = 0;
int      bIsCoSysop = 0;
uint8_t  btDoorSYSLock = 0;
int      bTelnetSocket = 0;
int      bODDropFileStdio = 0;
int      bBBSDevSession = 0;
int      nBBSDevComMethod = 0;
int      bBBSDevOpenHandleSet = 0;
int64_t  nBBSDevDeadline = 0;
int      bBBSDevDeadlineSet = 0;
char    *pszBBSDevUserID = nullptr;
char    *pszBBSDevStorage = nullptr;
uint8_t *pExitInfoRecord = nullptr;
uint8_t *pExtendedExitInfo = nullptr;
uint8_t *pRA2ExitInfoRecord = nullptr;

/* ---- how each line goes back ----
 * Every line read is kept raw. A line tied to a field is rewritten at exit
 * only when the field's formatted value differs from its value at start-up;
 * lines of the BBS's own (buffers, counters, lines the kit ignores) go back
 * exactly as they came. */
enum {
    LF_RAW, LF_TEXT, LF_UPPER, LF_UNSIGNED, LF_TIME, LF_TIME_SECONDS, LF_CHAIN_SECONDS,
    LF_PORT_PLUS1, LF_DOORSYS_PORT, LF_DOORSYS_LOCK, LF_DOORSYS_GRAPHICS, LF_SHORT_PORT, LF_GM,
    LF_TRUEFALSE, LF_YN, LF_FLOW_YN, LF_CHAR, LF_REMOTE, LF_SPEED_OR_KB, LF_TRIBBS_BIRTH,
    LF_SYSOP, LF_COSYSOP
};

typedef struct {
    uint32_t offset;     /* into the text storage */
    uint32_t length;     /* raw bytes, line end included */
    uint16_t field;      /* offsetof(ODControl, field) */
    uint8_t  field_size;
    uint8_t  format;
} tODDropLine;

/* What write-back formats a line from: the control block and the kit
 * globals the formats name. */
typedef struct {
    ODControl c;
    int       is_sysop;
    int       is_cosysop;
    uint8_t   lock;
} tODDropView;

#define FIELD(name) (uint16_t)offsetof(ODControl, name), (uint8_t)sizeof(ODControl::name)

/* One file being read. Nothing in it reaches the globals until commit. */
typedef struct {
    char        *text;   /* every line raw, each followed by a NUL */
    tODDropLine *lines;
    size_t       count;  /* lines kept, all written back */
    size_t       usable; /* lines the parsers may take */
    size_t       next;   /* next line to take, 0-based */
    char         line[ODDROP_LINE_MAX + 1];
    int          info[ODDROP_INFO_LINES];
    tODDropView  v;      /* the working copy */
    int          kind;
    int          telnet;
    int          stdio;
    int          bad_handle;
    char         framing[81];
    char         path[ODDROP_PATH_SIZE];
    uint8_t     *record;
    size_t       record_size;
    uint8_t     *extension;
} tODDropParse;

/* Committed state for the write-back. */
static int          bODDropFileRead = 0;
static int          nODDropKind = OD_DROP_NONE;
static char        *pszODDropText = nullptr;
static tODDropLine *pODDropLines = nullptr;
static size_t       nODDropLines = 0;
static size_t       nExitInfoRecordSize = 0;
static tODDropView  sODReadView;

/* ---- small text helpers ---- */

tODDropNoteFunc pfODDropNote = nullptr;

static void ODDropNote(const char *format, ...)
{
    if (!pfODDropNote) return;
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    pfODDropNote(text);
}

static int ODDropUpper(int c)
{
    return c >= 'a' && c <= 'z' ? c - 32 : c;
}

static int ODDropStartsNoCase(const char *text, const char *start)
{
    for (; *start; text++, start++)
        if (ODDropUpper((unsigned char)*text) != ODDropUpper((unsigned char)*start)) return 0;
    return 1;
}

/* A decimal number as BBS software writes it: leading blanks, an optional
 * sign, digits, anything after. Saturates instead of wrapping; a negative
 * number is 0, a value above the field's limit is the limit. */
static uint64_t ODDropNumber(const char *text, uint64_t maximum)
{
    const char *start = text;
    while (*text == ' ' || *text == '\t') text++;
    int negative = 0;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        unsigned digit = (unsigned)(*text - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    if (negative) {
        if (value) ODDropNote("the negative number %.40s was taken as 0", start);
        return 0;
    }
    if (value > maximum) {
        ODDropNote("the number %.40s is larger than %llu, which was taken instead", start,
                   (unsigned long long)maximum);
        return maximum;
    }
    return value;
}

static uint16_t ODDropWord(const char *text)
{
    return (uint16_t)ODDropNumber(text, 0xFFFF);
}

/* Minutes are signed 16-bit in the kit's time arithmetic. */
static uint16_t ODDropMinutes(const char *text)
{
    return (uint16_t)ODDropNumber(text, 32767);
}

/* A port number counted from 1 (0 or less: no port) to the kit's 0-based
 * port, 65535 meaning none. */
static uint16_t ODDropPortFromNumber(uint64_t number)
{
    if (number == 0) return ODDROP_NO_PORT;
    return number - 1 >= ODDROP_NO_PORT ? ODDROP_NO_PORT - 1 : (uint16_t)(number - 1);
}

/* "COM" and a port number; anything else, and COM0, is no port. */
static uint16_t ODDropComPort(const char *text)
{
    if (!ODDropStartsNoCase(text, "COM") || text[3] < '0' || text[3] > '9') return ODDROP_NO_PORT;
    return ODDropPortFromNumber(ODDropNumber(text + 3, UINT64_MAX));
}

/* An inherited handle: a positive decimal that fits, nothing else but
 * blanks. -1, 0, nothing or garbage is no usable handle. */
static int ODDropHandle(const char *text, uint64_t *handle)
{
    while (*text == ' ' || *text == '\t') text++;
    if (*text < '0' || *text > '9') return 0;
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        unsigned digit = (unsigned)(*text - '0');
        if (value > (UINT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    while (*text == ' ' || *text == '\t') text++;
    if (*text || value == 0) return 0;
    *handle = value;
    return 1;
}

void ODStringToName(char *text)
{
    if (!text) return;
    size_t n = strlen(text);
    if (n && text[n - 1] == '\n') text[--n] = '\0';
    if (n && text[n - 1] == '\r') text[--n] = '\0';
    int upper_next = 1;
    for (char *s = text; *s; s++) {
        char c = *s;
        if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
        if (upper_next) c = (char)ODDropUpper((unsigned char)c);
        *s = c;
        upper_next = c == '\t' || c == ' ' || c == ',' || c == '-' || c == '.';
    }
}

/* Copies at most `maximum` characters (and what the field holds). */
static void ODDropText(char *field, size_t field_size, const char *text, size_t maximum, int name_case)
{
    size_t limit = field_size - 1 < maximum ? field_size - 1 : maximum;
    size_t n = strlen(text);
    if (n > limit) {
        ODDropNote("\"%.80s\" was cut to its first %zu characters", text, limit);
        n = limit;
    }
    memcpy(field, text, n);
    field[n] = '\0';
    if (name_case) ODStringToName(field);
}

/* Appends a second name part after a space, when there is one. */
static void ODDropAppendName(char *field, size_t field_size, const char *text, size_t maximum)
{
    if (!*text) return;
    char part[ODDROP_LINE_MAX + 1];
    ODDropText(part, sizeof part, text, maximum, 1);
    size_t used = strlen(field);
    if (used + 2 > field_size) return;
    if (used) field[used++] = ' ';
    ODStringCopy(field + used, part, field_size - used);
}

/* ---- paths ---- */

static int ODDropIsSeparator(char c)
{
    return c == '/' || (OD_PATH_SEP == '\\' && c == '\\');
}

static int ODDropIsAbsolute(const char *path)
{
    if (path[0] == '/') return 1;
    if (OD_PATH_SEP == '\\') {
        if (path[0] == '\\') return 1;
        if (((path[0] | 32) >= 'a' && (path[0] | 32) <= 'z') && path[1] == ':') return 1;
    }
    return 0;
}

static int ODDropMakeAbsolute(const char *path, char *out, size_t out_size)
{
    size_t n = strlen(path);
    if (n == 0 || n >= out_size) return 0;
    if (ODDropIsAbsolute(path)) {
        memcpy(out, path, n + 1);
        return 1;
    }
    char current[ODDROP_PATH_SIZE];
    if (ODDirGetCurrent(current, sizeof current) != ODPLAT_OK) return 0;
    if (path[0] == '.' && ODDropIsSeparator(path[1])) path += 2;
    return ODMakeFilename(out, current, path, out_size) == ODPLAT_OK;
}

/* The directory part of a path ("." when there is none). */
static void ODDropDirectoryOf(const char *path, char *out, size_t out_size)
{
    size_t cut = 0;
    int found = 0;
    for (size_t i = 0; path[i]; i++)
        if (ODDropIsSeparator(path[i])) {
            cut = i;
            found = 1;
        }
    if (!found) {
        ODStringCopy(out, ".", out_size);
        return;
    }
    if (cut == 0) cut = 1; /* the root */
    if (cut >= out_size) cut = out_size - 1;
    memcpy(out, path, cut);
    out[cut] = '\0';
}

int ODDropFileGetEnv(const char *name, char *out, size_t out_size)
{
    if (!name || !out || out_size == 0) return 0;
    const char *value = getenv(name);
    if (!value || !*value) return 0;
    size_t n = strnlen(value, out_size);
    if (n >= out_size) return 0;
    memcpy(out, value, n + 1);
    return 1;
}

/* ---- finding the file ---- */

static void ODDropSetNodeName(unsigned node)
{
    if (node <= 9)
        snprintf(szODNodeDorinfo, sizeof szODNodeDorinfo, "dorinfo%u.def", node);
    else if (node <= 35)
        snprintf(szODNodeDorinfo, sizeof szODNodeDorinfo, "dorinfo%c.def", (char)('A' + node - 10));
    else
        ODStringCopy(szODNodeDorinfo, "dorinfo1.def", sizeof szODNodeDorinfo);
    apszDropFileNames[NAME_DORINFO] = szODNodeDorinfo;
}

/* The newest readable file in the directory with this name in any letter
 * case (Linux directories may hold both DOOR.SYS and door.sys). */
static int ODDropFindFile(const char *directory, const char *name, char *out, size_t out_size, int64_t *when)
{
    char pattern[ODDROP_PATH_SIZE];
    if (ODMakeFilename(pattern, directory, name, sizeof pattern) != ODPLAT_OK) return 0;
    tODDirHandle scan;
    if (ODDirOpen(pattern, ODDROP_FILE_ATTRS, &scan) != ODPLAT_OK) return 0;
    tODDirEntry entry;
    int found = 0;
    while (ODDirRead(scan, &entry) == ODPLAT_OK) {
        char candidate[ODDROP_PATH_SIZE];
        if (entry.wAttributes & OD_ATTR_DIRECTORY) continue;
        if (ODMakeFilename(candidate, directory, entry.szFileName, sizeof candidate) != ODPLAT_OK) continue;
        if (found && entry.LastWriteTime <= *when) continue;
        if (ODFileAccessMode(candidate, 4) != ODPLAT_OK) continue;
        ODStringCopy(out, candidate, out_size);
        *when = entry.LastWriteTime;
        found = 1;
    }
    ODDirClose(scan);
    return found;
}

int ODSearchInDir(const char *directory, char *out, size_t out_size, int *name_index)
{
    if (!directory || !*directory || !out || !name_index) return 0;
    if (strlen(directory) >= ODDROP_PATH_SIZE) return 0;
    ODDropSetNodeName(od_control.node);
    char found[ODDROP_PATH_SIZE], chosen_path[ODDROP_PATH_SIZE];
    int chosen = -1;
    int64_t chosen_time = 0;
    for (int i = 0; i < ODDROP_NAME_COUNT; i++) {
        if (i == NAME_CHAIN && chosen == NAME_DORINFO) continue;
        int64_t when = 0;
        if (!ODDropFindFile(directory, apszDropFileNames[i], found, sizeof found, &when)) continue;
        /* Files left over from an earlier caller are common; a later name
         * wins only when it is clearly newer. */
        if (chosen < 0 || when > chosen_time + 10) {
            chosen = i;
            chosen_time = when;
            ODStringCopy(chosen_path, found, sizeof chosen_path);
        }
    }
    if (chosen < 0) return 0;
    if (!ODDropMakeAbsolute(chosen_path, out, out_size)) return 0;
    *name_index = chosen;
    return 1;
}

int ODSearchForDropFile(char *out, size_t out_size, int *name_index)
{
    static const char *const apszDirectoryVariables[] = {"RA", "QUICK", "PCB", "BBS", "WCNODEID", "SBBSNODE"};
    char directory[ODDROP_PATH_SIZE];
    ODDropSetNodeName(od_control.node);
    const char *given = ODCmdLnDropPath();
    if (given && strlen(given) < sizeof directory) {
        ODStringCopy(directory, given, sizeof directory);
        if (ODSearchInDir(directory, out, out_size, name_index)) return 1;
    }
    if (ODSearchInDir(".", out, out_size, name_index)) return 1;
    for (const char *variable : apszDirectoryVariables)
        if (ODDropFileGetEnv(variable, directory, sizeof directory) &&
            ODSearchInDir(directory, out, out_size, name_index))
            return 1;
    return 0;
}

/* The format a file name asks for: a DORINFO name, else the first search
 * name its tail matches; -1 for none. */
static int ODDropNameIndex(const char *path)
{
    size_t n = strlen(path);
    if (n >= 12 && ODStringHasTail(path, ".def") && ODDropStartsNoCase(path + n - 12, "dorinfo"))
        return NAME_DORINFO;
    for (int i = 0; i < ODDROP_NAME_COUNT; i++)
        if (ODStringHasTail(path, apszDropFileNames[i])) return i;
    return -1;
}

/* A path the sysop gave: made absolute, and the name as it is on disk. */
static int ODDropResolveFile(const char *given, char *out, size_t out_size)
{
    char absolute[ODDROP_PATH_SIZE], directory[ODDROP_PATH_SIZE];
    if (strpbrk(given, "*?")) return 0;
    if (!ODDropMakeAbsolute(given, absolute, sizeof absolute)) return 0;
    ODDropDirectoryOf(absolute, directory, sizeof directory);
    const char *name = absolute + strlen(absolute);
    while (name > absolute && !ODDropIsSeparator(name[-1])) name--;
    if (!*name) return 0;
    int64_t when = 0;
    return ODDropFindFile(directory, name, out, out_size, &when);
}

/* ---- reading text files ---- */

static int ODDropReadWhole(const char *path, size_t limit, char **data, size_t *size)
{
    FILE *file = fopen(path, "rb");
    if (!file) return ODDROP_NONE;
    char *buffer = (char *)malloc(limit + 1);
    if (!buffer) {
        fclose(file);
        return ODDROP_NOMEM;
    }
    size_t n = fread(buffer, 1, limit + 1, file);
    int failed = ferror(file);
    fclose(file);
    if (failed || n > limit) {
        free(buffer);
        return ODDROP_NONE;
    }
    *data = buffer;
    *size = n;
    return ODDROP_OK;
}

static tODDropParse *ODDropParseNew(void)
{
    tODDropParse *p = (tODDropParse *)calloc(1, sizeof *p);
    if (!p) return nullptr;
    p->v.c = od_control;
    for (int &index : p->info) index = -1;
    p->kind = OD_DROP_NONE;
    return p;
}

static void ODDropParseFree(tODDropParse *p)
{
    if (!p) return;
    free(p->text);
    free(p->lines);
    free(p->record);
    free(p->extension);
    free(p);
}

/* Splits the file into raw lines (a line ends after its LF; a last line
 * may have none). A NUL byte means this is no text drop file. */
static int ODDropLoadText(tODDropParse *p, const char *path)
{
    char *data = nullptr;
    size_t size = 0;
    int result = ODDropReadWhole(path, ODDROP_TEXT_MAX, &data, &size);
    if (result != ODDROP_OK) return result;
    if (memchr(data, '\0', size)) {
        free(data);
        return ODDROP_NONE;
    }
    size_t count = 0;
    for (size_t i = 0; i < size; i++)
        if (data[i] == '\n') count++;
    if (size && data[size - 1] != '\n') count++;
    p->text = (char *)malloc(size + count + 1);
    p->lines = (tODDropLine *)calloc(count ? count : 1, sizeof *p->lines);
    if (!p->text || !p->lines) {
        free(data);
        return ODDROP_NOMEM;
    }
    size_t start = 0, out = 0, k = 0;
    while (start < size) {
        const char *lf = (const char *)memchr(data + start, '\n', size - start);
        size_t length = lf ? (size_t)(lf - (data + start)) + 1 : size - start;
        memcpy(p->text + out, data + start, length);
        p->lines[k].offset = (uint32_t)out;
        p->lines[k].length = (uint32_t)length;
        p->lines[k].format = LF_RAW;
        out += length;
        p->text[out++] = '\0';
        start += length;
        k++;
    }
    p->text[out] = '\0';
    p->count = p->usable = k;
    /* DOS writers may end the file with a Ctrl-Z: not a line of the format. */
    if (k && p->text[p->lines[k - 1].offset] == 0x1A &&
        strspn(p->text + p->lines[k - 1].offset + 1, "\r\n") == p->lines[k - 1].length - 1)
        p->usable = k - 1;
    free(data);
    ODStringCopy(p->path, path, sizeof p->path);
    return ODDROP_OK;
}

static int ODDropHasBOM(const char *raw, size_t length)
{
    return length >= 3 && !memcmp(raw, "\xEF\xBB\xBF", 3);
}

/* Takes the next line: its text, line end removed, into p->line, and how
 * it goes back at exit. 0 when the file has ended. */
static int ODDropTake(tODDropParse *p, uint8_t format = LF_RAW, uint16_t field = 0, uint8_t field_size = 0)
{
    if (p->next >= p->usable) return 0;
    tODDropLine *line = &p->lines[p->next++];
    line->format = format;
    line->field = field;
    line->field_size = field_size;
    const char *raw = p->text + line->offset;
    size_t n = line->length;
    if (line->offset == 0 && ODDropHasBOM(raw, n)) { /* some Windows tools write one */
        raw += 3;
        n -= 3;
    }
    if (n && raw[n - 1] == '\n') n--;
    if (n && raw[n - 1] == '\r') n--;
    if (n > ODDROP_LINE_MAX) n = ODDROP_LINE_MAX;
    memcpy(p->line, raw, n);
    p->line[n] = '\0';
    return 1;
}

/* The line just taken is also kept under a buffer number. */
static void ODDropKeep(tODDropParse *p, int buffer)
{
    p->info[buffer] = (int)p->next - 1;
}

#define TAKE(...) \
    do { \
        if (!ODDropTake(__VA_ARGS__)) return ODDROP_NONE; \
    } while (0)

/* Ports name no line for a local session, whatever speed the file gives. */
static void ODDropSpeedRule(ODControl &c)
{
    if (c.com_port == ODDROP_NO_PORT) c.remote_bps = 0;
}

/* DORINFOx.DEF. */
static int ODDropParseDorinfo(tODDropParse *p)
{
    ODControl &c = p->v.c;
    TAKE(p);
    ODDropText(c.system_name, sizeof c.system_name, p->line, 39, 0);
    /* Each name part is cut on its own, so the two together always fit. */
    TAKE(p);
    ODDropText(c.sysop_name, sizeof c.sysop_name, p->line, 18, 1);
    TAKE(p);
    ODDropAppendName(c.sysop_name, sizeof c.sysop_name, p->line, 18);
    TAKE(p);
    c.com_port = ODDropComPort(p->line);
    TAKE(p);
    ODDropKeep(p, 0);
    c.remote_bps = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    TAKE(p);
    ODDropKeep(p, 1);
    ODStringCopy(p->framing, p->line, sizeof p->framing);
    TAKE(p);
    ODDropText(c.caller_name, sizeof c.caller_name, p->line, 16, 1);
    TAKE(p);
    ODDropAppendName(c.caller_name, sizeof c.caller_name, p->line, 16);
    TAKE(p);
    ODDropText(c.caller_location, sizeof c.caller_location, p->line, 24, 1);
    TAKE(p);
    c.caller_ansi = p->line[0] != '0';
    TAKE(p);
    c.caller_security = ODDropWord(p->line);
    TAKE(p);
    c.caller_time_left = ODDropMinutes(p->line);
    ODDropSpeedRule(c);
    p->kind = OD_DROP_DORINFO;
    return ODDROP_OK;
}

/* CHAIN.TXT. */
static int ODDropParseChain(tODDropParse *p)
{
    ODControl &c = p->v.c;
    TAKE(p, LF_UNSIGNED, FIELD(caller_record_number));
    c.caller_record_number = ODDropWord(p->line);
    TAKE(p, LF_TEXT, FIELD(caller_handle));
    ODDropText(c.caller_handle, sizeof c.caller_handle, p->line, 34, 1);
    TAKE(p, LF_TEXT, FIELD(caller_name));
    ODDropText(c.caller_name, sizeof c.caller_name, p->line, 34, 1);
    TAKE(p, LF_TEXT, FIELD(caller_callsign));
    ODDropText(c.caller_callsign, sizeof c.caller_callsign, p->line, 11, 1);
    TAKE(p);
    ODDropKeep(p, 0);
    TAKE(p, LF_CHAR, FIELD(caller_sex));
    c.caller_sex = p->line[0];
    TAKE(p);
    ODDropKeep(p, 1);
    /* The whole "MM/DD/YY": seven characters would write back a broken date. */
    TAKE(p, LF_TEXT, FIELD(caller_last_date));
    ODDropText(c.caller_last_date, sizeof c.caller_last_date, p->line, 8, 0);
    TAKE(p, LF_UNSIGNED, FIELD(caller_screen_width));
    c.caller_screen_width = (uint8_t)ODDropNumber(p->line, 255);
    TAKE(p, LF_UNSIGNED, FIELD(caller_screen_length));
    c.caller_screen_length = ODDropWord(p->line);
    TAKE(p, LF_UNSIGNED, FIELD(caller_security));
    c.caller_security = ODDropWord(p->line);
    TAKE(p, LF_SYSOP);
    p->v.is_sysop = ODDropNumber(p->line, 1) != 0;
    TAKE(p, LF_COSYSOP);
    p->v.is_cosysop = ODDropNumber(p->line, 1) != 0;
    TAKE(p, LF_UNSIGNED, FIELD(caller_ansi));
    c.caller_ansi = ODDropNumber(p->line, 1) != 0;
    TAKE(p, LF_REMOTE);
    TAKE(p, LF_CHAIN_SECONDS);
    c.caller_time_left = (uint16_t)(ODDropNumber(p->line, 32767u * 60u) / 60);
    for (int buffer = 3; buffer <= 5; buffer++) {
        TAKE(p);
        ODDropKeep(p, buffer);
    }
    TAKE(p, LF_SPEED_OR_KB);
    uint32_t speed = ODDropStartsNoCase(p->line, "KB") ? 0 : (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    TAKE(p, LF_PORT_PLUS1);
    c.com_port = ODDropPortFromNumber(ODDropNumber(p->line, UINT64_MAX));
    c.remote_bps = speed;
    TAKE(p);
    ODDropKeep(p, 6);
    TAKE(p, LF_TEXT, FIELD(caller_password));
    ODDropText(c.caller_password, sizeof c.caller_password, p->line, 14, 0);
    static const int aBuffers[] = {2, 7, 8, 9, 10, 11, 12};
    for (int buffer : aBuffers) {
        TAKE(p);
        ODDropKeep(p, buffer);
    }
    ODStringCopy(p->framing, p->line, sizeof p->framing);
    ODDropSpeedRule(c);
    p->kind = OD_DROP_CHAINTXT;
    return ODDROP_OK;
}

static int ODDropTrue(const char *text)
{
    return ODDropUpper((unsigned char)text[0]) == 'T';
}

static int ODDropYes(const char *text)
{
    return ODDropUpper((unsigned char)text[0]) == 'Y';
}

/* SFDOORS.DAT and its SF*.DAT names. */
static int ODDropParseSFDoors(tODDropParse *p)
{
    ODControl &c = p->v.c;
    TAKE(p, LF_UNSIGNED, FIELD(caller_record_number));
    c.caller_record_number = ODDropWord(p->line);
    TAKE(p, LF_TEXT, FIELD(caller_name));
    ODDropText(c.caller_name, sizeof c.caller_name, p->line, 35, 1);
    TAKE(p, LF_TEXT, FIELD(caller_password));
    ODDropText(c.caller_password, sizeof c.caller_password, p->line, 15, 1);
    TAKE(p);
    ODDropKeep(p, 0);
    TAKE(p, LF_UNSIGNED, FIELD(remote_bps));
    c.remote_bps = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    TAKE(p, LF_PORT_PLUS1);
    c.com_port = ODDropPortFromNumber(ODDropNumber(p->line, UINT64_MAX));
    TAKE(p, LF_TIME);
    c.caller_time_left = ODDropMinutes(p->line);
    TAKE(p);
    ODDropKeep(p, 13);
    TAKE(p);
    ODDropKeep(p, 14);
    TAKE(p, LF_TRUEFALSE, FIELD(caller_ansi));
    c.caller_ansi = (uint8_t)ODDropTrue(p->line);
    TAKE(p, LF_UNSIGNED, FIELD(caller_security));
    c.caller_security = ODDropWord(p->line);
    TAKE(p); /* uploads */
    TAKE(p); /* downloads */
    for (int buffer = 1; buffer <= 3; buffer++) {
        TAKE(p);
        ODDropKeep(p, buffer);
    }
    TAKE(p, LF_TRUEFALSE, FIELD(sysop_next));
    c.sysop_next = (uint8_t)ODDropTrue(p->line);
    for (int buffer = 4; buffer <= 6; buffer++) {
        TAKE(p);
        ODDropKeep(p, buffer);
    }
    TAKE(p); /* error-correcting connection */
    TAKE(p);
    TAKE(p);
    TAKE(p, LF_UNSIGNED, FIELD(node));
    c.node = ODDropWord(p->line);
    for (int buffer = 10; buffer <= 12; buffer++) {
        TAKE(p);
        ODDropKeep(p, buffer);
    }
    TAKE(p);
    TAKE(p);
    TAKE(p);
    TAKE(p, LF_TEXT, FIELD(caller_phone_home));
    ODDropText(c.caller_phone_home, sizeof c.caller_phone_home, p->line, 15, 1);
    TAKE(p, LF_TEXT, FIELD(caller_location));
    ODDropText(c.caller_location, sizeof c.caller_location, p->line, 25, 1);
    p->kind = OD_DROP_SFDOORS;
    ODDropSpeedRule(c);
    /* Lines 33 to 39 came later; older writers stop at 32. */
    if (!ODDropTake(p)) return ODDROP_OK;
    ODDropKeep(p, 15);
    if (!ODDropTake(p, LF_TRUEFALSE, FIELD(caller_rip))) return ODDROP_OK;
    c.caller_rip = (uint8_t)ODDropTrue(p->line);
    if (!ODDropTake(p, LF_TRUEFALSE, FIELD(caller_wants_chat))) return ODDROP_OK;
    c.caller_wants_chat = (uint8_t)ODDropTrue(p->line);
    if (!ODDropTake(p)) return ODDROP_OK;
    ODDropKeep(p, 17);
    if (!ODDropTake(p, LF_UNSIGNED, FIELD(port_irq))) return ODDROP_OK;
    c.port_irq = (uint8_t)ODDropNumber(p->line, 255);
    if (!ODDropTake(p, LF_UNSIGNED, FIELD(port_address))) return ODDROP_OK;
    c.port_address = ODDropWord(p->line);
    if (!ODDropTake(p)) return ODDROP_OK;
    ODDropKeep(p, 18);
    return ODDROP_OK;
}

/* CALLINFO.BBS: read only, never written back. */
static int ODDropParseCallinfo(tODDropParse *p)
{
    ODControl &c = p->v.c;
    TAKE(p);
    ODDropText(c.caller_name, sizeof c.caller_name, p->line, 35, 1);
    TAKE(p);
    TAKE(p);
    ODDropText(c.caller_location, sizeof c.caller_location, p->line, 25, 1);
    TAKE(p);
    c.caller_security = ODDropWord(p->line);
    TAKE(p);
    c.caller_time_left = ODDropMinutes(p->line);
    TAKE(p);
    c.caller_ansi = p->line[0] != 'M';
    TAKE(p);
    ODDropText(c.caller_password, sizeof c.caller_password, p->line, 15, 1);
    for (int line = 8; line <= 16; line++) TAKE(p);
    TAKE(p);
    ODDropText(c.caller_phone_home, sizeof c.caller_phone_home, p->line, 15, 1);
    for (int line = 18; line <= 22; line++) TAKE(p);
    TAKE(p);
    c.caller_screen_length = ODDropWord(p->line);
    for (int line = 24; line <= 28; line++) TAKE(p);
    TAKE(p);
    c.com_port = ODDropComPort(p->line);
    TAKE(p);
    TAKE(p);
    c.remote_bps = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    ODDropSpeedRule(c);
    p->kind = OD_DROP_CALLINFO;
    return ODDROP_OK;
}

/* TRIBBS.SYS. */
static int ODDropParseTribbs(tODDropParse *p)
{
    ODControl &c = p->v.c;
    TAKE(p, LF_UNSIGNED, FIELD(caller_record_number));
    c.caller_record_number = ODDropWord(p->line);
    TAKE(p, LF_TEXT, FIELD(caller_name));
    ODDropText(c.caller_name, sizeof c.caller_name, p->line, 34, 1);
    TAKE(p, LF_TEXT, FIELD(caller_password));
    ODDropText(c.caller_password, sizeof c.caller_password, p->line, 14, 0);
    TAKE(p, LF_UNSIGNED, FIELD(caller_security));
    c.caller_security = ODDropWord(p->line);
    TAKE(p); /* expert mode */
    TAKE(p, LF_YN, FIELD(caller_ansi));
    c.caller_ansi = (uint8_t)ODDropYes(p->line);
    TAKE(p, LF_TIME);
    c.caller_time_left = ODDropMinutes(p->line);
    TAKE(p, LF_TEXT, FIELD(caller_phone_home));
    ODDropText(c.caller_phone_home, sizeof c.caller_phone_home, p->line, 15, 1);
    TAKE(p, LF_TEXT, FIELD(caller_location));
    ODDropText(c.caller_location, sizeof c.caller_location, p->line, 24, 1);
    TAKE(p, LF_TRIBBS_BIRTH);
    ODDropText(c.caller_birth_date, sizeof c.caller_birth_date, p->line, 8, 0);
    for (size_t i = 2; i <= 5; i += 3)
        if (i < strlen(c.caller_birth_date)) c.caller_birth_date[i] = '-';
    TAKE(p, LF_UNSIGNED, FIELD(node));
    c.node = ODDropWord(p->line);
    TAKE(p, LF_PORT_PLUS1);
    c.com_port = ODDropPortFromNumber(ODDropNumber(p->line, UINT64_MAX));
    TAKE(p, LF_UNSIGNED, FIELD(connect_bps));
    c.connect_bps = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    TAKE(p, LF_UNSIGNED, FIELD(remote_bps));
    c.remote_bps = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    if (!c.remote_bps) c.remote_bps = c.connect_bps;
    TAKE(p, LF_FLOW_YN);
    c.com_flow_control = ODDropYes(p->line) ? 1 : 2;
    TAKE(p); /* error-correcting connection */
    TAKE(p, LF_TEXT, FIELD(system_name));
    ODDropText(c.system_name, sizeof c.system_name, p->line, 39, 1);
    TAKE(p, LF_TEXT, FIELD(sysop_name));
    ODDropText(c.sysop_name, sizeof c.sysop_name, p->line, 39, 1);
    TAKE(p, LF_TEXT, FIELD(caller_handle));
    ODDropText(c.caller_handle, sizeof c.caller_handle, p->line, 34, 1);
    TAKE(p, LF_YN, FIELD(caller_rip));
    c.caller_rip = (uint8_t)ODDropYes(p->line);
    ODDropSpeedRule(c);
    p->kind = OD_DROP_TRIBBS;
    return ODDROP_OK;
}

/* DOOR32.SYS: read only, never written back. */
static int ODDropParseDoor32(tODDropParse *p)
{
    ODControl &c = p->v.c;
    TAKE(p);
    const char *type_text = p->line;
    while (*type_text == ' ' || *type_text == '\t') type_text++;
    if (*type_text < '0' || *type_text > '9') return ODDROP_NONE;
    uint64_t type = ODDropNumber(type_text, 255);
    if (type > 2) return ODDROP_NONE;
    TAKE(p);
    uint64_t handle = 0;
    int handle_ok = ODDropHandle(p->line, &handle);
    char handle_text[41];
    ODStringCopy(handle_text, p->line, sizeof handle_text);
    TAKE(p);
    ODDropKeep(p, 0);
    uint32_t speed = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    TAKE(p); /* BBS name and version */
    TAKE(p);
    c.caller_record_number = ODDropWord(p->line);
    TAKE(p);
    ODDropText(c.caller_name, sizeof c.caller_name, p->line, 34, 1);
    TAKE(p);
    ODDropText(c.caller_handle, sizeof c.caller_handle, p->line, 34, 1);
    TAKE(p);
    c.caller_security = ODDropWord(p->line);
    TAKE(p);
    /* Minutes, yet some BBSes write seconds here. No session is longer
     * than a day, so a value above 1440 is taken as seconds, and what is
     * still above a day after that is cut to a day. */
    uint64_t minutes = ODDropNumber(p->line, UINT64_MAX);
    if (minutes > 1440) {
        ODDropNote("time left %llu is more than a day of minutes: taken as seconds", (unsigned long long)minutes);
        minutes /= 60;
    }
    if (minutes > 1440) {
        ODDropNote("time left cut to a day (1440 minutes)");
        minutes = 1440;
    }
    c.caller_time_left = (uint16_t)minutes;
    TAKE(p);
    uint64_t emulation = ODDropNumber(p->line, 255);
    c.caller_ansi = emulation != 0;
    if (emulation == 2) c.caller_avatar = 1;
    if (emulation == 3) c.caller_rip = 1;
    TAKE(p);
    c.node = ODDropWord(p->line);

    if (type == 0) {
        c.force_local = 1;
        c.remote_bps = 0;
    } else {
        c.handle_is_socket = type == 2;
        p->telnet = type == 2;
        c.open_handle = handle_ok ? handle : 0;
        c.remote_bps = speed ? speed : 1; /* remote even when the speed is unknown */
        if (!handle_ok) {
            p->bad_handle = 1;
            ODDropNote("line 2, the %s handle \"%.40s\", is not a positive number",
                       type == 2 ? "socket" : "serial", handle_text);
        }
    }
    p->kind = OD_DROP_DOOR32;
    return ODDROP_OK;
}

/* "COM", a port number and a colon mark the full DOOR.SYS. */
static int ODDropDoorSysPort(const char *text, uint64_t *number, const char **rest)
{
    if (!ODDropStartsNoCase(text, "COM")) return 0;
    const char *s = text + 3;
    if (*s < '0' || *s > '9') return 0;
    while (*s >= '0' && *s <= '9') s++;
    if (*s != ':') return 0;
    *number = ODDropNumber(text + 3, UINT64_MAX);
    *rest = s + 1;
    return 1;
}

static int ODDropParseDoorSysShort(tODDropParse *p)
{
    ODControl &c = p->v.c;
    p->next = 0;
    TAKE(p, LF_TEXT, FIELD(caller_name));
    ODDropText(c.caller_name, sizeof c.caller_name, p->line, 35, 1);
    TAKE(p, LF_SHORT_PORT);
    c.com_port = ODDropPortFromNumber(ODDropNumber(p->line, UINT64_MAX));
    TAKE(p, LF_UNSIGNED, FIELD(remote_bps));
    c.remote_bps = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    TAKE(p, LF_TIME);
    c.caller_time_left = ODDropMinutes(p->line);
    TAKE(p, LF_GM);
    c.caller_ansi = p->line[0] == 'G';
    ODDropSpeedRule(c);
    p->kind = OD_DROP_DOORSYS_SHORT;
    return ODDROP_OK;
}

/* DOOR.SYS, full and short forms. */
static int ODDropParseDoorSys(tODDropParse *p)
{
    ODControl &c = p->v.c;
    uint64_t port_number = 0;
    const char *rest = nullptr;
    TAKE(p, LF_DOORSYS_PORT);
    if (!ODDropDoorSysPort(p->line, &port_number, &rest)) return ODDropParseDoorSysShort(p);
    c.com_port = ODDropPortFromNumber(port_number);
    int inherited = 0; /* standard I/O, a socket or a handle instead of a port */
    if (port_number == 0) {
        uint64_t handle = 0;
        if (ODDropStartsNoCase(rest, "STDIO")) {
            c.com_method = 6;
            p->stdio = 1;
            inherited = 1;
        } else if (ODDropStartsNoCase(rest, "SOCKET") || ODDropStartsNoCase(rest, "HANDLE")) {
            int socket = ODDropStartsNoCase(rest, "SOCKET");
            c.com_method = socket ? 5 : 3;
            c.handle_is_socket = socket;
            inherited = 1;
            if (ODDropHandle(rest + 6, &handle))
                c.open_handle = handle;
            else
                p->bad_handle = 1;
        }
    }
    TAKE(p);
    ODDropKeep(p, 0);
    c.connect_bps = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    TAKE(p);
    ODDropKeep(p, 1);
    ODStringCopy(p->framing, p->line, sizeof p->framing);
    TAKE(p, LF_UNSIGNED, FIELD(node));
    c.node = ODDropWord(p->line);
    TAKE(p, LF_DOORSYS_LOCK);
    if (strpbrk(p->line, "Nn")) {
        p->v.lock = 1;
        c.remote_bps = c.connect_bps;
    } else if (strpbrk(p->line, "Yy")) {
        p->v.lock = 2;
        c.remote_bps = 19200;
    } else {
        c.remote_bps = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    }
    if (inherited) {
        if (!c.remote_bps) c.remote_bps = 1;
    } else {
        ODDropSpeedRule(c);
    }
    static const int aBuffers6to9[] = {3, 4, 5, 22};
    for (int buffer : aBuffers6to9) {
        TAKE(p);
        ODDropKeep(p, buffer);
    }
    TAKE(p, LF_UPPER, FIELD(caller_name));
    ODDropText(c.caller_name, sizeof c.caller_name, p->line, 35, 1);
    TAKE(p, LF_TEXT, FIELD(caller_location));
    ODDropText(c.caller_location, sizeof c.caller_location, p->line, 25, 0);
    TAKE(p, LF_TEXT, FIELD(caller_phone_home));
    ODDropText(c.caller_phone_home, sizeof c.caller_phone_home, p->line, 15, 1);
    TAKE(p, LF_TEXT, FIELD(caller_phone_data));
    ODDropText(c.caller_phone_data, sizeof c.caller_phone_data, p->line, 15, 1);
    /* Some BBSes put the real password here: kept for write-back only. */
    TAKE(p, LF_TEXT, FIELD(caller_password));
    ODDropText(c.caller_password, sizeof c.caller_password, p->line, 15, 0);
    TAKE(p, LF_UNSIGNED, FIELD(caller_security));
    c.caller_security = ODDropWord(p->line);
    TAKE(p, LF_UNSIGNED, FIELD(caller_total_calls));
    c.caller_total_calls = (uint32_t)ODDropNumber(p->line, UINT32_MAX);
    TAKE(p, LF_TEXT, FIELD(caller_last_date));
    ODDropText(c.caller_last_date, sizeof c.caller_last_date, p->line, 8, 1);
    TAKE(p, LF_TIME_SECONDS);
    TAKE(p, LF_TIME);
    c.caller_time_left = ODDropMinutes(p->line);
    TAKE(p, LF_DOORSYS_GRAPHICS);
    if (ODDropStartsNoCase(p->line, "RIP")) {
        c.caller_rip = 1;
        c.caller_ansi = 1;
    } else {
        c.caller_ansi = p->line[0] == 'G';
    }
    TAKE(p, LF_UNSIGNED, FIELD(caller_screen_length));
    c.caller_screen_length = ODDropWord(p->line);
    TAKE(p);
    ODDropKeep(p, 8);
    TAKE(p);
    ODDropKeep(p, 9);
    /* Long conference lists run on over further lines; they all hold commas. */
    while (p->next < p->usable && memchr(p->text + p->lines[p->next].offset, ',', p->lines[p->next].length))
        TAKE(p);
    TAKE(p);
    ODDropKeep(p, 10);
    TAKE(p); /* expiry date */
    TAKE(p, LF_UNSIGNED, FIELD(caller_record_number));
    c.caller_record_number = ODDropWord(p->line);
    TAKE(p);
    ODDropKeep(p, 6);
    TAKE(p); /* uploads */
    TAKE(p); /* downloads */
    TAKE(p); /* kilobytes today */
    TAKE(p);
    ODDropKeep(p, 21);
    p->kind = OD_DROP_DOORSYS_PART;

    /* Lines 32 onward are optional: the file may end after any of them. */
    if (!ODDropTake(p)) return ODDROP_OK;
    ODDropKeep(p, 7);
    ODDropText(c.caller_birth_date, sizeof c.caller_birth_date, p->line, 8, 0);
    for (int buffer = 11; buffer <= 13; buffer++) {
        if (!ODDropTake(p)) return ODDROP_OK;
        ODDropKeep(p, buffer);
    }
    ODDropText(c.sysop_name, sizeof c.sysop_name, p->line, 39, 1);
    if (!ODDropTake(p, LF_UPPER, FIELD(caller_handle))) return ODDROP_OK;
    ODDropKeep(p, 14);
    ODDropText(c.caller_handle, sizeof c.caller_handle, p->line, 35, 1);
    static const int aOptional[] = {-1, -1, 7, 13, 14, 15, 16, -1, -1, 18, 19, -1, -1};
    for (int buffer : aOptional) { /* lines 37 to 49 */
        if (!ODDropTake(p)) return ODDROP_OK;
        if (buffer >= 0) ODDropKeep(p, buffer);
    }
    if (!ODDropTake(p, LF_TEXT, FIELD(caller_comment))) return ODDROP_OK;
    ODDropText(c.caller_comment, sizeof c.caller_comment, p->line, 79, 0);
    if (!ODDropTake(p)) return ODDROP_OK;
    ODDropKeep(p, 20);
    if (!ODDropTake(p)) return ODDROP_OK;
    p->kind = OD_DROP_DOORSYS_FULL;
    return ODDROP_OK;
}

#undef TAKE

/* ---- exit-information records ----
 * The record is kept exactly as read. Fields are decoded from and encoded
 * into its bytes one by one, low byte first, so the file is right on any
 * host; bytes the kit has no field for are never touched. */
enum { EF_PSTR, EF_WORD, EF_LONG, EF_BYTE, EF_BIT, EF_SEX };

typedef struct {
    uint16_t at;    /* record offset */
    uint8_t  type;
    uint8_t  arg;   /* string length, or the bit */
    uint16_t field;
    uint8_t  field_size;
} tODExitField;

#define XF(at, type, arg, name) {at, type, arg, FIELD(name)}

/* The 476-byte record; the 452-byte short record and the 902-byte record
 * share its first part. */
static const tODExitField aODExitInfoFields[] = {
    XF(0, EF_WORD, 0, remote_bps),
    XF(241, EF_PSTR, 35, caller_name),
    XF(277, EF_PSTR, 25, caller_location),
    XF(303, EF_PSTR, 15, caller_password),
    XF(319, EF_PSTR, 12, caller_phone_data),
    XF(332, EF_PSTR, 12, caller_phone_home),
    XF(351, EF_PSTR, 8, caller_last_date),
    XF(360, EF_BYTE, 0, caller_flags),
    XF(360, EF_BIT, 8, caller_ansi),
    XF(373, EF_WORD, 0, caller_security),
    XF(375, EF_WORD, 0, caller_total_calls),
    XF(387, EF_WORD, 0, caller_minutes_used),
    XF(389, EF_WORD, 0, caller_screen_length),
    XF(392, EF_BIT, 2, caller_avatar),
};
#define ODEXIT_MINUTES_USED 387
#define ODEXIT_TIME_LIMIT   435

/* The 2363-byte record. */
static const tODExitField aODRA2ExitInfoFields[] = {
    XF(0, EF_WORD, 0, remote_bps),
    XF(241, EF_PSTR, 35, caller_name),
    XF(277, EF_PSTR, 25, caller_location),
    XF(507, EF_PSTR, 35, caller_handle),
    XF(543, EF_PSTR, 80, caller_comment),
    XF(628, EF_PSTR, 15, caller_phone_data),
    XF(644, EF_PSTR, 15, caller_phone_home),
    XF(666, EF_PSTR, 8, caller_last_date),
    XF(675, EF_BYTE, 0, caller_flags),
    XF(675, EF_BIT, 8, caller_ansi),
    XF(676, EF_BIT, 2, caller_avatar),
    XF(691, EF_WORD, 0, caller_security),
    XF(697, EF_LONG, 0, caller_total_calls),
    XF(721, EF_WORD, 0, caller_minutes_used),
    XF(723, EF_WORD, 0, caller_screen_length),
    XF(1137, EF_PSTR, 8, caller_birth_date),
    XF(1155, EF_BYTE, 0, caller_screen_width),
    XF(1202, EF_SEX, 0, caller_sex),
    XF(1210, EF_PSTR, 15, caller_password),
    XF(1317, EF_BYTE, 0, caller_wants_chat),
    XF(2182, EF_PSTR, 80, chat_reason),
};

static uint32_t ODExitGet(const uint8_t *record, size_t at, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; i--) value = (value << 8) | record[at + (size_t)i];
    return value;
}

static void ODExitPut(uint8_t *record, size_t at, int bytes, uint32_t value)
{
    for (int i = 0; i < bytes; i++) record[at + (size_t)i] = (uint8_t)(value >> (8 * i));
}

static uint64_t ODDropGetUnsigned(const ODControl *c, uint16_t field, uint8_t size)
{
    const uint8_t *base = (const uint8_t *)c + field;
    if (size == 1) return base[0];
    if (size == 2) {
        uint16_t v;
        memcpy(&v, base, 2);
        return v;
    }
    if (size == 4) {
        uint32_t v;
        memcpy(&v, base, 4);
        return v;
    }
    uint64_t v;
    memcpy(&v, base, 8);
    return v;
}

static void ODDropSetUnsigned(ODControl *c, uint16_t field, uint8_t size, uint64_t value)
{
    uint8_t *base = (uint8_t *)c + field;
    if (size == 1) {
        base[0] = (uint8_t)value;
    } else if (size == 2) {
        uint16_t v = (uint16_t)value;
        memcpy(base, &v, 2);
    } else if (size == 4) {
        uint32_t v = (uint32_t)value;
        memcpy(base, &v, 4);
    } else {
        memcpy(base, &value, 8);
    }
}

static size_t ODExitWidth(const tODExitField *f)
{
    switch (f->type) {
    case EF_PSTR: return (size_t)f->arg + 1;
    case EF_WORD: return 2;
    case EF_LONG: return 4;
    default: return 1;
    }
}

static void ODExitInfoDecode(const tODExitField *fields, size_t count, const uint8_t *record, size_t size,
                             ODControl *c, int skip_at)
{
    for (size_t i = 0; i < count; i++) {
        const tODExitField *f = &fields[i];
        if ((size_t)f->at + ODExitWidth(f) > size || f->at == skip_at) continue;
        char *field = (char *)c + f->field;
        switch (f->type) {
        case EF_PSTR: {
            size_t n = record[f->at];
            if (n > f->arg) n = f->arg;
            if (n > (size_t)f->field_size - 1) n = (size_t)f->field_size - 1;
            memcpy(field, record + f->at + 1, n);
            field[n] = '\0';
            break;
        }
        case EF_WORD: ODDropSetUnsigned(c, f->field, f->field_size, ODExitGet(record, f->at, 2)); break;
        case EF_LONG: ODDropSetUnsigned(c, f->field, f->field_size, ODExitGet(record, f->at, 4)); break;
        case EF_BYTE: *field = (char)record[f->at]; break;
        case EF_BIT: *field = (record[f->at] & f->arg) ? 1 : 0; break;
        case EF_SEX: *field = record[f->at] == 1 ? 'M' : 'F'; break;
        }
    }
}

/* Encodes the fields the session changed since start-up. */
static void ODExitInfoEncode(const tODExitField *fields, size_t count, uint8_t *record, size_t size,
                             const ODControl *now, const ODControl *then, int skip_at)
{
    for (size_t i = 0; i < count; i++) {
        const tODExitField *f = &fields[i];
        if ((size_t)f->at + ODExitWidth(f) > size || f->at == skip_at) continue;
        const char *field = (const char *)now + f->field;
        if (!memcmp(field, (const char *)then + f->field, f->field_size)) continue;
        uint64_t value = f->type == EF_PSTR ? 0 : ODDropGetUnsigned(now, f->field, f->field_size);
        switch (f->type) {
        case EF_PSTR: {
            size_t n = strnlen(field, f->field_size);
            if (n > f->arg) n = f->arg;
            record[f->at] = (uint8_t)n;
            memcpy(record + f->at + 1, field, n);
            break;
        }
        case EF_WORD: ODExitPut(record, f->at, 2, value > 0xFFFF ? 0xFFFF : (uint32_t)value); break;
        case EF_LONG: ODExitPut(record, f->at, 4, value > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)value); break;
        case EF_BYTE: record[f->at] = (uint8_t)value; break;
        case EF_BIT:
            if (value)
                record[f->at] |= f->arg;
            else
                record[f->at] &= (uint8_t)~f->arg;
            break;
        case EF_SEX: {
            int sex = ODDropUpper((unsigned char)*field);
            record[f->at] = sex == 'M' ? 1 : sex == 'F' ? 2 : 0;
            break;
        }
        }
    }
}

static int ODDropLoadDorinfoText(tODDropParse *p, const char *path)
{
    int result = ODDropLoadText(p, path);
    return result == ODDROP_OK ? ODDropParseDorinfo(p) : result;
}

/* EXITINFO.BBS and the node's DORINFO file beside it. */
static int ODDropReadExitInfo(tODDropParse *p, const char *path)
{
    char directory[ODDROP_PATH_SIZE], dorinfo[ODDROP_PATH_SIZE];
    int64_t when = 0;
    ODDropDirectoryOf(path, directory, sizeof directory);
    if (!ODDropFindFile(directory, apszDropFileNames[NAME_DORINFO], dorinfo, sizeof dorinfo, &when))
        return ODDROP_NONE;

    FILE *file = fopen(path, "rb");
    if (!file) return ODDROP_NONE;
    long size = ODFileSize(file);
    size_t record_size = 0, extension_size = 0;
    int kind;
    if (size > 2362) {
        kind = OD_DROP_EXITINFO_NEW;
        record_size = 2363;
    } else if (size > 1492) {
        kind = OD_DROP_EXITINFO_EXT;
        record_size = 476;
        extension_size = 1017;
    } else if (size > 476) {
        kind = OD_DROP_EXITINFO_MID;
        record_size = size > 902 ? 902 : (size_t)size;
    } else if (size > 451) {
        kind = OD_DROP_EXITINFO_SHORT;
        record_size = (size_t)size;
    } else {
        /* Too small to be a record: the DORINFO file alone describes the call. */
        fclose(file);
        return size < 0 ? ODDROP_NONE : ODDropLoadDorinfoText(p, dorinfo);
    }
    p->record = (uint8_t *)malloc(record_size);
    p->extension = extension_size ? (uint8_t *)malloc(extension_size) : nullptr;
    if (!p->record || (extension_size && !p->extension)) {
        fclose(file);
        return ODDROP_NOMEM;
    }
    int complete = fread(p->record, 1, record_size, file) == record_size &&
                   (!extension_size || fread(p->extension, 1, extension_size, file) == extension_size);
    fclose(file);
    if (!complete) return ODDROP_NONE;
    p->record_size = record_size;

    /* The DORINFO file gives the BBS, the line and the time left. */
    tODDropParse *companion = ODDropParseNew();
    if (!companion) return ODDROP_NOMEM;
    int result = ODDropLoadDorinfoText(companion, dorinfo);
    if (result != ODDROP_OK) {
        ODDropParseFree(companion);
        return result;
    }
    ODControl &c = p->v.c;
    if (kind == OD_DROP_EXITINFO_NEW)
        ODExitInfoDecode(aODRA2ExitInfoFields, sizeof aODRA2ExitInfoFields / sizeof *aODRA2ExitInfoFields,
                         p->record, record_size, &c, -1);
    else
        ODExitInfoDecode(aODExitInfoFields, sizeof aODExitInfoFields / sizeof *aODExitInfoFields, p->record,
                         record_size, &c, -1);
    const ODControl &d = companion->v.c;
    memcpy(c.system_name, d.system_name, sizeof c.system_name);
    memcpy(c.sysop_name, d.sysop_name, sizeof c.sysop_name);
    c.com_port = d.com_port;
    c.remote_bps = d.remote_bps;
    c.caller_time_left = d.caller_time_left;
    ODStringCopy(p->framing, companion->framing, sizeof p->framing);
    ODDropParseFree(companion);
    ODStringCopy(p->path, path, sizeof p->path);
    p->kind = kind;
    return ODDROP_OK;
}

/* ---- committing and releasing ---- */

static void ODDropViewCurrent(tODDropView *view)
{
    view->c = od_control;
    view->is_sysop = bIsSysop;
    view->is_cosysop = bIsCoSysop;
    view->lock = btDoorSYSLock;
}

static int ODDropIsExitInfoKind(int kind)
{
    return kind == OD_DROP_EXITINFO_SHORT || kind == OD_DROP_EXITINFO_EXT || kind == OD_DROP_EXITINFO_MID ||
           kind == OD_DROP_EXITINFO_NEW;
}

static void ODDropCommit(tODDropParse *p)
{
    ODDropFileRelease();
    ODControl &c = p->v.c;
    c.drop_file_kind = (uint8_t)p->kind;
    c.extended_info = ODDropIsExitInfoKind(p->kind) ? 1 : 0;
    if (!c.caller_screen_width) c.caller_screen_width = 80;
    if (!c.caller_screen_length) c.caller_screen_length = 23;
    od_control = c;
    bIsSysop = p->v.is_sysop;
    bIsCoSysop = p->v.is_cosysop;
    btDoorSYSLock = p->v.lock;
    bTelnetSocket = p->telnet;
    bODDropFileStdio = p->stdio;
    ODStringCopy(szODDropFileFraming, p->framing, sizeof szODDropFileFraming);
    ODStringCopy(szDropFilePath, p->path, sizeof szDropFilePath);
    ODDropDirectoryOf(p->path, szExitinfoBBSPath, sizeof szExitinfoBBSPath);

    pszODDropText = p->text;
    pODDropLines = p->lines;
    nODDropLines = p->count;
    p->text = nullptr;
    p->lines = nullptr;
    for (int i = 0; i < ODDROP_INFO_LINES; i++)
        apszDropFileInfo[i] = p->info[i] >= 0 ? pszODDropText + pODDropLines[p->info[i]].offset : nullptr;
    if (p->kind == OD_DROP_EXITINFO_NEW)
        pRA2ExitInfoRecord = p->record;
    else
        pExitInfoRecord = p->record;
    pExtendedExitInfo = p->extension;
    nExitInfoRecordSize = p->record_size;
    p->record = nullptr;
    p->extension = nullptr;

    nODDropKind = p->kind;
    bODDropFileRead = 1;
    ODDropViewCurrent(&sODReadView);
}

void ODDropFileRelease(void)
{
    free(pszODDropText);
    free(pODDropLines);
    free(pExitInfoRecord);
    free(pExtendedExitInfo);
    free(pRA2ExitInfoRecord);
    free(pszBBSDevStorage);
    pszODDropText = nullptr;
    pODDropLines = nullptr;
    nODDropLines = 0;
    pExitInfoRecord = pExtendedExitInfo = pRA2ExitInfoRecord = nullptr;
    nExitInfoRecordSize = 0;
    pszBBSDevStorage = pszBBSDevUserID = nullptr;
    for (char *&line : apszDropFileInfo) line = nullptr;
    bODDropFileRead = 0;
    nODDropKind = OD_DROP_NONE;
    bIsSysop = bIsCoSysop = 0;
    btDoorSYSLock = 0;
    bTelnetSocket = bODDropFileStdio = 0;
    bBBSDevSession = bBBSDevOpenHandleSet = bBBSDevDeadlineSet = 0;
    nBBSDevComMethod = 0;
    nBBSDevDeadline = 0;
    szODDropFileFraming[0] = '\0';
    szDropFilePath[0] = szExitinfoBBSPath[0] = '\0';
}

static int ODDropReadIndexed(const char *path, int index)
{
    tODDropParse *p = ODDropParseNew();
    if (!p) return ODDROP_NOMEM;
    int result;
    if (index == NAME_EXITINFO) {
        result = ODDropReadExitInfo(p, path);
    } else {
        result = ODDropLoadText(p, path);
        if (result == ODDROP_OK) {
            switch (index) {
            case NAME_DORINFO: result = ODDropParseDorinfo(p); break;
            case NAME_CHAIN: result = ODDropParseChain(p); break;
            case NAME_DOORSYS: result = ODDropParseDoorSys(p); break;
            case NAME_CALLINFO: result = ODDropParseCallinfo(p); break;
            case NAME_TRIBBS: result = ODDropParseTribbs(p); break;
            case NAME_DOOR32: result = ODDropParseDoor32(p); break;
            default: result = ODDropParseSFDoors(p); break;
            }
        }
    }
    if (result == ODDROP_OK) {
        ODDropCommit(p);
        if (p->bad_handle) result = ODDROP_BADHANDLE;
    }
    ODDropParseFree(p);
    return result;
}

int ODDropFileReadPath(const char *path)
{
    if (!path || !*path || strnlen(path, ODDROP_PATH_SIZE) >= ODDROP_PATH_SIZE) return ODDROP_NONE;
    ODDropSetNodeName(od_control.node);
    char resolved[ODDROP_PATH_SIZE];
    if (!ODDropResolveFile(path, resolved, sizeof resolved)) return ODDROP_NONE;
    int index = ODDropNameIndex(resolved);
    if (index < 0) return ODDROP_NONE;
    return ODDropReadIndexed(resolved, index);
}

int bODDropFileSearched = 0;

int ODDropFileRead(void)
{
    ODDropSetNodeName(od_control.node);
    const char *given = ODCmdLnDropPath();
    bODDropFileSearched = 0;
    if (given) {
        char resolved[ODDROP_PATH_SIZE];
        int index;
        if (ODDropResolveFile(given, resolved, sizeof resolved) && (index = ODDropNameIndex(resolved)) >= 0)
            return ODDropReadIndexed(resolved, index);
    }
    bODDropFileSearched = 1;
    char path[ODDROP_PATH_SIZE];
    int index;
    if (!ODSearchForDropFile(path, sizeof path, &index)) return ODDROP_NONE;
    return ODDropReadIndexed(path, index);
}

/* ---- write-back ---- */

typedef struct {
    FILE *file;
    int   error;
} tODDropOutput;

static void ODDropFileOpen(tODDropOutput *out, const char *path, const char *mode)
{
    out->file = fopen(path, mode);
    out->error = out->file ? 0 : ODERR_FILEOPEN;
}

static void ODDropFileWrite(tODDropOutput *out, const void *data, size_t size)
{
    if (!out->file || out->error || size == 0) return;
    if (fwrite(data, 1, size, out->file) != size) out->error = ODERR_GENERALFAIL;
}

static int ODDropFileClose(tODDropOutput *out)
{
    if (out->file && fclose(out->file) != 0 && !out->error) out->error = ODERR_GENERALFAIL;
    out->file = nullptr;
    if (out->error) od_control.last_error = (uint16_t)out->error;
    return out->error;
}

/* A line's value as the format writes it, without the line end. */
static void ODDropFormat(const tODDropLine *line, const tODDropView *view, char *out, size_t size)
{
    const ODControl *c = &view->c;
    int remote = c->remote_bps != 0;
    unsigned port_plus1 = c->com_port == ODDROP_NO_PORT ? 0u : (unsigned)c->com_port + 1;
    int minutes = (int16_t)c->caller_time_left;
    const char *text = (const char *)c + line->field;
    int numeric = line->field_size == 1 || line->field_size == 2 || line->field_size == 4 || line->field_size == 8;
    uint64_t value = numeric ? ODDropGetUnsigned(c, line->field, line->field_size) : 0;
    out[0] = '\0';
    switch (line->format) {
    case LF_TEXT: snprintf(out, size, "%.*s", (int)strnlen(text, line->field_size), text); break;
    case LF_UPPER: {
        snprintf(out, size, "%.*s", (int)strnlen(text, line->field_size), text);
        for (char *s = out; *s; s++) *s = (char)ODDropUpper((unsigned char)*s);
        break;
    }
    case LF_UNSIGNED: snprintf(out, size, "%llu", (unsigned long long)value); break;
    case LF_TIME: snprintf(out, size, "%d", minutes); break;
    case LF_TIME_SECONDS: snprintf(out, size, "%d", minutes * 60); break;
    case LF_CHAIN_SECONDS: snprintf(out, size, "    %d.00", minutes * 60); break;
    case LF_PORT_PLUS1: snprintf(out, size, "%u", port_plus1); break;
    case LF_DOORSYS_PORT: snprintf(out, size, "COM%u:", remote ? port_plus1 : 0u); break;
    case LF_DOORSYS_LOCK:
        if (view->lock == 1 || view->lock == 2)
            snprintf(out, size, "%s", view->lock == 1 ? "N" : "Y");
        else
            snprintf(out, size, "%u", (unsigned)c->remote_bps);
        break;
    case LF_DOORSYS_GRAPHICS: snprintf(out, size, "%s", c->caller_rip ? "RIP" : c->caller_ansi ? "GR" : "NG"); break;
    case LF_SHORT_PORT:
        if (remote && port_plus1)
            snprintf(out, size, "%u", port_plus1);
        else
            snprintf(out, size, "-1");
        break;
    case LF_GM: snprintf(out, size, "%s", c->caller_ansi ? "G" : "M"); break;
    case LF_TRUEFALSE: snprintf(out, size, "%s", value ? "TRUE" : "FALSE"); break;
    case LF_YN: snprintf(out, size, "%c", value ? 'Y' : 'N'); break;
    case LF_FLOW_YN: snprintf(out, size, "%c", c->com_flow_control == 1 ? 'Y' : 'N'); break;
    case LF_CHAR: snprintf(out, size, "%.1s", text); break;
    case LF_REMOTE: snprintf(out, size, "%d", remote); break;
    case LF_SPEED_OR_KB:
        if (remote)
            snprintf(out, size, "%u", (unsigned)c->remote_bps);
        else
            snprintf(out, size, "KB");
        break;
    case LF_TRIBBS_BIRTH: {
        snprintf(out, size, "%.*s", (int)strnlen(c->caller_birth_date, sizeof c->caller_birth_date),
                 c->caller_birth_date);
        size_t n = strlen(out);
        if (n > 2) out[2] = '/';
        if (n > 5) out[5] = '/';
        break;
    }
    case LF_SYSOP: snprintf(out, size, "%d", view->is_sysop ? 1 : 0); break;
    case LF_COSYSOP: snprintf(out, size, "%d", view->is_cosysop ? 1 : 0); break;
    default: break;
    }
}

static int ODWriteTextDropFile(void)
{
    tODDropView now;
    ODDropViewCurrent(&now);
    const size_t slack = 160; /* a formatted value plus its line end */
    size_t bound = 1;
    for (size_t i = 0; i < nODDropLines; i++) bound += pODDropLines[i].length + slack;
    char *out = (char *)malloc(bound);
    if (!out) {
        od_control.last_error = ODERR_GENERALFAIL;
        return ODERR_GENERALFAIL;
    }
    size_t used = 0;
    for (size_t i = 0; i < nODDropLines; i++) {
        const tODDropLine *line = &pODDropLines[i];
        const char *raw = pszODDropText + line->offset;
        if (line->format != LF_RAW) {
            char current[128], original[128];
            ODDropFormat(line, &now, current, sizeof current);
            ODDropFormat(line, &sODReadView, original, sizeof original);
            if (strcmp(current, original) != 0) {
                if (line->offset == 0 && ODDropHasBOM(raw, line->length)) {
                    memcpy(out + used, raw, 3);
                    used += 3;
                }
                size_t end = 0;
                if (line->length >= 1 && raw[line->length - 1] == '\n') end = 1;
                if (end && line->length >= 2 && raw[line->length - 2] == '\r') end = 2;
                size_t n = strlen(current);
                memcpy(out + used, current, n);
                used += n;
                memcpy(out + used, raw + line->length - end, end);
                used += end;
                continue;
            }
        }
        memcpy(out + used, raw, line->length);
        used += line->length;
    }
    tODDropOutput file;
    ODDropFileOpen(&file, szDropFilePath, "wb");
    ODDropFileWrite(&file, out, used);
    free(out);
    return ODDropFileClose(&file);
}

static int ODWriteExitInfo(int32_t initial_remaining, int64_t startup_time)
{
    uint8_t *record = nODDropKind == OD_DROP_EXITINFO_NEW ? pRA2ExitInfoRecord : pExitInfoRecord;
    if (!record) return 0;
    size_t size = nExitInfoRecordSize, length = size;
    if (nODDropKind == OD_DROP_EXITINFO_NEW) {
        ODExitInfoEncode(aODRA2ExitInfoFields, sizeof aODRA2ExitInfoFields / sizeof *aODRA2ExitInfoFields, record,
                         size, &od_control, &sODReadView.c, -1);
    } else {
        /* The 902-byte record goes back with the minutes used that it had;
         * its BBS accounts the door's time itself. */
        int skip = nODDropKind == OD_DROP_EXITINFO_MID ? ODEXIT_MINUTES_USED : -1;
        ODExitInfoEncode(aODExitInfoFields, sizeof aODExitInfoFields / sizeof *aODExitInfoFields, record, size,
                         &od_control, &sODReadView.c, skip);
        if (nODDropKind == OD_DROP_EXITINFO_MID) {
            if (length > 644) length = 644;
        } else {
            int64_t now = ODPlatWallSeconds();
            if (startup_time > 0 && now >= startup_time && size >= ODEXIT_TIME_LIMIT + 2) {
                int64_t used = (int64_t)initial_remaining - (int16_t)od_control.caller_time_left -
                               (now - startup_time) / 60;
                int64_t limit = (int64_t)ODExitGet(record, ODEXIT_TIME_LIMIT, 2) - used;
                if (limit < 0) limit = 0;
                if (limit > 0xFFFF) limit = 0xFFFF;
                ODExitPut(record, ODEXIT_TIME_LIMIT, 2, (uint32_t)limit);
            }
        }
    }
    tODDropOutput file;
    ODDropFileOpen(&file, szDropFilePath, "r+b");
    ODDropFileWrite(&file, record, length);
    return ODDropFileClose(&file);
}

int ODDropFileWriteBack(int32_t initial_remaining, int64_t startup_time)
{
    if (!bODDropFileRead) return 0;
    switch (nODDropKind) {
    case OD_DROP_EXITINFO_SHORT:
    case OD_DROP_EXITINFO_EXT:
    case OD_DROP_EXITINFO_MID:
    case OD_DROP_EXITINFO_NEW: return ODWriteExitInfo(initial_remaining, startup_time);
    case OD_DROP_CHAINTXT:
    case OD_DROP_SFDOORS:
    case OD_DROP_DOORSYS_PART:
    case OD_DROP_DOORSYS_SHORT:
    case OD_DROP_DOORSYS_FULL:
    case OD_DROP_TRIBBS: return ODWriteTextDropFile();
    default: return 0; /* DORINFO, CALLINFO and DOOR32.SYS are not written back */
    }
}

/* ---- BBSDev ---- */

/* One UTF-8 character: its length, or 0 when the bytes are not valid
 * UTF-8 (overlong forms, surrogates and anything above U+10FFFF fail). */
static size_t ODUtf8Next(const unsigned char *s, size_t n, uint32_t *code_point)
{
    unsigned char b = s[0];
    if (b < 0x80) {
        *code_point = b;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        cp = b & 0x0F;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        cp = b & 0x07;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (length > n) return 0;
    for (size_t i = 1; i < length; i++) {
        unsigned char k = s[i];
        if (k < (i == 1 ? low : 0x80) || k > (i == 1 ? high : 0xBF)) return 0;
        cp = (cp << 6) | (k & 0x3F);
    }
    *code_point = cp;
    return length;
}

static int ODBBSDevIsSpace(uint32_t cp)
{
    return cp == 0x20 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

static int ODBBSDevLineValid(const char *text)
{
    const unsigned char *s = (const unsigned char *)text;
    size_t n = strlen(text), i = 0;
    uint32_t first = 0, last = 0;
    while (i < n) {
        uint32_t cp;
        size_t k = ODUtf8Next(s + i, n - i, &cp);
        if (!k) return 0;
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return 0;
        if (i == 0) first = cp;
        last = cp;
        i += k;
    }
    return n == 0 || (!ODBBSDevIsSpace(first) && !ODBBSDevIsSpace(last));
}

/* Unsigned decimal without a leading zero that fits 64 bits. */
static int ODBBSDevDecimal(const char *s, uint64_t *value)
{
    if (!*s || (s[0] == '0' && s[1])) return 0;
    uint64_t v = 0;
    for (; *s; s++) {
        if (*s < '0' || *s > '9') return 0;
        unsigned digit = (unsigned)(*s - '0');
        if (v > (UINT64_MAX - digit) / 10) return 0;
        v = v * 10 + digit;
    }
    *value = v;
    return 1;
}

/* Decimal digits without a leading zero, of any length. */
static int ODBBSDevDigits(const char *s, size_t n)
{
    if (n == 0 || (s[0] == '0' && n > 1)) return 0;
    for (size_t i = 0; i < n; i++)
        if (s[i] < '0' || s[i] > '9') return 0;
    return 1;
}

static int ODBBSDevDotted(const char *s)
{
    if (!*s) return 1;
    for (;;) {
        const char *dot = strchr(s, '.');
        size_t n = dot ? (size_t)(dot - s) : strlen(s);
        if (!ODBBSDevDigits(s, n)) return 0;
        if (!dot) return 1;
        s = dot + 1;
    }
}

static int ODIsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

/* "YYYY-MM-DDTHH:MM:SSZ", a real calendar date and time of day. */
static int ODBBSDevDeadline(const char *s, int64_t *seconds)
{
    static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (strlen(s) != sizeof shape - 1) return 0;
    for (size_t i = 0; shape[i]; i++) {
        if (shape[i] == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != shape[i]) return 0;
    }
    int year = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
    int month = (s[5] - '0') * 10 + (s[6] - '0'), day = (s[8] - '0') * 10 + (s[9] - '0');
    int hour = (s[11] - '0') * 10 + (s[12] - '0'), minute = (s[14] - '0') * 10 + (s[15] - '0');
    int second = (s[17] - '0') * 10 + (s[18] - '0');
    static const int aDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    int days_in_month = aDays[month - 1] + (month == 2 && ODIsLeapYear(year) ? 1 : 0);
    if (day < 1 || day > days_in_month || hour > 23 || minute > 59 || second > 59) return 0;
    if (year < 1970) {
        *seconds = 0;
        return 1;
    }
    /* Days since 1970-01-01 in the proleptic Gregorian calendar. */
    int y = month <= 2 ? year - 1 : year;
    int era = y / 400, yoe = y - era * 400;
    int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = (int64_t)era * 146097 + doe - 719468;
    *seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return 1;
}

static int ODIsAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static int ODIsDigit(char c)
{
    return c >= '0' && c <= '9';
}

/* Well-formed under RFC 5646: the langtag and private-use productions,
 * plus the grandfathered tags. */
static int ODBBSDevLanguageTag(const char *tag)
{
    static const char *const apszGrandfathered[26] = {
        "en-GB-oed",  "i-ami",       "i-bnn",     "i-default", "i-enochian", "i-hak",     "i-klingon",
        "i-lux",      "i-mingo",     "i-navajo",  "i-pwn",     "i-tao",      "i-tay",     "i-tsu",
        "sgn-BE-FR",  "sgn-BE-NL",   "sgn-CH-DE", "art-lojban", "cel-gaulish", "no-bok", "no-nyn",
        "zh-guoyu",   "zh-hakka",    "zh-min",    "zh-min-nan", "zh-xiang"};
    for (const char *g : apszGrandfathered)
        if (!ODStringCompareNoCase(tag, g)) return 1;

    enum { MAX_SUBTAGS = 64 };
    const char *start[MAX_SUBTAGS];
    size_t length[MAX_SUBTAGS];
    int alpha[MAX_SUBTAGS], digit[MAX_SUBTAGS];
    int count = 0;
    const char *s = tag;
    for (;;) {
        const char *end = s;
        while (*end && *end != '-') end++;
        size_t n = (size_t)(end - s);
        if (n < 1 || n > 8 || count == MAX_SUBTAGS) return 0;
        int all_alpha = 1, all_digit = 1;
        for (size_t i = 0; i < n; i++) {
            if (!ODIsAlpha(s[i]) && !ODIsDigit(s[i])) return 0;
            all_alpha &= ODIsAlpha(s[i]);
            all_digit &= ODIsDigit(s[i]);
        }
        start[count] = s;
        length[count] = n;
        alpha[count] = all_alpha;
        digit[count] = all_digit;
        count++;
        if (!*end) break;
        s = end + 1;
    }
    int i = 0;
#define IS_X(k) (length[k] == 1 && (start[k][0] | 32) == 'x')
    if (IS_X(0)) return count >= 2; /* private use only */
    if (!alpha[0] || length[0] < 2) return 0;
    i = 1;
    if (length[0] <= 3) /* up to three extended language subtags */
        for (int ext = 0; ext < 3 && i < count && length[i] == 3 && alpha[i]; ext++) i++;
    if (i < count && length[i] == 4 && alpha[i]) i++; /* script */
    if (i < count && ((length[i] == 2 && alpha[i]) || (length[i] == 3 && digit[i]))) i++; /* region */
    while (i < count && (length[i] >= 5 || (length[i] == 4 && ODIsDigit(start[i][0])))) i++; /* variants */
    while (i < count && length[i] == 1 && !IS_X(i)) { /* extensions */
        i++;
        int subtags = 0;
        while (i < count && length[i] >= 2) {
            i++;
            subtags++;
        }
        if (!subtags) return 0;
    }
    if (i < count && IS_X(i)) { /* private use */
        if (i + 1 >= count) return 0;
        i = count;
    }
#undef IS_X
    return i == count;
}

void ODBBSDevCopyText(char *out, size_t out_size, const char *text)
{
    if (!out || out_size == 0) return;
    const unsigned char *s = (const unsigned char *)(text ? text : "");
    size_t n = strlen((const char *)s), used = 0;
    while (used < n) {
        uint32_t cp;
        size_t k = ODUtf8Next(s + used, n - used, &cp);
        if (!k || used + k > out_size - 1) break;
        used += k;
    }
    memcpy(out, s, used);
    out[used] = '\0';
}

static int ODBBSDevPathAbsolute(const char *path)
{
    if (((path[0] | 32) >= 'a' && (path[0] | 32) <= 'z') && path[1] == ':' && (path[2] == '\\' || path[2] == '/'))
        return 1;
    if ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) return 1;
    /* A POSIX absolute path is one slash. */
    return OD_PATH_SEP == '/' && path[0] == '/';
}

int ODInitReadBBSDevDropFile(const char *path)
{
    if (!path || !*path || strnlen(path, ODDROP_PATH_SIZE) >= ODDROP_PATH_SIZE) return 0;
    if (!ODBBSDevPathAbsolute(path)) return 0;
    char *data = nullptr;
    size_t size = 0;
    if (ODDropReadWhole(path, ODBBSDEV_MAX - 1, &data, &size) != ODDROP_OK) return 0;

    char *line[ODBBSDEV_LINES];
    size_t lines = 0;
    int valid = size > 0 && data[size - 1] == '\n' && !memchr(data, '\0', size) &&
                !(size >= 3 && (unsigned char)data[0] == 0xEF && (unsigned char)data[1] == 0xBB &&
                  (unsigned char)data[2] == 0xBF);
    for (size_t i = 0, start = 0; valid && i < size; i++) {
        if (data[i] == '\r') {
            if (i + 1 >= size || data[i + 1] != '\n') valid = 0;
            data[i] = '\0';
        } else if (data[i] == '\n') {
            data[i] = '\0';
            if (lines < ODBBSDEV_LINES) line[lines] = data + start;
            lines++;
            start = i + 1;
        }
    }
    if (!valid || lines < ODBBSDEV_LINES) {
        free(data);
        return 0;
    }
    for (size_t i = 0; i < ODBBSDEV_LINES; i++)
        if (!ODBBSDevLineValid(line[i])) valid = 0;

    /* 1: format version. */
    if (valid) {
        valid = !strncmp(line[0], "1.", 2) && ODBBSDevDigits(line[0] + 2, strlen(line[0] + 2));
        if (valid && !strcmp(line[0], "1.0") && lines != ODBBSDEV_LINES) valid = 0;
    }
    /* 2 and 3: connection and handle. */
    int method = 0;
    uint64_t handle = 0;
    if (valid) {
        if (!strcmp(line[1], "local"))
            method = 0;
        else if (!strcmp(line[1], "socket"))
            method = 5;
        else if (!strcmp(line[1], "winserial"))
            method = 3;
        else
            valid = 0;
        if (valid) valid = method == 0 ? line[2][0] == '\0' : ODBBSDevDecimal(line[2], &handle);
    }
    uint64_t width = 0, length = 0, access = 0, node = 0;
    int64_t deadline = 0;
    int has_deadline = line[10][0] != '\0';
    if (valid)
        valid = line[3][0] && line[4][0] && ODBBSDevDecimal(line[5], &width) && width >= 1 && width <= 65535 &&
                ODBBSDevDecimal(line[6], &length) && length >= 1 && length <= 65535 &&
                (!strcmp(line[7], "Y") || !strcmp(line[7], "N")) &&
                (!strcmp(line[8], "Y") || !strcmp(line[8], "N")) && ODBBSDevDotted(line[9]) &&
                (!has_deadline || ODBBSDevDeadline(line[10], &deadline)) &&
                (!ODStringCompareNoCase(line[11], "IBM437") || !ODStringCompareNoCase(line[11], "UTF-8")) &&
                ODBBSDevLanguageTag(line[12]) && line[13][0] && line[14][0] && line[15][0] &&
                (!strcmp(line[16], "sysop") || !strcmp(line[16], "cosysop") || ODBBSDevDecimal(line[16], &access)) &&
                ODBBSDevDecimal(line[17], &node) && (!strcmp(line[18], "Y") || !strcmp(line[18], "N"));
    if (!valid) {
        free(data);
        return 0;
    }

    /* Accepted: only now does anything change. */
    ODDropFileRelease();
    ODControl &c = od_control;
    if (method == 0) {
        c.force_local = 1;
        c.remote_bps = 0;
    } else {
        c.remote_bps = 1;
        c.handle_is_socket = method == 5;
        c.open_handle = handle;
        bBBSDevOpenHandleSet = 1;
        bTelnetSocket = method == 5;
    }
    nBBSDevComMethod = method;
    ODBBSDevCopyText(c.caller_name, sizeof c.caller_name, line[3]);
    ODBBSDevCopyText(c.caller_handle, sizeof c.caller_handle, line[3]);
    c.caller_screen_width = (uint8_t)(width > 255 ? 255 : width);
    c.caller_screen_length = (uint16_t)length;
    c.caller_ansi = line[7][0] == 'Y';
    c.caller_rip = line[8][0] == 'Y';
    bBBSDevDeadlineSet = has_deadline;
    nBBSDevDeadline = deadline;
    c.caller_time_left = has_deadline ? 32767 : 0;
    if (!ODStringCompareNoCase(line[11], "UTF-8")) c.remote_utf8 = 1;
    ODBBSDevCopyText(c.system_name, sizeof c.system_name, line[14]);
    ODBBSDevCopyText(c.sysop_name, sizeof c.sysop_name, line[15]);
    if (!strcmp(line[16], "sysop"))
        bIsSysop = 1;
    else if (!strcmp(line[16], "cosysop"))
        bIsCoSysop = 1;
    else
        c.caller_security = (uint16_t)(access > 65535 ? 65535 : access);
    c.node = (uint16_t)(node > 65535 ? 65535 : node);
    if (line[18][0] == 'N') c.silent_mode = 1;
    c.drop_file_kind = OD_DROP_BBSDEV;
    c.extended_info = 0;
    bBBSDevSession = 1;
    pszBBSDevStorage = data;
    pszBBSDevUserID = line[4];
    ODStringCopy(szDropFilePath, path, sizeof szDropFilePath);
    ODDropDirectoryOf(path, szExitinfoBBSPath, sizeof szExitinfoBBSPath);
    return 1;
}
