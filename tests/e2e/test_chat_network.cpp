// A BBS joins the network its sysop chose, as the released door does it:
// the door directory's grimby.json names the real hub and the CA file
// trusted for it alone, the console enrolls, a caller chats; a hub whose
// certificate that CA did not sign is refused, and the sysop can read why.
#include <gtest/gtest.h>

#include <stdio.h>

#include "e2e_play.h"
#include "https_server.h"
#include "hub_process.h"

namespace {

// Runs the door's console mode in its directory with the answers on
// standard input: everything it printed.
std::string Console(E2ESite &site, const std::string &option, const std::string &answers)
{
    site.dir.write("answers", answers);
    std::string command = "cd '" + site.dir.path("door") + "' && ./GRIMBY " + option + " < ../answers 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return "";
    std::string out;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    pclose(pipe);
    return out;
}

} // namespace

TEST(ChatNetwork, ADoorEnrollsAndChatsAtTheHubItsSettingNamesTrustingOnlyThatCa)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start()) << hub.log();
    E2ESite site;
    site.dir.write("door/hub-ca.pem", TestReadFile(hub.ca_file()));
    site.dir.write("door/grimby.json", "{\n  \"bbs_name\": \"Q-ORB ONLINE\",\n  \"hub\": \"" + hub.url() +
                                           "\",\n  \"hub_ca\": \"hub-ca.pem\"\n}\n");

    std::string out = Console(site, "--chat-enable", "NONE\nNight Owl\n");
    EXPECT_NE(out.find("Hub: " + hub.url() + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("BBS enrollment name: "), std::string::npos) << out; // no title offered
    EXPECT_NE(out.find("Enrolled as \"Night Owl\" at " + hub.url() + "."), std::string::npos) << out;
    EXPECT_NE(out.find("Back up chat.json"), std::string::npos) << out;
    ASSERT_NE(site.dir.read("door/chat.json").find("\"url\":\"" + hub.url() + "\""), std::string::npos)
        << site.dir.read("door/chat.json");

    std::string far_secret = hub.Enroll("Far BBS");
    ASSERT_FALSE(far_secret.empty());
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Ann Owl"}));
    TelnetClient ann;
    ASSERT_TRUE(ann.Connect(launcher.port()));
    ASSERT_TRUE(ReachLobbyAsNewCaller(ann, "Ann"));
    ASSERT_TRUE(Expect(ann, "[C] SHARED CHAT | 1 players / 1 BBSes", 15000));
    ann.Type("c");
    ASSERT_TRUE(Expect(ann, "Q-ORB SHARED GAME LOBBY"));
    ann.Type("hello far away\r");
    auto far_poll = [&](int seq) {
        std::string body = "{\"bbs\":\"Far BBS\",\"game\":\"grimby\",\"session\":\"" + std::string(32, 'f') +
                           "\",\"op\":\"poll\",\"seq\":" + std::to_string(seq) + ",\"timestamp\":" +
                           std::to_string(time(nullptr)) + ",\"player\":\"Bob\",\"caller\":\"" +
                           std::string(64, 'b') + "\",\"location\":\"chat\",\"cursor\":0}";
        return hub.Post("/v1/chat", body, HubSign(far_secret, body));
    };
    HubReply seen;
    for (int seq = 1; seq < 75; seq++) {
        ann.Pump(200);
        seen = far_poll(seq);
        if (seen.body.find("Ann@Night Owl: hello far away") != std::string::npos) break;
    }
    EXPECT_NE(seen.body.find("Ann@Night Owl: hello far away"), std::string::npos) << seen.body;
    ann.Type("\x1b");
    ASSERT_TRUE(AtLobby(ann));
    ann.Type("q");
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();

    // The same door under a CA that did not sign the hub's certificate:
    // callers see the hub as unavailable, the log and the console say why.
    TestTlsFiles other;
    ASSERT_TRUE(TestMakeTlsFiles(site.dir.root(), &other));
    site.dir.write("door/hub-ca.pem", TestReadFile(other.ca));
    TelnetClient bea;
    ASSERT_TRUE(bea.Connect(launcher.port()));
    ASSERT_TRUE(AnswerMusic(bea));
    ASSERT_TRUE(Expect(bea, "WELCOME BACK"));
    bea.Type("c");
    ASSERT_TRUE(AtLobby(bea));
    ASSERT_TRUE(Expect(bea, "[C] SHARED CHAT | Hub unavailable - reconnecting"));
    std::string log;
    for (int waited = 0; waited < 10000 && log.find("does not trust") == std::string::npos; waited += 100) {
        bea.Pump(100);
        log = site.dir.read("door/grimby-chat.log");
    }
    EXPECT_NE(log.find("The lobby at " + hub.url() + " has a certificate that "), std::string::npos) << log;
    bea.Type("q");
    EXPECT_EQ(launcher.DoorLevel(0, 10000, 2), 0) << launcher.output();

    site.dir.write("door/chat.json", "");
    out = Console(site, "--chat-enable", "NONE\nOther Owl\n");
    EXPECT_NE(out.find("The hub at " + hub.url() + " has a certificate that "), std::string::npos) << out;
    EXPECT_NE(out.find("Enrollment failed; no settings changed."), std::string::npos) << out;
}

TEST(ChatNetwork, HelpListsTheKitsOptionsAndTheChatOnes)
{
    E2ESite site;
    std::string out = Console(site, "-HELP", "");
    for (const char *option : {"-SOCKET x", "-CP437UTF8", "-NOFIFO", "--chat-config", "--chat-enable", "--chat-disable"})
        EXPECT_NE(out.find(option), std::string::npos) << option << "\n" << out;
}
