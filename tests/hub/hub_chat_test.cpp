// The lobby and enrollment against the real hub over TLS.
#include <gtest/gtest.h>
#include <unistd.h>

#include "hub_test_util.h"

namespace {

TEST(HubEnroll, OnceByCleanedCaseBlindNameAndAgainAfterReset)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start()) << hub.log();
    HubReply first = hub.Post("/v1/enroll/auto",
                              "{\"bbs\":\"|12Night Owl\",\"game\":\"grimby\",\"domain\":\"x.example\"}");
    ASSERT_EQ(200, first.status) << first.body;
    EXPECT_LT(first.body.size(), 4095u);
    std::string secret = first.body.substr(first.body.find("\"secret\":\"") + 10);
    secret.resize(secret.find('"'));
    EXPECT_GE(secret.size(), 32u);
    EXPECT_LE(secret.size(), 256u);
    EXPECT_EQ(std::string::npos, secret.find_first_of("`\"\\ "));
    EXPECT_NE(std::string::npos, first.body.find("\"bbs\":\"Night Owl\""));

    HubReply taken = hub.Post("/v1/enroll/auto", "{\"bbs\":\"NIGHT OWL\"}");
    EXPECT_EQ(409, taken.status);
    EXPECT_EQ(std::string::npos, taken.body.find("secret"));
    EXPECT_EQ(400, hub.Post("/v1/enroll/auto", "{\"bbs\":\"|01|02\"}").status);
    EXPECT_EQ(400, hub.Post("/v1/enroll/auto", "{\"bbs\":\" \\t \"}").status);
    EXPECT_EQ(400, hub.Post("/v1/enroll/auto", "{\"bbs\":7}").status);
    EXPECT_EQ(400, hub.Post("/v1/enroll/auto", "[\"bbs\"]").status);

    // Signed requests find the BBS by the same key.
    TestBbs owl(hub, "x");
    owl.name = "night OWL";
    owl.secret = secret;
    EXPECT_EQ(200, SendChat(hub, owl, "poll", 0).status);

    std::string reset = "'" + HubBinary() + "' --config '" + hub.config_file() +
                        "' --reset-bbs 'Night Owl' >/dev/null 2>&1";
    EXPECT_EQ(0, HubShell(reset));
    EXPECT_EQ(1, HubShell(reset)) << "a second reset finds nothing to release";
    EXPECT_EQ(401, SendChat(hub, owl, "poll", 0).status) << "the old secret is gone";
    std::string again = hub.Enroll("Night Owl");
    ASSERT_FALSE(again.empty());
    EXPECT_NE(secret, again);
    EXPECT_EQ(0, hub.Stop());
}

TEST(HubEnroll, RateLimitedPerAddress)
{
    HubProcess hub("\"enroll_per_hour\":2");
    ASSERT_TRUE(hub.Start());
    EXPECT_FALSE(hub.Enroll("One").empty());
    EXPECT_EQ(409, hub.Post("/v1/enroll/auto", "{\"bbs\":\"one\"}").status);
    HubReply third = hub.Post("/v1/enroll/auto", "{\"bbs\":\"Three\"}");
    EXPECT_EQ(429, third.status);
    EXPECT_GT(atoi(third.retry_after.c_str()), 0);
}

TEST(HubSigned, SignatureTimeWindowAndReplay)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs bbs(hub, "Signal Hill");
    ASSERT_FALSE(bbs.secret.empty());

    std::string body = ChatBody(bbs, "poll", 0);
    EXPECT_EQ(401, hub.Post("/v1/chat", body).status) << "no signature";
    EXPECT_EQ(401, hub.Signed("/v1/chat", body, bbs.secret + "x").status);
    std::string tampered = body;
    tampered.replace(tampered.find("\"poll\""), 6, "\"leave\"");
    EXPECT_EQ(401, hub.Post("/v1/chat", tampered, HubSign(bbs.secret, body)).status);
    // Refused requests used up nothing: the same seq is still good.
    std::string upper = HubSign(bbs.secret, body);
    for (char &c : upper) c = (char)toupper(c);
    EXPECT_EQ(200, hub.Post("/v1/chat", body, upper).status);
    EXPECT_EQ(403, hub.Signed("/v1/chat", body, bbs.secret).status) << "replayed";
    bbs.seq = 4;
    EXPECT_EQ(200, SendChat(hub, bbs, "poll", 0).status) << "seq may skip ahead";
    bbs.seq = 2;
    EXPECT_EQ(403, SendChat(hub, bbs, "poll", 0).status) << "seq below the last one";
    bbs.seq = 10;

    long long now = (long long)time(nullptr);
    EXPECT_EQ(403, hub.Signed("/v1/chat", ChatBody(bbs, "poll", 0, "playing", "", "", now + 330),
                              bbs.secret).status);
    EXPECT_EQ(403, hub.Signed("/v1/chat", ChatBody(bbs, "poll", 0, "playing", "", "", now - 330),
                              bbs.secret).status);
    EXPECT_EQ(200, hub.Signed("/v1/chat", ChatBody(bbs, "poll", 0, "playing", "", "", now + 250),
                              bbs.secret).status);
    TestBbs stranger = bbs;
    stranger.name = "Nobody Here";
    EXPECT_EQ(401, SendChat(hub, stranger, "poll", 0).status);

    // The replay memory outlives a restart.
    ASSERT_EQ(0, hub.Stop());
    ASSERT_TRUE(hub.Start());
    EXPECT_EQ(403, hub.Signed("/v1/chat", body, bbs.secret).status);
    EXPECT_EQ(std::string::npos, hub.log().find(bbs.secret)) << "the log holds no secret";
    EXPECT_EQ(std::string::npos, hub.log().find(HubSign(bbs.secret, body)));
}

TEST(HubChat, MessagesComeBackOnceAndRefusalsAreNotices)
{
    HubProcess hub("\"messages_per_10s\":3");
    ASSERT_TRUE(hub.Start());
    TestBbs ann(hub, "Night Owl");
    TestBbs bob(hub, "Harbor Lights", "fedcba9876543210fedcba9876543210");
    bob.player = "|14Bob`";

    ChatReply r = SendChat(hub, ann, "poll", 0, "chat");
    ASSERT_EQ(200, r.status);
    long long cursor = r.cursor;
    r = SendChat(hub, bob, "message", 0, "chat", "e1", "hello \\\"there\\\"");
    ASSERT_EQ(200, r.status) << r.body;
    ASSERT_EQ(1u, r.lines.size());
    EXPECT_EQ("Bob@Harbor Lights: hello \"there\"", r.lines[0]) << "the sender sees its line";
    // The reply to a lost answer is sent again: stored once, no notice.
    r = SendChat(hub, bob, "message", r.cursor, "chat", "e1", "hello \\\"there\\\"");
    EXPECT_EQ(200, r.status);
    EXPECT_TRUE(r.lines.empty());

    r = SendChat(hub, ann, "poll", cursor, "chat");
    ASSERT_EQ(1u, r.lines.size());
    EXPECT_GT(r.cursor, cursor);
    EXPECT_EQ(2, r.bbses);
    EXPECT_EQ(2, r.chatting);

    const char *refused[] = {"", "tick \\u0060", "tab\\there", "caf\\u00e9",
                             "0123456789012345678901234567890123456789012345678901234567890123456789"
                             "0123456789012345678901234567890123456789012345678901234567890123456789"
                             "012345678901234567890"};
    for (const char *text : refused) {
        r = SendChat(hub, ann, "message", r.cursor, "chat", "bad", text);
        EXPECT_EQ(200, r.status) << text;
        ASSERT_EQ(1u, r.lines.size()) << text;
        EXPECT_EQ("Hub: message refused - use up to 160 plain characters.", r.lines[0]);
    }
    // Three a session in ten seconds; the fourth is answered, not stored.
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(200, SendChat(hub, ann, "message", r.cursor, "chat", "m" + std::to_string(i),
                                "line " + std::to_string(i)).status);
    r = SendChat(hub, ann, "message", r.cursor, "chat", "m9", "too many");
    EXPECT_EQ(200, r.status);
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ("Hub: slow down - message not sent.", r.lines.back());

    TestBbs late(hub, "Late Comer");
    r = SendChat(hub, late, "poll", 0);
    ASSERT_EQ(4u, r.lines.size()) << "new sessions get the last lines as context";
    EXPECT_EQ("Bob@Harbor Lights: hello \"there\"", r.lines[0]);
    EXPECT_EQ("Ann@Night Owl: line 2", r.lines[3]);
}

TEST(HubChat, CursorOnlyGrowsAcrossRestartAndKill)
{
    HubProcess hub("\"messages_per_10s\":100");
    ASSERT_TRUE(hub.Start());
    TestBbs a(hub, "Cursor Cove");
    ChatReply r = SendChat(hub, a, "poll", 0);
    ASSERT_EQ(200, r.status);
    EXPECT_EQ(0, r.cursor);
    EXPECT_TRUE(r.has_lines);
    r = SendChat(hub, a, "message", 0, "chat", "first", "first");
    long long start = r.cursor;
    ASSERT_GT(start, 0);
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(200, SendChat(hub, a, "message", start, "chat", "ev" + std::to_string(i),
                                "n" + std::to_string(i)).status);
    r = SendChat(hub, a, "poll", start);
    ASSERT_EQ(16u, r.lines.size()) << "at most 16, the newest";
    EXPECT_EQ("Ann@Cursor Cove: n4", r.lines[0]);
    EXPECT_EQ("Ann@Cursor Cove: n19", r.lines[15]);
    long long cursor = r.cursor;

    ASSERT_EQ(0, hub.Stop());
    ASSERT_TRUE(hub.Start());
    r = SendChat(hub, a, "poll", cursor);
    EXPECT_EQ(cursor, r.cursor);
    EXPECT_TRUE(r.lines.empty());
    r = SendChat(hub, a, "message", cursor, "chat", "after", "after restart");
    ASSERT_EQ(1u, r.lines.size());
    EXPECT_GT(r.cursor, cursor);
    cursor = r.cursor;

    hub.Kill();
    ASSERT_TRUE(hub.Start());
    r = SendChat(hub, a, "poll", cursor - 1);
    ASSERT_EQ(1u, r.lines.size()) << "an acknowledged message survives kill -9";
    EXPECT_EQ("Ann@Cursor Cove: after restart", r.lines[0]);
    EXPECT_EQ(cursor, r.cursor);
    r = SendChat(hub, a, "poll", cursor + 1000);
    EXPECT_EQ(cursor + 1000, r.cursor) << "never below the cursor sent";
}

TEST(HubChat, PresenceEndsWithLeaveOrSilence)
{
    HubProcess hub("\"presence\":3");
    ASSERT_TRUE(hub.Start());
    TestBbs a(hub, "Alpha");
    TestBbs b(hub, "Beta");
    TestBbs b2(hub, "x", "22222222222222222222222222222222");
    b2.name = "Beta";
    b2.secret = b.secret;
    SendChat(hub, a, "poll", 0, "chat");
    SendChat(hub, b, "poll", 0);
    ChatReply r = SendChat(hub, b2, "poll", 0, "chat");
    EXPECT_EQ(3, r.players);
    EXPECT_EQ(2, r.bbses);
    EXPECT_EQ(2, r.chatting);
    r = SendChat(hub, a, "leave", 0);
    EXPECT_EQ(200, r.status);
    EXPECT_FALSE(r.has_lines);
    EXPECT_EQ(2, r.players);
    EXPECT_EQ(1, r.bbses);
    EXPECT_EQ(1, r.chatting);
    usleep(1000 * 1000);
    r = SendChat(hub, b, "poll", 0);
    EXPECT_EQ(2, r.players);
    usleep(3500 * 1000);
    r = SendChat(hub, b, "poll", 0);
    EXPECT_EQ(1, r.players) << "a session silent for the presence time is gone";
    EXPECT_EQ(0, r.chatting);
}

// A network whose callers never open the chat still has its replay memory
// and message ids shrink: the hub prunes them on a timer of its own, and
// keeps what the replay window still needs.
TEST(HubChat, OldReplayMemoryAndMessageIdsArePrunedWithoutAnyChat)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs b(hub, "Quiet BBS");
    ASSERT_EQ(200, SendChat(hub, b, "poll", 0).status);
    ASSERT_EQ(0, hub.Stop());
    long long now = (long long)time(nullptr);
    std::string rows = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<300) ";
    WriteDatabase(hub, rows + "INSERT INTO sessions SELECT (SELECT key FROM bbs), printf('old%d',i),"
                              " 1, " + std::to_string(now - 10 * 86400) + ", 0, 0, '', '' FROM n;" +
                           rows + "INSERT INTO events SELECT (SELECT key FROM bbs), printf('e%d',i),"
                              " 'old', " + std::to_string(now - 3 * 86400) + " FROM n;");
    const std::string old_sessions = "SELECT COUNT(*) FROM sessions WHERE session LIKE 'old%'";
    const std::string old_events = "SELECT COUNT(*) FROM events WHERE session='old'";
    ASSERT_EQ(300, ReadDatabaseCount(hub, old_sessions));
    ASSERT_EQ(300, ReadDatabaseCount(hub, old_events));

    ASSERT_TRUE(hub.Start());
    // Nothing is asked of the hub from here on.
    long long sessions = -1, events = -1;
    for (int i = 0; i < 100; i++, usleep(100 * 1000)) {
        sessions = ReadDatabaseCount(hub, old_sessions);
        events = ReadDatabaseCount(hub, old_events);
        if (sessions == 0 && events == 0) break;
    }
    EXPECT_EQ(0, sessions);
    EXPECT_EQ(0, events);
    EXPECT_EQ(1, ReadDatabaseCount(hub, "SELECT COUNT(*) FROM sessions WHERE session='" +
                                            b.session + "'"));
}

}  // namespace
