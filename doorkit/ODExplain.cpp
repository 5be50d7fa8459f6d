/* ODExplain.cpp -- what a session would make of the BBS's drop file and
 * command line, in words, for a sysop facing a black screen. Start-up runs
 * up to the connection and stops there: nothing is opened or written. */
#include "ODExplain.h"

#include "doorkit.h"
#include "ODCmdLn.h"
#include "ODCom.h"
#include "ODInEx.h"
#include "ODInEx2.h"
#include "ODPlat.h"
#include "ODUtil.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    char  *out;
    size_t size;
    size_t used;
} tODExplainText;

static tODExplainText *pODExplainNotes;

static void ODExplainAdd(tODExplainText *t, const char *format, ...)
{
    if (t->used + 1 >= t->size) return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(t->out + t->used, t->size - t->used, format, args);
    va_end(args);
    if (n < 0) return;
    t->used += (size_t)n < t->size - t->used ? (size_t)n : t->size - t->used - 1;
}


static const char *ODExplainFormat(int kind)
{
    switch (kind) {
    case OD_DROP_DORINFO: return "DORINFOx.DEF";
    case OD_DROP_EXITINFO_SHORT:
    case OD_DROP_EXITINFO_EXT:
    case OD_DROP_EXITINFO_MID:
    case OD_DROP_EXITINFO_NEW: return "EXITINFO.BBS with DORINFOx.DEF";
    case OD_DROP_CHAINTXT: return "CHAIN.TXT";
    case OD_DROP_SFDOORS: return "SFDOORS.DAT";
    case OD_DROP_CALLINFO: return "CALLINFO.BBS";
    case OD_DROP_DOORSYS_PART:
    case OD_DROP_DOORSYS_FULL: return "DOOR.SYS";
    case OD_DROP_DOORSYS_SHORT: return "DOOR.SYS (short form)";
    case OD_DROP_TRIBBS: return "TRIBBS.SYS";
    case OD_DROP_DOOR32: return "DOOR32.SYS";
    case OD_DROP_BBSDEV: return "BBSDEV.DRP";
    default: return "none";
    }
}

/* Hostile files carry control bytes; the report shows them as '?'. */
static void ODExplainClean(char *out, size_t size, const char *text)
{
    size_t n = 0;
    for (; text[n] && n + 1 < size; n++)
        out[n] = (unsigned char)text[n] < 32 || text[n] == 127 ? '?' : text[n];
    out[n] = '\0';
}

/* The reader quotes what it cut or refused, hostile bytes and all. */
static void ODExplainNote(const char *text)
{
    if (!pODExplainNotes) return;
    char clean[256];
    ODExplainClean(clean, sizeof clean, text);
    ODExplainAdd(pODExplainNotes, "  - %s\n", clean);
}

static void ODExplainDoorProgram(char *out, size_t size)
{
    const char *door_dir = getenv("GRIMBY_DOOR_DIR");
    if (door_dir && door_dir[0]) {
        snprintf(out, size, "%s/grimby-door", door_dir);
        return;
    }
    char dir[1024];
    if (ODPlatProgramDirectory(dir, sizeof dir) != ODPLAT_OK) dir[0] = '\0';
#ifdef _WIN32
    snprintf(out, size, "%s%sGRIMBY.exe", dir, dir[0] ? "\\" : "");
#else
    snprintf(out, size, "%s%sGRIMBY", dir, dir[0] ? "/" : "");
#endif
}

int ODExplainDropFile(char *out, size_t out_size)
{
    if (!out || out_size == 0) return 0;
    out[0] = '\0';
    tODExplainText text = {out, out_size, 0};
    char notes_buffer[4096];
    tODExplainText notes = {notes_buffer, sizeof notes_buffer, 0};
    notes_buffer[0] = '\0';
    pODExplainNotes = &notes;
    pfODDropNote = ODExplainNote;
    char fatal[256];
    const char *given = ODCmdLnDropPath();
    char given_copy[1024];
    ODStringCopy(given_copy, given ? given : "", sizeof given_copy);
    int understood = ODInExUnderstand(fatal, sizeof fatal);
    pfODDropNote = nullptr;
    pODExplainNotes = nullptr;

    const ODControl &c = od_control;
    char clean[256];
    int kind = c.drop_file_kind;
    int found = kind != OD_DROP_NONE;
    ODExplainAdd(&text, "Drop file:  %s", ODExplainFormat(kind));
    if (found && szDropFilePath[0]) {
        ODExplainClean(clean, sizeof clean, szDropFilePath);
        ODExplainAdd(&text, ", read from %s", clean);
    }
    ODExplainAdd(&text, "\n");
    if (given_copy[0] && (!found || bODDropFileSearched)) {
        ODExplainClean(clean, sizeof clean, given_copy);
        if (found)
            ODExplainAdd(&notes, "  - the path given, %s, is not the file read: it is a directory, or names "
                                 "no drop file GRIMBY reads, so the file was searched for\n", clean);
        else
            ODExplainAdd(&notes, "  - %s is not a drop file GRIMBY can read (missing, unreadable, too short "
                                 "or not one of the formats), and none was found by searching\n", clean);
    }

    if (!understood) {
        ODExplainAdd(&text, "A session would end at start-up: %s\n", fatal);
    } else {
        ODExplainClean(clean, sizeof clean, c.caller_name);
        ODExplainAdd(&text, "Caller:     %s", clean[0] ? clean : "(none)");
        if (c.caller_handle[0] && strcmp(c.caller_handle, c.caller_name) != 0) {
            ODExplainClean(clean, sizeof clean, c.caller_handle);
            ODExplainAdd(&text, " (handle %s)", clean);
        }
        ODExplainAdd(&text, ", user record %u, security %u, node %u\n", (unsigned)c.caller_record_number,
                     (unsigned)c.caller_security, (unsigned)c.node);
        if (!c.caller_name[0] && found)
            ODExplainAdd(&notes, "  - the drop file names no caller: GRIMBY tells the caller so and ends "
                                 "with error level 1\n");
        ODExplainAdd(&text, "Time left:  %d minutes", (int16_t)c.caller_time_left);
        if (c.time_withheld)
            ODExplainAdd(&text, " (-MAXTIME holds back %u more, given back at exit)", (unsigned)c.time_withheld);
        ODExplainAdd(&text, "\n");

        int stdio = bODUseStdio || bODDropFileStdio;
        ODExplainAdd(&text, "Connection: ");
        if (stdio) {
            ODExplainAdd(&text, "standard input and output (%s)\n",
                         bODUseStdio ? "-STDIO" : "the drop file's COM0:STDIO");
        } else if (c.remote_bps == 0) {
            ODExplainAdd(&text, "none: a local session on the sysop's console\n");
            if (found)
                ODExplainAdd(&notes, "  - the drop file says the caller is local (%s); a caller on a "
                                     "socket or terminal would see nothing. Add -STDIO when the BBS "
                                     "runs doors on standard I/O\n",
                             kind == OD_DROP_DOOR32 ? "line 1 is 0" : "speed 0 or no port");
        } else if (c.open_handle != 0 && c.handle_is_socket) {
            ODExplainAdd(&text, "%s socket, descriptor %llu, which the BBS must leave open for the door\n",
                         bTelnetSocket || bODComTelnetSocket ? "telnet" : "raw (no telnet processing)",
                         (unsigned long long)c.open_handle);
        } else if (c.open_handle != 0) {
            ODExplainAdd(&text, "an inherited serial handle, %llu\n", (unsigned long long)c.open_handle);
        } else {
            unsigned port = (wPreSetInfo & OD_PRESET_PORT) ? dwODPresetPort : c.com_port;
#ifdef _WIN32
            ODExplainAdd(&text, "serial port COM%u at %lu bps\n", port + 1, (unsigned long)c.remote_bps);
#else
            ODExplainAdd(&text, "serial port /dev/ttyS%u (COM%u) at %lu bps\n", port, port + 1,
                         (unsigned long)c.remote_bps);
            ODExplainAdd(&notes, "  - a BBS that runs doors on standard I/O or a socket writes a serial "
                                 "port into this file too: give -STDIO, or -SOCKET with the descriptor, "
                                 "or the game goes to the serial port\n");
#endif
        }
        const char *emulation = c.caller_rip ? "RIP" : c.caller_avatar ? "AVATAR" : c.caller_ansi ? "ANSI" : "plain ASCII";
        ODExplainAdd(&text, "Terminal:   %s, %u x %u, CP437%s\n", emulation, (unsigned)c.caller_screen_width,
                     (unsigned)c.caller_screen_length, c.remote_utf8 ? " sent as UTF-8" : "");
        if (!c.caller_ansi)
            ODExplainAdd(&notes, "  - the caller's terminal is taken as plain ASCII: the game's screens "
                                 "need ANSI\n");
    }

    ODExplainAdd(&text, "Clamped or refused:\n");
    if (notes.used) ODExplainAdd(&text, "%s", notes_buffer);
    else ODExplainAdd(&text, "  nothing\n");

    char door[1200];
    ODExplainDoorProgram(door, sizeof door);
    ODExplainAdd(&text, "Command line for the BBS:\n  %s -D %s -N %s", door,
                 found && szDropFilePath[0] ? szDropFilePath : "<drop file>", "<node>");
    if (understood && (bODUseStdio || bODDropFileStdio)) ODExplainAdd(&text, " -STDIO");
    else if (understood && c.open_handle && c.handle_is_socket && kind != OD_DROP_DOOR32)
        ODExplainAdd(&text, " -SOCKET <descriptor>");
    if (c.remote_utf8 && kind != OD_DROP_BBSDEV) ODExplainAdd(&text, " -CP437UTF8");
    ODExplainAdd(&text, "\n");
    return understood && found;
}
