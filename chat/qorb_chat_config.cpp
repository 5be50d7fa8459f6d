/* qorb_chat_config.cpp -- the sysop's console dialogue that switches the
 * shared chat on or off and makes sure the BBS holds a signing secret: from
 * chat.json, from the hub credential file, or by enrolling with the hub.
 * chat.json is replaced through a temporary file, the old one kept as a
 * numbered backup; members this dialogue does not know are carried over. */
#include "qorb_chat.h"
#include "qorb_chat_int.h"
#include "qorb_hub.h"
#include "qorb_json.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#define CFG_TEXT_SIZE 32768

static const char kCannotSave[] = "Cannot safely save chat settings.";

static void say(const char *text)
{
    printf("%s\n", text);
    fflush(stdout);
}

/* One answer; the default stays on an empty line, end of input or a line
 * that does not fit. A long line is read to its end so that its rest is
 * not taken as the next answer. */
static void prompt(const char *label, char *value, size_t capacity)
{
    if (value[0])
        printf("%s [%s]: ", label, value);
    else
        printf("%s: ", label);
    fflush(stdout);
    char line[1024];
    if (!fgets(line, sizeof line, stdin)) return;
    size_t length = strcspn(line, "\r\n");
    int whole = line[length] != '\0' || feof(stdin);
    if (!whole) {
        int c;
        while ((c = fgetc(stdin)) != EOF && c != '\n') {}
        return;
    }
    line[length] = '\0';
    if (length > 0 && length < capacity) memcpy(value, line, length + 1);
}

/* A credential file: its "bbs" (when one fits), "secret" and the "hub"
 * that issued it (empty when the file does not say). */
typedef struct {
    char bbs[65];
    char secret[257];
    char hub[512];
} credential;

enum { CRED_UNREADABLE, CRED_INVALID, CRED_NO_SECRET, CRED_OK };

/* Reads a credential file. A "bbs" is taken even without a usable secret:
 * it is the name to offer when the BBS enrolls. */
static int read_credential(const char *path, credential *out)
{
    static char text[QC_FILE_LIMIT];
    static cj_doc doc;
    memset(out, 0, sizeof *out);
    size_t size;
    if (qc_read_file(path, text, sizeof text, &size) == 0) return CRED_UNREADABLE;
    if (strlen(text) != size || !cj_parse(&doc, text)) return CRED_INVALID;
    char value[600];
    if (cj_get(&doc, "bbs", value, sizeof out->bbs) && value[0]) memcpy(out->bbs, value, strlen(value) + 1);
    if (cj_get(&doc, "hub", value, sizeof value)) qorb_hub_url_check(value, out->hub, nullptr, 0);
    if (!cj_get(&doc, "secret", value, sizeof out->secret) || !value[0]) return CRED_NO_SECRET;
    memcpy(out->secret, value, strlen(value) + 1);
    return CRED_OK;
}

/* Everything the save needs except the secret, checked before anything is
 * written or sent: the escaped name and URL, the carried-over members, a
 * free backup number and a temporary file that could be created. */
typedef struct {
    char  bbs[130];
    char  url[1024];
    char  tail[CFG_TEXT_SIZE];
    size_t tail_length;
    int   backup;              /* 0: no previous content, no backup */
    char  temp[64];
    FILE *temp_file;
} save_plan;

static int plan_save(save_plan *plan, const char *bbs, const char *url, const char *previous,
                     const cj_doc *doc)
{
    memset(plan, 0, sizeof *plan);
    if (!qc_escape(bbs, plan->bbs, 129) || !qc_escape(url, plan->url, 1023)) return 0;
    if (previous[0]) {
        int32_t end = doc->tok[0].next;
        for (int32_t key = 1; key < end && key + 1 < doc->ntok; key = doc->tok[key + 1].next) {
            char name[128];
            if (!cj_decode(doc, key, name, sizeof name)) return 0;
            if (!strcmp(name, "enabled") || !strcmp(name, "bbs") || !strcmp(name, "secret") ||
                !strcmp(name, "url"))
                continue;
            size_t from = (size_t)doc->tok[key].start, to = (size_t)doc->tok[key + 1].end;
            /* The fixed members at their largest come first; 3 bytes are
             * the comma, the closing brace and the line feed. */
            size_t fixed = 45 + strlen(plan->bbs) + 519 + strlen(plan->url);
            if (fixed + plan->tail_length + 1 + (to - from) + 3 > CFG_TEXT_SIZE - 1) return 0;
            plan->tail[plan->tail_length++] = ',';
            memcpy(plan->tail + plan->tail_length, previous + from, to - from);
            plan->tail_length += to - from;
        }
        for (int n = 1; n <= 9999 && !plan->backup; n++) {
            char name[40];
            snprintf(name, sizeof name, "chat.json.previous.%d", n);
            if (!qc_file_exists(name)) plan->backup = n;
        }
        if (!plan->backup) return 0;
    }
    snprintf(plan->temp, sizeof plan->temp, "chat.json.tmp.%lu", qc_process_id());
    plan->temp_file = qc_file_create(plan->temp);
    return plan->temp_file != nullptr;
}

static void plan_drop(save_plan *plan)
{
    if (plan->temp_file) {
        fclose(plan->temp_file);
        plan->temp_file = nullptr;
        remove(plan->temp);
    }
}

static int save(save_plan *plan, int enabled, const char *secret)
{
    char escaped[520];
    if (!qc_escape(secret, escaped, 519)) return 0;
    static char text[CFG_TEXT_SIZE];
    int length = snprintf(text, sizeof text, "{\"enabled\":%s,\"bbs\":\"%s\",\"secret\":\"%s\",\"url\":\"%s\"",
                          enabled ? "true" : "false", plan->bbs, escaped, plan->url);
    if (length < 0 || (size_t)length + plan->tail_length + 3 > sizeof text) return 0;
    memcpy(text + length, plan->tail, plan->tail_length);
    length += (int)plan->tail_length;
    text[length++] = '}';
    text[length++] = '\n';

    if (plan->backup) {
        char name[40];
        snprintf(name, sizeof name, "chat.json.previous.%d", plan->backup);
        if (!qc_file_copy_new("chat.json", name)) return 0;
    }
    FILE *file = plan->temp_file;
    plan->temp_file = nullptr;
    int written = fwrite(text, 1, (size_t)length, file) == (size_t)length;
    if (!qc_file_sync_close(file) || !written || !qc_file_replace(plan->temp, "chat.json")) {
        remove(plan->temp);
        return 0;
    }
    return 1;
}

static int finish(save_plan *plan, int enabled, const char *secret)
{
    if (!save(plan, enabled, secret)) {
        plan_drop(plan);
        say(kCannotSave);
        return 1;
    }
    say(enabled ? "Shared live chat enabled. Existing scores and profiles preserved."
                : "Shared live chat disabled; hidden from the menu.");
    return 0;
}

static int name_ok(const char *bbs, char *escaped)
{
    return bbs[0] && qc_escape(bbs, escaped, 129);
}

/* ---- enrollment ---- */

#define PENDING_FILE "chat.enroll.json"
#define PENDING_SECONDS (15 * 60)

/* The identifier of this enrollment: the one of an attempt for the same
 * name at the same hub that got no reply within the hub's 15 minutes, so
 * asking again collects the same secret; otherwise a fresh one, written
 * down before anything is sent. */
static int enroll_id_for(const char *bbs, const char *hub, char id[QC_ID_SIZE])
{
    static char text[QC_FILE_LIMIT];
    static cj_doc doc;
    size_t size;
    if (qc_read_file(PENDING_FILE, text, sizeof text, &size) == 1 && strlen(text) == size &&
        cj_parse(&doc, text)) {
        char name[65], url[512], found[QC_ID_SIZE + 1];
        long long at = (long long)cj_number(&doc, "at"), now = (long long)time(nullptr);
        if (cj_get(&doc, "bbs", name, sizeof name) && cj_get(&doc, "hub", url, sizeof url) &&
            cj_get(&doc, "enroll_id", found, sizeof found) && strlen(found) == QC_ID_SIZE - 1 &&
            strspn(found, "0123456789abcdef") == QC_ID_SIZE - 1 && !strcmp(url, hub) &&
            !strcmp(name, bbs) && now >= at && now - at < PENDING_SECONDS) {
            memcpy(id, found, QC_ID_SIZE);
            return 1;
        }
    }
    if (!random_id(id)) return 0;
    char name[130], url[1024];
    if (!qc_escape(bbs, name, 129) || !qc_escape(hub, url, 1023)) return 0;
    FILE *file = qc_file_create(PENDING_FILE);
    if (!file) return 0;
    int written = fprintf(file, "{\"bbs\":\"%s\",\"hub\":\"%s\",\"enroll_id\":\"%s\",\"at\":%lld}\n", name,
                          url, id, (long long)time(nullptr)) > 0;
    return qc_file_sync_close(file) && written;
}

/* A hub's own words, cut to one printable line. */
static void hub_reason(const char *reply, char *out, size_t cap)
{
    static cj_doc doc;
    char raw[400] = "";
    if (!cj_parse(&doc, reply) || !cj_get(&doc, "error", raw, sizeof raw)) raw[0] = '\0';
    qc_clean_name(raw, out, cap - 1 < 200 ? cap - 1 : 200);
    size_t length = strlen(out);
    while (length > 0 && (out[length - 1] == '.' || out[length - 1] == ' ')) out[--length] = '\0';
}

enum { ENROLLED, ENROLL_TAKEN, ENROLL_REFUSED, ENROLL_NOT_SENT, ENROLL_NO_REPLY };

/* Sends the enrollment, once more with the same identifier when no reply
 * came; 1 with the hub's secret and the name it enrolled. Otherwise the
 * cause, in one sentence, is already on the screen. */
static int enroll(const qorb_hub_setting *hub, const char *bbs, const char *game_id, char *secret,
                  char *enrolled, int *outcome)
{
    char name[130], game[100], id[QC_ID_SIZE], body[512];
    *outcome = ENROLL_NOT_SENT;
    if (!qc_escape(bbs, name, 129) || !qc_escape(game_id, game, 97)) return 0;
    if (!enroll_id_for(bbs, hub->url, id)) {
        say("Cannot write " PENDING_FILE " in the door directory, so nothing was sent to the hub.");
        return 0;
    }
    int length = snprintf(body, sizeof body, "{\"bbs\":\"%s\",\"game\":\"%s\",\"enroll_id\":\"%s\"}", name,
                          game, id);
    if (length < 0 || (size_t)length >= sizeof body) return 0;
    static char reply[4096];
    static cj_doc doc;
    long status = 0;
    char detail[160], line[2048];
    int sent = 0, kind = PN_OK;
    for (int attempt = 0; attempt < 2 && !sent; attempt++) {
        sent = qorb_hub_post(hub, "/v1/enroll/auto", body, nullptr, reply, sizeof reply, &status);
        if (!sent) kind = pn_failure(detail, sizeof detail);
        if (!sent && kind != PN_NO_REPLY) break;
    }
    if (!sent) {
        switch (kind) {
        case PN_UNREACHABLE:
            snprintf(line, sizeof line, "The hub at %s cannot be reached (%s).", hub->url, detail);
            break;
        case PN_UNTRUSTED:
            snprintf(line, sizeof line, "The hub at %s has a certificate that %s does not trust (%s).", hub->url,
                     hub->ca_file[0] ? hub->ca_file : "the system's trust store", detail);
            break;
        case PN_TLS:
            snprintf(line, sizeof line, "The secure connection to the hub at %s failed (%s).", hub->url, detail);
            break;
        case PN_NO_REPLY:
            *outcome = ENROLL_NO_REPLY;
            snprintf(line, sizeof line,
                     "The hub at %s did not answer after the enrollment was sent (%s), so it may have enrolled "
                     "\"%s\" already.",
                     hub->url, detail, bbs);
            break;
        default:
            snprintf(line, sizeof line, "The enrollment for the hub at %s could not be sent (%s).", hub->url,
                     detail[0] ? detail : "the address or the name is not usable");
        }
        say(line);
        return 0;
    }
    /* Any answer settles this attempt: the next one gets a fresh id. */
    if (status < 200 || status > 299) {
        char reason[201];
        hub_reason(reply, reason, sizeof reason);
        *outcome = status == 409 ? ENROLL_TAKEN : ENROLL_REFUSED;
        if (status == 409)
            snprintf(line, sizeof line, "The hub at %s refused the name \"%s\": %s.", hub->url, bbs,
                     reason[0] ? reason : "it is already enrolled");
        else
            snprintf(line, sizeof line, "The hub at %s refused the enrollment (HTTP %ld): %s.", hub->url, status,
                     reason[0] ? reason : "no reason given");
        say(line);
        remove(PENDING_FILE);
        return 0;
    }
    *outcome = ENROLL_REFUSED;
    if (!cj_parse(&doc, reply) || !cj_get(&doc, "secret", secret, 257) || strlen(secret) < 32) {
        snprintf(line, sizeof line, "The hub at %s answered without a usable secret.", hub->url);
        say(line);
        remove(PENDING_FILE);
        return 0;
    }
    char reported[65];
    if (!cj_get(&doc, "bbs", reported, sizeof reported) || !reported[0]) snprintf(reported, sizeof reported, "%s", bbs);
    qc_clean_name(reported, enrolled, 64);
    *outcome = ENROLLED;
    return 1;
}

/* ---- the hub ---- */

static void show_hub(const qorb_hub_setting *hub)
{
    printf("Hub: %s\nHub CA: %s\n", hub->url, hub->ca_file[0] ? hub->ca_file : "the system's trust store");
    fflush(stdout);
}

/* Lets the sysop change the hub and its CA file; a change is written to
 * grimby.json at once. A value that cannot be used is asked for again. */
static int ask_hub(qorb_hub_setting *hub)
{
    char url[512], ca[1024], why[300];
    snprintf(url, sizeof url, "%s", hub->url);
    int tries = 0;
    for (;; tries++) {
        if (tries == 3) return 0;
        prompt("Hub address", url, sizeof url);
        if (qorb_hub_url_check(url, url, why, sizeof why)) break;
        say(why);
        snprintf(url, sizeof url, "%s", hub->url);
    }
    snprintf(ca, sizeof ca, "%s", hub->ca_file[0] ? hub->ca_file : "NONE");
    for (tries = 0;; tries++) {
        if (tries == 3) return 0;
        prompt("Hub CA file (NONE for the system's trust store)", ca, sizeof ca);
        if (!strcmp(ca, "NONE") || !strcmp(ca, "none")) {
            ca[0] = '\0';
            break;
        }
        FILE *file = fopen(ca, "rb");
        if (file) {
            fclose(file);
            break;
        }
        printf("No readable file at %s; type its path again, or NONE.\n", ca);
        snprintf(ca, sizeof ca, "%s", hub->ca_file[0] ? hub->ca_file : "NONE");
    }
    if (!strcmp(url, hub->url) && !strcmp(ca, hub->ca_file)) return 1;
    if (!qorb_hub_setting_save("", url, ca, why, sizeof why)) {
        say(why);
        return 0;
    }
    snprintf(hub->url, sizeof hub->url, "%s", url);
    snprintf(hub->ca_file, sizeof hub->ca_file, "%s", ca);
    say("Hub setting saved in grimby.json.");
    return 1;
}

/* Asks for an existing credential file until it names a readable file or
 * the answer is NONE: 1 with a usable credential, 0 to enroll (a file
 * without a usable secret still lends its name), -1 to stop. */
static int ask_credential(credential *found, const char *hub_url, char *bbs)
{
    char path[512] = "hub/sync.json";
    for (int tries = 0; tries < 3; tries++) {
        prompt("Existing Hub credential file (or NONE for a new BBS)", path, sizeof path);
        if (!strcmp(path, "NONE") || !strcmp(path, "none")) return 0;
        int got = read_credential(path, found);
        if (got == CRED_UNREADABLE) {
            printf("No readable file at %s; type its path again, or NONE for a new BBS.\n", path);
            fflush(stdout);
            continue;
        }
        if (found->bbs[0]) memcpy(bbs, found->bbs, strlen(found->bbs) + 1);
        if (got != CRED_OK) return 0;
        if (found->hub[0] && strcmp(found->hub, hub_url) != 0) {
            printf("%s was issued by the hub at %s, not by %s; type another path, or NONE.\n", path, found->hub,
                   hub_url);
            fflush(stdout);
            continue;
        }
        return 1;
    }
    say("No credential file given; no settings changed.");
    return -1;
}

int qorb_chat_config(const char *default_bbs_name, const char *game_id, int mode)
{
    char bbs[65] = "", secret[257] = "", url[512] = "";
    char answer[16] = "N";
    static char previous[QC_FILE_LIMIT];
    static cj_doc doc;
    previous[0] = '\0';

    qorb_hub_setting hub;
    char hub_why[300];
    int hub_ok = qorb_hub_setting_load("", &hub, hub_why, sizeof hub_why);
    snprintf(url, sizeof url, "%s", hub.url);

    FILE *probe = fopen("chat.json", "rb");
    int absent = !probe && errno == ENOENT;
    if (probe) fclose(probe);
    if (!absent) {
        size_t size;
        if (qc_read_file("chat.json", previous, sizeof previous, &size) != 1) {
            say("Cannot read existing chat.json; preserved unchanged.");
            return 1;
        }
        if (size > 0 && (strlen(previous) != size || !cj_parse(&doc, previous))) {
            say("Invalid chat.json; preserved unchanged.");
            return 1;
        }
        if (size > 0) {
            char value[512];
            if (cj_get(&doc, "bbs", value, sizeof bbs)) memcpy(bbs, value, strlen(value) + 1);
            if (cj_get(&doc, "secret", value, sizeof secret)) memcpy(secret, value, strlen(value) + 1);
            if (cj_get(&doc, "url", value, sizeof url)) memcpy(url, value, strlen(value) + 1);
            char enabled[32];
            if (cj_get(&doc, "enabled", enabled, sizeof enabled)) {
                int index = cj_find(&doc, "enabled");
                int number = doc.tok[index].type == '-' ||
                             (doc.tok[index].type >= '0' && doc.tok[index].type <= '9');
                if (doc.tok[index].type == 't' || (number && cj_number(&doc, "enabled") != 0))
                    snprintf(answer, sizeof answer, "%s", "Y");
            }
        }
    }
    if (!bbs[0]) qc_clean_name(default_bbs_name ? default_bbs_name : "", bbs, 64);
    if (!game_id) game_id = "";

    save_plan plan;
    int enable = mode == 1;
    if (mode == -1) {
        say("\nQ-Orb shared lobby setup (independent of score sharing)");
        prompt("Enable shared live chat? Y/N", answer, sizeof answer);
        if (strlen(answer) != 1 || !strchr("YyNn", answer[0])) {
            say("Enter Y or N.");
            return 1;
        }
        enable = answer[0] == 'Y' || answer[0] == 'y';
    }
    if (!enable) {
        if (!plan_save(&plan, bbs, url, previous, &doc)) {
            plan_drop(&plan);
            say(kCannotSave);
            return 1;
        }
        return finish(&plan, 0, secret);
    }

    if (!hub_ok) {
        say(hub_why);
        say("No settings changed.");
        return 1;
    }
    show_hub(&hub);
    if (mode == -1 && !ask_hub(&hub)) {
        say("No settings changed.");
        return 1;
    }
    /* A credential belongs to the hub that issued it: with a hub of the
     * sysop's choosing, one from elsewhere is set aside (the save keeps the
     * old file as a backup). The build's hub keeps a chat.json address as
     * it stands, as before there was a setting. */
    if (secret[0] && strcmp(url, hub.url) != 0 && strcmp(hub.url, qorb_hub_default_url()) != 0) {
        printf("chat.json holds a credential from the hub at %s, not from %s; it is set aside.\n", url, hub.url);
        fflush(stdout);
        secret[0] = '\0';
    }
    if (!secret[0] || strcmp(hub.url, qorb_hub_default_url()) != 0) snprintf(url, sizeof url, "%s", hub.url);

    if (strncmp(url, "https://", 8) != 0) {
        say("Chat requires HTTPS.");
        return 1;
    }
    int enrolling = 0;
    if (!secret[0]) {
        credential found;
        int got = read_credential("hub/sync.json", &found);
        if (got == CRED_OK && (!found.hub[0] || !strcmp(found.hub, hub.url))) {
            if (found.bbs[0]) memcpy(bbs, found.bbs, strlen(found.bbs) + 1);
        } else {
            got = ask_credential(&found, hub.url, bbs);
            if (got < 0) return 1;
            enrolling = got == 0;
        }
        if (!enrolling) memcpy(secret, found.secret, strlen(found.secret) + 1);
    }
    if (!enrolling) {
        if (strlen(secret) < 32) {
            say("Invalid Hub credential; no settings changed.");
            return 1;
        }
        if (!plan_save(&plan, bbs, url, previous, &doc)) {
            plan_drop(&plan);
            say(kCannotSave);
            return 1;
        }
        return finish(&plan, 1, secret);
    }

    prompt("BBS enrollment name", bbs, 65);
    char escaped[130];
    if (!name_ok(bbs, escaped)) {
        say("Invalid BBS name.");
        return 1;
    }
    /* The hub takes the name for good once it answers, so whatever could
     * stop the save is found before the request goes out. */
    if (!plan_save(&plan, bbs, url, previous, &doc)) {
        plan_drop(&plan);
        say(kCannotSave);
        say("Nothing was sent to the hub; the BBS is not enrolled.");
        return 1;
    }
    char enrolled[65];
    int outcome;
    if (!enroll(&hub, bbs, game_id, secret, enrolled, &outcome)) {
        plan_drop(&plan);
        if (outcome == ENROLL_TAKEN)
            say("Enrollment failed. If this BBS is already registered, reuse its original Hub "
                "credential file; no settings changed.");
        else if (outcome == ENROLL_NO_REPLY)
            say("Enrollment failed; no settings changed. Run the setup again with the same name within "
                "15 minutes: the hub then sends this BBS's secret again.");
        else
            say("Enrollment failed; no settings changed.");
        return 1;
    }
    if (!save(&plan, 1, secret)) {
        plan_drop(&plan);
        say(kCannotSave);
        say("The hub has enrolled this BBS, but its secret could not be written. Fix the "
            "disk or the directory's permissions and run the setup again with the same name "
            "within 15 minutes; after that, ask the hub's operator to release the name "
            "(grimby-hub --reset-bbs NAME), then enable the chat again.");
        return 1;
    }
    remove(PENDING_FILE);
    printf("Enrolled as \"%s\" at %s.\n", enrolled, hub.url);
    say("Shared live chat enabled. Existing scores and profiles preserved.");
    say("Back up chat.json now: it holds this BBS's secret, which the hub cannot send again.");
    return 0;
}
