/* qorb_chat_net.cpp -- the lobby exchange: the client state, the signed
 * request body, how a reply changes the state, and the chat line buffer the
 * room draws from. The network itself is the OS half's pn_request. */
#include "qorb_chat_int.h"
#include "qorb_hub.h"
#include "qorb_json.h"
#include "qorb_sha.h"
#include "ODPlat.h"

#include <stdio.h>
#include <string.h>

qc_state qc; /* display_width 0 wraps at 79 until the chat starts */

static qc_request_fn qc_request = pn_request;

void qorb_chat_set_request(qc_request_fn fn)
{
    qc_request = fn ? fn : pn_request;
}

int qc_escape(const char *in, char *out, size_t limit)
{
    size_t used = 0;
    for (const unsigned char *p = (const unsigned char *)in; *p; p++) {
        if (*p < 0x20 || *p > 0x7E || *p == '`') return 0;
        int quote = (*p == '"' || *p == '\\');
        if (used + 1 + quote > limit) return 0;
        if (quote) out[used++] = '\\';
        out[used++] = (char)*p;
    }
    out[used] = '\0';
    return 1;
}

void qc_clean_name(const char *in, char *out, size_t limit)
{
    size_t used = 0;
    const unsigned char *p = (const unsigned char *)in;
    while (*p && used < limit) {
        if (p[0] == '|' && p[1] >= '0' && p[1] <= '9' && p[2] >= '0' && p[2] <= '9') {
            p += 3;
            continue;
        }
        if (*p >= 0x20 && *p <= 0x7E && *p != '`') out[used++] = (char)*p;
        p++;
    }
    out[used] = '\0';
}

void add_line(const char *text)
{
    char clean[QC_LINE_SIZE];
    size_t length = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p && length < QC_LINE_SIZE - 1; p++)
        if (*p >= 0x20 && *p <= 0x7E && *p != '`') clean[length++] = (char)*p;
    clean[length] = '\0';

    size_t width = qc.display_width > 0 ? (size_t)qc.display_width : 79;
    size_t at = 0;
    do {
        size_t piece = length - at < width ? length - at : width;
        if (qc.line_count == QC_LINES) {
            memmove(qc.lines[0], qc.lines[1], sizeof qc.lines[0] * (QC_LINES - 1));
            qc.line_count--;
        }
        memcpy(qc.lines[qc.line_count], clean + at, piece);
        qc.lines[qc.line_count][piece] = '\0';
        qc.line_count++;
        at += piece;
    } while (at < length);
    qc.generation++;
}

/* Walks the reply's "lines" in order. Elements too long for a line, or with
 * an escape that cannot be decoded, are skipped so one bad line costs only
 * itself. */
static void apply_lines(const cj_doc *doc)
{
    int index = cj_find(doc, "lines");
    if (index < 0 || doc->tok[index].type != '[') return;
    int32_t end = doc->tok[index].next;
    for (int32_t element = index + 1; element < end && element < doc->ntok;
         element = doc->tok[element].next) {
        char line[QC_LINE_SIZE];
        if (cj_decode(doc, element, line, sizeof line)) add_line(line);
        if (doc->tok[element].next <= element) break;
    }
}

static long last_status;

long qc_last_status(void)
{
    return last_status;
}

int exchange(const char *op, int in_chat, const qc_entry *message)
{
    last_status = 0;
    pn_set_failure(PN_REFUSED, "the request could not be built");
    char bbs[130], handle[80], game[100];
    if (!qc_escape(qc.bbs, bbs, 129) || !qc_escape(qc.handle, handle, 79)) return 0;
    /* The game's identifier goes out unescaped, so it must need no escape. */
    if (!qc_escape(qc.game_id, game, 97) || strcmp(game, qc.game_id) != 0) return 0;

    qc.sequence++;
    char body[2048];
    int length = snprintf(body, sizeof body,
                          "{\"bbs\":\"%s\",\"game\":\"%s\",\"session\":\"%s\",\"op\":\"%s\","
                          "\"seq\":%lld,\"timestamp\":%lld,\"player\":\"%s\",\"caller\":\"%s\","
                          "\"location\":\"%s\",\"cursor\":%lld",
                          bbs, qc.game_id, qc.session, op, (long long)qc.sequence,
                          (long long)ODPlatWallSeconds(), handle, qc.caller_hash,
                          in_chat ? "chat" : "playing", (long long)qc.cursor);
    if (length < 0 || (size_t)length >= sizeof body) return 0;
    if (message) {
        char text[330];
        if (!qc_escape(message->text, text, 329)) return 0;
        /* The event goes out as it stands: only random_id's hex digits may
         * be in it, anything else would break the body. */
        for (const char *p = message->event; *p; p++)
            if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return 0;
        int more = snprintf(body + length, sizeof body - (size_t)length,
                            ",\"event\":\"%s\",\"text\":\"%s\"", message->event, text);
        if (more < 0 || (size_t)more >= sizeof body - (size_t)length) return 0;
        length += more;
    }
    if ((size_t)length + 2 > sizeof body) return 0;
    body[length++] = '}';
    body[length] = '\0';

    uint8_t mac[SHA_DIGEST_SIZE];
    char signature[SHA_HEX_SIZE];
    hmac_sha256(qc.secret, strlen(qc.secret), body, (size_t)length, mac);
    sha_hex(mac, signature);

    char target[1024];
    int target_length = snprintf(target, sizeof target, "%s/v1/chat", qc.url);
    if (target_length < 0 || (size_t)target_length >= sizeof target) return 0;

    /* Only the worker exchanges, so one reply area and one parse serve. */
    static char reply[QC_REPLY_SIZE];
    static cj_doc doc;
    long status = 0;
    if (!qc_request(target, qc.ca_file[0] ? qc.ca_file : nullptr, body, signature, reply, sizeof reply, &status)) return 0;
    last_status = status;
    int parsed = cj_parse(&doc, reply);
    if (status < 200 || status > 299) {
        /* The transport did its part; what the hub said is the reason. */
        char reason[200] = "";
        if (!parsed || !cj_get(&doc, "error", reason, sizeof reason)) reason[0] = '\0';
        char clean[200];
        qc_clean_name(reason, clean, sizeof clean - 1);
        pn_set_failure(PN_OK, clean);
        return 0;
    }
    if (!parsed) {
        pn_set_failure(PN_NO_REPLY, "the reply is not a JSON object");
        return 0;
    }
    if (strcmp(op, "leave") == 0) return 1;

    qc_lock();
    qc.online = 1;
    qc.players = (int32_t)cj_number(&doc, "players");
    qc.bbses = (int32_t)cj_number(&doc, "bbses");
    qc.chatting = (int32_t)cj_number(&doc, "chatting");
    qc.generation++;
    qc.cursor = cj_number(&doc, "cursor");
    apply_lines(&doc);
    qc_unlock();
    return 1;
}
