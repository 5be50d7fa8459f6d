// The score exchange: uploads judged line by line, boards in the game's
// own format, and nothing acknowledged lost to kill -9.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "hub_test_util.h"
#include "interbbs.h"
#include "run.h"
#include "testdir.h"

namespace {

std::string Today(int days = 0)
{
    char out[9];
    hub_utc_date((int64_t)time(nullptr) + days * 86400LL, out);
    return out;
}

std::string Line(const std::string &date, const std::string &name, int score, const char *kind,
                 int sequence)
{
    return "grimby\t" + date + "\t" + name + "\t" + std::to_string(score) + "\t" + kind +
           "\t1765000000-" + std::to_string(sequence) + "-profile-0123456789abcdef.tsv\n";
}

// The JSON form of outbox lines, as the sync worker sends them.
std::string UploadBody(TestBbs &b, const std::vector<std::string> &lines)
{
    std::string body = "{\"bbs\":\"" + b.name + "\",\"game\":\"grimby\",\"session\":\"" +
                       b.session + "\",\"seq\":" + std::to_string(++b.seq) +
                       ",\"timestamp\":" + std::to_string((long long)time(nullptr)) +
                       ",\"lines\":[";
    for (size_t i = 0; i < lines.size(); i++) {
        std::string escaped;
        for (char c : lines[i]) {
            char code[8];
            snprintf(code, sizeof code, "\\u%04x", (unsigned char)c);
            escaped += c == '\t' ? std::string("\\t") : c == '\n' ? std::string("\\n")
                     : (unsigned char)c < 0x20 ? std::string(code)
                     : c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        }
        body += (i ? ",\"" : "\"") + escaped + "\"";
    }
    return body + "]}";
}

HubReply Upload(const HubProcess &hub, TestBbs &b, const std::vector<std::string> &lines)
{
    return hub.Signed("/v1/scores/upload", UploadBody(b, lines), b.secret);
}

// What the game shows: the board file read by its own reader.
std::vector<interbbs_row> GameRows(const std::string &body)
{
    TestDir dir;
    std::string file = dir.write("board.tsv", body);
    std::vector<interbbs_row> rows(32);
    int n = interbbs_read_rows(file.c_str(), rows.data(), 32);
    rows.resize(n < 0 ? 0 : (size_t)n);
    return rows;
}

TEST(HubScores, EachLineJudgedAndBoardsRankedAcrossBbses)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    std::string long_name(64, 'L');
    TestBbs a(hub, "Night Owl"), b(hub, long_name);
    std::string ann = Line(Today(), "Ann", 500, "story", 1);

    HubReply r = Upload(hub, a,
                        {ann, ann, "grimby\tnot a line", Line(Today(), "Ann", 900, "daily", 2),
                         Line(Today(2), "Ann", 5, "daily", 3), Line(Today(), "Ann", 300, "story", 4),
                         Line(Today(), "A\x01nn", 1, "story", 5),
                         Line(Today(), "Ann", 1, "story", 6) + "\textra"});
    ASSERT_EQ(200, r.status) << r.body;
    EXPECT_EQ("{\"results\":[\"accepted\",\"duplicate\",\"rejected\",\"accepted\",\"future\","
              "\"accepted\",\"rejected\",\"rejected\"],\"accepted\":3,\"duplicate\":1,"
              "\"rejected\":3,\"future\":1}",
              r.body);
    // The same line from another BBS is another result.
    r = Upload(hub, b, {ann, Line(Today(), "Bob", 700, "story", 1)});
    EXPECT_NE(std::string::npos, r.body.find("\"accepted\":2")) << r.body;

    HubReply story = hub.Get("/v1/scores/story.tsv");
    ASSERT_EQ(200, story.status);
    EXPECT_EQ(Today().substr(0, 6), story.period);
    std::string cut(47, 'L');
    EXPECT_EQ("Bob\t" + cut + "\t700\nAnn\tNight Owl\t500\nAnn\t" + cut + "\t500\n", story.body);
    std::vector<interbbs_row> rows = GameRows(story.body);
    ASSERT_EQ(3u, rows.size());
    EXPECT_STREQ("Bob", rows[0].player);
    EXPECT_STREQ(cut.c_str(), rows[0].bbs);
    EXPECT_EQ(700, rows[0].score);

    HubReply daily = hub.Get("/v1/scores/daily.tsv");
    EXPECT_EQ(Today(), daily.period);
    EXPECT_EQ("Ann\tNight Owl\t900\n", daily.body);

    // A resend after a restart finds every line already there.
    ASSERT_EQ(0, hub.Stop());
    ASSERT_TRUE(hub.Start());
    TestBbs again = a;
    again.session = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
    r = Upload(hub, again, {ann, Line(Today(), "Ann", 300, "story", 4)});
    EXPECT_NE(std::string::npos, r.body.find("\"duplicate\":2")) << r.body;
    r = Upload(hub, again, std::vector<std::string>(17, ann));
    EXPECT_EQ(400, r.status) << "at most 16 lines a request";
}

TEST(HubScores, BoardsHoldAtLeastFourteenRowsTheGameReads)
{
    HubProcess hub("\"board_rows_per_bbs\":20");
    ASSERT_TRUE(hub.Start());
    TestBbs a(hub, "Many Players");
    std::vector<std::string> lines;
    for (int i = 0; i < 16; i++)
        lines.push_back(Line(Today(), "Player " + std::to_string(i), 100 + i, "daily", i));
    ASSERT_EQ(200, Upload(hub, a, lines).status);
    std::vector<interbbs_row> rows = GameRows(hub.Get("/v1/scores/daily.tsv").body);
    ASSERT_EQ(16u, rows.size());
    EXPECT_STREQ("Player 15", rows[0].player);
    EXPECT_EQ(100, rows[15].score);
}

// What an unattended worker relies on: a bad line never holds up the
// others, a line from tomorrow waits instead of being lost, every refusal
// says why in a code, and a resend after a lost reply is harmless.
TEST(HubScores, WorkerContract)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs a(hub, "Night Owl");
    std::string ann = Line(Today(), "Ann", 500, "story", 1);
    std::string nul = Line(Today(), "N\x01ul", 5, "story", 2);
    nul[nul.find('\x01')] = '\0';
    std::string huge = Line(Today(), "Ann", 7, "story", 3) + std::string(1100, 'x');
    std::string tomorrow = Line(Today(1), "Ann", 9, "daily", 4);
    HubReply r = Upload(hub, a, {nul, ann, huge, tomorrow});
    ASSERT_EQ(200, r.status) << r.body;
    EXPECT_EQ("{\"results\":[\"rejected\",\"accepted\",\"rejected\",\"future\"],\"accepted\":1,"
              "\"duplicate\":0,\"rejected\":2,\"future\":1}",
              r.body);
    EXPECT_FALSE(r.date.empty()) << "every reply says the hub's time";
    // The reply was lost: the same lines with the next seq.
    r = Upload(hub, a, {ann});
    EXPECT_NE(std::string::npos, r.body.find("[\"duplicate\"]")) << r.body;

    // A 413 stored nothing and used up no seq.
    std::vector<std::string> quotes;
    for (int i = 0; i < 16; i++)
        quotes.push_back(Line(Today(), std::string(32, '"'), 1, "story", 10 + i));
    std::string body = UploadBody(a, quotes);
    ASSERT_GT(body.size(), 2048u);
    r = hub.Signed("/v1/scores/upload", body, a.secret);
    EXPECT_EQ(413, r.status);
    EXPECT_EQ("too_large", r.code);
    EXPECT_FALSE(r.date.empty());
    a.seq--;
    r = Upload(hub, a, {quotes[0]});
    EXPECT_NE(std::string::npos, r.body.find("[\"accepted\"]")) << r.body;

    // Each refusal of a signed request names its cause.
    std::string good = UploadBody(a, {ann});
    EXPECT_EQ("bad_signature", hub.Signed("/v1/scores/upload", good, "wrong").code);
    EXPECT_EQ(200, hub.Signed("/v1/scores/upload", good, a.secret).status);
    r = hub.Signed("/v1/scores/upload", good, a.secret);
    EXPECT_EQ(403, r.status);
    EXPECT_EQ("replay", r.code);
    TestBbs stranger = a;
    stranger.name = "Nobody Here";
    EXPECT_EQ("unknown_bbs", Upload(hub, stranger, {ann}).code);
    std::string late = UploadBody(a, {ann});
    late.replace(late.find("\"timestamp\":") + 12, 10, "1000000000");
    r = hub.Signed("/v1/scores/upload", late, a.secret);
    EXPECT_EQ(403, r.status);
    EXPECT_EQ("clock", r.code);
}

// The public address given at enrollment (or changed later by a signed
// request) rides in the boards as a fourth column, which the game's
// reader passes over; an unchanged board costs a worker no body.
TEST(HubScores, DomainColumnAndUnchangedBoards)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    HubReply e = hub.Post("/v1/enroll/auto", "{\"bbs\":\"Night Owl\",\"domain\":\"owl.example:2323\"}");
    ASSERT_EQ(200, e.status) << e.body;
    TestBbs a(hub, "Other");
    a.name = "Night Owl";
    a.secret = e.body.substr(e.body.find("\"secret\":\"") + 10, 48);
    EXPECT_EQ("bad_request",
              hub.Post("/v1/enroll/auto", "{\"bbs\":\"X\",\"domain\":\"a b\tc\"}").code);
    ASSERT_EQ(200, Upload(hub, a, {Line(Today(), "Ann", 500, "story", 1)}).status);

    HubReply story = hub.Get("/v1/scores/story.tsv");
    EXPECT_EQ("Ann\tNight Owl\t500\towl.example:2323\n", story.body);
    std::vector<interbbs_row> rows = GameRows(story.body);
    ASSERT_EQ(1u, rows.size());
    EXPECT_STREQ("Night Owl", rows[0].bbs);
    EXPECT_EQ(500, rows[0].score);
    ASSERT_FALSE(story.etag.empty());
    HubReply same = hub.Get("/v1/scores/story.tsv", "", story.etag);
    EXPECT_EQ(304, same.status);
    EXPECT_EQ("", same.body);

    std::string body = "{\"bbs\":\"Night Owl\",\"session\":\"" + a.session +
                       "\",\"seq\":" + std::to_string(++a.seq) +
                       ",\"timestamp\":" + std::to_string((long long)time(nullptr)) +
                       ",\"domain\":\"[2001:db8::1]:23\"}";
    HubReply d = hub.Signed("/v1/bbs/domain", body, a.secret);
    ASSERT_EQ(200, d.status) << d.body;
    HubReply moved = hub.Get("/v1/scores/story.tsv", "", story.etag);
    EXPECT_EQ(200, moved.status);
    EXPECT_EQ("Ann\tNight Owl\t500\t[2001:db8::1]:23\n", moved.body);
    EXPECT_NE(story.etag, moved.etag);
}

// The bound is the game's own: the most one run can score passes, one
// more does not, and the invented 2,147,483,647 of a cheat never counts.
TEST(HubScores, ScoresNoRunCanReachAreRejected)
{
    long ceiling = run_score_ceiling();
    ASSERT_GT(ceiling, 10000);
    ASSERT_LT(ceiling, 1000000);
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs a(hub, "Cheater");
    HubReply r = Upload(hub, a, {Line(Today(), "Max", (int)ceiling, "story", 1),
                                 Line(Today(), "Over", (int)ceiling + 1, "story", 2),
                                 Line(Today(), "Cheat", 2147483647, "story", 3)});
    EXPECT_NE(std::string::npos, r.body.find("[\"accepted\",\"rejected\",\"rejected\"]")) << r.body;
    EXPECT_EQ("Max\tCheater\t" + std::to_string(ceiling) + "\n",
              hub.Get("/v1/scores/story.tsv").body);
}

TEST(HubScores, KillNineDuringUploadsLosesNothingAcknowledged)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    TestBbs a(hub, "Crash Test");
    std::mutex lock;
    std::vector<std::string> acknowledged;
    std::atomic<bool> stop{false};
    std::thread uploader([&] {
        TestBbs me = a;
        for (int batch = 0; !stop; batch++) {
            std::vector<std::string> lines;
            for (int i = 0; i < 8; i++)
                lines.push_back(Line(Today(), "P" + std::to_string(batch), i, "story",
                                     batch * 8 + i + 1));
            HubReply r = Upload(hub, me, lines);
            if (r.status == 200 && r.body.find("\"accepted\":8") != std::string::npos) {
                std::lock_guard<std::mutex> hold(lock);
                acknowledged.insert(acknowledged.end(), lines.begin(), lines.end());
            }
        }
    });
    usleep(1500 * 1000);
    kill(hub.pid(), SIGKILL);
    stop = true;
    uploader.join();
    hub.Kill();
    ASSERT_GT(acknowledged.size(), 0u);
    ASSERT_TRUE(hub.Start());
    a.session = "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
    for (size_t i = 0; i < acknowledged.size(); i += 16) {
        std::vector<std::string> part(acknowledged.begin() + (long)i,
                                      acknowledged.begin() + (long)std::min(i + 16, acknowledged.size()));
        HubReply r = Upload(hub, a, part);
        EXPECT_NE(std::string::npos,
                  r.body.find("\"duplicate\":" + std::to_string(part.size())))
            << "an acknowledged line was lost: " << r.body;
    }
}

}  // namespace
