/* ODInEx2.h -- kit-internal interface of the drop-file module: finding and
 * reading the BBS's drop file, the BBSDev file, and the write-back at exit.
 *
 * Start-up calls ODDropFileRead (or ODInitReadBBSDevDropFile), exit calls
 * ODDropFileWriteBack and then ODDropFileRelease. Nothing here prints. */
#ifndef ODINEX2_H
#define ODINEX2_H

#include <stddef.h>
#include <stdint.h>

/* Results of ODDropFileRead. */
#define ODDROP_OK        0
#define ODDROP_NOMEM     2 /* start-up shows its memory message */
#define ODDROP_NONE      4 /* no usable drop file: the no-drop-file rules apply */
/* The file was read and od_control filled, but the connection it names (a
 * socket or an inherited handle) comes without a usable handle: such a
 * session cannot work unless the command line supplied a handle. Start-up
 * shows ODDROP_TEXT_BAD_HANDLE and ends. */
#define ODDROP_BADHANDLE 8

#define ODDROP_TEXT_BAD_HANDLE "Unable to use provided serial port handle."
#define ODDROP_TEXT_BBSDEV     "Unable to read or validate BBSDEV.DRP."

#define ODDROP_PATH_SIZE   1024 /* longest path the module accepts, with its NUL */
#define ODDROP_NAME_COUNT  12
#define ODDROP_INFO_LINES  25

/* The names searched for, in order; entry 1 is the node's DORINFO name. */
extern const char *apszDropFileNames[ODDROP_NAME_COUNT];

extern char  szDropFilePath[ODDROP_PATH_SIZE];    /* absolute path of the file read */
extern char  szExitinfoBBSPath[ODDROP_PATH_SIZE]; /* its directory (absolute) */

/* Lines kept only to be written back, by buffer number: each points at the
 * raw line as read, line end included; null when the format has no such
 * line. Write-back itself works line by line, so a later line that shares a
 * buffer number with an earlier one loses neither. */
extern char *apszDropFileInfo[ODDROP_INFO_LINES];

/* The framing text of the drop file ("8N1", "19200 BAUD,N,8,1", ...), empty
 * when the format has none; start-up passes it to ODFramingIsEightBit. */
extern char szODDropFileFraming[81];

extern int     bIsSysop;
extern int     bIsCoSysop;
extern uint8_t btDoorSYSLock;   /* 1 locked at the connect speed, 2 at 19200 */
extern int     bTelnetSocket;   /* the inherited socket speaks telnet */
extern int     bODDropFileStdio; /* DOOR.SYS "COM0:STDIO": the caller is on standard I/O */

extern int      bBBSDevSession;
extern int      nBBSDevComMethod;     /* 0 local, 3 winserial, 5 socket */
extern int      bBBSDevOpenHandleSet;
extern int64_t  nBBSDevDeadline;      /* seconds since 1970, UTC; 0 before 1970 */
extern int      bBBSDevDeadlineSet;
extern char    *pszBBSDevUserID;      /* line 5 of the BBSDev file */
extern char    *pszBBSDevStorage;     /* the file's text, kept for the session */

/* Exit-information records exactly as read (little-endian file bytes). */
extern uint8_t *pExitInfoRecord;    /* kinds 1, 2 and 8 */
extern uint8_t *pExtendedExitInfo;  /* kind 2: the 1017-byte extension */
extern uint8_t *pRA2ExitInfoRecord; /* kind 11 */

/* Told, when set, of every value the reader cut, clamped or refused, one
 * sentence each (--explain-dropfile); sessions leave it null. */
typedef void (*tODDropNoteFunc)(const char *text);
extern tODDropNoteFunc pfODDropNote;

/* Finds and reads the drop file (od_control.drop_path first, then the
 * search), filling od_control and the globals above. Nothing is changed
 * unless the whole file reads; ODDROP_BADHANDLE is the one exception, see
 * above. od_control.node must be set first (it names the DORINFO file). */
int ODDropFileRead(void);
/* The last ODDropFileRead searched: no drop path, or one naming no file of
 * a known format (a directory, say). */
extern int bODDropFileSearched;

/* Reads a drop file by path in the format its name gives, as for a path on
 * the command line; ODDROP_NONE when the name is none of the formats. */
int ODDropFileReadPath(const char *path);

/* The search alone: the path and the search-list index of the file chosen.
 * 1 when a file was found. */
int ODSearchForDropFile(char *out, size_t out_size, int *name_index);
int ODSearchInDir(const char *directory, char *out, size_t out_size, int *name_index);

/* Validates and reads a BBSDev file: 1 accepted (od_control filled, kind
 * 14), 0 rejected (nothing changed; start-up shows ODDROP_TEXT_BBSDEV). */
int ODInitReadBBSDevDropFile(const char *path);

/* Writes the session's values back into the drop file read at start-up.
 * initial_remaining is the caller's minutes at start-up before any cap and
 * startup_time the start in seconds since 1970 (0 when unknown). Returns 0,
 * or the error code it also left in od_control.last_error: 4 when the file
 * could not be opened, 8 when writing failed. */
int ODDropFileWriteBack(int32_t initial_remaining, int64_t startup_time);

/* Frees everything the reader kept (exit step 8) and clears the globals. */
void ODDropFileRelease(void);

/* Copies an environment variable into out; 0 when it is unset, empty, or
 * too long for out (never cut: a cut path names the wrong place). */
int ODDropFileGetEnv(const char *name, char *out, size_t out_size);

/* Name case: lower case, then upper case at the start and after a tab,
 * space, comma, hyphen or period; one trailing LF and one CR removed. */
void ODStringToName(char *text);

/* Copies UTF-8 text into a field, cutting before the first character that
 * does not fit whole. */
void ODBBSDevCopyText(char *out, size_t out_size, const char *text);

#endif
