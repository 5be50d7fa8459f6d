/* qorb_hub.cpp -- the door directory's hub setting in grimby.json: reading
 * it strictly (a wrong hub is worse than a clear refusal), writing it back
 * without disturbing the sysop's other settings, and posting to that hub. */
#include "qorb_hub.h"
#include "qorb_chat_int.h"
#include "qorb_json.h"

#include <stdio.h>
#include <string.h>

#ifndef GRIMBY_HUB_HOST
#define GRIMBY_HUB_HOST "localhost"
#endif

static void why_set(char *why, size_t n, const char *text)
{
    if (why && n) snprintf(why, n, "%s", text);
}

const char *qorb_hub_default_url(void)
{
    return "https://" GRIMBY_HUB_HOST;
}

static int is_alnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

static int is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/* host[:port] with a plain name, a dotted address or a bracketed IPv6
 * address; nothing that could carry a path, user or query. */
static int host_port_ok(const char *p)
{
    const char *host_end;
    if (*p == '[') {
        const char *q = p + 1;
        while (is_hex(*q) || *q == ':' || *q == '.') q++;
        if (*q != ']' || q == p + 1) return 0;
        host_end = q + 1;
    } else {
        const char *q = p;
        while (is_alnum(*q) || *q == '-' || *q == '.') q++;
        if (q == p || *p == '.' || *p == '-' || q[-1] == '-') return 0;
        host_end = q;
    }
    if (*host_end == '\0') return 1;
    if (*host_end != ':') return 0;
    const char *digits = host_end + 1;
    long port = 0;
    int count = 0;
    for (; *digits; digits++, count++) {
        if (*digits < '0' || *digits > '9' || count >= 5) return 0;
        port = port * 10 + (*digits - '0');
    }
    return count > 0 && port >= 1 && port <= 65535;
}

int qorb_hub_url_check(const char *text, char *url, char *why, size_t n)
{
    static const char kShape[] = "The hub address must look like https://host or https://host:port.";
    size_t length = text ? strlen(text) : 0;
    while (length > 0 && text[length - 1] == '/') length--;
    if (length < 9 || length >= 512 || strncmp(text, "https://", 8) != 0) {
        why_set(why, n, length >= 512 ? "The hub address is too long." : kShape);
        return 0;
    }
    char copy[512];
    memcpy(copy, text, length);
    copy[length] = '\0';
    if (!host_port_ok(copy + 8)) {
        why_set(why, n, kShape);
        return 0;
    }
    memcpy(url, copy, length + 1);
    return 1;
}

static int is_absolute(const char *path)
{
#ifdef _WIN32
    if (path[0] == '\\') return 1;
    if (is_alnum(path[0]) && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return 1;
#endif
    return path[0] == '/';
}

/* door_dir/name, or name alone for the working directory. */
static int join(const char *door_dir, const char *name, char *out, size_t cap)
{
    int length = (door_dir && door_dir[0] && !is_absolute(name))
                     ? snprintf(out, cap, "%s/%s", door_dir, name)
                     : snprintf(out, cap, "%s", name);
    return length >= 0 && (size_t)length < cap;
}

/* 1 when every top-level key can be read: the reader's lookup ends at a
 * key it cannot decode (128 bytes or more, a bad escape), and a "hub" after
 * one would be missed, silently joining the build's network instead. */
static int every_key_readable(const cj_doc *doc)
{
    if (doc->ntok < 1 || doc->tok[0].type != '{') return 0;
    int32_t end = doc->tok[0].next;
    char name[128];
    for (int32_t index = 1; index < end && index + 1 < doc->ntok;) {
        if (!cj_decode(doc, index, name, sizeof name)) return 0;
        int32_t next = doc->tok[index + 1].next;
        if (next <= index) return 0;
        index = next;
    }
    return 1;
}

int qorb_hub_setting_load(const char *door_dir, qorb_hub_setting *out, char *why, size_t n)
{
    snprintf(out->url, sizeof out->url, "%s", qorb_hub_default_url());
    out->ca_file[0] = '\0';
    if (why && n) why[0] = '\0';

    char path[1024];
    if (!join(door_dir, "grimby.json", path, sizeof path)) {
        why_set(why, n, "The door directory's path is too long.");
        return 0;
    }
    static char text[QC_FILE_LIMIT];
    static cj_doc doc;
    size_t size;
    FILE *probe = fopen(path, "rb");
    if (!probe) return 1; /* no settings file: the build's hub */
    fclose(probe);
    int read = qc_read_file(path, text, sizeof text, &size);
    if (read != 1) {
        why_set(why, n, read < 0 ? "grimby.json is too large to read the hub setting from."
                                 : "grimby.json cannot be read.");
        return 0;
    }
    if (size == 0) return 1;
    if (strlen(text) != size || !cj_parse(&doc, text)) {
        why_set(why, n, "grimby.json is not a valid JSON object, so the hub setting cannot be read.");
        return 0;
    }
    if (!every_key_readable(&doc)) {
        why_set(why, n, "grimby.json has a setting name of 128 bytes or more, so the hub setting "
                        "cannot be read; shorten it.");
        return 0;
    }

    char value[1024];
    int index = cj_find(&doc, "hub");
    if (index >= 0) {
        if (doc.tok[index].type != '"' || !cj_decode(&doc, index, value, sizeof value)) {
            why_set(why, n, "The \"hub\" setting in grimby.json must be a text such as "
                            "\"https://hub.example.net\".");
            return 0;
        }
        if (value[0] && !qorb_hub_url_check(value, out->url, why, n)) {
            snprintf(out->url, sizeof out->url, "%s", qorb_hub_default_url());
            return 0;
        }
    }
    index = cj_find(&doc, "hub_ca");
    if (index >= 0) {
        if (doc.tok[index].type != '"' || !cj_decode(&doc, index, value, sizeof value)) {
            why_set(why, n, "The \"hub_ca\" setting in grimby.json must be the path of a CA file.");
            return 0;
        }
        if (value[0]) {
            char resolved[1024];
            FILE *ca = nullptr;
            if (!join(door_dir, value, resolved, sizeof resolved) || !(ca = fopen(resolved, "rb"))) {
                if (why && n)
                    snprintf(why, n, "The hub CA file named in grimby.json (%s) cannot be read.", value);
                return 0;
            }
            fclose(ca);
            snprintf(out->ca_file, sizeof out->ca_file, "%s", resolved);
        }
    }
    return 1;
}

/* Sets one string member of the object in text: its value replaced in
 * place, or a new member before the closing brace in the file's own
 * layout. 1, or 0 when it does not fit. */
static int set_member(char *text, size_t cap, const char *key, const char *escaped)
{
    static cj_doc doc;
    if (!cj_parse(&doc, text)) return 0;
    char member[1200];
    size_t length = strlen(text), at, cut;
    int index = cj_find(&doc, key);
    int made;
    if (index >= 0) {
        at = (size_t)doc.tok[index].start;
        cut = (size_t)doc.tok[index].end - at;
        made = snprintf(member, sizeof member, "\"%s\"", escaped);
    } else {
        at = (size_t)doc.tok[0].end - 1; /* the closing brace */
        while (at > 0 && (text[at - 1] == ' ' || text[at - 1] == '\t' || text[at - 1] == '\r' ||
                          text[at - 1] == '\n'))
            at--;
        cut = 0;
        const char *lead = strchr(text, '\n') && (size_t)(strchr(text, '\n') - text) < at ? "\n  " : "";
        made = snprintf(member, sizeof member, "%s%s\"%s\": \"%s\"", doc.ntok > 1 ? "," : "", lead,
                        key, escaped);
    }
    if (made < 0 || (size_t)made >= sizeof member || length - cut + (size_t)made >= cap) return 0;
    memmove(text + at + made, text + at + cut, length - at - cut + 1);
    memcpy(text + at, member, (size_t)made);
    return 1;
}

int qorb_hub_setting_save(const char *door_dir, const char *url, const char *ca_file, char *why,
                          size_t n)
{
    static const char kCannot[] = "Cannot safely save the hub setting in grimby.json; it is unchanged.";
    char escaped_url[1100], escaped_ca[1100];
    if (!qc_escape(url ? url : "", escaped_url, 1023) ||
        !qc_escape(ca_file ? ca_file : "", escaped_ca, 1023)) {
        why_set(why, n, "The hub address and the CA file's path must be plain printable text.");
        return 0;
    }
    char path[1024], temp[1100];
    if (!join(door_dir, "grimby.json", path, sizeof path)) {
        why_set(why, n, kCannot);
        return 0;
    }
    char temp_name[64];
    snprintf(temp_name, sizeof temp_name, "grimby.json.tmp.%lu", qc_process_id());
    if (!join(door_dir, temp_name, temp, sizeof temp)) {
        why_set(why, n, kCannot);
        return 0;
    }

    static char text[QC_FILE_LIMIT + 2400];
    size_t size = 0;
    FILE *probe = fopen(path, "rb");
    if (probe) {
        fclose(probe);
        if (qc_read_file(path, text, QC_FILE_LIMIT, &size) != 1 || strlen(text) != size) {
            why_set(why, n, "grimby.json cannot be read; it is unchanged.");
            return 0;
        }
    }
    if (size == 0) snprintf(text, sizeof text, "{\n}\n");
    static cj_doc doc;
    if (!cj_parse(&doc, text)) {
        why_set(why, n, "grimby.json is not a valid JSON object; it is unchanged.");
        return 0;
    }
    if (!set_member(text, sizeof text, "hub", escaped_url) ||
        !set_member(text, sizeof text, "hub_ca", escaped_ca)) {
        why_set(why, n, kCannot);
        return 0;
    }
    /* The reader stops at a key it cannot decode (a name of 128 bytes or
     * more): members placed after one would be saved but never read back,
     * so the file is only written when they read back as given. */
    static cj_doc check;
    char back[1100];
    if (!cj_parse(&check, text) || !cj_get(&check, "hub", back, sizeof back) ||
        strcmp(back, url ? url : "") != 0 || !cj_get(&check, "hub_ca", back, sizeof back) ||
        strcmp(back, ca_file ? ca_file : "") != 0) {
        why_set(why, n, kCannot);
        return 0;
    }
    FILE *file = qc_file_create_like(temp, path);
    if (!file) {
        why_set(why, n, kCannot);
        return 0;
    }
    size_t length = strlen(text);
    int written = fwrite(text, 1, length, file) == length;
    if (!qc_file_sync_close(file) || !written || !qc_file_replace(temp, path)) {
        remove(temp);
        why_set(why, n, kCannot);
        return 0;
    }
    return 1;
}

int qorb_hub_post(const qorb_hub_setting *hub, const char *path, const char *body,
                  const char *signature, char *reply, size_t cap, long *status)
{
    char url[1024];
    int length = snprintf(url, sizeof url, "%s%s", hub->url, path);
    if (length < 0 || (size_t)length >= sizeof url) {
        if (status) *status = 0;
        return 0;
    }
    return pn_request(url, hub->ca_file[0] ? hub->ca_file : nullptr, body, signature, reply, cap,
                      status);
}

/* Each thread's last outcome: the worker's failures must not be read as the
 * game thread's. */
static thread_local int failure_kind;
static thread_local char failure_detail[160];

void pn_set_failure(int kind, const char *detail)
{
    failure_kind = kind;
    snprintf(failure_detail, sizeof failure_detail, "%s", detail ? detail : "");
}

int pn_failure(char *detail, size_t n)
{
    if (detail && n) snprintf(detail, n, "%s", failure_detail);
    return failure_kind;
}
