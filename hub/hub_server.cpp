/* hub_server.cpp -- grimby-hub's HTTPS front. cpp-httplib (Debian's build,
 * with OpenSSL) carries HTTP and TLS so that no protocol parsing is ours;
 * OpenSSL also gives the HMAC and constant-time compare. What the library
 * lacks -- a deadline for a whole request, limits per address, a bounded
 * queue -- is added here around it: the library runs each connection on a
 * thread of our queue, and the TLS handshake tells us the socket. */
#include "hub_server.h"

#include <ctype.h>
#include <fcntl.h>
#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hub_db.h"
#include "hub_text.h"

namespace {

uint64_t MonoMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

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

/* ---- the connection guard ---- */

struct Slot {
    int fd = -1;           // our duplicate of the connection's socket
    uint64_t deadline = 0; // 0: none running
    std::string peer;
};

struct Conn {
    int slot = -1;
    bool registered = false;
    bool shed = false;
    uint64_t start = 0;
    uint64_t bytes = 0;      // TLS record bytes before the headers ended
    bool reading = true;     // the headers are still being read
    std::string peer;
    std::string bbs;
};

// The library caps each header line but not their number, and keeps them
// all: without a cap on the whole a client could fill memory within the
// deadline. (A body beyond 2,048 bytes is refused with 413 and discarded
// unread into memory.)
const uint64_t kHeaderBytes = 65536;

thread_local Conn tConn;

std::mutex gGuardLock;
std::vector<Slot> gSlots;
std::map<std::string, int> gPerAddress;
std::atomic<bool> gWatchStop{false};

// On the connection's own thread, as its TLS handshake starts. The socket
// is duplicated so that the watchdog's shutdown can never hit a number
// the library has closed and the kernel handed to someone else.
void ConnStart(const SSL *ssl)
{
    if (tConn.registered || tConn.slot < 0) return;
    int fd = SSL_get_fd(ssl);
    if (fd < 0) return;
    tConn.registered = true;
    tConn.start = MonoMs();
    char peer[INET6_ADDRSTRLEN] = "?";
    struct sockaddr_storage addr;
    socklen_t length = sizeof addr;
    if (getpeername(fd, (struct sockaddr *)&addr, &length) == 0) {
        if (addr.ss_family == AF_INET)
            inet_ntop(AF_INET, &((struct sockaddr_in *)&addr)->sin_addr, peer, sizeof peer);
        else if (addr.ss_family == AF_INET6)
            inet_ntop(AF_INET6, &((struct sockaddr_in6 *)&addr)->sin6_addr, peer, sizeof peer);
    }
    tConn.peer = peer;
    bool refused;
    {
        std::lock_guard<std::mutex> hold(gGuardLock);
        Slot &slot = gSlots[(size_t)tConn.slot];
        slot.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        slot.deadline = tConn.start + (uint64_t)gConfig->request_deadline_ms;
        slot.peer = peer;
        int count = ++gPerAddress[tConn.peer];
        refused = tConn.shed || count > gConfig->max_per_address;
        if (refused) {
            if (slot.fd >= 0) shutdown(slot.fd, SHUT_RDWR);
            slot.deadline = 0;
        }
    }
    // Logged outside the lock: a slow log must not hold up other connections.
    if (refused)
        LogLine(peer, "-", tConn.shed ? "(queue full)" : "(too many connections)", 503, "", 0);
}

void ConnEnd()
{
    if (!tConn.registered) return;
    std::lock_guard<std::mutex> hold(gGuardLock);
    Slot &slot = gSlots[(size_t)tConn.slot];
    if (slot.fd >= 0) close(slot.fd);
    slot.fd = -1;
    slot.deadline = 0;
    auto found = gPerAddress.find(tConn.peer);
    if (found != gPerAddress.end() && --found->second <= 0) gPerAddress.erase(found);
}

void SetDeadline(uint64_t deadline)
{
    if (!tConn.registered) return;
    std::lock_guard<std::mutex> hold(gGuardLock);
    gSlots[(size_t)tConn.slot].deadline = deadline;
}

// A handler runs: the request is read, and its deadline does not apply
// to the reply.
void RequestRead() { SetDeadline(0); }

// Every TLS record the client sends passes here, on the connection's thread.
void MessageCallback(int write_p, int, int content_type, const void *buf, size_t len, SSL *,
                     void *)
{
    if (write_p || content_type != SSL3_RT_HEADER || len < 5 || !tConn.registered ||
        !tConn.reading)
        return;
    const unsigned char *header = (const unsigned char *)buf;
    tConn.bytes += (uint64_t)(header[3] << 8 | header[4]);
    if (tConn.bytes <= kHeaderBytes) return;
    tConn.reading = false;
    LogLine(tConn.peer.c_str(), "-", "(headers too large)", 413, "", 0);
    std::lock_guard<std::mutex> hold(gGuardLock);
    Slot &slot = gSlots[(size_t)tConn.slot];
    if (slot.fd >= 0) shutdown(slot.fd, SHUT_RDWR);
    slot.deadline = 0;
}

// The first state change of the handshake comes before the first byte is
// read, so a client that sends nothing is under the deadline too.
void InfoCallback(const SSL *ssl, int where, int)
{
    if (where & (SSL_CB_HANDSHAKE_START | SSL_CB_LOOP)) ConnStart(ssl);
}

void Watchdog()
{
    while (!gWatchStop) {
        usleep(50 * 1000);
        uint64_t now = MonoMs();
        std::vector<std::string> cut;
        {
            std::lock_guard<std::mutex> hold(gGuardLock);
            for (Slot &slot : gSlots)
                if (slot.fd >= 0 && slot.deadline && now >= slot.deadline) {
                    shutdown(slot.fd, SHUT_RDWR);
                    slot.deadline = 0;
                    cut.push_back(slot.peer);
                }
        }
        for (const std::string &peer : cut)
            LogLine(peer.c_str(), "-", "(request deadline passed)", 408, "", 0);
    }
}

// Fixed threads and a bounded queue. A connection that finds the queue
// full is run on the accepting thread only to be closed at once, since
// each queued job owns its socket and must run to close it.
class HubQueue : public httplib::TaskQueue {
public:
    HubQueue(size_t threads, size_t max_queued) : max_queued_(max_queued)
    {
        for (size_t i = 0; i < threads; i++) threads_.emplace_back([this, i] { Work(i); });
    }

    void enqueue(std::function<void()> fn) override
    {
        std::unique_lock<std::mutex> hold(lock_);
        if (jobs_.size() >= max_queued_) {
            hold.unlock();
            tConn = Conn();
            tConn.slot = (int)threads_.size();
            tConn.shed = true;
            fn();
            ConnEnd();
            return;
        }
        jobs_.push_back(std::move(fn));
        wake_.notify_one();
    }

    // Waiting connections are still served: each was accepted, and the
    // library stops accepting before it shuts the queue down.
    void shutdown() override
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto &t : threads_) t.join();
    }

private:
    void Work(size_t index)
    {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> hold(lock_);
                wake_.wait(hold, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
            }
            tConn = Conn();
            tConn.slot = (int)index;
            fn();
            ConnEnd();
        }
    }

    size_t max_queued_;
    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
};

/* ---- replies ---- */

void Error(httplib::Response &res, int status, const char *sentence)
{
    std::string body = "{\"error\":";
    hub_json_append(body, sentence);
    body += "}";
    res.status = status;
    res.set_content(body, "application/json");
}

// A signed step the database refused: 403 for a (session, seq) already
// seen, anything else is the hub's own failure.
void SignedStepError(httplib::Response &res, int status)
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
    case 413: return "The body is larger than 2048 bytes.";
    case 414: return "The request line is too long.";
    case 416: return "Ranges are not served.";
    default: return status >= 500 ? "The hub failed; try again later." : "Request refused.";
    }
}

/* ---- signed requests ---- */

// Parses the body and checks what every signed request carries. On
// success fills s and returns true; otherwise the reply is set.
bool CheckSigned(const httplib::Request &req, httplib::Response &res, cj_doc *doc, HubSigned *s)
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
    std::string hex = req.get_header_value("X-Q-Orb-Signature");
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
    tConn.bbs = s->name;
    s->now = Now();
    int64_t off = timestamp - s->now;
    if (off > gConfig->time_window || -off > gConfig->time_window) {
        Error(res, 403, "The request's timestamp is too far from the hub's clock.");
        return false;
    }
    s->seq = seq;
    return true;
}

void Chat(const httplib::Request &req, httplib::Response &res)
{
    RequestRead();
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
    res.set_content(body, "application/json");
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

void Enroll(const httplib::Request &req, httplib::Response &res)
{
    RequestRead();
    int wait = EnrollWait(req.remote_addr, Now());
    if (wait > 0) {
        res.set_header("Retry-After", std::to_string(wait));
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
    tConn.bbs = name;
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
        res.set_content(body, "application/json");
    }
    OPENSSL_cleanse(&secret[0], secret.size());
}

/* ---- score exchange ---- */

void Upload(const httplib::Request &req, httplib::Response &res)
{
    RequestRead();
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
    res.set_content(body, "application/json");
}

void Board(const httplib::Request &req, httplib::Response &res)
{
    RequestRead();
    bool daily = req.matches[1] == "daily";
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
    res.set_header("X-Grimby-Period", period);
    res.set_content(body, "text/tab-separated-values");
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

void Release(const httplib::Request &req, httplib::Response &res)
{
    RequestRead();
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
    if (req.has_header("Range")) {
        Error(res, 416, "Ranges are not served.");
        return;
    }
    off_t size = 0;
    int fd = OpenRelease(sub, name, &size);
    if (fd < 0) {
        Error(res, 404, "No such file.");
        return;
    }
    // A slow reader gets time in proportion to the file (8 KB/s at least).
    SetDeadline(MonoMs() + (uint64_t)gConfig->request_deadline_ms + (uint64_t)size / 8);
    res.set_header("Accept-Ranges", "none");
    res.set_content_provider(
        (size_t)size, "application/octet-stream",
        [fd](size_t offset, size_t length, httplib::DataSink &sink) {
            char buffer[65536];
            size_t want = length < sizeof buffer ? length : sizeof buffer;
            ssize_t n = pread(fd, buffer, want, (off_t)offset);
            if (n <= 0) return false;
            return sink.write(buffer, (size_t)n);
        },
        [fd](bool) { close(fd); });
}

// The library listens with a backlog of 5: a burst of callers, or a flood,
// would fill it at once and every further SYN would wait a second for its
// retry. The listening socket is the library's, so it is reached here.
class HubServer : public httplib::SSLServer {
public:
    using httplib::SSLServer::SSLServer;
    bool Backlog(int backlog) { return ::listen(svr_sock_, backlog) == 0; }
};

/* ---- stopping ---- */

std::atomic<bool> gListenDone{false};

}  // namespace

int hub_serve(const HubConfig &config)
{
    gConfig = &config;
    // SIGTERM and SIGINT are taken by one thread with sigwait, so every
    // other thread (the library's included) must have them blocked first.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN); // a peer gone mid-reply is the write's error, not our end

    std::string error;
    int replay = 2 * config.time_window + 300;
    gDb = hub_db_open(config.database.c_str(), replay < 900 ? 900 : replay, &error);
    if (!gDb) {
        fprintf(stderr, "grimby-hub: cannot open the database %s: %s.\n",
                config.database.c_str(), error.c_str());
        return 1;
    }
    struct stat st;
    if (stat(config.release_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "grimby-hub: the release directory %s does not exist.\n",
                config.release_dir.c_str());
        hub_db_close(gDb);
        return 1;
    }
    gSlots.assign((size_t)config.threads + 1, Slot());

    HubServer server([&config](SSL_CTX &ctx) {
        SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
        SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                      SSL_OP_CIPHER_SERVER_PREFERENCE);
        SSL_CTX_set_info_callback(&ctx, InfoCallback);
        SSL_CTX_set_msg_callback(&ctx, MessageCallback);
        // Clients that resume get a ticket; keeping every session in a server
        // cache costs each new connection an allocation and a periodic sweep.
        SSL_CTX_set_session_cache_mode(&ctx, SSL_SESS_CACHE_OFF);
        return SSL_CTX_use_certificate_chain_file(&ctx, config.certificate.c_str()) == 1 &&
               SSL_CTX_use_PrivateKey_file(&ctx, config.key.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_check_private_key(&ctx) == 1;
    });
    if (!server.is_valid()) {
        fprintf(stderr, "grimby-hub: cannot load the certificate %s with the key %s.\n",
                config.certificate.c_str(), config.key.c_str());
        hub_db_close(gDb);
        return 1;
    }
    server.new_task_queue = [&config] {
        return new HubQueue((size_t)config.threads, (size_t)config.max_queued);
    };
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_keep_alive_timeout(5);
    server.set_keep_alive_max_count(100);
    server.set_payload_max_length(2048);
    server.set_tcp_nodelay(true);
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request &, httplib::Response &res) {
            if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
            Error(res, res.status, StatusSentence(res.status));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_logger([](const httplib::Request &req, const httplib::Response &res) {
        uint64_t now = MonoMs();
        LogLine(req.remote_addr.c_str(), req.method.c_str(), req.path, res.status, tConn.bbs,
                tConn.start ? now - tConn.start : 0);
        // The next request on a kept-alive connection gets a fresh deadline.
        tConn.start = now;
        tConn.bbs.clear();
        tConn.bytes = 0;
        tConn.reading = true;
        SetDeadline(now + (uint64_t)gConfig->request_deadline_ms);
    });
    server.set_pre_routing_handler([](const httplib::Request &, httplib::Response &) {
        tConn.reading = false;  // the headers are in
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Post("/v1/chat", Chat);
    server.Post("/v1/enroll/auto", Enroll);
    server.Post("/v1/scores/upload", Upload);
    server.Get("/v1/scores/(story|daily)\\.tsv", Board);
    server.Get("/updates/.*", Release);

    int port = config.port;
    if (port == 0) port = server.bind_to_any_port(config.listen);
    else if (!server.bind_to_port(config.listen, port)) port = -1;
    if (port <= 0 || !server.Backlog(1024)) {
        fprintf(stderr, "grimby-hub: cannot listen on %s:%d.\n", config.listen.c_str(),
                config.port);
        hub_db_close(gDb);
        return 1;
    }
    if (!config.port_file.empty()) {
        std::string temp = config.port_file + ".tmp";
        FILE *out = fopen(temp.c_str(), "w");
        bool ok = out && fprintf(out, "%d\n", port) > 0;
        if (out) ok = fclose(out) == 0 && ok;
        if (!ok || rename(temp.c_str(), config.port_file.c_str()) != 0) {
            fprintf(stderr, "grimby-hub: cannot write the port file %s.\n",
                    config.port_file.c_str());
            hub_db_close(gDb);
            return 1;
        }
    }
    fprintf(stderr, "grimby-hub: listening on %s:%d\n", config.listen.c_str(), port);

    std::thread watchdog(Watchdog);
    std::atomic<bool> signalled{false};
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        signalled = true;
        // stop() is lost if it comes before the accept loop has started.
        while (!gListenDone) {
            server.stop();
            usleep(20 * 1000);
        }
    });
    bool listened = server.listen_after_bind();
    gListenDone = true;
    if (!signalled) pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    gWatchStop = true;
    watchdog.join();
    hub_db_close(gDb);
    if (!signalled || !listened) {
        fprintf(stderr, "grimby-hub: the listening socket failed.\n");
        return 1;
    }
    fprintf(stderr, "grimby-hub: stopped.\n");
    return 0;
}
