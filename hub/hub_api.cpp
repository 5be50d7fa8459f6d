/* hub_api.cpp -- grimby-hub's endpoints behind a plain request/reply
 * interface: enrollment, signed chat, score exchange, boards and release
 * files. OpenSSL gives the HMAC and the constant-time compare. */
#include "hub_api.h"

#include <ctype.h>
#include <fcntl.h>
#include <strings.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "hub_db.h"
#include "hub_text.h"

namespace {

int64_t Now() { return (int64_t)time(nullptr); }

const HubConfig *gConfig;
HubDb *gDb;

void LogLine(const char *peer, const char *method, const std::string &path, int status,
             const std::string &bbs, uint64_t ms)
{
    char stamp[32];
    time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    // The path is the client's: no control bytes reach the log.
    std::string safe = path.substr(0, 200);
    for (char &c : safe)
        if ((unsigned char)c < 0x20 || (unsigned char)c > 0x7E) c = '?';
    if (safe.empty()) safe = "-";
    fprintf(stderr, "%s %s %s %s %d %s %llums\n", stamp, *peer ? peer : "-",
            *method ? method : "-", safe.c_str(), status,
            bbs.empty() ? "-" : bbs.c_str(), (unsigned long long)ms);
}

// The BBS a request was made for, for its log line.
thread_local std::string tBbs;

/* ---- replies ---- */

void Error(HubResponse &res, int status, const char *sentence)
{
    std::string body = "{\"error\":";
    hub_json_append(body, sentence);
    body += "}";
    res.status = status;
    res.body = body; res.content_type = "application/json";
}

// A signed step the database refused: 403 for a (session, seq) already
// seen, anything else is the hub's own failure.
void SignedStepError(HubResponse &res, int status)
{
    if (status == 403)
        Error(res, 403, "This request was already seen (session and seq).");
    else
        Error(res, 500, "The hub failed; try again later.");
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

/* ---- signed requests ---- */

// Parses the body and checks what every signed request carries. On
// success fills s and returns true; otherwise the reply is set.
bool CheckSigned(const HubRequest &req, HubResponse &res, cj_doc *doc, HubSigned *s)
{
    if (req.body.find('\0') != std::string::npos || !cj_parse(doc, req.body.c_str())) {
        Error(res, 400, "The body is not one JSON object.");
        return false;
    }
    std::string bbs;
    int64_t seq = 0, timestamp = 0;
    if (!hub_json_string(doc, hub_json_find(doc, "bbs"), 256, &bbs) || !hub_plain_text(bbs) ||
        !hub_json_string(doc, hub_json_find(doc, "session"), HUB_ID_MAX, &s->session) ||
        !hub_id_ok(s->session, 8, HUB_ID_MAX) ||
        !hub_json_uint(doc, hub_json_find(doc, "seq"), &seq) || seq < 1 ||
        !hub_json_uint(doc, hub_json_find(doc, "timestamp"), &timestamp)) {
        Error(res, 400, "\"bbs\", \"session\", \"seq\" or \"timestamp\" is missing or malformed.");
        return false;
    }
    s->key = hub_name_key(hub_clean_name(bbs.data(), bbs.size(), HUB_NAME_MAX));
    std::string secret;
    int found = s->key.empty() ? 0 : hub_db_find_bbs(gDb, s->key, &s->name, &secret);
    if (found < 0) {
        Error(res, 500, "The hub failed; try again later.");
        return false;
    }
    if (found == 0) {
        Error(res, 401, "Unknown BBS.");
        return false;
    }
    std::string hex = hub_api_header(req, "X-Q-Orb-Signature");
    unsigned char given[32], mac[32];
    unsigned int mac_length = 0;
    bool ok = hex.size() == 64;
    for (size_t i = 0; ok && i < 32; i++) {
        int hi = OPENSSL_hexchar2int((unsigned char)hex[2 * i]);
        int lo = OPENSSL_hexchar2int((unsigned char)hex[2 * i + 1]);
        ok = hi >= 0 && lo >= 0;
        given[i] = (unsigned char)(hi * 16 + lo);
    }
    ok = ok && HMAC(EVP_sha256(), secret.data(), (int)secret.size(),
                    (const unsigned char *)req.body.data(), req.body.size(), mac, &mac_length) &&
         mac_length == 32 && CRYPTO_memcmp(given, mac, 32) == 0;
    OPENSSL_cleanse(&secret[0], secret.size());
    if (!ok) {
        Error(res, 401, "Bad signature.");
        return false;
    }
    tBbs = s->name;
    s->now = Now();
    int64_t off = timestamp - s->now;
    if (off > gConfig->time_window || -off > gConfig->time_window) {
        Error(res, 403, "The request's timestamp is too far from the hub's clock.");
        return false;
    }
    s->seq = seq;
    return true;
}

void Chat(const HubRequest &req, HubResponse &res)
{
    std::unique_ptr<cj_doc> doc(new cj_doc);
    HubChat chat;
    if (!CheckSigned(req, res, doc.get(), &chat.s)) return;
    std::string op, player, location;
    int64_t cursor = 0;
    if (!hub_json_string(doc.get(), hub_json_find(doc.get(), "op"), 16, &op) ||
        (op != "poll" && op != "message" && op != "leave")) {
        Error(res, 400, "\"op\" must be poll, message or leave.");
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
        Error(res, 400, "A chat key is missing or malformed.");
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
    res.body = body; res.content_type = "application/json";
}

/* ---- enrollment ---- */

std::mutex gEnrollLock;
std::map<std::string, std::deque<int64_t>> gEnrollTimes;

// Every attempt counts, good or bad, so names cannot be probed quickly.
int EnrollWait(const std::string &peer, int64_t now)
{
    std::lock_guard<std::mutex> hold(gEnrollLock);
    if (gEnrollTimes.size() > 100000) gEnrollTimes.clear();
    std::deque<int64_t> &times = gEnrollTimes[peer];
    while (!times.empty() && times.front() <= now - 3600) times.pop_front();
    if ((int)times.size() >= gConfig->enroll_per_hour) return (int)(times.front() + 3600 - now);
    times.push_back(now);
    return 0;
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

void Enroll(const HubRequest &req, HubResponse &res)
{
    int wait = EnrollWait(req.peer, Now());
    if (wait > 0) {
        res.headers.emplace_back("Retry-After", std::to_string(wait));
        Error(res, 429, "Too many enrollment attempts from this address; try again later.");
        return;
    }
    std::unique_ptr<cj_doc> doc(new cj_doc);
    if (req.body.find('\0') != std::string::npos || !cj_parse(doc.get(), req.body.c_str())) {
        Error(res, 400, "The body is not one JSON object.");
        return;
    }
    std::string raw, game;
    if (!hub_json_string(doc.get(), hub_json_find(doc.get(), "bbs"), 1024, &raw)) {
        Error(res, 400, "\"bbs\" is missing or not a text.");
        return;
    }
    int t = hub_json_find(doc.get(), "game");
    if (t >= 0 && (!hub_json_string(doc.get(), t, 48, &game) || game != "grimby")) {
        Error(res, 400, "\"game\" must be grimby.");
        return;
    }
    std::string name = hub_clean_name(raw.data(), raw.size(), HUB_NAME_MAX);
    if (name.find_first_not_of(' ') == std::string::npos) {
        Error(res, 400, "The BBS name is empty once cleaned.");
        return;
    }
    tBbs = name;
    std::string secret;
    if (!MakeSecret(&secret)) {
        Error(res, 500, "The hub failed; try again later.");
        return;
    }
    int added = hub_db_enroll(gDb, name, hub_name_key(name), secret, Now());
    if (added == 0) {
        Error(res, 409, "That BBS name is already enrolled.");
    } else if (added < 0) {
        Error(res, 500, "The hub failed; try again later.");
    } else {
        std::string body = "{\"bbs\":";
        hub_json_append(body, name);
        body += ",\"secret\":";
        hub_json_append(body, secret);
        body += "}";
        res.body = body; res.content_type = "application/json";
    }
    OPENSSL_cleanse(&secret[0], secret.size());
}

/* ---- score exchange ---- */

void Upload(const HubRequest &req, HubResponse &res)
{
    std::unique_ptr<cj_doc> doc(new cj_doc);
    HubSigned s;
    if (!CheckSigned(req, res, doc.get(), &s)) return;
    std::string game;
    int t = hub_json_find(doc.get(), "game");
    if (t >= 0 && (!hub_json_string(doc.get(), t, 48, &game) || game != "grimby")) {
        Error(res, 400, "\"game\" must be grimby.");
        return;
    }
    int list = hub_json_find(doc.get(), "lines");
    std::vector<std::string> lines;
    bool ok = list >= 0 && doc->tok[list].type == '[';
    for (int e = list + 1; ok && e < doc->tok[list].next; e = doc->tok[e].next) {
        std::string line;
        ok = lines.size() < 16 && hub_json_string(doc.get(), e, 1024, &line);
        lines.push_back(line);
    }
    if (!ok || lines.empty()) {
        Error(res, 400, "\"lines\" must be a list of 1 to 16 outbox lines.");
        return;
    }
    char latest[9];
    hub_utc_date(s.now + 86400, latest);
    std::vector<int> results;
    int status = hub_db_upload(gDb, s, lines, latest, &results);
    if (status != 200) {
        SignedStepError(res, status);
        return;
    }
    static const char *const words[] = {"accepted", "duplicate", "rejected"};
    int counts[3] = {0, 0, 0};
    std::string body = "{\"results\":[";
    for (size_t i = 0; i < results.size(); i++) {
        body += i ? ",\"" : "\"";
        body += words[results[i]];
        body += "\"";
        counts[results[i]]++;
    }
    body += "],\"accepted\":" + std::to_string(counts[0]) +
            ",\"duplicate\":" + std::to_string(counts[1]) +
            ",\"rejected\":" + std::to_string(counts[2]) + "}";
    res.body = body; res.content_type = "application/json";
}

void Board(const HubRequest &req, HubResponse &res)
{
    bool daily = req.path == "/v1/scores/daily.tsv";
    char today[9], from[9], to[9], period[9];
    hub_utc_date(Now(), today);
    if (daily) {
        memcpy(from, today, 9);
        memcpy(to, today, 9);
        memcpy(period, today, 9);
    } else {
        snprintf(from, sizeof from, "%.6s01", today);
        snprintf(to, sizeof to, "%.6s31", today);
        snprintf(period, sizeof period, "%.6s", today);
    }
    std::string body;
    if (!hub_db_board(gDb, daily, from, to, gConfig->board_rows, &body)) {
        Error(res, 500, "The hub failed; try again later.");
        return;
    }
    res.headers.emplace_back("X-Grimby-Period", period);
    res.body = body; res.content_type = "text/tab-separated-values";
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

void Release(const HubRequest &req, HubResponse &res)
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
        Error(res, 404, "No such file.");
        return;
    }
    if (hub_api_has_header(req, "Range")) {
        Error(res, 416, "Ranges are not served.");
        return;
    }
    off_t size = 0;
    int fd = OpenRelease(sub, name, &size);
    if (fd < 0) {
        Error(res, 404, "No such file.");
        return;
    }
    res.headers.emplace_back("Accept-Ranges", "none");
    res.file_fd = fd;
    res.file_size = size;
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
void hub_api_start(const HubConfig *config, HubDb *db) { gConfig = config; gDb = db; }
void hub_api_error(int status, HubResponse *res) { Error(*res, status, StatusSentence(status)); }
void hub_api_handle(const HubRequest &req, HubResponse *res)
{
    tBbs.clear();
    bool get = req.method == "GET" || req.method == "HEAD";
    bool post = req.method == "POST";
    const std::string &p = req.path;
    if (post && p == "/v1/chat") Chat(req, *res);
    else if (post && p == "/v1/enroll/auto") Enroll(req, *res);
    else if (post && p == "/v1/scores/upload") Upload(req, *res);
    else if (get && (p == "/v1/scores/story.tsv" || p == "/v1/scores/daily.tsv")) Board(req, *res);
    else if (get && p.compare(0, 9, "/updates/") == 0) Release(req, *res);
    else if (!get && !post) hub_api_error(405, res);
    else hub_api_error(404, res);
    res->bbs = tBbs;
}
void hub_log_event(const char *peer, const char *what, int status)
{
    HubRequest req; req.peer = peer ? peer : ""; req.method = "-"; req.path = what;
    HubResponse res; res.status = status; hub_api_log(req, res, 0);
}
void hub_api_log(const HubRequest &req, const HubResponse &res, uint64_t ms)
{
    LogLine(req.peer.c_str(), req.method.c_str(), req.path, res.status, res.bbs, ms);
}
