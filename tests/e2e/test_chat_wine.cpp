// The Linux side of the Windows chat tests: the real hub, a hostile HTTPS
// server and a Linux BBS with a caller, around the Windows test program run
// under Wine (tests/win32/test_chat_win32.cpp, test_door_win32.cpp). The
// Windows tests learn where everything listens from the environment.
// Run by the win64 tests (ChatUnderWine), which retry a Wine start that
// fails; skipped elsewhere unless GRIMBY_WIN64_DIR names a win64 build.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

#include "e2e_play.h"
#include "https_server.h"
#include "hub_process.h"

namespace {

std::string Win64Dir()
{
    const char *env = getenv("GRIMBY_WIN64_DIR");
    return env ? env : "";
}

std::string WindowsPath(std::string path)
{
    for (char &c : path)
        if (c == '/') c = '\\';
    return "Z:" + path;
}

// Runs the Windows tests matching filter under Wine; the exit code, with
// everything they printed in *out.
int RunWine(const std::string &filter, std::string *out)
{
    if (!getenv("WINEPREFIX")) setenv("WINEPREFIX", GRIMBY_SOURCE_DIR "/build/wineprefix", 1);
    std::string command = "cd '" + Win64Dir() + "/tests' && '" GRIMBY_SOURCE_DIR "/tools/wine-run' win32_tests.exe "
                          "--gtest_filter='" + filter + "' 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out->append(buffer, got);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveWindowsBuild()
{
    return !Win64Dir().empty() && access((Win64Dir() + "/tests/win32_tests.exe").c_str(), R_OK) == 0 &&
           access((Win64Dir() + "/game/GRIMBY.exe").c_str(), R_OK) == 0;
}

} // namespace

TEST(ChatWine, WinHttpHalfKeepsTheTransportContract)
{
    if (!HaveWindowsBuild()) GTEST_SKIP() << "no win64 build at " << Win64Dir();
    HubProcess hub;
    ASSERT_TRUE(hub.Start()) << hub.log();
    TestDir dir;
    TestTlsFiles tls;
    ASSERT_TRUE(TestMakeTlsFiles(dir.root(), &tls));
    auto hostile = [](const TestHttpsRequest &request) {
        TestHttpsReply reply;
        if (request.path.rfind("/size/", 0) == 0)
            reply.body = std::string((size_t)atoi(request.path.c_str() + 6), 'x');
        else if (request.path == "/moved")
            reply.status = 302, reply.location = "/size/2";
        else if (request.path.rfind("/stall", 0) == 0)
            reply.stall_ms = 30000;
        return reply;
    };
    TestHttpsServer server, old;
    ASSERT_TRUE(server.Start(tls, hostile));
    ASSERT_TRUE(old.Start(tls, hostile, 0x0302));
    setenv("GRIMBY_TEST_HUB_URL", hub.url().c_str(), 1);
    setenv("GRIMBY_TEST_HUB_CA", WindowsPath(hub.ca_file()).c_str(), 1);
    setenv("GRIMBY_TEST_HOSTILE_PORT", std::to_string(server.port()).c_str(), 1);
    setenv("GRIMBY_TEST_OLD_TLS_PORT", std::to_string(old.port()).c_str(), 1);
    setenv("GRIMBY_TEST_HOSTILE_CA", WindowsPath(tls.ca).c_str(), 1);
    // One process each, the hub's first: Wine reads the trusted CAs once per
    // process, and the hostile server's CA must still be unknown there.
    for (const char *test : {"HubCaFileIsTrustedForThatRequestAlone", "RealHubTrustedAndAnUntrustedCaRefused",
                             "HostileServersAreRefusedAsOnLinux",
                             "StopDoesNotWaitForAStalledHub"}) {
        std::string out;
        EXPECT_EQ(RunWine(std::string("ChatWinHttp.") + test, &out), 0) << out;
        EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << out;
    }
    server.Stop();
    old.Stop();
}

TEST(ChatWine, WindowsCallerAndLinuxCallerTalkThroughOneHub)
{
    if (!HaveWindowsBuild()) GTEST_SKIP() << "no win64 build at " << Win64Dir();
    HubProcess hub;
    ASSERT_TRUE(hub.Start()) << hub.log();
    std::string win_secret = hub.Enroll("Win BBS"), linux_secret = hub.Enroll("Linux BBS");
    ASSERT_FALSE(win_secret.empty());
    ASSERT_FALSE(linux_secret.empty());

    E2ESite site;
    site.dir.write("door/grimby.json", "{\"hub\":\"" + hub.url() + "\",\"hub_ca\":\"" + hub.ca_file() + "\"}\n");
    site.dir.write("door/chat.json", "{\"enabled\":true,\"bbs\":\"Linux BBS\",\"secret\":\"" + linux_secret +
                                         "\",\"url\":\"" + hub.url() + "\"}\n");
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Tux Penguin"}));
    TelnetClient tux;
    ASSERT_TRUE(tux.Connect(launcher.port()));
    ASSERT_TRUE(ReachLobbyAsNewCaller(tux, "Tux"));
    tux.Type("c");
    ASSERT_TRUE(Expect(tux, "Q-ORB SHARED GAME LOBBY"));

    setenv("GRIMBY_TEST_HUB_URL", hub.url().c_str(), 1);
    setenv("GRIMBY_TEST_HUB_CA", WindowsPath(hub.ca_file()).c_str(), 1);
    setenv("GRIMBY_TEST_WIN_SECRET", win_secret.c_str(), 1);
    std::string out;
    std::atomic<int> code{-2};
    std::thread windows([&] { code = RunWine("WindowsChatDoor.*", &out); });

    bool heard = tux.WaitFor("Lamplighter@Win BBS: hello from windows", 180000);
    EXPECT_TRUE(heard) << tux.Dump();
    if (heard) tux.Type("hello from linux\r");
    EXPECT_TRUE(Expect(tux, "Tux@Linux BBS: hello from linux", 30000));
    windows.join();
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << out;
    tux.Type("\x1b");
    ASSERT_TRUE(AtLobby(tux));
    tux.Type("q");
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();
}
