// Enrollment that survives a lost reply, and the operator's hold on the
// network: removing a cheat's scores, banning, listing, while it runs.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "hub_test_util.h"
#include "testdir.h"

namespace {

std::string Secret(const HubReply &r)
{
    size_t at = r.body.find("\"secret\":\"");
    return at == std::string::npos ? "" : r.body.substr(at + 10, 48);
}

TEST(HubOperator, EnrollmentRetriedWithItsIdGetsTheSameSecret)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    std::string first = "{\"bbs\":\"Lost Reply\",\"enroll_id\":\"" + std::string(32, 'a') + "\"}";
    HubReply a = hub.Post("/v1/enroll/auto", first);
    ASSERT_EQ(200, a.status) << a.body;
    HubReply again = hub.Post("/v1/enroll/auto", first);
    EXPECT_EQ(200, again.status) << again.body;
    EXPECT_EQ(Secret(a), Secret(again));
    // Another attempt, or none named, finds the name taken.
    HubReply other = hub.Post("/v1/enroll/auto", "{\"bbs\":\"lost reply\",\"enroll_id\":\"" +
                                                     std::string(32, 'b') + "\"}");
    EXPECT_EQ(409, other.status);
    EXPECT_EQ("name_taken", other.code);
    EXPECT_EQ("", Secret(other));
    EXPECT_EQ(409, hub.Post("/v1/enroll/auto", "{\"bbs\":\"Lost Reply\"}").status);
    EXPECT_EQ("bad_request", hub.Post("/v1/enroll/auto", "{\"bbs\":\"X\",\"enroll_id\":\"" +
                                                             std::string(32, 'A') + "\"}")
                                 .code);
}

// Runs an operator command against the hub's configuration; its exit
// code, and what it said in *out.
int Operator(const HubProcess &hub, const std::string &args, std::string *out)
{
    TestDir dir;
    int code = HubShell("'" + HubBinary() + "' --config '" + hub.config_file() + "' " + args +
                        " >'" + dir.path("out") + "' 2>&1");
    *out = dir.read("out");
    return code;
}

std::string Today()
{
    char out[9];
    hub_utc_date((int64_t)time(nullptr), out);
    return out;
}

std::string UploadOne(TestBbs &b, const std::string &player, int score, int n)
{
    return "{\"bbs\":\"" + b.name + "\",\"session\":\"" + b.session +
           "\",\"seq\":" + std::to_string(++b.seq) +
           ",\"timestamp\":" + std::to_string((long long)time(nullptr)) +
           ",\"lines\":[\"grimby\\t" + Today() + "\\t" + player + "\\t" + std::to_string(score) +
           "\\tstory\\t1765000000-" + std::to_string(n) + "-profile-0123456789abcdef.tsv\"]}";
}

// A cheat is banned, its rows removed and the boards right at once, and
// another BBS released, all while a BBS polls and uploads without a
// single failure.
TEST(HubOperator, CheatRemovedAndBannedWhileTheHubIsBusy)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs honest(hub, "Honest"), cheat(hub, "Cheat"), gone(hub, "Gone Away");
    ASSERT_EQ(200, hub.Signed("/v1/scores/upload", UploadOne(honest, "Ann", 900, 1),
                              honest.secret).status);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(200, hub.Signed("/v1/scores/upload", UploadOne(cheat, "C" + std::to_string(i),
                                                                 20000 + i, i), cheat.secret)
                           .status);

    std::atomic<bool> stop{false};
    std::atomic<int> served{0}, failed{0};
    std::thread load([&] {
        TestBbs me = honest;
        me.session = "1111111111111111111111111111111111";
        for (int n = 100; !stop; n++) {
            HubReply r = n % 2 ? hub.Signed("/v1/chat", ChatBody(me, "poll", 0), me.secret)
                               : hub.Signed("/v1/scores/upload", UploadOne(me, "Ann", 1, n),
                                            me.secret);
            (r.status == 200 ? served : failed)++;
        }
    });
    std::string out;
    EXPECT_EQ(0, Operator(hub, "--ban cheat", &out)) << out;
    EXPECT_EQ(0u, out.find("Banned \"Cheat\"")) << out;
    EXPECT_EQ(0, Operator(hub, "--remove-scores Cheat --since " + Today(), &out)) << out;
    EXPECT_NE(std::string::npos, out.find("Removed 3 score lines")) << out;
    EXPECT_EQ(0, Operator(hub, "--reset-bbs 'Gone  Away '", &out)) << out;
    EXPECT_EQ(1, Operator(hub, "--ban Nobody", &out));
    EXPECT_EQ(0u, out.find("grimby-hub: no BBS named \"Nobody\"")) << out;
    EXPECT_EQ(1, Operator(hub, "--remove-scores Cheat --since yesterday", &out));
    usleep(300 * 1000);
    stop = true;
    load.join();
    EXPECT_EQ(0, failed.load()) << served.load() << " served";

    EXPECT_EQ("Ann\tHonest\t900\n", hub.Get("/v1/scores/story.tsv").body);
    HubReply refused = hub.Signed("/v1/scores/upload", UploadOne(cheat, "C", 1, 9), cheat.secret);
    EXPECT_EQ(403, refused.status);
    EXPECT_EQ("banned", refused.code);
    EXPECT_EQ(409, hub.Post("/v1/enroll/auto", "{\"bbs\":\"CHEAT\"}").status)
        << "a banned name stays taken";
    EXPECT_EQ("", hub.Enroll("Gone Away").empty() ? "released name not free" : "");
    EXPECT_EQ(0, Operator(hub, "--list-bbs", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("banned")) << out;
    EXPECT_NE(std::string::npos, out.find("3 BBSes enrolled.")) << out;
    EXPECT_EQ(0, Operator(hub, "--unban Cheat", &out)) << out;
    EXPECT_EQ(200, hub.Signed("/v1/scores/upload", UploadOne(cheat, "C", 1, 10), cheat.secret)
                       .status);

    // Polls are summarized, not logged one by one; changes are.
    std::string log = hub.log();
    EXPECT_EQ(std::string::npos, log.find("/v1/chat 200")) << log.substr(0, 2000);
    EXPECT_NE(std::string::npos, log.find("/v1/scores/upload 403 Cheat")) << log.substr(0, 2000);
}

// A database from the release before: names that now clean to one key
// are moved to it; two that would clash stay apart, keep working, and
// the operator is told.
TEST(HubOperator, NameKeysMigratedAndClashesReported)
{
    HubProcess hub;
    sqlite3 *db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((hub.dir() + "/hub.db").c_str(), &db));
    const char *old =
        "CREATE TABLE bbs(key TEXT PRIMARY KEY, name TEXT NOT NULL, secret TEXT NOT NULL,"
        " enrolled INTEGER NOT NULL) WITHOUT ROWID;"
        "CREATE TABLE scores(id INTEGER PRIMARY KEY AUTOINCREMENT, bbs_key TEXT NOT NULL,"
        " bbs_name TEXT NOT NULL, line TEXT NOT NULL, date TEXT NOT NULL, player TEXT NOT NULL,"
        " score INTEGER NOT NULL, daily INTEGER NOT NULL, at INTEGER NOT NULL,"
        " UNIQUE(bbs_key, line));"
        "INSERT INTO bbs VALUES('night  owl ','Night  Owl ','SecretA',1),"
        " ('|12twice','|12Twice','SecretB',1),"
        " ('dup bbs','Dup BBS','SecretC',1), ('dup  bbs','Dup  BBS','SecretD',1);";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, old, nullptr, nullptr, nullptr));
    std::string line = "grimby\t" + Today() + "\tAnn\t700\tstory\t1-1-profile-0123456789abcdef.tsv";
    std::string insert = "INSERT INTO scores(bbs_key,bbs_name,line,date,player,score,daily,at)"
                         " VALUES('night  owl ','Night  Owl ','" + line + "','" + Today() +
                         "','Ann',700,0,1)";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr));
    sqlite3_close(db);
    ASSERT_TRUE(hub.Start()) << hub.log();
    EXPECT_NE(std::string::npos, hub.log().find("now share the name key \"dup bbs\"")) << hub.log();

    struct Case { const char *name, *secret; } cases[] = {
        {"Night Owl", "SecretA"}, {"night  owl", "SecretA"}, {"Twice", "SecretB"},
        {"Dup BBS", "SecretC"}, {"Dup  BBS", "SecretD"}};
    for (const Case &c : cases) {
        TestBbs b(hub, "unused-" + std::string(c.secret));
        b.name = c.name;
        b.secret = c.secret;
        b.session = std::string(32, 'a' + (char)(&c - cases));
        EXPECT_EQ(200, SendChat(hub, b, "poll", 0).status) << c.name;
    }
    EXPECT_EQ(409, hub.Post("/v1/enroll/auto", "{\"bbs\":\" night OWL\"}").status);
    EXPECT_EQ(409, hub.Post("/v1/enroll/auto", "{\"bbs\":\"|1|222twice\"}").status);
    EXPECT_EQ("Ann\tNight  Owl \t700\n", hub.Get("/v1/scores/story.tsv").body);
    // The resend of a line stored under the old key is still a duplicate.
    TestBbs owl(hub, "unused-owl");
    owl.name = "Night Owl";
    owl.secret = "SecretA";
    owl.session = "2222222222222222222222222222222222";
    std::string body = "{\"bbs\":\"Night Owl\",\"session\":\"" + owl.session +
                       "\",\"seq\":1,\"timestamp\":" + std::to_string((long long)time(nullptr)) +
                       ",\"lines\":[\"grimby\\t" + Today() +
                       "\\tAnn\\t700\\tstory\\t1-1-profile-0123456789abcdef.tsv\"]}";
    EXPECT_NE(std::string::npos,
              hub.Signed("/v1/scores/upload", body, "SecretA").body.find("[\"duplicate\"]"));
}

}  // namespace
