/* qorb_chat_int.h -- what the chat client's modules share: the one client
 * state record, the request primitive and the few platform services each OS
 * half (chat/win32, chat/posix) supplies. Not for the game. */
#ifndef QORB_CHAT_INT_H
#define QORB_CHAT_INT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define QC_LINES        16
#define QC_LINE_SIZE    384
#define QC_QUEUE        8
#define QC_TEXT_SIZE    161
#define QC_ID_SIZE      33
#define QC_REPLY_SIZE   32768
#define QC_FILE_LIMIT   16383 /* chat.json is read with one request of this size */

typedef struct {
    char text[QC_TEXT_SIZE];
    char event[QC_ID_SIZE];
} qc_entry;

typedef struct {
    char    bbs[65];
    char    secret[257];
    char    url[512];
    char    ca_file[1024]; /* the hub's CA, or empty: the system's store */
    char    game_id[49];
    char    session[33];
    char    handle[33];
    char    caller_hash[65];
    int64_t sequence;
    /* Under guard once the worker runs: */
    int64_t  cursor;
    int32_t  online;
    int32_t  players, bbses, chatting;
    char     lines[QC_LINES][QC_LINE_SIZE];
    int32_t  line_count;
    uint32_t generation;
    int32_t  display_width;
    qc_entry queue[QC_QUEUE];
    int32_t  queued;
    int32_t  in_chat;
    int32_t  stopping;
    /* Game thread only: */
    int32_t running;
    int32_t active;
} qc_state;

extern qc_state qc;

#ifdef __cplusplus
extern "C" {
#endif

/* POSTs body to an https URL; the reply is NUL-terminated in reply (cap
 * bytes, so at most cap - 1 of reply). 1 when a complete reply was read,
 * whatever its status, which goes to *status; 0 on any failure, its kind
 * then in pn_failure (qorb_hub.h). A signature, when given, must be 64
 * characters. ca_file, when given, is the only CA this request trusts;
 * null means the system's store. */
int pn_request(const char *url, const char *ca_file, const char *body, const char *signature,
               char *reply, size_t cap, long *status);

/* Records the calling thread's last request outcome for pn_failure. */
void pn_set_failure(int kind, const char *detail);

/* 1 when url is one a transport may request: "https://", valid UTF-8 without
 * blanks or control bytes, at most 2,048 characters, a host of 1 to 255, a
 * port of 1 to 65535 when given, a path of at most 1,023 and a query of at
 * most 511 characters. */
int qc_url_ok(const char *url);

/* 16 bytes of system randomness as 32 lowercase hex digits. */
int random_id(char out[QC_ID_SIZE]);

/* Builds, signs and sends one request and applies the reply; the worker's.
 * A failure leaves its kind in pn_failure (PN_OK with the hub's reason
 * when the hub answered with an error) and the status in qc_last_status. */
int exchange(const char *op, int in_chat, const qc_entry *message);
long qc_last_status(void);

/* Appends text to the line buffer; the caller holds guard. */
void add_line(const char *text);

/* Escapes a value for a JSON string: printable ASCII without the backtick
 * only; 0 when a byte is refused or the result is longer than limit. */
int qc_escape(const char *in, char *out, size_t limit);

/* The display-name cleaning: colour codes |NN, control bytes and backticks
 * dropped, at most limit characters kept. */
void qc_clean_name(const char *in, char *out, size_t limit);

/* Reads a whole file of at most cap - 1 bytes and NUL-terminates it: 1 with
 * its size in *size (a NUL inside shows as strlen(out) != *size), 0 when it
 * cannot be opened or read, -1 when it is too large. */
int qc_read_file(const char *path, char *out, size_t cap, size_t *size);

/* Appends one dated line to the door directory's chat log, where a sysop
 * finds why the lobby cannot be reached. */
void qc_log(const char *text);

/* The wrap width for a caller screen of so many columns (0: unknown). */
int qc_display_width(int columns);

/* ---- platform half ---- */
int  qc_guard_init(void);
void qc_guard_free(void);
void qc_lock(void);
void qc_unlock(void);
/* Starts the worker thread; 1 on success. */
int  qc_thread_start(void (*function)(void));
/* Waits up to ms for the worker to end: 1 when it did (its handle is then
 * freed), 0 when it runs on (it is left to finish on its own). */
int  qc_thread_wait(uint32_t ms);
/* The worker's pause: ends after ms, or at once after qc_wake. */
void qc_nap(uint32_t ms);
void qc_wake(void);

/* Files holding the secret, created readable by the owner only where the OS
 * has such a mode. Create truncates; copy fails when the target exists;
 * replace moves a finished file over the target in one step. */
FILE *qc_file_create(const char *path);
/* A file for settings others may read: created with the mode of like
 * when like exists, else the usual mode. */
FILE *qc_file_create_like(const char *path, const char *like);
int   qc_file_sync_close(FILE *file);   /* flush, to disk, close: 1 or 0 */
int   qc_file_copy_new(const char *from, const char *to);
int   qc_file_replace(const char *from, const char *to);
int   qc_file_exists(const char *path);
unsigned long qc_process_id(void);

/* ---- seams for tests ---- */
/* The worker's pause and the request primitive, both replaceable: a test
 * runs the worker's rhythm on a clock it controls. */
typedef void (*qc_nap_fn)(uint32_t ms);
typedef int (*qc_request_fn)(const char *url, const char *ca_file, const char *body,
                             const char *signature, char *reply, size_t cap, long *status);
void qorb_chat_set_nap(qc_nap_fn nap);         /* null restores the real one */
void qorb_chat_set_request(qc_request_fn fn);  /* null restores pn_request */

#ifdef __cplusplus
}
#endif

#endif
