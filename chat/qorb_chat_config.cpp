/* qorb_chat_config.cpp -- the sysop's console dialogue that switches the
 * shared chat on or off and makes sure the BBS holds a signing secret: from
 * chat.json, from the hub credential file, or by enrolling with the hub.
 * chat.json is replaced through a temporary file, the old one kept as a
 * numbered backup; members this dialogue does not know are carried over. */
#include "qorb_chat.h"
#include "qorb_chat_int.h"
#include "qorb_json.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#ifndef GRIMBY_HUB_HOST
#define GRIMBY_HUB_HOST "localhost"
#endif
#ifndef GRIMBY_CHAT_HOST
#define GRIMBY_CHAT_HOST GRIMBY_HUB_HOST
#endif

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
    printf("%s [%s]: ", label, value);
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

/* Reads a credential file: 1 with a non-empty secret that fits (and the
 * file's "bbs" when it has one that fits), else 0. */
static int read_credential(const char *path, char *bbs, size_t bbs_cap, char *secret,
                           size_t secret_cap)
{
    static char text[QC_FILE_LIMIT];
    static cj_doc doc;
    size_t size;
    if (qc_read_file(path, text, sizeof text, &size) != 1 || strlen(text) != size) return 0;
    if (!cj_parse(&doc, text)) return 0;
    char found[257];
    if (!cj_get(&doc, "secret", found, sizeof found) || !found[0] || strlen(found) >= secret_cap)
        return 0;
    char name[65];
    if (cj_get(&doc, "bbs", name, sizeof name) && strlen(name) < bbs_cap) memcpy(bbs, name, strlen(name) + 1);
    memcpy(secret, found, strlen(found) + 1);
    return 1;
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

static char enroll_host[300] = GRIMBY_HUB_HOST;

void qorb_chat_set_enroll_host(const char *host)
{
    snprintf(enroll_host, sizeof enroll_host, "%s", host ? host : GRIMBY_HUB_HOST);
}

/* Sends the enrollment; 1 with the hub's secret in secret (257 bytes). */
static int enroll(const char *bbs, const char *game_id, char *secret)
{
    char name[130], game[100], body[512];
    if (!qc_escape(bbs, name, 129) || !qc_escape(game_id, game, 97)) return 0;
    int length = snprintf(body, sizeof body, "{\"bbs\":\"%s\",\"game\":\"%s\"}", name, game);
    if (length < 0 || (size_t)length >= sizeof body) return 0;
    static char reply[4096];
    static cj_doc doc;
    long status = 0;
    char url[400];
    snprintf(url, sizeof url, "https://%s/v1/enroll/auto", enroll_host);
    if (!pn_request(url, nullptr, body, nullptr, reply, sizeof reply, &status)) return 0;
    if (status < 200 || status > 299 || !cj_parse(&doc, reply)) return 0;
    if (!cj_get(&doc, "secret", secret, 257) || strlen(secret) < 32) return 0;
    return 1;
}

int qorb_chat_config(const char *default_bbs_name, const char *game_id, int mode)
{
    char bbs[65] = "", secret[257] = "", url[512] = "https://" GRIMBY_CHAT_HOST;
    char path[512] = "hub/sync.json", answer[16] = "N";
    static char previous[QC_FILE_LIMIT];
    static cj_doc doc;
    previous[0] = '\0';

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

    if (strncmp(url, "https://", 8) != 0) {
        say("Chat requires HTTPS.");
        return 1;
    }
    int enrolling = 0;
    if (!secret[0] && !read_credential("hub/sync.json", bbs, sizeof bbs, secret, sizeof secret)) {
        prompt("Existing Hub credential file (or NONE for a new BBS)", path, sizeof path);
        enrolling = !strcmp(path, "NONE") || !strcmp(path, "none") ||
                    !read_credential(path, bbs, sizeof bbs, secret, sizeof secret);
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
    if (!enroll(bbs, game_id, secret)) {
        plan_drop(&plan);
        say("Enrollment failed. If this BBS is already registered, reuse its original Hub "
            "credential file; no settings changed.");
        return 1;
    }
    if (!save(&plan, 1, secret)) {
        plan_drop(&plan);
        say(kCannotSave);
        say("The hub has enrolled this BBS, but its secret could not be written. Fix the "
            "disk or the directory's permissions, ask the hub's operator to release the name "
            "(grimby-hub --reset-bbs NAME), then enable the chat again.");
        return 1;
    }
    say("Shared live chat enabled. Existing scores and profiles preserved.");
    return 0;
}
