// headless_browser.h -- Debian's chromium, headless, driven over its
// DevTools pipe: a page is loaded at a chosen viewport and a script's
// answer read back, so a test can check what the browser laid out, not
// only the markup it was sent. The script is run by the browser's
// debugger, so the page's Content-Security-Policy does not stop it.
#ifndef TEST_HEADLESS_BROWSER_H
#define TEST_HEADLESS_BROWSER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "testdir.h"

class HeadlessBrowser {
public:
    // args: further chromium switches (certificate trust, ...).
    explicit HeadlessBrowser(const std::vector<std::string> &args = {});
    ~HeadlessBrowser();  // closes the browser, waited for
    HeadlessBrowser(const HeadlessBrowser &) = delete;
    HeadlessBrowser &operator=(const HeadlessBrowser &) = delete;

    static bool Available();  // chromium is installed

    // A viewport of width x height CSS pixels; mobile: as a phone shows a
    // page (its viewport meta tag counts). Before or after Open.
    bool Viewport(int width, int height, bool mobile);
    // A new tab at url, returned once its document is complete.
    bool Open(const std::string &url);
    // expression must evaluate to a string without quotes or backslashes.
    bool Evaluate(const std::string &expression, std::string *text);

    const std::string &error() const { return error_; }

private:
    bool Started();
    bool Command(const std::string &method, const std::string &params, std::string *reply);

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;  // the pipe's two ends: commands, replies
    int next_id_ = 1;
    std::string session_, pending_, error_, viewport_;
    std::vector<std::string> args_;
    TestDir profile_;  // the browser's own, removed after it has closed
};

#endif
