// chat_test.h -- what the chat client's tests share: a chat.json in a
// directory of the test's own (the client reads it from the current
// directory), and a lobby stand-in for the tests of the client's own
// decisions (body, rhythm, queue) that records every request it gets.
#ifndef CHAT_TEST_H
#define CHAT_TEST_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qorb_chat_int.h"
#include "testdir.h"

// Moves into a fresh directory for the test and back out afterwards.
class ChatDir {
public:
    ChatDir();
    ~ChatDir();
    TestDir dir;

private:
    std::string old_;
};

// A chat.json that starts the chat against url.
std::string ChatJson(const std::string &url, const std::string &bbs = "Night Owl",
                     const std::string &secret = std::string(40, 's'));

struct LobbyRequest {
    uint64_t at_ms;        // on the worker's clock (virtual naps)
    std::string url, body, signature;
    std::string op() const;       // the body's "op"
    std::string location() const; // the body's "location"
    std::string text() const;     // the body's "text"
};

// The stand-in lobby: answers with reply (status 200) unless down.
struct FakeLobby {
    std::mutex mutex;     // guards everything here: the worker writes it
    std::vector<LobbyRequest> requests;
    std::string reply = "{\"players\":2,\"bbses\":1,\"chatting\":0,\"cursor\":5}";
    bool down = false;
    long status = 200;
    int block_ms = 0;     // real time the next request takes
    void Install();       // becomes the client's request primitive
    size_t Count(const std::string &op);
    std::vector<LobbyRequest> Requests();
};
extern FakeLobby *g_lobby;

// The worker's clock: each nap adds its milliseconds at once, so a minute
// of rhythm passes in a moment. The script runs before each nap, on the
// worker thread, with the clock's time.
struct VirtualNaps {
    std::atomic<uint64_t> now_ms{0};
    std::function<void(uint64_t)> script;
    void Install();
};
extern VirtualNaps *g_naps;

#endif
