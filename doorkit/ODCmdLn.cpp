/* ODCmdLn.cpp -- the door's command line: splitting a line the way Windows
 * does, and turning the BBS's options into door control block settings. */
#include "doorkit.h"
#include "ODCmdLn.h"
#include "ODInEx.h"
#include "ODSafe.h"
#include "ODSync.h"
#include "ODUtil.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int      bParsedCmdLine = 0;
uint16_t wPreSetInfo = 0;
uint32_t dwODPresetPort = OD_NO_PRESET_PORT;
int      bODUseStdio = 0;
char     szODCmdLnDropPath[1024] = "";

void ODCmdLnSetDropPath(const char *path)
{
    ODStringCopy(od_control.drop_path, path, sizeof od_control.drop_path);
    ODStringCopy(szODCmdLnDropPath, path, sizeof szODCmdLnDropPath);
}

const char *ODCmdLnDropPath(void)
{
    size_t n = strnlen(od_control.drop_path, sizeof od_control.drop_path);
    if (n == 0 || n >= sizeof od_control.drop_path) return nullptr;
    if (szODCmdLnDropPath[0] && strncmp(szODCmdLnDropPath, od_control.drop_path, n) == 0)
        return szODCmdLnDropPath;
    return od_control.drop_path;
}

static_assert(sizeof(tODWideChar) == 2, "the splitter works on UTF-16 code units");

/* ---- splitting ---- */

static int ODCmdLnIsBlank(tODWideChar c)
{
    return c == 0x20 || c == 0x09;
}

/* Both passes of the splitter run this. Without slots it only counts the
 * elements and the code units they need (terminators included); with them
 * it also writes, so the two passes cannot disagree. */
static void ODCmdLnSplitPass(const tODWideChar *line, tODWideChar **slots, tODWideChar *text,
                             size_t *element_count, size_t *unit_count)
{
    const tODWideChar quote = 0x22, backslash = 0x5C;
    const tODWideChar *p = line;
    size_t count = 0, units = 0;

#define OD_EMIT(c)                    \
    do {                              \
        if (slots) text[units] = (c); \
        units++;                      \
    } while (0)

    /* A blank where the program name belongs leaves the name empty. */
    if (ODCmdLnIsBlank(*p)) {
        if (slots) slots[0] = text;
        OD_EMIT(0);
        count = 1;
    }
    while (count < OD_MAX_ARGS) {
        while (ODCmdLnIsBlank(*p)) p++;
        if (*p == 0) break;
        if (slots) slots[count] = text + units;
        count++;
        int quoted = 0;
        while (*p != 0 && (quoted || !ODCmdLnIsBlank(*p))) {
            if (*p == backslash) {
                size_t run = 0;
                while (p[run] == backslash) run++;
                if (p[run] != quote) {
                    for (size_t i = 0; i < run; i++) OD_EMIT(backslash);
                    p += run;
                    continue;
                }
                for (size_t i = 0; i < run / 2; i++) OD_EMIT(backslash);
                p += run;
                if (run & 1) {
                    OD_EMIT(quote);
                    p++;
                }
                /* after an even run the quote is a quoting mark: next turn */
                continue;
            }
            if (*p == quote) {
                if (quoted && p[1] == quote) {
                    OD_EMIT(quote);
                    p += 2;
                    quoted = 0;
                } else {
                    quoted = !quoted;
                    p++;
                }
                continue;
            }
            OD_EMIT(*p);
            p++;
        }
        OD_EMIT(0);
    }
#undef OD_EMIT
    *element_count = count;
    *unit_count = units;
}

tODWideChar **ODCmdLnSplitPortable(const tODWideChar *line, int *argc, tODCmdLnAlloc allocate)
{
    if (argc) *argc = 0;
    if (!line || !argc) return nullptr;
    if (!allocate) allocate = malloc;

    size_t count = 0, units = 0;
    ODCmdLnSplitPass(line, nullptr, nullptr, &count, &units);

    size_t slot_bytes, text_bytes, total;
    /* At least one slot, so even an empty line gets a block of its own. */
    if (!ODSizeMultiply(count ? count : 1, sizeof(tODWideChar *), &slot_bytes) ||
        !ODSizeMultiply(units, sizeof(tODWideChar), &text_bytes) ||
        !ODSizeAdd(slot_bytes, text_bytes, &total))
        return nullptr;
    tODWideChar **slots = (tODWideChar **)allocate(total);
    if (!slots) return nullptr;
    slots[0] = nullptr;
    tODWideChar *text = (tODWideChar *)((char *)slots + slot_bytes);
    size_t filled = 0, written = 0; /* the same as counted: one pass, two runs */
    ODCmdLnSplitPass(line, slots, text, &filled, &written);
    *argc = (int)count;
    return slots;
}

static char *ODCmdLnDup(const char *text)
{
    size_t n = strlen(text) + 1;
    char *copy = (char *)malloc(n);
    if (copy) memcpy(copy, text, n);
    return copy;
}

/* Element 0 of a vector: the first element of the process command line, or
 * "" when there is none. Null only when memory or a conversion fails. */
static char *ODCmdLnProgramName(void)
{
    char *line = ODCmdLnProcessLine();
    if (!line || !*line) {
        free(line);
        return ODCmdLnDup("");
    }
    tODWideChar *wide = ODCmdLnToWide(line);
    free(line);
    if (!wide) return nullptr;
    int count = 0;
    void *token = nullptr;
    tODWideChar **pieces = ODWindowsCommandLineToArgv(wide, &count, &token);
    free(wide);
    if (!pieces) return nullptr;
    char *name = nullptr;
    if (count < 1) {
        name = ODCmdLnDup("");
    } else {
        size_t size = ODCmdLnFromWide(pieces[0], nullptr, 0);
        if (size) name = (char *)malloc(size);
        if (name && ODCmdLnFromWide(pieces[0], name, size) == 0) {
            free(name);
            name = nullptr;
        }
    }
    ODWindowsCommandLineFree(pieces, token);
    return name;
}

/* The vector holds element 0, one block with every other text (at
 * element 1) and itself. */
void od_free_cmd_line(char **argv)
{
    if (!argv) return;
    free(argv[0]);
    free(argv[1]);
    free(argv);
}

char **od_split_cmd_line(const char *command_line, int *argc)
{
    if (!ODSyncPublicCallAllowed()) {
        if (argc) *argc = 0;
        return nullptr;
    }
    if (!command_line || !argc) {
        od_control.last_error = ODERR_PARAM;
        if (argc) *argc = 0;
        return nullptr;
    }
    *argc = 0;

    char **vector = (char **)calloc(OD_MAX_ARGS + 1, sizeof(char *));
    char *prefixed = nullptr;
    tODWideChar *wide = nullptr;
    tODWideChar **pieces = nullptr;
    void *token = nullptr;
    int count = 0;
    size_t length = strlen(command_line), size = 0, total = 0, used = 0;

    if (!vector) goto failed;
    vector[0] = ODCmdLnProgramName();
    if (!vector[0]) goto failed;

    /* A dummy program name in front, so that the given line is split by the
     * rules of arguments, never by those of a program name. */
    if (!ODSizeAdd(length, 3, &size) || !(prefixed = (char *)malloc(size))) goto failed;
    prefixed[0] = 'x';
    prefixed[1] = ' ';
    memcpy(prefixed + 2, command_line, length + 1);
    wide = ODCmdLnToWide(prefixed);
    free(prefixed);
    prefixed = nullptr;
    if (!wide) goto failed;
    pieces = ODWindowsCommandLineToArgv(wide, &count, &token);
    free(wide);
    wide = nullptr;
    if (!pieces) goto failed;
    if (count > OD_MAX_ARGS) count = OD_MAX_ARGS;
    if (count < 1) count = 1;

    for (int i = 1; i < count; i++) {
        size_t n = ODCmdLnFromWide(pieces[i], nullptr, 0);
        if (n == 0 || !ODSizeAdd(total, n, &total)) goto failed;
    }
    if (count > 1) {
        char *texts = (char *)malloc(total);
        if (!texts) goto failed;
        vector[1] = texts;
        for (int i = 1; i < count; i++) {
            size_t n = ODCmdLnFromWide(pieces[i], texts + used, total - used);
            if (n == 0) goto failed;
            vector[i] = texts + used;
            used += n;
        }
    }
    ODWindowsCommandLineFree(pieces, token);

    {
        char **shrunk = (char **)realloc(vector, ((size_t)count + 1) * sizeof(char *));
        if (shrunk) vector = shrunk;
    }
    *argc = count;
    return vector;

failed:
    if (pieces) ODWindowsCommandLineFree(pieces, token);
    free(wide);
    free(prefixed);
    od_free_cmd_line(vector);
    od_control.last_error = ODERR_NOMEMORY;
    *argc = 0;
    return nullptr;
}

/* One argument in Windows quoting; counts only when out is null. Quotes go
 * round anything empty or holding a blank or a quote; backslashes are
 * doubled only where a quote follows them. */
static int ODCmdLnQuoteOne(const char *arg, char *out, size_t *length)
{
    size_t n = 0;
#define OD_PUT(c)              \
    do {                       \
        if (out) out[n] = (c); \
        if (!ODSizeAdd(n, 1, &n)) return 0; \
    } while (0)
    if (*arg && !strpbrk(arg, " \t\n\v\"")) {
        size_t len = strlen(arg);
        if (out) memcpy(out, arg, len);
        *length = len;
        return 1;
    }
    OD_PUT('"');
    for (const char *p = arg;; p++) {
        size_t slashes = 0;
        while (*p == '\\') {
            slashes++;
            p++;
        }
        if (*p == '\0') {
            for (size_t i = 0; i < slashes * 2; i++) OD_PUT('\\');
            break;
        }
        if (*p == '"') {
            for (size_t i = 0; i < slashes * 2 + 1; i++) OD_PUT('\\');
        } else {
            for (size_t i = 0; i < slashes; i++) OD_PUT('\\');
        }
        OD_PUT(*p);
    }
    OD_PUT('"');
#undef OD_PUT
    *length = n;
    return 1;
}

char *ODCmdLnQuoteArgs(int count, const char *const *args)
{
    if (!args || count < 0) count = 0;
    size_t total = 1, n;
    for (int i = 0; i < count; i++) {
        const char *arg = args[i] ? args[i] : "";
        if (!ODCmdLnQuoteOne(arg, nullptr, &n) || !ODSizeAdd(total, n, &total) ||
            (i > 0 && !ODSizeAdd(total, 1, &total)))
            return nullptr;
    }
    char *line = (char *)malloc(total);
    if (!line) return nullptr;
    size_t used = 0;
    for (int i = 0; i < count; i++) {
        if (i > 0) line[used++] = ' ';
        ODCmdLnQuoteOne(args[i] ? args[i] : "", line + used, &n);
        used += n;
    }
    line[used] = '\0';
    return line;
}

/* ---- options ---- */

typedef struct {
    const char *pszKeyword;
    int         nOption;
} tODCmdLnKeyword;

/* In the order they are tried; the first match names the option. */
static const tODCmdLnKeyword aODCmdLnKeywords[] = {
    {"C", kODParamConfig},         {"CONFIG", kODParamConfig},
    {"CONFIGFILE", kODParamConfig}, {"CFGFILE", kODParamConfig},
    {"CFG", kODParamConfig},       {"L", kODParamLocal},
    {"LOCAL", kODParamLocal},      {"B", kODParamBPS},
    {"BPS", kODParamBPS},          {"BAUD", kODParamBPS},
    {"P", kODParamPort},           {"PORT", kODParamPort},
    {"N", kODParamNode},           {"NODE", kODParamNode},
    {"?", kODParamHelp},           {"H", kODParamHelp},
    {"HELP", kODParamHelp},        {"PERSONALITY", kODParamPersonality},
    {"MAXTIME", kODParamMaxTime},  {"ADDRESS", kODParamAddress},
    {"IRQ", kODParamIRQ},          {"NOFOSSIL", kODParamNoFossil},
    {"NOFIFO", kODParamNoFIFO},    {"DROPFILE", kODParamDropFile},
    {"D", kODParamDropFile},       {"USERNAME", kODParamUserName},
    {"TIMELEFT", kODParamTimeLeft}, {"SECURITY", kODParamSecurity},
    {"LOCATION", kODParamLocation}, {"GRAPHICS", kODParamGraphics},
    {"G", kODParamGraphics},       {"BBSNAME", kODParamBBSName},
    {"HANDLE", kODParamHandle},    {"SOCKET", kODParamSocket},
    {"SILENT", kODParamSilent},    {"CP437UTF8", kODParamCP437UTF8},
    {"STDIO", kODParamStdio},
};

int ODGetCommandLineParameter(const char *argument)
{
    if (!argument || (argument[0] != '-' && argument[0] != '/')) return kODParamNotOption;
    for (const tODCmdLnKeyword &keyword : aODCmdLnKeywords)
        if (ODStringCompareNoCase(argument + 1, keyword.pszKeyword) == 0) return keyword.nOption;
    return kODParamOther;
}

static const char szODCmdLnHelp[] =
    "(Note that some options can be overriden by configuration or drop files.)\n"
    "\n"
    "-C x or -CONFIG x\t- Specfies configuration filename (also -CONFIGFILE, -CFGFILE, -CFG).\n"
    "-L or -LOCAL\t- Causes door to operate in local mode, without requiring a drop file.\n"
    "-D or -DROPFILE x\t- Door information file directory and/or filename.\n"
    "-N x or -NODE x\t- Sets the node number to use.\n"
    "-B x or -BPS x\t- Sets the serial port <---> modem bps (baud) rate to use (also -BAUD x).\n"
    "-P x or -PORT x\t- Sets serial port to use. For COM1: use -P 0 or -P COM1, for COM2: use -P 1 or -P COM2, etc.\n"
    "-ADDRESS x\t- Serial port I/O address, in hexadecimal.\n"
    "-IRQ x\t\t- Serial port interrupt line.\n"
    "-NOFOSSIL\t- Does not use a FOSSIL driver for the serial port.\n"
    "-NOFIFO\t\t- Does not use the UART FIFO.\n"
    "-HANDLE x\t- Provides an already open serial port handle.\n"
    "-SOCKET x\t- Provides an already open TCP/IP socket descriptor.\n"
    "-STDIO\t\t- Caller is on standard input and output (a pseudo-terminal).\n"
    "-SILENT\t\t- Operate in silent mode, with no local display.\n"
    "-MAXTIME x\t- Sets the maximum number of minutes that user will be permitted to access the door.\n"
    "-G or -GRAPHICS\t- Unless followed by 0 or N, turns on ANSI display mode.\n"
    "-BBSNAME x\t- Name of BBS.\n"
    "-USERNAME x\t- Name of user who is currently online.\n"
    "-TIMELEFT x\t- User's time remaining online.\n"
    "-SECURITY x\t- User's security level.\n"
    "-LOCATION x\t- Location from which user is calling.\n"
    "-CP437UTF8\t- Sends the door's CP437 text to the caller as UTF-8.\n"
    "-PERSONALITY x\t- Accepted and ignored.\n"
    "-?, -H or -HELP\t- Displays command-line help and exits.";

static const char *pszODCmdLnProgramHelp;

void od_set_cmd_line_help(const char *program_options)
{
    pszODCmdLnProgramHelp = program_options;
}

const char *ODCmdLnHelpText(void)
{
    /* The program's own options follow the kit's, after a blank line. */
    static char szHelp[sizeof szODCmdLnHelp + 2048];
    if (!pszODCmdLnProgramHelp || !pszODCmdLnProgramHelp[0]) return szODCmdLnHelp;
    snprintf(szHelp, sizeof szHelp, "%s\n\n%s", szODCmdLnHelp, pszODCmdLnProgramHelp);
    return szHelp;
}

/* atol/strtol as on the platform these command lines come from: a 32-bit
 * long that saturates, so no input is undefined and every build agrees. */
static int32_t ODCmdLnNumber(const char *text, int base)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    int negative = 0;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        char c = p[2];
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) p += 2;
    }
    int64_t value = 0;
    for (;; p++) {
        int digit;
        if (*p >= '0' && *p <= '9') digit = *p - '0';
        else if (base == 16 && *p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
        else if (base == 16 && *p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
        else break;
        value = value * base + digit;
        if (value > (int64_t)INT32_MAX + 1) value = (int64_t)INT32_MAX + 1;
    }
    if (negative) return (int32_t)-value; /* -2^31 at most: fits */
    return value > INT32_MAX ? INT32_MAX : (int32_t)value;
}

/* An already open handle: unsigned decimal, an optional '+', nothing else. */
static int ODCmdLnHandleNumber(const char *text, uint64_t *value)
{
    if (*text == '+') text++;
    if (*text == '\0') return 0;
    uint64_t result = 0;
    for (; *text; text++) {
        if (*text < '0' || *text > '9') return 0;
        uint64_t digit = (uint64_t)(*text - '0');
        if (result > (UINT64_MAX - digit) / 10) return 0;
        result = result * 10 + digit;
    }
    *value = result;
    return 1;
}

static int ODCmdLnIsOptionStart(const char *argument)
{
    return argument[0] == '-' || argument[0] == '/';
}

static int ODCmdLnTakesArgument(int option)
{
    switch (option) {
    case kODParamConfig:
    case kODParamBPS:
    case kODParamPort:
    case kODParamNode:
    case kODParamMaxTime:
    case kODParamAddress:
    case kODParamIRQ:
    case kODParamDropFile:
    case kODParamTimeLeft:
    case kODParamSecurity:
    case kODParamHandle:
    case kODParamSocket:
        return 1;
    default:
        return 0;
    }
}

[[noreturn]] static void ODCmdLnMissingParameter(const char *option)
{
    printf("Missing parameter for option: %s\r\n", option);
    ODProcessExit(1);
}

/* Joins argv[*index] onward into field (size bytes) until the next option;
 * words that no longer fit are still consumed. */
static void ODCmdLnJoinWords(char *field, size_t size, int argc, char **argv, int *index)
{
    size_t used = 0;
    int i = *index;
    field[0] = '\0';
    for (; i < argc && argv[i] && !ODCmdLnIsOptionStart(argv[i]); i++) {
        const char *word = argv[i];
        if (used > 0 && used + 1 < size) field[used++] = ' ';
        while (*word && used + 1 < size) field[used++] = *word++;
        field[used] = '\0';
    }
    *index = i;
}

[[noreturn]] static void ODCmdLnShowHelpAndExit(void)
{
    char name[sizeof od_control.program_name + 1];
    char title[sizeof name + 32];
    memcpy(name, od_control.program_name, sizeof od_control.program_name);
    name[sizeof od_control.program_name] = '\0';
    snprintf(title, sizeof title, "%s Command Line Options", name);
    ODCmdLnShowHelp(title, ODCmdLnHelpText());
    ODProcessExit(1);
}

void ODParseCommandLineArguments(int argc, char **argv)
{
    od_control.caller_ansi = 1;
    bParsedCmdLine = 1;
    od_control.caller_time_left = 60;
    if (argc < 2 || !argv) return;

    int i = 1;
    while (i < argc && argv[i]) {
        const char *argument = argv[i];
        int option = ODGetCommandLineParameter(argument);
        if (option == kODParamNotOption) {
            i++;
            continue;
        }
        if (ODCmdLnTakesArgument(option)) {
            if (i + 1 >= argc || !argv[i + 1]) ODCmdLnMissingParameter(argument);
            const char *value = argv[i + 1];
            i += 2;
            switch (option) {
            case kODParamBPS:
                od_control.remote_bps = (uint32_t)ODCmdLnNumber(value, 10);
                wPreSetInfo |= OD_PRESET_BPS;
                break;
            case kODParamPort: {
                int64_t port;
                if ((value[0] == 'C' || value[0] == 'c') && (value[1] == 'O' || value[1] == 'o') &&
                    (value[2] == 'M' || value[2] == 'm'))
                    port = (int64_t)ODCmdLnNumber(value + 3, 10) - 1;
                else
                    port = ODCmdLnNumber(value, 10);
                od_control.com_port = (uint16_t)port;
                wPreSetInfo |= OD_PRESET_PORT;
                dwODPresetPort = od_control.com_port;
                break;
            }
            case kODParamNode:
                od_control.node = (uint16_t)ODCmdLnNumber(value, 10);
                break;
            case kODParamMaxTime:
                od_control.max_time = (uint16_t)ODCmdLnNumber(value, 10);
                break;
            case kODParamAddress:
                od_control.port_address = (uint16_t)ODCmdLnNumber(value, 16);
                break;
            case kODParamIRQ:
                od_control.port_irq = (uint8_t)ODCmdLnNumber(value, 10);
                break;
            case kODParamDropFile:
                ODCmdLnSetDropPath(value);
                break;
            case kODParamTimeLeft:
                od_control.caller_time_left = (uint16_t)ODCmdLnNumber(value, 10);
                break;
            case kODParamSecurity:
                od_control.caller_security = (uint16_t)ODCmdLnNumber(value, 10);
                break;
            case kODParamHandle:
            case kODParamSocket: {
                uint64_t handle;
                if (!ODCmdLnHandleNumber(value, &handle)) {
                    od_control.last_error = ODERR_PARAM;
                    break;
                }
                od_control.open_handle = handle;
                if (option == kODParamSocket) od_control.handle_is_socket = 1;
                break;
            }
            default: /* CONFIG: the door reads no configuration file */
                break;
            }
            continue;
        }

        switch (option) {
        case kODParamUserName:
        case kODParamLocation:
        case kODParamBBSName: {
            if (i + 1 >= argc || !argv[i + 1]) ODCmdLnMissingParameter(argument);
            i++;
            if (option == kODParamUserName)
                ODCmdLnJoinWords(od_control.caller_name, sizeof od_control.caller_name, argc, argv, &i);
            else if (option == kODParamLocation)
                ODCmdLnJoinWords(od_control.caller_location, sizeof od_control.caller_location, argc,
                                 argv, &i);
            else
                ODCmdLnJoinWords(od_control.system_name, sizeof od_control.system_name, argc, argv, &i);
            break;
        }
        case kODParamGraphics:
            if (i + 1 >= argc || !argv[i + 1]) {
                od_control.caller_ansi = 1;
                return;
            }
            if (ODCmdLnNumber(argv[i + 1], 10) != 0) {
                od_control.caller_ansi = 1;
                i++;
            } else {
                od_control.caller_ansi = 0;
                i += 2;
            }
            break;
        case kODParamHelp:
            ODCmdLnShowHelpAndExit();
        case kODParamLocal:
            od_control.force_local = 1;
            i++;
            break;
        case kODParamNoFossil:
            od_control.no_fossil = 1;
            i++;
            break;
        case kODParamNoFIFO:
            od_control.no_fifo = 1;
            i++;
            break;
        case kODParamSilent:
            od_control.silent_mode = 1;
            i++;
            break;
        case kODParamCP437UTF8:
            od_control.remote_utf8 = 1;
            i++;
            break;
        case kODParamStdio:
            bODUseStdio = 1;
            i++;
            break;
        default: /* PERSONALITY and options of other programs */
            i++;
            break;
        }
    }
}

void od_parse_cmd_line(const char *command_line)
{
    if (!ODSyncPublicCallAllowed()) return;
    int argc = 0;
    char **argv = od_split_cmd_line(command_line, &argc);
    if (!argv) return;
    if (ODSyncPublicCallAllowed()) ODParseCommandLineArguments(argc, argv);
    od_free_cmd_line(argv);
}
