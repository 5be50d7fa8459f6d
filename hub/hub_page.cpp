/* hub_page.cpp -- renders the network's page and boards.json. Every text
 * on them came from a BBS (names, handles, addresses), so each passes an
 * escape made for where it lands; nothing here trusts the cleaning done
 * at upload, since older databases may hold rows cleaned by older rules. */
#include "hub_page.h"

#include <openssl/sha.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <zlib.h>

#include <mutex>

#include "art.h"
#include "hub_text.h"

namespace {

const char *const kPalette[16] = {"#000000", "#0000aa", "#00aa00", "#00aaaa", "#aa0000", "#aa00aa",
                                  "#aa5500", "#aaaaaa", "#555555", "#5555ff", "#55ff55", "#55ffff",
                                  "#ff5555", "#ff55ff", "#ffff55", "#ffffff"};

void Html(std::string &out, const std::string &text)
{
    for (unsigned char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c >= 0x20 && c < 0x7F ? (char)c : '?';
        }
    }
}

// A JSON string that stays one even inside a script or an HTML page.
void Json(std::string &out, const std::string &text)
{
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += c < 0x7F ? (char)c : '?';
        }
    }
    out += '"';
}

std::string Period(const std::string &p)
{
    if (p.size() == 6) return p.substr(0, 4) + "-" + p.substr(4, 2);
    if (p.size() == 8) return p.substr(0, 4) + "-" + p.substr(4, 2) + "-" + p.substr(6, 2);
    return p;
}

std::string When(int64_t t)
{
    if (t <= 0) return "never";
    time_t tt = (time_t)t;
    struct tm tm;
    gmtime_r(&tt, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    return text;
}

// Grimby himself, in half blocks: the upper pixel is the character's
// colour, the lower one its background.
void Banner(std::string &out)
{
    out += "<pre class=\"art\" aria-hidden=\"true\">";
    for (int y = 0; y < ART_ROWS; y++) {
        int open_f = -1, open_b = -1;
        for (int x = 0; x < ART_COLS; x++) {
            int f = grimby_pixels.cell[y][x][0] & 15, b = grimby_pixels.cell[y][x][1] & 15;
            if (f != open_f || b != open_b) {
                if (open_f >= 0) out += "</span>";
                char tag[40];
                snprintf(tag, sizeof tag, "<span class=\"f%d b%d\">", f, b);
                out += tag;
                open_f = f;
                open_b = b;
            }
            out += "\xe2\x96\x80";  // U+2580 upper half block
        }
        out += "</span>\n";
    }
    out += "</pre>\n";
}

void BoardHtml(std::string &out, const char *title, const std::string &period,
               const std::vector<HubPageRow> &rows)
{
    out += "<section><h2>";
    out += title;
    out += " <span class=\"f8\">";
    Html(out, Period(period));
    out += "</span></h2>\n";
    if (rows.empty()) {
        out += "<p class=\"f8\">No scores yet.</p></section>\n";
        return;
    }
    out += "<table><thead><tr><th>#</th><th>Player</th><th>BBS</th><th>Score</th></tr></thead>"
           "<tbody>\n";
    for (size_t i = 0; i < rows.size(); i++) {
        out += "<tr><td>" + std::to_string(i + 1) + "</td><td class=\"f14\">";
        Html(out, rows[i].player);
        out += "</td><td class=\"f11\">";
        Html(out, rows[i].bbs);
        out += "</td><td class=\"n\">" + std::to_string(rows[i].score) + "</td></tr>\n";
    }
    out += "</tbody></table></section>\n";
}

void BoardJson(std::string &out, const char *key, const std::string &period,
               const std::vector<HubPageRow> &rows)
{
    out += "\"";
    out += key;
    out += "\":{\"period\":";
    Json(out, period);
    out += ",\"rows\":[";
    for (size_t i = 0; i < rows.size(); i++) {
        out += i ? ",{\"rank\":" : "{\"rank\":";
        out += std::to_string(i + 1) + ",\"player\":";
        Json(out, rows[i].player);
        out += ",\"bbs\":";
        Json(out, rows[i].bbs);
        out += ",\"score\":" + std::to_string(rows[i].score) + "}";
    }
    out += "]}";
}

std::string Tag(const char *kind, const std::string &body)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256((const unsigned char *)body.data(), body.size(), digest);
    std::string etag = std::string("\"") + kind + "-";
    char hex[3];
    for (int i = 0; i < 10; i++) {
        snprintf(hex, sizeof hex, "%02x", digest[i]);
        etag += hex;
    }
    return etag + "\"";
}

// Packed once per render, so the best level costs nothing per request.
std::shared_ptr<const std::string> Gzip(const std::string &body)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return nullptr;
    std::string out(deflateBound(&z, body.size()) + 32, '\0');
    z.next_in = (Bytef *)body.data();
    z.avail_in = (uInt)body.size();
    z.next_out = (Bytef *)&out[0];
    z.avail_out = (uInt)out.size();
    int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) return nullptr;
    return std::make_shared<const std::string>(std::move(out));
}

void Pack(HubPageDoc *doc)
{
    doc->gzip = Gzip(*doc->body);
    doc->gzip_etag = doc->etag.substr(0, doc->etag.size() - 1) + "-gz\"";
}

struct Cache {
    std::mutex lock;
    std::mutex render_lock;  // one render at a time
    bool rendering = false;
    std::string key;
    int64_t bucket = -1;
    HubPageDoc html, json;
} gCache;

}  // namespace

void hub_page_rows(const std::string &board, std::vector<HubPageRow> *rows)
{
    rows->clear();
    size_t at = 0;
    while (at < board.size()) {
        size_t end = board.find('\n', at);
        if (end == std::string::npos) end = board.size();
        std::string line = board.substr(at, end - at);
        at = end + 1;
        size_t t1 = line.find('\t');
        size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
        if (t2 == std::string::npos) continue;
        size_t t3 = line.find('\t', t2 + 1);
        std::string score = line.substr(t2 + 1, t3 == std::string::npos ? t3 : t3 - t2 - 1);
        char *stop = nullptr;
        long long value = strtoll(score.c_str(), &stop, 10);
        if (score.empty() || *stop) continue;
        HubPageRow row;
        row.player = line.substr(0, t1);
        row.bbs = line.substr(t1 + 1, t2 - t1 - 1);
        row.score = value;
        rows->push_back(row);
    }
}

const std::string &hub_page_css()
{
    static const std::string css = [] {
        std::string s =
            "body{background:#000;color:#aaa;font-family:monospace;margin:0 auto;"
            "max-width:60em;padding:0 .5em}\n"
            "h1{color:#ffff55;font-size:1.4em}h2{color:#55ffff;font-size:1.1em;"
            "border-bottom:1px solid #0000aa}\n"
            "a{color:#55ff55}table{border-collapse:collapse;width:100%}\n"
            "th{color:#ff55ff;text-align:left;white-space:nowrap}td,th{padding:.1em .4em;vertical-align:top;"
            "overflow-wrap:anywhere}\n"
            "tbody tr:nth-child(odd){background:#000055}td.n,th:last-child{text-align:right}\n"
            ".art{line-height:1;font-size:10px;margin:.5em 0}\n"
            ".pulse span{color:#ffffff}\n"
            "@media (max-width:40em){body{font-size:14px}.art{font-size:7px}"
            "td,th{padding:.1em .2em}}\n";
        for (int i = 0; i < 16; i++) {
            s += ".f" + std::to_string(i) + "{color:" + kPalette[i] + "}";
            s += ".b" + std::to_string(i) + "{background:" + kPalette[i] + "}\n";
        }
        return s;
    }();
    return css;
}

// Counts only, written as text: the page reads without it, and nothing
// from boards.json ever becomes markup.
const std::string &hub_page_js()
{
    static const std::string js =
        "(function(){var p=document.getElementById('pulse');if(!p||!window.fetch)return;\n"
        "function set(d){var s=p.getElementsByTagName('span'),v=[d.players,d.bbses,d.chatting];\n"
        "for(var i=0;i<3&&i<s.length;i++)if(typeof v[i]==='number')s[i].textContent=String(v[i]);}\n"
        "setInterval(function(){fetch('boards.json',{cache:'no-cache'}).then(function(r){\n"
        "return r.ok?r.json():null;}).then(function(j){if(j&&j.pulse)set(j.pulse);})\n"
        ".catch(function(){});},30000);})();\n";
    return js;
}

std::string hub_page_html(const HubPageData &d)
{
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>GRIMBY network</title>\n<link rel=\"stylesheet\" href=\"page.css\">\n"
        "<script src=\"page.js\" defer></script>\n"
        "</head><body>\n<header>";
    Banner(out);
    out += "<h1>GRIMBY network</h1>\n<p class=\"pulse\" id=\"pulse\">Online now: <span>" +
           std::to_string(d.pulse.players) + "</span> players on <span>" +
           std::to_string(d.pulse.bbses) + "</span> BBSes, <span>" +
           std::to_string(d.pulse.chatting) + "</span> chatting.</p>\n";
    if (d.show_handles && !d.pulse.handles.empty()) {
        out += "<p class=\"f7\">Playing: ";
        for (size_t i = 0; i < d.pulse.handles.size(); i++) {
            if (i) out += ", ";
            out += "<span class=\"f14\">";
            Html(out, d.pulse.handles[i]);
            out += "</span>";
        }
        out += "</p>\n";
    }
    out += "</header><main>\n";
    BoardHtml(out, "Story board", d.story_period, d.story);
    BoardHtml(out, "Daily board", d.daily_period, d.daily);
    out += "<section><h2>Member BBSes <span class=\"f8\">" + std::to_string(d.bbses.size()) +
           "</span></h2>\n";
    if (d.bbses.empty()) {
        out += "<p class=\"f8\">No BBS has joined yet.</p>";
    } else {
        out += "<table><thead><tr><th>BBS</th><th>Address</th><th>Last seen</th>"
               "<th>Scores</th></tr></thead><tbody>\n";
        for (const HubBbsInfo &b : d.bbses) {
            out += "<tr><td class=\"f11\">";
            Html(out, b.name);
            out += "</td><td>";
            // Only a plain host[:port] becomes a link: anything else could
            // carry a scheme or markup of its own.
            if (!b.domain.empty() && hub_domain_ok(b.domain)) {
                out += "<a href=\"telnet://";
                Html(out, b.domain);
                out += "\">";
                Html(out, b.domain);
                out += "</a>";
            }
            out += "</td><td>" + When(b.last_seen) + "</td><td class=\"n\">" +
                   std::to_string(b.scores) + "</td></tr>\n";
        }
        out += "</tbody></table>";
    }
    out += "</section>\n</main><footer><p class=\"f8\">Made " + When(d.now) +
           " &middot; the same data: <a href=\"boards.json\">boards.json</a></p></footer>\n"
           "</body></html>\n";
    return out;
}

std::string hub_page_json(const HubPageData &d)
{
    std::string out = "{\"generated\":" + std::to_string(d.now) + ",";
    BoardJson(out, "story", d.story_period, d.story);
    out += ",";
    BoardJson(out, "daily", d.daily_period, d.daily);
    out += ",\"bbses\":[";
    for (size_t i = 0; i < d.bbses.size(); i++) {
        const HubBbsInfo &b = d.bbses[i];
        out += i ? ",{\"name\":" : "{\"name\":";
        Json(out, b.name);
        out += ",\"telnet\":";
        if (!b.domain.empty() && hub_domain_ok(b.domain)) Json(out, b.domain);
        else out += "null";
        out += ",\"last_seen\":" + std::to_string(b.last_seen) +
               ",\"scores\":" + std::to_string(b.scores) + "}";
    }
    out += "],\"pulse\":{\"players\":" + std::to_string(d.pulse.players) +
           ",\"bbses\":" + std::to_string(d.pulse.bbses) +
           ",\"chatting\":" + std::to_string(d.pulse.chatting);
    if (d.show_handles) {
        out += ",\"handles\":[";
        for (size_t i = 0; i < d.pulse.handles.size(); i++) {
            if (i) out += ",";
            Json(out, d.pulse.handles[i]);
        }
        out += "]";
    }
    return out + "}}";
}

int hub_page_get(HubDb *db, const HubConfig *config, int64_t now, HubPageDoc *html,
                 HubPageDoc *json)
{
    char today[9], month[9];
    hub_utc_date(now, today);
    snprintf(month, sizeof month, "%.6s", today);
    HubBoard story, daily;
    if (!hub_db_board(db, 0, month, config->board_rows, config->board_rows_per_bbs, &story) ||
        !hub_db_board(db, 1, today, config->board_rows, config->board_rows_per_bbs, &daily))
        return 0;
    std::string key = story.etag + daily.etag;
    int64_t bucket = now / HUB_PAGE_PULSE_SECONDS;
    auto fresh = [&] { return gCache.html.body && gCache.key == key && gCache.bucket == bucket; };
    {
        std::lock_guard<std::mutex> hold(gCache.lock);
        // While one request renders the next page (tens of milliseconds with
        // a thousand members), the others get the one before it at once.
        if (fresh() || (gCache.html.body && gCache.rendering)) {
            *html = gCache.html;
            *json = gCache.json;
            return 1;
        }
    }
    std::lock_guard<std::mutex> one_render(gCache.render_lock);
    {
        std::lock_guard<std::mutex> hold(gCache.lock);
        if (fresh()) {  // rendered while this request waited its turn
            *html = gCache.html;
            *json = gCache.json;
            return 1;
        }
        gCache.rendering = true;
    }
    HubPageData d;
    d.now = now;
    d.story_period = month;
    d.daily_period = today;
    hub_page_rows(*story.body, &d.story);
    hub_page_rows(*daily.body, &d.daily);
    std::vector<HubBbsInfo> all;
    bool ok = hub_db_list_bbs(db, &all);
    for (HubBbsInfo &b : all)
        if (!b.banned) d.bbses.push_back(std::move(b));
    d.show_handles = config->page_show_handles;
    ok = ok && hub_db_pulse(db, now, config->presence, d.show_handles, &d.pulse);
    HubPageDoc page, data;
    if (ok) {
        page.body = std::make_shared<const std::string>(hub_page_html(d));
        data.body = std::make_shared<const std::string>(hub_page_json(d));
        page.etag = Tag("p", *page.body);
        data.etag = Tag("j", *data.body);
        Pack(&page);
        Pack(&data);
        page.rendered = data.rendered = now;
    }
    std::lock_guard<std::mutex> hold(gCache.lock);
    gCache.rendering = false;
    if (!ok) return 0;
    gCache.html = page;
    gCache.json = data;
    gCache.key = key;
    gCache.bucket = bucket;
    *html = page;
    *json = data;
    return 1;
}

int hub_accepts_gzip(const std::string &accept_encoding)
{
    // gzip named outright decides; "*" only when gzip is not named.
    int named = -1, star = 0;
    size_t at = 0;
    while (at <= accept_encoding.size()) {
        size_t end = accept_encoding.find(',', at);
        if (end == std::string::npos) end = accept_encoding.size();
        std::string item = accept_encoding.substr(at, end - at);
        at = end + 1;
        size_t semi = item.find(';');
        std::string coding = item.substr(0, semi);
        coding.erase(0, coding.find_first_not_of(" \t"));
        coding.erase(coding.find_last_not_of(" \t") + 1);
        bool gzip = strcasecmp(coding.c_str(), "gzip") == 0 ||
                    strcasecmp(coding.c_str(), "x-gzip") == 0;
        if (!gzip && coding != "*") continue;
        // A weight of zero in any spelling ("q=0", "q=0.000") refuses it.
        int taken = 1;
        if (semi != std::string::npos) {
            std::string params = item.substr(semi + 1);
            size_t q = params.find("q=");
            if (q == std::string::npos) q = params.find("Q=");
            if (q != std::string::npos) taken = strtod(params.c_str() + q + 2, nullptr) > 0;
        }
        if (gzip) named = taken;
        else star = taken;
    }
    return named >= 0 ? named : star;
}
