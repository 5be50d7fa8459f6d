// test_output_caller.h -- the output tests' view of a session: a door-kit
// session on a real socket (the shared harness in tests/support) with both
// local screens running, and the caller's end reading what arrives.
#ifndef TEST_OUTPUT_CALLER_H
#define TEST_OUTPUT_CALLER_H

#include "doorkit.h"
#include "ODCom.h"
#include "ODCore.h"
#include "ODScrn.h"
#include "session.h"

#include <string>
#include <thread>

enum OutputTerminal { PLAIN = 0, ANSI = 1, AVATAR = 2, RIP = 4 };

class OutputCaller {
public:
    TestCaller link;

    // Starts the session: remote over a raw socket, or local (nothing is
    // sent anywhere), with the given terminal and screen size, the colour
    // state unknown and both screens up.
    bool Start(int terminal, bool remote = true, int width = 80, int length = 25, bool telnet = false)
    {
        od_control.caller_screen_width = (uint8_t)width;
        od_control.caller_screen_length = (uint16_t)length;
        if (remote) {
            if (!TestStartSocketSession(&link, telnet)) return false;
        } else {
            od_control.remote_bps = 0;
            od_init();
        }
        od_control.caller_ansi = (terminal & ANSI) ? 1 : 0;
        od_control.caller_avatar = (terminal & AVATAR) ? 1 : 0;
        od_control.caller_rip = (terminal & RIP) ? 1 : 0;
        od_control.current_attribute = -1;
        od_control.color_delimiter = '`';
        od_control.always_clear_screen = 1;
        if (ODScrnInitialize() != ODSCRN_OK) return false;
        return ODSessionScreenInitialize(80, 25) == 0;
    }

    // What the door has drawn so far: collected output is sent first (as
    // the door's next wait would), then everything that arrived is read.
    std::string Take(int quiet_ms = 30)
    {
        ODCoreFlushOutput();
        return Peek(quiet_ms);
    }
    // Only what has arrived; nothing is sent on the door's behalf.
    std::string Peek(int quiet_ms = 30) { return link.sock < 0 ? std::string() : link.ReceiveUntilQuiet(quiet_ms); }

    // For outputs larger than the socket's buffers: a thread of its own
    // reads count bytes while the door writes.
    void StartReader(size_t count)
    {
        reader_ = std::thread([this, count] { received_ = link.Receive(count, 20000); });
    }
    std::string JoinReader()
    {
        ODCoreFlushOutput();
        reader_.join();
        return received_;
    }

    void Stop()
    {
        ODSessionScreenShutdown();
        ODScrnShutdown();
        link.Close();
    }

private:
    std::thread reader_;
    std::string received_;
};

#endif
