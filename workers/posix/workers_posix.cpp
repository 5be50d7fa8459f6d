/* workers_posix.cpp -- the workers' Linux half: no standard input, a
 * watchdog that ends a stuck run, the clock, and the boards' GET over
 * libcurl with the chat transport's rules (HTTPS and TLS 1.2 only, no
 * redirects, 2 s to connect, 6 s for the whole exchange). */
#include "workers.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

static void wk_watchdog(int)
{
    static const char text[] = "The run took longer than its time limit and was ended.\n";
    ssize_t ignored = write(2, text, sizeof text - 1);
    (void)ignored;
    _exit(1);
}

void wk_os_start(uint32_t ms)
{
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0 && null != 0) {
        dup2(null, 0);
        close(null);
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = wk_watchdog;
    sigaction(SIGALRM, &action, nullptr);
    alarm((ms + 999) / 1000);
}

uint64_t wk_os_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

void wk_os_sleep(uint32_t ms)
{
    struct timespec pause = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {}
}

unsigned long wk_os_pid(void)
{
    return (unsigned long)getpid();
}

typedef struct {
    char  *reply;
    size_t cap, used;
    int    overflow;
    char  *type;
    size_t type_cap;
    char  *etag;
    size_t etag_cap;
} wk_sink;

static size_t wk_body(char *data, size_t size, size_t count, void *user)
{
    wk_sink *sink = (wk_sink *)user;
    size_t bytes = size * count;
    if (bytes >= sink->cap - sink->used) {
        sink->overflow = 1;
        return 0;
    }
    memcpy(sink->reply + sink->used, data, bytes);
    sink->used += bytes;
    return bytes;
}

/* Copies a header's value, trimmed, when the line names it. */
static void wk_header_value(const char *line, size_t length, const char *name, char *out, size_t cap)
{
    size_t name_length = strlen(name);
    if (!out || length <= name_length || strncasecmp(line, name, name_length) != 0) return;
    const char *value = line + name_length;
    size_t left = length - name_length;
    while (left && (*value == ' ' || *value == '\t')) value++, left--;
    while (left && (value[left - 1] == '\r' || value[left - 1] == '\n' || value[left - 1] == ' ')) left--;
    if (left >= cap) left = cap - 1;
    memcpy(out, value, left);
    out[left] = 0;
}

static size_t wk_header(char *data, size_t size, size_t count, void *user)
{
    wk_sink *sink = (wk_sink *)user;
    size_t bytes = size * count;
    wk_header_value(data, bytes, "Content-Type:", sink->type, sink->type_cap);
    wk_header_value(data, bytes, "ETag:", sink->etag, sink->etag_cap);
    return bytes;
}

int wk_http_get(const char *url, const char *ca_file, const char *etag, char *reply, size_t cap,
                size_t *size, long *status, char *content_type, size_t type_cap, char *etag_out,
                size_t etag_cap)
{
    *status = 0;
    *size = 0;
    if (content_type && type_cap) content_type[0] = 0;
    if (etag_out && etag_cap) etag_out[0] = 0;
    if (!url || strncmp(url, "https://", 8) != 0 || cap < 1) return 0;
    static int ready;
    if (!ready) {
        OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 0;
        ready = 1;
    }
    CURL *curl = curl_easy_init();
    if (!curl) return 0;
    struct curl_slist *headers = nullptr;
    char condition[200];
    if (etag && etag[0]) {
        snprintf(condition, sizeof condition, "If-None-Match: %s", etag);
        headers = curl_slist_append(nullptr, condition);
        if (!headers) {
            curl_easy_cleanup(curl);
            return 0;
        }
    }
    wk_sink sink = {reply, cap, 0, 0, content_type, type_cap, etag_out, etag_cap};
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, (long)(CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (ca_file && ca_file[0]) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "GRIMBY-SYNC/1.0");
    if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, wk_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, wk_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 6000L);
    CURLcode result = curl_easy_perform(curl);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK || sink.overflow) {
        reply[0] = 0;
        return 0;
    }
    reply[sink.used] = 0;
    *size = sink.used;
    *status = code;
    return 1;
}

/* A test build can stop the worker dead at a named point, as a kill or a
 * power cut would. */
void wk_os_die(void)
{
    kill(getpid(), SIGKILL);
}
