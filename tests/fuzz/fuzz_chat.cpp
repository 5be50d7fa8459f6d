// fuzz_chat.cpp -- coverage-guided fuzzing of what the chat client reads
// from others: a lobby reply applied to the shared state, and a chat.json
// that the settings console rewrites (its members carried over). The first
// byte picks which; the rest is the reply or the file.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "qorb_chat.h"
#include "qorb_chat_int.h"

namespace {

std::string g_reply;

int Reply(const char *, const char *, const char *, const char *, char *reply, size_t cap, long *status)
{
    if (g_reply.size() >= cap) return 0;
    memcpy(reply, g_reply.c_str(), g_reply.size() + 1); // a NUL inside ends the text, as on the wire
    *status = 200;
    return 1;
}

void Prepare()
{
    // The console works in the current directory (the fuzzer's, as for the
    // door kit's files); its messages go nowhere.
    static bool once = [] {
        if (!freopen("/dev/null", "w", stdout)) return false;
        qc_guard_init();
        qorb_chat_set_request(Reply);
        return true;
    }();
    (void)once;
    snprintf(qc.bbs, sizeof qc.bbs, "%s", "Fuzz BBS");
    snprintf(qc.secret, sizeof qc.secret, "%s", "0123456789abcdef0123456789abcdef");
    snprintf(qc.url, sizeof qc.url, "%s", "https://localhost");
    snprintf(qc.game_id, sizeof qc.game_id, "%s", "grimby");
    snprintf(qc.handle, sizeof qc.handle, "%s", "Fuzz");
    qc.display_width = 40;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    Prepare();
    int choice = data[0] & 1;
    std::string text((const char *)data + 1, size - 1);
    if (choice == 0) {
        g_reply = text;
        exchange("poll", 0, nullptr);
        for (int i = 0; i < qc.line_count; i++)
            if (strlen(qc.lines[i]) > (size_t)qc.display_width) __builtin_trap();
    } else {
        FILE *file = fopen("chat.json", "wb");
        if (!file) return 0;
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
        qorb_chat_config("Fuzz BBS", "grimby", 0);
        remove("chat.json.previous.1");
        remove("chat.json");
    }
    return 0;
}
