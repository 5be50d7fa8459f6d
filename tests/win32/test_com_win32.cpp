// The Windows halves of the connection that the portable socket tests do
// not reach: standard I/O over pipes, Door32 and serial ports that are not
// there. Runs under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "ODCom.h"
#include "ODInQue.h"
#include "doorkit.h"
#include "session.h"

namespace {

std::string ReadPipe(HANDLE pipe, size_t count, int timeout_ms)
{
    std::string out;
    uint64_t end = TestNowMs() + (uint64_t)timeout_ms;
    while (out.size() < count && TestNowMs() < end) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) break;
        if (available == 0) {
            Sleep(5);
            continue;
        }
        char buffer[256];
        DWORD n = 0;
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &n, nullptr)) break;
        out.append(buffer, n);
    }
    return out;
}

}  // namespace

TEST(ComWin32, StdioOverPipesCarriesKeysAndOutputAndEndOfInput)
{
    HANDLE in_read, in_write, out_read, out_write;
    ASSERT_TRUE(CreatePipe(&in_read, &in_write, nullptr, 0));
    ASSERT_TRUE(CreatePipe(&out_read, &out_write, nullptr, 0));
    SetStdHandle(STD_INPUT_HANDLE, in_read);
    SetStdHandle(STD_OUTPUT_HANDLE, out_write);
    od_control.com_method = ODCOM_METHOD_STDIO;
    od_control.remote_bps = 1;
    od_init();
    ASSERT_NE(hSerialPort, nullptr);
    EXPECT_EQ((int)od_control.com_method, ODCOM_METHOD_STDIO);

    DWORD n;
    ASSERT_TRUE(WriteFile(in_write, "ab\r\xff", 4, &n, nullptr));
    std::string keys;
    for (int i = 0; i < 200 && keys.size() < 4; i++) {
        char key = od_get_key(0);
        if (key) keys += key;
        else od_sleep(5);
    }
    EXPECT_EQ(keys, "ab\r\xff");
    ASSERT_EQ(ODComSendBuffer(hSerialPort, (const uint8_t *)"\x1b[2J\xc9\n", 6), ODCOM_OK);
    EXPECT_EQ(ReadPipe(out_read, 6, 2000), "\x1b[2J\xc9\n");
    EXPECT_EQ(od_carrier(), 1);

    CloseHandle(in_write);  // the caller hangs up
    tODInputEvent event;
    EXPECT_FALSE(od_get_input(&event, 100, 0));
    EXPECT_EQ(od_carrier(), 0);
    ODComSessionClose();
    CloseHandle(in_read);
    CloseHandle(out_read);
    CloseHandle(out_write);
}

TEST(ComWin32, AbsentDoor32LibraryAndSerialPortFailToOpen)
{
    tPortHandle port;
    ASSERT_EQ(ODComAlloc(&port), ODCOM_OK);
    ODComSetPreferredMethod(port, ODCOM_METHOD_DOOR32);
    EXPECT_EQ(ODComOpen(port), ODCOM_FAIL);
    ODComSetPreferredMethod(port, ODCOM_METHOD_SERIAL);
    ODComSetPort(port, 199);  // "COM200"
    EXPECT_EQ(ODComOpen(port), ODCOM_FAIL);
    // An inherited handle that is not open is refused.
    ODComSetPreferredMethod(port, ODCOM_METHOD_NONE);
    EXPECT_EQ(ODComOpenFromExistingHandle(port, 0x7777), ODCOM_FAIL);
    ODComFree(port);
}

TEST(ComWin32, InheritedTelnetSocketReadsWaitsAndEscapes)
{
    TestCaller caller;
    int64_t door = -1;
    ASSERT_TRUE(TestMakeLink(TEST_LINK_TCP, &door, &caller));
    tPortHandle port;
    ASSERT_EQ(ODComAlloc(&port), ODCOM_OK);
    ODComSetPreferredMethod(port, ODCOM_METHOD_TELNET);
    ASSERT_EQ(ODComOpenFromExistingHandle(port, (uint64_t)door), ODCOM_OK);
    char byte;
    EXPECT_EQ(ODComGetByte(port, &byte, 0), ODCOM_NOTHING);
    ASSERT_TRUE(caller.Send("x"));
    EXPECT_EQ(ODComGetByte(port, &byte, 1), ODCOM_OK);
    EXPECT_EQ(byte, 'x');
    ASSERT_EQ(ODComSendBuffer(port, (const uint8_t *)"\xff", 1), ODCOM_OK);
    EXPECT_EQ(caller.Receive(2, 2000), "\xff\xff");
    caller.Close();
    int carrier = 1;
    for (int i = 0; i < 100 && carrier; i++) {
        ODComCarrier(port, &carrier);
        Sleep(10);
    }
    EXPECT_EQ(carrier, 0);
    ODComClose(port);
    ODComFree(port);
}
