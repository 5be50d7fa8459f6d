/* hub_db.cpp -- SQLite storage of the hub. Every value reaches SQL through
 * a bound parameter; statements are prepared once and kept. */
#include "hub_db.h"

#include <openssl/sha.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <time.h>

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
    // Boards are read on a connection of their own: in WAL mode a reader
    // never waits for the writer, so no poll waits behind a board.
    sqlite3 *board_sql = nullptr;
    sqlite3_stmt *board_version = nullptr;
    sqlite3_stmt *board_rows = nullptr;
    std::mutex board_lock;
    // The member list counts every BBS's scores (tens of milliseconds in a
    // large network's month): on a third connection no board waits for it.
    sqlite3 *list_sql = nullptr;
    std::mutex list_lock;
    struct Cached {
        std::string period;
        int64_t version = -1;
        int rows = 0, per_bbs = 0;
        std::shared_ptr<const std::string> body;
        std::string etag;
    } boards[2];
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
    "CREATE INDEX IF NOT EXISTS scores_board ON scores(daily, date);"
    "CREATE INDEX IF NOT EXISTS scores_bbs ON scores(bbs_key, date);"
    /* Each player's best of each BBS in each board's period (a day, or a
       month for the story), kept in the upload's transaction, so a board
       reads its first rows from an index instead of sorting a month. */
    "CREATE TABLE IF NOT EXISTS best(daily INTEGER NOT NULL, period TEXT NOT NULL,"
    " bbs_key TEXT NOT NULL, player TEXT NOT NULL, bbs_name TEXT NOT NULL,"
    " score INTEGER NOT NULL, first_id INTEGER NOT NULL,"
    " PRIMARY KEY(daily, period, bbs_key, player)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS best_rank ON best(daily, period, score DESC, first_id);"
    /* 'boards': counts changes to what the boards show, in whichever
       process made them, so a cached board knows when it is stale. */
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL)"
    " WITHOUT ROWID;";

// The best table filled from every stored line, for a database from
// before it existed, or again after scores were removed.
const char *const kFillBest =
    "INSERT OR REPLACE INTO best(daily,period,bbs_key,player,bbs_name,score,first_id)"
    " SELECT daily, period, bbs_key, player, bbs_name, score, id FROM"
    " (SELECT daily, CASE WHEN daily THEN date ELSE substr(date,1,6) END AS period,"
    " bbs_key, player, bbs_name, score, id, ROW_NUMBER() OVER (PARTITION BY daily,"
    " CASE WHEN daily THEN date ELSE substr(date,1,6) END, bbs_key, player"
    " ORDER BY score DESC, id ASC) AS rn FROM scores WHERE ?1 IS NULL OR bbs_key=?1)"
    " WHERE rn=1";

const char *const kBoardsChanged =
    "INSERT INTO meta(key,value) VALUES('boards',1)"
    " ON CONFLICT(key) DO UPDATE SET value=value+1";

// Columns added to the bbs table since its first release; an older
// database gets them with their defaults when it is opened.
const struct {
    const char *name, *definition;
} kBbsColumns[] = {
    {"domain", "domain TEXT NOT NULL DEFAULT ''"},
    {"enroll_id", "enroll_id TEXT NOT NULL DEFAULT ''"},
    {"banned", "banned INTEGER NOT NULL DEFAULT 0"},
    {"last_seen", "last_seen INTEGER NOT NULL DEFAULT 0"},
};

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

bool AddColumns(HubDb *db)
{
    for (const auto &column : kBbsColumns) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db->sql, "SELECT 1 FROM pragma_table_info('bbs') WHERE name=?1",
                               -1, &st, nullptr) != SQLITE_OK)
            return false;
        sqlite3_bind_text(st, 1, column.name, -1, SQLITE_STATIC);
        int rc = sqlite3_step(st);
        sqlite3_finalize(st);
        if (rc == SQLITE_ROW) continue;
        if (rc != SQLITE_DONE) return false;
        std::string alter = std::string("ALTER TABLE bbs ADD COLUMN ") + column.definition;
        if (!Exec(db, alter.c_str())) return false;
    }
    return true;
}

int UserVersion(sqlite3 *sql)
{
    sqlite3_stmt *st = nullptr;
    int version = -1;
    if (sqlite3_prepare_v2(sql, "PRAGMA user_version", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        version = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return version;
}

bool Run(HubDb *db, const char *sql, const std::string &a, const std::string &b)
{
    sqlite3_stmt *st = nullptr;
    bool ok = sqlite3_prepare_v2(db->sql, sql, -1, &st, nullptr) == SQLITE_OK;
    if (ok) {
        Text(st, 1, a);
        Text(st, 2, b);
        ok = sqlite3_step(st) == SQLITE_DONE;
    }
    sqlite3_finalize(st);
    return ok;
}

// Moves every BBS to the name key of this release. BBSes whose names now
// give one key are not merged: they stay where they are (requests still
// find them by the old key) and the operator is told, to reset one.
bool MoveNameKeys(HubDb *db)
{
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> by_key;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db->sql, "SELECT key, name FROM bbs", -1, &st, nullptr) != SQLITE_OK)
        return false;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        std::string key = Column(st, 0), name = Column(st, 1);
        by_key[hub_name_key(name)].emplace_back(key, name);
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) return false;
    static const char *const moves[] = {
        "UPDATE bbs SET key=?2 WHERE key=?1",
        "UPDATE OR IGNORE sessions SET bbs_key=?2 WHERE bbs_key=?1",
        "UPDATE OR IGNORE events SET bbs_key=?2 WHERE bbs_key=?1",
        "UPDATE OR IGNORE scores SET bbs_key=?2 WHERE bbs_key=?1"};
    for (const auto &entry : by_key) {
        const auto &owners = entry.second;
        if (owners.size() > 1) {
            std::string names;
            for (const auto &owner : owners)
                names += (names.empty() ? "\"" : ", \"") + owner.second + "\"";
            fprintf(stderr,
                    "grimby-hub: the enrolled BBSes %s now share the name key \"%s\"; they were "
                    "not merged and keep working, but reset all but one with --reset-bbs.\n",
                    names.c_str(), entry.first.c_str());
            continue;
        }
        if (owners[0].first == entry.first) continue;
        for (const char *sql : moves)
            if (!Run(db, sql, owners[0].first, entry.first)) return false;
    }
    return true;
}

// Brings a database written by an earlier release up to date, once, in
// one transaction: the best table filled from the stored lines.
bool Migrate(HubDb *db)
{
    int version = UserVersion(db->sql);
    if (version < 0) return false;
    if (version >= 2) return true;
    if (!Exec(db, "BEGIN IMMEDIATE")) return false;
    bool ok = MoveNameKeys(db) && Exec(db, "DELETE FROM best");
    sqlite3_stmt *st = nullptr;
    ok = ok && sqlite3_prepare_v2(db->sql, kFillBest, -1, &st, nullptr) == SQLITE_OK &&
         sqlite3_step(st) == SQLITE_DONE;
    sqlite3_finalize(st);
    ok = ok && Exec(db, kBoardsChanged) && Exec(db, "PRAGMA user_version=2");
    if (!ok || !Exec(db, "COMMIT")) {
        Exec(db, "ROLLBACK");
        return false;
    }
    return true;
}

// A write transaction. Durable ones (a message, an upload, an enrollment)
// reach the disk before the reply; the rest only need to survive the
// process, which WAL with synchronous NORMAL already gives.
bool Begin(HubDb *db, bool durable)
{
    // A statement left part-read holds the snapshot it started on; after
    // another process (an operator command) wrote, BEGIN IMMEDIATE on that
    // old snapshot would fail as busy on every request from then on.
    for (sqlite3_stmt *st = sqlite3_next_stmt(db->sql, nullptr); st;
         st = sqlite3_next_stmt(db->sql, st))
        if (sqlite3_stmt_busy(st)) sqlite3_reset(st);
    if (durable && !Exec(db, "PRAGMA synchronous=FULL")) return false;
    // The busy time-out waits for the other writer; one more try covers a
    // writer that held on just past it.
    for (int attempt = 0;; attempt++) {
        int rc = sqlite3_exec(db->sql, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return true;
        if ((rc & 0xff) != SQLITE_BUSY || attempt == 1) {
            fprintf(stderr, "grimby-hub: database: %s\n", sqlite3_errmsg(db->sql));
            if (durable) Exec(db, "PRAGMA synchronous=NORMAL");
            return false;
        }
    }
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
    bool seen = rc == SQLITE_ROW && sqlite3_column_int64(st, 0) >= s.seq;
    sqlite3_reset(st);
    if (seen) return 0;
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
    if (sqlite3_step(st) != SQLITE_DONE) return false;
    // Kept to the minute: a write per poll would be for nothing.
    st = Stmt(db, "UPDATE bbs SET last_seen=?2 WHERE key=?1 AND last_seen<?2-60");
    if (!st) return false;
    Text(st, 1, s.key);
    sqlite3_bind_int64(st, 2, s.now);
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
            Exec(db, kSchema) && AddColumns(db) && Migrate(db) &&
            sqlite3_open_v2(path, &db->checkpoint_sql, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_open_v2(path, &db->board_sql, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_open_v2(path, &db->list_sql, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v3(db->board_sql, "SELECT value FROM meta WHERE key='boards'", -1,
                               SQLITE_PREPARE_PERSISTENT, &db->board_version,
                               nullptr) == SQLITE_OK &&
            sqlite3_prepare_v3(db->board_sql,
                               "SELECT best.player, best.bbs_name, best.score,"
                               " IFNULL(bbs.domain,''), best.bbs_key FROM best"
                               " LEFT JOIN bbs ON bbs.key=best.bbs_key"
                               " WHERE daily=?1 AND period=?2 ORDER BY score DESC, first_id ASC",
                               -1, SQLITE_PREPARE_PERSISTENT, &db->board_rows,
                               nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db->checkpoint_sql, 5000);
            sqlite3_busy_timeout(db->board_sql, 5000);
            sqlite3_busy_timeout(db->list_sql, 5000);
            db->checkpointer = std::thread([db] {
                std::unique_lock<std::mutex> hold(db->checkpoint_lock);
                while (!db->closing) {
                    db->checkpoint_wake.wait_for(hold, std::chrono::seconds(1));
                    if (db->closing) break;
                    // The replay memory and old chat shrink on this timer too, so a
                    // network without chat does not grow them for ever.
                    hub_db_prune(db, (int64_t)time(nullptr));
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
    sqlite3_finalize(db->board_version);
    sqlite3_finalize(db->board_rows);
    sqlite3_close(db->board_sql);
    sqlite3_close(db->list_sql);
    for (auto &entry : db->cache) sqlite3_finalize(entry.second);
    sqlite3_close(db->sql);
    delete db;
}

int hub_db_enroll(HubDb *db, const HubEnroll &e, std::string *secret)
{
    std::lock_guard<std::mutex> hold(db->lock);
    if (!Begin(db, true)) return -1;
    sqlite3_stmt *st = Stmt(db, "SELECT secret, enroll_id, enrolled FROM bbs WHERE key=?1");
    if (!st) {
        Rollback(db, true);
        return -1;
    }
    Text(st, 1, e.key);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        // The same attempt again (its reply was lost): the same secret,
        // for a short while only.
        int again = !e.enroll_id.empty() && Column(st, 1) == e.enroll_id &&
                    e.now - sqlite3_column_int64(st, 2) <= HUB_ENROLL_RETRY_SECONDS &&
                    e.now >= sqlite3_column_int64(st, 2);
        if (again) *secret = Column(st, 0);
        sqlite3_reset(st);
        Rollback(db, true);
        return again ? 2 : 0;
    }
    if (rc != SQLITE_DONE) {
        Rollback(db, true);
        return -1;
    }
    st = Stmt(db, "INSERT INTO bbs(key,name,secret,enrolled,enroll_id,domain)"
                  " VALUES(?1,?2,?3,?4,?5,?6)");
    if (!st) {
        Rollback(db, true);
        return -1;
    }
    Text(st, 1, e.key);
    Text(st, 2, e.name);
    Text(st, 3, e.secret);
    sqlite3_bind_int64(st, 4, e.now);
    Text(st, 5, e.enroll_id);
    Text(st, 6, e.domain);
    if (sqlite3_step(st) != SQLITE_DONE) {
        Rollback(db, true);
        return -1;
    }
    if (!Commit(db, true)) return -1;
    *secret = e.secret;
    return 1;
}

int hub_db_find_bbs(HubDb *db, const std::string &key, HubBbs *bbs)
{
    std::lock_guard<std::mutex> hold(db->lock);
    sqlite3_stmt *st = Stmt(db, "SELECT name, secret, domain, banned FROM bbs WHERE key=?1");
    if (!st) return -1;
    Text(st, 1, key);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return -1;
    bbs->name = Column(st, 0);
    bbs->secret = Column(st, 1);
    bbs->domain = Column(st, 2);
    bbs->banned = sqlite3_column_int(st, 3);
    sqlite3_reset(st);
    return 1;
}

int hub_db_set_domain(HubDb *db, const HubSigned &s, const std::string &domain)
{
    std::lock_guard<std::mutex> hold(db->lock);
    if (!Begin(db, true)) return 500;
    int fresh = AdvanceSeq(db, s);
    if (fresh <= 0 || !Touch(db, s, 0, 0, "", "")) {
        Rollback(db, true);
        return fresh == 0 ? 403 : 500;
    }
    sqlite3_stmt *st = Stmt(db, "UPDATE bbs SET domain=?2 WHERE key=?1");
    if (!st) {
        Rollback(db, true);
        return 500;
    }
    Text(st, 1, s.key);
    Text(st, 2, domain);
    // The boards show the domain: they change with it.
    if (sqlite3_step(st) != SQLITE_DONE || !Exec(db, kBoardsChanged)) {
        Rollback(db, true);
        return 500;
    }
    return Commit(db, true) ? 200 : 500;
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
    if (removed && !Exec(db, kBoardsChanged)) {
        Rollback(db, true);
        return -1;
    }
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
                  const char *today, const HubUploadRules &rules, std::vector<int> *results)
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
    bool changed = false;
    for (const std::string &raw : lines) {
        hub_outbox_line parsed;
        std::string whole;
        int verdict = hub_parse_outbox(raw, today, &parsed, &whole);
        if (verdict == HUB_OUTBOX_OK && parsed.score > rules.max_score) verdict = HUB_OUTBOX_BAD;
        if (verdict != HUB_OUTBOX_OK) {
            results->push_back(verdict == HUB_OUTBOX_FUTURE ? HUB_LINE_FUTURE : HUB_LINE_REJECTED);
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
        if (!sqlite3_changes(db->sql)) {
            results->push_back(HUB_LINE_DUPLICATE);
            continue;
        }
        int64_t id = sqlite3_last_insert_rowid(db->sql);
        // An equal score later keeps the first: ties go to who reached it first.
        st = Stmt(db, "INSERT INTO best(daily,period,bbs_key,player,bbs_name,score,first_id)"
                      " VALUES(?1,?2,?3,?4,?5,?6,?7) ON CONFLICT(daily,period,bbs_key,player)"
                      " DO UPDATE SET score=excluded.score, first_id=excluded.first_id,"
                      " bbs_name=excluded.bbs_name WHERE excluded.score>best.score");
        if (!st) {
            Rollback(db, true);
            return 500;
        }
        sqlite3_bind_int(st, 1, parsed.daily);
        sqlite3_bind_text(st, 2, parsed.date, parsed.daily ? 8 : 6, SQLITE_TRANSIENT);
        Text(st, 3, s.key);
        Text(st, 4, parsed.player);
        Text(st, 5, s.name);
        sqlite3_bind_int64(st, 6, parsed.score);
        sqlite3_bind_int64(st, 7, id);
        if (sqlite3_step(st) != SQLITE_DONE) {
            Rollback(db, true);
            return 500;
        }
        changed = changed || sqlite3_changes(db->sql) > 0;
        results->push_back(HUB_LINE_ACCEPTED);
    }
    if (changed && !Exec(db, kBoardsChanged)) {
        Rollback(db, true);
        return 500;
    }
    if (!Commit(db, true)) return 500;
    return 200;
}

namespace {

// The rows of a board: best first, each BBS at most per_bbs times, so
// one BBS cannot fill a board whatever it uploads.
bool RenderBoard(HubDb *db, int daily, const char *period, int rows, int per_bbs,
                 std::string *body)
{
    sqlite3_stmt *st = db->board_rows;
    sqlite3_reset(st);
    sqlite3_bind_int(st, 1, daily);
    sqlite3_bind_text(st, 2, period, -1, SQLITE_TRANSIENT);
    std::map<std::string, int> held;
    int count = 0, rc;
    body->clear();
    while (count < rows && (rc = sqlite3_step(st)) == SQLITE_ROW) {
        int &mine = held[Column(st, 4)];
        if (mine >= per_bbs) continue;
        mine++;
        count++;
        *body += hub_board_row(Column(st, 0), Column(st, 1), sqlite3_column_int64(st, 2),
                               Column(st, 3));
    }
    bool ok = count == rows || rc == SQLITE_DONE;
    sqlite3_reset(st);
    return ok;
}

}  // namespace

int hub_db_board(HubDb *db, int daily, const char *period, int rows, int per_bbs,
                 HubBoard *out)
{
    std::lock_guard<std::mutex> hold(db->board_lock);
    sqlite3_stmt *st = db->board_version;
    sqlite3_reset(st);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return 0;
    int64_t version = rc == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
    sqlite3_reset(st);
    HubDb::Cached &cached = db->boards[daily ? 1 : 0];
    if (cached.version != version || cached.period != period || cached.rows != rows ||
        cached.per_bbs != per_bbs) {
        std::string body;
        if (!RenderBoard(db, daily, period, rows, per_bbs, &body)) return 0;
        // The tag names the content: a board rendered again unchanged keeps it.
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256((const unsigned char *)body.data(), body.size(), digest);
        char tag[40];
        snprintf(tag, sizeof tag, "\"%s-", period);
        std::string etag = tag;
        for (int i = 0; i < 8; i++) {
            snprintf(tag, sizeof tag, "%02x", digest[i]);
            etag += tag;
        }
        cached.etag = etag + "\"";
        cached.body = std::make_shared<const std::string>(std::move(body));
        cached.version = version;
        cached.period = period;
        cached.rows = rows;
        cached.per_bbs = per_bbs;
    }
    out->body = cached.body;
    out->etag = cached.etag;
    return 1;
}

int hub_db_pulse(HubDb *db, int64_t now, int presence, int handles, HubPulse *out)
{
    std::lock_guard<std::mutex> hold(db->lock);
    db->presence.Expire(now - presence);
    out->players = (int64_t)db->presence.sessions.size();
    out->bbses = (int64_t)db->presence.per_bbs.size();
    out->chatting = db->presence.chatting;
    out->handles.clear();
    if (!handles) return 1;
    sqlite3_stmt *st = Stmt(db, "SELECT DISTINCT player FROM sessions WHERE present=1 AND"
                                " last_seen>=?1 ORDER BY player LIMIT 200");
    if (!st) return 0;
    sqlite3_bind_int64(st, 1, now - presence);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) out->handles.push_back(Column(st, 0));
    sqlite3_reset(st);
    return rc == SQLITE_DONE;
}

void hub_db_prune(HubDb *db, int64_t now)
{
    std::lock_guard<std::mutex> hold(db->lock);
    Prune(db, now);
}

int hub_db_remove_scores(HubDb *db, const std::string &key, const char *since, int64_t *removed)
{
    std::lock_guard<std::mutex> hold(db->lock);
    *removed = 0;
    if (!Begin(db, true)) return -1;
    sqlite3_stmt *st = Stmt(db, "DELETE FROM scores WHERE bbs_key=?1 AND date>=?2");
    bool ok = st != nullptr;
    if (ok) {
        Text(st, 1, key);
        sqlite3_bind_text(st, 2, since ? since : "", -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(st) == SQLITE_DONE;
        *removed = sqlite3_changes(db->sql);
    }
    // The BBS's best rows are found again from what is left of its lines.
    if (ok && *removed) {
        st = Stmt(db, "DELETE FROM best WHERE bbs_key=?1");
        ok = st != nullptr;
        if (ok) {
            Text(st, 1, key);
            ok = sqlite3_step(st) == SQLITE_DONE;
        }
        st = ok ? Stmt(db, kFillBest) : nullptr;
        ok = st != nullptr;
        if (ok) {
            Text(st, 1, key);
            ok = sqlite3_step(st) == SQLITE_DONE;
        }
        ok = ok && Exec(db, kBoardsChanged);
    }
    if (!ok) {
        Rollback(db, true);
        return -1;
    }
    return Commit(db, true) ? 1 : -1;
}

int hub_db_set_banned(HubDb *db, const std::string &key, int banned)
{
    std::lock_guard<std::mutex> hold(db->lock);
    if (!Begin(db, true)) return -1;
    sqlite3_stmt *st = Stmt(db, "UPDATE bbs SET banned=?2 WHERE key=?1");
    if (!st) {
        Rollback(db, true);
        return -1;
    }
    Text(st, 1, key);
    sqlite3_bind_int(st, 2, banned ? 1 : 0);
    if (sqlite3_step(st) != SQLITE_DONE) {
        Rollback(db, true);
        return -1;
    }
    int changed = sqlite3_changes(db->sql);
    return Commit(db, true) ? (changed ? 1 : 0) : -1;
}

// On the boards' reading connection: counting every member's scores takes
// tens of milliseconds in a large network's month, and no poll may wait
// for it (the page asks for this list whenever its counts are due).
int hub_db_list_bbs(HubDb *db, std::vector<HubBbsInfo> *out)
{
    std::lock_guard<std::mutex> hold(db->list_lock);
    out->clear();
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db->list_sql,
                           "SELECT name, domain, enrolled, last_seen, banned,"
                           " (SELECT COUNT(*) FROM scores WHERE bbs_key=bbs.key)"
                           " FROM bbs ORDER BY key",
                           -1, &st, nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        return 0;
    }
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        HubBbsInfo info;
        info.name = Column(st, 0);
        info.domain = Column(st, 1);
        info.enrolled = sqlite3_column_int64(st, 2);
        info.last_seen = sqlite3_column_int64(st, 3);
        info.banned = sqlite3_column_int(st, 4);
        info.scores = sqlite3_column_int64(st, 5);
        out->push_back(info);
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
}
