// fuzz_chat.cpp -- coverage-guided fuzzing of what the chat client reads
// from others: a lobby reply applied to the shared state, a chat.json that
// the settings console rewrites (its members carried over), and a
// grimby.json whose hub setting is read and then written back. The first
// byte picks which ('H' the last, else its low bit); the rest is the reply
// or the file.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "qorb_chat.h"
#include "qorb_chat_int.h"
#include "qorb_hub.h"
#include "qorb_json.h"

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
    int choice = data[0] == 'H' ? 2 : data[0] & 1;
    std::string text((const char *)data + 1, size - 1);
    if (choice == 2) {
        FILE *file = fopen("grimby.json", "wb");
        if (!file) return 0;
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
        qorb_hub_setting setting;
        char why[300];
        if (!qorb_hub_setting_load("", &setting, why, sizeof why) && !why[0]) __builtin_trap();
        // Whatever the file held, a save that reports success leaves a
        // valid object behind, with the new values in it.
        if (qorb_hub_setting_save("", "https://hub.example.net:8443", "ca.pem", why, sizeof why)) {
            static char saved[QC_FILE_LIMIT + 4096];
            static cj_doc doc;
            size_t got;
            char value[600];
            if (qc_read_file("grimby.json", saved, sizeof saved, &got) != 1 || !cj_parse(&doc, saved) ||
                !cj_get(&doc, "hub", value, sizeof value) || strcmp(value, "https://hub.example.net:8443") != 0)
                __builtin_trap();
        }
        remove("grimby.json");
    } else if (choice == 0) {
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
