// hub_load.cpp -- what the lobby sees: signed polls, each on a fresh TLS
// connection (the Windows client opens one per request), each with a
// fresh session, seq and timestamp. Measures the hub's top rate and its
// p99 at half that rate, with nginx answering the same POST over TLS with
// the same certificate as the yardstick, in the same run. The hub's
// database holds a month of a large network (built here through the
// hub's own storage code before it starts), and a later phase times the
// polls while another client fetches both boards as fast as it can; a last
// one times them while 512 slow clients from 64 addresses hold connections
// open, on the hub and on nginx alike. The network's page is fetched as fast
// as it can be, plain and gzip-packed, against nginx serving the same bytes
// from files, and polls are timed while one client reads it in a loop.
//
//   bench_hub_load [SECONDS_PER_PHASE] [CONCURRENCY] [BBSES]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "hub_db.h"
#include "hub_text.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string gDir;
SSL_CTX *gClient;

int Run(const std::string &command)
{
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string Hex(const unsigned char *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// One request on a fresh TCP and TLS connection: the HTTP status, or 0.
int Exchange(int port, const std::string &request, std::string *reply = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    int status = 0;
    if (connect(fd, (sockaddr *)&to, sizeof to) == 0) {
        SSL *ssl = SSL_new(gClient);
        SSL_set_fd(ssl, fd);
        SSL_set_tlsext_host_name(ssl, "localhost");
        SSL_set1_host(ssl, "localhost");
        if (SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), (int)request.size()) > 0) {
            std::string text;
            char buffer[4096];
            int n;
            while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0) text.append(buffer, (size_t)n);
            if (text.compare(0, 9, "HTTP/1.1 ") == 0) status = atoi(text.c_str() + 9);
            if (reply) *reply = text;
        }
        SSL_free(ssl);
    }
    close(fd);
    return status;
}

std::string PostRequest(const std::string &path, const std::string &body,
                        const std::string &signature)
{
    std::string head = "POST " + path + " HTTP/1.1\r\nHost: localhost\r\n"
                       "Content-Type: application/json\r\nConnection: close\r\n";
    if (!signature.empty()) head += "X-Q-Orb-Signature: " + signature + "\r\n";
    return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string gBbs = "Load Bench", gSecret;

// A poll as a fresh caller sends it: new session, seq 1, the time now.
std::string SignedPoll()
{
    unsigned char session[16], caller[32];
    RAND_bytes(session, sizeof session);
    RAND_bytes(caller, sizeof caller);
    std::string body = "{\"bbs\":\"" + gBbs + "\",\"game\":\"grimby\",\"session\":\"" +
                       Hex(session, 16) + "\",\"op\":\"poll\",\"seq\":1,\"timestamp\":" +
                       std::to_string((long long)time(nullptr)) +
                       ",\"player\":\"Load\",\"caller\":\"" + Hex(caller, 32) +
                       "\",\"location\":\"playing\",\"cursor\":0}";
    unsigned char mac[32];
    unsigned int length = 0;
    HMAC(EVP_sha256(), gSecret.data(), (int)gSecret.size(), (const unsigned char *)body.data(),
         body.size(), mac, &length);
    return PostRequest("/v1/chat", body, Hex(mac, 32));
}

struct Result {
    double rate = 0;
    long ok = 0, failed = 0;
    double p50 = 0, p99 = 0, max = 0;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Percentiles(std::vector<double> &ms, Result *r)
{
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    r->p50 = ms[ms.size() / 2];
    r->p99 = ms[std::min(ms.size() - 1, (size_t)((double)ms.size() * 0.99))];
    r->max = ms.back();
}

// As many requests (signed polls unless told) as `threads` callers can
// make back to back.
Result Saturate(int port, int threads, double seconds,
                const std::function<std::string()> &make = SignedPoll)
{
    std::atomic<long> ok{0}, failed{0};
    Clock::time_point start = Clock::now();
    Clock::time_point end = start + std::chrono::milliseconds((long)(seconds * 1000));
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; i++)
        workers.emplace_back([&] {
            while (Clock::now() < end) {
                if (Exchange(port, make()) == 200) ok++;
                else failed++;
            }
        });
    for (auto &w : workers) w.join();
    Result r;
    r.ok = ok;
    r.failed = failed;
    r.rate = (double)ok / Ms(Clock::now() - start) * 1000.0;
    return r;
}

// The hub and nginx in four alternating short rounds, so that whatever
// else the machine runs weighs on both alike.
void SaturateBoth(int hub_port, const std::function<std::string()> &hub_request, int nginx_port,
                  const std::function<std::string()> &nginx_request, int threads, double seconds,
                  Result *hub, Result *nginx)
{
    for (int round = 0; round < 4; round++) {
        Result h = Saturate(hub_port, threads, seconds / 4, hub_request);
        Result g = Saturate(nginx_port, threads, seconds / 4, nginx_request);
        hub->ok += h.ok;
        hub->failed += h.failed;
        hub->rate += h.rate / 4;
        nginx->ok += g.ok;
        nginx->failed += g.failed;
        nginx->rate += g.rate / 4;
    }
}

// Polls at a fixed rate, each timed from the moment it was due, so a slow
// reply delays no later measurement.
Result Paced(int port, double rate, double seconds)
{
    std::atomic<long> next{0}, ok{0}, failed{0};
    std::mutex lock;
    std::vector<double> latencies;
    long total = (long)(rate * seconds);
    Clock::time_point start = Clock::now() + std::chrono::milliseconds(50);
    std::vector<std::thread> workers;
    for (int i = 0; i < 64; i++)
        workers.emplace_back([&] {
            for (long k; (k = next++) < total;) {
                Clock::time_point due =
                    start + std::chrono::microseconds((long)((double)k * 1e6 / rate));
                std::string request = SignedPoll();
                std::this_thread::sleep_until(due);
                int status = Exchange(port, request);
                double ms = Ms(Clock::now() - due);
                if (status == 200) ok++;
                else failed++;
                std::lock_guard<std::mutex> hold(lock);
                latencies.push_back(ms);
            }
        });
    for (auto &w : workers) w.join();
    Result r;
    r.ok = ok;
    r.failed = failed;
    r.rate = rate;
    Percentiles(latencies, &r);
    return r;
}

// The slow-client attack: 512 connections from 64 loopback addresses
// (127.0.1.1 to 127.0.1.64, 8 each), each sending the first bytes of a TLS
// record and nothing more. A connection the server closes is opened again
// at once, as an attacker would, so the attack holds for the whole phase.
class Stall {
public:
    explicit Stall(int port) : port_(port)
    {
        for (int i = 0; i < 512; i++) fds_.push_back(Open(i));
        keeper_ = std::thread([this] { Keep(); });
    }
    ~Stall()
    {
        stop_ = true;
        keeper_.join();
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    long reopened() const { return reopened_; }
    int held() const
    {
        int n = 0;
        for (int fd : fds_) n += fd >= 0;
        return n;
    }

private:
    int Open(int i)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7F000100u + (uint32_t)(i % 64) + 1);  // 127.0.1.x
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons((uint16_t)port_);
        if (bind(fd, (sockaddr *)&from, sizeof from) != 0 ||
            connect(fd, (sockaddr *)&to, sizeof to) != 0 || write(fd, "\x16\x03\x01", 3) != 3) {
            close(fd);
            return -1;
        }
        return fd;
    }
    void Keep()
    {
        while (!stop_) {
            std::vector<pollfd> watch;
            for (int fd : fds_) watch.push_back({fd, POLLIN, 0});
            if (poll(watch.data(), watch.size(), 50) <= 0) continue;
            for (size_t i = 0; i < watch.size(); i++)
                if (watch[i].revents || fds_[i] < 0) {
                    if (fds_[i] >= 0) close(fds_[i]);
                    fds_[i] = Open((int)i);
                    reopened_++;
                }
        }
    }

    int port_;
    std::vector<int> fds_;
    std::thread keeper_;
    std::atomic<bool> stop_{false};
    std::atomic<long> reopened_{0};
};

int FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    socklen_t length = sizeof addr;
    bind(fd, (sockaddr *)&addr, sizeof addr);
    getsockname(fd, (sockaddr *)&addr, &length);
    close(fd);
    return ntohs(addr.sin_port);
}

pid_t Spawn(const std::vector<std::string> &args, const std::string &log)
{
    pid_t pid = fork();
    if (pid == 0) {
        FILE *out = fopen(log.c_str(), "w");
        if (out) dup2(fileno(out), 2);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool WaitFor(int port)
{
    for (int i = 0; i < 500; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons((uint16_t)port);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        bool up = connect(fd, (sockaddr *)&to, sizeof to) == 0;
        close(fd);
        if (up) return true;
        usleep(20 * 1000);
    }
    return false;
}

void Stop(pid_t pid)
{
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// A month of a network: every BBS's story results for every day of the
// current month (20 a day) and today's daily results (20), stored the way
// uploads store them, one transaction per BBS. Returns the lines stored.
long BuildMonth(const std::string &path, int bbses)
{
    std::string error;
    HubDb *db = hub_db_open(path.c_str(), 900, &error);
    if (!db) {
        fprintf(stderr, "cannot open %s: %s\n", path.c_str(), error.c_str());
        return -1;
    }
    char today[9];
    int64_t now = (int64_t)time(nullptr);
    hub_utc_date(now, today);
    long stored = 0;
    uint32_t draw = 12345;
    for (int b = 0; b < bbses; b++) {
        HubEnroll e;
        e.name = "Month BBS " + std::to_string(b);
        e.key = hub_name_key(e.name);
        e.secret = "secret-" + std::to_string(b);
        e.domain = "bbs" + std::to_string(b) + ".example.net:23";
        e.now = now;
        std::string secret;
        if (hub_db_enroll(db, e, &secret) < 0) break;
        HubSigned s;
        s.key = e.key;
        s.name = e.name;
        s.session = "month-build-session";
        s.seq = 1;
        s.now = now;
        std::vector<std::string> lines;
        for (int day = 1; day <= 31; day++)
            for (int k = 0; k < 21; k++) {
                draw = draw * 1664525u + 1013904223u;
                char date[9];
                snprintf(date, sizeof date, "%.6s%02d", today, day);
                bool daily = k == 20;
                if (daily && strcmp(date, today) != 0) continue;
                char line[160];
                snprintf(line, sizeof line, "grimby\t%s\tPlayer %u\t%u\t%s\t%d-%d-profile-%016x.tsv",
                         daily ? today : date, (draw >> 8) % 50, (draw >> 12) % 20000,
                         daily ? "daily" : "story", day, k, b);
                lines.push_back(line);
                if (daily)  // the day's daily results: 20 per BBS
                    for (int j = 1; j < 20; j++) {
                        snprintf(line, sizeof line,
                                 "grimby\t%s\tPlayer %d\t%d\tdaily\t%d-%d-profile-%016x.tsv",
                                 today, j, (int)((draw >> (j % 16)) % 3000), day, 100 + j, b);
                        lines.push_back(line);
                    }
            }
        std::vector<int> results;
        HubUploadRules rules;
        if (hub_db_upload(db, s, lines, "99991231", rules, &results) != 200) break;
        stored += (long)lines.size();
    }
    hub_db_close(db);
    return stored;
}

std::string GetRequest(const std::string &path, const std::string &headers = "")
{
    return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + headers +
           "\r\n";
}

// Fetches the paths in turn on fresh connections until stop; a reply that
// is not a 200 holding `expect` counts as failed.
void FetchLoop(int port, const std::vector<std::string> &paths, const std::string &expect,
               std::atomic<bool> *stop, std::vector<double> *ms, long *failed)
{
    for (size_t k = 0; !*stop; k++) {
        Clock::time_point start = Clock::now();
        std::string reply;
        int status = Exchange(port, GetRequest(paths[k % paths.size()]), &reply);
        ms->push_back(Ms(Clock::now() - start));
        if (status != 200 || reply.find(expect) == std::string::npos) (*failed)++;
    }
}

// Polls at the given rate while one client fetches the boards in turn on
// fresh connections as fast as it can.
void BoardsBeside(int port, const std::vector<std::string> &paths, double rate, double seconds,
                  Result *polls, Result *boards)
{
    std::atomic<bool> stop{false};
    std::vector<double> ms;
    long failed = 0;
    std::thread fetcher([&] { FetchLoop(port, paths, "\tMonth BBS ", &stop, &ms, &failed); });
    *polls = Paced(port, rate, seconds);
    stop = true;
    fetcher.join();
    boards->ok = (long)ms.size() - failed;
    boards->failed = failed;
    boards->rate = (double)ms.size() / seconds;
    Percentiles(ms, boards);
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 5.0;
    int concurrency = argc > 2 ? atoi(argv[2]) : 16;
    int bbses = argc > 3 ? atoi(argv[3]) : 1000;
    signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/grimby-hub-load-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    gDir = pattern;
    std::string d = "'" + gDir + "'";
    WriteFile(gDir + "/leaf.ext", "subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
                                  "extendedKeyUsage=serverAuth\n");
    if (Run("(cd " + d +
            " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2"
            " -subj '/CN=Load CA' && openssl req -new -newkey rsa:2048 -nodes -keyout key.pem"
            " -out leaf.csr -subj /CN=localhost && openssl x509 -req -in leaf.csr -CA ca.pem"
            " -CAkey ca.key -CAcreateserial -out cert.pem -days 2 -extfile leaf.ext)"
            " >/dev/null 2>&1") != 0) {
        fprintf(stderr, "openssl could not make the certificates\n");
        return 1;
    }
    // The client as WinHTTP is set up: TLS 1.2 only, the server verified,
    // no session reuse.
    gClient = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(gClient, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(gClient, TLS1_2_VERSION);
    SSL_CTX_load_verify_locations(gClient, (gDir + "/ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(gClient, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(gClient, SSL_SESS_CACHE_OFF);

    std::string hub_binary = BenchBuildDir() + "/hub/grimby-hub";

    Run("mkdir -p " + d + "/releases " + d + "/tmp " + d + "/www/v1/scores");
    Clock::time_point built = Clock::now();
    long lines = BuildMonth(gDir + "/hub.db", bbses);
    if (lines < 0) return 1;
    printf("The database holds a month of %d BBSes: %ld score lines (%d story results a day "
           "each for 31 days, 20 daily results today), built in %.1f s\n",
           bbses, lines, 20, Ms(Clock::now() - built) / 1000);
    {
        // The boards' own cost, apart from TLS: the first render of each, then
        // a read of the cached one (what every later fetch costs until a change).
        std::string error;
        HubDb *db = hub_db_open((gDir + "/hub.db").c_str(), 900, &error);
        char today[9], month[7];
        hub_utc_date((int64_t)time(nullptr), today);
        snprintf(month, sizeof month, "%.6s", today);
        HubBoard board;
        Clock::time_point t0 = Clock::now();
        bool ok = db && hub_db_board(db, 0, month, 20, 5, &board);
        Clock::time_point t1 = Clock::now();
        ok = ok && hub_db_board(db, 1, today, 20, 5, &board);
        Clock::time_point t2 = Clock::now();
        for (int i = 0; ok && i < 10000; i++) ok = hub_db_board(db, i % 2, i % 2 ? today : month,
                                                             20, 5, &board);
        Clock::time_point t3 = Clock::now();
        std::vector<HubBbsInfo> members;
        ok = ok && hub_db_list_bbs(db, &members);
        Clock::time_point t4 = Clock::now();
        printf("Boards in process: story rendered in %.2f ms, daily in %.2f ms, then %.1f us a "
               "read while unchanged; the page's member list read in %.2f ms%s\n",
               Ms(t1 - t0), Ms(t2 - t1), Ms(t3 - t2) * 1000 / 10000, Ms(t4 - t3),
               ok ? "" : " (FAILED)");
        hub_db_close(db);
    }
    WriteFile(gDir + "/hub.json",
              "{\"listen\":\"127.0.0.1\",\"port\":0,\"certificate\":\"cert.pem\",\"key\":\"key.pem\","
              "\"database\":\"hub.db\",\"release_dir\":\"releases\",\"port_file\":\"port\","
              "\"max_queued\":4096,\"max_connections_per_address\":100000}\n");
    pid_t hub = Spawn({hub_binary, "--config", gDir + "/hub.json"}, gDir + "/hub.log");
    int hub_port = 0;
    for (int i = 0; i < 500 && !hub_port; i++, usleep(20 * 1000)) {
        std::string text = ReadFile(gDir + "/port");
        if (!text.empty() && text.back() == '\n') hub_port = atoi(text.c_str());
    }
    int nginx_port = FreePort();
    std::string user = geteuid() == 0 ? "user root;\n" : "";
    WriteFile(gDir + "/nginx.conf",
              user + "worker_processes 2;\ndaemon off;\npid " + gDir + "/nginx.pid;\nerror_log " +
                  gDir + "/nginx-error.log;\nevents { worker_connections 4096; }\nhttp {\n"
                  " access_log off;\n client_body_temp_path " + gDir + "/tmp;\n proxy_temp_path " +
                  gDir + "/tmp;\n fastcgi_temp_path " + gDir + "/tmp;\n uwsgi_temp_path " + gDir +
                  "/tmp;\n scgi_temp_path " + gDir + "/tmp;\n server {\n  listen 127.0.0.1:" +
                  std::to_string(nginx_port) + " ssl;\n  ssl_certificate " + gDir +
                  "/cert.pem;\n  ssl_certificate_key " + gDir + "/key.pem;\n"
                  "  ssl_protocols TLSv1.2 TLSv1.3;\n  location = /page.html { root " + gDir +
                  "/www; gzip_static on; }\n  location /v1/scores/ { root " + gDir +
                  "/www; }\n  location / { default_type application/json;"
                  " return 200 '{\"players\":1,\"bbses\":1,\"chatting\":0,\"cursor\":0,"
                  "\"lines\":[]}'; }\n }\n}\n");
    pid_t nginx = Spawn({"/usr/sbin/nginx", "-p", gDir, "-c", gDir + "/nginx.conf"},
                        gDir + "/nginx.log");
    if (!hub_port || !WaitFor(hub_port) || !WaitFor(nginx_port)) {
        fprintf(stderr, "the hub or nginx did not start (see %s)\n", gDir.c_str());
        Stop(hub);
        Stop(nginx);
        return 1;
    }
    std::string reply;
    Exchange(hub_port,
             PostRequest("/v1/enroll/auto", "{\"bbs\":\"" + gBbs + "\",\"game\":\"grimby\"}", ""),
             &reply);
    size_t at = reply.find("\"secret\":\"");
    if (at == std::string::npos) {
        fprintf(stderr, "enrollment failed\n");
        Stop(hub);
        Stop(nginx);
        return 1;
    }
    gSecret = reply.substr(at + 10, reply.find('"', at + 10) - at - 10);
    if (Exchange(hub_port, SignedPoll()) != 200 || Exchange(nginx_port, SignedPoll()) != 200) {
        fprintf(stderr, "a first poll failed\n");
        Stop(hub);
        Stop(nginx);
        return 1;
    }

    printf("Signed polls, each on a fresh TLS 1.2 connection (RSA-2048 certificate), %d callers "
           "back to back, %.0f s each in four alternating rounds; %u cores\n",
           concurrency, seconds, std::thread::hardware_concurrency());
    Saturate(hub_port, concurrency, 1.0);  // warm both up
    Saturate(nginx_port, concurrency, 1.0);
    Result hub_max, nginx_max;
    SaturateBoth(hub_port, SignedPoll, nginx_port, SignedPoll, concurrency, seconds, &hub_max,
                 &nginx_max);
    printf("  grimby-hub  %8.0f polls/s  (%ld ok, %ld failed)\n", hub_max.rate, hub_max.ok,
           hub_max.failed);
    printf("  nginx       %8.0f polls/s  (%ld ok, %ld failed)  return 200, 2 workers\n",
           nginx_max.rate, nginx_max.ok, nginx_max.failed);
    double ratio = nginx_max.rate > 0 ? hub_max.rate / nginx_max.rate : 0;
    printf("  ratio hub/nginx %.2f   target >= 0.80   %s\n", ratio, ratio >= 0.8 ? "met" : "MISSED");

    Result hub_half = Paced(hub_port, hub_max.rate / 2, seconds);
    Result nginx_half = Paced(nginx_port, nginx_max.rate / 2, seconds);
    printf("At half the top rate, timed from when each poll was due:\n");
    printf("  grimby-hub  %6.0f/s  p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%ld failed)   "
           "target p99 <= 20 ms   %s\n",
           hub_half.rate, hub_half.p50, hub_half.p99, hub_half.max, hub_half.failed,
           hub_half.p99 <= 20 ? "met" : "MISSED");
    printf("  nginx       %6.0f/s  p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%ld failed)\n",
           nginx_half.rate, nginx_half.p50, nginx_half.p99, nginx_half.max, nginx_half.failed);
    printf("Callers served at one poll per 10 s: %.0f at the top rate, %.0f at half of it\n",
           hub_max.rate * 10, hub_max.rate * 5);

    // Boards fetched as fast as one client can while polls run at half
    // the top rate: no poll may wait behind a board. nginx serving the same
    // board bytes from files under the same polls shows what this machine
    // allows a fresh-TLS fetch.
    const std::vector<std::string> board_paths = {"/v1/scores/story.tsv", "/v1/scores/daily.tsv"};
    for (const std::string &path : board_paths) {
        std::string board;
        Exchange(hub_port, GetRequest(path), &board);
        size_t body = board.find("\r\n\r\n");
        WriteFile(gDir + "/www" + path, body == std::string::npos ? "" : board.substr(body + 4));
    }
    Result busy, boards, nginx_busy, nginx_boards;
    BoardsBeside(hub_port, board_paths, hub_max.rate / 2, seconds, &busy, &boards);
    BoardsBeside(nginx_port, board_paths, hub_max.rate / 2, seconds, &nginx_busy, &nginx_boards);
    printf("At half the top rate while one client fetches both boards back to back:\n");
    printf("  polls       %6.0f/s  p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%ld failed)   "
           "target p99 <= 20 ms   %s\n",
           busy.rate, busy.p50, busy.p99, busy.max, busy.failed, busy.p99 <= 20 ? "met" : "MISSED");
    printf("  boards      %6.0f/s  p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%ld failed)   "
           "target p99 <= 5 ms   %s\n",
           boards.rate, boards.p50, boards.p99, boards.max, boards.failed,
           boards.p99 <= 5 ? "met" : "MISSED");
    printf("  nginx, the same board files under the same polls: boards p99 %.1f ms (%ld failed), "
           "polls p99 %.1f ms\n", nginx_boards.p99, nginx_boards.failed, nginx_busy.p99);

    // The network's page: the hub renders it once per change of its data,
    // so a fetch should cost what nginx serving the same bytes from a file
    // costs. Then polls at half the top rate while one client fetches it
    // back to back.
    // Both as a text browser asks for it (plain) and as every other
    // browser does (gzip, which the hub packs once per render and nginx
    // serves from a packed copy of the same bytes).
    std::string page, packed;
    if (Exchange(hub_port, GetRequest("/"), &page) != 200 ||
        Exchange(hub_port, GetRequest("/", "Accept-Encoding: gzip\r\n"), &packed) != 200 ||
        page.find("\r\n\r\n") == std::string::npos ||
        packed.find("Content-Encoding: gzip") == std::string::npos) {
        fprintf(stderr, "the hub's page could not be fetched\n");
    } else {
        page = page.substr(page.find("\r\n\r\n") + 4);
        packed = packed.substr(packed.find("\r\n\r\n") + 4);
        WriteFile(gDir + "/www/page.html", page);
        WriteFile(gDir + "/www/page.html.gz", packed);
        printf("The network's page (%zu bytes of HTML, %zu packed), each fetch on a fresh TLS 1.2 "
               "connection, %d callers back to back:\n", page.size(), packed.size(), concurrency);
        for (const char *accept : {"", "Accept-Encoding: gzip\r\n"}) {
            Result hub_page, nginx_page;
            SaturateBoth(hub_port, [accept] { return GetRequest("/", accept); }, nginx_port,
                         [accept] { return GetRequest("/page.html", accept); }, concurrency,
                         seconds, &hub_page, &nginx_page);
            double page_ratio = nginx_page.rate > 0 ? hub_page.rate / nginx_page.rate : 0;
            printf("  %s grimby-hub %6.0f pages/s (%ld failed), nginx %6.0f pages/s (%ld failed), "
                   "ratio %.2f   target >= 0.80   %s\n",
                   *accept ? "packed:" : "plain: ", hub_page.rate, hub_page.failed,
                   nginx_page.rate, nginx_page.failed, page_ratio,
                   page_ratio >= 0.8 ? "met" : "MISSED");
        }

        std::atomic<bool> stop_page{false};
        std::vector<double> page_ms;
        long page_failed = 0;
        std::thread reader([&] {
            FetchLoop(hub_port, {"/"}, "Month BBS ", &stop_page, &page_ms, &page_failed);
        });
        Result beside = Paced(hub_port, hub_max.rate / 2, seconds);
        stop_page = true;
        reader.join();
        Result pages;
        Percentiles(page_ms, &pages);
        printf("At half the top rate while one client fetches the page back to back:\n");
        printf("  polls       %6.0f/s  p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%ld failed)   "
               "alone p99 %.1f ms\n",
               beside.rate, beside.p50, beside.p99, beside.max, beside.failed, hub_half.p99);
        printf("  page        %6.0f/s  p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%ld failed)\n",
               (double)page_ms.size() / seconds, pages.p50, pages.p99, pages.max, page_failed);
    }

    // Each server under the same attack in turn, polled at half the hub's top rate.
    Result hub_attacked, nginx_attacked;
    long hub_reopened, nginx_reopened;
    int hub_held, nginx_held;
    {
        Stall attack(hub_port);
        usleep(200 * 1000);
        hub_held = attack.held();
        hub_attacked = Paced(hub_port, hub_max.rate / 2, seconds);
        hub_reopened = attack.reopened();
    }
    {
        Stall attack(nginx_port);
        usleep(200 * 1000);
        nginx_held = attack.held();
        nginx_attacked = Paced(nginx_port, hub_max.rate / 2, seconds);
        nginx_reopened = attack.reopened();
    }
    printf("Under a slow-client attack (512 connections from 64 addresses sending 3 bytes and "
           "stalling), polls at %.0f/s:\n", hub_max.rate / 2);
    bool met = hub_attacked.p99 <= 50 && hub_attacked.p99 <= 2 * nginx_attacked.p99;
    printf("  grimby-hub  p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%ld failed; %d held, %ld "
           "reopened)   target p99 <= 50 ms and <= 2x nginx   %s\n",
           hub_attacked.p50, hub_attacked.p99, hub_attacked.max, hub_attacked.failed, hub_held,
           hub_reopened, met ? "met" : "MISSED");
    printf("  nginx       p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%ld failed; %d held, %ld "
           "reopened)\n",
           nginx_attacked.p50, nginx_attacked.p99, nginx_attacked.max, nginx_attacked.failed,
           nginx_held, nginx_reopened);

    Stop(nginx);
    Stop(hub);
    Run("grep -E 'slow|deadline|too many|queue full|failed' " + d + "/hub.log | head -20");
    Run("rm -rf " + d);
    SSL_CTX_free(gClient);
    return 0;
}
