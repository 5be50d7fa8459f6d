// test_scores_session.h -- the score, daily and result screens played the
// way a caller plays them: a door session on a real connection, the keys
// typed on the caller's end, and what the door sent read back into an ANSI
// screen model. The door's output is taken from the connection and from
// standard output both, so the screens are checked whichever way the kit
// sends them.
#ifndef TEST_SCORES_SESSION_H
#define TEST_SCORES_SESSION_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ansiscreen.h"
#include "doorkit.h"
#include "session.h"
#include "test_screen_capture.h"

class CallerSession {
public:
    bool Start() { return capture_caller().sock >= 0; }

    // Types keys, runs draw, and returns the screen the caller then sees.
    AnsiScreen Play(const std::string &keys, const std::function<void()> &draw)
    {
        if (!keys.empty()) capture_caller().Send(keys);
        OutputCapture out;
        bytes_ = out.sent_by(draw);
        AnsiScreen screen;
        screen.feed(bytes_);
        return screen;
    }

    // The pages the last Play drew, one per cleared screen, each seen as
    // the caller saw it just before the next clear.
    std::vector<AnsiScreen> Pages() const
    {
        std::vector<AnsiScreen> pages;
        const std::string clear = "\x1b[2J";
        size_t start = bytes_.find(clear);
        while (start != std::string::npos) {
            size_t next = bytes_.find(clear, start + clear.size());
            AnsiScreen page;
            page.feed(bytes_.substr(start, next == std::string::npos ? std::string::npos : next - start));
            pages.push_back(page);
            start = next;
        }
        return pages;
    }

    // The keys typed but not read.
    std::string Unread()
    {
        std::string rest;
        for (char c; (c = od_get_key(0)) != 0;) rest += c;
        return rest;
    }

private:
    std::string bytes_;
};

#endif
