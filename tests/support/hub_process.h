// hub_process.h -- the real grimby-hub for tests: started on 127.0.0.1 on
// a port of its own choosing, with a fresh test CA and a certificate for
// localhost made at test time, its own database and release directory.
// Clients connect to https://localhost:port() and trust ca_file().
#ifndef TEST_HUB_PROCESS_H
#define TEST_HUB_PROCESS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct HubReply {
    int status = 0;            // 0: no reply (connection failed or cut)
    std::string body;
    std::string period;        // the X-Grimby-Period header, if any
    std::string retry_after;   // the Retry-After header, if any
    std::string date, etag;    // the Date and ETag headers, if any
    std::string code;          // an error reply's "code"
    std::vector<std::pair<std::string, std::string>> headers;  // every header, as sent
    std::string header(const char *name) const;  // a header's value (case-blind), or ""
};

class HubProcess {
public:
    // extra: further members of hub.json, e.g. "\"presence\":1". The
    // enrollment limit is raised for tests unless extra sets it.
    explicit HubProcess(const std::string &extra = "");
    ~HubProcess();  // kills a running hub, removes the directory
    HubProcess(const HubProcess &) = delete;
    HubProcess &operator=(const HubProcess &) = delete;

    bool Start();   // again after Stop/Kill: same database, new port
    int Stop();     // SIGTERM; the exit code (-signal, or -1000 when it hung)
    void Kill();    // SIGKILL, waited for

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &dir() const { return dir_; }
    const std::string &ca_file() const { return ca_file_; }
    const std::string &release_dir() const { return release_dir_; }
    std::string config_file() const { return dir_ + "/hub.json"; }
    std::string url() const;   // https://localhost:PORT
    std::string log() const;   // everything the hub wrote to standard error

    // Requests on a fresh TLS connection each, like the Windows clients.
    HubReply Post(const std::string &path, const std::string &body,
                  const std::string &signature = "") const;
    HubReply Get(const std::string &path, const std::string &range = "",
                 const std::string &if_none_match = "",
                 const std::string &accept_encoding = "") const;
    HubReply Signed(const std::string &path, const std::string &body,
                    const std::string &secret) const;
    // Enrolls a BBS: its secret, or "" when the hub refused.
    std::string Enroll(const std::string &bbs) const;

private:
    std::string dir_, ca_file_, release_dir_, binary_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// 64 lowercase hex digits of HMAC-SHA-256(secret, body).
std::string HubSign(const std::string &secret, const std::string &body);

// The grimby-hub binary of this build (GRIMBY_HUB overrides).
std::string HubBinary();

// Runs a command through the shell; its exit code.
int HubShell(const std::string &command);

#endif
