/* hub_db.h -- the hub's one database: enrolled BBSes, the replay memory of
 * signed sessions, presence, chat lines and scores. SQLite in WAL mode in a
 * single file: readers never wait for the writer, a crash of the process
 * at any point leaves the last committed state, and the sysop backs it up
 * with one command. Writes go through one connection behind one mutex:
 * every request is a short transaction, far cheaper than the TLS handshake
 * in front of it. Boards are read on a second connection, so a board
 * never waits for the writer and no poll waits for a board. */
#ifndef HUB_DB_H
#define HUB_DB_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

struct HubDb;

/* replay_seconds: how long a session's last seq is remembered after its
 * last request; the caller passes more than twice the clock window. */
HubDb *hub_db_open(const char *path, int replay_seconds, std::string *error);
void hub_db_close(HubDb *db);

/* What every signed request carries, once its signature checked out. */
struct HubSigned {
    std::string key;     /* the BBS's name key */
    std::string name;    /* its enrolled name */
    std::string session;
    int64_t seq = 0;
    int64_t now = 0;     /* the hub's clock, seconds */
};

/* How long a repeated enrollment gets the secret it was given again. */
#define HUB_ENROLL_RETRY_SECONDS 900

struct HubEnroll {
    std::string name, key;
    std::string secret;      /* a fresh secret, used when the name is free */
    std::string enroll_id;   /* the client's id of this attempt, or "" */
    std::string domain;      /* the BBS's public address, or "" */
    int64_t now = 0;
};

/* 1 enrolled (*secret is e.secret); 2 the name was enrolled by the same
 * enroll_id within HUB_ENROLL_RETRY_SECONDS (*secret is the one it got);
 * 0 the name key is taken; -1 a database failure. */
int hub_db_enroll(HubDb *db, const HubEnroll &e, std::string *secret);

struct HubBbs {
    std::string name, secret, domain;
    int banned = 0;
};

/* 1 found, 0 unknown, -1 failure. */
int hub_db_find_bbs(HubDb *db, const std::string &key, HubBbs *bbs);

/* A signed change of the BBS's public address ("" clears it): 200, 403
 * (replay) or 500. */
int hub_db_set_domain(HubDb *db, const HubSigned &s, const std::string &domain);
/* Releases an enrollment and forgets its sessions; its scores stay.
 * 1 released, 0 no such BBS, -1 failure. */
int hub_db_reset_bbs(HubDb *db, const std::string &key);

enum { HUB_OP_POLL, HUB_OP_MESSAGE, HUB_OP_LEAVE };

struct HubChat {
    HubSigned s;
    int op = HUB_OP_POLL;
    std::string player;
    std::string caller;
    int in_chat = 0;
    int64_t cursor = 0;
    std::string event;
    std::string text;        /* a message already judged plain and short */
    std::string notice;      /* set when the text was refused */
    int rate_limit = 8;      /* messages per session ... */
    int rate_window = 10;    /* ... within this many seconds */
    int presence = 30;       /* seconds a session stays present */
    int context = 8;         /* lines a new session gets */
};

struct HubChatReply {
    int64_t players = 0, bbses = 0, chatting = 0, cursor = 0;
    std::vector<std::string> lines;
};

/* One transaction: the replay check, presence, the message, the lines.
 * 200, 403 for a (session, seq) not above the last one, 500 on failure. */
int hub_db_chat(HubDb *db, const HubChat &chat, HubChatReply *reply);

enum { HUB_LINE_ACCEPTED, HUB_LINE_DUPLICATE, HUB_LINE_REJECTED, HUB_LINE_FUTURE };

struct HubUploadRules {
    int64_t max_score = 2147483647;  /* above it a line is rejected */
};

/* Stores outbox lines, all committed before it returns, judging each one
 * (a line that could not be decoded comes as ""). today: the hub's UTC
 * date (YYYYMMDD); a line dated later is HUB_LINE_FUTURE.
 * 200, 403 (replay) or 500. */
int hub_db_upload(HubDb *db, const HubSigned &s, const std::vector<std::string> &lines,
                  const char *today, const HubUploadRules &rules, std::vector<int> *results);

struct HubBoard {
    std::shared_ptr<const std::string> body;  /* the game's board file */
    std::string etag;                         /* quoted, changes with the body */
};

/* A leaderboard: kind daily or story, period YYYYMMDD or YYYYMM, at most
 * rows rows of which at most per_bbs from one BBS. Rendered only when
 * the boards changed since the last call (in this process or another);
 * never waits for the writer. 1, or 0 on failure. */
int hub_db_board(HubDb *db, int daily, const char *period, int rows, int per_bbs,
                 HubBoard *out);

/* The operator's tools; each is one durable transaction and works while
 * the service runs. Removes the BBS's stored lines dated since (YYYYMMDD,
 * "" for all) and puts its board rows right at once. 1 (*removed set),
 * -1 failure. */
int hub_db_remove_scores(HubDb *db, const std::string &key, const char *since, int64_t *removed);

/* Bans (its signed requests get 403, its name stays taken) or unbans.
 * 1 done, 0 no such BBS, -1 failure. */
int hub_db_set_banned(HubDb *db, const std::string &key, int banned);

struct HubBbsInfo {
    std::string name, domain;
    int64_t enrolled = 0, last_seen = 0, scores = 0;
    int banned = 0;
};

/* Every enrolled BBS by name key. 1, or 0 on failure. */
int hub_db_list_bbs(HubDb *db, std::vector<HubBbsInfo> *out);

struct HubPulse {
    int64_t players = 0, bbses = 0, chatting = 0;
    std::vector<std::string> handles;  /* filled only when asked for */
};

/* The lobby's counts now (sessions seen within presence seconds); with
 * handles, the handles of those sessions too, at most 200. 1, or 0 on
 * failure. */
int hub_db_pulse(HubDb *db, int64_t now, int presence, int handles, HubPulse *out);

/* Forgets replay memory past its time, old message ids and old chat
 * lines, a bounded amount per call; the service calls it every second. */
void hub_db_prune(HubDb *db, int64_t now);

#endif
