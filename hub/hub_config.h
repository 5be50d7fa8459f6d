/* hub_config.h -- hub.json, the one configuration file of grimby-hub, and
 * the starter directory written by --init. */
#ifndef HUB_CONFIG_H
#define HUB_CONFIG_H

#include <string>

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
};

/* Reads the file; relative paths in it are taken from the file's own
 * directory. 1, or 0 with one sentence in *error. */
int hub_config_load(const char *path, HubConfig *config, std::string *error);

/* Writes DIR/hub.json, a self-signed certificate for host (DIR/cert.pem,
 * DIR/key.pem) and the release directory, refusing to overwrite anything.
 * 1, or 0 with one sentence in *error. */
int hub_config_init(const char *dir, const char *host, std::string *error);

#endif
