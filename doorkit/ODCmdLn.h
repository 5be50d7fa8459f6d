/* ODCmdLn.h -- the command line inside the kit: what the BBS fixed on it
 * (read by start-up) and the splitter, quoter and parser behind od_parse_cmd_line. */
#ifndef ODCMDLN_H
#define ODCMDLN_H

#include <stddef.h>
#include <stdint.h>

/* One UTF-16 code unit. The splitter works on these on both platforms; on
 * Windows they are the system's own wide characters. */
#ifdef _WIN32
typedef wchar_t tODWideChar;
#else
typedef char16_t tODWideChar;
#endif

/* ---- what the command line fixed ---- */
#define OD_PRESET_BPS  0x0001u /* wPreSetInfo: speed given */
#define OD_PRESET_PORT 0x0002u /* wPreSetInfo: port given */
#define OD_NO_PRESET_PORT 0xFFFFFFFFu

extern int      bParsedCmdLine;  /* a command line was parsed */
extern uint16_t wPreSetInfo;     /* OD_PRESET_* bits */
extern uint32_t dwODPresetPort;  /* port start-up uses instead of the drop file's */
extern int      bODUseStdio;     /* -STDIO: the caller is on standard input and output */
/* The -D path whole: od_control.drop_path holds 59 characters, and a cut
 * path names another place. Used while drop_path still holds its start. */
extern char     szODCmdLnDropPath[1024];
/* Sets the drop path as -D does. */
void ODCmdLnSetDropPath(const char *path);
/* The drop path start-up reads: the whole -D path unless the program has
 * put another into drop_path since; null when none was given. */
const char *ODCmdLnDropPath(void);

/* Most elements a split ever yields, the program's own name included. */
#define OD_MAX_ARGS 4096

/* Option numbers of ODGetCommandLineParameter. */
enum {
    kODParamNotOption = -1,
    kODParamConfig = 0,
    kODParamLocal = 1,
    kODParamBPS = 2,
    kODParamPort = 3,
    kODParamNode = 4,
    kODParamHelp = 5,
    kODParamPersonality = 6,
    kODParamMaxTime = 7,
    kODParamAddress = 8,
    kODParamIRQ = 9,
    kODParamNoFossil = 10,
    kODParamNoFIFO = 11,
    kODParamDropFile = 12,
    kODParamUserName = 13,
    kODParamTimeLeft = 14,
    kODParamSecurity = 15,
    kODParamLocation = 16,
    kODParamGraphics = 17,
    kODParamBBSName = 18,
    kODParamHandle = 19,
    kODParamSocket = 20,
    kODParamSilent = 21,
    kODParamCP437UTF8 = 23,
    kODParamOther = 24,
    kODParamStdio = 25
};

/* The option an argument names: kODParamNotOption unless it starts with '-'
 * or '/', kODParamOther for a keyword the kit does not know. */
int  ODGetCommandLineParameter(const char *argument);

/* Applies an argument vector (element 0 the program) to od_control and the
 * globals above. A missing option argument and -HELP end the process. */
void ODParseCommandLineArguments(int argc, char **argv);

/* The built-in help text (lines separated by '\n'). */
const char *ODCmdLnHelpText(void);

/* ---- splitting ----
 * ODWindowsCommandLineToArgv splits a NUL-terminated UTF-16 line the way
 * Windows splits a process command line. The result is one block: argc
 * pointer slots followed by the texts. Release it with
 * ODWindowsCommandLineFree, passing back the token it handed out (it keeps
 * the system's splitter loaded while the vector lives). Null on failure. */
tODWideChar **ODWindowsCommandLineToArgv(const tODWideChar *line, int *argc, void **release_token);
void          ODWindowsCommandLineFree(tODWideChar **argv, void *release_token);

/* The kit's own splitter, THE splitter where the system has none. At most
 * OD_MAX_ARGS elements; text after the last of them is ignored. The block
 * comes from the allocator given (null: malloc); null on failure or when
 * the size would overflow. */
typedef void *(*tODCmdLnAlloc)(size_t size);
tODWideChar **ODCmdLnSplitPortable(const tODWideChar *line, int *argc, tODCmdLnAlloc allocate);

/* Joins an argument vector into one line that splits back into exactly
 * those arguments (quoting and backslash doubling as Windows expects).
 * Malloc'd; null when out of memory. */
char *ODCmdLnQuoteArgs(int count, const char *const *args);

/* ---- the OS half (win32/ODCmdLnWin32.cpp, posix/ODCmdLnPosix.cpp) ---- */

/* The process's own command line, program name first, as bytes in the
 * system code page. Malloc'd; null when there is none. */
char *ODCmdLnProcessLine(void);

/* Text (system code page) to UTF-16 and back. Malloc'd and NUL-terminated;
 * null on failure. ODCmdLnFromWide writes into out (NUL included) and
 * returns the bytes written; with out null it only measures. 0 on failure. */
tODWideChar *ODCmdLnToWide(const char *text);
size_t       ODCmdLnFromWide(const tODWideChar *text, char *out, size_t out_size);

/* Shows the help (Windows: message box; Linux: standard output). */
void ODCmdLnShowHelp(const char *title, const char *text);

#endif
