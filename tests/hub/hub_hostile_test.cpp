// Untrusted input: malformed and oversized requests, slow and flooding
// clients, and ways out of the release directory.
#include <arpa/inet.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "hub_limits.h"
#include "hub_test_util.h"
#include "testdir.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
        .count();
}

// Whether the hub closed the connection (at once) rather than holding it.
bool ClosedByHub(int fd, int wait_ms)
{
    struct timeval limit = {wait_ms / 1000, (wait_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char byte;
    return read(fd, &byte, 1) == 0;
}

// A TCP connection to the hub on loopback from a chosen source address
// (IPv4, or IPv6 to [::1]), nothing sent yet.
int Connect(const char *source, int port)
{
    sockaddr_storage from{}, to{};
    socklen_t size;
    if (strchr(source, ':')) {
        sockaddr_in6 *f = (sockaddr_in6 *)&from, *t = (sockaddr_in6 *)&to;
        f->sin6_family = t->sin6_family = AF_INET6;
        inet_pton(AF_INET6, source, &f->sin6_addr);
        t->sin6_addr = in6addr_loopback;
        t->sin6_port = htons((uint16_t)port);
        size = sizeof *f;
    } else {
        sockaddr_in *f = (sockaddr_in *)&from, *t = (sockaddr_in *)&to;
        f->sin_family = t->sin_family = AF_INET;
        inet_pton(AF_INET, source, &f->sin_addr);
        inet_pton(AF_INET, "127.0.0.1", &t->sin_addr);
        t->sin_port = htons((uint16_t)port);
        size = sizeof *f;
    }
    int fd = socket(from.ss_family, SOCK_STREAM, 0);
    // Any address of a prefix routed here as local, not only those assigned.
    int one = 1;
    setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &one, sizeof one);
    if (bind(fd, (sockaddr *)&from, size) != 0 || connect(fd, (sockaddr *)&to, size) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request written as given on a TLS connection from source; the whole
// reply as read until the hub closes (empty when it never answered).
std::string RawExchange(const HubProcess &hub, const std::string &request,
                        const char *source = "127.0.0.1")
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    int fd = Connect(source, hub.port());
    struct timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    std::string reply;
    if (SSL_connect(ssl) == 1) {
        SSL_write(ssl, request.data(), (int)request.size());
        char buffer[4096];
        for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) reply.append(buffer, (size_t)n);
    }
    SSL_free(ssl);
    close(fd);
    SSL_CTX_free(ctx);
    return reply;
}

int StatusOf(const std::string &reply)
{
    return reply.compare(0, 9, "HTTP/1.1 ") == 0 ? atoi(reply.c_str() + 9) : 0;
}

TEST(HubHostile, MalformedRequestsGetClearErrorsAndChangeNothing)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Target");
    const std::string ok = ChatBody(b, "poll", 0);
    auto with = [&](const std::string &from, const std::string &to) {
        std::string body = ok;
        size_t at = body.find(from);
        EXPECT_NE(std::string::npos, at) << from;
        return body.replace(at, from.size(), to);
    };
    std::string seq = "\"seq\":" + std::to_string(b.seq);
    const std::string bad[] = {
        "", "{", "{}", "[]", "{\"bbs\":\"Target\"}", "{\"bbs\":\"Target\",}", "nul",
        ok + "x", with(seq, "\"seq\":1e30"), with(seq, "\"seq\":99999999999999999999"),
        with(seq, "\"seq\":-1"), with(seq, "\"seq\":\"1\""), with(seq, "\"seq\":1.5"),
        with("\"cursor\":0", "\"cursor\":\"0\""), with("\"cursor\":0", "\"cursor\":[0]"),
        with("\"op\":\"poll\"", "\"op\":\"POLL\""), with("\"op\":\"poll\"", "\"op\":null"),
        with("\"bbs\":\"Target\"", "\"bbs\":\"Tar`get\""),
        with("\"bbs\":\"Target\"", "\"bbs\":\"Tar\x01get\""),
        with("\"bbs\":\"Target\"", "\"bbs\":\"Tar\\u0000get\""),
        with("\"caller\":\"", "\"caller\":\"zz"), with("\"session\":\"", "\"session\":\"../"),
        std::string(600, '[') + std::string(600, ']'),
    };
    for (const std::string &body : bad) {
        HubReply r = hub.Signed("/v1/chat", body, b.secret);
        EXPECT_EQ(400, r.status) << body;
        EXPECT_EQ(0u, r.body.find("{\"error\":\"")) << r.body;
    }
    std::string nul = ok;
    nul.insert(ok.size() - 1, std::string(1, '\0'));
    EXPECT_EQ(400, hub.Signed("/v1/chat", nul, b.secret).status);
    HubReply big = hub.Signed("/v1/chat", std::string(1 << 20, ' ') + ok, b.secret);
    EXPECT_EQ(413, big.status);
    EXPECT_EQ(413, hub.Post("/v1/enroll/auto", std::string(2049, ' ')).status);
    EXPECT_EQ(404, hub.Post("/v1/nothing", ok).status);
    // None of it used up the request's seq.
    EXPECT_EQ(200, hub.Signed("/v1/chat", ok, b.secret).status);
}

// Every byte of the signature counts, and only exactly 64 hex digits do.
TEST(HubHostile, SignatureOffByOneByteOrOneDigitIsRefused)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Signer");
    const std::string body = ChatBody(b, "poll", 0);
    const std::string good = HubSign(b.secret, body);
    std::vector<std::string> bad;
    for (size_t at : {0u, 31u, 32u, 62u, 63u}) {
        std::string one = good;
        one[at] = one[at] == '0' ? '1' : '0';
        bad.push_back(one);
    }
    bad.push_back(good.substr(0, 63));
    bad.push_back(good + "0");
    bad.push_back(good.substr(0, 62) + "zz");
    for (const std::string &signature : bad) {
        HubReply r = hub.Post("/v1/chat", body, signature);
        EXPECT_EQ(401, r.status) << signature;
        EXPECT_EQ("bad_signature", r.code) << signature;
    }
    std::string upper = good;
    for (char &c : upper) c = (char)toupper((unsigned char)c);
    EXPECT_EQ(200, hub.Post("/v1/chat", body, upper).status) << "none of it used up the seq";
}

TEST(HubHostile, ReleaseFilesAndNoWayOut)
{
    HubProcess hub;
    std::ofstream(hub.release_dir() + "/grimby/windows-x64.txt") << "game=grimby\n";
    std::ofstream(hub.release_dir() + "/grimby/windows-x64.sig") << std::string(384, 'S');
    std::ofstream(hub.release_dir() + "/packages/GRIMBY-SETUP-2.0.1.exe") << "MZ package";
    std::ofstream(hub.dir() + "/secret.txt") << "outside";
    ASSERT_EQ(0, symlink((hub.dir() + "/secret.txt").c_str(),
                         (hub.release_dir() + "/packages/link.exe").c_str()));
    mkdir((hub.release_dir() + "/packages/sub").c_str(), 0755);
    ASSERT_TRUE(hub.Start());

    HubReply r = hub.Get("/updates/grimby/windows-x64.txt");
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("game=grimby\n", r.body);
    EXPECT_EQ(384u, hub.Get("/updates/grimby/windows-x64.sig").body.size());
    EXPECT_EQ("MZ package", hub.Get("/updates/packages/GRIMBY-SETUP-2.0.1.exe").body);
    const char *refused[] = {
        "/updates/packages/link.exe", "/updates/packages/sub", "/updates/packages/",
        "/updates/packages/../../secret.txt", "/updates/packages/%2e%2e%2fsecret.txt",
        "/updates/packages/..%2F..%2Fsecret.txt", "/updates/grimby/../packages/GRIMBY-SETUP-2.0.1.exe",
        "/updates/grimby/linux.txt", "/updates/../secret.txt", "/updates/packages/.hidden",
        "/updates/packages/a%00b", "/updates/packages/GRIMBY-SETUP-2.0.1.exe/",
        "/updates//packages/GRIMBY-SETUP-2.0.1.exe"};
    for (const char *path : refused) {
        HubReply bad = hub.Get(path);
        EXPECT_EQ(404, bad.status) << path;
        EXPECT_EQ(std::string::npos, bad.body.find("outside")) << path;
    }
    EXPECT_EQ(416, hub.Get("/updates/grimby/windows-x64.txt", "bytes=0-3").status);
}

TEST(HubHostile, SlowClientIsCutAtTheDeadlineWhileOthersAreServed)
{
    HubProcess hub("\"request_deadline_ms\":1500");
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Patient");
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    int fd = Connect("127.0.0.2", hub.port());
    ASSERT_GE(fd, 0);
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    ASSERT_EQ(1, SSL_connect(ssl));
    Clock::time_point start = Clock::now();
    // One byte every 100 ms: every single read is quick, the request never ends.
    std::string request = "POST /v1/chat HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1000\r\n\r\n" +
                          std::string(1000, ' ');
    size_t sent = 0;
    while (sent < request.size() && MsSince(start) < 8000) {
        if (SSL_write(ssl, &request[sent], 1) != 1) break;
        sent++;
        if (sent == 10) {
            EXPECT_EQ(200, SendChat(hub, b, "poll", 0).status);
        }
        usleep(100 * 1000);
    }
    char byte;
    while (SSL_read(ssl, &byte, 1) > 0) {
    }
    EXPECT_LT(MsSince(start), 5000) << "cut after " << sent << " bytes";
    SSL_free(ssl);
    close(fd);

    // Silence before the handshake is cut as well.
    fd = Connect("127.0.0.2", hub.port());
    start = Clock::now();
    while (read(fd, &byte, 1) > 0) {
    }
    EXPECT_LT(MsSince(start), 5000);
    close(fd);
    SSL_CTX_free(ctx);
    // The hub writes the line as it cuts the connection, maybe just after.
    std::string log;
    size_t first = std::string::npos, second = std::string::npos;
    for (int i = 0; i < 100 && second == std::string::npos; i++, usleep(20 * 1000)) {
        log = hub.log();
        first = log.find("(request deadline passed)");
        if (first != std::string::npos) second = log.find("(request deadline passed)", first + 1);
    }
    EXPECT_NE(std::string::npos, second) << log;
}

TEST(HubHostile, EndlessHeadersAreCutNotStored)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    int fd = Connect("127.0.0.2", hub.port());
    struct timeval limit = {2, 0};  // a write the hub no longer reads fails
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    ASSERT_EQ(1, SSL_connect(ssl));
    std::string line = "X-Pad: " + std::string(1000, 'p') + "\r\n";
    std::string start = "GET /v1/scores/story.tsv HTTP/1.1\r\nHost: localhost\r\n";
    SSL_write(ssl, start.data(), (int)start.size());
    int written = 0;
    while (written < 5000 && SSL_write(ssl, line.data(), (int)line.size()) > 0) written++;
    SSL_write(ssl, "\r\n", 2);
    std::string reply;
    char buffer[1024];
    for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) reply.append(buffer, (size_t)n);
    EXPECT_EQ(std::string::npos, reply.find("HTTP/1.1 200")) << written << " lines";
    SSL_free(ssl);
    close(fd);
    SSL_CTX_free(ctx);
    EXPECT_NE(std::string::npos, hub.log().find("(headers too large)"));
    EXPECT_EQ(200, hub.Get("/v1/scores/story.tsv").status);
}

TEST(HubHostile, ConnectionFloodLeavesOthersServed)
{
    HubProcess hub("\"threads\":6,\"max_connections_per_address\":2,\"max_queued\":64,"
                   "\"request_deadline_ms\":8000");
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Bystander");
    std::vector<int> flood;
    for (int i = 0; i < 200; i++) {
        int fd = Connect("127.0.0.3", hub.port());
        if (fd >= 0) flood.push_back(fd);
    }
    ASSERT_GT(flood.size(), 100u);
    Clock::time_point start = Clock::now();
    ChatReply r;
    for (int attempt = 0; attempt < 3 && r.status != 200; attempt++) {
        r = SendChat(hub, b, "poll", 0);
    }
    EXPECT_EQ(200, r.status);
    EXPECT_LT(MsSince(start), 6000) << "served before the flood's deadline ran out";
    for (int fd : flood) close(fd);
    EXPECT_NE(std::string::npos, hub.log().find("(too many connections)"));
    EXPECT_EQ(0, hub.Stop());
}

}  // namespace

namespace {

TEST(HubService, StopFinishesTheRequestInFlightAndExitsZero)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Last Call");
    std::string body = ChatBody(b, "message", 0, "chat", "bye", "last words");
    std::string request = "POST /v1/chat HTTP/1.1\r\nHost: localhost\r\nX-Q-Orb-Signature: " +
                          HubSign(b.secret, body) + "\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    int fd = Connect("127.0.0.1", hub.port());
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    ASSERT_EQ(1, SSL_connect(ssl));
    size_t half = request.size() - 20;
    ASSERT_EQ((int)half, SSL_write(ssl, request.data(), (int)half));
    usleep(300 * 1000);
    kill(hub.pid(), SIGTERM);
    usleep(300 * 1000);
    ASSERT_EQ(20, SSL_write(ssl, request.data() + half, 20));
    std::string reply;
    char buffer[1024];
    for (int n; (n = SSL_read(ssl, buffer, sizeof buffer)) > 0;) reply.append(buffer, (size_t)n);
    EXPECT_EQ(0u, reply.find("HTTP/1.1 200")) << reply;
    EXPECT_NE(std::string::npos, reply.find("Ann@Last Call: last words"));
    SSL_free(ssl);
    close(fd);
    SSL_CTX_free(ctx);
    EXPECT_EQ(0, hub.Stop());
    EXPECT_NE(std::string::npos, hub.log().find("grimby-hub: stopped."));
}

// However a body is framed, it is counted before it is kept, and a
// refusal leaves the hub serving.
TEST(HubHostile, BodiesAreBoundedHoweverTheyAreSent)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Framer");
    const std::string head = "POST /v1/chat HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n";
    auto chunked = [](const std::string &body, size_t piece) {
        std::string out;
        for (size_t at = 0; at < body.size(); at += piece) {
            std::string part = body.substr(at, piece);
            char size[32];
            snprintf(size, sizeof size, "%zx\r\n", part.size());
            out += size + part + "\r\n";
        }
        return out + "0\r\n\r\n";
    };

    // A signed poll sent in chunks is served as it always was.
    std::string poll = ChatBody(b, "poll", 0);
    std::string sign = "X-Q-Orb-Signature: " + HubSign(b.secret, poll) + "\r\n";
    std::string reply = RawExchange(
        hub, head + sign + "Transfer-Encoding: chunked\r\n\r\n" + chunked(poll, 7));
    EXPECT_EQ(200, StatusOf(reply)) << reply;
    EXPECT_NE(std::string::npos, reply.find("\r\nDate: ")) << reply;

    struct Case {
        int status;
        std::string request;
    } cases[] = {
        // 64 KB in small chunks: refused once 2,048 bytes have come.
        {413, head + "Transfer-Encoding: chunked\r\n\r\n" + chunked(std::string(65536, ' '), 100)},
        // One chunk that announces more than the limit.
        {413, head + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFF\r\n" + std::string(4096, 'x')},
        {411, head + "\r\n" + poll},
        {413, head + "Content-Length: 999999999999\r\n\r\n" + std::string(8192, ' ')},
        {415, head + "Content-Encoding: gzip\r\nContent-Length: 20\r\n\r\n" + std::string(20, 'z')},
        {415, head + "Content-Encoding: br\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(poll, 50)},
        {415, head + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunked(poll, 50)},
        {400, head + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!"},
    };
    for (const Case &c : cases) {
        reply = RawExchange(hub, c.request);
        EXPECT_EQ(c.status, StatusOf(reply)) << c.request.substr(0, 120) << "\n" << reply;
        EXPECT_NE(std::string::npos, reply.find("{\"error\":\"")) << reply;
        EXPECT_EQ(200, SendChat(hub, b, "poll", 0).status) << "still serving";
    }
}

// Connections that never finish their request cost the hub memory, not
// its workers: with two workers and 256 stalled connections from 64
// addresses, a caller's poll is answered long before the deadline.
TEST(HubHostile, StalledConnectionsFromManyAddressesHoldNoWorker)
{
    HubProcess hub("\"threads\":2,\"max_queued\":8,\"max_connections_per_address\":4,"
                   "\"request_deadline_ms\":30000");
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Bystander");
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    std::vector<int> stalled;
    std::vector<SSL *> sessions;
    for (int a = 0; a < 64; a++) {
        std::string source = "127.0.9." + std::to_string(a + 1);
        for (int k = 0; k < 4; k++) {
            int fd = Connect(source.c_str(), hub.port());
            ASSERT_GE(fd, 0);
            stalled.push_back(fd);
            if (k == 0) {
                ASSERT_EQ(3, write(fd, "\x16\x03\x01", 3));  // a TLS record begun
            } else if (k == 1) {  // a request begun after a whole handshake
                SSL *ssl = SSL_new(ctx);
                SSL_set_fd(ssl, fd);
                ASSERT_EQ(1, SSL_connect(ssl));
                const std::string begun = "POST /v1/chat HTTP/1.1\r\nContent-Le";
                SSL_write(ssl, begun.data(), (int)begun.size());
                sessions.push_back(ssl);
            }
        }
    }
    Clock::time_point start = Clock::now();
    for (int i = 0; i < 5; i++) EXPECT_EQ(200, SendChat(hub, b, "poll", 0).status);
    EXPECT_LT(MsSince(start), 10000) << "polls waited for the stalled connections";

    // Connections are taken in turn, so all the stalled ones are counted
    // by now: a fifth from an address holding four is refused at once.
    int extra = Connect("127.0.9.1", hub.port());
    start = Clock::now();
    EXPECT_TRUE(ClosedByHub(extra, 10000));
    EXPECT_LT(MsSince(start), 5000);
    close(extra);
    for (SSL *ssl : sessions) SSL_free(ssl);
    for (int fd : stalled) close(fd);
    SSL_CTX_free(ctx);
    EXPECT_NE(std::string::npos, hub.log().find("(too many connections)")) << hub.log();
}

// One IPv6 /64 holds more addresses than a cap per address can count, so
// the hub counts the /64 too, for connections and for enrollments. Loopback has one IPv6 address, so the test
// runs again in a network namespace of its own where two whole /64s are
// local, and the connections come from many addresses of one of them.
TEST(HubHostile, OneIpv6NetIsCappedInConnectionsAndEnrollmentsWhateverItsAddresses)
{
    if (!getenv("GRIMBY_TEST_NETNS")) {
        if (system("unshare -rn true >/dev/null 2>&1") != 0 ||
            system("command -v ip >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "no network namespace (unshare -rn) or no ip command here";
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(n, 0);
        self[n] = '\0';
        TestDir dir;
        std::string out = dir.path("inner.log");
        int rc = system(("GRIMBY_TEST_NETNS=1 unshare -rn '" + std::string(self) +
                         "' --gtest_filter=HubHostile."
                         "OneIpv6NetIsCappedInConnectionsAndEnrollmentsWhateverItsAddresses > '" + out +
                         "' 2>&1").c_str());
        EXPECT_EQ(0, rc) << TestReadFile(out);
        return;
    }
    ASSERT_EQ(0, system("ip link set lo up && ip -6 route add local fd00:1::/64 dev lo &&"
                        " ip -6 route add local fd00:2::/64 dev lo"));
    HubProcess hub("\"max_connections_per_net64\":4,\"max_connections_per_address\":2,"
                   "\"request_deadline_ms\":30000,\"enroll_per_hour\":2");
    std::string config = TestReadFile(hub.config_file());
    const std::string loopback = "\"listen\":\"127.0.0.1\"";
    size_t at = config.find(loopback);
    ASSERT_NE(std::string::npos, at);
    config.replace(at, loopback.size(), "\"listen\":\"::\"");
    ASSERT_TRUE(TestWriteFile(hub.config_file(), config));
    ASSERT_TRUE(hub.Start()) << hub.log();

    std::vector<int> held;
    for (int i = 1; i <= 4; i++) {
        int fd = Connect(("fd00:1::" + std::to_string(i)).c_str(), hub.port());
        ASSERT_GE(fd, 0) << strerror(errno);
        ASSERT_EQ(3, write(fd, "\x16\x03\x01", 3));
        held.push_back(fd);
    }
    for (int fd : held) EXPECT_FALSE(ClosedByHub(fd, 200));
    int fifth = Connect("fd00:1::ab:cd", hub.port());
    ASSERT_GE(fifth, 0);
    EXPECT_TRUE(ClosedByHub(fifth, 5000)) << "a fifth address of the same /64 was let in";
    close(fifth);
    int other = Connect("fd00:2::1", hub.port());
    ASSERT_GE(other, 0);
    EXPECT_FALSE(ClosedByHub(other, 300)) << "another /64 was refused";
    close(other);

    // A connection that ends gives its place back.
    close(held.back());
    held.pop_back();
    bool let_in = false;
    for (int i = 0; i < 50 && !let_in; i++) {
        int again = Connect("fd00:1::ef", hub.port());
        ASSERT_GE(again, 0);
        let_in = !ClosedByHub(again, 200);
        if (let_in) held.push_back(again);
        else close(again);
    }
    EXPECT_TRUE(let_in);
    for (int fd : held) close(fd);
    EXPECT_NE(std::string::npos, hub.log().find("(too many connections from one /64)")) << hub.log();

    // Enrollment is limited per /64 too: two an hour here.
    auto enroll = [&](const char *source, const char *bbs) {
        std::string body = std::string("{\"bbs\":\"") + bbs + "\",\"game\":\"grimby\"}";
        return StatusOf(RawExchange(hub,
                                    "POST /v1/enroll/auto HTTP/1.1\r\nHost: localhost\r\n"
                                    "Content-Type: application/json\r\nConnection: close\r\n"
                                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                        body,
                                    source));
    };
    EXPECT_EQ(200, enroll("fd00:1::1", "First Net One"));
    EXPECT_EQ(200, enroll("fd00:1::2", "First Net Two"));
    EXPECT_EQ(429, enroll("fd00:1::3:4", "First Net Three"));
    EXPECT_EQ(200, enroll("fd00:2::9", "Second Net One"));
}

// Bad handshakes are logged, counted, and not one line each when they flood.
// The table the enrollment limit keeps (100,000 clients in the hub) at a
// size a test can fill: a flood of new clients forgets the one seen least
// recently, not everyone, so a client that keeps trying stays limited.
TEST(HubHostile, AFullEnrollmentTableForgetsOnlyTheLeastRecentClient)
{
    HubAttemptTable table(3);
    int64_t t = 1765000000;
    EXPECT_EQ(0, table.Wait("a", t, 2));
    EXPECT_EQ(0, table.Wait("a", t, 2));
    EXPECT_EQ(3600, table.Wait("a", t, 2));
    EXPECT_EQ(0, table.Wait("b", t + 1, 2));
    EXPECT_EQ(0, table.Wait("c", t + 2, 2));
    EXPECT_EQ(3597, table.Wait("a", t + 3, 2));  // refused, and now the most recent
    for (int i = 0; i < 50; i++) ASSERT_EQ(0, table.Wait("new" + std::to_string(i), t + 4, 2));
    EXPECT_EQ(0, table.Wait("b", t + 5, 2));     // forgotten: counted afresh
    EXPECT_EQ(0, table.Wait("a", t + 3600, 2));  // its hour is over

    HubAttemptTable limited(1000);
    for (int i = 0; i < 998; i++) ASSERT_EQ(0, limited.Wait("x" + std::to_string(i), t, 1));
    EXPECT_EQ(0, limited.Wait("keeps-trying", t, 1));
    for (int i = 0; i < 3000; i++) {
        ASSERT_GT(limited.Wait("keeps-trying", t + i, 1), 0) << i;
        limited.Wait("flood" + std::to_string(i), t + i, 1);
    }

    // One /64 is one client however it writes its addresses; IPv4 mapped is IPv4.
    EXPECT_EQ(hub_enroll_client("2001:db8:1:2::1"), hub_enroll_client("2001:db8:1:2:ffff:1:2:3"));
    EXPECT_NE(hub_enroll_client("2001:db8:1:2::1"), hub_enroll_client("2001:db8:1:3::1"));
    EXPECT_EQ("192.0.2.7", hub_enroll_client("::ffff:192.0.2.7"));
    EXPECT_EQ("192.0.2.7", hub_enroll_client("192.0.2.7"));
}

TEST(HubHostile, FailedHandshakesAreLoggedAtABoundedRate)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    for (int i = 0; i < 30; i++) {
        int fd = Connect("127.0.0.4", hub.port());
        const char plain[] = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
        ASSERT_EQ((ssize_t)sizeof plain - 1, write(fd, plain, sizeof plain - 1));
        char buffer[256];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
        close(fd);
    }
    EXPECT_EQ(200, hub.Get("/v1/scores/daily.tsv").status);
    EXPECT_EQ(0, hub.Stop());
    std::string log = hub.log();
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("(TLS handshake failed", at)) != std::string::npos; at++)
        lines++;
    EXPECT_EQ(20u, lines) << log;
    EXPECT_NE(std::string::npos, log.find("(10 more failed TLS handshakes in the last minute)"))
        << log;
    EXPECT_NE(std::string::npos, log.find("30 TLS handshakes failed since the start")) << log;
}

}  // namespace
