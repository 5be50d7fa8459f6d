/* qorb_json.cpp -- the strict JSON reader. One recursive pass, bounded by
 * the depth limit; tokens point into the text, so nothing is copied until a
 * lookup decodes the one value asked for. */
#include "qorb_json.h"

#include <stdlib.h>
#include <string.h>

/* The white space of the default locale (isspace), byte for byte. */
static int CjIsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* The indices are 32-bit: a document longer than they reach is refused
 * (scanning stops short of the limit and the next check fails), never
 * wrapped. */
#define CJ_POS_LIMIT (INT32_MAX - 8)

static void CjSkipSpace(cj_doc *doc)
{
    while (doc->pos < CJ_POS_LIMIT && CjIsSpace(doc->text[doc->pos])) doc->pos++;
}

static int CjIsHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

static int CjHexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

static int CjIsDigit(char c)
{
    return c >= '0' && c <= '9';
}

/* A string from its opening quote; pos ends past the closing one. */
static int CjScanString(cj_doc *doc)
{
    const char *text = doc->text;
    int32_t pos = doc->pos + 1;
    for (;;) {
        if (pos >= CJ_POS_LIMIT) return 0;
        unsigned char c = (unsigned char)text[pos];
        if (c == '"') break;
        if (c < 0x20) return 0; /* NUL and raw control bytes alike */
        if (c == '\\') {
            char escape = text[pos + 1];
            if (escape == 'u') {
                for (int i = 2; i < 6; i++)
                    if (!CjIsHex(text[pos + i])) return 0;
                pos += 6;
                continue;
            }
            if (!strchr("\"\\/bfnrt", escape) || escape == '\0') return 0;
            pos += 2;
            continue;
        }
        pos++;
    }
    doc->pos = pos + 1;
    return 1;
}

/* The bytes that end a bare scalar. */
static int CjEndsScalar(char c)
{
    return c == ',' || c == ']' || c == '}' || c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\0';
}

/* A JSON number, the whole of [text, text + length). */
static int CjIsNumber(const char *text, int length)
{
    int i = 0;
    if (i < length && text[i] == '-') i++;
    if (i < length && text[i] == '0') {
        i++;
    } else if (i < length && text[i] >= '1' && text[i] <= '9') {
        while (i < length && CjIsDigit(text[i])) i++;
    } else {
        return 0;
    }
    if (i < length && text[i] == '.') {
        i++;
        if (i >= length || !CjIsDigit(text[i])) return 0;
        while (i < length && CjIsDigit(text[i])) i++;
    }
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        i++;
        if (i < length && (text[i] == '+' || text[i] == '-')) i++;
        if (i >= length || !CjIsDigit(text[i])) return 0;
        while (i < length && CjIsDigit(text[i])) i++;
    }
    return i == length;
}

static int CjScanScalar(cj_doc *doc)
{
    const char *start = doc->text + doc->pos;
    int length = 0;
    while (length < 80 && !CjEndsScalar(start[length])) length++;
    if (length < 1 || length > 79) return 0;
    int literal = (length == 4 && memcmp(start, "true", 4) == 0) || (length == 5 && memcmp(start, "false", 5) == 0) ||
                  (length == 4 && memcmp(start, "null", 4) == 0);
    if (!literal && !CjIsNumber(start, length)) return 0;
    doc->pos += length;
    return 1;
}

/* The members of an object or the elements of an array, from past the
 * opening bracket; pos ends past the closer. */
static int CjScanContainer(cj_doc *doc, int depth, char closer)
{
    doc->pos++;
    CjSkipSpace(doc);
    if (doc->text[doc->pos] != closer) {
        for (;;) {
            if (closer == '}') {
                CjSkipSpace(doc);
                if (doc->text[doc->pos] != '"') return 0;
                if (cj_value(doc, depth + 1) < 0) return 0;
                CjSkipSpace(doc);
                if (doc->text[doc->pos] != ':') return 0;
                doc->pos++;
            }
            if (cj_value(doc, depth + 1) < 0) return 0;
            CjSkipSpace(doc);
            if (doc->text[doc->pos] != ',') break;
            doc->pos++;
        }
        if (doc->text[doc->pos] != closer) return 0;
    }
    doc->pos++;
    return 1;
}

int cj_value(cj_doc *doc, int depth)
{
    if (depth > CJ_MAX_DEPTH) return -1;
    if (doc->ntok >= CJ_MAX_TOKENS) return -1;
    CjSkipSpace(doc);
    int index = doc->ntok++;
    cj_tok *tok = &doc->tok[index];
    char first = doc->text[doc->pos];
    tok->start = doc->pos;
    tok->type = (unsigned char)first;

    int ok;
    if (first == '"') ok = CjScanString(doc);
    else if (first == '{') ok = CjScanContainer(doc, depth, '}');
    else if (first == '[') ok = CjScanContainer(doc, depth, ']');
    else if (first == '\0') ok = 0;
    else ok = CjScanScalar(doc);
    if (!ok) return -1;

    /* The container's members were claimed after it: its next is the count now. */
    tok->end = doc->pos;
    tok->next = (first == '{' || first == '[') ? doc->ntok : index + 1;
    return index;
}

int cj_parse(cj_doc *doc, const char *text)
{
    memset(doc, 0, sizeof *doc);
    if (!text) return 0;
    doc->text = text;
    if (cj_value(doc, 0) != 0) return 0;
    CjSkipSpace(doc);
    return doc->text[doc->pos] == '\0' && doc->tok[0].type == '{';
}

/* Decodes a token's text into out (cap bytes with the NUL): strings lose
 * their quotes and have their escapes resolved; anything else is copied as
 * it stands. 1 when all of it fit and every escape was a byte of 1..127;
 * otherwise 0 with what was decoded so far, NUL-terminated. */
static int CjDecode(const cj_doc *doc, const cj_tok *tok, char *out, size_t cap)
{
    if (cap == 0) return 0;
    const char *text = doc->text;
    int32_t pos = tok->start, end = tok->end;
    if (tok->type == '"') pos++, end--;
    size_t used = 0;
    while (pos < end) {
        char c = text[pos];
        if (tok->type == '"' && c == '\\') {
            char escape = text[pos + 1];
            pos += 2;
            switch (escape) {
            case 'b': c = 0x08; break;
            case 'f': c = 0x0C; break;
            case 'n': c = 0x0A; break;
            case 'r': c = 0x0D; break;
            case 't': c = 0x09; break;
            case 'u': {
                int code = 0;
                for (int i = 0; i < 4; i++) code = code * 16 + CjHexValue(text[pos + i]);
                pos += 4;
                if (code < 1 || code > 127) {
                    out[used] = '\0';
                    return 0;
                }
                c = (char)code;
                break;
            }
            default: c = escape; break;
            }
        } else {
            pos++;
        }
        if (used + 1 >= cap) {
            out[used] = '\0';
            return 0;
        }
        out[used++] = c;
    }
    out[used] = '\0';
    return 1;
}

/* The token index of a top-level key's value, or -1. */
static int CjLookup(const cj_doc *doc, const char *key)
{
    if (!doc || !key || doc->ntok < 1 || doc->tok[0].type != '{' || doc->tok[0].next < 2) return -1;
    const int32_t end = doc->tok[0].next;
    int32_t index = 1;
    while (index < doc->ntok) {
        char name[128];
        if (!CjDecode(doc, &doc->tok[index], name, sizeof name)) return -1;
        int32_t value = index + 1;
        if (value >= doc->ntok) return -1;
        if (strcmp(name, key) == 0) return value;
        index = doc->tok[value].next;
        if (index >= end || index < 0) return -1;
    }
    return -1;
}

int cj_find(const cj_doc *doc, const char *key)
{
    return CjLookup(doc, key);
}

int cj_decode(const cj_doc *doc, int index, char *out, size_t cap)
{
    if (!doc || !out || index < 0 || index >= doc->ntok) {
        if (out && cap) out[0] = '\0';
        return 0;
    }
    return CjDecode(doc, &doc->tok[index], out, cap);
}

int cj_get(const cj_doc *doc, const char *key, char *out, size_t cap)
{
    int value = CjLookup(doc, key);
    if (value < 0) {
        if (out && cap) out[0] = '\0';
        return 0;
    }
    if (!out) return 0;
    return CjDecode(doc, &doc->tok[value], out, cap);
}

int64_t cj_number(const cj_doc *doc, const char *key)
{
    int value = CjLookup(doc, key);
    if (value < 0) return 0;
    char text[80];
    if (!CjDecode(doc, &doc->tok[value], text, sizeof text)) return 0;
    return (int64_t)strtoll(text, nullptr, 10);
}
