// session.h -- a door-kit session in this process over a real connection,
// with the test playing the caller on the other end.
//
//     TestCaller caller;
//     ASSERT_TRUE(TestStartSocketSession(&caller, /*telnet=*/true));
//     caller.Send("\x1b[A");
//     ... od_get_input(...) ...
//     std::string screen = caller.Receive(10, 1000);
//
// The door's end is a connected socket handed over as a BBS hands it
// (od_control.open_handle with handle_is_socket); the session is started
// with od_init. On Linux the link is a socketpair or a loopback TCP
// connection, on Windows always loopback TCP.
#ifndef TEST_SESSION_H
#define TEST_SESSION_H

#include <stddef.h>
#include <stdint.h>
#include <string>

enum TestLinkKind { TEST_LINK_PAIR, TEST_LINK_TCP };

class TestCaller {
public:
    TestCaller() = default;
    ~TestCaller();
    TestCaller(const TestCaller &) = delete;
    TestCaller &operator=(const TestCaller &) = delete;

    bool Send(const std::string &bytes);
    // Reads until count bytes have come or timeout_ms passes.
    std::string Receive(size_t count, int timeout_ms);
    // Reads until nothing more comes for quiet_ms.
    std::string ReceiveUntilQuiet(int quiet_ms);
    // Shrinks the caller's receive buffer (to make a stalled caller).
    void SetReceiveBuffer(int bytes);
    void Close();

    int64_t sock = -1;
};

// A connected pair: *door gets the door's end, caller the other.
bool TestMakeLink(TestLinkKind kind, int64_t *door, TestCaller *caller);

// Sets od_control as a BBS would for a caller on an inherited socket and
// runs od_init. 
bool TestStartSocketSession(TestCaller *caller, bool telnet, TestLinkKind kind = TEST_LINK_PAIR);

// Milliseconds on a steady clock, for tests that measure.
uint64_t TestNowMs();

#endif
