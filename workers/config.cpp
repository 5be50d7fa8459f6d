/* config.cpp -- GRIMBY-CONFIG, the configuration utility the installer
 * starts: "--gui-setup --bbs NAME --domain DOMAIN --interbbs Y|N" for a new
 * installation and "--upgrade" over an existing one. It runs with no
 * console, so its only words are one sentence on failure (also in
 * hub/config-error.log) and its exit code.
 *
 * The order is what keeps a pressed-twice set-up button harmless: the
 * credential is found or made first (a BBS already enrolled reuses its
 * secret instead of meeting the hub's 409), hub/sync.json is written next,
 * and grimby.json, the file that says the set-up happened, comes last. */
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "qorb_chat_int.h"
#include "qorb_json.h"
#include "qorb_sha.h"
#include "storage.h"
#include "workers.h"

#define fail(...) wk_fail(WK_CONFIG_LOG, __VA_ARGS__)
#define CONFIG_DEFAULT_NAME "Q-ORB ONLINE"

static qorb_hub_setting hub;
static char old_config[WK_JSON_LIMIT];
static size_t old_config_size;
static cj_doc old_doc;

/* ---- grimby.json ---- */

/* Reads grimby.json: 1 (absent or empty counts, with old_config_size 0),
 * or 0 when it is there but not one JSON object. */
static int read_game_config(void)
{
    old_config[0] = 0;
    old_config_size = 0;
    int read = wk_read_file(WK_GRIMBY_JSON, old_config, sizeof old_config, &old_config_size);
    if (read == 0) {
        old_config_size = 0;
        return 1;
    }
    return read > 0 && (old_config_size == 0 || cj_parse(&old_doc, old_config));
}

static int append(char *out, size_t cap, size_t *used, const char *text, size_t length)
{
    if (*used + length >= cap) return 0;
    memcpy(out + *used, text, length);
    *used += length;
    out[*used] = 0;
    return 1;
}

static int key_is(const cj_doc *doc, int key, const char *name)
{
    char text[64];
    return cj_decode(doc, key, text, sizeof text) && strcmp(text, name) == 0;
}

/* The new grimby.json: "bbs_name" first, then "score_sharing" whose
 * "enabled" is the first in the file (the game and the installer both take
 * the first they find), then every other member of the old file as it was,
 * in its order. name null keeps the old "bbs_name" member as it is. */
static int build_game_config(const char *name, int sharing, char *out, size_t cap, size_t *used)
{
    *used = 0;
    out[0] = 0;
    int have_old = old_config_size > 0;
    int32_t end = have_old ? old_doc.tok[0].next : 0;
    int old_name = -1, old_sharing = -1;
    for (int32_t key = 1; have_old && key < end && key + 1 < old_doc.ntok; key = old_doc.tok[key + 1].next) {
        if (key_is(&old_doc, key, "bbs_name") && old_name < 0) old_name = key;
        if (key_is(&old_doc, key, "score_sharing") && old_sharing < 0) old_sharing = key;
    }
    if (!append(out, cap, used, "{\"bbs_name\":", 12)) return 0;
    if (name) {
        if (!wk_json_string(out, cap, used, name, strlen(name))) return 0;
    } else if (old_name >= 0) {
        const cj_tok *value = &old_doc.tok[old_name + 1];
        if (!append(out, cap, used, old_config + value->start, (size_t)(value->end - value->start)))
            return 0;
    } else if (!append(out, cap, used, "\"" CONFIG_DEFAULT_NAME "\"", strlen(CONFIG_DEFAULT_NAME) + 2)) {
        return 0;
    }
    const char *enabled = sharing ? "true" : "false";
    if (!append(out, cap, used, ",\"score_sharing\":{\"enabled\":", 28) ||
        !append(out, cap, used, enabled, strlen(enabled)))
        return 0;
    /* Other members of the old score_sharing object stay inside it. */
    if (old_sharing >= 0 && old_doc.tok[old_sharing + 1].type == '{') {
        int32_t object = old_sharing + 1, inner_end = old_doc.tok[object].next;
        for (int32_t key = object + 1; key < inner_end; key = old_doc.tok[key + 1].next) {
            if (key_is(&old_doc, key, "enabled")) continue;
            size_t from = (size_t)old_doc.tok[key].start, to = (size_t)old_doc.tok[key + 1].end;
            if (!append(out, cap, used, ",", 1) || !append(out, cap, used, old_config + from, to - from))
                return 0;
        }
    }
    if (!append(out, cap, used, "}", 1)) return 0;
    for (int32_t key = 1; have_old && key < end && key + 1 < old_doc.ntok; key = old_doc.tok[key + 1].next) {
        if (key == old_name || key == old_sharing || key_is(&old_doc, key, "bbs_name") ||
            key_is(&old_doc, key, "score_sharing"))
            continue;
        size_t from = (size_t)old_doc.tok[key].start, to = (size_t)old_doc.tok[key + 1].end;
        if (!append(out, cap, used, ",", 1) || !append(out, cap, used, old_config + from, to - from))
            return 0;
    }
    return append(out, cap, used, "}\n", 2);
}

static int save_game_config(const char *name, int sharing)
{
    static char text[WK_JSON_LIMIT * 2];
    size_t used = 0;
    if (!build_game_config(name, sharing, text, sizeof text, &used) || used >= WK_GAME_CONFIG_MAX) {
        fail("grimby.json would grow past %d bytes, more than the game reads; it was left as it is.",
             WK_GAME_CONFIG_MAX - 1);
        return 0;
    }
    if (used == old_config_size && memcmp(text, old_config, used) == 0) return 1;
    if (old_config_size && !wk_backup(WK_GRIMBY_JSON)) {
        fail("No backup of grimby.json could be made; it was left as it is.");
        return 0;
    }
    if (!wk_replace_file(WK_GRIMBY_JSON, text, used, 0)) {
        fail("grimby.json cannot be written (disk full or no permission); it was left as it is.");
        return 0;
    }
    return 1;
}

/* ---- the credential ---- */

static int save_credential(const wk_credential *credential, const char *domain)
{
    static char text[4096];
    size_t used = 0;
    int ok = append(text, sizeof text, &used, "{\"bbs\":", 7) &&
             wk_json_string(text, sizeof text, &used, credential->bbs, strlen(credential->bbs)) &&
             append(text, sizeof text, &used, ",\"secret\":", 10) &&
             wk_json_string(text, sizeof text, &used, credential->secret, strlen(credential->secret)) &&
             append(text, sizeof text, &used, ",\"hub\":", 7) &&
             wk_json_string(text, sizeof text, &used, hub.url, strlen(hub.url));
    if (ok && domain && domain[0])
        ok = append(text, sizeof text, &used, ",\"domain\":", 10) &&
             wk_json_string(text, sizeof text, &used, domain, strlen(domain));
    ok = ok && append(text, sizeof text, &used, "}\n", 2);
    if (!ok) {
        fail("The hub credential cannot be saved safely.");
        return 0;
    }
    static char old[WK_JSON_LIMIT];
    size_t old_size = 0;
    if (wk_read_file(WK_SYNC_JSON, old, sizeof old, &old_size) == 1 && old_size == used &&
        memcmp(old, text, used) == 0)
        return 1;
    storage_make_dir("hub");
    /* An older credential is the only copy of its secret: keep it. */
    if (!wk_backup(WK_SYNC_JSON) || !wk_replace_file(WK_SYNC_JSON, text, used, 1)) {
        fail(WK_SYNC_JSON " cannot be written (disk full or no permission).");
        return 0;
    }
    return 1;
}

/* A credential already on disk for this name at this hub: 1 and *out, 0
 * when there is none, -1 when sync.json is damaged (told). */
static int find_credential(const char *name, wk_credential *out)
{
    char key[80], other[80], why[WK_SENTENCE];
    wk_name_key(name, key, sizeof key);
    static const char *const files[] = {WK_SYNC_JSON, WK_CHAT_JSON};
    for (int i = 0; i < 2; i++) {
        int found = wk_credential_load(files[i], out, why, sizeof why);
        if (found < 0 && i == 0) {
            fail("%s Nothing was changed; repair or remove it.", why);
            return -1;
        }
        if (found <= 0) continue;
        wk_name_key(out->bbs, other, sizeof other);
        if (strcmp(key, other) == 0 && (!out->hub[0] || wk_same_hub(out->hub, hub.url))) return 1;
    }
    memset(out, 0, sizeof *out);
    return 0;
}

static int enroll(const char *name, const char *domain, wk_credential *out)
{
    char enroll_id[QC_ID_SIZE];
    if (!random_id(enroll_id)) {
        fail("No random enrollment id could be made.");
        return 0;
    }
    static char body[1024], reply[4096];
    size_t used = 0;
    if (!append(body, sizeof body, &used, "{\"bbs\":", 7) ||
        !wk_json_string(body, sizeof body, &used, name, strlen(name)) ||
        !append(body, sizeof body, &used, ",\"game\":\"grimby\",\"domain\":", 26) ||
        !wk_json_string(body, sizeof body, &used, domain, strlen(domain)) ||
        !append(body, sizeof body, &used, ",\"enroll_id\":\"", 14) ||
        !append(body, sizeof body, &used, enroll_id, strlen(enroll_id)) ||
        !append(body, sizeof body, &used, "\"}", 2)) {
        fail("The BBS name or domain cannot be sent to the hub.");
        return 0;
    }
    long status = 0;
    /* A reply lost on the way is asked for once more with the same id,
     * which the hub answers with the same secret. */
    int answered = qorb_hub_post(&hub, "/v1/enroll/auto", body, nullptr, reply, sizeof reply, &status);
    if (!answered && pn_failure(nullptr, 0) == PN_NO_REPLY) {
        wk_os_sleep(1000);
        answered = qorb_hub_post(&hub, "/v1/enroll/auto", body, nullptr, reply, sizeof reply, &status);
    }
    if (!answered) {
        fail("The score hub at %s did not answer (%s); nothing was changed.", hub.url, wk_transport_why());
        return 0;
    }
    static cj_doc doc;
    int parsed = cj_parse(&doc, reply);
    char code[64] = "", sentence[256] = "";
    if (parsed) {
        cj_get(&doc, "code", code, sizeof code);
        cj_get(&doc, "error", sentence, sizeof sentence);
    }
    if (status == 409 || strcmp(code, "name_taken") == 0) {
        fail("The name \"%s\" is already enrolled at the score hub %s by another installation; copy "
             "that BBS's hub/sync.json into this door's hub directory, or ask the hub's operator to "
             "reset the name.", name, hub.url);
        return 0;
    }
    if (status == 429) {
        fail("The score hub at %s has had too many enrollment attempts from this address; try again "
             "in an hour. Nothing was changed.", hub.url);
        return 0;
    }
    if (status < 200 || status > 299 || !parsed || !cj_get(&doc, "secret", out->secret, sizeof out->secret) ||
        strlen(out->secret) < 32) {
        for (char *p = sentence; *p; p++)
            if ((unsigned char)*p < 0x20 || (unsigned char)*p > 0x7E) *p = '?';
        fail("The score hub at %s refused the enrollment (status %ld%s%s); nothing was changed.", hub.url,
             status, sentence[0] ? ": " : "", sentence);
        return 0;
    }
    if (!cj_get(&doc, "bbs", out->bbs, sizeof out->bbs) || !out->bbs[0])
        qc_clean_name(name, out->bbs, 64);
    snprintf(out->hub, sizeof out->hub, "%s", hub.url);
    return 1;
}

/* Tells the hub the BBS's public address under the credential's
 * signature: 1 once stored, 0 after a failure told. */
static int update_domain(const wk_credential *credential, const char *domain)
{
    char session[QC_ID_SIZE], keys[128];
    static char body[1024], reply[4096];
    size_t used = 0;
    int ok = random_id(session);
    snprintf(keys, sizeof keys, ",\"session\":\"%s\",\"seq\":1,\"timestamp\":%lld,\"domain\":", session,
             (long long)time(nullptr));
    ok = ok && append(body, sizeof body, &used, "{\"bbs\":", 7) &&
         wk_json_string(body, sizeof body, &used, credential->bbs, strlen(credential->bbs)) &&
         append(body, sizeof body, &used, keys, strlen(keys)) &&
         wk_json_string(body, sizeof body, &used, domain, strlen(domain)) && append(body, sizeof body, &used, "}", 1);
    if (!ok) {
        fail("The BBS's domain cannot be sent to the hub.");
        return 0;
    }
    uint8_t digest[SHA_DIGEST_SIZE];
    char signature[SHA_HEX_SIZE];
    hmac_sha256(credential->secret, strlen(credential->secret), body, used, digest);
    sha_hex(digest, signature);
    long status = 0;
    if (!qorb_hub_post(&hub, "/v1/bbs/domain", body, signature, reply, sizeof reply, &status)) {
        fail("The score hub at %s did not answer (%s); the BBS's domain was not changed.", hub.url,
             wk_transport_why());
        return 0;
    }
    if (status != 200) {
        static cj_doc doc;
        char sentence[256] = "";
        if (cj_parse(&doc, reply)) cj_get(&doc, "error", sentence, sizeof sentence);
        for (char *p = sentence; *p; p++)
            if ((unsigned char)*p < 0x20 || (unsigned char)*p > 0x7E) *p = '?';
        fail("The score hub at %s refused the BBS's new domain (status %ld%s%s).", hub.url, status,
             sentence[0] ? ": " : "", sentence);
        return 0;
    }
    return 1;
}

/* The domain hub/sync.json recorded, or "". */
static void recorded_domain(char *out, size_t cap)
{
    static cj_doc doc;
    static char text[WK_JSON_LIMIT];
    out[0] = 0;
    if (wk_read_file(WK_SYNC_JSON, text, sizeof text, nullptr) == 1 && cj_parse(&doc, text) &&
        !cj_get(&doc, "domain", out, cap))
        out[0] = 0;
}

/* ---- the two commands ---- */

static int name_ok(const char *name)
{
    size_t length = strlen(name);
    if (length == 0 || length >= 64) return 0;
    for (const unsigned char *p = (const unsigned char *)name; *p; p++)
        if (*p < 0x20 || *p > 0x7E || *p == '"' || *p == '\\' || *p == '`') return 0;
    char cleaned[65];
    qc_clean_name(name, cleaned, 64);
    return strspn(cleaned, " ") != strlen(cleaned);
}

/* A host name or address with an optional port. */
static int domain_ok(const char *domain)
{
    size_t length = strlen(domain);
    if (length == 0 || length > 80) return 0;
    for (const char *p = domain; *p; p++)
        if (!isalnum((unsigned char)*p) && !strchr(".-:[]", *p)) return 0;
    return 1;
}

static int gui_setup(const char *name, const char *domain, int sharing)
{
    if (!name_ok(name)) {
        fail("The BBS name must be 1 to 63 plain characters without quotes, backslashes or backticks.");
        return 1;
    }
    if (!domain_ok(domain)) {
        fail("The BBS domain must be a host name or address, with an optional :port.");
        return 1;
    }
    if (!read_game_config()) {
        fail("grimby.json is not one JSON object of under %d bytes; it was left as it is.", WK_JSON_LIMIT);
        return 1;
    }
    if (sharing) {
        wk_credential credential;
        int found = find_credential(name, &credential);
        if (found < 0) return 1;
        if (!found && !enroll(name, domain, &credential)) return 1;
        char known[256];
        recorded_domain(known, sizeof known);
        if (found && strcmp(known, domain) != 0 && !update_domain(&credential, domain)) return 1;
        if (!save_credential(&credential, domain)) return 1;
    }
    return save_game_config(name, sharing) ? 0 : 1;
}

static int upgrade(void)
{
    if (!read_game_config()) {
        /* The game reads it with its own scan; what it reads is kept. */
        fail("grimby.json is not one JSON object; it was left as it is for the game to read.");
        return 0;
    }
    /* The values the game reads now, read the way it reads them. */
    config_scan(old_config);
    int ok = save_game_config(nullptr, interbbs_enabled);

    /* A credential from before hub/sync.json named its hub was issued by
     * the hub this door talks to. */
    wk_credential credential;
    char why[WK_SENTENCE];
    if (wk_credential_load(WK_SYNC_JSON, &credential, why, sizeof why) == 1 && !credential.hub[0]) {
        static cj_doc doc;
        static char text[WK_JSON_LIMIT];
        char domain[256] = "";
        if (wk_read_file(WK_SYNC_JSON, text, sizeof text, nullptr) == 1 && cj_parse(&doc, text))
            cj_get(&doc, "domain", domain, sizeof domain);
        ok = save_credential(&credential, domain) && ok;
    }
    wk_checkpoint checkpoint;
    if (wk_checkpoint_load(&checkpoint, why, sizeof why) == WK_CHECKPOINT_OLD)
        ok = wk_backup(WK_CHECKPOINT) && wk_checkpoint_save(&checkpoint) && ok;
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    wk_os_start(WK_DEADLINE_MS);
    storage_make_dir("hub");
    const char *name = nullptr, *domain = nullptr, *share = nullptr;
    int setup = 0, upgrading = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--gui-setup") == 0) {
            setup = 1;
        } else if (strcmp(argv[i], "--upgrade") == 0) {
            upgrading = 1;
        } else if (strcmp(argv[i], "--bbs") == 0 && i + 1 < argc) {
            name = argv[++i];
        } else if (strcmp(argv[i], "--domain") == 0 && i + 1 < argc) {
            domain = argv[++i];
        } else if (strcmp(argv[i], "--interbbs") == 0 && i + 1 < argc) {
            share = argv[++i];
        } else {
            fail("Usage: GRIMBY-CONFIG --gui-setup --bbs NAME --domain DOMAIN --interbbs Y|N, or "
                 "GRIMBY-CONFIG --upgrade.");
            return 1;
        }
    }
    char why[WK_SENTENCE];
    if (upgrading && !setup && !name && !domain && !share) {
        if (!qorb_hub_setting_load(nullptr, &hub, why, sizeof why)) {
            fail("%s", why);
            return 1;
        }
        return upgrade();
    }
    int sharing = share && (strcmp(share, "Y") == 0 || strcmp(share, "y") == 0);
    if (!setup || upgrading || !name || !domain || !share ||
        (!sharing && strcmp(share, "N") != 0 && strcmp(share, "n") != 0)) {
        fail("Usage: GRIMBY-CONFIG --gui-setup --bbs NAME --domain DOMAIN --interbbs Y|N, or "
             "GRIMBY-CONFIG --upgrade.");
        return 1;
    }
    if (!qorb_hub_setting_load(nullptr, &hub, why, sizeof why)) {
        fail("%s", why);
        return 1;
    }
    return gui_setup(name, domain, sharing);
}
