// test_screen_capture.h -- what the door kit sends to a caller, read on the
// caller's end of a real door session, so a test can feed it to an
// AnsiScreen; and keys typed on that end.
#ifndef TEST_SCREEN_CAPTURE_H
#define TEST_SCREEN_CAPTURE_H

#include <string>

#include <gtest/gtest.h>

#include "ansiscreen.h"
#include "doorkit.h"
#include "session.h"

// The door session every capture in this test process uses: started once,
// on a socketpair, for an ANSI caller, as a BBS would hand over a telnet
// caller. The test plays the caller's end.
inline TestCaller &capture_caller()
{
    static TestCaller caller;
    static bool started = [] {
        od_control.caller_ansi = 1;
        bool ok = TestStartSocketSession(&caller, /*telnet=*/false);
        // Tests move the clock across months: no inactivity or time limit
        // may end the session under them.
        od_control.inactivity_seconds = 0;
        od_control.disable_flags |= OD_DISABLE_TIME_LIMIT;
        return ok;
    }();
    if (!started) ADD_FAILURE() << "the door session did not start";
    return caller;
}

// Catches what a piece of drawing code sends to the caller.
class OutputCapture {
public:
    template <class Draw> std::string sent_by(Draw draw)
    {
        TestCaller &caller = capture_caller();
        caller.ReceiveUntilQuiet(0);
        // Each capture is read on a fresh screen model: make the kit send
        // its first colour whole rather than as a change from the last.
        od_control.current_attribute = -1;
        draw();
        od_kernel(); // the door sends what it collected once it stops drawing
        return caller.ReceiveUntilQuiet(50);
    }

    // Feeds what the code sent to the screen; returns the bytes.
    template <class Draw> std::string into(AnsiScreen &screen, Draw draw)
    {
        std::string bytes = sent_by(draw);
        screen.feed(bytes);
        return bytes;
    }
};

// The caller types the given keys.
class KeyInput {
public:
    explicit KeyInput(const std::string &keys) { capture_caller().Send(keys); }
    KeyInput(const KeyInput &) = delete;
    KeyInput &operator=(const KeyInput &) = delete;
};

#endif
