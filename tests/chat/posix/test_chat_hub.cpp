// The chat client against the real grimby-hub over TLS: enrollment from the
// settings console, then the worker chatting with a BBS elsewhere.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "../chat_test.h"
#include "https_server.h"
#include "hub_process.h"
#include "qorb_chat.h"
#include "qorb_json.h"

namespace {

void Wait(const std::function<bool()> &done, int timeout_ms = 15000)
{
    for (int waited = 0; !done() && waited < timeout_ms; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string ChatBody(const std::string &bbs, const std::string &op, int seq, const std::string &extra = "")
{
    return "{\"bbs\":\"" + bbs + "\",\"game\":\"grimby\",\"session\":\"ffffffffffffffffffffffffffffffff\",\"op\":\"" +
           op + "\",\"seq\":" + std::to_string(seq) + ",\"timestamp\":" + std::to_string(time(nullptr)) +
           ",\"player\":\"Bob\",\"caller\":\"" + std::string(64, 'b') +
           "\",\"location\":\"chat\",\"cursor\":0" + extra + "}";
}

bool HasLine(const std::string &text)
{
    qc_lock();
    bool found = false;
    for (int i = 0; i < qc.line_count; i++) found |= text == qc.lines[i];
    qc_unlock();
    return found;
}

} // namespace

TEST(ChatHub, EnrolledBbsChatsWithAnotherThroughTheRealHub)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start()) << hub.log();
    // The door directory names the hub and the CA it trusts for it.
    ChatDir here;
    std::string setting = "{\"hub\":\"" + hub.url() + "\",\"hub_ca\":\"" + hub.ca_file() + "\"}";
    here.dir.write("grimby.json", setting);

    // The console enrolls the BBS there; the game then starts from what it saved.
    here.dir.write(".answers", "NONE\nNight Owl\n");
    FILE *in = freopen(here.dir.path(".answers").c_str(), "r", stdin);
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(qorb_chat_config("ignored", "grimby", 1), 0);
    std::string saved = here.dir.read("chat.json");
    static cj_doc doc;
    ASSERT_TRUE(cj_parse(&doc, saved.c_str()));
    char secret[257], url[512];
    ASSERT_TRUE(cj_get(&doc, "secret", secret, sizeof secret));
    EXPECT_EQ(strlen(secret), 48u);
    ASSERT_TRUE(cj_get(&doc, "url", url, sizeof url));
    EXPECT_EQ(std::string(url), hub.url());

    // A second enrollment of the same name is refused and changes nothing.
    in = freopen(here.dir.path(".answers").c_str(), "r", stdin);
    std::string other_dir = here.dir.mkdir("other");
    here.dir.write("other/grimby.json", setting);
    ASSERT_EQ(chdir(other_dir.c_str()), 0);
    EXPECT_EQ(qorb_chat_config("ignored", "grimby", 1), 1);
    EXPECT_FALSE(here.dir.exists("other/chat.json"));
    ASSERT_EQ(chdir(here.dir.root().c_str()), 0);

    std::string far_secret = hub.Enroll("Far BBS");
    ASSERT_FALSE(far_secret.empty());

    qorb_chat_start("|12Ann", "user-1", "grimby");
    ASSERT_EQ(qorb_chat_enabled(), 1);
    Wait([] { return qc.online == 1; });
    ASSERT_EQ(qc.online, 1);

    HubReply reply = hub.Signed("/v1/chat", ChatBody("Far BBS", "message", 1,
                                                     ",\"event\":\"e1\",\"text\":\"hello from afar\""),
                                far_secret);
    ASSERT_EQ(reply.status, 200) << reply.body;
    qc_lock();
    qc.in_chat = 1; // polls every 2 s now
    qc_entry &entry = qc.queue[qc.queued++];
    snprintf(entry.text, sizeof entry.text, "%s", "hi \"Bob\"");
    random_id(entry.event);
    qc_unlock();
    qc_wake();
    Wait([] { return HasLine("Bob@Far BBS: hello from afar") && HasLine("Ann@Night Owl: hi \"Bob\""); });
    EXPECT_TRUE(HasLine("Bob@Far BBS: hello from afar"));
    EXPECT_TRUE(HasLine("Ann@Night Owl: hi \"Bob\""));
    EXPECT_EQ(qc.queued, 0);
    reply = hub.Signed("/v1/chat", ChatBody("Far BBS", "poll", 2), far_secret);
    EXPECT_NE(reply.body.find("Ann@Night Owl: hi \\\"Bob\\\""), std::string::npos) << reply.body;
    EXPECT_NE(reply.body.find("\"bbses\":2"), std::string::npos) << reply.body;

    qorb_chat_stop();
    // The leave ends the presence at once.
    Wait([&] {
        return hub.Signed("/v1/chat", ChatBody("Far BBS", "poll", 3), far_secret).body.find("\"bbses\":1") !=
               std::string::npos;
    });
    reply = hub.Signed("/v1/chat", ChatBody("Far BBS", "poll", 4), far_secret);
    EXPECT_NE(reply.body.find("\"players\":1,"), std::string::npos) << reply.body;
}

TEST(ChatHub, TransportRefusesTheRealHubUnderAnotherCa)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start()) << hub.log();
    TestDir dir;
    TestTlsFiles other;
    ASSERT_TRUE(TestMakeTlsFiles(dir.root(), &other));
    static char reply[QC_REPLY_SIZE];
    long status = 0;
    ASSERT_TRUE(pn_request((hub.url() + "/v1/enroll/auto").c_str(), hub.ca_file().c_str(), "{\"bbs\":\"Ca Test\"}", nullptr, reply,
                           sizeof reply, &status));
    EXPECT_EQ(status, 200) << reply;
    EXPECT_FALSE(pn_request((hub.url() + "/v1/enroll/auto").c_str(), other.ca.c_str(), "{\"bbs\":\"Ca Test 2\"}", nullptr, reply,
                            sizeof reply, &status));
    // A signed request with a wrong signature is the hub's 401, returned.
    ASSERT_TRUE(pn_request((hub.url() + "/v1/chat").c_str(), hub.ca_file().c_str(), ChatBody("Ca Test", "poll", 1).c_str(),
                           std::string(64, '0').c_str(), reply, sizeof reply, &status));
    EXPECT_EQ(status, 401);
}
