/* workers.h -- what GRIMBY-SYNC, GRIMBY-CONFIG and GRIMBY-MIGRATE share: the
 * door directory's files they read and write, the hub setting and the BBS's
 * credential, the sync checkpoint, one-sentence failure logs and the few
 * operating-system services each half (workers/posix, workers/win32) gives.
 * All three run in the door directory with no console and no input, so
 * every failure is one sentence, logged, and exit code 1. */
#ifndef WORKERS_H
#define WORKERS_H

#include <stddef.h>
#include <stdint.h>

#include "qorb_hub.h"
#include "qorb_sha.h"

#define WK_SYNC_JSON       "hub/sync.json"
#define WK_CHAT_JSON       "chat.json"
#define WK_GRIMBY_JSON     "grimby.json"
#define WK_CHECKPOINT      "hub/sync-checkpoint.txt"
#define WK_SYNC_LOCK       "hub/.sync.lock"
#ifdef _WIN32
#define WK_SYNC_LOG        "hub/sync-windows-error.log"
#else
#define WK_SYNC_LOG        "hub/sync-error.log"
#endif
#define WK_CONFIG_LOG      "hub/config-error.log"

#define WK_JSON_LIMIT      16383 /* settings files are read in one request of this size */
#define WK_GAME_CONFIG_MAX 4095  /* the game reads only this much of grimby.json */
#define WK_LOG_LIMIT       65536 /* a log past this is moved to <log>.old first */
#define WK_DEADLINE_MS     30000 /* every worker ends within this, whatever the hub does */
#define WK_SENTENCE        512

/* The BBS's signing credential. hub is the URL of the hub that issued it,
 * empty when the file does not say. */
typedef struct {
    char bbs[65];
    char secret[257];
    char hub[512];
} wk_credential;

/* What the sync worker has delivered: the outbox's first `delivered` bytes,
 * whose SHA-256 is `prefix_hash` (hex), so a shrunk or replaced outbox is
 * noticed; and the boards' last ETags. */
#define WK_CHECKPOINT_VERSION 2
#define WK_HELD_MAX 16 /* lines the hub called "future", waiting to be sent again */
typedef struct {
    int64_t offset, length; /* the line's place in the outbox, its LF not counted */
} wk_held;
typedef struct {
    int64_t delivered;
    char    prefix_hash[65];
    char    etag_story[128];
    char    etag_daily[128];
    int     held;
    wk_held held_lines[WK_HELD_MAX];
} wk_checkpoint;

#ifdef __cplusplus
extern "C" {
#endif

/* ---- sentences and logs ---- */

/* Writes one failure sentence to standard error and appends it, dated, to
 * log (a path in the door directory); a log over WK_LOG_LIMIT is moved to
 * "<log>.old" first, so the two together stay bounded. */
void wk_fail(const char *log, const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* ---- files ---- */

/* Reads a whole file of fewer than cap bytes and NUL-terminates it: 1, 0
 * when missing or unreadable, -1 when too large or holding a NUL. */
int wk_read_file(const char *path, char *out, size_t cap, size_t *size);

/* Writes bytes to "<path>.tmp.<pid>", pushes them to the disk and moves
 * the file over path, retrying a move refused because a reader has the
 * target open. private_file: readable by the owner only where the OS has
 * such a mode. 1 on success; on failure the target is untouched and the
 * temporary file removed. */
int wk_replace_file(const char *path, const char *bytes, size_t size, int private_file);

/* Copies path to the first free "<path>.previous.<n>" (never over an
 * existing file). 1 on success or when path does not exist. */
int wk_backup(const char *path);

/* ---- JSON ---- */

/* Appends a JSON string of text (printable ASCII; '"' and '\\' escaped,
 * tab as \t) to out at *used; 0 when a byte cannot go or it does not fit. */
int wk_json_string(char *out, size_t cap, size_t *used, const char *text, size_t length);

/* ---- the hub and the credential ---- */

/* Why the last request failed, as a few words for a sentence ("the hub's
 * certificate is not trusted", ...). */
const char *wk_transport_why(void);

/* Reads a credential file (hub/sync.json or chat.json): 1 when it is a
 * JSON object with a non-empty "bbs" and a "secret" of 32 to 256
 * characters; 0 when missing; -1 with a sentence in why when damaged. */
int wk_credential_load(const char *path, wk_credential *out, char *why, size_t n);

/* 1 when the two URLs name the same hub (scheme and host case-blind, a
 * trailing slash ignored). */
int wk_same_hub(const char *a, const char *b);

/* The display-name cleaning of the hub, then lower case: the key by which
 * the hub finds a BBS. */
void wk_name_key(const char *name, char *out, size_t cap);

/* ---- the checkpoint ---- */

#define WK_CHECKPOINT_MISSING 0
#define WK_CHECKPOINT_OK      1
#define WK_CHECKPOINT_OLD     2 /* an earlier version, converted in memory */
#define WK_CHECKPOINT_BAD     -1

/* Reads the checkpoint; an earlier version is converted against the outbox
 * as it stands. BAD leaves *out zeroed and a sentence in why. */
int wk_checkpoint_load(wk_checkpoint *out, char *why, size_t n);
int wk_checkpoint_save(const wk_checkpoint *checkpoint);

/* The SHA-256 (hex) of the first `bytes` bytes of path, and the hash's
 * state there when state is given, so more bytes can follow: 1, or 0 when
 * the file is shorter or unreadable (a missing file has an empty prefix). */
int wk_prefix_hash(const char *path, int64_t bytes, char out[65], sha_ctx *state);

/* ---- operating-system half ---- */

/* Standard input on the null device, and a watchdog that ends the process
 * with exit code 1 once ms have passed, whatever it is waiting for. */
void wk_os_start(uint32_t ms);
uint64_t wk_os_ms(void);       /* a monotonic clock */
void wk_os_sleep(uint32_t ms);
unsigned long wk_os_pid(void);
void wk_os_die(void);          /* ends the process at once, as a kill would */

/* Test builds only: dies at the named point when GRIMBY_SYNC_DIE_AT names
 * it, so tests can stop a run where a crash would. A no-op otherwise. */
void wk_test_point(const char *name);

/* GET over HTTPS with the transport's rules (TLS 1.2, no redirects, short
 * time-outs). Sends If-None-Match when etag is non-empty; the reply's
 * status, Content-Type and ETag go to the out parameters. 1 when a whole
 * reply of fewer than cap bytes was read, 0 on any failure. */
int wk_http_get(const char *url, const char *ca_file, const char *etag, char *reply, size_t cap,
                size_t *size, long *status, char *content_type, size_t type_cap, char *etag_out,
                size_t etag_cap);

#ifdef __cplusplus
}
#endif

#endif
