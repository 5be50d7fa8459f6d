// The Linux lobby transport against a real HTTPS server on 127.0.0.1 with a
// CA made for the test: what it sends, which replies it takes, and every
// server it must refuse.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "https_server.h"
#include "qorb_chat_int.h"
#include "session.h"
#include "testdir.h"

namespace {

// The CA every request of these tests trusts.
std::string g_ca;

struct Tls {
    TestDir dir;
    TestTlsFiles files;
    Tls()
    {
        EXPECT_TRUE(TestMakeTlsFiles(dir.root(), &files));
        g_ca = files.ca;
    }
};

std::string Url(const TestHttpsServer &server, const char *host = "localhost")
{
    return "https://" + std::string(host) + ":" + std::to_string(server.port()) + "/v1/chat";
}

int Request(const std::string &url, std::string *reply, long *status, const char *signature = nullptr)
{
    static char buffer[QC_REPLY_SIZE];
    int ok = pn_request(url.c_str(), g_ca.c_str(), "{\"op\":\"poll\"}", signature, buffer, sizeof buffer, status);
    *reply = buffer;
    return ok;
}

const char kSignature[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

} // namespace

TEST(ChatTransport, PostsTheBodyWithItsHeadersAndReturnsAnyStatus)
{
    Tls tls;
    TestHttpsServer server;
    TestHttpsRequest seen;
    ASSERT_TRUE(server.Start(tls.files, [&](const TestHttpsRequest &request) {
        seen = request;
        TestHttpsReply reply;
        if (request.path == "/moved") {
            reply.status = 302;
            reply.location = "/v1/chat";
        } else if (request.path == "/broken") {
            reply.status = 503;
            reply.body = "{\"error\":\"down\"}";
        } else {
            reply.body = "{\"players\":1}";
        }
        return reply;
    }));
    std::string reply;
    long status = 0;
    ASSERT_TRUE(Request(Url(server), &reply, &status, kSignature));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(reply, "{\"players\":1}");
    EXPECT_EQ(seen.body, "{\"op\":\"poll\"}");
    auto header = [&](const char *name) {
        auto it = seen.headers.find(name);
        return it == seen.headers.end() ? std::string("(none)") : it->second;
    };
    EXPECT_EQ(header("content-type"), "application/json");
    EXPECT_EQ(header("x-q-orb-signature"), kSignature);
    EXPECT_EQ(header("user-agent"), "Q-Orb Shared Lobby/1.0");

    ASSERT_TRUE(Request(Url(server), &reply, &status));
    EXPECT_EQ(header("x-q-orb-signature"), "(none)");
    EXPECT_FALSE(Request(Url(server), &reply, &status, "abc"));

    // A redirect comes back as it is, never followed.
    int before = server.requests();
    ASSERT_TRUE(Request("https://localhost:" + std::to_string(server.port()) + "/moved", &reply, &status));
    EXPECT_EQ(status, 302);
    EXPECT_EQ(server.requests(), before + 1);
    ASSERT_TRUE(Request("https://localhost:" + std::to_string(server.port()) + "/broken", &reply, &status));
    EXPECT_EQ(status, 503);
}

TEST(ChatTransport, ReplyMustLeaveRoomForItsTerminator)
{
    Tls tls;
    TestHttpsServer server;
    size_t size = 0;
    ASSERT_TRUE(server.Start(tls.files, [&](const TestHttpsRequest &) {
        TestHttpsReply reply;
        reply.body = std::string(size, 'x');
        return reply;
    }));
    std::string reply;
    long status = 0;
    size = QC_REPLY_SIZE - 1;
    EXPECT_TRUE(Request(Url(server), &reply, &status));
    EXPECT_EQ(reply.size(), size);
    size = QC_REPLY_SIZE;
    EXPECT_FALSE(Request(Url(server), &reply, &status));
    EXPECT_EQ(reply, "");
}

TEST(ChatTransport, RefusesUntrustedWrongNameOldTlsAndPlainHttp)
{
    Tls tls;
    TestHttpsServer server, old;
    auto answer = [](const TestHttpsRequest &) {
        TestHttpsReply reply;
        reply.body = "{}";
        return reply;
    };
    ASSERT_TRUE(server.Start(tls.files, answer));
    ASSERT_TRUE(old.Start(tls.files, answer, 0x0302));
    std::string reply;
    long status = 0;
    EXPECT_TRUE(Request(Url(server), &reply, &status));
    EXPECT_FALSE(Request(Url(server, "127.0.0.1"), &reply, &status));
    EXPECT_FALSE(Request(Url(old), &reply, &status));
    EXPECT_FALSE(Request("http://localhost:" + std::to_string(server.port()) + "/v1/chat", &reply, &status));
    EXPECT_FALSE(Request("HTTPS://localhost:" + std::to_string(server.port()) + "/v1/chat", &reply, &status));
    EXPECT_FALSE(Request("https://local\xff" "host/v1/chat", &reply, &status));
    g_ca = tls.files.other_ca;
    EXPECT_FALSE(Request(Url(server), &reply, &status));
    g_ca = tls.files.ca;
}

TEST(ChatTransport, StalledAndClosedServersFailWithinTheCap)
{
    Tls tls;
    TestHttpsServer server;
    ASSERT_TRUE(server.Start(tls.files, [](const TestHttpsRequest &) {
        TestHttpsReply reply;
        reply.stall_ms = 30000;
        return reply;
    }));
    std::string reply;
    long status = 0;
    uint64_t start = TestNowMs();
    EXPECT_FALSE(Request(Url(server), &reply, &status));
    uint64_t took = TestNowMs() - start;
    EXPECT_GE(took, 5500u);
    EXPECT_LT(took, 15000u);

    // Nothing listening: refused at once.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd, (sockaddr *)&address, sizeof address), 0);
    getsockname(fd, (sockaddr *)&address, &length);
    close(fd);
    EXPECT_FALSE(Request("https://localhost:" + std::to_string(ntohs(address.sin_port)) + "/v1/chat", &reply, &status));
}

// Every URL the Windows transport refuses is refused here too, before a
// byte is sent; the longest of each part still goes out.
TEST(ChatTransport, RefusesTheUrlsWindowsRefusesAndNothingElse)
{
    Tls tls;
    TestHttpsServer server;
    ASSERT_TRUE(server.Start(tls.files, [](const TestHttpsRequest &) {
        TestHttpsReply reply;
        reply.body = "{}";
        return reply;
    }));
    std::string base = "https://localhost:" + std::to_string(server.port());
    struct Case {
        std::string url;
        bool sent;
    } cases[] = {
        {base + "/" + std::string(1022, 'p'), true},
        {base + "/" + std::string(1023, 'p'), false},
        {base + "/v1/chat?" + std::string(510, 'q'), true},
        {base + "/v1/chat?" + std::string(511, 'q'), false},
        {base + "/" + std::string(1022, 'p') + "?" + std::string(510, 'q'), true},
        {base + "/v1/chat\xff", false},          // not UTF-8
        {base + "/v1/\xc0\xaf" "chat", false},      // an overlong slash
        {base + "/v1/\xed\xa0\x80" "chat", false}, // a surrogate
        {base + "/v1/\xc3\xa9t\xc3\xa9", true},   // UTF-8 itself is fine
        {base + "/v1/chat now", false},
        {base + "/v1/chat\r\nX-Injected: 1", false},
        {"https://localhost:0/v1/chat", false},
        {"https://localhost:65536/v1/chat", false},
        {"https://localhost:44x/v1/chat", false},
        {"https://" + std::string(256, 'h') + "/v1/chat", false},
        {"https:///v1/chat", false},
    };
    for (const Case &c : cases) {
        std::string reply;
        long status = 0;
        int before = server.requests();
        int ok = Request(c.url, &reply, &status);
        EXPECT_EQ(server.requests() - before, c.sent ? 1 : 0) << c.url.substr(0, 80);
        if (c.sent) EXPECT_TRUE(ok) << c.url.substr(0, 80);
        else EXPECT_FALSE(ok) << c.url.substr(0, 80);
    }
}

// A name server that takes the question and never answers, set up in
// namespaces of this process's own (mount and network: the real resolver,
// not a stand-in): the request gives up within its limits, not the
// resolver's 30 s. Exit codes: 0 in time, 1 too late, 2 answered, 77 no
// namespaces to be had.
static int StalledLookupChild(const std::string &resolv_conf)
{
    int flags = CLONE_NEWNS | CLONE_NEWNET | (geteuid() != 0 ? CLONE_NEWUSER : 0);
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(flags) != 0) return 77;
    if (flags & CLONE_NEWUSER) {
        TestWriteFile("/proc/self/setgroups", "deny");
        if (!TestWriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !TestWriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return 77;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(resolv_conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
        return 77;
    int control = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq lo = {};
    snprintf(lo.ifr_name, sizeof lo.ifr_name, "lo");
    if (ioctl(control, SIOCGIFFLAGS, &lo) != 0) return 77;
    lo.ifr_flags |= IFF_UP;
    if (ioctl(control, SIOCSIFFLAGS, &lo) != 0) return 77;
    int silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(silent, (sockaddr *)&address, sizeof address) != 0) return 77;

    std::string reply;
    long status = 0;
    uint64_t start = TestNowMs();
    if (Request("https://lobby.grimby.test/v1/chat", &reply, &status)) return 2;
    return TestNowMs() - start < 15000 ? 0 : 1;
}

TEST(ChatTransport, ANameLookupThatNeverAnswersEndsWithTheRequest)
{
    TestDir dir;
    std::string conf = dir.write("resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(StalledLookupChild(conf));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount and network namespaces to be had here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the request waited for the resolver; 2: the name resolved";
}
