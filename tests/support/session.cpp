// session.cpp -- the portable half of the test session harness.
#include "session.h"

#include "ODCom.h"
#include "doorkit.h"

#include <chrono>

uint64_t TestNowMs()
{
    using namespace std::chrono;
    return (uint64_t)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool TestStartSocketSession(TestCaller *caller, bool telnet, TestLinkKind kind)
{
    int64_t door = -1;
    if (!TestMakeLink(kind, &door, caller)) return false;
    od_control.remote_bps = 115200;
    od_control.open_handle = (uint64_t)door;
    od_control.handle_is_socket = 1;
    bODComTelnetSocket = telnet ? 1 : 0;
    od_init();
    return hSerialPort != nullptr && od_control.com_method == ODCOM_METHOD_SOCKET;
}
