/* hub_server.cpp -- grimby-hub's network front: accepting, TLS, reading
 * requests, connection caps and writing replies; the endpoints are
 * hub_api's.
 *
 * Boost.Asio and Boost.Beast (Debian's libboost-dev, header-only) carry it.
 * Asio's epoll reactor holds a connection that is still handshaking or
 * sending its request as a few kilobytes of state, not a thread, so slow
 * clients cost memory only; Beast's HTTP/1.1 parser counts a body however
 * it is framed (chunked too) against the limit before it keeps a byte, so
 * no protocol parsing is ours. We chose them over libevent's HTTP server
 * because they show us each connection at accept (for the caps) and each
 * request at its header (for 411/413/415 before the body), which that
 * server hides, and over h2o for Debian's long-kept, widely used build.
 * Whole requests go to a fixed pool of worker threads running
 * hub_api_handle (which may wait on the database); their replies are
 * written back on the event loop. */
#include "hub_server.h"

#include <fcntl.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "hub_api.h"
#include "hub_db.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

const size_t kHeaderBytes = 65536;  // request line and headers together
const size_t kBodyBytes = 2048;     // the protocol's limit, however the body is sent
const size_t kTargetBytes = 8192;
const int kKeepAliveRequests = 100;
const size_t kDrainBytes = 4u << 20; // read and dropped after an early refusal

uint64_t MonoMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

const HubConfig *gConfig;
asio::io_context *gIo;
std::atomic<bool> gStopping{false};

/* ---- what the front saw, logged at a bounded rate ---- */

// A flood of refused connections or failed handshakes must not become a
// flood of log lines: each kind writes its first lines of a minute one by
// one and then only counts; the count is written when the minute ends.
enum FrontEvent { FE_REFUSED, FE_DEADLINE, FE_HANDSHAKE, FE_MALFORMED, FE_KINDS };
const char *const kEventNames[FE_KINDS] = {"refused connections", "requests past the deadline",
                                           "failed TLS handshakes", "malformed requests"};
const int kEventLinesPerMinute = 20;

struct EventCount {
    int logged = 0;
    long held = 0;   // not logged one by one this minute
    long total = 0;  // since the start
};
std::mutex gEventLock;
EventCount gEvents[FE_KINDS];

void Event(FrontEvent kind, const std::string &peer, const std::string &what, int status)
{
    bool write;
    {
        std::lock_guard<std::mutex> hold(gEventLock);
        EventCount &e = gEvents[kind];
        e.total++;
        write = e.logged < kEventLinesPerMinute;
        if (write) e.logged++;
        else e.held++;
    }
    if (write) hub_log_event(peer.c_str(), what.c_str(), status);
}

void EventMinute()
{
    long held[FE_KINDS];
    {
        std::lock_guard<std::mutex> hold(gEventLock);
        for (int k = 0; k < FE_KINDS; k++) {
            held[k] = gEvents[k].held;
            gEvents[k].held = 0;
            gEvents[k].logged = 0;
        }
    }
    for (int k = 0; k < FE_KINDS; k++)
        if (held[k]) {
            std::string what = "(" + std::to_string(held[k]) + " more " + kEventNames[k] +
                               " in the last minute)";
            hub_log_event("-", what.c_str(), 0);
        }
}

/* ---- connection caps ---- */

std::mutex gCapLock;
int gConnections;
std::unordered_map<std::string, int> gPerAddress, gPerNet;

// An IPv6 client is counted per address and per /64 as well: one /64
// holds more addresses than any cap per address can count.
struct Peer {
    std::string address, net;  // net: the /64, for IPv6 only
};

Peer PeerOf(const tcp::endpoint &endpoint)
{
    Peer p;
    asio::ip::address a = endpoint.address();
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    p.address = a.to_string();
    if (a.is_v6()) {
        asio::ip::address_v6::bytes_type bytes = a.to_v6().to_bytes();
        for (size_t i = 8; i < 16; i++) bytes[i] = 0;
        p.net = asio::ip::address_v6(bytes).to_string() + "/64";
    }
    return p;
}

void Uncount(std::unordered_map<std::string, int> &map, const std::string &key)
{
    auto found = map.find(key);
    if (found != map.end() && --found->second <= 0) map.erase(found);
}

// Counts the connection in, or returns why it is refused.
const char *Admit(const Peer &p)
{
    std::lock_guard<std::mutex> hold(gCapLock);
    if (gConnections >= gConfig->max_connections) return "(connection cap reached)";
    auto address = gPerAddress.find(p.address);
    if (address != gPerAddress.end() && address->second >= gConfig->max_per_address)
        return "(too many connections)";
    if (!p.net.empty()) {
        auto net = gPerNet.find(p.net);
        if (net != gPerNet.end() && net->second >= gConfig->max_per_net64)
            return "(too many connections from one /64)";
        gPerNet[p.net]++;
    }
    gPerAddress[p.address]++;
    gConnections++;
    return nullptr;
}

void Leave(const Peer &p)
{
    std::lock_guard<std::mutex> hold(gCapLock);
    gConnections--;
    Uncount(gPerAddress, p.address);
    if (!p.net.empty()) Uncount(gPerNet, p.net);
}

/* ---- the worker pool ---- */

// Fixed threads and a bounded queue of whole requests: a request that
// finds the queue full gets 503 at once instead of waiting without end.
class WorkerPool {
public:
    WorkerPool(int threads, size_t max_queued) : max_queued_(max_queued)
    {
        for (int i = 0; i < threads; i++) threads_.emplace_back([this] { Work(); });
    }

    bool Submit(std::function<void()> job)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (jobs_.size() >= max_queued_) return false;
            jobs_.push_back(std::move(job));
        }
        // Woken after the lock is free, the worker does not wake only to wait for it.
        wake_.notify_one();
        return true;
    }

    // Runs what is queued, then ends the threads.
    void Stop()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto &t : threads_) t.join();
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> hold(lock_);
                wake_.wait(hold, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    size_t max_queued_;
    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
};

WorkerPool *gWorkers;

/* ---- the Date header ---- */

std::string HttpDate()
{
    char text[64];
    time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

/* ---- one connection ---- */

class Conn;
std::mutex gConnLock;
std::list<std::weak_ptr<Conn>> gConns;

class Conn : public std::enable_shared_from_this<Conn> {
public:
    Conn(tcp::socket socket, asio::ssl::context &tls, const Peer &peer)
        : stream_(std::move(socket), tls), peer_(peer)
    {
        // Asio asks OpenSSL to free a connection's record buffers after each
        // record and allocate them again for the next, a handful of times in
        // every handshake. Kept instead for the connection's short life (at
        // most 34 KB more each, under the connection cap): polls per second
        // about 3 % up.
        SSL_clear_mode(stream_.native_handle(), SSL_MODE_RELEASE_BUFFERS);
    }

    ~Conn()
    {
        {
            std::lock_guard<std::mutex> hold(gConnLock);
            gConns.erase(self_);
        }
        Leave(peer_);
    }

    void Start()
    {
        {
            std::lock_guard<std::mutex> hold(gConnLock);
            self_ = gConns.insert(gConns.end(), weak_from_this());
        }
        request_start_ = MonoMs();
        Deadline(gConfig->request_deadline_ms);
        stream_.async_handshake(asio::ssl::stream_base::server,
                                [self = shared_from_this()](error_code ec) {
                                    self->OnHandshake(ec);
                                });
    }

    // At stop: a connection with no request under way is closed; one
    // whose request is arriving is served first.
    void StopIfIdle()
    {
        asio::post(stream_.get_executor(), [self = shared_from_this()] {
            if (self->state_ == kHandshake || (self->state_ == kHeader && self->buffer_.size() == 0))
                beast::get_lowest_layer(self->stream_).close();
        });
    }

private:
    void Deadline(uint64_t ms)
    {
        beast::get_lowest_layer(stream_).expires_after(std::chrono::milliseconds(ms));
    }

    void OnHandshake(error_code ec)
    {
        if (ec) {
            if (ec == beast::error::timeout)
                Event(FE_DEADLINE, peer_.address, "(request deadline passed)", 408);
            else if (ec != asio::error::eof && ec != asio::error::connection_reset &&
                     ec != asio::error::operation_aborted)
                Event(FE_HANDSHAKE, peer_.address,
                      "(TLS handshake failed: " + ec.message() + ")", 0);
            return;
        }
        ReadHeader();
    }

    void ReadHeader()
    {
        state_ = kHeader;
        parser_.reset(new http::request_parser<http::string_body>());
        parser_->header_limit(kHeaderBytes);
        parser_->body_limit(kBodyBytes);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](error_code ec, size_t) {
                                    self->OnHeader(ec);
                                });
    }

    // Whatever ended a read that did not give a whole request.
    void ReadFailed(error_code ec)
    {
        if (ec == beast::error::timeout) {
            Event(FE_DEADLINE, peer_.address, "(request deadline passed)", 408);
        } else if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            Event(FE_MALFORMED, peer_.address, "(headers too large)", 413);
        } else if (ec == http::error::body_limit) {
            Refuse(413, "(body too large)");
        } else if (ec == http::error::end_of_stream || ec == asio::error::eof ||
                   ec == asio::error::operation_aborted || ec == asio::error::connection_reset ||
                   ec == asio::ssl::error::stream_truncated || ec == http::error::partial_message) {
            // the client went away
        } else if (ec.category() == http::make_error_code(http::error::bad_target).category()) {
            Refuse(400, "(malformed request)");
        }
    }

    void OnHeader(error_code ec)
    {
        state_ = kBusy;
        if (ec) {
            ReadFailed(ec);
            return;
        }
        if (!request_start_) request_start_ = MonoMs();
        const http::request<http::string_body> &req = parser_->get();
        if (req.target().size() > kTargetBytes) {
            Refuse(414, "(request line too long)");
            return;
        }
        auto encoding = req.find(http::field::content_encoding);
        if (encoding != req.end() && !beast::iequals(encoding->value(), "identity")) {
            Refuse(415, "(body with a Content-Encoding)");
            return;
        }
        // "gzip, chunked" would hand the handlers packed bytes.
        auto transfer = req.find(http::field::transfer_encoding);
        if (transfer != req.end() && !beast::iequals(transfer->value(), "chunked")) {
            Refuse(415, "(body with a transfer coding)");
            return;
        }
        boost::optional<uint64_t> length = parser_->content_length();
        if (req.method() == http::verb::post && !parser_->chunked() && !length) {
            Refuse(411, "(body without a length)");
            return;
        }
        if (length && *length > kBodyBytes) {
            Refuse(413, "(body too large)");
            return;
        }
        auto expect = req.find(http::field::expect);
        if (expect != req.end() && beast::iequals(expect->value(), "100-continue") &&
            !parser_->is_done()) {
            auto head = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
            http::async_write(stream_, *head,
                              [self = shared_from_this(), head](error_code e, size_t) {
                                  if (!e) self->ReadBody();
                              });
            return;
        }
        ReadBody();
    }

    void ReadBody()
    {
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](error_code ec, size_t) {
                             if (ec) self->ReadFailed(ec);
                             else self->Dispatch();
                         });
    }

    void Dispatch()
    {
        http::request<http::string_body> req = parser_->release();
        parser_.reset();
        auto request = std::make_shared<HubRequest>();
        request->method = std::string(req.method_string());
        beast::string_view target = req.target();
        request->path = std::string(target.substr(0, target.find('?')));
        request->peer = peer_.address;
        for (const auto &field : req)
            request->headers.emplace_back(std::string(field.name_string()),
                                          std::string(field.value()));
        request->body = std::move(req.body());
        keep_alive_ = req.keep_alive() && ++served_ < kKeepAliveRequests;
        // The reply has its own time; the request's deadline is over.
        beast::get_lowest_layer(stream_).expires_never();
        uint64_t start = request_start_;
        request_start_ = 0;
        auto self = shared_from_this();
        // Held so that the event loop runs until this reply is written.
        auto guard = std::make_shared<asio::executor_work_guard<asio::io_context::executor_type>>(
            gIo->get_executor());
        bool queued = gWorkers->Submit([self, request, start, guard] {
            auto res = std::make_shared<HubResponse>();
            hub_api_handle(*request, res.get());
            hub_api_log(*request, *res, MonoMs() - start);
            bool head = request->method == "HEAD";
            asio::post(self->stream_.get_executor(),
                       [self, res, head] { self->Write(*res, head, false); });
            guard->reset();
        });
        if (!queued) {
            HubResponse busy;
            hub_api_error(503, &busy);
            busy.headers.emplace_back("Retry-After", "1");
            hub_api_log(*request, busy, MonoMs() - start);
            Write(busy, false, false);
        }
    }

    // A request refused from its header: the reply, then the connection
    // is closed and whatever the client still sends is dropped unread.
    void Refuse(int status, const char *what)
    {
        Event(FE_MALFORMED, peer_.address, what, status);
        HubResponse res;
        hub_api_error(status, &res);
        keep_alive_ = false;
        Write(res, false, true);
    }

    template <class Body>
    void Head(http::response<Body> &out, const HubResponse &res, bool close)
    {
        if (!res.content_type.empty()) out.set(http::field::content_type, res.content_type);
        for (const auto &h : res.headers) out.insert(h.first, h.second);
        if (out.find(http::field::date) == out.end()) out.set(http::field::date, HttpDate());
        out.keep_alive(!close);
    }

    void Write(const HubResponse &res, bool head, bool refused)
    {
        bool close = !keep_alive_ || gStopping;
        uint64_t size = res.file_fd >= 0     ? (uint64_t)res.file_size
                        : res.shared_body ? res.shared_body->size()
                                          : res.body.size();
        // A slow reader gets time in proportion to the reply (8 KB/s at least).
        Deadline((uint64_t)gConfig->request_deadline_ms + size / 8);
        auto self = shared_from_this();
        auto done = [self, close, refused](error_code ec, size_t) {
            if (ec) return;
            if (close || refused) self->Close();
            else {
                self->Deadline(gConfig->request_deadline_ms);
                self->ReadHeader();
            }
        };
        if (!head && res.shared_body && res.file_fd < 0) {
            auto out = std::make_shared<http::response<http::span_body<const char>>>(
                (http::status)res.status, 11);
            Head(*out, res, close);
            std::shared_ptr<const std::string> body = res.shared_body;
            out->body() = http::span_body<const char>::value_type(body->data(), body->size());
            out->prepare_payload();
            http::async_write(stream_, *out,
                              [out, body, done](error_code ec, size_t n) { done(ec, n); });
            return;
        }
        if (head || res.file_fd < 0) {
            if (res.file_fd >= 0) ::close(res.file_fd);
            auto out = std::make_shared<http::response<http::string_body>>(
                (http::status)res.status, 11);
            Head(*out, res, close);
            if (head) {
                out->content_length(size);
                auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*out);
                http::async_write_header(stream_, *serializer,
                                         [out, serializer, done](error_code ec, size_t n) { done(ec, n); });
            } else {
                out->body() = res.body;
                out->prepare_payload();
                http::async_write(stream_, *out,
                                  [out, done](error_code ec, size_t n) { done(ec, n); });
            }
            return;
        }
        auto out = std::make_shared<http::response<http::file_body>>((http::status)res.status, 11);
        Head(*out, res, close);
        beast::file file;
        file.native_handle(res.file_fd);
        error_code ec;
        out->body().reset(std::move(file), ec);
        out->prepare_payload();
        http::async_write(stream_, *out, [out, done](error_code e, size_t n) { done(e, n); });
    }

    // Ends the connection after a reply: our side's sending is shut, and
    // what the client still sends (the rest of a refused body) is read and
    // dropped for a while, so that it reads our reply instead of a reset.
    void Close()
    {
        tcp::socket &socket = beast::get_lowest_layer(stream_).socket();
        error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
        Deadline(2000);
        Drain();
    }

    void Drain()
    {
        auto scratch = std::make_shared<std::array<char, 16384>>();
        beast::get_lowest_layer(stream_).async_read_some(
            asio::buffer(*scratch), [self = shared_from_this(), scratch](error_code ec, size_t n) {
                self->drained_ += n;
                if (!ec && self->drained_ < kDrainBytes) self->Drain();
            });
    }

    beast::ssl_stream<beast::tcp_stream> stream_;
    Peer peer_;
    beast::flat_buffer buffer_{kHeaderBytes + 4096};
    std::unique_ptr<http::request_parser<http::string_body>> parser_;
    std::list<std::weak_ptr<Conn>>::iterator self_;
    uint64_t request_start_ = 0;
    size_t drained_ = 0;
    int served_ = 0;
    bool keep_alive_ = false;
    enum { kHandshake, kHeader, kBusy } state_ = kHandshake;
};

/* ---- accepting ---- */

struct Front {
    asio::io_context *io;
    tcp::acceptor *acceptor;
    asio::ssl::context *tls;
    asio::steady_timer *retry;
};

void Accept(Front *front)
{
    front->acceptor->async_accept(
        asio::make_strand(*front->io), [front](error_code ec, tcp::socket socket) {
            if (!front->acceptor->is_open()) return;
            if (ec) {
                // Out of descriptors or memory: wait a little rather than spin.
                front->retry->expires_after(std::chrono::milliseconds(100));
                front->retry->async_wait([front](error_code e) {
                    if (!e) Accept(front);
                });
                return;
            }
            error_code peer_ec;
            tcp::endpoint endpoint = socket.remote_endpoint(peer_ec);
            if (!peer_ec) {
                Peer peer = PeerOf(endpoint);
                const char *refused = gStopping ? "(stopping)" : Admit(peer);
                if (refused) {
                    Event(FE_REFUSED, peer.address, refused, 503);
                    socket.close(peer_ec);
                } else {
                    socket.set_option(tcp::no_delay(true), peer_ec);
                    std::make_shared<Conn>(std::move(socket), *front->tls, peer)->Start();
                }
            }
            Accept(front);
        });
}

void EveryMinute(asio::steady_timer *timer)
{
    timer->expires_after(std::chrono::seconds(60));
    timer->async_wait([timer](error_code ec) {
        if (ec) return;
        EventMinute();
        EveryMinute(timer);
    });
}

bool LoadTls(asio::ssl::context &tls, const HubConfig &config)
{
    SSL_CTX *ctx = tls.native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                 SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Clients that resume get a ticket; keeping every session in a server
    // cache costs each new connection an allocation and a periodic sweep.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return SSL_CTX_use_certificate_chain_file(ctx, config.certificate.c_str()) == 1 &&
           SSL_CTX_use_PrivateKey_file(ctx, config.key.c_str(), SSL_FILETYPE_PEM) == 1 &&
           SSL_CTX_check_private_key(ctx) == 1;
}

// Binds without SO_REUSEPORT: a second hub on a port in use must fail at
// start, not share the port and split the network between two databases.
bool Listen(tcp::acceptor &acceptor, const HubConfig &config, int *port, std::string *why)
{
    error_code ec;
    asio::ip::address address = asio::ip::make_address(config.listen, ec);
    if (ec) {
        *why = "\"" + config.listen + "\" is not an address to listen on";
        return false;
    }
    tcp::endpoint endpoint(address, (unsigned short)config.port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (ec == asio::error::address_in_use) {
        *why = "the port is in use (is another hub running?)";
        return false;
    }
    if (!ec) acceptor.listen(1024, ec);
    if (ec) {
        *why = ec.message();
        return false;
    }
    *port = acceptor.local_endpoint(ec).port();
    return !ec;
}

bool WritePortFile(const std::string &path, int port)
{
    std::string temp = path + ".tmp";
    FILE *out = fopen(temp.c_str(), "w");
    bool ok = out && fprintf(out, "%d\n", port) > 0;
    if (out) ok = fclose(out) == 0 && ok;
    return ok && rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int hub_serve(const HubConfig &config)
{
    gConfig = &config;
    signal(SIGPIPE, SIG_IGN);  // a peer gone mid-reply is the write's error, not our end
    // Each held connection is a descriptor: take all the system allows us,
    // so the connection caps, not the default 1,024, decide who waits.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    struct stat st;
    if (stat(config.release_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "grimby-hub: the release directory %s does not exist.\n",
                config.release_dir.c_str());
        return 1;
    }
    asio::io_context io;
    gIo = &io;
    asio::ssl::context tls(asio::ssl::context::tls_server);
    if (!LoadTls(tls, config)) {
        fprintf(stderr, "grimby-hub: cannot load the certificate %s with the key %s.\n",
                config.certificate.c_str(), config.key.c_str());
        return 1;
    }
    // The port before the database: a second hub started by mistake ends
    // here without touching the first one's files.
    tcp::acceptor acceptor(io);
    int port = 0;
    std::string error;
    if (!Listen(acceptor, config, &port, &error)) {
        fprintf(stderr, "grimby-hub: cannot listen on %s:%d: %s.\n", config.listen.c_str(),
                config.port, error.c_str());
        return 1;
    }
    int replay = 2 * config.time_window + 300;
    HubDb *db = hub_db_open(config.database.c_str(), replay < 900 ? 900 : replay, &error);
    if (!db) {
        fprintf(stderr, "grimby-hub: cannot open the database %s: %s.\n",
                config.database.c_str(), error.c_str());
        return 1;
    }
    hub_api_start(&config, db);
    if (!config.port_file.empty() && !WritePortFile(config.port_file, port)) {
        fprintf(stderr, "grimby-hub: cannot write the port file %s.\n", config.port_file.c_str());
        hub_db_close(db);
        return 1;
    }
    fprintf(stderr, "grimby-hub: listening on %s:%d\n", config.listen.c_str(), port);

    WorkerPool workers(config.threads, (size_t)config.max_queued);
    gWorkers = &workers;
    asio::steady_timer retry(io), minute(io);
    Front front = {&io, &acceptor, &tls, &retry};
    Accept(&front);
    EveryMinute(&minute);

    // The event loop ends by itself once the acceptor is closed and every
    // connection has finished: requests under way are served first.
    asio::signal_set stop(io, SIGTERM, SIGINT);
    stop.async_wait([&](error_code ec, int) {
        if (ec) return;
        gStopping = true;
        error_code ignored;
        acceptor.close(ignored);
        retry.cancel();
        minute.cancel();
        std::vector<std::shared_ptr<Conn>> open;
        {
            std::lock_guard<std::mutex> hold(gConnLock);
            for (auto &weak : gConns)
                if (auto conn = weak.lock()) open.push_back(conn);
        }
        for (auto &conn : open) conn->StopIfIdle();
    });

    unsigned cores = std::thread::hardware_concurrency();
    size_t loops = cores < 1 ? 1 : cores > 8 ? 8 : cores;
    std::vector<std::thread> threads;
    for (size_t i = 1; i < loops; i++) threads.emplace_back([&io] { io.run(); });
    io.run();
    for (auto &t : threads) t.join();
    workers.Stop();
    gWorkers = nullptr;
    EventMinute();
    hub_db_close(db);
    long failed;
    {
        std::lock_guard<std::mutex> hold(gEventLock);
        failed = gEvents[FE_HANDSHAKE].total;
    }
    fprintf(stderr, "grimby-hub: %ld TLS handshakes failed since the start.\n", failed);
    fprintf(stderr, "grimby-hub: stopped.\n");
    return 0;
}
