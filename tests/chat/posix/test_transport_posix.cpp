// The Linux lobby transport against a real HTTPS server on 127.0.0.1 with a
// CA made for the test: what it sends, which replies it takes, and every
// server it must refuse.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
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
