/* sync.cpp -- GRIMBY-SYNC, the score hub sync worker. The game starts it at
 * every caller's arrival and exit; it delivers the outbox lines the hub has
 * not had yet and brings the network's two leaderboards into "data".
 *
 * What it promises: nothing is lost or stored twice whenever it is killed,
 * because the checkpoint moves only after the hub's verdicts and the hub
 * calls a resent line a duplicate; the game never waits for it, because it
 * takes no lock of the game's and never writes the outbox; a board file is
 * only ever replaced by a whole board the game's own reader accepts. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "interbbs.h"
#include "qorb_chat_int.h"
#include "qorb_json.h"
#include "qorb_sha.h"
#include "scores_io.h"
#include "storage.h"
#include "workers.h"

#define SYNC_BATCH_LINES 16
#define SYNC_BODY_MAX    2048   /* the hub's body limit */
#define SYNC_LINE_MAX    1024   /* longer lines are refused by the hub */
#define SYNC_BOARD_MAX   16384  /* far above a board's 20 rows, far below harm */
#define SYNC_BOARD_ROWS  64
/* No new exchange starts after this much of the deadline: each may take
 * up to the transport's 6 s, and the run must end within WK_DEADLINE_MS. */
#define SYNC_START_BUDGET_MS 20000

static qorb_hub_setting hub;
static wk_credential credential;
static char session[QC_ID_SIZE];
static long long seq;
static uint64_t started_ms;

#define fail(...) wk_fail(WK_SYNC_LOG, __VA_ARGS__)

static int time_left(void)
{
    return wk_os_ms() - started_ms < SYNC_START_BUDGET_MS;
}

/* The hub's error sentence and code from an error reply, when it has them. */
static void hub_error(const char *reply, char *sentence, size_t n, char *code, size_t code_n)
{
    static cj_doc doc;
    sentence[0] = code[0] = 0;
    if (!cj_parse(&doc, reply)) return;
    if (!cj_get(&doc, "error", sentence, n)) sentence[0] = 0;
    if (!cj_get(&doc, "code", code, code_n)) code[0] = 0;
    for (char *p = sentence; *p; p++)
        if ((unsigned char)*p < 0x20 || (unsigned char)*p > 0x7E) *p = '?';
}

/* One sentence for a refused signed request, naming what the sysop can do. */
static void refused(const char *what, long status, const char *reply)
{
    char sentence[256], code[64];
    hub_error(reply, sentence, sizeof sentence, code, sizeof code);
    if (strcmp(code, "clock") == 0)
        fail("The score hub refused the %s because this computer's clock is more than five "
             "minutes off; set the clock right.", what);
    else if (strcmp(code, "unknown_bbs") == 0 || strcmp(code, "bad_signature") == 0 || status == 401)
        fail("The score hub at %s does not accept the credential in " WK_SYNC_JSON " (%s); run "
             "GRIMBY-CONFIG again or ask the hub's operator.", hub.url,
             sentence[0] ? sentence : "unknown BBS or wrong secret");
    else
        fail("The score hub refused the %s with status %ld%s%s%s.", what, status,
             sentence[0] ? " (" : "", sentence, sentence[0] ? ")" : "");
}

/* Signs and posts one body to path; 1 when a reply came, whatever its
 * status. */
static int post_signed(const char *path, const char *body, char *reply, size_t cap, long *status)
{
    uint8_t digest[SHA_DIGEST_SIZE];
    char signature[SHA_HEX_SIZE];
    hmac_sha256(credential.secret, strlen(credential.secret), body, strlen(body), digest);
    sha_hex(digest, signature);
    return qorb_hub_post(&hub, path, body, signature, reply, cap, status);
}

/* The body's head, before the lines: the keys every signed request has. */
static int body_head(char *body, size_t cap, size_t *used)
{
    size_t at = 0;
    memcpy(body, "{\"bbs\":", 7);
    at = 7;
    if (!wk_json_string(body, cap, &at, credential.bbs, strlen(credential.bbs))) return 0;
    int n = snprintf(body + at, cap - at,
                     ",\"game\":\"grimby\",\"session\":\"%s\",\"seq\":%lld,\"timestamp\":%lld,\"lines\":[",
                     session, ++seq, (long long)time(nullptr));
    if (n < 0 || (size_t)n >= cap - at) return 0;
    *used = at + (size_t)n;
    return 1;
}

/* ---- the outbox ---- */

/* The hub takes printable ASCII and tabs; anything else was not written by
 * the game. */
static int line_printable(const char *line, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)line[i];
        if ((c < 0x20 && c != '\t') || c > 0x7E) return 0;
    }
    return 1;
}

static wk_checkpoint checkpoint;
static sha_ctx prefix; /* the hash of the outbox's first checkpoint.delivered bytes */

static void prefix_hex(char out[65])
{
    sha_ctx copy = prefix;
    uint8_t digest[SHA_DIGEST_SIZE];
    sha_end(&copy, digest);
    sha_hex(digest, out);
}

/* One upload being built: at most SYNC_BATCH_LINES lines and, as sent,
 * SYNC_BODY_MAX bytes. */
typedef struct {
    char   body[SYNC_BODY_MAX + 1];
    size_t used;
    int    lines;
} sync_batch;

#define BATCH_ADDED 1
#define BATCH_FULL  0 /* the line starts the next batch */
#define BATCH_BAD   -1 /* the hub could never take it: pass it over */

static int batch_start(sync_batch *batch)
{
    batch->lines = 0;
    if (body_head(batch->body, sizeof batch->body, &batch->used)) return 1;
    fail("The credential's BBS name cannot be sent.");
    return 0;
}

static int batch_add(sync_batch *batch, const char *line, size_t length)
{
    if (length == 0 || length > SYNC_LINE_MAX || !line_printable(line, length)) return BATCH_BAD;
    if (batch->lines == SYNC_BATCH_LINES) return BATCH_FULL;
    size_t mark = batch->used;
    if (batch->lines) batch->body[batch->used++] = ',';
    /* Two bytes stay free for the closing "]}". */
    if (!wk_json_string(batch->body, sizeof batch->body - 2, &batch->used, line, length)) {
        batch->used = mark;
        batch->body[mark] = 0;
        return batch->lines ? BATCH_FULL : BATCH_BAD;
    }
    batch->lines++;
    return BATCH_ADDED;
}

#define VERDICT_DONE   0 /* accepted, duplicate or rejected: never again */
#define VERDICT_FUTURE 1 /* dated after the hub's day: later */

/* Sends the batch; 1 with one verdict per line, 0 after a failure told. */
static int batch_send(sync_batch *batch, int *verdicts)
{
    static char reply[4096];
    memcpy(batch->body + batch->used, "]}", 3);
    long status = 0;
    wk_test_point("before-upload");
    if (!post_signed("/v1/scores/upload", batch->body, reply, sizeof reply, &status)) {
        fail("The score hub at %s did not answer the upload (%s); it will be sent again next time.",
             hub.url, wk_transport_why());
        return 0;
    }
    wk_test_point("after-upload");
    if (status != 200) {
        refused("upload", status, reply);
        return 0;
    }
    static cj_doc doc;
    int list = cj_parse(&doc, reply) ? cj_find(&doc, "results") : -1;
    int verdict = list + 1, i = 0;
    for (; list >= 0 && doc.tok[list].type == '[' && i < batch->lines && verdict < doc.tok[list].next; i++) {
        char word[16];
        if (!cj_decode(&doc, verdict, word, sizeof word)) break;
        verdict = doc.tok[verdict].next;
        if (strcmp(word, "accepted") == 0 || strcmp(word, "duplicate") == 0 || strcmp(word, "rejected") == 0)
            verdicts[i] = VERDICT_DONE;
        else if (strcmp(word, "future") == 0)
            verdicts[i] = VERDICT_FUTURE;
        else
            break;
    }
    if (i != batch->lines) {
        fail("The score hub's reply to the upload was not understood; it will be sent again.");
        return 0;
    }
    return 1;
}

static int save_checkpoint(void)
{
    if (wk_checkpoint_save(&checkpoint)) return 1;
    fail("The checkpoint " WK_CHECKPOINT " cannot be written; what was delivered will be sent again "
         "and counted once.");
    return 0;
}

/* Sends the lines held back as "future" once more; those the hub now
 * judges leave the list. 1, or 0 after a failure told. */
static int deliver_held(FILE *outbox)
{
    if (!checkpoint.held) return 1;
    sync_batch batch;
    if (!batch_start(&batch)) return 0;
    static char text[WK_HELD_MAX][SYNC_LINE_MAX + 1];
    int sent[WK_HELD_MAX], count = 0;
    for (int i = 0; i < checkpoint.held; i++) {
        const wk_held *held = &checkpoint.held_lines[i];
        size_t length = (size_t)held->length;
        if (length > SYNC_LINE_MAX || fseek(outbox, (long)held->offset, SEEK_SET) != 0 ||
            fread(text[count], 1, length, outbox) != length || batch_add(&batch, text[count], length) != BATCH_ADDED)
            continue; /* the rest wait for the next run */
        sent[count++] = i;
    }
    if (!count) return 1;
    int verdicts[SYNC_BATCH_LINES];
    if (!batch_send(&batch, verdicts)) return 0;
    int kept = 0;
    for (int i = 0, k = 0; i < checkpoint.held; i++) {
        int done = k < count && sent[k] == i && verdicts[k++] == VERDICT_DONE;
        if (!done) checkpoint.held_lines[kept++] = checkpoint.held_lines[i];
    }
    checkpoint.held = kept;
    return save_checkpoint();
}

/* Delivers what follows the checkpoint. 1 when all there was went, 0
 * after a failure already told. */
static int deliver(void)
{
    FILE *outbox = fopen(INTERBBS_OUTBOX, "rb");
    if (!outbox) return 1; /* nothing recorded yet */
    static char chunk[SYNC_BATCH_LINES * (SYNC_LINE_MAX + 2)];
    int ok = deliver_held(outbox);
    while (ok && time_left()) {
        if (fseek(outbox, (long)checkpoint.delivered, SEEK_SET) != 0) {
            fail("The outbox " INTERBBS_OUTBOX " cannot be read.");
            ok = 0;
            break;
        }
        size_t got = fread(chunk, 1, sizeof chunk, outbox);
        if (got == 0) break;

        /* Whole lines only: a line still being appended waits for the next
         * run. A line the hub could never take is passed over here. */
        struct {
            size_t start, length, end;
            int    in_batch;
        } lines[SYNC_BATCH_LINES * 2];
        int count = 0, skipped = 0;
        sync_batch batch;
        if (!batch_start(&batch)) {
            ok = 0;
            break;
        }
        size_t at = 0;
        while (count < (int)(sizeof lines / sizeof lines[0]) && at < got) {
            char *lf = (char *)memchr(chunk + at, '\n', got - at);
            if (!lf) {
                /* Longer than the chunk: torn or hand-made, never the game's. */
                if (at == 0 && got == sizeof chunk) {
                    lines[count].start = 0;
                    lines[count].length = 0;
                    lines[count].in_batch = 0;
                    lines[count++].end = got;
                    skipped++;
                }
                break;
            }
            size_t length = (size_t)(lf - (chunk + at));
            if (length && chunk[at + length - 1] == '\r') length--;
            int added = batch_add(&batch, chunk + at, length);
            if (added == BATCH_FULL) break;
            skipped += added == BATCH_BAD;
            lines[count].start = at;
            lines[count].length = length;
            lines[count].in_batch = added == BATCH_ADDED;
            at = (size_t)(lf - chunk) + 1;
            lines[count++].end = at;
        }
        if (count == 0) break;
        if (skipped)
            fail("%d outbox line(s) were not in the game's format and were passed over.", skipped);

        int verdicts[SYNC_BATCH_LINES];
        if (batch.lines && !batch_send(&batch, verdicts)) {
            ok = 0;
            break;
        }
        /* A line dated after the hub's day is held back, by its place in
         * the outbox, and the rest go on; with the list full the
         * checkpoint waits at it instead. */
        size_t reached = 0;
        int stop = 0;
        for (int i = 0, k = 0; i < count && !stop; i++) {
            if (lines[i].in_batch && verdicts[k++] == VERDICT_FUTURE) {
                if (checkpoint.held == WK_HELD_MAX) {
                    stop = 1;
                    break;
                }
                wk_held *held = &checkpoint.held_lines[checkpoint.held++];
                held->offset = checkpoint.delivered + (int64_t)lines[i].start;
                held->length = (int64_t)lines[i].length;
            }
            reached = lines[i].end;
        }
        if (reached) {
            sha_update(&prefix, chunk, reached);
            checkpoint.delivered += (int64_t)reached;
            prefix_hex(checkpoint.prefix_hash);
            if (!save_checkpoint()) {
                ok = 0;
                break;
            }
            wk_test_point("after-checkpoint");
        }
        if (stop) break;
    }
    fclose(outbox);
    return ok;
}

/* ---- the boards ---- */

/* 1 when body is a board the game's reader takes row for row. */
static int board_valid(const char *body, size_t size)
{
    if (strlen(body) != size) return 0;
    int rows = 0;
    const char *line = body;
    while (*line) {
        const char *end = strchr(line, '\n');
        size_t length = end ? (size_t)(end - line) : strlen(line);
        if (length >= TSV_LINE_MAX || ++rows > SYNC_BOARD_ROWS) return 0;
        char copy[TSV_LINE_MAX];
        memcpy(copy, line, length);
        copy[length] = 0;
        if (length && copy[length - 1] == '\r') copy[length - 1] = 0;
        interbbs_row row;
        if (!interbbs_parse_row(copy, &row)) return 0;
        line = end ? end + 1 : line + length;
    }
    return 1;
}

static int fetch_board(const char *name, const char *file, char *etag, size_t etag_cap)
{
    char url[700];
    snprintf(url, sizeof url, "%s/v1/scores/%s.tsv", hub.url, name);
    static char body[SYNC_BOARD_MAX + 1];
    char type[128], tag[128];
    size_t size = 0;
    long status = 0;
    const char *condition = qc_file_exists(file) ? etag : "";
    if (!wk_http_get(url, hub.ca_file, condition, body, sizeof body, &size, &status, type,
                     sizeof type, tag, sizeof tag)) {
        fail("The score hub at %s did not send the %s board whole; the old one stays.", hub.url, name);
        return 0;
    }
    if (status == 304) return 1;
    if (status != 200) {
        fail("The score hub answered the %s board with status %ld; the old one stays.", name, status);
        return 0;
    }
    if (strncmp(type, "text/tab-separated-values", 25) != 0 || !board_valid(body, size)) {
        fail("The score hub's %s board is not a leaderboard the game can read; the old one stays.", name);
        return 0;
    }
    if (!wk_replace_file(file, body, size, 0)) {
        fail("The %s board cannot be written to %s (disk full?); the old one stays.", name, file);
        return 0;
    }
    snprintf(etag, etag_cap, "%s", tag);
    return 1;
}

/* ---- the run ---- */

static int setup(void)
{
    char why[WK_SENTENCE];
    if (!qorb_hub_setting_load(nullptr, &hub, why, sizeof why)) {
        fail("%s", why);
        return 0;
    }
    int found = wk_credential_load(WK_SYNC_JSON, &credential, why, sizeof why);
    if (found == 0) {
        fail(WK_SYNC_JSON " is missing; run GRIMBY-CONFIG to enroll this BBS.");
        return 0;
    }
    if (found < 0) {
        fail("%s", why);
        return 0;
    }
    if (credential.hub[0] && !wk_same_hub(credential.hub, hub.url)) {
        fail(WK_SYNC_JSON " was issued by the hub at %s but this door is set to %s; bring the "
             "hub's credential or run GRIMBY-CONFIG again.", credential.hub, hub.url);
        return 0;
    }
    if (!random_id(session)) {
        fail("No random session id could be made.");
        return 0;
    }
    return 1;
}

static int test_connection(void)
{
    static char body[SYNC_BODY_MAX + 1], reply[4096];
    size_t used = 0;
    long status = 0;
    if (!body_head(body, sizeof body, &used)) {
        fail("The credential's BBS name cannot be sent.");
        return 1;
    }
    memcpy(body + used, "]}", 3);
    if (!post_signed("/v1/scores/upload", body, reply, sizeof reply, &status)) {
        fail("The score hub at %s did not answer (%s).", hub.url, wk_transport_why());
        return 1;
    }
    /* An empty upload stores nothing; the hub checks the signature before
     * the lines, so a refusal of the empty list still vouches for it. */
    char sentence[256], code[64];
    hub_error(reply, sentence, sizeof sentence, code, sizeof code);
    if (status != 200 && !(status == 400 && (!code[0] || strcmp(code, "bad_request") == 0))) {
        refused("connection test", status, reply);
        return 1;
    }
    char etag[128] = "";
    static char board[SYNC_BOARD_MAX + 1];
    char type[128];
    size_t size = 0;
    char url[700];
    snprintf(url, sizeof url, "%s/v1/scores/story.tsv", hub.url);
    if (!wk_http_get(url, hub.ca_file, "", board, sizeof board, &size, &status, type, sizeof type,
                     etag, sizeof etag) ||
        status != 200 || !board_valid(board, size)) {
        fail("The score hub at %s did not send its leaderboard.", hub.url);
        return 1;
    }
    printf("The score hub at %s accepts this BBS's credential.\n", hub.url);
    return 0;
}

int main(int argc, char **argv)
{
    wk_os_start(WK_DEADLINE_MS);
    started_ms = wk_os_ms();
    int testing = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--test-connection") == 0) {
            testing = 1;
        } else {
            fail("Unknown option %.64s; GRIMBY-SYNC takes only --test-connection.", argv[i]);
            return 1;
        }
    }
    if (!setup()) return 1;
    if (testing) return test_connection();

    /* The game starts one at every arrival and exit of every node: the
     * first runs, the rest have nothing to add and leave at once. */
    storage_hold hold;
    int taken = storage_guard_take(WK_SYNC_LOCK, 1, &hold);
    if (taken == STORAGE_HOLD_BUSY) return 0;
    if (taken != STORAGE_HOLD_TAKEN) {
        fail("The sync worker's lock " WK_SYNC_LOCK " cannot be made.");
        return 1;
    }

    char why[WK_SENTENCE];
    int state = wk_checkpoint_load(&checkpoint, why, sizeof why);
    if (state == WK_CHECKPOINT_BAD) {
        /* Starting over is safe (the hub judges duplicates); the damaged
         * file is kept beside the new one for whoever looks, and the run
         * still ends with 1 for the fault it met. */
        fail("%s Delivering the outbox again from its start.", why);
        wk_backup(WK_CHECKPOINT);
    }
    if (state != WK_CHECKPOINT_OK && state != WK_CHECKPOINT_OLD) checkpoint.delivered = 0;
    char hash[65];
    if (!wk_prefix_hash(INTERBBS_OUTBOX, checkpoint.delivered, hash, &prefix) ||
        strcmp(hash, checkpoint.prefix_hash) != 0) {
        if (checkpoint.delivered)
            fail("The outbox " INTERBBS_OUTBOX " shrank or was replaced; delivering it again "
                 "from its start.");
        checkpoint.delivered = 0;
        checkpoint.held = 0;
        wk_prefix_hash(INTERBBS_OUTBOX, 0, hash, &prefix);
    }
    memcpy(checkpoint.prefix_hash, hash, sizeof hash);

    /* One failure, one sentence: after a failed upload the boards wait. */
    int ok = deliver() && state != WK_CHECKPOINT_BAD;
    if (ok && time_left()) {
        int boards = fetch_board("story", INTERBBS_STORY_BOARD, checkpoint.etag_story,
                                 sizeof checkpoint.etag_story);
        if (boards && time_left())
            boards = fetch_board("daily", INTERBBS_DAILY_BOARD, checkpoint.etag_daily,
                                 sizeof checkpoint.etag_daily);
        ok = boards && ok;
        if (ok && !wk_checkpoint_save(&checkpoint)) {
            fail("The checkpoint " WK_CHECKPOINT " cannot be written.");
            ok = 0;
        }
    }
    storage_hold_close(hold);
    return ok ? 0 : 1;
}
