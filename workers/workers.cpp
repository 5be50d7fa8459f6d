/* workers.cpp -- the workers' shared ground: sentences and bounded logs,
 * whole-file reads and replacements, the hub setting, the credential and
 * the sync checkpoint. Every file here may have been damaged or hand-edited,
 * so each is read whole within a limit and checked before it is used. */
#include "workers.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "interbbs.h"
#include "qorb_chat_int.h"
#include "qorb_hub.h"
#include "qorb_json.h"
#include "qorb_sha.h"
#include "storage.h"

/* ---- sentences and logs ---- */

void wk_fail(const char *log, const char *format, ...)
{
    char sentence[WK_SENTENCE];
    va_list args;
    va_start(args, format);
    vsnprintf(sentence, sizeof sentence, format, args);
    va_end(args);
    fprintf(stderr, "%s\n", sentence);
    if (!log) return;
    struct stat info;
    if (stat(log, &info) == 0 && info.st_size > WK_LOG_LIMIT) {
        char old[300];
        snprintf(old, sizeof old, "%s.old", log);
        remove(old);
        rename(log, old);
    }
    FILE *out = fopen(log, "ab");
    if (!out) return;
    time_t now = time(nullptr);
    struct tm utc;
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", &utc);
    fprintf(out, "%s %s\n", stamp, sentence);
    fclose(out);
}

/* ---- files ---- */

int wk_read_file(const char *path, char *out, size_t cap, size_t *size)
{
    size_t got = 0;
    int result = qc_read_file(path, out, cap, &got);
    if (size) *size = got;
    if (result == 1 && strlen(out) != got) return -1;
    return result;
}

int wk_replace_file(const char *path, const char *bytes, size_t size, int private_file)
{
    char temporary[400];
    int n = snprintf(temporary, sizeof temporary, "%s.tmp.%lu", path, wk_os_pid());
    if (n < 0 || (size_t)n >= sizeof temporary) return 0;
    FILE *out = private_file ? qc_file_create(temporary) : fopen(temporary, "wb");
    if (!out) return 0;
    int ok = fwrite(bytes, 1, size, out) == size;
    ok = storage_flush_file(out) && ok;
    ok = fclose(out) == 0 && ok;
    /* Windows refuses the move while a node reads the target; the game
     * holds a board open only for the moment of drawing it. */
    for (int attempt = 0; ok && attempt < 25; attempt++) {
        if (storage_replace_file(temporary, path)) return 1;
        wk_os_sleep(40);
    }
    remove(temporary);
    return 0;
}

int wk_backup(const char *path)
{
    if (!qc_file_exists(path)) return 1;
    char name[400];
    for (int number = 1; number <= 9999; number++) {
        snprintf(name, sizeof name, "%s.previous.%d", path, number);
        if (qc_file_exists(name)) continue;
        return qc_file_copy_new(path, name);
    }
    return 0;
}

/* ---- JSON ---- */

int wk_json_string(char *out, size_t cap, size_t *used, const char *text, size_t length)
{
    size_t at = *used;
    if (at + 1 >= cap) return 0;
    out[at++] = '"';
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        const char *escape = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\t' ? "\\t" : nullptr;
        if (!escape && (c < 0x20 || c > 0x7E)) return 0;
        size_t need = escape ? 2 : 1;
        if (at + need + 2 > cap) return 0;
        if (escape) {
            memcpy(out + at, escape, 2);
        } else {
            out[at] = (char)c;
        }
        at += need;
    }
    out[at++] = '"';
    out[at] = 0;
    *used = at;
    return 1;
}

/* ---- the hub and the credential ---- */

static void say(char *why, size_t n, const char *text)
{
    if (why && n) snprintf(why, n, "%s", text);
}

const char *wk_transport_why(void)
{
    switch (pn_failure(nullptr, 0)) {
    case PN_UNREACHABLE: return "no connection could be made";
    case PN_UNTRUSTED:   return "its certificate is not trusted for its name";
    case PN_TLS:         return "the secure connection failed";
    case PN_TOO_LARGE:   return "its reply was too large";
    case PN_REFUSED:     return "the request could not be sent";
    default:             return "no whole reply came in time";
    }
}

int wk_credential_load(const char *path, wk_credential *out, char *why, size_t n)
{
    memset(out, 0, sizeof *out);
    static char text[WK_JSON_LIMIT];
    size_t size = 0;
    int read = wk_read_file(path, text, sizeof text, &size);
    if (read == 0) return 0;
    static cj_doc doc;
    char sentence[WK_SENTENCE];
    if (read < 0 || !cj_parse(&doc, text)) {
        snprintf(sentence, sizeof sentence, "%s is damaged (not one JSON object of under %d bytes).",
                 path, WK_JSON_LIMIT);
        say(why, n, sentence);
        return -1;
    }
    if (!cj_get(&doc, "bbs", out->bbs, sizeof out->bbs) || !out->bbs[0] ||
        !cj_get(&doc, "secret", out->secret, sizeof out->secret) || strlen(out->secret) < 32) {
        snprintf(sentence, sizeof sentence, "%s has no usable \"bbs\" and \"secret\".", path);
        say(why, n, sentence);
        memset(out, 0, sizeof *out);
        return -1;
    }
    /* The shipped example copied as it is: say so, rather than let the hub
     * answer every request with a refused signature. */
    if (strncmp(out->secret, "REPLACE-", 8) == 0) {
        snprintf(sentence, sizeof sentence,
                 "%s still holds the example's placeholder secret: put in the secret your score "
                 "hub issued.", path);
        say(why, n, sentence);
        memset(out, 0, sizeof *out);
        return -1;
    }
    /* sync.json names its hub "hub", chat.json its lobby "url". */
    if (!cj_get(&doc, "hub", out->hub, sizeof out->hub)) cj_get(&doc, "url", out->hub, sizeof out->hub);
    return 1;
}

static size_t wk_host_end(const char *url)
{
    const char *host = strstr(url, "://");
    host = host ? host + 3 : url;
    return (size_t)(host - url) + strcspn(host, "/");
}

int wk_same_hub(const char *a, const char *b)
{
    size_t la = wk_host_end(a), lb = wk_host_end(b);
    if (la != lb) return 0;
    for (size_t i = 0; i < la; i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return 0;
    /* The paths, a trailing slash ignored. */
    const char *pa = a + la, *pb = b + lb;
    size_t ra = strlen(pa), rb = strlen(pb);
    while (ra && pa[ra - 1] == '/') ra--;
    while (rb && pb[rb - 1] == '/') rb--;
    return ra == rb && memcmp(pa, pb, ra) == 0;
}

void wk_name_key(const char *name, char *out, size_t cap)
{
    char cleaned[65];
    qc_clean_name(name, cleaned, 64);
    snprintf(out, cap, "%s", cleaned);
    for (char *p = out; *p; p++) *p = (char)tolower((unsigned char)*p);
}

/* ---- the checkpoint ----
 * A small text file, one "key value" per line after a version line, so a
 * sysop can read it:
 *   grimby-sync-checkpoint 2
 *   delivered <bytes>
 *   prefix-sha256 <64 hex>
 *   etag-story <tag>   etag-daily <tag>
 *   held <offset> <length>   (a line the hub called "future", per line)
 * Version 1 recorded only how many outbox lines were delivered. */

int wk_prefix_hash(const char *path, int64_t bytes, char out[65], sha_ctx *state)
{
    sha_ctx ctx;
    sha_init(&ctx);
    if (bytes > 0) {
        FILE *in = fopen(path, "rb");
        if (!in) return 0;
        static char buffer[65536];
        int64_t left = bytes;
        while (left > 0) {
            size_t want = left < (int64_t)sizeof buffer ? (size_t)left : sizeof buffer;
            size_t got = fread(buffer, 1, want, in);
            if (got == 0) break;
            sha_update(&ctx, buffer, got);
            left -= (int64_t)got;
        }
        fclose(in);
        if (left > 0) return 0;
    }
    if (state) *state = ctx;
    uint8_t digest[SHA_DIGEST_SIZE];
    sha_end(&ctx, digest);
    sha_hex(digest, out);
    return 1;
}

/* The byte count of the outbox's first `lines` complete lines; -1 when it
 * holds fewer. */
static int64_t wk_lines_to_bytes(int64_t lines)
{
    if (lines <= 0) return 0;
    FILE *in = fopen(INTERBBS_OUTBOX, "rb");
    if (!in) return -1;
    int64_t offset = 0, seen = 0;
    int c;
    while (seen < lines && (c = fgetc(in)) != EOF) {
        offset++;
        if (c == '\n') seen++;
    }
    fclose(in);
    return seen == lines ? offset : -1;
}

static int wk_parse_count(const char *text, int64_t *out)
{
    if (!isdigit((unsigned char)*text)) return 0;
    int64_t value = 0;
    for (; isdigit((unsigned char)*text); text++) {
        if (value > (INT64_MAX - 9) / 10) return 0;
        value = value * 10 + (*text - '0');
    }
    if (*text) return 0;
    *out = value;
    return 1;
}

static int wk_is_hex64(const char *text)
{
    if (strlen(text) != 64) return 0;
    for (; *text; text++)
        if (!isdigit((unsigned char)*text) && !(*text >= 'a' && *text <= 'f')) return 0;
    return 1;
}

int wk_checkpoint_load(wk_checkpoint *out, char *why, size_t n)
{
    memset(out, 0, sizeof *out);
    char text[2048];
    size_t size = 0;
    int read = wk_read_file(WK_CHECKPOINT, text, sizeof text, &size);
    if (read == 0) return WK_CHECKPOINT_MISSING;
    const char *damaged = "The sync checkpoint " WK_CHECKPOINT " is damaged; it was left as it is.";
    if (read < 0) {
        say(why, n, damaged);
        return WK_CHECKPOINT_BAD;
    }
    int version = 0, have_delivered = 0, have_hash = 0, have_lines = 0;
    int64_t lines = 0;
    for (char *line = text, *next; line; line = next) {
        next = strchr(line, '\n');
        if (next) *next++ = 0;
        size_t length = strlen(line);
        if (length && line[length - 1] == '\r') line[--length] = 0;
        char *value = strchr(line, ' ');
        if (!value) continue;
        *value++ = 0;
        if (!version) {
            if (strcmp(line, "grimby-sync-checkpoint") != 0) break;
            version = strcmp(value, "1") == 0 ? 1 : strcmp(value, "2") == 0 ? 2 : -1;
            if (version < 0) break;
        } else if (strcmp(line, "delivered") == 0) {
            have_delivered = wk_parse_count(value, &out->delivered);
        } else if (strcmp(line, "prefix-sha256") == 0 && wk_is_hex64(value)) {
            memcpy(out->prefix_hash, value, 65);
            have_hash = 1;
        } else if (strcmp(line, "lines") == 0) {
            have_lines = wk_parse_count(value, &lines);
        } else if (strcmp(line, "held") == 0 && out->held < WK_HELD_MAX) {
            char *span = strchr(value, ' ');
            wk_held *held = &out->held_lines[out->held];
            if (span) *span++ = 0;
            if (span && wk_parse_count(value, &held->offset) && wk_parse_count(span, &held->length))
                out->held++;
        } else if (strcmp(line, "etag-story") == 0) {
            snprintf(out->etag_story, sizeof out->etag_story, "%s", value);
        } else if (strcmp(line, "etag-daily") == 0) {
            snprintf(out->etag_daily, sizeof out->etag_daily, "%s", value);
        }
    }
    if (version == 2 && have_delivered && have_hash) {
        /* A held line lies inside what was delivered, or it is not ours. */
        int kept = 0;
        for (int i = 0; i < out->held; i++)
            if (out->held_lines[i].offset + out->held_lines[i].length < out->delivered)
                out->held_lines[kept++] = out->held_lines[i];
        out->held = kept;
        return WK_CHECKPOINT_OK;
    }
    if (version == 1 && have_lines) {
        memset(out, 0, sizeof *out);
        /* An outbox now shorter than what was delivered was reset: start it
         * over, which the hub's duplicate rule makes safe. */
        int64_t bytes = wk_lines_to_bytes(lines);
        out->delivered = bytes < 0 ? 0 : bytes;
        if (!wk_prefix_hash(INTERBBS_OUTBOX, out->delivered, out->prefix_hash, nullptr)) {
            out->delivered = 0;
            wk_prefix_hash(INTERBBS_OUTBOX, 0, out->prefix_hash, nullptr);
        }
        return WK_CHECKPOINT_OLD;
    }
    memset(out, 0, sizeof *out);
    say(why, n, damaged);
    return WK_CHECKPOINT_BAD;
}

static int wk_etag_safe(const char *tag)
{
    for (; *tag; tag++)
        if ((unsigned char)*tag < 0x21 || (unsigned char)*tag > 0x7E) return 0;
    return 1;
}

int wk_checkpoint_save(const wk_checkpoint *checkpoint)
{
    char text[2048];
    int n = snprintf(text, sizeof text, "grimby-sync-checkpoint %d\ndelivered %lld\nprefix-sha256 %s\n",
                     WK_CHECKPOINT_VERSION, (long long)checkpoint->delivered, checkpoint->prefix_hash);
    if (n < 0 || (size_t)n >= sizeof text) return 0;
    if (checkpoint->etag_story[0] && wk_etag_safe(checkpoint->etag_story))
        n += snprintf(text + n, sizeof text - (size_t)n, "etag-story %s\n", checkpoint->etag_story);
    if (checkpoint->etag_daily[0] && wk_etag_safe(checkpoint->etag_daily))
        n += snprintf(text + n, sizeof text - (size_t)n, "etag-daily %s\n", checkpoint->etag_daily);
    for (int i = 0; i < checkpoint->held && i < WK_HELD_MAX && n > 0 && (size_t)n < sizeof text; i++)
        n += snprintf(text + n, sizeof text - (size_t)n, "held %lld %lld\n",
                      (long long)checkpoint->held_lines[i].offset, (long long)checkpoint->held_lines[i].length);
    if (n < 0 || (size_t)n >= sizeof text) return 0;
    return wk_replace_file(WK_CHECKPOINT, text, (size_t)n, 0);
}

void wk_test_point(const char *name)
{
#ifdef GRIMBY_WORKERS_TEST_POINTS
    const char *at = getenv("GRIMBY_SYNC_DIE_AT");
    if (at && strcmp(at, name) == 0) wk_os_die();
#else
    (void)name;
#endif
}
