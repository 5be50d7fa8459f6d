/* hub_text.h -- the hub's handling of untrusted text: names, JSON values,
 * outbox lines and leaderboard rows. Pure functions, no I/O, so every rule
 * a client can hit is testable on its own. */
#ifndef HUB_TEXT_H
#define HUB_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "qorb_json.h"

#define HUB_NAME_MAX    64  /* bytes of a cleaned BBS name */
#define HUB_PLAYER_MAX  32  /* bytes of a cleaned handle */
#define HUB_TEXT_MAX    160 /* characters of one chat message */
#define HUB_ROW_NAME    47  /* bytes of a name in a leaderboard row */
#define HUB_ID_MAX      64  /* characters of a session or event id */
#define HUB_BATCH_LINES 16  /* outbox lines in one upload */
#define HUB_BODY_MAX    2048 /* bytes of any request body */

/* Display-name cleaning: "|" and two digits (a colour code) dropped, every
 * byte outside 0x20..0x7E and the backtick dropped, cut to max bytes. */
std::string hub_clean_name(const char *text, size_t length, size_t max);

/* A BBS's name as enrolled: cleaned until cleaning changes nothing, spaces
 * trimmed and runs of them made one. */
std::string hub_stable_name(const char *text, size_t length);

/* The name key: the stable name in ASCII lower case, so names that look
 * alike ("Night  Owl ", "|1|222night owl") are one BBS. */
std::string hub_name_key(const std::string &cleaned);

/* The key of earlier releases (the cleaned name lower-cased), under which
 * a BBS stays that the key migration could not move without a clash. */
std::string hub_legacy_name_key(const std::string &cleaned);

/* 1 when every byte is 0x20..0x7E and none is a backtick. */
int hub_plain_text(const std::string &text);

/* min..max characters of 0-9 a-z A-Z - _ */
int hub_id_ok(const std::string &id, size_t min, size_t max);

/* A JSON string with only '"' and '\' escaped; the text must be plain. */
void hub_json_append(std::string &out, const std::string &text);

/* The value token of a top-level key (first occurrence), or -1. Keys are
 * compared as written: no client escapes a key. */
int hub_json_find(const cj_doc *doc, const char *key);

/* A string token decoded into out: 1, or 0 when the token is not a string,
 * holds an escape outside 1..127 or decodes to more than max bytes. */
int hub_json_string(const cj_doc *doc, int token, size_t max, std::string *out);

/* A plain non-negative integer token of at most 18 digits: 1 and *out. */
int hub_json_uint(const cj_doc *doc, int token, int64_t *out);

/* One outbox line as the game writes it, judged for the exchange. */
typedef struct {
    char date[9];   /* YYYYMMDD */
    char player[HUB_PLAYER_MAX + 1];
    int32_t score;
    int daily;      /* kind word "daily" (else "story") */
} hub_outbox_line;

enum { HUB_OUTBOX_BAD, HUB_OUTBOX_OK, HUB_OUTBOX_FUTURE };

/* Parses a line; one final LF or CR LF is allowed and left out of *whole.
 * HUB_OUTBOX_OK, HUB_OUTBOX_BAD for a malformed line, or HUB_OUTBOX_FUTURE
 * for a well-formed line dated after today (YYYYMMDD, the hub's UTC day):
 * it cannot count yet, but it will once the hub's day reaches it. */
int hub_parse_outbox(const std::string &line, const char *today, hub_outbox_line *out,
                     std::string *whole);

#define HUB_DOMAIN_MAX 80 /* keeps a board row within the 191 bytes old readers take */

/* A BBS's public address: a host name, an IPv4 address or a bracketed IPv6
 * address, with an optional :port (1..65535); 1..80 bytes. 1 when it is. */
int hub_domain_ok(const std::string &domain);

/* A leaderboard row for the game's reader: names cut to 47 bytes with tab,
 * CR and LF made spaces; "player\tbbs\tscore\n". Empty names become "?".
 * A domain (already judged by hub_domain_ok) is a fourth column, which
 * the game's reader ignores. */
std::string hub_board_row(const std::string &player, const std::string &bbs, int64_t score,
                          const std::string &domain = "");

/* UTC date of t as YYYYMMDD (out holds 9 bytes). */
void hub_utc_date(int64_t t, char out[9]);

#endif
