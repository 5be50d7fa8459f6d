// telnet_client.cpp -- the scripted telnet caller of the end-to-end tests.
#include "telnet_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

enum { IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240 };
enum { OPT_ECHO = 1, OPT_SGA = 3, OPT_NAWS = 31 };

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool TelnetClient::Connect(int port)
{
    Close();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return false;
    }
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    fd_ = fd;
    closed_ = false;
    return true;
}

void TelnetClient::Close()
{
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void TelnetClient::SendRaw(const std::string &bytes)
{
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += (size_t)n;
    }
}

bool TelnetClient::Type(const std::string &keys)
{
    if (fd_ < 0) return false;
    std::string out;
    for (char c : keys) {
        out += c;
        if ((unsigned char)c == IAC) out += (char)IAC;
    }
    SendRaw(out);
    return true;
}

// Answers as a terminal program does: agree to the server echoing and to
// suppress-go-ahead both ways, report the window on DO NAWS, refuse the
// rest. Only a change of state is answered, so no negotiation loops.
void TelnetClient::Answer(unsigned char verb, unsigned char option)
{
    std::string reply;
    auto say = [&](unsigned char v, unsigned char o) {
        reply += (char)IAC;
        reply += (char)v;
        reply += (char)o;
    };
    switch (verb) {
    case WILL:
        if (option == OPT_ECHO && !remote_echo_) {
            remote_echo_ = true;
            say(DO, option);
        } else if (option == OPT_SGA && !remote_sga_) {
            remote_sga_ = true;
            say(DO, option);
        } else if (option != OPT_ECHO && option != OPT_SGA) {
            say(DONT, option);
        }
        break;
    case WONT:
        if (option == OPT_ECHO && remote_echo_) {
            remote_echo_ = false;
            say(DONT, option);
        }
        break;
    case DO:
        if (option == OPT_SGA && !local_sga_) {
            local_sga_ = true;
            say(WILL, option);
        } else if (option == OPT_NAWS && !naws_sent_) {
            naws_sent_ = true;
            say(WILL, option);
            static const unsigned char size[] = {IAC, SB, OPT_NAWS, 0, 80, 0, 25, IAC, SE};
            reply.append((const char *)size, sizeof size);
        } else if (option != OPT_SGA && option != OPT_NAWS) {
            say(WONT, option);
        }
        break;
    case DONT:
        break;
    }
    if (!reply.empty()) SendRaw(reply);
}

void TelnetClient::Feed(const unsigned char *data, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; i++) {
        unsigned char c = data[i];
        switch (state_) {
        case 0:
            if (c == IAC) state_ = 1;
            else text += (char)c;
            break;
        case 1:
            if (c == IAC) {
                text += (char)IAC;
                state_ = 0;
            } else if (c >= WILL) {
                verb_ = c;
                state_ = 2;
            } else if (c == SB) {
                state_ = 3;
            } else {
                state_ = 0; // NOP, GA and the like
            }
            break;
        case 2:
            Answer(verb_, c);
            state_ = 0;
            break;
        case 3:
            if (c == IAC) state_ = 4;
            break;
        case 4:
            if (c == SE) state_ = 0;
            else if (c == IAC) state_ = 3;
            else {
                telnet_errors_++;
                state_ = 3;
            }
            break;
        }
    }
    if (!text.empty()) {
        received_ += text;
        last_data_ms_ = NowMs();
        screen_.feed(text);
    }
}

bool TelnetClient::Pump(int timeout_ms)
{
    if (fd_ < 0 || closed_) return false;
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    unsigned char buffer[8192];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
        if (n < 0 && errno == EINTR) return false;
        closed_ = true;
        return false;
    }
    Feed(buffer, (size_t)n);
    return true;
}

bool TelnetClient::WaitFor(const std::string &text, int timeout_ms)
{
    return WaitForEither(text, text, timeout_ms) == 0;
}

int TelnetClient::WaitForEither(const std::string &a, const std::string &b, int timeout_ms)
{
    return WaitForAny({a, b}, timeout_ms);
}

int TelnetClient::WaitForAny(const std::vector<std::string> &texts, int timeout_ms)
{
    long long end = NowMs() + timeout_ms;
    int row, col;
    for (;;) {
        for (size_t i = 0; i < texts.size(); i++)
            if (screen_.find(texts[i], &row, &col)) return (int)i;
        long long left = end - NowMs();
        if (left <= 0 || closed_ || fd_ < 0) return -1;
        Pump((int)(left < 50 ? left : 50));
    }
}

bool TelnetClient::WaitQuiet(int quiet_ms, int timeout_ms)
{
    long long end = NowMs() + timeout_ms;
    while (NowMs() < end && !closed_ && fd_ >= 0) {
        if (NowMs() - last_data_ms_ >= quiet_ms) return true;
        Pump(20);
    }
    return false;
}

bool TelnetClient::WaitAnswer(int quiet_ms, int timeout_ms)
{
    long long end = NowMs() + timeout_ms;
    size_t start = screen_.bytes_fed();
    while (screen_.bytes_fed() == start && NowMs() < end && !closed_ && fd_ >= 0) Pump(20);
    if (screen_.bytes_fed() == start) return false;
    long long left = end - NowMs();
    return WaitQuiet(quiet_ms, left > 0 ? (int)left : 0);
}

bool TelnetClient::WaitClosed(int timeout_ms)
{
    long long end = NowMs() + timeout_ms;
    while (!closed_ && fd_ >= 0 && NowMs() < end) Pump(50);
    return closed_;
}

std::string TelnetClient::Dump() const
{
    std::string out;
    for (int row = 1; row <= AnsiScreen::kRows; row++) out += screen_.line(row) + "\n";
    return out;
}
