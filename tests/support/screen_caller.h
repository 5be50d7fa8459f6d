// screen_caller.h -- the caller's end of a door session, read as a person
// reads it: a thread feeds everything the door sends into a screen model
// and a transcript, and the test waits for what it expects and types.
//
//     TestCaller link;                 // connected to the door (session.h)
//     ScreenCaller caller(&link);
//     ASSERT_TRUE(caller.WaitFor("[S] STORY"));
//     caller.Type("S");
//
// Tests add their own ways of reading the screen in a subclass.
#ifndef SCREEN_CALLER_H
#define SCREEN_CALLER_H

#include "ansiscreen.h"
#include "session.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScreenCaller {
public:
    explicit ScreenCaller(TestCaller *link);
    virtual ~ScreenCaller();
    ScreenCaller(const ScreenCaller &) = delete;
    ScreenCaller &operator=(const ScreenCaller &) = delete;

    // Types keys. Waits afterwards look only at what the door sends after
    // them, however slowly it answers. Keys that may get no answer
    // (answered false) let WaitFor match the page they were typed on.
    void Type(const std::string &keys, bool answered = true);
    void Hangup();

    // The door has answered the last keys, the text is on the screen and
    // nothing has come for quiet_ms (the door waits for a key). False on
    // time-out.
    bool WaitFor(const std::string &text, int timeout_ms = 15000, int quiet_ms = 150);
    // As WaitFor, for whichever text shows first: its index, or -1.
    int WaitForAny(const std::vector<std::string> &texts, int timeout_ms = 15000, int quiet_ms = 150);
    // The text was sent after the last keys and is on the screen now.
    bool WaitForDrawn(const std::string &text, int timeout_ms = 10000);
    // The whole transcript holds the text n times.
    bool WaitForSent(const std::string &text, size_t n, int timeout_ms = 10000);
    // Until check(transcript, where the last keys were typed in it) holds.
    bool WaitUntil(const std::function<bool(const std::string &, size_t)> &check, int timeout_ms = 10000);
    // Until nothing has come for quiet_ms.
    void WaitQuiet(int quiet_ms);

    std::string Line(int row);
    std::string Text(int row, int col, int len);
    int Fg(int row, int col);
    int Bg(int row, int col);
    bool Find(const std::string &text, int *row = nullptr, int *col = nullptr);
    // The game's 24 rows, each with trailing blanks removed.
    std::string Screen();
    std::vector<std::string> Music();
    std::string Transcript();
    // A copy of the screen model, for reads of many cells at once.
    AnsiScreen Snapshot();

private:
    using Clock = std::chrono::steady_clock;
    void Read();

    TestCaller *link_;
    AnsiScreen screen_;
    std::string transcript_;
    size_t mark_ = 0;          // transcript size when the last keys went
    bool answer_due_ = false;  // keys typed that the door has not answered yet
    Clock::time_point last_ = Clock::now();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// How often needle occurs in haystack.
size_t TestCount(const std::string &haystack, const std::string &needle);

#endif
