// The lobby exchange without a network: what goes on the wire, what never
// does, and what a reply (good or hostile) does to the shared state.
#include <gtest/gtest.h>

#include <string.h>

#include "chat_test.h"
#include "qorb_json.h"
#include "qorb_sha.h"

namespace {

void Prepare(const char *bbs = "Night \"Owl\"", const char *handle = "Ann")
{
    qc_guard_init();
    memset(&qc, 0, sizeof qc);
    snprintf(qc.bbs, sizeof qc.bbs, "%s", bbs);
    snprintf(qc.secret, sizeof qc.secret, "%s", "0123456789abcdef0123456789abcdef!");
    snprintf(qc.url, sizeof qc.url, "%s", "https://localhost:9");
    snprintf(qc.game_id, sizeof qc.game_id, "%s", "grimby");
    snprintf(qc.session, sizeof qc.session, "%s", "00112233445566778899aabbccddeeff");
    snprintf(qc.handle, sizeof qc.handle, "%s", handle);
    snprintf(qc.caller_hash, sizeof qc.caller_hash, "%s", std::string(64, 'c').c_str());
    qc.display_width = 79;
}

std::vector<std::string> Lines()
{
    std::vector<std::string> out;
    for (int i = 0; i < qc.line_count; i++) out.push_back(qc.lines[i]);
    return out;
}

} // namespace

TEST(ChatExchange, BodyIsSignedCompactJsonInFixedOrder)
{
    Prepare();
    FakeLobby lobby;
    lobby.Install();
    qc.cursor = 41;
    ASSERT_TRUE(exchange("poll", 1, nullptr));
    qc_entry message = {};
    snprintf(message.text, sizeof message.text, "%s", "say \"hi\" \\o/");
    snprintf(message.event, sizeof message.event, "%s", "ffeeddccbbaa99887766554433221100");
    ASSERT_TRUE(exchange("message", 0, &message));

    std::vector<LobbyRequest> sent = lobby.Requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].url, "https://localhost:9/v1/chat");
    std::string head = "{\"bbs\":\"Night \\\"Owl\\\"\",\"game\":\"grimby\",\"session\":\"00112233445566778899aabbccddeeff\","
                       "\"op\":\"poll\",\"seq\":1,\"timestamp\":";
    EXPECT_EQ(sent[0].body.substr(0, head.size()), head);
    std::string tail = ",\"player\":\"Ann\",\"caller\":\"" + std::string(64, 'c') +
                       "\",\"location\":\"chat\",\"cursor\":41}";
    EXPECT_EQ(sent[0].body.substr(sent[0].body.size() - tail.size()), tail);
    // The reply's cursor is sent back with the next request.
    EXPECT_NE(sent[1].body.find("\"seq\":2,"), std::string::npos);
    EXPECT_NE(sent[1].body.find("\"location\":\"playing\",\"cursor\":5,\"event\":\"ffeeddccbbaa99887766554433221100\","
                                "\"text\":\"say \\\"hi\\\" \\\\o/\"}"),
              std::string::npos)
        << sent[1].body;
    EXPECT_EQ(sent[1].text(), "say \"hi\" \\o/");

    for (const LobbyRequest &r : sent) {
        uint8_t mac[SHA_DIGEST_SIZE];
        char hex[SHA_HEX_SIZE];
        hmac_sha256(qc.secret, strlen(qc.secret), r.body.data(), r.body.size(), mac);
        sha_hex(mac, hex);
        EXPECT_EQ(r.signature, hex);
    }
}

TEST(ChatExchange, ControlBytesAndBackticksNeverReachTheWire)
{
    FakeLobby lobby;
    lobby.Install();
    for (const char *bbs : {"Night`Owl", "Night\x01Owl", "Night\xB0Owl"}) {
        Prepare(bbs);
        EXPECT_FALSE(exchange("poll", 0, nullptr)) << bbs;
        EXPECT_EQ(qc.sequence, 0);
    }
    Prepare("Night Owl", "An\tn");
    EXPECT_FALSE(exchange("poll", 0, nullptr));

    Prepare();
    qc_entry message = {};
    snprintf(message.event, sizeof message.event, "%s", "00112233445566778899aabbccddeeff");
    snprintf(message.text, sizeof message.text, "%s", "bell\a");
    EXPECT_FALSE(exchange("message", 0, &message));
    snprintf(message.text, sizeof message.text, "%s", "ok");
    snprintf(message.event, sizeof message.event, "%s", "\",\"op\":\"poll");
    EXPECT_FALSE(exchange("message", 0, &message));
    EXPECT_EQ(lobby.Requests().size(), 0u);

    // 160 double quotes escape to 320 characters and still go.
    memset(message.text, '"', 160);
    message.text[160] = '\0';
    snprintf(message.event, sizeof message.event, "%s", "00112233445566778899aabbccddeeff");
    EXPECT_TRUE(exchange("message", 0, &message));
    ASSERT_EQ(lobby.Requests().size(), 1u);
    EXPECT_EQ(lobby.Requests()[0].text(), std::string(160, '"'));
}

TEST(ChatExchange, GoodReplyUpdatesCountsCursorAndLines)
{
    Prepare();
    FakeLobby lobby;
    lobby.Install();
    std::string line383(383, 'x'), line384(384, 'y'), line200(200, 'z');
    lobby.reply = "{\"players\":7,\"bbses\":3,\"chatting\":2,\"cursor\":99,\"extra\":{\"a\":[1,2]},\"lines\":[\"one\",\"" +
                  line384 + "\",\"t\\u0007wo`\",12,\"" + line383 + "\",\"bad\\u0000\",{\"k\":\"v\"}]}";
    ASSERT_TRUE(exchange("poll", 0, nullptr));
    EXPECT_EQ(qc.online, 1);
    EXPECT_EQ(qc.players, 7);
    EXPECT_EQ(qc.bbses, 3);
    EXPECT_EQ(qc.chatting, 2);
    EXPECT_EQ(qc.cursor, 99);
    std::vector<std::string> lines = Lines();
    // The 384-byte line and the one with an undecodable escape are skipped;
    // control bytes and backticks are dropped; 383 bytes wrap into 5 rows.
    std::vector<std::string> want = {"one", "two", "12"};
    for (int i = 0; i < 4; i++) want.push_back(line383.substr((size_t)i * 79, 79));
    want.push_back(line383.substr(316));
    want.push_back("{\"k\":\"v\"}");
    EXPECT_EQ(lines, want);

    // Three lines of 200 become 9 rows; the buffer keeps the newest 16.
    lobby.reply = "{\"cursor\":100,\"lines\":[\"" + line200 + "\",\"" + line200 + "\",\"" + line200 + "\"]}";
    uint32_t before = qc.generation;
    ASSERT_TRUE(exchange("poll", 0, nullptr));
    lines = Lines();
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[5], line383.substr(316));
    EXPECT_EQ(lines[6], "{\"k\":\"v\"}");
    EXPECT_EQ(lines[15], std::string(42, 'z'));
    EXPECT_EQ(qc.players, 0); // a missing count reads as 0
    EXPECT_GT(qc.generation, before);

    // No lines, or lines that are no array: counts still change.
    for (const char *reply : {"{\"players\":4,\"cursor\":101}", "{\"players\":5,\"lines\":\"x\"}", "{\"lines\":[]}"}) {
        lobby.reply = reply;
        before = qc.generation;
        ASSERT_TRUE(exchange("poll", 0, nullptr)) << reply;
        EXPECT_EQ(qc.line_count, 16);
        EXPECT_EQ(qc.generation, before + 1) << reply;
    }
    EXPECT_EQ(qc.cursor, 0); // a reply without cursor resets it
}

TEST(ChatExchange, HostileOrFailedRepliesChangeNothing)
{
    Prepare();
    FakeLobby lobby;
    lobby.Install();
    lobby.reply = "{\"players\":1,\"cursor\":3,\"lines\":[\"kept\"]}";
    ASSERT_TRUE(exchange("poll", 0, nullptr));
    qc_state before = qc;

    std::string deep = "{\"lines\":" + std::string(40, '[') + std::string(40, ']') + "}";
    std::string many = "{\"lines\":[";
    for (int i = 0; i < 600; i++) many += "1,";
    many += "1]}";
    const std::string hostile[] = {
        "", "not json", "[\"lines\"]", "{\"players\":9} trailing", "{\"players\":9", deep, many,
        "{\"players\":9,\"lines\":[\"x\\q\"]}", std::string("{\"players\":9,\"a\":\"\x01\"}"),
        "{\"players\":9,\"players\"", "{\"players\":1e999999}x", std::string(40000, '{'),
    };
    for (const std::string &reply : hostile) {
        lobby.reply = reply;
        qc.sequence = before.sequence;
        EXPECT_FALSE(exchange("poll", 0, nullptr)) << reply.substr(0, 60);
        EXPECT_EQ(memcmp(&qc.cursor, &before.cursor, sizeof qc - offsetof(qc_state, cursor)), 0)
            << reply.substr(0, 60);
    }
    // A well-formed reply under a redirect or server error counts for nothing.
    lobby.reply = "{\"players\":9,\"cursor\":77,\"lines\":[\"no\"]}";
    for (long status : {302L, 404L, 503L}) {
        lobby.status = status;
        EXPECT_FALSE(exchange("poll", 0, nullptr)) << status;
        EXPECT_EQ(qc.cursor, 3);
    }
    lobby.status = 200;
    lobby.down = true;
    EXPECT_FALSE(exchange("poll", 0, nullptr));
    // A leave's reply is not applied.
    lobby.down = false;
    lobby.reply = "{\"players\":9,\"cursor\":77,\"lines\":[\"no\"]}";
    qc.sequence = before.sequence;
    EXPECT_TRUE(exchange("leave", 0, nullptr));
    EXPECT_EQ(qc.cursor, 3);
    EXPECT_EQ(qc.line_count, 1);
}

TEST(ChatExchange, AddLineWrapsAtTheCallersWidthAndKeepsSixteen)
{
    Prepare();
    qc.display_width = 40;
    add_line("");
    add_line(std::string(81, 'a').c_str());
    EXPECT_EQ(Lines(), (std::vector<std::string>{"", std::string(40, 'a'), std::string(40, 'a'), "a"}));
    for (int i = 0; i < 20; i++) add_line(std::to_string(i).c_str());
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines.front(), "4");
    EXPECT_EQ(lines.back(), "19");
    EXPECT_EQ(qc.generation, 22u);
}
