/* hub_text.cpp -- names, JSON values and exchange lines from the network.
 * Everything here assumes hostile bytes: lengths are checked before every
 * copy and nothing is trusted to be NUL-terminated or in range. */
#include "hub_text.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

std::string hub_clean_name(const char *text, size_t length, size_t max)
{
    std::string out;
    for (size_t i = 0; i < length && out.size() < max; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == '|' && i + 2 < length && text[i + 1] >= '0' &&
            text[i + 1] <= '9' && text[i + 2] >= '0' && text[i + 2] <= '9') {
            i += 2;
            continue;
        }
        if (c < 0x20 || c > 0x7E || c == '`') continue;
        out += (char)c;
    }
    return out;
}

std::string hub_stable_name(const char *text, size_t length)
{
    // Dropping a colour code can make another ("|1|222" leaves "|12"), so
    // clean until nothing changes: every pass that changes shortens.
    std::string name = hub_clean_name(text, length, HUB_NAME_MAX);
    for (;;) {
        std::string again = hub_clean_name(name.data(), name.size(), HUB_NAME_MAX);
        if (again == name) break;
        name = again;
    }
    std::string out;
    for (char c : name) {
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += c;
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string hub_name_key(const std::string &cleaned)
{
    std::string key = hub_stable_name(cleaned.data(), cleaned.size());
    for (char &c : key)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return key;
}

std::string hub_legacy_name_key(const std::string &cleaned)
{
    std::string key = cleaned;
    for (char &c : key)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return key;
}

int hub_plain_text(const std::string &text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E || c == '`') return 0;
    return 1;
}

int hub_id_ok(const std::string &id, size_t min, size_t max)
{
    if (id.size() < min || id.size() > max) return 0;
    for (char c : id) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  c == '-' || c == '_';
        if (!ok) return 0;
    }
    return 1;
}

void hub_json_append(std::string &out, const std::string &text)
{
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

int hub_json_find(const cj_doc *doc, const char *key)
{
    if (doc->ntok < 1 || doc->tok[0].type != '{') return -1;
    size_t key_length = strlen(key);
    int end = doc->tok[0].next;
    for (int k = 1; k + 1 < end && k < doc->ntok;) {
        const cj_tok &t = doc->tok[k];
        size_t length = (size_t)(t.end - t.start - 2);
        if (length == key_length && memcmp(doc->text + t.start + 1, key, key_length) == 0)
            return k + 1;
        int next = doc->tok[k + 1].next;
        if (next <= k) return -1;
        k = next;
    }
    return -1;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int hub_json_string(const cj_doc *doc, int token, size_t max, std::string *out)
{
    if (token < 0 || token >= doc->ntok || doc->tok[token].type != '"') return 0;
    const char *p = doc->text + doc->tok[token].start + 1;
    const char *end = doc->text + doc->tok[token].end - 1;
    out->clear();
    while (p < end) {
        char c = *p++;
        if (c == '\\') {
            char e = *p++;
            switch (e) {
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'u': {
                int v = 0;
                for (int i = 0; i < 4; i++) v = v * 16 + hex_value(p[i]);
                p += 4;
                if (v < 1 || v > 127) return 0;
                c = (char)v;
                break;
            }
            default: c = e; break; /* the reader let only " \ / through */
            }
        }
        if (out->size() >= max) return 0;
        *out += c;
    }
    return 1;
}

int hub_json_uint(const cj_doc *doc, int token, int64_t *out)
{
    if (token < 0 || token >= doc->ntok) return 0;
    const cj_tok &t = doc->tok[token];
    int length = t.end - t.start;
    if (length < 1 || length > 18) return 0;
    int64_t value = 0;
    for (int i = 0; i < length; i++) {
        char c = doc->text[t.start + i];
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    *out = value;
    return 1;
}

static int all_digits(const std::string &s)
{
    if (s.empty()) return 0;
    for (char c : s)
        if (c < '0' || c > '9') return 0;
    return 1;
}

static int real_date(const std::string &d)
{
    if (d.size() != 8 || !all_digits(d)) return 0;
    int year = atoi(d.substr(0, 4).c_str());
    int month = atoi(d.substr(4, 2).c_str());
    int day = atoi(d.substr(6, 2).c_str());
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 2000 || month < 1 || month > 12 || day < 1) return 0;
    int most = days[month - 1];
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) most = 29;
    return day <= most;
}

int hub_parse_outbox(const std::string &line, const char *today, hub_outbox_line *out,
                     std::string *whole)
{
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    std::string field[6];
    size_t count = 0, start = 0;
    for (;;) {
        size_t tab = text.find('\t', start);
        if (count == 6) return 0;
        field[count++] = text.substr(start, tab == std::string::npos ? std::string::npos
                                                                     : tab - start);
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (count != 6 || field[0] != "grimby") return 0;
    if (!real_date(field[1])) return 0;
    if (field[2].empty() || field[2].size() > HUB_PLAYER_MAX) return 0;
    for (unsigned char c : field[2])
        if (c < 0x20 || c > 0x7E) return 0;
    if (!all_digits(field[3]) || field[3].size() > 10) return 0;
    long long score = atoll(field[3].c_str());
    if (score > 2147483647LL) return 0;
    if (field[4] != "story" && field[4] != "daily") return 0;
    if (field[5].empty() || field[5].size() > 80) return 0;
    for (unsigned char c : field[5])
        if (c < 0x21 || c > 0x7E) return 0;
    memcpy(out->date, field[1].c_str(), 9);
    memcpy(out->player, field[2].c_str(), field[2].size() + 1);
    out->score = (int32_t)score;
    out->daily = field[4] == "daily";
    *whole = text;
    return strcmp(out->date, today) > 0 ? HUB_OUTBOX_FUTURE : HUB_OUTBOX_OK;
}

int hub_domain_ok(const std::string &domain)
{
    if (domain.empty() || domain.size() > HUB_DOMAIN_MAX) return 0;
    size_t host_end;
    if (domain[0] == '[') {
        size_t close = domain.find(']');
        if (close == std::string::npos || close < 3) return 0;
        for (size_t i = 1; i < close; i++)
            if (!isxdigit((unsigned char)domain[i]) && domain[i] != ':' && domain[i] != '.')
                return 0;
        host_end = close + 1;
    } else {
        host_end = domain.find(':');
        if (host_end == std::string::npos) host_end = domain.size();
        std::string host = domain.substr(0, host_end);
        if (host.empty() || host[0] == '.' || host[0] == '-' ||
            host.find("..") != std::string::npos)
            return 0;
        for (char c : host)
            if (!isalnum((unsigned char)c) && c != '-' && c != '.') return 0;
    }
    if (host_end == domain.size()) return 1;
    if (domain[host_end] != ':') return 0;
    std::string port = domain.substr(host_end + 1);
    if (!all_digits(port) || port.size() > 5) return 0;
    long value = atol(port.c_str());
    return value >= 1 && value <= 65535;
}

static std::string row_name(const std::string &name)
{
    std::string out = name.substr(0, HUB_ROW_NAME);
    for (char &c : out)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    if (out.empty()) out = "?";
    return out;
}

std::string hub_board_row(const std::string &player, const std::string &bbs, int64_t score,
                          const std::string &domain)
{
    std::string row = row_name(player) + "\t" + row_name(bbs) + "\t" +
                      std::to_string((long long)score);
    if (!domain.empty()) row += "\t" + domain.substr(0, HUB_DOMAIN_MAX);
    return row + "\n";
}

void hub_utc_date(int64_t t, char out[9])
{
    time_t tt = (time_t)t;
    struct tm tm;
    gmtime_r(&tt, &tm);
    int year = tm.tm_year + 1900;
    if (year < 0 || year > 9999) year = 9999;
    snprintf(out, 9, "%04u%02u%02u", (unsigned)year % 10000u, (unsigned)(tm.tm_mon + 1) % 100u,
             (unsigned)tm.tm_mday % 100u);
}
