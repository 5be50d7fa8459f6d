/* hub_page.h -- the network's public face: one HTML page and boards.json,
 * made from what the hub holds (the month's story board, today's daily
 * board, the member BBSes and the lobby's counts). Rendered once per
 * change of the boards or per pulse interval and shared by every request,
 * so a page costs what a static file costs. */
#ifndef HUB_PAGE_H
#define HUB_PAGE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "hub_config.h"
#include "hub_db.h"

/* Seconds the lobby's counts on a rendered page may be old. */
#define HUB_PAGE_PULSE_SECONDS 10

struct HubPageRow {
    std::string player, bbs;
    int64_t score = 0;
};

struct HubPageData {
    int64_t now = 0;
    std::string story_period, daily_period;  /* YYYYMM, YYYYMMDD */
    std::vector<HubPageRow> story, daily;
    std::vector<HubBbsInfo> bbses;           /* banned ones left out */
    HubPulse pulse;
    int show_handles = 0;
};

/* Parses a board body ("player\tbbs\tscore[\tdomain]\n" rows) into rows,
 * skipping any line that is not one. */
void hub_page_rows(const std::string &board, std::vector<HubPageRow> *rows);

/* Whole documents from the data; every text in them escaped for where it
 * stands, whatever bytes it holds. */
std::string hub_page_html(const HubPageData &data);
std::string hub_page_json(const HubPageData &data);

/* The page's style sheet and its small script refreshing the counts (the
 * page's policy allows nothing inline). */
const std::string &hub_page_css();
const std::string &hub_page_js();

struct HubPageDoc {
    std::shared_ptr<const std::string> body;
    std::string etag;       /* quoted */
    /* The same document gzip-packed once at render, for clients that take
     * it (a 1,000-member page is a tenth of its size packed), with a tag
     * of its own: a cache must not hand one encoding for the other. */
    std::shared_ptr<const std::string> gzip;
    std::string gzip_etag;
    int64_t rendered = 0;   /* the hub's clock when it was made */
};

/* Whether an Accept-Encoding value admits gzip ("gzip;q=0" refuses it). */
int hub_accepts_gzip(const std::string &accept_encoding);

/* The current page and boards.json, rendered again only when the boards
 * changed or the pulse interval passed. Safe from many threads; config and
 * db as given to hub_api_start. 1, or 0 on failure. */
int hub_page_get(HubDb *db, const HubConfig *config, int64_t now, HubPageDoc *html,
                 HubPageDoc *json);

#endif
