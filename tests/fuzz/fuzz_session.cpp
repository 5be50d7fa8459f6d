// fuzz_session.cpp -- coverage-guided fuzzing of what a caller sends: the
// telnet layer, the key decoder and line input, through a real door
// session on a socket pair. The first byte picks how the door reads, the
// second the input flags; the rest is what the caller sends.
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <thread>

#include "ODCom.h"
#include "ODPlat.h"
#include "doorkit.h"

namespace {

int caller = -1;

void StartSession()
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) abort();
    caller = pair[0];
    // The caller reads everything, as a terminal does, so the door's
    // output never fills the line.
    std::thread([] {
        char bytes[65536];
        while (recv(caller, bytes, sizeof bytes, 0) > 0) {}
    }).detach();
    ODPlatClockUseVirtual(1000, 1700000000);
    od_control.caller_ansi = 1;
    od_control.inactivity_disabled = 1;
    od_control.disable_flags |= OD_DISABLE_TIME_LIMIT;
    od_control.remote_bps = 115200;
    od_control.open_handle = (uint64_t)pair[1];
    od_control.handle_is_socket = 1;
    bODComTelnetSocket = 1;
    od_init();
    if (od_control.com_method != ODCOM_METHOD_SOCKET) abort();
}

void Send(const void *bytes, size_t size)
{
    send(caller, bytes, size, MSG_NOSIGNAL);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (caller < 0) StartSession();
    if (size < 2) return 0;
    int mode = data[0];
    uint16_t flags = data[1];
    data += 2, size -= 2;
    // Whatever telnet state the last input left (a subnegotiation never
    // ended, say), two IAC SE end it.
    Send("\xff\xf0\xff\xf0", 4);
    od_clear_keybuffer();
    Send(data, size);
    if (mode % 3 == 0) {
        tODInputEvent event;
        for (int i = 0; i < 4000 && od_get_input(&event, 0, flags); i++) {}
    } else if (mode % 3 == 1) {
        for (int i = 0; i < 4000 && od_get_key(0); i++) {}
    } else {
        char line[80];
        Send("\xff\xf0\xff\xf0\r", 5);
        od_input_str(line, (mode >> 2) % 79, (unsigned char)(mode & 0xf0 ? 32 : 0), 255);
    }
    od_clear_keybuffer();
    return 0;
}
