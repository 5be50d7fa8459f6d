/* hub_db.cpp -- SQLite storage of the hub. Every value reaches SQL through
 * a bound parameter; statements are prepared once and kept. */
#include "hub_db.h"

#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "hub_text.h"

// Who is present, kept in memory: counting rows in SQL on every poll would
// cost in proportion to the sessions of the last 30 seconds. Presence is
// short-lived by nature; after a restart callers are counted again with
// their next poll, within ten seconds.
struct Presence {
    struct Entry {
        int64_t last_seen;
        int in_chat;
        std::string bbs;
    };
    std::map<std::string, Entry> sessions;             // BBS key, NUL, session
    std::multimap<int64_t, std::string> by_time;        // last_seen -> session (stale ones skipped)
    std::map<std::string, int> per_bbs;
    int64_t chatting = 0;

    void Drop(std::map<std::string, Entry>::iterator it)
    {
        chatting -= it->second.in_chat;
        if (--per_bbs[it->second.bbs] <= 0) per_bbs.erase(it->second.bbs);
        sessions.erase(it);
    }

    void Expire(int64_t oldest)
    {
        while (!by_time.empty() && by_time.begin()->first < oldest) {
            auto found = sessions.find(by_time.begin()->second);
            if (found != sessions.end() && found->second.last_seen == by_time.begin()->first)
                Drop(found);
            by_time.erase(by_time.begin());
        }
    }

    void Touch(const std::string &bbs, const std::string &session, int64_t now, int in_chat,
               bool leave)
    {
        std::string id = bbs + '\0' + session;
        auto found = sessions.find(id);
        if (found != sessions.end()) {
            if (leave) {
                Drop(found);
                return;
            }
            chatting += in_chat - found->second.in_chat;
            found->second.in_chat = in_chat;
            if (found->second.last_seen != now) by_time.emplace(now, id);
            found->second.last_seen = now;
            return;
        }
        if (leave) return;
        sessions.emplace(id, Entry{now, in_chat, bbs});
        by_time.emplace(now, id);
        per_bbs[bbs]++;
        chatting += in_chat;
    }
};

struct HubDb {
    sqlite3 *sql = nullptr;
    std::mutex lock;
    std::map<const char *, sqlite3_stmt *> cache;
    int64_t last_prune = 0;
    int replay_seconds = 900;
    Presence presence;
    // Checkpoints run on their own connection and thread: done by the
    // committing request they would put a disk flush into one reply.
    sqlite3 *checkpoint_sql = nullptr;
    std::thread checkpointer;
    std::mutex checkpoint_lock;
    std::condition_variable checkpoint_wake;
    bool closing = false;
};

namespace {

const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS bbs(key TEXT PRIMARY KEY, name TEXT NOT NULL,"
    " secret TEXT NOT NULL, enrolled INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS sessions(bbs_key TEXT NOT NULL, session TEXT NOT NULL,"
    " seq INTEGER NOT NULL, last_seen INTEGER NOT NULL, present INTEGER NOT NULL,"
    " in_chat INTEGER NOT NULL, player TEXT NOT NULL, caller TEXT NOT NULL,"
    " PRIMARY KEY(bbs_key, session)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS sessions_seen ON sessions(last_seen);"
    /* AUTOINCREMENT: a line number is never reused, even after old lines
       are pruned, so a cursor can never point backwards. */
    "CREATE TABLE IF NOT EXISTS lines(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " text TEXT NOT NULL, at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS events(bbs_key TEXT NOT NULL, event TEXT NOT NULL,"
    " session TEXT NOT NULL, at INTEGER NOT NULL, PRIMARY KEY(bbs_key, event)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS events_rate ON events(bbs_key, session, at);"
    "CREATE TABLE IF NOT EXISTS scores(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " bbs_key TEXT NOT NULL, bbs_name TEXT NOT NULL, line TEXT NOT NULL,"
    " date TEXT NOT NULL, player TEXT NOT NULL, score INTEGER NOT NULL,"
    " daily INTEGER NOT NULL, at INTEGER NOT NULL, UNIQUE(bbs_key, line));"
    "CREATE INDEX IF NOT EXISTS scores_board ON scores(daily, date);";

// A database step that holds up every request is worth a line in the log:
// it is the disk (a flush elsewhere on the file system), not the load.
struct SlowStep {
    const char *what;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    explicit SlowStep(const char *w) : what(w) {}
    ~SlowStep()
    {
        long long ms = (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
        if (ms >= 250) fprintf(stderr, "grimby-hub: slow database: %s took %lld ms\n", what, ms);
    }
};

sqlite3_stmt *Stmt(HubDb *db, const char *sql)
{
    auto found = db->cache.find(sql);
    if (found != db->cache.end()) {
        sqlite3_reset(found->second);
        sqlite3_clear_bindings(found->second);
        return found->second;
    }
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v3(db->sql, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) !=
        SQLITE_OK) {
        fprintf(stderr, "grimby-hub: database: %s\n", sqlite3_errmsg(db->sql));
        return nullptr;
    }
    db->cache[sql] = st;
    return st;
}

void Text(sqlite3_stmt *st, int n, const std::string &s)
{
    sqlite3_bind_text(st, n, s.data(), (int)s.size(), SQLITE_TRANSIENT);
}

std::string Column(sqlite3_stmt *st, int n)
{
    const unsigned char *t = sqlite3_column_text(st, n);
    return t ? std::string((const char *)t, (size_t)sqlite3_column_bytes(st, n)) : std::string();
}

bool Exec(HubDb *db, const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db->sql, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    fprintf(stderr, "grimby-hub: database: %s\n", error ? error : "failed");
    sqlite3_free(error);
    return false;
}

// A write transaction. Durable ones (a message, an upload, an enrollment)
// reach the disk before the reply; the rest only need to survive the
// process, which WAL with synchronous NORMAL already gives.
bool Begin(HubDb *db, bool durable)
{
    if (durable && !Exec(db, "PRAGMA synchronous=FULL")) return false;
    return Exec(db, "BEGIN IMMEDIATE");
}

bool Commit(HubDb *db, bool durable)
{
    bool ok = Exec(db, "COMMIT");
    if (!ok) Exec(db, "ROLLBACK");
    if (durable) Exec(db, "PRAGMA synchronous=NORMAL");
    return ok;
}

void Rollback(HubDb *db, bool durable)
{
    Exec(db, "ROLLBACK");
    if (durable) Exec(db, "PRAGMA synchronous=NORMAL");
}

// 1 when seq is above the last one seen for the session (now recorded),
// 0 for a replay, -1 on failure. Inside the caller's transaction.
int AdvanceSeq(HubDb *db, const HubSigned &s)
{
    sqlite3_stmt *st = Stmt(db, "SELECT seq FROM sessions WHERE bbs_key=?1 AND session=?2");
    if (!st) return -1;
    Text(st, 1, s.key);
    Text(st, 2, s.session);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW && sqlite3_column_int64(st, 0) >= s.seq) return 0;
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return -1;
    return 1;
}

bool Touch(HubDb *db, const HubSigned &s, int present, int in_chat, const std::string &player,
           const std::string &caller)
{
    sqlite3_stmt *st =
        Stmt(db, "INSERT INTO sessions(bbs_key,session,seq,last_seen,present,in_chat,player,caller)"
                 " VALUES(?1,?2,?3,?4,?5,?6,?7,?8) ON CONFLICT(bbs_key,session) DO UPDATE SET"
                 " seq=?3,last_seen=?4,present=?5,in_chat=?6,player=?7,caller=?8");
    if (!st) return false;
    Text(st, 1, s.key);
    Text(st, 2, s.session);
    sqlite3_bind_int64(st, 3, s.seq);
    sqlite3_bind_int64(st, 4, s.now);
    sqlite3_bind_int(st, 5, present);
    sqlite3_bind_int(st, 6, in_chat);
    Text(st, 7, player);
    Text(st, 8, caller);
    return sqlite3_step(st) == SQLITE_DONE;
}

// Old replay memory (a request it forgot is already refused by the
// clock), message ids (two days) and chat lines beyond the last 2,000.
// A little every second rather than all at once, so that no request waits
// behind a large delete.
void Prune(HubDb *db, int64_t now)
{
    if (now == db->last_prune) return;
    db->last_prune = now;
    sqlite3_stmt *st = Stmt(db, "DELETE FROM sessions WHERE (bbs_key, session) IN"
                                " (SELECT bbs_key, session FROM sessions WHERE last_seen < ?1"
                                " LIMIT 4000)");
    if (st) {
        sqlite3_bind_int64(st, 1, now - db->replay_seconds);
        sqlite3_step(st);
    }
    st = Stmt(db, "DELETE FROM events WHERE (bbs_key, event) IN"
                  " (SELECT bbs_key, event FROM events WHERE at < ?1 LIMIT 4000)");
    if (st) {
        sqlite3_bind_int64(st, 1, now - 2 * 86400);
        sqlite3_step(st);
    }
    st = Stmt(db, "DELETE FROM lines WHERE id <= (SELECT MAX(id) FROM lines) - 2000");
    if (st) sqlite3_step(st);
}

}  // namespace

HubDb *hub_db_open(const char *path, int replay_seconds, std::string *error)
{
    HubDb *db = new HubDb;
    db->replay_seconds = replay_seconds;
    int rc = sqlite3_open_v2(path, &db->sql,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db->sql, 5000);
        sqlite3_stmt *st = nullptr;
        // journal_mode answers with the mode it really set.
        rc = sqlite3_prepare_v2(db->sql, "PRAGMA journal_mode=WAL", -1, &st, nullptr);
        bool wal = rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
                   strcmp((const char *)sqlite3_column_text(st, 0), "wal") == 0;
        sqlite3_finalize(st);
        if (wal && Exec(db, "PRAGMA synchronous=NORMAL") && Exec(db, "PRAGMA wal_autocheckpoint=0") &&
            Exec(db, kSchema) &&
            sqlite3_open_v2(path, &db->checkpoint_sql, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db->checkpoint_sql, 5000);
            db->checkpointer = std::thread([db] {
                std::unique_lock<std::mutex> hold(db->checkpoint_lock);
                while (!db->closing) {
                    db->checkpoint_wake.wait_for(hold, std::chrono::seconds(1));
                    SlowStep timing("a checkpoint");
                    sqlite3_wal_checkpoint_v2(db->checkpoint_sql, nullptr,
                                              SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
                }
            });
            return db;
        }
    }
    *error = db->sql ? sqlite3_errmsg(db->sql) : "out of memory";
    hub_db_close(db);
    return nullptr;
}

void hub_db_close(HubDb *db)
{
    if (!db) return;
    if (db->checkpointer.joinable()) {
        {
            std::lock_guard<std::mutex> hold(db->checkpoint_lock);
            db->closing = true;
        }
        db->checkpoint_wake.notify_all();
        db->checkpointer.join();
    }
    sqlite3_close(db->checkpoint_sql);
    for (auto &entry : db->cache) sqlite3_finalize(entry.second);
    sqlite3_close(db->sql);
    delete db;
}

int hub_db_enroll(HubDb *db, const std::string &name, const std::string &key,
                  const std::string &secret, int64_t now)
{
    std::lock_guard<std::mutex> hold(db->lock);
    if (!Begin(db, true)) return -1;
    sqlite3_stmt *st =
        Stmt(db, "INSERT OR IGNORE INTO bbs(key,name,secret,enrolled) VALUES(?1,?2,?3,?4)");
    if (!st) {
        Rollback(db, true);
        return -1;
    }
    Text(st, 1, key);
    Text(st, 2, name);
    Text(st, 3, secret);
    sqlite3_bind_int64(st, 4, now);
    if (sqlite3_step(st) != SQLITE_DONE) {
        Rollback(db, true);
        return -1;
    }
    int added = sqlite3_changes(db->sql);
    if (!Commit(db, true)) return -1;
    return added ? 1 : 0;
}

int hub_db_find_bbs(HubDb *db, const std::string &key, std::string *name, std::string *secret)
{
    std::lock_guard<std::mutex> hold(db->lock);
    sqlite3_stmt *st = Stmt(db, "SELECT name, secret FROM bbs WHERE key=?1");
    if (!st) return -1;
    Text(st, 1, key);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return -1;
    *name = Column(st, 0);
    *secret = Column(st, 1);
    sqlite3_reset(st);
    return 1;
}

int hub_db_reset_bbs(HubDb *db, const std::string &key)
{
    std::lock_guard<std::mutex> hold(db->lock);
    if (!Begin(db, true)) return -1;
    sqlite3_stmt *st = Stmt(db, "DELETE FROM bbs WHERE key=?1");
    if (!st) {
        Rollback(db, true);
        return -1;
    }
    Text(st, 1, key);
    if (sqlite3_step(st) != SQLITE_DONE) {
        Rollback(db, true);
        return -1;
    }
    int removed = sqlite3_changes(db->sql);
    // The replay memory stays: a request signed with the old secret must
    // not find a (session, seq) it could reuse under a new enrollment.
    st = Stmt(db, "UPDATE sessions SET present=0 WHERE bbs_key=?1");
    if (st) {
        Text(st, 1, key);
        sqlite3_step(st);
    }
    if (!Commit(db, true)) return -1;
    return removed ? 1 : 0;
}

int hub_db_chat(HubDb *db, const HubChat &chat, HubChatReply *reply)
{
    std::lock_guard<std::mutex> hold(db->lock);
    SlowStep timing("a chat request");
    const HubSigned &s = chat.s;
    bool durable = chat.op == HUB_OP_MESSAGE && chat.notice.empty();
    if (!Begin(db, durable)) return 500;
    int fresh = AdvanceSeq(db, s);
    if (fresh <= 0) {
        Rollback(db, durable);
        return fresh == 0 ? 403 : 500;
    }
    if (!Touch(db, s, chat.op != HUB_OP_LEAVE, chat.in_chat, chat.player, chat.caller)) {
        Rollback(db, durable);
        return 500;
    }
    std::string notice = chat.notice;
    if (chat.op == HUB_OP_MESSAGE && notice.empty()) {
        sqlite3_stmt *st = Stmt(db, "SELECT 1 FROM events WHERE bbs_key=?1 AND event=?2");
        if (!st) {
            Rollback(db, durable);
            return 500;
        }
        Text(st, 1, s.key);
        Text(st, 2, chat.event);
        bool duplicate = sqlite3_step(st) == SQLITE_ROW;
        sqlite3_reset(st);
        bool allowed = true;
        if (!duplicate) {
            st = Stmt(db, "SELECT COUNT(*) FROM events WHERE bbs_key=?1 AND session=?2 AND at>?3");
            if (!st) {
                Rollback(db, durable);
                return 500;
            }
            Text(st, 1, s.key);
            Text(st, 2, s.session);
            sqlite3_bind_int64(st, 3, s.now - chat.rate_window);
            allowed = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) < chat.rate_limit;
            sqlite3_reset(st);
            if (!allowed) notice = "Hub: slow down - message not sent.";
        }
        if (!duplicate && allowed) {
            st = Stmt(db, "INSERT INTO events(bbs_key,event,session,at) VALUES(?1,?2,?3,?4)");
            sqlite3_stmt *line = nullptr;
            bool ok = st != nullptr;
            if (ok) {
                Text(st, 1, s.key);
                Text(st, 2, chat.event);
                Text(st, 3, s.session);
                sqlite3_bind_int64(st, 4, s.now);
                ok = sqlite3_step(st) == SQLITE_DONE;
            }
            if (ok) ok = (line = Stmt(db, "INSERT INTO lines(text,at) VALUES(?1,?2)")) != nullptr;
            if (ok) {
                Text(line, 1, chat.player + "@" + s.name + ": " + chat.text);
                sqlite3_bind_int64(line, 2, s.now);
                ok = sqlite3_step(line) == SQLITE_DONE;
            }
            if (!ok) {
                Rollback(db, durable);
                return 500;
            }
        }
    }
    Prune(db, s.now);

    sqlite3_stmt *st = nullptr;
    reply->cursor = chat.cursor;
    reply->lines.clear();
    if (chat.op != HUB_OP_LEAVE) {
        int most = notice.empty() ? 16 : 15;
        if (chat.cursor == 0) {
            st = Stmt(db, "SELECT id, text FROM lines ORDER BY id DESC LIMIT ?1");
            if (st) sqlite3_bind_int(st, 1, chat.context < most ? chat.context : most);
        } else {
            st = Stmt(db, "SELECT id, text FROM lines WHERE id>?2 ORDER BY id DESC LIMIT ?1");
            if (st) {
                sqlite3_bind_int(st, 1, most);
                sqlite3_bind_int64(st, 2, chat.cursor);
            }
        }
        if (!st) {
            Rollback(db, durable);
            return 500;
        }
        while (sqlite3_step(st) == SQLITE_ROW) {
            int64_t id = sqlite3_column_int64(st, 0);
            if (id > reply->cursor) reply->cursor = id;
            reply->lines.insert(reply->lines.begin(), Column(st, 1));
        }
        sqlite3_reset(st);
        if (!notice.empty()) reply->lines.push_back(notice);
    }
    if (!Commit(db, durable)) return 500;
    // Counted once the request is committed: a refused one changes nothing.
    db->presence.Expire(s.now - chat.presence);
    db->presence.Touch(s.key, s.session, s.now, chat.in_chat, chat.op == HUB_OP_LEAVE);
    reply->players = (int64_t)db->presence.sessions.size();
    reply->bbses = (int64_t)db->presence.per_bbs.size();
    reply->chatting = db->presence.chatting;
    return 200;
}

int hub_db_upload(HubDb *db, const HubSigned &s, const std::vector<std::string> &lines,
                  const char *latest, std::vector<int> *results)
{
    std::lock_guard<std::mutex> hold(db->lock);
    SlowStep timing("an upload");
    results->clear();
    if (!Begin(db, true)) return 500;
    int fresh = AdvanceSeq(db, s);
    if (fresh <= 0 || !Touch(db, s, 0, 0, "", "")) {
        Rollback(db, true);
        return fresh == 0 ? 403 : 500;
    }
    for (const std::string &raw : lines) {
        hub_outbox_line parsed;
        std::string whole;
        if (!hub_parse_outbox(raw, latest, &parsed, &whole)) {
            results->push_back(HUB_LINE_REJECTED);
            continue;
        }
        sqlite3_stmt *st =
            Stmt(db, "INSERT OR IGNORE INTO scores(bbs_key,bbs_name,line,date,player,score,daily,at)"
                     " VALUES(?1,?2,?3,?4,?5,?6,?7,?8)");
        if (!st) {
            Rollback(db, true);
            return 500;
        }
        Text(st, 1, s.key);
        Text(st, 2, s.name);
        Text(st, 3, whole);
        Text(st, 4, parsed.date);
        Text(st, 5, parsed.player);
        sqlite3_bind_int64(st, 6, parsed.score);
        sqlite3_bind_int(st, 7, parsed.daily);
        sqlite3_bind_int64(st, 8, s.now);
        if (sqlite3_step(st) != SQLITE_DONE) {
            Rollback(db, true);
            return 500;
        }
        results->push_back(sqlite3_changes(db->sql) ? HUB_LINE_ACCEPTED : HUB_LINE_DUPLICATE);
    }
    if (!Commit(db, true)) return 500;
    return 200;
}

int hub_db_board(HubDb *db, int daily, const char *from, const char *to, int rows,
                 std::string *body)
{
    std::lock_guard<std::mutex> hold(db->lock);
    // Each player of each BBS once, with their best score; a tie goes to
    // whoever reached it first.
    sqlite3_stmt *st = Stmt(
        db, "SELECT player, bbs_name, score FROM (SELECT player, bbs_name, score, id,"
            " ROW_NUMBER() OVER (PARTITION BY player, bbs_key ORDER BY score DESC, id ASC) AS rn"
            " FROM scores WHERE daily=?1 AND date>=?2 AND date<=?3)"
            " WHERE rn=1 ORDER BY score DESC, id ASC LIMIT ?4");
    if (!st) return 0;
    sqlite3_bind_int(st, 1, daily);
    sqlite3_bind_text(st, 2, from, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, to, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 4, rows);
    body->clear();
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        *body += hub_board_row(Column(st, 0), Column(st, 1), sqlite3_column_int64(st, 2));
    sqlite3_reset(st);
    return rc == SQLITE_DONE;
}
