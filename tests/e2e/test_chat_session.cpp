// The shared chat in real door sessions: a caller whose hub has stalled
// plays on undisturbed and, on hanging up, gets the right error level at
// once, however long the hub keeps the worker waiting.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "e2e_play.h"
#include "https_server.h"
#include "session.h"

TEST(ChatSession, StalledHubNeitherSlowsTheLobbyNorHoldsUpAHangUp)
{
    TestDir tls_dir;
    TestTlsFiles tls;
    ASSERT_TRUE(TestMakeTlsFiles(tls_dir.root(), &tls));
    TestHttpsServer hub;
    ASSERT_TRUE(hub.Start(tls, [](const TestHttpsRequest &) {
        TestHttpsReply reply;
        reply.stall_ms = 30000;
        return reply;
    }));

    E2ESite site;
    site.dir.write("door/grimby.json", "{\"hub\":\"https://localhost:" + std::to_string(hub.port()) +
                                           "\",\"hub_ca\":\"" + tls.ca + "\"}\n");
    site.dir.write("door/chat.json", "{\"enabled\":true,\"bbs\":\"Stall BBS\",\"secret\":\"" + std::string(40, 's') +
                                         "\",\"url\":\"https://localhost:" + std::to_string(hub.port()) + "\"}\n");
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Stan Still"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    ASSERT_TRUE(ReachLobbyAsNewCaller(caller, "Stan"));
    ASSERT_TRUE(Expect(caller, "[C] SHARED CHAT | Hub unavailable - reconnecting"));
    for (int waited = 0; hub.requests() == 0 && waited < 5000; waited += 10) caller.Pump(10);
    ASSERT_GE(hub.requests(), 1); // the worker is inside its first request

    // Lobby keys are answered while the worker waits on the hub.
    uint64_t start = TestNowMs();
    caller.Type("h");
    ASSERT_TRUE(Expect(caller, "STORY MODE - TOP SCORES"));
    EXPECT_LT(TestNowMs() - start, 1500u);
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));
    caller.Type("c");
    ASSERT_TRUE(Expect(caller, "Q-ORB SHARED GAME LOBBY"));
    ASSERT_TRUE(Expect(caller, "Hub unavailable - reconnecting. Messages wait for delivery."));

    // The caller hangs up inside the chat room.
    start = TestNowMs();
    caller.Close();
    EXPECT_EQ(launcher.DoorLevel(1, 5000), 1) << launcher.output();
    uint64_t took = TestNowMs() - start;
    EXPECT_LT(took, 2000u);
    printf("the door ended %llu ms after the hang-up\n", (unsigned long long)took);
    hub.Stop();
}
