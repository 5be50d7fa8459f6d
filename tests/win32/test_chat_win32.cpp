// The Windows lobby transport (WinHTTP, CryptoAPI, the CRT worker thread)
// against the real hub and a hostile HTTPS server, both run on Linux by the
// driver in tests/e2e/test_chat_wine.cpp, which passes where they listen.
// Run alone, without that driver, these tests are skipped.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "qorb_chat.h"
#include "qorb_chat_int.h"
#include "qorb_hub.h"
#include "session.h"
#include "win32/test_ca_win32.h"
#include "testdir.h"

namespace {

std::string Env(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

struct Reply {
    int ok;
    long status;
    std::string body;
};

Reply Post(const std::string &url, const char *body = "{\"bbs\":\"Win Probe\"}", const char *signature = nullptr,
           const char *ca_file = nullptr)
{
    static char buffer[QC_REPLY_SIZE];
    Reply reply;
    reply.status = 0;
    reply.ok = pn_request(url.c_str(), ca_file, body, signature, buffer, sizeof buffer, &reply.status);
    reply.body = buffer;
    return reply;
}

} // namespace

// Wine's certificate chain engine reads the Root store once per process:
// each of these tests trusts what it needs before its first request, and
// the driver runs each in a process of its own.
// Runs before anything trusts the hub's CA in the prefix: the CA file given
// with a request is trusted for that request alone, and only that CA.
TEST(ChatWinHttp, HubCaFileIsTrustedForThatRequestAlone)
{
    std::string hub = Env("GRIMBY_TEST_HUB_URL"), ca = Env("GRIMBY_TEST_HUB_CA");
    std::string other = Env("GRIMBY_TEST_HOSTILE_CA"), port = Env("GRIMBY_TEST_HOSTILE_PORT");
    if (hub.empty()) GTEST_SKIP() << "started by the Linux driver only";
    const char *body = "{\"bbs\":\"Win Ca Probe\",\"game\":\"grimby\"}";
    Reply reply = Post(hub + "/v1/enroll/auto", body, nullptr, ca.c_str());
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_FALSE(Post(hub + "/v1/enroll/auto", body).ok);
    EXPECT_FALSE(Post(hub + "/v1/enroll/auto", body, nullptr, other.c_str()).ok);
    EXPECT_EQ(pn_failure(nullptr, 0), PN_UNTRUSTED);
    // A server with a good certificate from another CA is no hub of this CA.
    EXPECT_FALSE(Post("https://localhost:" + port + "/size/2", body, nullptr, ca.c_str()).ok);
    EXPECT_EQ(pn_failure(nullptr, 0), PN_UNTRUSTED);
    // The right CA does not excuse a wrong name.
    std::string by_address = hub;
    by_address.replace(by_address.find("localhost"), 9, "127.0.0.1");
    EXPECT_FALSE(Post(by_address + "/v1/enroll/auto", body, nullptr, ca.c_str()).ok);
    EXPECT_FALSE(Post(hub + "/v1/enroll/auto", body, nullptr, "Z:\\nowhere\\ca.pem").ok);
}

TEST(ChatWinHttp, RealHubTrustedAndAnUntrustedCaRefused)
{
    std::string hub = Env("GRIMBY_TEST_HUB_URL"), ca = Env("GRIMBY_TEST_HUB_CA");
    if (hub.empty()) GTEST_SKIP() << "started by the Linux driver only";
    ASSERT_TRUE(TestTrustCaInWinePrefix(ca.c_str()));
    Reply reply = Post(hub + "/v1/enroll/auto", "{\"bbs\":\"Win Probe\",\"game\":\"grimby\"}");
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("\"secret\":\""), std::string::npos) << reply.body;
    // The hub's refusal comes back as its status, for the caller to judge.
    reply = Post(hub + "/v1/chat", "{\"bbs\":\"Win Probe\"}", std::string(64, '0').c_str());
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.status / 100, 4) << reply.status;
    EXPECT_FALSE(Post(hub + "/v1/chat", "{}", "short").ok);
    // The hostile server's CA, made for this run, is trusted by nobody yet.
    EXPECT_FALSE(Post("https://localhost:" + Env("GRIMBY_TEST_HOSTILE_PORT") + "/size/2").ok);
}

TEST(ChatWinHttp, HostileServersAreRefusedAsOnLinux)
{
    std::string port = Env("GRIMBY_TEST_HOSTILE_PORT"), old_port = Env("GRIMBY_TEST_OLD_TLS_PORT");
    if (port.empty()) GTEST_SKIP() << "started by the Linux driver only";
    ASSERT_TRUE(TestTrustCaInWinePrefix(Env("GRIMBY_TEST_HOSTILE_CA").c_str()));
    std::string base = "https://localhost:" + port;
    Reply reply = Post(base + "/size/32767");
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.body.size(), 32767u);
    EXPECT_FALSE(Post(base + "/size/32768").ok);
    reply = Post(base + "/moved");
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.status, 302); // returned, not followed
    EXPECT_FALSE(Post("https://127.0.0.1:" + port + "/size/2").ok);
    EXPECT_FALSE(Post("http://localhost:" + port + "/size/2").ok);
    EXPECT_FALSE(Post("https://localhost:" + old_port + "/size/2").ok);
    EXPECT_FALSE(Post("https://local\xff" "host:" + port + "/size/2").ok);
    uint64_t start = TestNowMs();
    EXPECT_FALSE(Post(base + "/stall").ok);
    EXPECT_LT(TestNowMs() - start, 10000u);

    char one[QC_ID_SIZE], two[QC_ID_SIZE];
    ASSERT_TRUE(random_id(one));
    ASSERT_TRUE(random_id(two));
    EXPECT_EQ(strspn(one, "0123456789abcdef"), 32u);
    EXPECT_STRNE(one, two);
}

TEST(ChatWinHttp, StopDoesNotWaitForAStalledHub)
{
    std::string port = Env("GRIMBY_TEST_HOSTILE_PORT");
    if (port.empty()) GTEST_SKIP() << "started by the Linux driver only";
    ASSERT_TRUE(TestTrustCaInWinePrefix(Env("GRIMBY_TEST_HOSTILE_CA").c_str()));
    TestDir dir;
    dir.write("chat.json", "{\"enabled\":true,\"bbs\":\"Win\",\"secret\":\"" + std::string(40, 's') +
                               "\",\"url\":\"https://localhost:" + port + "/stall\"}");
    char here[MAX_PATH];
    GetCurrentDirectoryA(sizeof here, here);
    SetCurrentDirectoryA(dir.root().c_str());
    qorb_chat_start("Ann", "1", "grimby");
    SetCurrentDirectoryA(here);
    ASSERT_EQ(qorb_chat_enabled(), 1);
    Sleep(300); // the worker is inside its first request now
    uint64_t start = TestNowMs();
    qorb_chat_stop();
    EXPECT_LT(TestNowMs() - start, 1000u);
    EXPECT_EQ(qorb_chat_enabled(), 0);
}

// The settings files through the Windows calls: the move over the old file,
// the copy that never overwrites a backup.
TEST(ChatWinSettings, SwitchingOffKeepsNumberedBackups)
{
    TestDir dir;
    char here[MAX_PATH];
    GetCurrentDirectoryA(sizeof here, here);
    SetCurrentDirectoryA(dir.root().c_str());
    dir.write("chat.json", "{\"enabled\":true,\"bbs\":\"Win\",\"secret\":\"" + std::string(40, 's') +
                               "\",\"url\":\"https://lobby.example\",\"theme\":1}");
    dir.write("chat.json.previous.1", "older");
    int first = qorb_chat_config("Win", "grimby", 0);
    int second = qorb_chat_config("Win", "grimby", 0);
    SetCurrentDirectoryA(here);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    std::string off = "{\"enabled\":false,\"bbs\":\"Win\",\"secret\":\"" + std::string(40, 's') +
                      "\",\"url\":\"https://lobby.example\",\"theme\":1}\n";
    EXPECT_EQ(dir.read("chat.json"), off);
    EXPECT_EQ(dir.read("chat.json.previous.1"), "older");
    EXPECT_NE(dir.read("chat.json.previous.2").find("\"enabled\":true"), std::string::npos);
    EXPECT_EQ(dir.read("chat.json.previous.3"), off);
    EXPECT_FALSE(dir.exists("chat.json.previous.4"));
}
