/* hub_api.cpp -- grimby-hub's endpoints: enrollment, the signed chat and
 * score exchange, the boards and the release files. The front hands each
 * whole request here; OpenSSL gives the HMAC and constant-time compare. */
#include "hub_api.h"

#include <ctype.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>

#include "hub_db.h"
#include "hub_limits.h"
#include "hub_page.h"
#include "hub_text.h"
#include "run.h"

namespace {

int64_t Now() { return (int64_t)time(nullptr); }

const HubConfig *gConfig;
HubDb *gDb;
int64_t gMaxScore = 2147483647;

/* ---- replies ---- */

void Reply(HubResponse *res, const std::string &body, const char *type)
{
    res->body = body;
    res->content_type = type;
}

void Reply(HubResponse *res, const std::shared_ptr<const std::string> &body, const char *type)
{
    res->shared_body = body;
    res->content_type = type;
}

// Every error carries a code a program can act on beside the sentence a
// person reads.
void Error(HubResponse *res, int status, const char *code, const char *sentence)
{
    std::string body = "{\"error\":";
    hub_json_append(body, sentence);
    body += ",\"code\":";
    hub_json_append(body, code);
    body += "}";
    res->status = status;
    Reply(res, body, "application/json");
}

void Failed(HubResponse *res) { Error(res, 500, "hub_failed", "The hub failed; try again later."); }

// A signed step the database refused: 403 for a (session, seq) already
// seen, anything else is the hub's own failure.
void SignedStepError(HubResponse *res, int status)
{
    if (status == 403)
        Error(res, 403, "replay", "This request was already seen (session and seq).");
    else
        Failed(res);
}

/* ---- signed requests ---- */

// Parses the body and checks what every signed request carries. On
// success fills s and returns true; otherwise the reply is set.
bool CheckSigned(const HubRequest &req, HubResponse *res, cj_doc *doc, HubSigned *s)
{
    if (req.body.find('\0') != std::string::npos || !cj_parse(doc, req.body.c_str())) {
        Error(res, 400, "bad_request", "The body is not one JSON object.");
        return false;
    }
    std::string claimed;
    int64_t seq = 0, timestamp = 0;
    if (!hub_json_string(doc, hub_json_find(doc, "bbs"), 256, &claimed) ||
        !hub_plain_text(claimed) ||
        !hub_json_string(doc, hub_json_find(doc, "session"), HUB_ID_MAX, &s->session) ||
        !hub_id_ok(s->session, 8, HUB_ID_MAX) ||
        !hub_json_uint(doc, hub_json_find(doc, "seq"), &seq) || seq < 1 ||
        !hub_json_uint(doc, hub_json_find(doc, "timestamp"), &timestamp)) {
        Error(res, 400, "bad_request",
              "\"bbs\", \"session\", \"seq\" or \"timestamp\" is missing or malformed.");
        return false;
    }
    std::string hex = hub_api_header(req, "X-Q-Orb-Signature");
    unsigned char given[32];
    bool well_formed = hex.size() == 64;
    for (size_t i = 0; well_formed && i < 32; i++) {
        int hi = OPENSSL_hexchar2int((unsigned char)hex[2 * i]);
        int lo = OPENSSL_hexchar2int((unsigned char)hex[2 * i + 1]);
        well_formed = hi >= 0 && lo >= 0;
        given[i] = (unsigned char)(hi * 16 + lo);
    }
    // The key of this release; a BBS the key migration left under its old
    // key (a clash it reported) is found by that one.
    std::string cleaned = hub_clean_name(claimed.data(), claimed.size(), HUB_NAME_MAX);
    std::string keys[2] = {hub_name_key(cleaned), hub_legacy_name_key(cleaned)};
    HubBbs bbs;
    int found = 0;
    bool ok = false;
    for (int k = 0; k < 2 && !ok; k++) {
        if (keys[k].empty() || (k == 1 && keys[1] == keys[0])) continue;
        HubBbs candidate;
        int here = hub_db_find_bbs(gDb, keys[k], &candidate);
        if (here < 0) {
            Failed(res);
            return false;
        }
        if (here == 0) continue;
        found = 1;
        unsigned char mac[32];
        unsigned int mac_length = 0;
        ok = well_formed &&
             HMAC(EVP_sha256(), candidate.secret.data(), (int)candidate.secret.size(),
                  (const unsigned char *)req.body.data(), req.body.size(), mac, &mac_length) &&
             mac_length == 32 && CRYPTO_memcmp(given, mac, 32) == 0;
        OPENSSL_cleanse(&candidate.secret[0], candidate.secret.size());
        if (ok) {
            bbs = candidate;
            s->key = keys[k];
        }
    }
    if (!found) {
        Error(res, 401, "unknown_bbs", "Unknown BBS.");
        return false;
    }
    if (!ok) {
        Error(res, 401, "bad_signature", "Bad signature.");
        return false;
    }
    s->name = bbs.name;
    res->bbs = s->name;
    if (bbs.banned) {
        Error(res, 403, "banned", "This BBS is banned from the hub; ask its operator.");
        return false;
    }
    s->now = Now();
    int64_t off = timestamp - s->now;
    if (off > gConfig->time_window || -off > gConfig->time_window) {
        Error(res, 403, "clock", "The request's timestamp is too far from the hub's clock.");
        return false;
    }
    s->seq = seq;
    return true;
}

void Chat(const HubRequest &req, HubResponse *res)
{
    std::unique_ptr<cj_doc> doc(new cj_doc);
    HubChat chat;
    if (!CheckSigned(req, res, doc.get(), &chat.s)) return;
    std::string op, player, location;
    int64_t cursor = 0;
    if (!hub_json_string(doc.get(), hub_json_find(doc.get(), "op"), 16, &op) ||
        (op != "poll" && op != "message" && op != "leave")) {
        Error(res, 400, "bad_request", "\"op\" must be poll, message or leave.");
        return;
    }
    chat.op = op == "poll" ? HUB_OP_POLL : op == "message" ? HUB_OP_MESSAGE : HUB_OP_LEAVE;
    bool ok = hub_json_string(doc.get(), hub_json_find(doc.get(), "player"), 256, &player) &&
              hub_json_string(doc.get(), hub_json_find(doc.get(), "caller"), 64, &chat.caller) &&
              chat.caller.size() == 64 &&
              chat.caller.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos &&
              hub_json_uint(doc.get(), hub_json_find(doc.get(), "cursor"), &cursor);
    int t = hub_json_find(doc.get(), "location");
    if (ok && t >= 0) ok = hub_json_string(doc.get(), t, 16, &location);
    if (ok && chat.op == HUB_OP_MESSAGE) {
        ok = hub_json_string(doc.get(), hub_json_find(doc.get(), "event"), HUB_ID_MAX,
                             &chat.event) &&
             hub_id_ok(chat.event, 1, HUB_ID_MAX);
        t = hub_json_find(doc.get(), "text");
        ok = ok && t >= 0 && doc->tok[t].type == '"';
        if (ok && (!hub_json_string(doc.get(), t, HUB_TEXT_MAX, &chat.text) || chat.text.empty() ||
                   !hub_plain_text(chat.text)))
            chat.notice = "Hub: message refused - use up to 160 plain characters.";
    }
    if (!ok) {
        Error(res, 400, "bad_request", "A chat key is missing or malformed.");
        return;
    }
    chat.player = hub_clean_name(player.data(), player.size(), HUB_PLAYER_MAX);
    if (chat.player.empty()) chat.player = "Player";
    chat.in_chat = location == "chat";
    chat.cursor = cursor;
    chat.rate_limit = gConfig->messages_per_10s;
    chat.presence = gConfig->presence;
    HubChatReply reply;
    int status = hub_db_chat(gDb, chat, &reply);
    if (status != 200) {
        SignedStepError(res, status);
        return;
    }
    std::string body = "{\"players\":" + std::to_string(reply.players) +
                       ",\"bbses\":" + std::to_string(reply.bbses) +
                       ",\"chatting\":" + std::to_string(reply.chatting) +
                       ",\"cursor\":" + std::to_string(reply.cursor);
    if (chat.op != HUB_OP_LEAVE) {
        body += ",\"lines\":[";
        for (size_t i = 0; i < reply.lines.size(); i++) {
            if (i) body += ",";
            hub_json_append(body, reply.lines[i].substr(0, 383));
        }
        body += "]";
    }
    body += "}";
    Reply(res, body, "application/json");
    res->routine = chat.op == HUB_OP_POLL;
}

/* ---- enrollment ---- */

HubAttemptTable gEnrollAttempts(100000);

// Every attempt counts, good or bad, so names cannot be probed quickly.
int EnrollWait(const std::string &peer, int64_t now)
{
    return gEnrollAttempts.Wait(hub_enroll_client(peer), now, gConfig->enroll_per_hour);
}

bool MakeSecret(std::string *secret)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    secret->clear();
    while (secret->size() < 48) {
        unsigned char bytes[64];
        if (getrandom(bytes, sizeof bytes, 0) != (ssize_t)sizeof bytes) return false;
        for (unsigned char b : bytes)
            if (b < 248 && secret->size() < 48) *secret += alphabet[b % 62]; // 248 = 4 * 62
        OPENSSL_cleanse(bytes, sizeof bytes);
    }
    return true;
}

const char kDomainRule[] =
    "\"domain\" must be a host name or address with an optional port, up to 80 characters.";

void Enroll(const HubRequest &req, HubResponse *res)
{
    int wait = EnrollWait(req.peer, Now());
    if (wait > 0) {
        res->headers.emplace_back("Retry-After", std::to_string(wait));
        Error(res, 429, "rate_limited",
              "Too many enrollment attempts from this address; try again later.");
        return;
    }
    std::unique_ptr<cj_doc> doc(new cj_doc);
    if (req.body.find('\0') != std::string::npos || !cj_parse(doc.get(), req.body.c_str())) {
        Error(res, 400, "bad_request", "The body is not one JSON object.");
        return;
    }
    std::string raw, game;
    if (!hub_json_string(doc.get(), hub_json_find(doc.get(), "bbs"), 1024, &raw)) {
        Error(res, 400, "bad_request", "\"bbs\" is missing or not a text.");
        return;
    }
    int t = hub_json_find(doc.get(), "game");
    if (t >= 0 && (!hub_json_string(doc.get(), t, 48, &game) || game != "grimby")) {
        Error(res, 400, "bad_request", "\"game\" must be grimby.");
        return;
    }
    HubEnroll e;
    t = hub_json_find(doc.get(), "enroll_id");
    if (t >= 0 && (!hub_json_string(doc.get(), t, 32, &e.enroll_id) || e.enroll_id.size() != 32 ||
                   e.enroll_id.find_first_not_of("0123456789abcdef") != std::string::npos)) {
        Error(res, 400, "bad_request", "\"enroll_id\" must be 32 lowercase hex digits.");
        return;
    }
    t = hub_json_find(doc.get(), "domain");
    if (t >= 0 && (!hub_json_string(doc.get(), t, HUB_DOMAIN_MAX, &e.domain) ||
                   (!e.domain.empty() && !hub_domain_ok(e.domain)))) {
        Error(res, 400, "bad_request", kDomainRule);
        return;
    }
    e.name = hub_stable_name(raw.data(), raw.size());
    if (e.name.find_first_not_of(' ') == std::string::npos) {
        Error(res, 400, "bad_request", "The BBS name is empty once cleaned.");
        return;
    }
    res->bbs = e.name;
    if (!MakeSecret(&e.secret)) {
        Failed(res);
        return;
    }
    e.key = hub_name_key(e.name);
    e.now = Now();
    std::string secret;
    int added = hub_db_enroll(gDb, e, &secret);
    if (added == 0) {
        Error(res, 409, "name_taken", "That BBS name is already enrolled.");
    } else if (added < 0) {
        Failed(res);
    } else {
        std::string body = "{\"bbs\":";
        hub_json_append(body, e.name);
        body += ",\"secret\":";
        hub_json_append(body, secret);
        body += "}";
        Reply(res, body, "application/json");
        OPENSSL_cleanse(&body[0], body.size());
    }
    OPENSSL_cleanse(&e.secret[0], e.secret.size());
    if (!secret.empty()) OPENSSL_cleanse(&secret[0], secret.size());
}

// A signed change of the BBS's public address.
void Domain(const HubRequest &req, HubResponse *res)
{
    std::unique_ptr<cj_doc> doc(new cj_doc);
    HubSigned s;
    if (!CheckSigned(req, res, doc.get(), &s)) return;
    std::string domain;
    if (!hub_json_string(doc.get(), hub_json_find(doc.get(), "domain"), HUB_DOMAIN_MAX,
                         &domain) ||
        (!domain.empty() && !hub_domain_ok(domain))) {
        Error(res, 400, "bad_request", kDomainRule);
        return;
    }
    int status = hub_db_set_domain(gDb, s, domain);
    if (status != 200) {
        SignedStepError(res, status);
        return;
    }
    std::string body = "{\"bbs\":";
    hub_json_append(body, s.name);
    body += ",\"domain\":";
    hub_json_append(body, domain);
    Reply(res, body + "}", "application/json");
}

/* ---- score exchange ---- */

void Upload(const HubRequest &req, HubResponse *res)
{
    std::unique_ptr<cj_doc> doc(new cj_doc);
    HubSigned s;
    if (!CheckSigned(req, res, doc.get(), &s)) return;
    std::string game;
    int t = hub_json_find(doc.get(), "game");
    if (t >= 0 && (!hub_json_string(doc.get(), t, 48, &game) || game != "grimby")) {
        Error(res, 400, "bad_request", "\"game\" must be grimby.");
        return;
    }
    // A line the hub cannot decode is judged like any malformed line:
    // the others in the batch still count.
    int list = hub_json_find(doc.get(), "lines");
    std::vector<std::string> lines;
    bool ok = list >= 0 && doc->tok[list].type == '[';
    for (int e = list + 1; ok && e < doc->tok[list].next; e = doc->tok[e].next) {
        std::string line;
        ok = lines.size() < HUB_BATCH_LINES;
        if (!hub_json_string(doc.get(), e, 1024, &line)) line.clear();
        lines.push_back(line);
    }
    if (!ok || lines.empty()) {
        Error(res, 400, "bad_request", "\"lines\" must be a list of 1 to 16 outbox lines.");
        return;
    }
    char today[9];
    hub_utc_date(s.now, today);
    std::vector<int> results;
    HubUploadRules rules;
    rules.max_score = gMaxScore;
    int status = hub_db_upload(gDb, s, lines, today, rules, &results);
    if (status != 200) {
        SignedStepError(res, status);
        return;
    }
    static const char *const words[] = {"accepted", "duplicate", "rejected", "future"};
    int counts[4] = {0, 0, 0, 0};
    std::string body = "{\"results\":[";
    for (size_t i = 0; i < results.size(); i++) {
        body += i ? ",\"" : "\"";
        body += words[results[i]];
        body += "\"";
        counts[results[i]]++;
    }
    body += "]";
    for (int k = 0; k < 4; k++)
        body += ",\"" + std::string(words[k]) + "\":" + std::to_string(counts[k]);
    Reply(res, body + "}", "application/json");
}

// Rendered once per change and shared: a board costs a lookup of the
// database's board version, whoever asks and however often.
void Board(const HubRequest &req, HubResponse *res)
{
    bool daily = req.path == "/v1/scores/daily.tsv";
    char today[9], period[9];
    hub_utc_date(Now(), today);
    snprintf(period, sizeof period, daily ? "%.8s" : "%.6s", today);
    HubBoard board;
    if (!hub_db_board(gDb, daily, period, gConfig->board_rows, gConfig->board_rows_per_bbs,
                      &board)) {
        Failed(res);
        return;
    }
    res->headers.emplace_back("X-Grimby-Period", period);
    res->headers.emplace_back("ETag", board.etag);
    res->headers.emplace_back("Cache-Control", "no-cache");
    res->routine = true;
    std::string match = hub_api_header(req, "If-None-Match");
    if (!match.empty() && (match == board.etag || match == "*" ||
                           match.find(board.etag) != std::string::npos)) {
        res->status = 304;
        return;
    }
    Reply(res, board.body, "text/tab-separated-values");
}

/* ---- the public page ---- */

bool Matches(const HubRequest &req, const std::string &etag)
{
    std::string match = hub_api_header(req, "If-None-Match");
    return !match.empty() &&
           (match == "*" || match.find(etag) != std::string::npos);
}

// The page, its data and its style: what anyone's browser may fetch, so
// each says it runs nothing from elsewhere and tells nobody where it was.
void Page(const HubRequest &req, HubResponse *res)
{
    res->headers.emplace_back("Content-Security-Policy", "default-src 'self'");
    res->headers.emplace_back("X-Content-Type-Options", "nosniff");
    res->headers.emplace_back("Referrer-Policy", "no-referrer");
    res->routine = true;
    if (req.path == "/page.css" || req.path == "/page.js") {
        res->headers.emplace_back("Cache-Control", "public, max-age=86400");
        if (req.path == "/page.css") Reply(res, hub_page_css(), "text/css; charset=utf-8");
        else Reply(res, hub_page_js(), "text/javascript; charset=utf-8");
        return;
    }
    int64_t now = Now();
    HubPageDoc html, json;
    if (!hub_page_get(gDb, gConfig, now, &html, &json)) {
        Failed(res);
        return;
    }
    const HubPageDoc &doc = req.path == "/" ? html : json;
    // Fresh until the counts on it are due again; a client may keep it
    // that long and must ask after that.
    int64_t left = doc.rendered + HUB_PAGE_PULSE_SECONDS - now;
    if (left < 0) left = 0;
    if (left > HUB_PAGE_PULSE_SECONDS) left = HUB_PAGE_PULSE_SECONDS;
    res->headers.emplace_back("Cache-Control", "public, max-age=" + std::to_string(left));
    res->headers.emplace_back("Vary", "Accept-Encoding");
    bool packed = doc.gzip && hub_accepts_gzip(hub_api_header(req, "Accept-Encoding"));
    const std::string &etag = packed ? doc.gzip_etag : doc.etag;
    res->headers.emplace_back("ETag", etag);
    if (Matches(req, etag)) {
        res->status = 304;
        return;
    }
    if (packed) res->headers.emplace_back("Content-Encoding", "gzip");
    Reply(res, packed ? doc.gzip : doc.body,
          req.path == "/" ? "text/html; charset=utf-8" : "application/json");
}

/* ---- release files ---- */

bool PackageName(const std::string &name)
{
    if (name.empty() || name.size() > 128 || !isalnum((unsigned char)name[0])) return false;
    for (char c : name)
        if (!isalnum((unsigned char)c) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

// Opens release_dir/sub/name refusing symbolic links below release_dir
// and anything that is not a regular file.
int OpenRelease(const char *sub, const std::string &name, off_t *size)
{
    int root = open(gConfig->release_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return -1;
    int dir = openat(root, sub, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(root);
    if (dir < 0) return -1;
    int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    close(dir);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    if (fd >= 0) *size = st.st_size;
    return fd;
}

void Release(const HubRequest &req, HubResponse *res)
{
    std::string path = req.path;
    const char *sub = nullptr;
    std::string name;
    if (path == "/updates/grimby/windows-x64.txt" || path == "/updates/grimby/windows-x64.sig") {
        sub = "grimby";
        name = path.substr(strlen("/updates/grimby/"));
    } else if (path.compare(0, 18, "/updates/packages/") == 0 && PackageName(path.substr(18))) {
        sub = "packages";
        name = path.substr(18);
    }
    if (!sub) {
        Error(res, 404, "not_found", "No such file.");
        return;
    }
    if (hub_api_has_header(req, "Range")) {
        Error(res, 416, "range", "Ranges are not served.");
        return;
    }
    off_t size = 0;
    int fd = OpenRelease(sub, name, &size);
    if (fd < 0) {
        Error(res, 404, "not_found", "No such file.");
        return;
    }
    res->headers.emplace_back("Accept-Ranges", "none");
    res->content_type = "application/octet-stream";
    res->file_fd = fd;
    res->file_size = size;
}
// Every reply says the hub's time, so a client can tell its own clock is
// off before a signed request is refused for it.
void AddDate(HubResponse *res)
{
    for (const auto &h : res->headers)
        if (h.first == "Date") return;
    char text[64];
    time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[tm.tm_wday % 7],
             tm.tm_mday, months[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
             tm.tm_sec);
    res->headers.emplace_back("Date", text);
}

const char *StatusCode(int status)
{
    switch (status) {
    case 400: return "bad_request";
    case 404: return "not_found";
    case 405: return "method_not_allowed";
    case 408: return "timeout";
    case 411: return "length_required";
    case 413: return "too_large";
    case 414: return "too_large";
    case 415: return "unsupported_encoding";
    case 416: return "range";
    case 429: return "rate_limited";
    case 503: return "busy";
    default: return status >= 500 ? "hub_failed" : "refused";
    }
}

const char *StatusSentence(int status)
{
    switch (status) {
    case 400: return "Bad request.";
    case 404: return "No such endpoint or file.";
    case 405: return "Method not allowed.";
    case 408: return "The request took too long.";
    case 411: return "The body needs a Content-Length.";
    case 413: return "The body is larger than 2048 bytes.";
    case 414: return "The request line is too long.";
    case 415: return "Bodies are taken without a Content-Encoding only.";
    case 416: return "Ranges are not served.";
    case 503: return "The hub is busy; try again later.";
    default: return status >= 500 ? "The hub failed; try again later." : "Request refused.";
    }
}

}  // namespace

std::string hub_api_header(const HubRequest &req, const char *name)
{
    for (const auto &h : req.headers)
        if (strcasecmp(h.first.c_str(), name) == 0) return h.second;
    return "";
}

int hub_api_has_header(const HubRequest &req, const char *name)
{
    for (const auto &h : req.headers)
        if (strcasecmp(h.first.c_str(), name) == 0) return 1;
    return 0;
}

void hub_api_start(const HubConfig *config, HubDb *db)
{
    gConfig = config;
    gDb = db;
    // The game's own rules say what one run can score.
    gMaxScore = run_score_ceiling();
}

void hub_api_error(int status, HubResponse *res)
{
    AddDate(res);
    Error(res, status, StatusCode(status), StatusSentence(status));
}

void hub_api_handle(const HubRequest &req, HubResponse *res)
{
    AddDate(res);
    bool get = req.method == "GET" || req.method == "HEAD";
    bool post = req.method == "POST";
    const std::string &p = req.path;
    if (post && p == "/v1/chat") Chat(req, res);
    else if (post && p == "/v1/enroll/auto") Enroll(req, res);
    else if (post && p == "/v1/scores/upload") Upload(req, res);
    else if (post && p == "/v1/bbs/domain") Domain(req, res);
    else if (get && (p == "/v1/scores/story.tsv" || p == "/v1/scores/daily.tsv")) Board(req, res);
    else if (get && p.compare(0, 9, "/updates/") == 0) Release(req, res);
    else if (get && (p == "/" || p == "/boards.json" || p == "/page.css" || p == "/page.js"))
        Page(req, res);
    else if (!get && !post) hub_api_error(405, res);
    else hub_api_error(404, res);
}


namespace {

void WriteLine(const HubRequest &req, const HubResponse &res, uint64_t ms)
{
    char stamp[32];
    time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    // The path is the client's: no control bytes reach the log.
    std::string safe = req.path.substr(0, 200);
    for (char &c : safe)
        if ((unsigned char)c < 0x20 || (unsigned char)c > 0x7E) c = '?';
    if (safe.empty()) safe = "-";
    fprintf(stderr, "%s %s %s %s %d %s %llums\n", stamp, req.peer.empty() ? "-" : req.peer.c_str(),
            req.method.empty() ? "-" : req.method.c_str(), safe.c_str(), res.status,
            res.bbs.empty() ? "-" : res.bbs.c_str(), (unsigned long long)ms);
}

// Routine reads (chat polls, board fetches) are counted, not written one
// by one: a room of callers polls every two seconds each.
struct PollSummary {
    std::mutex lock;
    int64_t since = 0;
    uint64_t polls = 0, boards = 0, unchanged = 0, slowest = 0;
} gSummary;

const int64_t kSummarySeconds = 60;

void CountRoutine(const HubRequest &req, const HubResponse &res, uint64_t ms)
{
    char line[200] = "";
    {
        std::lock_guard<std::mutex> hold(gSummary.lock);
        int64_t now = Now();
        if (gSummary.since == 0) gSummary.since = now;
        if (req.method == "POST") gSummary.polls++;
        else if (res.status == 304) gSummary.unchanged++;
        else gSummary.boards++;
        if (ms > gSummary.slowest) gSummary.slowest = ms;
        if (now - gSummary.since < kSummarySeconds) return;
        snprintf(line, sizeof line,
                 "summary of %llds: %llu chat polls, %llu boards sent, %llu unchanged, "
                 "slowest %llums",
                 (long long)(now - gSummary.since), (unsigned long long)gSummary.polls,
                 (unsigned long long)gSummary.boards, (unsigned long long)gSummary.unchanged,
                 (unsigned long long)gSummary.slowest);
        gSummary.since = now;
        gSummary.polls = gSummary.boards = gSummary.unchanged = gSummary.slowest = 0;
    }
    hub_log_event("-", line, 200);
}

}  // namespace

void hub_log_event(const char *peer, const char *what, int status)
{
    HubRequest req;
    req.peer = peer ? peer : "";
    req.method = "-";
    req.path = what;
    HubResponse res;
    res.status = status;
    WriteLine(req, res, 0);
}

void hub_api_log(const HubRequest &req, const HubResponse &res, uint64_t ms)
{
    if (res.routine && res.status < 400 && !(gConfig && gConfig->log_every_request))
        CountRoutine(req, res, ms);
    else
        WriteLine(req, res, ms);
}
