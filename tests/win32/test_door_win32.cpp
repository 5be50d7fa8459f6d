// GRIMBY.exe served as a BBS runs a door on standard I/O: a private copy of
// the program, a DOOR32.SYS of comm type 0 with -STDIO, and the caller at
// the far end of the door's standard handles. Runs under Wine, whose
// children cannot use an inherited socket (the handle arrives but is "not
// a socket"), so the socket hand-over is tested in-process instead.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "session.h"
#include "testdir.h"
#include "win_door.h"

namespace {

// No window is under test here: the door runs silent, as on a BBS without
// a desktop.
class WindowsDoor : public ::testing::Test {
protected:
    WinDoor door;
    TestDir &dir = door.dir;
    WinCaller caller;

    void SetUp() override { ASSERT_TRUE(door.Start(&caller, "-SILENT")); }
    int ExitCode(int timeout_ms = 15000) { return door.ExitCode(timeout_ms); }
    bool ReachLobby() { return WinDoor::ReachLobby(caller); }

    // The caller's saved profile (the one profile-*.tsv in data/).
    std::string Profile()
    {
        std::string names = DataFiles();
        size_t at = names.find("profile-");
        if (at == std::string::npos) return "";
        return dir.read("data/" + names.substr(at, names.find(' ', at) - at));
    }

    // The names of the files in the door's data directory.
    std::string DataFiles()
    {
        std::string names;
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA(dir.path("data\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            if (found.cFileName[0] != '.') names += std::string(found.cFileName) + " ";
        } while (FindNextFileA(find, &found));
        FindClose(find);
        return names;
    }
};

}  // namespace

TEST_F(WindowsDoor, ACallerCreatesASurvivorAndLeavesFromTheLobby)
{
    ASSERT_TRUE(ReachLobby());
    // The hall, then a story begun, one search, and back out.
    ASSERT_TRUE(caller.Answer({{"[S] STORY - 8 MONTHLY STAGES", "h"},
                               {"No Story Mode scores recorded yet.", "c"},
                               {"[S] STORY - 8 MONTHLY STAGES", "s"},
                               {"[C] CONTINUE     [Q] BACK TO LOBBY", "c"},
                               {"[1] EXPLORE    [2] PUZZLE", "1"},
                               {"SOMETHING MOVES.", "c"},
                               {"[1] EXPLORE", "q"},
                               {"[Q] RETURN TO BBS", "q"}}));
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_NE(Profile().find("Lamplighter"), std::string::npos) << DataFiles();
    EXPECT_EQ(dir.read("data/story.tsv"), "");  // an abandoned run records nothing
}

TEST_F(WindowsDoor, ACallerWhoHangsUpEndsTheDoorWithLevelOne)
{
    ASSERT_TRUE(ReachLobby());
    caller.HangUp();
    EXPECT_EQ(ExitCode(), 1);
    EXPECT_NE(Profile().find("Lamplighter"), std::string::npos) << DataFiles();
}

// The shared chat across platforms: this Windows caller talks with a Linux
// caller on another BBS through one hub. The Linux side (hub, BBS, caller)
// is run by tests/e2e/test_chat_wine.cpp, which starts this test under Wine
// and passes the hub's address; alone, it is skipped.
class WindowsChatDoor : public WindowsDoor {
protected:
    void SetUp() override
    {
        const char *hub = getenv("GRIMBY_TEST_HUB_URL");
        const char *secret = getenv("GRIMBY_TEST_WIN_SECRET");
        if (!hub || !secret) GTEST_SKIP() << "started by the Linux driver only";
        // The hub and its CA as a sysop sets them, in grimby.json: nothing
        // is added to the prefix's trusted roots.
        std::string ca;
        for (const char *p = getenv("GRIMBY_TEST_HUB_CA"); p && *p; p++) ca += *p == '\\' ? "\\\\" : std::string(1, *p);
        dir.write("grimby.json", std::string("{\"hub\":\"") + hub + "\",\"hub_ca\":\"" + ca + "\"}\n");
        dir.write("chat.json", std::string("{\"enabled\":true,\"bbs\":\"Win BBS\",\"secret\":\"") + secret +
                                   "\",\"url\":\"" + hub + "\"}\n");
        WindowsDoor::SetUp();
    }
};

TEST_F(WindowsChatDoor, ACallerChatsWithACallerOnALinuxBbs)
{
    ASSERT_TRUE(ReachLobby());
    ASSERT_TRUE(caller.WaitFor("players /", 30000)); // the status line is online
    caller.Type("c");
    ASSERT_TRUE(caller.WaitFor("Q-ORB SHARED GAME LOBBY"));
    caller.Type("hello from windows\r");
    ASSERT_TRUE(caller.WaitFor("Lamplighter@Win BBS: hello from windows", 30000));
    // The Linux caller answers once the line has reached its screen.
    ASSERT_TRUE(caller.WaitFor("@Linux BBS: hello from linux", 120000));
    caller.Type("\x1b");
    ASSERT_TRUE(caller.WaitFor("[Q] RETURN TO BBS"));
    caller.Type("q");
    EXPECT_EQ(ExitCode(), 0);
}

// The sysop's report goes to the handle GRIMBY.exe was given (a window
// program, started here as a BBS would with redirected handles), the drop
// file read exactly as a session reads it, and nothing opened or played.
TEST(WindowsExplain, TheReportReachesTheRedirectedOutput)
{
    WinDoor door;
    WinCaller reader;
    // The harness writes the DOOR32.SYS a -STDIO door gets (comm type 0)
    // and adds -D and -STDIO to this command line.
    ASSERT_TRUE(door.Start(&reader, "--explain-dropfile \"" + door.dir.path("node1\\DOOR32.SYS") + "\" -MAXTIME 30"));
    ASSERT_EQ(door.ExitCode(), 0);
    std::string shown, more;
    while (!(more = reader.ReadSome()).empty()) shown += more;
    EXPECT_NE(shown.find("Command line for the BBS:"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Drop file:  DOOR32.SYS"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Caller:     Ada Lovelace (handle Ada)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Time left:  30 minutes (-MAXTIME holds back 30 more"), std::string::npos) << shown;
    EXPECT_NE(shown.find("standard input and output (-STDIO)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("GRIMBY.exe -D "), std::string::npos) << shown;
    // No session: nothing was made in the door directory.
    EXPECT_FALSE(door.dir.exists("data"));
}
