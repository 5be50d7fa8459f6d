// session_win32.cpp -- the test caller's socket on Windows (loopback TCP).
#include "session.h"

#include <winsock2.h>
#include <ws2tcpip.h>

TestCaller::~TestCaller() { Close(); }

static void TestWinsockStart()
{
    static bool started = false;
    if (started) return;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    started = true;
}

void TestCaller::Close()
{
    if (sock >= 0) closesocket((SOCKET)sock);
    sock = -1;
}

bool TestCaller::Send(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        int n = send((SOCKET)sock, bytes.data() + done, (int)(bytes.size() - done), 0);
        if (n <= 0) return false;
        done += (size_t)n;
    }
    return true;
}

static int TestReadable(SOCKET s, int timeout_ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval t = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &t);
}

std::string TestCaller::Receive(size_t count, int timeout_ms)
{
    std::string out;
    uint64_t end = TestNowMs() + (uint64_t)timeout_ms;
    while (out.size() < count) {
        uint64_t now = TestNowMs();
        if (now >= end) break;
        if (TestReadable((SOCKET)sock, (int)(end - now)) <= 0) continue;
        char buffer[65536];
        size_t want = count - out.size() < sizeof buffer ? count - out.size() : sizeof buffer;
        int n = recv((SOCKET)sock, buffer, (int)want, 0);
        if (n <= 0) break;
        out.append(buffer, (size_t)n);
    }
    return out;
}

std::string TestCaller::ReceiveUntilQuiet(int quiet_ms)
{
    std::string out;
    for (;;) {
        if (TestReadable((SOCKET)sock, quiet_ms) <= 0) break;
        char buffer[65536];
        int n = recv((SOCKET)sock, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        out.append(buffer, (size_t)n);
    }
    return out;
}

void TestCaller::SetReceiveBuffer(int bytes)
{
    setsockopt((SOCKET)sock, SOL_SOCKET, SO_RCVBUF, (const char *)&bytes, sizeof bytes);
}

bool TestMakeLink(TestLinkKind, int64_t *door, TestCaller *caller)
{
    TestWinsockStart();
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener == INVALID_SOCKET) return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener, (sockaddr *)&address, sizeof address) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (sockaddr *)&address, &length) != 0) {
        closesocket(listener);
        return false;
    }
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    if (client == INVALID_SOCKET || connect(client, (sockaddr *)&address, sizeof address) != 0) {
        closesocket(listener);
        if (client != INVALID_SOCKET) closesocket(client);
        return false;
    }
    SOCKET accepted = accept(listener, nullptr, nullptr);
    closesocket(listener);
    if (accepted == INVALID_SOCKET) {
        closesocket(client);
        return false;
    }
    *door = (int64_t)accepted;
    caller->sock = (int64_t)client;
    return true;
}
