// telnet_client.h -- a scripted caller for end-to-end tests: a TCP client
// that speaks telnet as a real terminal program does (answers the server's
// options, reports an 80 x 25 window, un-escapes and escapes IAC) and feeds
// what it receives into an AnsiScreen the test reads.
#ifndef TEST_TELNET_CLIENT_H
#define TEST_TELNET_CLIENT_H

#include <string>
#include <vector>

#include "ansiscreen.h"

class TelnetClient {
public:
    TelnetClient() = default;
    ~TelnetClient() { Close(); }
    TelnetClient(const TelnetClient &) = delete;
    TelnetClient &operator=(const TelnetClient &) = delete;

    // Connects to 127.0.0.1:port; false when nothing listens there.
    bool Connect(int port);
    // Hangs up (the carrier drops for the door).
    void Close();
    bool connected() const { return fd_ >= 0; }

    // Sends the keys; a 0xFF byte goes out doubled, as telnet requires.
    bool Type(const std::string &keys);

    // Reads for up to timeout_ms; true when any data arrived. A closed
    // connection reads as nothing and sets closed().
    bool Pump(int timeout_ms);
    // Waits until the text is on the screen (true) or the time is up.
    bool WaitFor(const std::string &text, int timeout_ms = 10000);
    // Waits for either text; returns 0 or 1 for the one seen, -1 on time-out.
    int WaitForEither(const std::string &a, const std::string &b, int timeout_ms = 10000);
    // Waits for any of the texts; the index of the first one seen, or -1.
    int WaitForAny(const std::vector<std::string> &texts, int timeout_ms = 10000);
    // Waits until nothing has arrived for quiet_ms: what the door was
    // drawing is on the screen.
    bool WaitQuiet(int quiet_ms = 150, int timeout_ms = 10000);
    // Waits until new output arrived and then none for quiet_ms: the door
    // has drawn its answer to the last key. False when nothing came.
    bool WaitAnswer(int quiet_ms = 150, int timeout_ms = 5000);
    // Waits until the server closes the connection.
    bool WaitClosed(int timeout_ms = 10000);
    bool closed() const { return closed_; }

    const AnsiScreen &screen() const { return screen_; }
    AnsiScreen &screen() { return screen_; }
    // The whole screen as text, one line per row, for failure messages.
    std::string Dump() const;
    // Every data byte received (telnet commands removed).
    const std::string &received() const { return received_; }
    // Options the server asked for and what this client agreed to.
    bool server_will_echo() const { return remote_echo_; }
    bool naws_sent() const { return naws_sent_; }
    // A telnet command the server sent that the client could not parse.
    int telnet_errors() const { return telnet_errors_; }

private:
    void Feed(const unsigned char *data, size_t size);
    void Answer(unsigned char verb, unsigned char option);
    void SendRaw(const std::string &bytes);

    int fd_ = -1;
    bool closed_ = false;
    AnsiScreen screen_;
    std::string received_;
    int state_ = 0; // 0 data, 1 IAC, 2 verb, 3 SB, 4 SB IAC
    unsigned char verb_ = 0;
    bool remote_echo_ = false, remote_sga_ = false, local_sga_ = false, naws_sent_ = false;
    int telnet_errors_ = 0;
    long long last_data_ms_ = 0;
};

#endif
