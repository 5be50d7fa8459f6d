// The chat room through a real door session: the caller's screen, the line
// editor, the commands, the queue and the ways out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "ansiscreen.h"
#include "chat_test.h"
#include "ODInQue.h"
#include "ODKrnl.h"
#include "ODSync.h"
#include "doorkit.h"
#include "qorb_chat.h"
#include "session.h"

namespace {

// The caller's end: what the door sends goes onto a screen, read while the
// room runs on the test's thread.
struct Caller {
    TestCaller link;
    AnsiScreen screen;
    std::string raw; // every byte, for rows beyond the screen model's 25
    std::mutex mutex;

    bool WaitFor(const std::string &text, int timeout_ms = 5000)
    {
        for (int waited = 0; waited < timeout_ms; waited += 20) {
            std::string bytes = link.Receive(1 << 16, 20);
            std::lock_guard<std::mutex> lock(mutex);
            screen.feed(bytes);
            raw += bytes;
            if (screen.find(text, nullptr, nullptr)) return true;
        }
        ADD_FAILURE() << "not on screen: " << text << "\n" << Dump();
        return false;
    }
    void Settle()
    {
        std::string bytes = link.ReceiveUntilQuiet(250);
        std::lock_guard<std::mutex> lock(mutex);
        screen.feed(bytes);
        raw += bytes;
    }
    std::string Line(int row)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return screen.line(row);
    }
    std::string Dump()
    {
        std::string out;
        for (int row = 1; row <= AnsiScreen::kRows; row++) out += screen.line(row) + "\n";
        return out;
    }
};

void StartRoomSession(Caller *caller, ChatDir *here, FakeLobby *lobby, int rows)
{
    here->dir.write("chat.json", ChatJson("https://localhost:9"));
    lobby->Install();
    od_control.caller_ansi = 1;
    ASSERT_TRUE(TestStartSocketSession(&caller->link, false));
    od_control.inactivity_seconds = 0;
    od_control.caller_screen_width = 80;
    od_control.caller_screen_length = (uint16_t)rows;
    qorb_chat_start("Ann", "7", "grimby");
    ASSERT_EQ(qorb_chat_enabled(), 1);
}

} // namespace

TEST(ChatRoom, DrawsTheLobbyAndQueuesWhatTheCallerTypes)
{
    ChatDir here;
    FakeLobby lobby;
    lobby.reply = "{\"players\":3,\"bbses\":2,\"chatting\":1,\"cursor\":4,\"lines\":[\"Bob@Far BBS: hello\"]}";
    Caller caller;
    StartRoomSession(&caller, &here, &lobby, 25);

    std::string long_line(78, 'a');
    long_line[0] = 'B';
    long_line[77] = 'Z';
    std::thread script([&] {
        ASSERT_TRUE(caller.WaitFor("Bob@Far BBS: hello"));
        caller.Settle();
        EXPECT_EQ(caller.Line(1), "Q-ORB SHARED GAME LOBBY");
        EXPECT_EQ(caller.Line(2), "3 players online | 2 BBSes | 1 in chat");
        EXPECT_EQ(caller.Line(3), "Enter sends | /who shows counts | /quit or Esc returns to game");
        EXPECT_EQ(caller.Line(5), "Bob@Far BBS: hello");
        EXPECT_EQ(caller.Line(23), ">");
        EXPECT_EQ(caller.screen.fg(2, 1), 14);
        EXPECT_EQ(caller.screen.fg(23, 1), 11);

        // Backticks and control bytes never enter the line; backspace edits.
        caller.link.Send("hi`\x01 thx\b\bhere\r");
        // A 78th character scrolls the view: the last 77 stay visible.
        caller.link.Send(long_line);
        caller.Settle();
        EXPECT_EQ(caller.Line(23), "> " + long_line.substr(1));
        EXPECT_EQ(caller.screen.cursor_col(), 80);
        caller.link.Send("\x7f");
        caller.Settle();
        EXPECT_EQ(caller.Line(23), "> " + long_line.substr(0, 77));
        caller.link.Send("\r/WHO\r/who\r\r/quit");
        caller.Settle();
        caller.link.Send("\r");
    });
    qorb_chat_room();
    script.join();
    EXPECT_EQ(qc.in_chat, 0);
    for (int waited = 0; waited < 10000 && lobby.Count("message") < 3; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<std::string> texts;
    for (const LobbyRequest &r : lobby.Requests())
        if (r.op() == "message") texts.push_back(r.text());
    EXPECT_EQ(texts, (std::vector<std::string>{"hi there", long_line.substr(0, 77), "/WHO"}));
    // The room told the lobby the caller was in it.
    EXPECT_GE(lobby.Count("poll"), 1u);
    bool chat_seen = false;
    for (const LobbyRequest &r : lobby.Requests()) chat_seen |= r.location() == "chat";
    EXPECT_TRUE(chat_seen);
    qorb_chat_stop();
}

TEST(ChatRoom, FullQueueIsRefusedOnScreenAndEscapeOrHangUpLeaves)
{
    ChatDir here;
    FakeLobby lobby;
    lobby.down = true;
    Caller caller;
    StartRoomSession(&caller, &here, &lobby, 50);
    std::thread script([&] {
        ASSERT_TRUE(caller.WaitFor("Hub unavailable - reconnecting. Messages wait for delivery."));
        for (int i = 1; i <= 9; i++) caller.link.Send("m" + std::to_string(i) + "\r");
        ASSERT_TRUE(caller.WaitFor("Message queue full; wait for delivery and try again."));
        caller.Settle();
        // 50 rows are cut to 36, but the kit's screen has 25: the input
        // then stays where a 24-row caller has it.
        EXPECT_EQ(caller.Line(22).substr(0, 1), ">");
        caller.link.Send("\x1b");
    });
    qorb_chat_room();
    script.join();
    qc_lock();
    EXPECT_EQ(qc.queued, 8);
    EXPECT_STREQ(qc.queue[0].text, "m1");
    EXPECT_STREQ(qc.queue[7].text, "m8");
    EXPECT_EQ(qc.in_chat, 0);
    qc_unlock();

    // Back in: the caller hangs up, and the room returns.
    std::thread hangup([&] {
        caller.WaitFor("Q-ORB SHARED GAME LOBBY");
        caller.link.Close();
    });
    uint64_t start = TestNowMs();
    qorb_chat_room();
    hangup.join();
    EXPECT_LT(TestNowMs() - start, 5000u);
    EXPECT_EQ(qc.in_chat, 0);
    qorb_chat_stop();
}

// A sysop's local session has no carrier to report; the room still runs
// there and takes the sysop's keys until Escape.
TEST(ChatRoom, WorksInALocalSession)
{
    ChatDir here;
    FakeLobby lobby;
    here.dir.write("chat.json", ChatJson("https://localhost:9"));
    lobby.Install();
    od_parse_cmd_line("-L -SILENT");
    od_init();
    od_control.inactivity_seconds = 0;
    qorb_chat_start("Sysop", "1", "grimby");
    ASSERT_EQ(qorb_chat_enabled(), 1);
    std::thread sysop([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (char key : std::string("local hi\r\x1b")) {
            tODInputEvent event = {EVENT_CHARACTER, 0, (uint8_t)key};
            ODInQueueAddEvent(hODInputQueue, &event);
            std::this_thread::sleep_for(std::chrono::milliseconds(key == '\r' ? 300 : 5));
        }
    });
    uint64_t start = TestNowMs();
    qorb_chat_room();
    sysop.join();
    EXPECT_GE(TestNowMs() - start, 300u); // it waited for the keys
    qc_lock();
    bool queued_or_sent = qc.queued == 1 || lobby.Count("message") == 1;
    qc_unlock();
    EXPECT_TRUE(queued_or_sent);
    qorb_chat_stop();
}

// The sysop ends a local session while the room is open: the room leaves
// at once, so the game's exit steps still run inside the kit's short grace.
TEST(ChatRoom, LeavesWhenTheKitStopsALocalSession)
{
    ChatDir here; // made here: the child ends with _Exit and cleans nothing
    FakeLobby lobby;
    here.dir.write("chat.json", ChatJson("https://localhost:9"));
    EXPECT_EXIT(
        {
            lobby.Install();
            od_parse_cmd_line("-L -SILENT");
            od_init();
            od_control.inactivity_seconds = 0;
            qorb_chat_start("Sysop", "1", "grimby");
            if (qorb_chat_enabled() != 1) _Exit(90);
            std::thread sysop([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                ODKrnlRequestShutdown(OD_REASON_RETURNED);
            });
            qorb_chat_room();
            sysop.join();
            _Exit(qc.in_chat == 0 ? 42 : 91);
        },
        ::testing::ExitedWithCode(42), "");
}

// A reply may land between the room's entry and its first pass, moving the
// change counter onto whatever value the room first compares with; the
// room must draw its first picture anyway, not wait for the next reply.
static std::atomic<bool> g_bump_on_enter{false};
static tODSyncHook g_enter_call;
static void BumpThenEnter()
{
    if (g_bump_on_enter.exchange(false)) {
        qc_lock();
        qc.generation++;
        qc_unlock();
    }
    if (g_enter_call) g_enter_call();
}

TEST(ChatRoom, FirstPictureIsDrawnWhateverTheChangeCounterDid)
{
    ChatDir here;
    FakeLobby lobby;
    lobby.reply = "{\"players\":3,\"bbses\":2,\"chatting\":1,\"cursor\":4,\"lines\":[\"Bob@Far BBS: hello\"]}";
    Caller caller;
    StartRoomSession(&caller, &here, &lobby, 25);
    for (int waited = 0; waited < 5000 && lobby.Count("poll") < 1; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the reply is applied
    {
        std::lock_guard<std::mutex> lock(lobby.mutex);
        lobby.block_ms = 1500; // the room's own poll brings nothing new for a while
    }
    g_enter_call = pfODSyncEnterCall;
    pfODSyncEnterCall = BumpThenEnter;
    g_bump_on_enter = true;
    std::thread script([&] {
        caller.WaitFor("Bob@Far BBS: hello", 1000);
        caller.link.Send("\x1b");
    });
    qorb_chat_room();
    script.join();
    pfODSyncEnterCall = g_enter_call;
    for (int waited = 0; waited < 5000 && lobby.Count("poll") < 3; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    qorb_chat_stop();
}
