// screen_caller.cpp -- the caller's end of a door session, read as a screen.
#include "screen_caller.h"

ScreenCaller::ScreenCaller(TestCaller *link) : link_(link)
{
    reader_ = std::thread([this] { Read(); });
}

ScreenCaller::~ScreenCaller()
{
    stop_ = true;
    reader_.join();
}

void ScreenCaller::Read()
{
    while (!stop_) {
        std::string bytes = link_->Receive(4096, 20);
        if (bytes.empty()) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        screen_.feed(bytes);
        transcript_ += bytes;
        last_ = Clock::now();
        answer_due_ = false;
        changed_.notify_all();
    }
}

void ScreenCaller::Type(const std::string &keys, bool answered)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mark_ = transcript_.size();
        last_ = Clock::now();
        answer_due_ = answered;
    }
    link_->Send(keys);
}

void ScreenCaller::Hangup()
{
    link_->Close();
}

bool ScreenCaller::WaitFor(const std::string &text, int timeout_ms, int quiet_ms)
{
    return WaitForAny({text}, timeout_ms, quiet_ms) == 0;
}

int ScreenCaller::WaitForAny(const std::vector<std::string> &texts, int timeout_ms, int quiet_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!answer_due_ && Clock::now() >= last_ + std::chrono::milliseconds(quiet_ms)) {
            for (size_t i = 0; i < texts.size(); i++) {
                int row, col;
                if (screen_.find(texts[i], &row, &col)) return (int)i;
            }
        }
        if (Clock::now() >= deadline) return -1;
        changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
}

bool ScreenCaller::WaitForDrawn(const std::string &text, int timeout_ms)
{
    return WaitUntil(
        [&](const std::string &transcript, size_t mark) {
            int row, col;
            return transcript.find(text, mark) != std::string::npos && screen_.find(text, &row, &col);
        },
        timeout_ms);
}

bool ScreenCaller::WaitForSent(const std::string &text, size_t n, int timeout_ms)
{
    return WaitUntil([&](const std::string &transcript, size_t) { return TestCount(transcript, text) >= n; },
                     timeout_ms);
}

bool ScreenCaller::WaitUntil(const std::function<bool(const std::string &, size_t)> &check, int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (check(transcript_, mark_)) return true;
        if (Clock::now() >= deadline) return false;
        changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
}

void ScreenCaller::WaitQuiet(int quiet_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (Clock::now() < last_ + std::chrono::milliseconds(quiet_ms))
        changed_.wait_for(lock, std::chrono::milliseconds(10));
}

std::string ScreenCaller::Line(int row)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_.line(row);
}

std::string ScreenCaller::Text(int row, int col, int len)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_.text(row, col, len);
}

int ScreenCaller::Fg(int row, int col)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_.fg(row, col);
}

int ScreenCaller::Bg(int row, int col)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_.bg(row, col);
}

bool ScreenCaller::Find(const std::string &text, int *row, int *col)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int r, c;
    return screen_.find(text, row ? row : &r, col ? col : &c);
}

std::string ScreenCaller::Screen()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (int r = 1; r <= 24; r++) all += screen_.line(r) + "\n";
    return all;
}

std::vector<std::string> ScreenCaller::Music()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_.music();
}

std::string ScreenCaller::Transcript()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return transcript_;
}

AnsiScreen ScreenCaller::Snapshot()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_;
}

size_t TestCount(const std::string &haystack, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) n++;
    return n;
}
