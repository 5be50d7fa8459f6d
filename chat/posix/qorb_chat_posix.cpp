/* qorb_chat_posix.cpp -- the chat client's Linux half: the lobby request
 * over libcurl (loaded at the first request) with the same contract as the
 * Windows half, random ids from getrandom, the worker thread and guard on
 * pthreads, and owner-only files for everything that holds the secret. */
#include "qorb_chat_int.h"
#include "qorb_hub.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* ---- the request ---- */

typedef struct {
    char  *reply;
    size_t cap;
    size_t used;
    int    overflow;
} pn_sink;

/* A reply must leave room for its NUL; one byte more ends the transfer. */
static size_t pn_receive(char *data, size_t size, size_t count, void *user)
{
    pn_sink *sink = (pn_sink *)user;
    size_t bytes = size * count;
    if (bytes >= sink->cap - sink->used) {
        sink->overflow = 1;
        return 0;
    }
    memcpy(sink->reply + sink->used, data, bytes);
    sink->used += bytes;
    return bytes;
}

/* libcurl brings about thirty libraries with it (TLS, Kerberos, LDAP, SSH
 * ...), and loading them would cost every caller's start several times
 * what the door itself takes, while most BBSes never switch chat on. They
 * are loaded with the first request instead. */
static struct {
    CURLcode (*global_init)(long);
    CURL *(*easy_init)(void);
    CURLcode (*easy_setopt)(CURL *, CURLoption, ...);
    CURLcode (*easy_perform)(CURL *);
    CURLcode (*easy_getinfo)(CURL *, CURLINFO, ...);
    void (*easy_cleanup)(CURL *);
    struct curl_slist *(*slist_append)(struct curl_slist *, const char *);
    void (*slist_free_all)(struct curl_slist *);
    const char *(*easy_strerror)(CURLcode);
} pn_curl;
#undef curl_easy_setopt
#undef curl_easy_getinfo
#define curl_easy_init     pn_curl.easy_init
#define curl_easy_setopt   pn_curl.easy_setopt
#define curl_easy_perform  pn_curl.easy_perform
#define curl_easy_getinfo  pn_curl.easy_getinfo
#define curl_easy_cleanup  pn_curl.easy_cleanup
#define curl_slist_append  pn_curl.slist_append
#define curl_slist_free_all pn_curl.slist_free_all
#define curl_easy_strerror pn_curl.easy_strerror

static pthread_once_t pn_once = PTHREAD_ONCE_INIT;
static int pn_ready;

static int pn_load(void *library, void *slot, const char *name)
{
    void *found = dlsym(library, name);
    memcpy(slot, &found, sizeof found);
    return found != nullptr;
}

static void pn_init(void)
{
    void *library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (!library) return;
    int (*ssl_init)(uint64_t, const void *) = nullptr;
    if (!pn_load(library, &pn_curl.global_init, "curl_global_init") ||
        !pn_load(library, &pn_curl.easy_init, "curl_easy_init") ||
        !pn_load(library, &pn_curl.easy_setopt, "curl_easy_setopt") ||
        !pn_load(library, &pn_curl.easy_perform, "curl_easy_perform") ||
        !pn_load(library, &pn_curl.easy_getinfo, "curl_easy_getinfo") ||
        !pn_load(library, &pn_curl.easy_cleanup, "curl_easy_cleanup") ||
        !pn_load(library, &pn_curl.slist_append, "curl_slist_append") ||
        !pn_load(library, &pn_curl.slist_free_all, "curl_slist_free_all") ||
        !pn_load(library, &pn_curl.easy_strerror, "curl_easy_strerror"))
        return;
    /* The worker may still be inside a request when the door ends the
     * process; OpenSSL (libcurl's own, found through it) must not tear
     * itself down under it at exit. */
    if (pn_load(library, &ssl_init, "OPENSSL_init_ssl")) ssl_init(OPENSSL_INIT_NO_ATEXIT, nullptr);
    pn_ready = pn_curl.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

/* What a failed transfer means to a sysop reading the message or the log. */
static int pn_kind(CURLcode result, int sent)
{
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
        return PN_UNREACHABLE;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return PN_UNTRUSTED;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
        return PN_TLS;
    case CURLE_OPERATION_TIMEDOUT:
        return sent ? PN_NO_REPLY : PN_UNREACHABLE;
    default:
        return PN_NO_REPLY;
    }
}

int pn_request(const char *url, const char *ca_file, const char *body, const char *signature,
               char *reply, size_t cap, long *status)
{
    pn_set_failure(PN_REFUSED, "");
    if (status) *status = 0;
    if (!url || !body || !reply || cap < 1 || !status) return 0;
    reply[0] = '\0';
    if (!qc_url_ok(url)) return 0;
    if (signature && strlen(signature) != 64) return 0;
    pthread_once(&pn_once, pn_init);
    if (!pn_ready) return 0;

    CURL *curl = curl_easy_init();
    if (!curl) return 0;
    char error[CURL_ERROR_SIZE] = "";
    struct curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
    char signature_line[96];
    if (signature) {
        snprintf(signature_line, sizeof signature_line, "X-Q-Orb-Signature: %s", signature);
        struct curl_slist *more = headers ? curl_slist_append(headers, signature_line) : nullptr;
        if (!more) {
            curl_slist_free_all(headers);
            curl_easy_cleanup(curl);
            return 0;
        }
        headers = more;
    }
    /* libcurl adds Expect: 100-continue to larger bodies; WinHTTP does not. */
    struct curl_slist *more = headers ? curl_slist_append(headers, "Expect:") : nullptr;
    if (!more) {
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);
        return 0;
    }
    headers = more;

    pn_sink sink = {reply, cap, 0, 0};
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, (long)(CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    /* The hub's own CA replaces the system's store for this request only. */
    if (ca_file && ca_file[0]) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file);
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Q-Orb Shared Lobby/1.0");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, (long)strlen(body));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, pn_receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    /* A name lookup runs on a thread of its own, and without this the
     * clean-up after a time-out waits for it to finish: a resolver that
     * does not answer would hold the worker for its own 10 to 30 s instead
     * of the limits below. The lookup is left to end by itself. */
    curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 1L);
    /* WinHTTP gives resolve, connect, send and receive 2 s each. libcurl
     * has a connect limit (which covers resolving and the TLS handshake)
     * and a whole-transfer limit: connect gets its 2 s, and the cap of 6 s
     * stands for the three other phases' 2 s each. A peer that trickles
     * bytes cannot stretch a request past it either, as it could one
     * receive time-out at a time on Windows. */
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 6000L);

    CURLcode result = curl_easy_perform(curl);
    long code = 0;
    long sent = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &sent);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK || sink.overflow) {
        reply[0] = '\0';
        pn_set_failure(sink.overflow ? PN_TOO_LARGE : pn_kind(result, sent > 0),
                       error[0] ? error : curl_easy_strerror(result));
        return 0;
    }
    reply[sink.used] = '\0';
    *status = code;
    pn_set_failure(PN_OK, "");
    return 1;
}

int random_id(char out[QC_ID_SIZE])
{
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        got += (size_t)n;
    }
    for (int i = 0; i < 16; i++) snprintf(out + 2 * i, 3, "%02x", bytes[i]);
    return 1;
}

/* ---- the worker and guard ----
 * guard lives for the whole process: a worker left running at stop still
 * takes it, so it is never destroyed, and a static one cannot fail. */

static pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t  changed = PTHREAD_COND_INITIALIZER; /* woken, ended */
static pthread_t       worker_thread;
static int             woken, started;
static uintptr_t       current_id, ended_id; /* which worker ended last */

int qc_guard_init(void)
{
    return 1;
}

void qc_guard_free(void) {}

void qc_lock(void)
{
    pthread_mutex_lock(&guard);
}

void qc_unlock(void)
{
    pthread_mutex_unlock(&guard);
}

static pthread_once_t cond_once = PTHREAD_ONCE_INIT;

/* Timed waits follow the monotonic clock, so a change of the wall clock
 * cannot stretch a 100 ms pause. */
static void cond_init(void)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_destroy(&changed);
    pthread_cond_init(&changed, &attr);
    pthread_condattr_destroy(&attr);
}

static void (*worker_function)(void);

static void *worker_main(void *argument)
{
    worker_function();
    pthread_mutex_lock(&guard);
    ended_id = (uintptr_t)argument;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&guard);
    return nullptr;
}

int qc_thread_start(void (*function)(void))
{
    pthread_once(&cond_once, cond_init);
    worker_function = function;
    pthread_mutex_lock(&guard);
    woken = 0;
    uintptr_t id = ++current_id;
    pthread_mutex_unlock(&guard);
    if (pthread_create(&worker_thread, nullptr, worker_main, (void *)id) != 0) return 0;
    started = 1;
    return 1;
}

static void deadline_after(struct timespec *at, uint32_t ms)
{
    clock_gettime(CLOCK_MONOTONIC, at);
    at->tv_sec += ms / 1000;
    at->tv_nsec += (long)(ms % 1000) * 1000000L;
    if (at->tv_nsec >= 1000000000L) {
        at->tv_sec++;
        at->tv_nsec -= 1000000000L;
    }
}

int qc_thread_wait(uint32_t ms)
{
    if (!started) return 1;
    pthread_once(&cond_once, cond_init);
    struct timespec at;
    deadline_after(&at, ms);
    pthread_mutex_lock(&guard);
    while (ended_id != current_id)
        if (pthread_cond_timedwait(&changed, &guard, &at) == ETIMEDOUT) break;
    int done = ended_id == current_id;
    pthread_mutex_unlock(&guard);
    started = 0;
    if (done)
        pthread_join(worker_thread, nullptr);
    else
        pthread_detach(worker_thread);
    return done;
}

void qc_nap(uint32_t ms)
{
    pthread_once(&cond_once, cond_init);
    struct timespec at;
    deadline_after(&at, ms);
    pthread_mutex_lock(&guard);
    while (!woken)
        if (pthread_cond_timedwait(&changed, &guard, &at) == ETIMEDOUT) break;
    woken = 0;
    pthread_mutex_unlock(&guard);
}

void qc_wake(void)
{
    pthread_once(&cond_once, cond_init);
    pthread_mutex_lock(&guard);
    woken = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&guard);
}

/* ---- files ---- */

FILE *qc_file_create(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    /* An old file of the same name keeps its mode through O_TRUNC. */
    if (fchmod(fd, 0600) != 0) {
        close(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, "wb");
    if (!file) close(fd);
    return file;
}

FILE *qc_file_create_like(const char *path, const char *like)
{
    struct stat info;
    mode_t mode = stat(like, &info) == 0 ? (info.st_mode & 07777) : 0644;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    if (fchmod(fd, mode) != 0) {
        close(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, "wb");
    if (!file) close(fd);
    return file;
}

int qc_file_sync_close(FILE *file)
{
    int ok = fflush(file) == 0 && fsync(fileno(file)) == 0;
    return fclose(file) == 0 && ok;
}

int qc_file_copy_new(const char *from, const char *to)
{
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return 0;
    int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return 0;
    }
    char buffer[8192];
    int ok = 1;
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ok = 0;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    if (fsync(out) != 0) ok = 0;
    close(in);
    if (close(out) != 0) ok = 0;
    if (!ok) unlink(to);
    return ok;
}

/* The rename is only durable once the directory holding it is on disk:
 * after a power loss the old file could otherwise come back. */
int qc_file_replace(const char *from, const char *to)
{
    if (rename(from, to) != 0) return 0;
    char dir[1024];
    const char *slash = strrchr(to, '/');
    if (!slash)
        snprintf(dir, sizeof dir, ".");
    else if (slash == to)
        snprintf(dir, sizeof dir, "/");
    else
        snprintf(dir, sizeof dir, "%.*s", (int)(slash - to), to);
    /* The move has happened either way; a file system that cannot sync a
     * directory must not turn it into a reported failure. */
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    return 1;
}

int qc_file_exists(const char *path)
{
    struct stat info;
    return lstat(path, &info) == 0;
}

unsigned long qc_process_id(void)
{
    return (unsigned long)getpid();
}
