// headless_browser.cpp -- chromium --remote-debugging-pipe: commands go to
// its descriptor 3 and replies come from its descriptor 4, each a JSON
// message ended by a NUL byte.
#include "headless_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

const int kReplyMs = 30000;  // a cold browser's first page takes a few seconds

uint64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

std::string Quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if ((unsigned char)c < 0x20) out += ' ';
        else out += c;
    }
    return out + "\"";
}

// A string member's value, when it holds no escapes.
std::string Member(const std::string &json, const std::string &name)
{
    std::string key = "\"" + name + "\":\"";
    size_t at = json.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    size_t end = json.find('"', at);
    return end == std::string::npos ? "" : json.substr(at, end - at);
}

}  // namespace

HeadlessBrowser::HeadlessBrowser(const std::vector<std::string> &args) : args_(args) {}

HeadlessBrowser::~HeadlessBrowser()
{
    if (pid_ > 0) {
        std::string ignored;
        session_.clear();
        Command("Browser.close", "{}", &ignored);
        for (int i = 0; i < 100; i++, usleep(50 * 1000))
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
}

bool HeadlessBrowser::Available()
{
    return system("command -v chromium >/dev/null 2>&1") == 0;
}

bool HeadlessBrowser::Started()
{
    if (pid_ > 0) return true;
    int commands[2], replies[2];
    if (pipe(commands) != 0) return false;
    if (pipe(replies) != 0) {
        close(commands[0]);
        close(commands[1]);
        return false;
    }
    std::vector<std::string> argv = {"chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                     "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync",
                                     "--no-first-run", "--remote-debugging-pipe",
                                     "--user-data-dir=" + profile_.root()};
    argv.insert(argv.end(), args_.begin(), args_.end());
    argv.push_back("about:blank");
    std::vector<char *> raw;
    for (std::string &a : argv) raw.push_back(&a[0]);
    raw.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, commands[0], 3);
    posix_spawn_file_actions_adddup2(&files, replies[1], 4);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawnp(&pid_, "chromium", &files, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    close(commands[0]);
    close(replies[1]);
    to_ = commands[1];
    from_ = replies[0];
    if (rc != 0) {
        pid_ = -1;
        error_ = "chromium did not start";
        return false;
    }
    return true;
}

bool HeadlessBrowser::Command(const std::string &method, const std::string &params,
                              std::string *reply)
{
    if (!Started()) return false;
    int id = next_id_++;
    std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
                          "\",\"params\":" + params;
    if (!session_.empty()) message += ",\"sessionId\":\"" + session_ + "\"";
    message += "}";
    message.push_back('\0');
    for (size_t sent = 0; sent < message.size();) {
        ssize_t n = write(to_, message.data() + sent, message.size() - sent);
        if (n <= 0) {
            error_ = "the browser stopped reading";
            return false;
        }
        sent += (size_t)n;
    }
    // Events arrive between replies; only this command's reply counts.
    std::string id_key = "\"id\":" + std::to_string(id) + ",";
    uint64_t deadline = NowMs() + kReplyMs;
    for (;;) {
        size_t end;
        while ((end = pending_.find('\0')) != std::string::npos) {
            std::string one = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (one.compare(0, id_key.size() + 1, "{" + id_key) == 0) {
                if (one.find("\"error\":") != std::string::npos &&
                    one.find("\"result\":") == std::string::npos) {
                    error_ = method + ": " + one;
                    return false;
                }
                *reply = one;
                return true;
            }
        }
        uint64_t now = NowMs();
        struct pollfd p = {from_, POLLIN, 0};
        if (now >= deadline || poll(&p, 1, (int)(deadline - now)) <= 0) {
            error_ = method + ": no reply from the browser";
            return false;
        }
        char buffer[65536];
        ssize_t n = read(from_, buffer, sizeof buffer);
        if (n <= 0) {
            error_ = method + ": the browser ended";
            return false;
        }
        pending_.append(buffer, (size_t)n);
    }
}

bool HeadlessBrowser::Open(const std::string &url)
{
    std::string reply;
    session_.clear();
    if (!Command("Target.createTarget", "{\"url\":\"about:blank\"}", &reply)) return false;
    std::string target = Member(reply, "targetId");
    if (!Command("Target.attachToTarget",
                 "{\"targetId\":\"" + target + "\",\"flatten\":true}", &reply))
        return false;
    session_ = Member(reply, "sessionId");
    if (session_.empty()) {
        error_ = "no session: " + reply;
        return false;
    }
    if (!viewport_.empty() &&
        !Command("Emulation.setDeviceMetricsOverride", viewport_, &reply))
        return false;
    if (!Command("Page.navigate", "{\"url\":" + Quoted(url) + "}", &reply)) return false;
    if (reply.find("\"errorText\"") != std::string::npos) {
        error_ = "the page did not load: " + reply;
        return false;
    }
    std::string state;
    uint64_t deadline = NowMs() + kReplyMs;
    while (Evaluate("document.readyState", &state) && state != "complete") {
        if (NowMs() > deadline) {
            error_ = "the page never finished loading";
            return false;
        }
        usleep(50 * 1000);
    }
    return state == "complete";
}

bool HeadlessBrowser::Viewport(int width, int height, bool mobile)
{
    viewport_ = "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
                ",\"deviceScaleFactor\":1,\"mobile\":" + (mobile ? "true" : "false") + "}";
    std::string reply;
    return session_.empty() || Command("Emulation.setDeviceMetricsOverride", viewport_, &reply);
}

bool HeadlessBrowser::Evaluate(const std::string &expression, std::string *text)
{
    std::string reply;
    if (!Command("Runtime.evaluate",
                 "{\"expression\":" + Quoted(expression) + ",\"returnByValue\":true}", &reply))
        return false;
    if (reply.find("\"exceptionDetails\"") != std::string::npos) {
        error_ = "the script failed: " + reply;
        return false;
    }
    *text = Member(reply, "value");
    return true;
}
