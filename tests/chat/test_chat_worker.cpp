// The chat client's start and its worker: which chat.json starts it, the
// rhythm of its requests on a clock the test controls, the message queue
// through an outage, and a stop that never holds the caller up.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <thread>

#include "chat_test.h"
#include "doorkit.h"
#include "qorb_chat.h"
#include "qorb_sha.h"
#include "ansiscreen.h"
#include "session.h"

namespace {

const std::string kUrl = "https://localhost:9";

void WaitFor(const std::function<bool()> &done, int timeout_ms = 10000)
{
    for (int waited = 0; !done() && waited < timeout_ms; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void Queue(const char *text)
{
    qc_lock();
    qc_entry &entry = qc.queue[qc.queued++];
    snprintf(entry.text, sizeof entry.text, "%s", text);
    random_id(entry.event);
    qc_unlock();
}

void SetInChat(int in_chat)
{
    qc_lock();
    qc.in_chat = in_chat;
    qc_unlock();
}

// Asks the worker to end as the game's stop does; it then sends its leave.
void AskWorkerToStop()
{
    qc_lock();
    qc.stopping = 1;
    qc_unlock();
}

// Starts the chat, lets the script's virtual time run until the worker has
// said goodbye, and stops it.
void RunUntilLeave(FakeLobby &lobby)
{
    qorb_chat_start("Ann", "7", "grimby");
    ASSERT_EQ(qorb_chat_enabled(), 1);
    WaitFor([&] { return lobby.Count("leave") > 0; });
    qorb_chat_stop();
}

} // namespace

TEST(ChatStart, OnlyACompleteEnabledSettingsFileStartsTheChat)
{
    ChatDir here;
    FakeLobby lobby;
    lobby.Install();
    struct Case {
        std::string json;
        bool starts;
    } cases[] = {
        {"{\"enabled\":1,\"bbs\":\"B\",\"secret\":\"" + std::string(32, 's') + "\",\"url\":\"" + kUrl + "\"}", true},
        {"{\"enabled\":\"true\",\"bbs\":\"B\",\"secret\":\"" + std::string(32, 's') + "\",\"url\":\"" + kUrl + "\"}", true},
        {"{\"enabled\":2,\"bbs\":\"B\",\"secret\":\"" + std::string(32, 's') + "\",\"url\":\"" + kUrl + "\"}", false},
        {"{\"enabled\":false,\"bbs\":\"B\",\"secret\":\"" + std::string(32, 's') + "\",\"url\":\"" + kUrl + "\"}", false},
        {"{\"enabled\":true,\"bbs\":\"B\",\"secret\":\"" + std::string(31, 's') + "\",\"url\":\"" + kUrl + "\"}", false},
        {"{\"enabled\":true,\"bbs\":\"B\",\"secret\":\"" + std::string(32, 's') + "\",\"url\":\"http://localhost\"}", false},
        {"{\"enabled\":true,\"bbs\":\"" + std::string(65, 'b') + "\",\"secret\":\"" + std::string(32, 's') + "\",\"url\":\"" + kUrl + "\"}", false},
        {"{\"enabled\":true,\"secret\":\"" + std::string(32, 's') + "\",\"url\":\"" + kUrl + "\"}", false},
        {ChatJson(kUrl) + std::string(16383 - ChatJson(kUrl).size(), ' '), false},
        {ChatJson(kUrl) + std::string(16382 - ChatJson(kUrl).size(), ' '), true},
        {std::string("{\"enabled\":true,\0\"bbs\":\"B\"}", 27), false},
        {"{\"enabled\":true,", false},
    };
    for (const Case &c : cases) {
        here.dir.write("chat.json", c.json);
        qorb_chat_start("Ann", "7", "grimby");
        EXPECT_EQ(qorb_chat_enabled(), c.starts ? 1 : 0) << c.json.substr(0, 120);
        qorb_chat_stop();
        EXPECT_EQ(qorb_chat_enabled(), 0);
    }
}

TEST(ChatStart, HandleIsCleanedAndOnlyAHashOfTheCallerIsSent)
{
    ChatDir here;
    here.dir.write("chat.json", ChatJson(kUrl));
    FakeLobby lobby;
    lobby.Install();
    struct Case {
        const char *handle, *identity, *sent;
    } cases[] = {
        {"|12Bob|x", "user-7", "Bob|x"},
        {"|01|02|15", "", "Player"},
        {"abcdefghijABCDEFGHIJabcdefghijABCDEFGHIJ", nullptr, "abcdefghijABCDEFGHIJabcdefghijAB"},
    };
    for (const Case &c : cases) {
        lobby.requests.clear();
        qorb_chat_start(c.handle, c.identity, "grimby");
        ASSERT_EQ(qorb_chat_enabled(), 1);
        WaitFor([&] { return lobby.Count("poll") > 0; });
        qorb_chat_stop();
        ASSERT_GE(lobby.Requests().size(), 1u);
        std::string body = lobby.Requests()[0].body;
        EXPECT_NE(body.find(std::string("\"player\":\"") + c.sent + "\""), std::string::npos) << body;
        const char *hashed = (c.identity && c.identity[0]) ? c.identity : c.handle;
        uint8_t digest[SHA_DIGEST_SIZE];
        char hex[SHA_HEX_SIZE];
        sha_ctx sha;
        sha_init(&sha);
        sha_update(&sha, hashed, strlen(hashed));
        sha_end(&sha, digest);
        sha_hex(digest, hex);
        EXPECT_NE(body.find(std::string("\"caller\":\"") + hex + "\""), std::string::npos) << body;
        if (c.identity && c.identity[0]) {
            EXPECT_EQ(body.find(c.identity), std::string::npos);
        }
    }
}

TEST(ChatWorker, PollsEveryTenSecondsIdleAndEveryTwoInTheRoom)
{
    ChatDir here;
    here.dir.write("chat.json", ChatJson(kUrl));
    FakeLobby lobby;
    lobby.Install();
    VirtualNaps naps;
    naps.script = [](uint64_t now) {
        if (now == 25000) SetInChat(1);
        if (now == 31000) SetInChat(0);
        if (now == 45000) AskWorkerToStop();
    };
    naps.Install();
    RunUntilLeave(lobby);

    std::vector<std::string> seen;
    for (const LobbyRequest &r : lobby.Requests())
        seen.push_back(std::to_string(r.at_ms) + " " + r.op() + " " + r.location());
    // Idle: at once, then every 10 s; the room is told within 100 ms of
    // entering and leaving and hears from the caller every 2 s inside.
    std::vector<std::string> want = {
        "0 poll playing",    "10000 poll playing", "20000 poll playing", "25100 poll chat",
        "27100 poll chat",   "29100 poll chat",    "31100 poll playing", "41100 poll playing",
        "45100 leave playing",
    };
    EXPECT_EQ(seen, want);
}

TEST(ChatWorker, QueuedMessagesWaitOutAnOutageInOrder)
{
    ChatDir here;
    here.dir.write("chat.json", ChatJson(kUrl));
    FakeLobby lobby;
    lobby.Install();
    VirtualNaps naps;
    naps.script = [&](uint64_t now) {
        if (now == 1000) {
            std::lock_guard<std::mutex> lock(lobby.mutex);
            lobby.down = true;
        }
        if (now == 1100) {
            Queue("first");
            Queue("second");
        }
        if (now == 7000) {
            std::lock_guard<std::mutex> lock(lobby.mutex);
            lobby.down = false;
        }
        if (now == 20000) AskWorkerToStop();
    };
    naps.Install();
    RunUntilLeave(lobby);

    std::vector<std::string> seen;
    for (const LobbyRequest &r : lobby.Requests())
        if (r.op() == "message") seen.push_back(std::to_string(r.at_ms) + " " + r.text());
    // Tried every 2 s while the hub is down, the same message each time;
    // once back, one message per exchange, oldest first.
    std::vector<std::string> want = {"2000 first", "4000 first", "6000 first", "8000 first", "10000 second"};
    EXPECT_EQ(seen, want);
    std::vector<LobbyRequest> all = lobby.Requests();
    std::string event;
    for (const LobbyRequest &r : all)
        if (r.op() == "message" && r.text() == "first") {
            std::string e = r.body.substr(r.body.find("\"event\":"), 42);
            if (event.empty()) event = e;
            EXPECT_EQ(e, event); // the retry keeps the event identifier
        }
    EXPECT_EQ(qc.queued, 0);
    EXPECT_EQ(qc.online, 1);
}

TEST(ChatWorker, StatusLineShowsCountsOrReconnecting)
{
    ChatDir here;
    here.dir.write("chat.json", ChatJson(kUrl));
    FakeLobby lobby;
    lobby.down = true;
    lobby.reply = "{\"players\":12,\"bbses\":4,\"chatting\":3,\"cursor\":1}";
    lobby.Install();
    TestCaller caller;
    od_control.caller_ansi = 1;
    ASSERT_TRUE(TestStartSocketSession(&caller, false));
    qorb_chat_start("Ann", "7", "grimby");
    ASSERT_EQ(qorb_chat_enabled(), 1);
    WaitFor([&] { return lobby.Count("poll") > 0; });

    auto status = [&] {
        caller.ReceiveUntilQuiet(0);
        od_control.current_attribute = -1;
        qorb_chat_status(21, 3, 74);
        od_kernel();
        AnsiScreen screen;
        screen.feed(caller.ReceiveUntilQuiet(50));
        EXPECT_EQ(screen.fg(21, 3), 11);
        return screen.text(21, 3, 75);
    };
    EXPECT_EQ(status(), std::string("[C] SHARED CHAT | Hub unavailable - reconnecting").append(26, ' ') + " ");
    {
        std::lock_guard<std::mutex> lock(lobby.mutex);
        lobby.down = false;
    }
    qc_lock();
    qc.in_chat = 1; // the next exchange comes at once
    qc_unlock();
    qc_wake();
    WaitFor([] { return qc.online == 1; });
    std::string counts = "[C] SHARED CHAT | 12 players / 4 BBSes / 3 in chat";
    EXPECT_EQ(status(), counts + std::string(74 - counts.size(), ' ') + " ");
    qorb_chat_stop();
}

TEST(ChatWorker, StopReturnsAtOnceWhileARequestHangsAndTheLeaveStillGoes)
{
    ChatDir here;
    here.dir.write("chat.json", ChatJson(kUrl));
    FakeLobby lobby;
    lobby.block_ms = 1500;
    lobby.Install();
    qorb_chat_start("Ann", "7", "grimby");
    ASSERT_EQ(qorb_chat_enabled(), 1);
    WaitFor([&] { return lobby.Requests().size() == 1; });
    uint64_t start = TestNowMs();
    qorb_chat_stop();
    uint64_t took = TestNowMs() - start;
    EXPECT_LT(took, 1000u); // the request still has more than a second to go
    EXPECT_EQ(qorb_chat_enabled(), 0);
    WaitFor([&] { return lobby.Count("leave") == 1; });
    EXPECT_EQ(lobby.Count("leave"), 1u);

    // A worker that is only pausing ends with its leave inside the stop.
    lobby.requests.clear();
    qc.running = qc.active = 0;
    qorb_chat_start("Ann", "7", "grimby");
    WaitFor([&] { return lobby.Requests().size() == 1; });
    qorb_chat_stop();
    EXPECT_EQ(lobby.Count("leave"), 1u);
}
