// session_posix.cpp -- the test caller's socket on Linux.
#include "session.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ODPlat.h"

TestCaller::~TestCaller() { Close(); }

void TestCaller::Close()
{
    if (sock >= 0) close((int)sock);
    sock = -1;
}

bool TestCaller::Send(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send((int)sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

std::string TestCaller::Receive(size_t count, int timeout_ms)
{
    std::string out;
    uint64_t end = TestNowMs() + (uint64_t)timeout_ms;
    while (out.size() < count) {
        uint64_t now = TestNowMs();
        if (now >= end) break;
        struct pollfd p = {(int)sock, POLLIN, 0};
        if (poll(&p, 1, (int)(end - now)) <= 0) continue;
        char buffer[65536];
        size_t want = count - out.size() < sizeof buffer ? count - out.size() : sizeof buffer;
        ssize_t n = recv((int)sock, buffer, want, 0);
        if (n <= 0) break;
        out.append(buffer, (size_t)n);
    }
    return out;
}

std::string TestCaller::ReceiveUntilQuiet(int quiet_ms)
{
    std::string out;
    for (;;) {
        struct pollfd p = {(int)sock, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) break;
        char buffer[65536];
        ssize_t n = recv((int)sock, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        out.append(buffer, (size_t)n);
    }
    return out;
}

void TestCaller::SetReceiveBuffer(int bytes)
{
    setsockopt((int)sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool TestMakeLink(TestLinkKind kind, int64_t *door, TestCaller *caller)
{
    if (kind == TEST_LINK_PAIR) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
        *door = fds[0];
        caller->sock = fds[1];
        return true;
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return false;
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr *)&address, &length) != 0) {
        close(listener);
        return false;
    }
    int client = socket(AF_INET, SOCK_STREAM, 0);
    if (client < 0 || connect(client, (struct sockaddr *)&address, sizeof address) != 0) {
        close(listener);
        if (client >= 0) close(client);
        return false;
    }
    int accepted = accept(listener, nullptr, nullptr);
    close(listener);
    if (accepted < 0) {
        close(client);
        return false;
    }
    *door = accepted;
    caller->sock = client;
    return true;
}
