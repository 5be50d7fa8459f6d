// The caller's connection over a real socket: raw and telnet sessions,
// the telnet receive machine and send escaping, UTF-8 output, carrier,
// stalled and flooding callers. Runs natively and under Wine.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>

#include "ODCom.h"
#include "ODInEx.h"
#include "ODInQue.h"
#include "ODSync.h"
#include "doorkit.h"
#include "session.h"
#include "test_random.h"

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values) out += (char)(unsigned char)v;
    return out;
}

// Every key the door has, taken without waiting, after giving the bytes
// time to cross the link.
std::string KeysAfter(int settle_ms)
{
    uint64_t end = TestNowMs() + (uint64_t)settle_ms;
    std::string keys;
    for (;;) {
        char key = od_get_key(0);
        if (key != 0) {
            keys += key;
            continue;
        }
        if (TestNowMs() >= end) break;
        od_sleep(5);
    }
    return keys;
}

bool SendAll(const std::string &bytes)
{
    return ODComSendBuffer(hSerialPort, (const uint8_t *)bytes.data(), (int)bytes.size()) == ODCOM_OK;
}

class SocketSession : public ::testing::TestWithParam<TestLinkKind> {};

}  // namespace

TEST_P(SocketSession, RawBytesArriveAsKeysAndLineFeedsAreSkipped)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, false, GetParam()));
    int method = 0;
    ODComGetMethod(hSerialPort, &method);
    EXPECT_EQ(method, ODCOM_METHOD_SOCKET);
    ASSERT_TRUE(caller.Send(Bytes({'h', 'i', 13, 10, 255, 0x1b})));
    std::string keys = KeysAfter(200);
    EXPECT_EQ(keys, Bytes({'h', 'i', 13, 255, 0x1b}));
    EXPECT_EQ((int)od_control.last_key_local, 0);
}

TEST_P(SocketSession, TelnetReceiveMachine)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true, GetParam()));
    // CR LF and CR NUL are one Enter; CR then a letter is both; IAC IAC is
    // 255; options and subnegotiations vanish.
    ASSERT_TRUE(caller.Send(Bytes({13, 10, 13, 0, 13, 'a', 255, 255, 255, 253, 1, 255, 250, 24, 1, 2, 255, 1,
                                   255, 240, 'z', 255, 244, 'y'})));
    EXPECT_EQ(KeysAfter(200), Bytes({13, 13, 13, 'a', 255, 'z', 'y'}));
    // A CR with nothing after it is delivered on its own.
    ASSERT_TRUE(caller.Send(Bytes({13})));
    EXPECT_EQ(KeysAfter(200), Bytes({13}));
}

TEST_P(SocketSession, TelnetStateSurvivesSplitSequences)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true, GetParam()));
    const std::string stream = Bytes({255, 251, 3, 'a', 255, 250, 31, 0, 80, 255, 255, 0, 24, 255, 240, 'b', 255,
                                      255, 13, 10, 'c'});
    for (char byte : stream) {
        ASSERT_TRUE(caller.Send(std::string(1, byte)));
        od_kernel();
    }
    EXPECT_EQ(KeysAfter(200), Bytes({'a', 'b', 255, 13, 'c'}));
}

TEST_P(SocketSession, TelnetEscapesIacAndBareCarriageReturns)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true, GetParam()));
    ASSERT_TRUE(SendAll(Bytes({0x41, 0xFF, 0x0D})));
    EXPECT_EQ(caller.Receive(5, 2000), Bytes({0x41, 0xFF, 0xFF, 0x0D, 0x00}));
    ASSERT_TRUE(SendAll(Bytes({'x', 13, 10, 13, 13, 10})));
    EXPECT_EQ(caller.Receive(7, 2000), Bytes({'x', 13, 10, 13, 0, 13, 10}));
    EXPECT_EQ(ODComSendByte(hSerialPort, 0xFF), ODCOM_OK);
    EXPECT_EQ(caller.Receive(2, 2000), Bytes({0xFF, 0xFF}));
}

TEST_P(SocketSession, RawSocketSendsBytesUnchanged)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, false, GetParam()));
    std::string all;
    for (int i = 0; i < 256; i++) all += (char)i;
    ASSERT_TRUE(SendAll(all));
    EXPECT_EQ(caller.Receive(256, 2000), all);
    EXPECT_EQ(ODComSendBuffer(hSerialPort, nullptr, 0), ODCOM_OK);
}

TEST_P(SocketSession, Utf8OutputConvertsOnlyHighBytes)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true, GetParam()));
    od_control.remote_utf8 = 1;
    ASSERT_TRUE(SendAll(Bytes({0xC9, 0xCD, 0xBB, 0x1b, '[', '2', 'J', 0x0D})));
    EXPECT_EQ(caller.Receive(16, 2000), "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97\x1b[2J\r" + std::string(1, '\0'));
}

TEST_P(SocketSession, LargeTelnetBufferArrivesWhole)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true, GetParam()));
    std::string screen;
    for (int i = 0; i < 300000; i++) screen += (char)(i % 7 == 0 ? 0xFF : 'A' + i % 26);
    std::string expected;
    for (char c : screen) {
        expected += c;
        if ((unsigned char)c == 0xFF) expected += c;
    }
    std::string received;
    std::thread reader([&] { received = caller.Receive(expected.size(), 10000); });
    EXPECT_TRUE(SendAll(screen));
    reader.join();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

TEST_P(SocketSession, CallerWhoStopsReadingFailsTheSendInsteadOfHanging)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, false, GetParam()));
    caller.SetReceiveBuffer(4096);
    std::string block(64 * 1024, 'x');
    uint64_t start = TestNowMs();
    int result = ODCOM_OK;
    for (int i = 0; i < 400 && result == ODCOM_OK; i++) result = ODComSendBuffer(hSerialPort, (const uint8_t *)block.data(), (int)block.size());
    EXPECT_EQ(result, ODCOM_FAIL);
    EXPECT_LT(TestNowMs() - start, 20000u);
}

TEST_P(SocketSession, CarrierFollowsThePeer)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true, GetParam()));
    EXPECT_EQ(od_carrier(), 1);
    ASSERT_TRUE(caller.Send("k"));
    caller.Close();
    // Keys sent before the hang-up still arrive; then the line is gone.
    EXPECT_EQ(KeysAfter(200), "k");
    EXPECT_EQ(od_carrier(), 0);
    int count = -1;
    EXPECT_EQ(ODComOutbound(hSerialPort, &count), ODCOM_UNSUPPORTED);
    EXPECT_EQ(count, 0);
}

TEST_P(SocketSession, DroppingDtrHangsUpTheSocket)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, false, GetParam()));
    od_set_dtr(1);
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);  // raising is not a socket operation
    od_set_dtr(0);
    EXPECT_EQ(caller.Receive(1, 2000), "");  // end of stream: the door hung up
    EXPECT_EQ(od_carrier(), 0);
    EXPECT_EQ(ODComClose(hSerialPort), ODCOM_OK);
}

TEST_P(SocketSession, FloodIsQueuedInOrderWithoutLoss)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true, GetParam()));
    std::string flood;
    for (int i = 0; i < 5000; i++) flood += (char)('a' + i % 26);
    std::thread sender([&] { caller.Send(flood); });
    std::string keys;
    while (keys.size() < flood.size()) {
        char key = od_get_key(1);
        ASSERT_NE(key, 0);
        keys += key;
    }
    sender.join();
    EXPECT_TRUE(keys == flood);
}

TEST_P(SocketSession, KeyboardSwitchedOffDropsTheCallersBytes)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, false, GetParam()));
    od_control.remote_keyboard_enabled = 0;
    ASSERT_TRUE(caller.Send("secret"));
    EXPECT_EQ(KeysAfter(150), "");
    od_control.remote_keyboard_enabled = 1;
    ASSERT_TRUE(caller.Send("ok"));
    EXPECT_EQ(KeysAfter(150), "ok");
}

TEST_P(SocketSession, HostileTelnetStreamsNeverOverrun)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true, GetParam()));
    // An endless subnegotiation swallows everything until IAC SE.
    std::string sub = Bytes({255, 250, 24});
    sub += std::string(100000, 'q');
    sub += Bytes({255, 240, 'o', 'k'});
    std::thread sender([&] { caller.Send(sub); });
    std::string keys;
    while (keys.size() < 2) keys += od_get_key(1);
    sender.join();
    EXPECT_EQ(keys, "ok");
    // Random bytes (no subnegotiation, which has its own case above),
    // ending in a truncated IAC: every key is taken, nothing overruns, and
    // the machine is back in step for what follows.
    uint32_t seed = 12345;
    std::string noise;
    while (noise.size() < 50000) {
        seed = TestLcgStep(seed);
        if ((seed >> 24) != 250) noise += (char)(seed >> 24);
    }
    noise += Bytes({255});
    std::thread noisy([&] { caller.Send(noise + "!end"); });
    std::string tail;
    for (size_t i = 0; i < noise.size() + 4 && (tail.size() < 3 || tail.substr(tail.size() - 3) != "end"); i++)
        tail += od_get_key(1);
    noisy.join();
    ASSERT_GE(tail.size(), 3u);
    EXPECT_EQ(tail.substr(tail.size() - 3), "end");
}

INSTANTIATE_TEST_SUITE_P(Links, SocketSession, ::testing::Values(TEST_LINK_PAIR, TEST_LINK_TCP),
                         [](const ::testing::TestParamInfo<TestLinkKind> &param_info) {
                             return std::string(param_info.param == TEST_LINK_PAIR ? "Pair" : "Tcp");
                         });

TEST(ComHandle, MethodsAndDefaults)
{
    tPortHandle port;
    ASSERT_EQ(ODComAlloc(&port), ODCOM_OK);
    int method = -1;
    ODComGetMethod(port, &method);
    EXPECT_EQ(method, ODCOM_METHOD_NONE);
    ODComSetPreferredMethod(port, ODCOM_METHOD_TELNET);
    ODComGetMethod(port, &method);
    EXPECT_EQ(method, ODCOM_METHOD_SOCKET);
    // Methods that are not transports never open anything.
    ODComSetPreferredMethod(port, 2);
    EXPECT_EQ(ODComOpen(port), ODCOM_FAIL);
    char byte;
    EXPECT_EQ(ODComGetByte(port, &byte, 0), ODCOM_FAIL);
    EXPECT_EQ(ODComSendByte(port, 'x'), ODCOM_FAIL);
    ODComFree(port);
}

TEST(ComConversion, Cp437ToUtf8EdgeCases)
{
    int length = 0;
    uint8_t *empty = ODComCP437ToUnicode((const uint8_t *)"", &length);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(length, 0);
    free(empty);
    length = -1;
    EXPECT_EQ(ODComCP437ToUnicode((const uint8_t *)"x", &length), nullptr);
    EXPECT_EQ((int)od_control.last_error, ODERR_LIMIT);
    const uint8_t box[] = {0x80, 0xB0, 0xFF, 'a'};
    length = 4;
    uint8_t *out = ODComCP437ToUnicode(box, &length);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string((char *)out, (size_t)length), "\xC3\x87\xE2\x96\x91\xC2\xA0" "a");
    free(out);
}

TEST(ComLine, FramingAndEightBitFlag)
{
    EXPECT_TRUE(ODFramingIsEightBit("  8N1"));
    EXPECT_TRUE(ODFramingIsEightBit("N,8,1"));
    EXPECT_FALSE(ODFramingIsEightBit("7E1"));
    EXPECT_FALSE(ODFramingIsEightBit(nullptr));
    od_set_user_8bit(5);
    EXPECT_EQ(od_get_user_8bit(), 1);
    od_set_user_8bit(0);
    EXPECT_EQ(od_get_user_8bit(), 0);
}

TEST(ComLine, PortIsChosenOnlyBeforeStartUp)
{
    EXPECT_TRUE(od_set_port(2));
    EXPECT_EQ((int)od_control.com_port, 2);
    EXPECT_FALSE(od_set_port(256));
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    od_init();
    od_control.last_error = 0;
    EXPECT_FALSE(od_set_port(1));
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    EXPECT_EQ((int)od_control.com_port, 2);
    // Refused as every call is once the session has ended.
    eODLifecycleState = OD_STATE_EXITING;
    EXPECT_FALSE(od_set_port(1));
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
}

TEST(ComLine, LocalSessionHasNoLine)
{
    od_init();
    EXPECT_EQ(hSerialPort, nullptr);
    EXPECT_EQ(od_carrier(), 0);
    EXPECT_EQ((int)od_control.last_error, ODERR_NOREMOTE);
    od_control.last_error = 0;
    od_set_dtr(0);
    EXPECT_EQ((int)od_control.last_error, ODERR_NOREMOTE);
}

TEST(ComIdentity, UserIdByDropFileKind)
{
    od_init();
    strcpy(od_control.caller_name, "Night Owl");
    od_control.caller_record_number = 17;
    od_control.drop_file_kind = OD_DROP_CHAINTXT;
    EXPECT_STREQ(od_get_user_id(), "17:Night Owl");
    od_control.drop_file_kind = OD_DROP_DORINFO;
    EXPECT_STREQ(od_get_user_id(), ":Night Owl");
    od_control.drop_file_kind = 9;
    EXPECT_STREQ(od_get_user_id(), "17:Night Owl");
    od_control.caller_record_number = 0;
    EXPECT_STREQ(od_get_user_id(), ":Night Owl");
    od_control.drop_file_kind = OD_DROP_DOOR32;
    EXPECT_STREQ(od_get_user_id(), "0:Night Owl");
    // Without a name the handle stands in; without either the kinds that
    // have no record number give nothing.
    od_control.caller_name[0] = '\0';
    strcpy(od_control.caller_handle, "Owl");
    od_control.drop_file_kind = OD_DROP_CALLINFO;
    EXPECT_STREQ(od_get_user_id(), ":Owl");
    od_control.caller_handle[0] = '\0';
    EXPECT_STREQ(od_get_user_id(), "");
    od_control.drop_file_kind = OD_DROP_CHAINTXT;
    od_control.caller_record_number = 3;
    EXPECT_STREQ(od_get_user_id(), "3:");
    od_control.drop_file_kind = OD_DROP_BBSDEV;
    EXPECT_STREQ(od_get_user_id(), "");
    pszODComUserID = "bbsdev-user-0001";
    EXPECT_STREQ(od_get_user_id(), "bbsdev-user-0001");
}

TEST(ComIdentity, SessionWithoutDropFileIsNamedLikeOneWithoutRecordNumber)
{
    od_init();
    od_control.drop_file_kind = OD_DROP_NONE;
    strcpy(od_control.caller_name, "Local Sysop");
    od_control.caller_record_number = 5;
    EXPECT_STREQ(od_get_user_id(), ":Local Sysop");
    od_control.caller_name[0] = '\0';
    EXPECT_STREQ(od_get_user_id(), "");
}

TEST(ComIdentity, RefusedOnceExiting)
{
    od_init();
    strcpy(od_control.caller_name, "Night Owl");
    od_control.drop_file_kind = OD_DROP_DORINFO;
    eODLifecycleState = OD_STATE_EXITING;
    EXPECT_STREQ(od_get_user_id(), "");
    EXPECT_EQ(od_get_user_8bit(), 0);
}
