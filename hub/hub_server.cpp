/* hub_server.cpp -- grimby-hub's HTTPS front. cpp-httplib (Debian's build,
 * with OpenSSL) carries HTTP and TLS so that no protocol parsing is ours;
 * the endpoints are hub_api's, reached through a thin adapter. What the library
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

#include "hub_api.h"
#include "hub_db.h"

namespace {

uint64_t MonoMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

const HubConfig *gConfig;
HubDb *gDb;


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
    bool routine = false;
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
        hub_log_event(peer, tConn.shed ? "(queue full)" : "(too many connections)", 503);
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
    hub_log_event(tConn.peer.c_str(), "(headers too large)", 413);
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
            hub_log_event(peer.c_str(), "(request deadline passed)", 408);
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
/* ---- the adapter to the endpoints ---- */

void Serve(const httplib::Request &req, httplib::Response &res)
{
    RequestRead();
    HubRequest in;
    in.method = req.method;
    in.path = req.path;
    in.peer = req.remote_addr;
    in.body = req.body;
    for (const auto &h : req.headers) in.headers.emplace_back(h.first, h.second);
    HubResponse out;
    hub_api_handle(in, &out);
    tConn.bbs = out.bbs;
    tConn.routine = out.routine;
    res.status = out.status;
    for (const auto &h : out.headers) res.set_header(h.first, h.second);
    if (out.file_fd < 0) {
        if (!out.content_type.empty()) res.set_content(out.body, out.content_type);
        return;
    }
    int fd = out.file_fd;
    // A slow reader gets time in proportion to the file (8 KB/s at least).
    SetDeadline(MonoMs() + (uint64_t)gConfig->request_deadline_ms + (uint64_t)out.file_size / 8);
    res.set_content_provider(
        (size_t)out.file_size, out.content_type.c_str(),
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
    hub_api_start(&config, gDb);
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
            HubResponse out;
            hub_api_error(res.status, &out);
            for (const auto &h : out.headers) res.set_header(h.first, h.second);
            res.set_content(out.body, out.content_type);
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_logger([](const httplib::Request &req, const httplib::Response &res) {
        uint64_t now = MonoMs();
        HubRequest in;
        in.method = req.method;
        in.path = req.path;
        in.peer = req.remote_addr;
        HubResponse out;
        out.status = res.status;
        out.bbs = tConn.bbs;
        out.routine = tConn.routine;
        hub_api_log(in, out, tConn.start ? now - tConn.start : 0);
        // The next request on a kept-alive connection gets a fresh deadline.
        tConn.start = now;
        tConn.bbs.clear();
        tConn.routine = false;
        tConn.bytes = 0;
        tConn.reading = true;
        SetDeadline(now + (uint64_t)gConfig->request_deadline_ms);
    });
    server.set_pre_routing_handler([](const httplib::Request &, httplib::Response &) {
        tConn.reading = false;  // the headers are in
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Get(".*", Serve);
    server.Post(".*", Serve);

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
