// hub_process.cpp -- the real grimby-hub as a child process, and the one
// HTTPS client the hub tests use.
#include "hub_process.h"

#include "testdir.h"

#include <fcntl.h>
#include <httplib.h>
#include <openssl/hmac.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>


namespace {

// A CA and a localhost certificate it signed, RSA so that every TLS stack
// the clients use (Wine's included) takes them.
bool MakeCertificates(const std::string &dir)
{
    std::string d = "'" + dir + "'";
    TestWriteFile(dir + "/leaf.ext",
              "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
              "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n");
    std::string cmd =
        "cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem"
        " -days 3 -subj '/CN=GRIMBY Test CA' -addext basicConstraints=critical,CA:TRUE"
        " -addext keyUsage=critical,keyCertSign,cRLSign"
        " && openssl req -new -newkey rsa:2048 -nodes -keyout key.pem -out leaf.csr"
        " -subj /CN=localhost"
        " && openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
        " -out cert.pem -days 3 -extfile leaf.ext";
    return HubShell("(" + cmd + ") >/dev/null 2>&1") == 0;
}

uint64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

HubReply ToReply(const httplib::Result &result)
{
    HubReply reply;
    if (!result) return reply;
    reply.status = result->status;
    reply.body = result->body;
    reply.period = result->get_header_value("X-Grimby-Period");
    reply.retry_after = result->get_header_value("Retry-After");
    reply.date = result->get_header_value("Date");
    reply.etag = result->get_header_value("ETag");
    for (const auto &h : result->headers) reply.headers.emplace_back(h.first, h.second);
    size_t at = reply.body.find("\"code\":\"");
    if (at != std::string::npos) {
        at += 8;
        reply.code = reply.body.substr(at, reply.body.find('"', at) - at);
    }
    return reply;
}

}  // namespace

std::string HubReply::header(const char *name) const
{
    for (const auto &h : headers)
        if (strcasecmp(h.first.c_str(), name) == 0) return h.second;
    return "";
}

std::string HubBinary()
{
    const char *env = getenv("GRIMBY_HUB");
    if (env && *env) return env;
#ifdef GRIMBY_BINARY_DIR
    return std::string(GRIMBY_BINARY_DIR) + "/hub/grimby-hub";
#else
    return "grimby-hub";
#endif
}

int HubShell(const std::string &command)
{
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string HubSign(const std::string &secret, const std::string &body)
{
    unsigned char mac[32];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), (int)secret.size(), (const unsigned char *)body.data(),
         body.size(), mac, &length);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; i++) {
        out += hex[mac[i] >> 4];
        out += hex[mac[i] & 15];
    }
    return out;
}

HubProcess::HubProcess(const std::string &extra) : binary_(HubBinary())
{
    // A hub killed mid-request must fail the client's write, not end the test.
    signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/grimby-hub-test-XXXXXX";
    if (!mkdtemp(pattern)) return;
    dir_ = pattern;
    ca_file_ = dir_ + "/ca.pem";
    release_dir_ = dir_ + "/releases";
    HubShell("mkdir -p '" + release_dir_ + "/grimby' '" + release_dir_ + "/packages'");
    if (!MakeCertificates(dir_)) fprintf(stderr, "hub test: openssl could not make certificates\n");
    std::string config = "{\"listen\":\"127.0.0.1\",\"port\":0,\"certificate\":\"cert.pem\","
                         "\"key\":\"key.pem\",\"database\":\"hub.db\",\"release_dir\":\"releases\","
                         "\"port_file\":\"port\"";
    if (extra.find("\"threads\"") == std::string::npos) config += ",\"threads\":8";
    if (extra.find("enroll_per_hour") == std::string::npos) config += ",\"enroll_per_hour\":10000";
    if (!extra.empty()) config += "," + extra;
    TestWriteFile(config_file(), config + "}\n");
}

HubProcess::~HubProcess()
{
    Kill();
    if (!dir_.empty()) HubShell("rm -rf '" + dir_ + "'");
}

std::string HubProcess::url() const { return "https://localhost:" + std::to_string(port_); }

std::string HubProcess::log() const { return TestReadFile(dir_ + "/hub.log"); }

bool HubProcess::Start()
{
    if (pid_ > 0 || dir_.empty()) return false;
    std::string port_file = dir_ + "/port";
    unlink(port_file.c_str());
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int log = open((dir_ + "/hub.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(log, 2);
        for (int fd = 3; fd < 1024; fd++) close(fd);
        execl(binary_.c_str(), binary_.c_str(), "--config", config_file().c_str(), (char *)nullptr);
        _exit(127);
    }
    pid_ = pid;
    for (uint64_t end = NowMs() + 20000; NowMs() < end;) {
        std::string text = TestReadFile(port_file);
        if (!text.empty() && text.back() == '\n') {
            port_ = atoi(text.c_str());
            return port_ > 0;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        usleep(10 * 1000);
    }
    Kill();
    return false;
}

int HubProcess::Stop()
{
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    for (uint64_t end = NowMs() + 30000; NowMs() < end; usleep(10 * 1000))
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
    Kill();
    return -1000;
}

void HubProcess::Kill()
{
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

static httplib::SSLClient *NewClient(int port, const std::string &ca)
{
    auto *client = new httplib::SSLClient("localhost", port);
    client->set_ca_cert_path(ca.c_str());
    client->enable_server_certificate_verification(true);
    client->set_connection_timeout(10, 0);
    client->set_read_timeout(20, 0);
    client->set_write_timeout(10, 0);
    client->set_keep_alive(false);
    return client;
}

HubReply HubProcess::Post(const std::string &path, const std::string &body,
                          const std::string &signature) const
{
    std::unique_ptr<httplib::SSLClient> client(NewClient(port_, ca_file_));
    httplib::Headers headers;
    if (!signature.empty()) headers.emplace("X-Q-Orb-Signature", signature);
    return ToReply(client->Post(path.c_str(), headers, body, "application/json"));
}

HubReply HubProcess::Get(const std::string &path, const std::string &range,
                         const std::string &if_none_match,
                         const std::string &accept_encoding) const
{
    std::unique_ptr<httplib::SSLClient> client(NewClient(port_, ca_file_));
    httplib::Headers headers;
    if (!range.empty()) headers.emplace("Range", range);
    if (!if_none_match.empty()) headers.emplace("If-None-Match", if_none_match);
    if (!accept_encoding.empty()) headers.emplace("Accept-Encoding", accept_encoding);
    client->set_decompress(false);  // a packed reply is checked as sent
    return ToReply(client->Get(path.c_str(), headers));
}

HubReply HubProcess::Signed(const std::string &path, const std::string &body,
                            const std::string &secret) const
{
    return Post(path, body, HubSign(secret, body));
}

std::string HubProcess::Enroll(const std::string &bbs) const
{
    HubReply reply = Post("/v1/enroll/auto", "{\"bbs\":\"" + bbs + "\",\"game\":\"grimby\"}");
    size_t at = reply.body.find("\"secret\":\"");
    if (reply.status != 200 || at == std::string::npos) return "";
    at += 10;
    return reply.body.substr(at, reply.body.find('"', at) - at);
}
