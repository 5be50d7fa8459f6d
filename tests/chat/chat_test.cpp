// chat_test.cpp -- the chat tests' shared directory, lobby stand-in and clock.
#include "chat_test.h"

#include <string.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "qorb_json.h"

FakeLobby *g_lobby;
VirtualNaps *g_naps;

ChatDir::ChatDir()
{
    char here[4096];
    if (getcwd(here, sizeof here)) old_ = here;
    if (chdir(dir.root().c_str()) != 0) perror("chdir");
}

ChatDir::~ChatDir()
{
    if (!old_.empty() && chdir(old_.c_str()) != 0) perror("chdir");
}

std::string ChatJson(const std::string &url, const std::string &bbs, const std::string &secret)
{
    return "{\"enabled\":true,\"bbs\":\"" + bbs + "\",\"secret\":\"" + secret + "\",\"url\":\"" + url + "\"}\n";
}

static std::string Member(const std::string &body, const char *key)
{
    static cj_doc doc;
    char value[512];
    if (!cj_parse(&doc, body.c_str()) || !cj_get(&doc, key, value, sizeof value)) return "";
    return value;
}

std::string LobbyRequest::op() const { return Member(body, "op"); }
std::string LobbyRequest::location() const { return Member(body, "location"); }
std::string LobbyRequest::text() const { return Member(body, "text"); }

static int FakeRequest(const char *url, const char *, const char *body, const char *signature, char *reply, size_t cap,
                       long *status)
{
    FakeLobby *lobby = g_lobby;
    int block = 0;
    {
        std::lock_guard<std::mutex> lock(lobby->mutex);
        lobby->requests.push_back({g_naps ? g_naps->now_ms.load() : 0u, url, body, signature ? signature : ""});
        block = lobby->block_ms;
        lobby->block_ms = 0;
    }
    if (block) std::this_thread::sleep_for(std::chrono::milliseconds(block));
    std::lock_guard<std::mutex> lock(lobby->mutex);
    if (lobby->down || lobby->reply.size() >= cap) return 0;
    memcpy(reply, lobby->reply.c_str(), lobby->reply.size() + 1);
    *status = lobby->status;
    return 1;
}

void FakeLobby::Install()
{
    g_lobby = this;
    qorb_chat_set_request(FakeRequest);
}

size_t FakeLobby::Count(const std::string &op)
{
    size_t n = 0;
    for (const LobbyRequest &r : Requests()) n += r.op() == op;
    return n;
}

std::vector<LobbyRequest> FakeLobby::Requests()
{
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
}

static void VirtualNap(uint32_t ms)
{
    if (g_naps->script) g_naps->script(g_naps->now_ms);
    g_naps->now_ms += ms;
    std::this_thread::yield();
}

void VirtualNaps::Install()
{
    g_naps = this;
    qorb_chat_set_nap(VirtualNap);
}
