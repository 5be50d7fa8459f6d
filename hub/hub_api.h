/* hub_api.h -- grimby-hub's endpoints behind a plain request/reply
 * interface. The network front (TLS, reading requests, connection limits)
 * hands each whole request here and writes the reply back; nothing in
 * this half knows about sockets, so the front can change without touching
 * the protocol, and the handlers run the same whatever carries them. */
#ifndef HUB_API_H
#define HUB_API_H

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hub_config.h"

struct HubDb;

struct HubRequest {
    std::string method;   /* "GET", "HEAD", "POST", ... as sent */
    std::string path;     /* without the query */
    std::string peer;     /* the client's address as text */
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

struct HubResponse {
    int status = 200;
    std::string content_type;   /* empty with an empty body */
    std::string body;
    /* A document the hub keeps rendered (a board, the page), sent instead
     * of body as it is: a copy would cost each fetch its size again. */
    std::shared_ptr<const std::string> shared_body;
    std::vector<std::pair<std::string, std::string>> headers;
    /* A release file to stream instead of body: the front owns the
     * descriptor once handed over and closes it. -1: none. */
    int file_fd = -1;
    off_t file_size = 0;
    std::string bbs;            /* the BBS the request was made for, for the log */
    bool routine = false;       /* a poll or board fetch: summarized in the log */
};

/* The value of a request header (names compared case-blind), or "". */
std::string hub_api_header(const HubRequest &req, const char *name);
int hub_api_has_header(const HubRequest &req, const char *name);

/* Sets up the handlers over an open database; the config and the database
 * must outlive every hub_api_handle call. */
void hub_api_start(const HubConfig *config, HubDb *db);

/* Answers one whole request; safe to call from many threads at once. */
void hub_api_handle(const HubRequest &req, HubResponse *res);

/* An error reply in the protocol's shape, for statuses the front decides
 * (408, 413, 414, ...): the standard sentence and code for the status. */
void hub_api_error(int status, HubResponse *res);

/* Logs a request: every error and every change on a line of its own,
 * routine reads in a summary every minute (log_every_request: each on
 * its own line too). ms: time from the request's first byte. */
void hub_api_log(const HubRequest &req, const HubResponse &res, uint64_t ms);

/* One log line for what the front saw without a whole request
 * (a deadline, a refused connection); what is a short text like
 * "(request deadline passed)". */
void hub_log_event(const char *peer, const char *what, int status);

#endif
