/* hub_config.h -- hub.json, the one configuration file of grimby-hub, and
 * the starter directory written by --init. */
#ifndef HUB_CONFIG_H
#define HUB_CONFIG_H

#include <string>
#include <vector>

struct HubConfig {
    std::string listen = "0.0.0.0";
    int port = 443;                     /* 0: any free port, reported at start */
    std::string certificate;            /* PEM chain, server certificate first */
    std::string key;                    /* PEM private key */
    std::string database;               /* SQLite file */
    std::string release_dir;            /* holds grimby/ and packages/ */
    std::string port_file;              /* optional: the bound port is written here */
    int threads = 32;                   /* whole requests handled at once */
    int max_queued = 512;               /* whole requests waiting for a thread */
    int max_connections = 4096;         /* open connections in total */
    int max_per_address = 8;            /* open connections from one address */
    int max_per_net64 = 32;             /* open connections from one IPv6 /64 */
    int request_deadline_ms = 10000;    /* handshake, headers and body together */
    int time_window = 300;              /* seconds a signed timestamp may be off */
    int presence = 30;                  /* seconds a chat session stays present */
    int enroll_per_hour = 10;           /* enrollment attempts per address */
    int messages_per_10s = 8;           /* chat messages per session */
    int board_rows = 20;                /* leaderboard rows (at least 14) */
    int board_rows_per_bbs = 5;         /* rows one BBS may hold in one board */
    int log_every_request = 0;          /* 1: a log line per request, polls included */
    int page_show_handles = 0;          /* 1: the web page lists who is online by handle */
};

/* Reads the file; relative paths in it are taken from the file's own
 * directory. 1, or 0 with one sentence in *error. */
int hub_config_load(const char *path, HubConfig *config, std::string *error);

/* Makes DIR (owner only) with hub.json, a private CA (ca.pem, ca.key), a
 * server certificate it signs for the host names and addresses given
 * (cert.pem, key.pem), an empty database (owner only) and the release
 * directory, refusing to overwrite anything. 1, or 0 with one sentence
 * in *error. */
int hub_config_init(const char *dir, const std::vector<std::string> &hosts, std::string *error);

/* Creates the database file when missing and makes it and its WAL and
 * shared-memory files readable by the owner only, whatever the umask.
 * 1, or 0 with one sentence in *error. */
int hub_config_secure_database(const char *path, std::string *error);

#endif
