/* qorb_url.cpp -- the one check a lobby URL passes before either transport
 * puts anything on the wire, so a URL one platform refuses is refused on
 * the other too. The limits are what WinHTTP's URL splitting can hold. */
#include "qorb_chat_int.h"

#include <string.h>

/* Length of one valid UTF-8 sequence at text (no overlong forms, no
 * surrogates, nothing past U+10FFFF), or 0. */
static size_t qc_utf8_length(const unsigned char *text)
{
    unsigned char c = text[0];
    size_t length;
    unsigned long code;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) length = 2, code = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) length = 3, code = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) length = 4, code = c & 0x07;
    else return 0;
    for (size_t i = 1; i < length; i++) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (text[i] & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

/* UTF-16 units of the UTF-8 text from begin to end (already checked). */
static size_t qc_units(const char *begin, const char *end)
{
    size_t units = 0;
    for (const unsigned char *at = (const unsigned char *)begin; at < (const unsigned char *)end; at++)
        if ((*at & 0xC0) != 0x80) units += *at >= 0xF0 ? 2 : 1;
    return units;
}

int qc_url_ok(const char *url)
{
    if (!url || strncmp(url, "https://", 8) != 0) return 0;
    for (const unsigned char *at = (const unsigned char *)url; *at;) {
        size_t length = qc_utf8_length(at);
        if (length == 0 || *at <= ' ' || *at == 0x7F) return 0;
        at += length;
    }
    const char *authority = url + 8, *end = authority + strcspn(authority, "/?#");
    const char *host = authority;
    for (const char *at = authority; at < end; at++)
        if (*at == '@') host = at + 1; /* what came before is user information */
    const char *host_end = end;
    if (*host == '[') {
        const char *close = (const char *)memchr(host, ']', (size_t)(end - host));
        if (!close) return 0;
        host_end = close + 1;
    } else {
        const char *colon = (const char *)memchr(host, ':', (size_t)(end - host));
        if (colon) host_end = colon;
    }
    if (host_end < end) {
        unsigned long port = 0;
        if (*host_end != ':' || end - host_end < 2 || end - host_end > 6) return 0;
        for (const char *at = host_end + 1; at < end; at++) {
            if (*at < '0' || *at > '9') return 0;
            port = port * 10 + (unsigned long)(*at - '0');
        }
        if (port == 0 || port > 65535) return 0;
    }
    const char *query = end + strcspn(end, "?#");
    size_t host_units = qc_units(host, host_end), path_units = qc_units(end, query),
           query_units = qc_units(query, query + strlen(query));
    return host_units >= 1 && host_units <= 255 && path_units <= 1023 && query_units <= 511 &&
           qc_units(url, url + strlen(url)) <= 2048;
}
