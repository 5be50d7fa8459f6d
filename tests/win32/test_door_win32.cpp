// GRIMBY.exe served as a BBS runs a door on standard I/O: a private copy of
// the program, a DOOR32.SYS of comm type 0 with -STDIO, and the caller at
// the far end of the door's standard handles. Runs under Wine, whose
// children cannot use an inherited socket (the handle arrives but is "not
// a socket"), so the socket hand-over is tested in-process instead.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "ansiscreen.h"
#include "session.h"
#include "win32/test_ca_win32.h"
#include "testdir.h"

namespace {

// A path of the build tree as Windows names it (Wine maps / to drive Z:).
std::string WindowsPath(const std::string &path)
{
    std::string out = path;
    for (char &c : out)
        if (c == '/') c = '\\';
    return out.size() > 1 && out[1] == ':' ? out : "Z:" + out;
}

// The caller: writes keys into the door's standard input and reads what
// the door sends from its standard output into a screen model.
class WinCaller {
public:
    HANDLE keys = nullptr;    // the door's standard input, our end
    HANDLE screen_in = nullptr;  // the door's standard output, our end
    AnsiScreen screen;

    ~WinCaller()
    {
        HangUp();
        if (screen_in) CloseHandle(screen_in);
    }

    // Waits until text is on the screen and the door has been quiet for a
    // moment (it is then waiting for a key).
    bool WaitFor(const std::string &text, int timeout_ms = 15000)
    {
        uint64_t end = TestNowMs() + (uint64_t)timeout_ms;
        uint64_t last = TestNowMs();
        for (;;) {
            std::string bytes = ReadSome();
            uint64_t now = TestNowMs();
            if (!bytes.empty()) {
                screen.feed(bytes);
                last = now;
                continue;
            }
            int row, col;
            if (now - last >= 150 && screen.find(text, &row, &col)) return true;
            if (now >= end) {
                ADD_FAILURE() << "\"" << text << "\" did not come:\n" << Dump();
                return false;
            }
            Sleep(10);
        }
    }
    // Answers each text, once it shows, with its keys; false at the first
    // text that does not come.
    bool Answer(std::initializer_list<std::pair<const char *, const char *>> steps)
    {
        for (const auto &step : steps) {
            if (!WaitFor(step.first)) return false;
            Type(step.second);
        }
        return true;
    }
    void Type(const std::string &bytes)
    {
        DWORD written = 0;
        if (keys) WriteFile(keys, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    }
    void HangUp()
    {
        if (keys) CloseHandle(keys);
        keys = nullptr;
    }
    std::string Dump() const
    {
        std::string all;
        for (int row = 1; row <= AnsiScreen::kRows; row++) all += screen.line(row) + "\n";
        return all;
    }

private:
    std::string ReadSome()
    {
        DWORD available = 0;
        if (!PeekNamedPipe(screen_in, nullptr, 0, nullptr, &available, nullptr) || available == 0) return "";
        std::string bytes(available, '\0');
        DWORD got = 0;
        if (!ReadFile(screen_in, &bytes[0], available, &got, nullptr)) return "";
        bytes.resize(got);
        return bytes;
    }
};

// A door directory of the test's own (the game keeps data/ beside the
// program), a caller connected, and GRIMBY.exe started on the socket.
class WindowsDoor : public ::testing::Test {
protected:
    TestDir dir;
    WinCaller caller;
    PROCESS_INFORMATION process = {};

    void SetUp() override
    {
        std::string exe = dir.path("GRIMBY.exe");
        ASSERT_TRUE(CopyFileA(WindowsPath(GRIMBY_BINARY_DIR "/game/GRIMBY.exe").c_str(), exe.c_str(), FALSE))
            << "no GRIMBY.exe in the build";
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE door_in, door_out;
        ASSERT_TRUE(CreatePipe(&door_in, &caller.keys, &inherit, 0));
        ASSERT_TRUE(CreatePipe(&caller.screen_in, &door_out, &inherit, 0));
        SetHandleInformation(caller.keys, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(caller.screen_in, HANDLE_FLAG_INHERIT, 0);
        // DOOR32.SYS as BBS software writes it: DOS line ends.
        std::string drop = "0\r\n0\r\n38400\r\nTest Castle 1.0\r\n7\r\nAda Lovelace\r\nAda\r\n100\r\n60\r\n1\r\n1\r\n";
        std::string drop_path = dir.write("node1\\DOOR32.SYS", drop);
        // -SILENT: no local window; these tests are about the caller's side.
        std::string line = "\"" + exe + "\" -D \"" + drop_path + "\" -STDIO -SILENT";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = door_in;
        startup.hStdOutput = door_out;
        startup.hStdError = door_out;
        BOOL started = CreateProcessA(exe.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, dir.root().c_str(),
                                      &startup, &process);
        CloseHandle(door_in);  // the door has its own copies now
        CloseHandle(door_out);
        ASSERT_TRUE(started) << GetLastError();
    }

    void TearDown() override
    {
        if (!process.hProcess) return;
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 10000);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }

    // The door's exit code, or -1 when it has not ended within the time.
    int ExitCode(int timeout_ms = 15000)
    {
        if (WaitForSingleObject(process.hProcess, (DWORD)timeout_ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        return (int)code;
    }

    bool ReachLobby()
    {
        if (!caller.Answer({{"[Y] ENABLE SOUND  [N] SILENT", "n"},
                            {"CHOOSE YOUR SURVIVOR", "Lamplighter\r"},
                            {"[Y] YES, KEEP IT", "y"},
                            {"CHOOSE M / F", "f"},
                            {"CHOOSE YOUR CLASS", "2"}}))
            return false;
        // The real clock decides the month; October asks its question first.
        uint64_t end = TestNowMs() + 15000;
        int row, col;
        while (TestNowMs() < end) {
            caller.WaitFor("", 300);
            if (caller.screen.find("[G] GO STRAIGHT TO THE LOBBY", &row, &col)) caller.Type("g");
            if (caller.screen.find("[S] STORY - 8 MONTHLY STAGES", &row, &col)) return caller.WaitFor("[Q] RETURN TO BBS");
        }
        ADD_FAILURE() << "no lobby:\n" << caller.Dump();
        return false;
    }

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
        ASSERT_TRUE(TestTrustCaInWinePrefix(getenv("GRIMBY_TEST_HUB_CA")));
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
