// test_screen_capture.h -- catches what the door kit sends to the caller
// on standard output (the stdio connection) into a file, so a test can feed
// it to an AnsiScreen; and gives standard input prepared keys.
#ifndef TEST_SCREEN_CAPTURE_H
#define TEST_SCREEN_CAPTURE_H

#include <stdio.h>

#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define CAPTURE_DUP _dup
#define CAPTURE_DUP2 _dup2
#define CAPTURE_CLOSE _close
#define CAPTURE_FILENO _fileno
#else
#include <unistd.h>
#define CAPTURE_DUP dup
#define CAPTURE_DUP2 dup2
#define CAPTURE_CLOSE close
#define CAPTURE_FILENO fileno
#endif

#include "ansiscreen.h"
#include "testdir.h"

// Catches what a piece of drawing code sends on standard output. Output
// is redirected only while the code runs, so test failures still print.
class OutputCapture {
public:
    OutputCapture() : path_(dir_.path("caller.ans")) {}

    template <class Draw> std::string sent_by(Draw draw)
    {
        fflush(stdout);
        FILE *file = fopen(path_.c_str(), "wb");
        int saved = CAPTURE_DUP(1);
        CAPTURE_DUP2(CAPTURE_FILENO(file), 1);
#ifdef _WIN32
        _setmode(1, _O_BINARY);
#endif
        draw();
        fflush(stdout);
        CAPTURE_DUP2(saved, 1);
        CAPTURE_CLOSE(saved);
        fclose(file);
        return dir_.read("caller.ans");
    }

    // Feeds what the code sent to the screen; returns the bytes.
    template <class Draw> std::string into(AnsiScreen &screen, Draw draw)
    {
        std::string bytes = sent_by(draw);
        screen.feed(bytes);
        return bytes;
    }

private:
    TestDir dir_;
    std::string path_;
};

// Standard input reads the given keys, then end of input.
class KeyInput {
public:
    explicit KeyInput(const std::string &keys)
    {
        std::string path = dir_.write("keys", keys);
        file_ = fopen(path.c_str(), "rb");
        saved_ = CAPTURE_DUP(0);
        CAPTURE_DUP2(CAPTURE_FILENO(file_), 0);
    }
    ~KeyInput()
    {
        CAPTURE_DUP2(saved_, 0);
        CAPTURE_CLOSE(saved_);
        fclose(file_);
    }
    KeyInput(const KeyInput &) = delete;
    KeyInput &operator=(const KeyInput &) = delete;

private:
    TestDir dir_;
    FILE *file_;
    int saved_;
};

#endif
