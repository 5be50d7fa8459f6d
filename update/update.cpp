/* update.cpp -- the portable half of the online updater: what a signed
 * manifest must say, how versions compare, and whether a download is the
 * package the manifest names. */
#include "update.h"

#include <stdio.h>
#include <string.h>

#include "qorb_sha.h"

/* Decimal digits only, no sign, no blanks; stops counting past the cap so
 * a long run of digits cannot overflow. */
static int UpdateDecimal(const char *text, size_t length, unsigned long cap, unsigned long *out)
{
    if (length == 0) return 0;
    unsigned long value = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return 0;
        value = value * 10 + (unsigned long)(text[i] - '0');
        if (value > cap) return 0;
    }
    *out = value;
    return 1;
}

int version(const char *text, unsigned parts[3])
{
    unsigned long found[3];
    const char *at = text;
    for (int i = 0; i < 3; i++) {
        const char *end = i < 2 ? strchr(at, '.') : at + strlen(at);
        if (!end || !UpdateDecimal(at, (size_t)(end - at), UPDATE_VERSION_MAX, &found[i])) return 0;
        at = end + 1;
    }
    for (int i = 0; i < 3; i++) parts[i] = (unsigned)found[i];
    return 1;
}

int update_version_newer(const unsigned offered[3], const unsigned installed[3])
{
    for (int i = 0; i < 3; i++)
        if (offered[i] != installed[i]) return offered[i] > installed[i];
    return 0;
}

enum { KEY_GAME, KEY_PLATFORM, KEY_VERSION, KEY_URL, KEY_SIZE, KEY_SHA256, KEY_NOTES, KEY_COUNT };
static const char *const apszUpdateKeys[KEY_COUNT] = {"game", "platform", "version", "url",
                                                      "size", "sha256",   "notes"};

static int UpdateFail(const char **why, const char *reason)
{
    if (why) *why = reason;
    return 0;
}

static int UpdateUrlOk(const char *url, const char *host, update_manifest *out)
{
    static const char scheme[] = "https://", dir[] = "/updates/packages/";
    size_t host_length = strlen(host);
    if (strncmp(url, scheme, sizeof scheme - 1) != 0) return 0;
    url += sizeof scheme - 1;
    if (strncmp(url, host, host_length) != 0) return 0;
    url += host_length;
    if (strncmp(url, dir, sizeof dir - 1) != 0) return 0;
    const char *name = url + sizeof dir - 1;
    int all_dots = 1;
    for (const char *c = name; *c; c++) {
        int ok = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                 *c == '.' || *c == '_' || *c == '-';
        if (!ok) return 0;
        if (*c != '.') all_dots = 0;
    }
    /* An empty name, "." or ".." would name the directory itself or its
     * parent once a server tidies the path. */
    if (!*name || all_dots) return 0;
    snprintf(out->package_name, sizeof out->package_name, "%s", name);
    return 1;
}

int update_manifest_parse(const char *bytes, size_t length, const char *host, update_manifest *out,
                          const char **why)
{
    char values[KEY_COUNT][UPDATE_VALUE_MAX + 1];
    int seen[KEY_COUNT] = {0};
    if (length == 0 || length >= UPDATE_MANIFEST_LIMIT) return UpdateFail(why, "empty or too long");
    if (memchr(bytes, '\0', length)) return UpdateFail(why, "a NUL byte");

    size_t at = 0;
    while (at < length) {
        const char *line = bytes + at;
        const char *end = (const char *)memchr(line, '\n', length - at);
        if (!end) return UpdateFail(why, "a line without a line feed");
        const char *equals = (const char *)memchr(line, '=', (size_t)(end - line));
        if (!equals) return UpdateFail(why, "a line without \"=\"");
        size_t key_length = (size_t)(equals - line), value_length = (size_t)(end - equals - 1);
        int key = -1;
        for (int k = 0; k < KEY_COUNT; k++)
            if (strlen(apszUpdateKeys[k]) == key_length && memcmp(apszUpdateKeys[k], line, key_length) == 0) key = k;
        if (key < 0) return UpdateFail(why, "an unknown key");
        if (seen[key]) return UpdateFail(why, "a repeated key");
        if (value_length > UPDATE_VALUE_MAX) return UpdateFail(why, "a value over 2,047 bytes");
        memcpy(values[key], equals + 1, value_length);
        values[key][value_length] = '\0';
        seen[key] = 1;
        at = (size_t)(end - bytes) + 1;
    }
    for (int k = 0; k < KEY_COUNT; k++)
        if (!seen[k]) return UpdateFail(why, "a missing key");

    if (strcmp(values[KEY_GAME], "grimby") != 0) return UpdateFail(why, "game is not grimby");
    if (strcmp(values[KEY_PLATFORM], UPDATE_PLATFORM) != 0) return UpdateFail(why, "platform is not " UPDATE_PLATFORM);
    if (!version(values[KEY_VERSION], out->version_parts)) return UpdateFail(why, "a malformed version");
    if (!UpdateUrlOk(values[KEY_URL], host, out)) return UpdateFail(why, "url is not a package on this hub");
    if (!UpdateDecimal(values[KEY_SIZE], strlen(values[KEY_SIZE]), UPDATE_PACKAGE_MAX, &out->size) ||
        out->size == 0)
        return UpdateFail(why, "size is not 1 to 104,857,600");
    if (strlen(values[KEY_SHA256]) != 64) return UpdateFail(why, "sha256 is not 64 characters");
    memcpy(out->version, values[KEY_VERSION], sizeof out->version);
    memcpy(out->url, values[KEY_URL], sizeof out->url);
    memcpy(out->sha256, values[KEY_SHA256], sizeof out->sha256);
    memcpy(out->notes, values[KEY_NOTES], sizeof out->notes);
    return 1;
}

int update_accept(const unsigned char *key_der, size_t key_length, const unsigned char *manifest,
                  size_t manifest_length, const unsigned char *signature, size_t signature_length,
                  const char *host, update_manifest *out, const char **why)
{
    if (manifest_length == 0 || signature_length != UPDATE_SIGNATURE_SIZE ||
        !update_signature_ok(key_der, key_length, manifest, manifest_length, signature, signature_length)) {
        if (why) *why = "signature does not verify";
        return 1;
    }
    return update_manifest_parse((const char *)manifest, manifest_length, host, out, why) ? 0 : 2;
}

size_t readfile(const char *path, void *buffer, size_t limit)
{
    FILE *file = fopen(path, "rb");
    if (!file) return 0;
    /* One byte more than the limit tells "exactly full" from "too long". */
    size_t got = 0;
    char extra;
    while (got < limit) {
        size_t n = fread((char *)buffer + got, 1, limit - got, file);
        if (n == 0) break;
        got += n;
    }
    int complete = !ferror(file) && (got < limit || fread(&extra, 1, 1, file) == 0) && !ferror(file);
    fclose(file);
    return complete ? got : 0;
}

int update_package_stream_ok(FILE *file, unsigned long size, const char *sha256)
{
    static unsigned char chunk[32768];
    sha_ctx ctx;
    sha_init(&ctx);
    unsigned long long total = 0;
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        sha_update(&ctx, chunk, n);
        total += n;
    }
    uint8_t digest[SHA_DIGEST_SIZE];
    char hex[SHA_HEX_SIZE];
    sha_end(&ctx, digest);
    sha_hex(digest, hex);
    return !ferror(file) && total == size && strcmp(hex, sha256) == 0;
}

int update_package_ok(const char *path, unsigned long size, const char *sha256)
{
    FILE *file = fopen(path, "rb");
    if (!file) return 0;
    int ok = update_package_stream_ok(file, size, sha256);
    fclose(file);
    return ok;
}
