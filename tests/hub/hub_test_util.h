// hub_test_util.h -- what the hub tests share: a BBS as a client sees it,
// the chat client's request body, and its reading of a reply.
#ifndef HUB_TEST_UTIL_H
#define HUB_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdio.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "hub_process.h"
#include "hub_text.h"
#include "qorb_json.h"

// Puts rows into the database as an older hub may have left them; the hub
// must be stopped.
inline void WriteDatabase(const HubProcess &hub, const std::string &sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((hub.dir() + "/hub.db").c_str(), &db));
    char *error = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error))
        << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

// One number read from the database, the hub running or not (-1 on failure).
inline long long ReadDatabaseCount(const HubProcess &hub, const std::string &sql)
{
    sqlite3 *db = nullptr;
    long long n = -1;
    if (sqlite3_open_v2((hub.dir() + "/hub.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return n;
}

struct TestBbs {
    std::string name, secret, session, player = "Ann";
    long long seq = 0;
    TestBbs(const HubProcess &hub, const std::string &bbs, const std::string &sess = "")
        : name(bbs), secret(hub.Enroll(bbs)),
          session(sess.empty() ? "0123456789abcdef0123456789abcdef" : sess)
    {
    }
};

struct ChatReply {
    int status = 0;
    long long players = -1, bbses = -1, chatting = -1, cursor = -1;
    bool has_lines = false;
    std::vector<std::string> lines;
    std::string body;
};

// The body exactly as the game's chat client writes it.
inline std::string ChatBody(TestBbs &b, const std::string &op, long long cursor,
                            const std::string &location = "playing",
                            const std::string &event = "", const std::string &text = "",
                            long long timestamp = (long long)time(nullptr))
{
    char body[2048];
    int n = snprintf(body, sizeof body,
                     "{\"bbs\":\"%s\",\"game\":\"grimby\",\"session\":\"%s\",\"op\":\"%s\","
                     "\"seq\":%lld,\"timestamp\":%lld,\"player\":\"%s\",\"caller\":\"%064d\","
                     "\"location\":\"%s\",\"cursor\":%lld",
                     b.name.c_str(), b.session.c_str(), op.c_str(), ++b.seq, timestamp,
                     b.player.c_str(), 7, location.c_str(), cursor);
    std::string out(body, (size_t)n);
    if (op == "message") out += ",\"event\":\"" + event + "\",\"text\":\"" + text + "\"";
    return out + "}";
}

// Reads a reply the way the chat client does (its JSON reader), and
// checks the promises the client relies on.
inline ChatReply ReadChat(const HubReply &r)
{
    ChatReply c;
    c.status = r.status;
    c.body = r.body;
    std::unique_ptr<cj_doc> doc(new cj_doc);
    if (r.status != 200 || r.body.size() > 32767 || !cj_parse(doc.get(), r.body.c_str())) return c;
    c.players = cj_number(doc.get(), "players");
    c.bbses = cj_number(doc.get(), "bbses");
    c.chatting = cj_number(doc.get(), "chatting");
    c.cursor = cj_number(doc.get(), "cursor");
    int list = hub_json_find(doc.get(), "lines");
    if (list >= 0 && doc->tok[list].type == '[') {
        c.has_lines = true;
        for (int e = list + 1; e < doc->tok[list].next; e = doc->tok[e].next) {
            std::string line;
            if (hub_json_string(doc.get(), e, 383, &line)) c.lines.push_back(line);
            else c.lines.push_back("<unreadable>");
        }
    }
    return c;
}

inline ChatReply SendChat(const HubProcess &hub, TestBbs &b, const std::string &op,
                          long long cursor, const std::string &location = "playing",
                          const std::string &event = "", const std::string &text = "")
{
    return ReadChat(hub.Signed("/v1/chat", ChatBody(b, op, cursor, location, event, text),
                               b.secret));
}

#endif
