/* qorb_json.h -- the strict, allocation-free JSON reader behind everything
 * the chat client reads: lobby replies, chat.json, the hub credentials and
 * the enrollment reply. A parse validates the whole document into a fixed
 * token table that points into the caller's text; lookups then read
 * top-level keys as text or as numbers. */
#ifndef QORB_JSON_H
#define QORB_JSON_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CJ_MAX_TOKENS 512 /* values in one document, keys included */
#define CJ_MAX_DEPTH  16  /* levels a value may nest below the root */

/* One value of the document: indices into its text and the token table. */
typedef struct {
    int32_t start; /* first byte (a string's opening quote) */
    int32_t end;   /* one past the last byte (past a closing quote or bracket) */
    int32_t next;  /* the first token after this value and all inside it */
    int32_t type;  /* the first byte: '"', '{', '[', 't', 'f', 'n', '-' or a digit */
} cj_tok;

/* One parse; the caller owns it and the text, which is never modified. */
typedef struct {
    const char *text;
    int32_t     pos;
    int32_t     ntok;
    cj_tok      tok[CJ_MAX_TOKENS];
} cj_doc;

/* Parses one value at doc->pos (leading white space allowed) at the given
 * depth and leaves pos just past it: the index of its token, or -1 on any
 * syntax error or limit (the table is then partly filled and unusable). */
int cj_value(cj_doc *doc, int depth);

/* Zeroes the document and parses text: 1 when it is one object with
 * nothing but white space after it, else 0. Every reader uses this rule. */
int cj_parse(cj_doc *doc, const char *text);

/* Copies the decoded value of a top-level key into out (cap bytes with the
 * NUL): 1, or 0 when the key is absent, the value does not fit (out then
 * holds the first cap - 1 bytes) or an escape cannot be decoded. */
int cj_get(const cj_doc *doc, const char *key, char *out, size_t cap);

/* The token index of a top-level key's value, or -1 when it is absent (a
 * key that cannot be decoded ends the search). */
int cj_find(const cj_doc *doc, const char *key);

/* Decodes token index into out as cj_get does: strings lose their quotes
 * and escapes, other values are copied as their raw text. */
int cj_decode(const cj_doc *doc, int index, char *out, size_t cap);

/* The value of a top-level key read as a decimal integer (strtoll rules:
 * 12.9 gives 12, "42" gives 42); 0 when the key is absent or unreadable. */
int64_t cj_number(const cj_doc *doc, const char *key);

#ifdef __cplusplus
}
#endif

#endif
