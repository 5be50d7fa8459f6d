// Key decoding and the input calls, on the virtual clock: escape sequences
// and their 250 ms window, doorway codes, local keys first, flags, time-outs
// and deadlines, line input, and hostile streams.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ODCom.h"
#include "ODGetIn.h"
#include "ODInEx.h"
#include "ODInQue.h"
#include "ODKrnl.h"
#include "ODPlat.h"
#include "ODSync.h"
#include "doorkit.h"
#include "session.h"
#include "test_random.h"

namespace {

// The caller's bytes, queued as the kernel queues them.
void Remote(const std::string &bytes)
{
    for (char c : bytes) {
        tODInputEvent event = {EVENT_CHARACTER, 1, (uint8_t)c};
        ASSERT_EQ(ODInQueueAddEvent(hODInputQueue, &event), ODINQ_OK);
    }
}

struct Got {
    bool ok;
    uint32_t type;
    uint32_t remote;
    int key;
};

Got Next(uint32_t timeout_ms = 0, uint16_t flags = GETIN_NORMAL)
{
    tODInputEvent event = {};
    bool ok = od_get_input(&event, timeout_ms, flags) != 0;
    return {ok, event.EventType, event.bFromRemote, event.chKeyPress};
}

bool IsKey(const Got &g, uint32_t type, int key) { return g.ok && g.type == type && g.key == key; }

class Decode : public ::testing::Test {
protected:
    void SetUp() override
    {
        ODPlatClockUseVirtual(1000000, 1700000000);
        od_init();
        ASSERT_NE(hODInputQueue, nullptr);
    }
    uint64_t Since(uint64_t start) { return ODPlatTickMs() - start; }
};

}  // namespace

TEST_F(Decode, ArrowArrivingTogetherIsOneKeyAtOnce)
{
    Remote("\x1b[A");
    uint64_t start = ODPlatTickMs();
    Got g = Next();
    EXPECT_TRUE(IsKey(g, EVENT_EXTENDED_KEY, OD_KEY_UP));
    EXPECT_EQ(g.remote, 1u);
    EXPECT_EQ(Since(start), 0u);
    EXPECT_FALSE(Next().ok);
}

TEST_F(Decode, LoneEscapeIsDeliveredAfterTheWindow)
{
    Remote("\x1b");
    uint64_t start = ODPlatTickMs();
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, 27));
    EXPECT_GE(Since(start), 250u);
    EXPECT_LT(Since(start), 320u);
    Remote("\x1b[");
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, 27));
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, '['));
}

TEST_F(Decode, HomeWaitsBecauseItBeginsPageDown)
{
    Remote("\x1b[H");
    uint64_t start = ODPlatTickMs();
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_HOME));
    EXPECT_GE(Since(start), 250u);

    Remote("\x1b[H\x1b[2J");
    start = ODPlatTickMs();
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_PGDN));
    EXPECT_EQ(Since(start), 0u);

    Remote("\x1b[H\x1b[2");
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_HOME));
    // The rest stays collected and waits for the tilde that makes Insert.
    Remote("~");
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_INSERT));
}

TEST_F(Decode, ControlKeyRowsAndFlags)
{
    Remote("\x16");
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_INSERT));
    Remote("\x16\x09");
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_INSERT));
    EXPECT_FALSE(Next().ok);
    Remote("\x05");
    EXPECT_TRUE(IsKey(Next(0, GETIN_NOCTRL), EVENT_CHARACTER, 5));
    Remote("\x05");
    EXPECT_TRUE(IsKey(Next(0), EVENT_EXTENDED_KEY, OD_KEY_UP));
    Remote("\x1b[A");
    EXPECT_TRUE(IsKey(Next(0, GETIN_RAW), EVENT_CHARACTER, 27));
    EXPECT_TRUE(IsKey(Next(0, GETIN_RAW), EVENT_CHARACTER, '['));
    EXPECT_TRUE(IsKey(Next(0, GETIN_RAW), EVENT_CHARACTER, 'A'));
    Remote("\x7f");
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_DELETE));
}

// Every sequence the kit decodes, written out here on its own rather than
// read from the kit's table (a row decoding to the wrong key would agree
// with itself): each gives its key and nothing else, control rows arrive
// as characters under GETIN_NOCTRL, and the kit decodes nothing this list
// does not hold.
TEST_F(Decode, EverySequenceDecodesToItsKey)
{
    const int UP = OD_KEY_UP, DOWN = OD_KEY_DOWN, RIGHT = OD_KEY_RIGHT, LEFT = OD_KEY_LEFT, HOME = OD_KEY_HOME,
              END = OD_KEY_END, PGUP = OD_KEY_PGUP, PGDN = OD_KEY_PGDN, INS = OD_KEY_INSERT, DEL = OD_KEY_DELETE;
    struct Row {
        const char *sequence;
        int key;
        bool control;
    } rows[] = {
        {"\x1b" "A", UP}, {"\x1b[A", UP}, {"\x1bOA", UP}, {"\x05", UP, true},
        {"\x1b" "B", DOWN}, {"\x1b[B", DOWN}, {"\x1bOB", DOWN}, {"\x18", DOWN, true},
        {"\x1b" "C", RIGHT}, {"\x1b[C", RIGHT}, {"\x1bOC", RIGHT}, {"\x04", RIGHT, true},
        {"\x1b" "D", LEFT}, {"\x1b[D", LEFT}, {"\x1bOD", LEFT}, {"\x13", LEFT, true},
        {"\x1bH", HOME}, {"\x1b[H", HOME}, {"\x1b[1~", HOME}, {"\x1b[L", HOME}, {"\x1bOH", HOME},
        {"\x1bK", END}, {"\x1b[K", END}, {"\x1b[F", END}, {"\x1b[4~", END}, {"\x1bOK", END},
        {"\x1b[M", PGUP}, {"\x1b[5~", PGUP}, {"\x1b[V", PGUP},
        {"\x1b[H\x1b[2J", PGDN}, {"\x1b[6~", PGDN}, {"\x1b[U", PGDN},
        {"\x1b[2~", INS}, {"\x16\x09", INS, true}, {"\x16", INS, true},
        {"\x1b[3~", DEL}, {"\x7f", DEL}, {"\x07", DEL, true},
        {"\x1bP", 59}, {"\x1bOP", 59}, {"\x1b[11~", 59},
        {"\x1bQ", 60}, {"\x1bOQ", 60}, {"\x1b[12~", 60},
        {"\x1b?w", 61}, {"\x1bOR", 61}, {"\x1b[13~", 61}, {"\x1bOw", 61},
        {"\x1b?x", 62}, {"\x1bOS", 62}, {"\x1b[14~", 62}, {"\x1bOx", 62},
        {"\x1b?t", 63}, {"\x1b[15~", 63}, {"\x1bOt", 63},
        {"\x1b?u", 64}, {"\x1b[17~", 64}, {"\x1bOu", 64},
        {"\x1b?q", 65}, {"\x1b[18~", 65}, {"\x1bOq", 65},
        {"\x1b?r", 66}, {"\x1b[19~", 66}, {"\x1bOr", 66},
        {"\x1b?p", 67}, {"\x1b[20~", 67}, {"\x1bOp", 67},
        {"\x1b[21~", OD_KEY_F10}, {"\x1b[23~", OD_KEY_F11}, {"\x1b[24~", OD_KEY_F12},
    };
    for (const Row &row : rows) {
        std::string sequence = row.sequence;
        Remote(sequence);
        EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, row.key)) << testing::PrintToString(sequence);
        EXPECT_FALSE(Next().ok) << "left over after " << testing::PrintToString(sequence);
        if (row.control) {
            Remote(sequence);
            for (char c : sequence)
                EXPECT_TRUE(IsKey(Next(0, GETIN_NOCTRL), EVENT_CHARACTER, (uint8_t)c)) << testing::PrintToString(sequence);
        }
    }
    ASSERT_EQ(sizeof rows / sizeof rows[0], (size_t)OD_KEY_SEQUENCE_COUNT);
    for (const tODKeySequence &decoded : aKeySequences) {
        bool listed = false;
        for (const Row &row : rows) listed = listed || std::string(row.sequence) == decoded.pszSequence;
        EXPECT_TRUE(listed) << testing::PrintToString(std::string(decoded.pszSequence));
    }
}

TEST_F(Decode, DoorwayCodes)
{
    Remote(std::string("\0;", 2));
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, 59));
    Remote(std::string("\0;", 2));
    EXPECT_EQ(od_get_key(0), 0);
    EXPECT_EQ(od_get_key(0), 59);
    // A NUL that no key code follows is a NUL, once the window passes.
    Remote(std::string("\0", 1));
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, 0));
    // A NUL while a sequence is being collected ends the sequence first.
    Remote(std::string("\x1b\0H", 3));
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, 27));
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_UP));
}

TEST_F(Decode, LocalKeyDuringARemoteSequenceComesFirst)
{
    Remote("\x1b");
    ODKrnlHandleLocalKey('x');
    Remote("[B");
    Got g = Next();
    EXPECT_TRUE(IsKey(g, EVENT_CHARACTER, 'x'));
    EXPECT_EQ(g.remote, 0u);
    g = Next();
    EXPECT_TRUE(IsKey(g, EVENT_EXTENDED_KEY, OD_KEY_DOWN));
    EXPECT_EQ(g.remote, 1u);
    // A local key without a character is its doorway code, marked local.
    ODKrnlHandleLocalKey(OD_KEY_F10 << 8);
    g = Next();
    EXPECT_TRUE(IsKey(g, EVENT_EXTENDED_KEY, OD_KEY_F10));
    EXPECT_EQ(g.remote, 0u);
}

TEST_F(Decode, MismatchResolvesWithoutWaitingOutTheWindow)
{
    Remote("\x1bx");
    uint64_t start = ODPlatTickMs();
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, 27));
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, 'x'));
    EXPECT_EQ(Since(start), 0u);
}

TEST_F(Decode, TimeoutsAndDeadlines)
{
    uint64_t start = ODPlatTickMs();
    EXPECT_FALSE(Next(0).ok);
    EXPECT_EQ(Since(start), 0u);
    start = ODPlatTickMs();
    EXPECT_FALSE(Next(120).ok);
    EXPECT_GE(Since(start), 120u);
    EXPECT_LT(Since(start), 170u);

    uint32_t s;
    uint16_t ms;
    ODSessionTimeGet(&s, &ms);
    tODInputEvent event;
    EXPECT_FALSE(od_get_input_until(&event, s, ms, 0));  // reached already
    start = ODPlatTickMs();
    EXPECT_FALSE(od_get_input_until(&event, s + 1, 500, 0));
    EXPECT_EQ(Since(start), 1500u - ms);  // slices never overshoot a deadline
    EXPECT_FALSE(od_get_input_until(&event, s + 9, 1000, 0));
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    EXPECT_FALSE(od_get_input(nullptr, 0, 0));

    ODSessionTimeGet(&s, &ms);
    Remote("k");
    EXPECT_TRUE(od_get_input_until(&event, s + 5, 0, 0));
    EXPECT_EQ(event.chKeyPress, 'k');
}

TEST_F(Decode, GetKeyNeverReturnsLineFeed)
{
    Remote("\r\n\n");
    EXPECT_EQ(od_get_key(0), 13);
    EXPECT_EQ(od_get_key(0), 0);
    ODKrnlHandleLocalKey('L');
    EXPECT_EQ(od_get_key(1), 'L');
    EXPECT_EQ((int)od_control.last_key_local, 1);
}

TEST_F(Decode, AnswerAndLineInput)
{
    Remote("qy");
    EXPECT_EQ(od_get_answer("YN"), 'Y');
    char line[4];
    Remote("ab\bcde\r");
    od_input_str(line, 3, ' ', '~');
    EXPECT_STREQ(line, "acd");
    Remote(std::string("\x1b[A" "z\r", 6));
    od_input_str(line, 3, 'a', 'z');  // the arrow's bytes fail the range one by one
    EXPECT_STREQ(line, "z");
    od_input_str(nullptr, 3, 'a', 'z');
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    od_control.last_error = 0;
    od_input_str(line, 3, 'z', 'a');
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
}

namespace {
void StopSessionHook() { eODLifecycleState = OD_STATE_EXITING; }
}  // namespace

TEST_F(Decode, WaitsEndWhenTheSessionStops)
{
    // Stands in for the kernel ending the session from inside the wait.
    pfODSyncDispatchRequests = StopSessionHook;
    EXPECT_EQ(od_get_key(1), 0);
    eODLifecycleState = OD_STATE_RUNNING;
    EXPECT_EQ(od_get_answer("YN"), 0);
    eODLifecycleState = OD_STATE_RUNNING;
    EXPECT_FALSE(Next(OD_NO_TIMEOUT).ok);
    pfODSyncDispatchRequests = nullptr;
}

TEST_F(Decode, RandomStreamsNeverOverrun)
{
    uint32_t seed = 99;
    for (uint16_t flags : {GETIN_NORMAL, GETIN_RAW, GETIN_NOCTRL}) {
        for (int round = 0; round < 40; round++) {
            std::string chunk;
            for (int i = 0; i < 200; i++) {
                seed = TestLcgStep(seed);
                // Mostly the bytes that sequences are made of.
                static const char alphabet[] = "\x1b[O?~0123456789ABCDHKLMPQRSUVFJwxtuqrp\x16\x09\x05\x18\x04\x13\x07\x7f";
                chunk += (seed >> 28) < 12 ? alphabet[(seed >> 8) % (sizeof alphabet - 1)] : (char)(seed >> 16);
            }
            Remote(chunk);
            for (int taken = 0; taken < 1000 && Next(0, flags).ok; taken++) {
            }
        }
    }
    Remote("\x1b[B");
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_DOWN));
}

TEST_F(Decode, ControlSequencesOutsideTheTable)
{
    // A sequence still incomplete when the window closes stays characters.
    Remote("\x1b[1;5");
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, 27));
    for (char c : std::string("[1;5")) EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, c));
    // One too long to be a key is characters too, from its start.
    Remote("\x1b[" + std::string(30, '1') + "A");
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, 27));
    EXPECT_TRUE(IsKey(Next(), EVENT_CHARACTER, '['));
    while (Next().ok) {
    }
    // Raw reads take every byte as it is.
    Remote("\x1b[1;5A");
    for (char c : std::string("\x1b[1;5A")) EXPECT_TRUE(IsKey(Next(0, GETIN_RAW), EVENT_CHARACTER, c));
    // Home waiting on the Page Down row is not lost to a modified key.
    Remote("\x1b[H\x1b[1;5D");
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_HOME));
    EXPECT_TRUE(IsKey(Next(), EVENT_EXTENDED_KEY, OD_KEY_LEFT));
    // A time-limited read that meets only unknown sequences times out.
    Remote("\x1b[200~\x1b[201~");
    uint64_t start = ODPlatTickMs();
    EXPECT_FALSE(Next(100).ok);
    EXPECT_GE(Since(start), 100u);
}

// What a caller at a fight's prompt sends with a modern terminal: the
// modified keys decode to their plain keys and the rest is swallowed, so
// only the key typed on purpose reaches the prompt.
TEST(DecodeOverSocket, ModifiedAndUnknownSequencesPressNoKeys)
{
    ODPlatClockUseVirtual(1000000, 1700000000);
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true));
    ASSERT_TRUE(caller.Send("\x1b[1;5A" "\x1b[5;5~" "\x1b[1;2B" "\x1b[1;3C" "\x1b[3;5~" "\x1b[1;5P"
                            "\x1b[15;2~" "\x1b[1;5H" "\x1b[27;5;13~" "\x1b[?1;2c" "\x1b[<0;12;7M" "\x1b[I" "2"));
    std::string characters;
    std::vector<int> keys;
    uint64_t end = TestNowMs() + 5000;
    while (characters.empty() && TestNowMs() < end) {
        tODInputEvent event;
        if (!od_get_input(&event, 50, GETIN_NORMAL)) continue;
        if (event.EventType == EVENT_CHARACTER) characters += (char)event.chKeyPress;
        else keys.push_back(event.chKeyPress);
    }
    EXPECT_EQ(characters, "2");
    EXPECT_EQ(keys, (std::vector<int>{OD_KEY_UP, OD_KEY_PGUP, OD_KEY_DOWN, OD_KEY_RIGHT, OD_KEY_DELETE, 59, 63,
                                      OD_KEY_HOME}));
}

TEST(DecodeOverSocket, KeysFromARealCaller)
{
    ODPlatClockUseVirtual(1000000, 1700000000);
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true));
    ASSERT_TRUE(caller.Send("\x1b[6~\x1bOP"));
    // The bytes cross the link in real time; the decoder's own waits run on
    // the virtual clock, so once they are here nothing waits.
    uint64_t end = TestNowMs() + 2000;
    while (!od_key_pending() && TestNowMs() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    tODInputEvent event;
    ASSERT_TRUE(od_get_input(&event, 0, 0));
    EXPECT_EQ(event.EventType, (uint32_t)EVENT_EXTENDED_KEY);
    EXPECT_EQ(event.chKeyPress, OD_KEY_PGDN);
    ASSERT_TRUE(od_get_input(&event, 0, 0));
    EXPECT_EQ(event.chKeyPress, 59);
}
