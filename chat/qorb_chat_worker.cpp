/* qorb_chat_worker.cpp -- the chat client's life in one call: start from
 * chat.json, the worker thread that keeps the lobby informed, the lobby's
 * status line, and the stop that never holds the caller up. */
#include "doorkit.h"
#include "qorb_chat.h"
#include "qorb_chat_int.h"
#include "qorb_hub.h"
#include "qorb_json.h"
#include "qorb_sha.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

static void real_nap(uint32_t ms)
{
    qc_nap(ms);
}

static qc_nap_fn worker_nap = real_nap;

void qorb_chat_set_nap(qc_nap_fn nap)
{
    worker_nap = nap ? nap : real_nap;
}

int qc_read_file(const char *path, char *out, size_t cap, size_t *size)
{
    *size = 0;
    FILE *file = fopen(path, "rb");
    if (!file) return 0;
    size_t got = fread(out, 1, cap - 1, file);
    int bad = ferror(file);
    int more = !bad && got == cap - 1 && fgetc(file) != EOF;
    fclose(file);
    if (bad) return 0;
    if (more) return -1;
    out[got] = '\0';
    *size = got;
    return 1;
}

#define QC_LOG_FILE  "grimby-chat.log"
#define QC_LOG_LIMIT (256 * 1024L)

void qc_log(const char *text)
{
    /* Lines are written only when the lobby's state changes, but a hub
     * that flaps for months must not fill the disk: one old copy is kept. */
    FILE *file = fopen(QC_LOG_FILE, "ab");
    if (!file) return;
    if (fseek(file, 0, SEEK_END) == 0 && ftell(file) > QC_LOG_LIMIT) {
        fclose(file);
        remove(QC_LOG_FILE ".old");
        rename(QC_LOG_FILE, QC_LOG_FILE ".old");
        file = fopen(QC_LOG_FILE, "ab");
        if (!file) return;
    }
    time_t now = time(nullptr);
    struct tm parts;
#ifdef _WIN32
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", &parts);
    fprintf(file, "%s %s\n", stamp, text);
    fclose(file);
}

/* One line for each change of what stands between the door and the lobby
 * (and one when it answers again), not one per failed poll. */
static void note_outcome(int ok)
{
    static long last = 0; /* 0: answering (or not yet tried) */
    char detail[200] = "", line[2048];
    long status = qc_last_status();
    int kind = pn_failure(detail, sizeof detail);
    long now = ok ? 0 : kind != PN_OK ? 1000 + kind : status;
    if (now == last) return;
    last = now;
    if (ok)
        snprintf(line, sizeof line, "The lobby at %s answers again.", qc.url);
    else if (kind == PN_OK)
        snprintf(line, sizeof line, "The lobby at %s refused this BBS (HTTP %ld%s%s).", qc.url, status,
                 detail[0] ? ": " : "", detail);
    else if (kind == PN_UNREACHABLE)
        snprintf(line, sizeof line, "The lobby at %s cannot be reached (%s).", qc.url, detail);
    else if (kind == PN_UNTRUSTED)
        snprintf(line, sizeof line, "The lobby at %s has a certificate that %s does not trust (%s).", qc.url,
                 qc.ca_file[0] ? qc.ca_file : "the system's trust store", detail);
    else if (kind == PN_TLS)
        snprintf(line, sizeof line, "The TLS handshake with the lobby at %s failed (%s).", qc.url, detail);
    else
        snprintf(line, sizeof line, "The lobby at %s did not answer (%s).", qc.url, detail);
    qc_log(line);
}

int qc_display_width(int columns)
{
    if (columns == 0) return 79;
    int width = columns - 1;
    if (width < 40) return 79;
    if (width > 100) return 100;
    return width;
}

/* Ticks of 100 ms: 20 between exchanges in the room or with messages
 * waiting, 100 otherwise; a change of room goes out on the next tick. */
static void worker(void)
{
    int last = -1, idle = 100;
    for (;;) {
        qc_entry head;
        qc_lock();
        int stopping = qc.stopping, in_chat = qc.in_chat, have = qc.queued > 0;
        if (have) head = qc.queue[0];
        qc_unlock();
        if (stopping) break;

        if (have) {
            if (in_chat == last && idle < 20) {
                idle++;
                worker_nap(100);
                continue;
            }
            int ok = exchange("message", in_chat, &head);
            note_outcome(ok);
            qc_lock();
            if (ok) {
                memmove(&qc.queue[0], &qc.queue[1], sizeof qc.queue[0] * (size_t)(qc.queued - 1));
                qc.queued--;
            } else {
                qc.generation++;
                qc.online = 0;
            }
            qc_unlock();
        } else {
            if (in_chat == last && ((in_chat && idle < 20) || (!in_chat && idle != 100))) {
                idle++;
                worker_nap(100);
                continue;
            }
            int ok = exchange("poll", in_chat, nullptr);
            note_outcome(ok);
            if (!ok) {
                qc_lock();
                qc.generation++;
                qc.online = 0;
                qc_unlock();
            }
        }
        idle = 1;
        last = in_chat;
        worker_nap(100);
    }
    exchange("leave", 0, nullptr);
}

void qorb_chat_start(const char *handle, const char *user_identity, const char *game_id)
{
    if (qc.running || qc.active) return;
    static char text[QC_FILE_LIMIT];
    static cj_doc doc;
    size_t size;
    if (qc_read_file("chat.json", text, sizeof text, &size) != 1 || strlen(text) != size ||
        !cj_parse(&doc, text))
        return;

    char enabled[16];
    if (!cj_get(&doc, "enabled", enabled, sizeof enabled)) return;
    if (strcmp(enabled, "true") != 0 && strcmp(enabled, "1") != 0) return;
    if (!cj_get(&doc, "bbs", qc.bbs, sizeof qc.bbs) ||
        !cj_get(&doc, "secret", qc.secret, sizeof qc.secret) ||
        !cj_get(&doc, "url", qc.url, sizeof qc.url))
        return;
    if (strlen(qc.secret) < 32 || strncmp(qc.url, "https://", 8) != 0) return;

    /* The hub and its CA come from grimby.json. A credential issued by
     * another hub than the one chosen there would only ever get 401: the
     * chat stays off and the log says why. The build's own hub leaves
     * chat.json's address as it stands, as before there was a setting. */
    qorb_hub_setting hub;
    char why[400];
    if (!qorb_hub_setting_load("", &hub, why, sizeof why)) {
        char line[600];
        snprintf(line, sizeof line, "Shared chat is off: %s", why);
        qc_log(line);
        return;
    }
    size_t length = strlen(qc.url);
    while (length > 8 && qc.url[length - 1] == '/') qc.url[--length] = '\0';
    if (strcmp(qc.url, hub.url) != 0 && strcmp(hub.url, qorb_hub_default_url()) != 0) {
        char line[1400];
        snprintf(line, sizeof line,
                 "Shared chat is off: chat.json holds a credential from the hub at %s, but grimby.json names "
                 "%s; run GRIMBY --chat-config to enroll there or to give its credential file.",
                 qc.url, hub.url);
        qc_log(line);
        return;
    }
    snprintf(qc.ca_file, sizeof qc.ca_file, "%s", hub.ca_file);
    if (!random_id(qc.session)) return;

    qc.display_width = qc_display_width(od_control.caller_screen_width);
    qc_clean_name(handle ? handle : "", qc.handle, 32);
    if (!qc.handle[0]) snprintf(qc.handle, sizeof qc.handle, "%s", "Player");

    const char *identity = (user_identity && user_identity[0]) ? user_identity : (handle ? handle : "");
    sha_ctx sha;
    uint8_t digest[SHA_DIGEST_SIZE];
    sha_init(&sha);
    sha_update(&sha, identity, strlen(identity));
    sha_end(&sha, digest);
    sha_hex(digest, qc.caller_hash);
    snprintf(qc.game_id, sizeof qc.game_id, "%s", game_id ? game_id : "");

    if (!qc_guard_init()) return;
    qc.stopping = 0;
    if (!qc_thread_start(worker)) {
        qc_guard_free();
        return;
    }
    qc.running = 1;
    qc.active = 1;
}

int qorb_chat_enabled(void)
{
    return qc.active;
}

void qorb_chat_status(int row, int column, int width)
{
    if (!qc.active) return;
    qc_lock();
    int online = qc.online, players = qc.players, bbses = qc.bbses, chatting = qc.chatting;
    qc_unlock();
    char line[160];
    if (online)
        snprintf(line, sizeof line, "[C] SHARED CHAT | %d players / %d BBSes / %d in chat", players,
                 bbses, chatting);
    else
        snprintf(line, sizeof line, "%s", "[C] SHARED CHAT | Hub unavailable - reconnecting");
    if (width < 0) width = 0;
    od_set_cursor(row, column);
    od_set_attrib(11);
    od_printf("%-*.*s", width, width, line);
}

void qorb_chat_stop(void)
{
    if (!qc.running) return;
    qc_lock();
    qc.stopping = 1;
    qc_unlock();
    qc_wake();
    /* A worker inside a request is not waited for: it sends its "leave"
     * and ends by itself while the process lives, and keeps guard. */
    if (qc_thread_wait(100)) qc_guard_free();
    qc.active = 0;
    qc.running = 0;
}
