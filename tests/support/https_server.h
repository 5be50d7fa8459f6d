// https_server.h -- a small HTTPS server on 127.0.0.1 for the cases the real
// hub never produces (redirects, oversized or hostile replies, stalls, old
// TLS versions), with a test CA and a localhost certificate made at test
// time by the openssl tool. Linux only.
#ifndef TEST_HTTPS_SERVER_H
#define TEST_HTTPS_SERVER_H

#include <functional>
#include <map>
#include <memory>
#include <stddef.h>
#include <string>

// A CA, a server certificate for "localhost" signed by it, and a second CA
// that signed nothing here (a client trusting only it refuses the server).
struct TestTlsFiles {
    std::string ca, cert, key, other_ca;
};
bool TestMakeTlsFiles(const std::string &dir, TestTlsFiles *files);

struct TestHttpsRequest {
    std::string path, body;
    std::multimap<std::string, std::string> headers; // names in lower case
};

struct TestHttpsReply {
    int status = 200;
    std::string body;
    std::string location;  // a Location header when set
    int stall_ms = 0;      // wait this long (or until Stop) before answering
    // When set, the body is this many bytes sent 4 KiB at a time, one piece
    // every trickle_ms (until Stop), in place of body.
    size_t trickle_size = 0;
    int trickle_ms = 0;
    bool cut = false;      // the status line and headers, then the connection closes
};

using TestHttpsHandler = std::function<TestHttpsReply(const TestHttpsRequest &)>;

class TestHttpsServer {
public:
    TestHttpsServer();
    ~TestHttpsServer();
    TestHttpsServer(const TestHttpsServer &) = delete;
    TestHttpsServer &operator=(const TestHttpsServer &) = delete;

    // max_tls: 0 for the library's default, or 0x0302 for a server that
    // speaks nothing newer than TLS 1.1.
    bool Start(const TestTlsFiles &files, TestHttpsHandler handler, int max_tls = 0);
    int port() const;
    int requests() const; // answered or stalled so far
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif
