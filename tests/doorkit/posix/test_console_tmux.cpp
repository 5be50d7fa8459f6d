// The local console in a real terminal: the test door runs in a tmux pane
// as a sysop would start it, the test reads the pane and types the sysop's
// keys, and checks the exit code and the terminal settings afterwards.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "door_process.h"
#include "dropfile_support.h"
#include "testdir.h"
#include "tmux_pane.h"

namespace {

// The test door in a pane, started as a sysop would start it.
class Pane : public TmuxPane {
public:
    explicit Pane(const TestDir &dir) : TmuxPane(dir), dir_(dir) {}

    bool Start(const std::string &args, int rows = 27,
               const std::vector<std::pair<std::string, std::string>> &env = {})
    {
        std::string vars = "DOORKIT_TEST_DOOR=1 DOORKIT_TEST_DOOR_ARGS=" + ShellQuote(args) +
                           " DOORKIT_TEST_MARK=" + ShellQuote(dir_.path("mark.log"));
        for (const auto &pair : env) vars += " " + pair.first + "=" + ShellQuote(pair.second);
        return TmuxPane::Start("env " + vars + " " + ShellQuote(TestSelfExe()), rows);
    }

private:
    const TestDir &dir_;
};

class Console : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ProgramInstalled("tmux")) GTEST_SKIP() << "tmux is not installed";
    }
    TestDir dir;
};

}  // namespace

TEST_F(Console, LocalSessionShowsThePictureStatusAndTakesLocalKeys)
{
    Pane pane(dir);
    ASSERT_TRUE(pane.Start("-L -USERNAME Bob Local -BBSNAME Castle BBS -N 5"));
    std::string screen = pane.WaitFor("Press Q to quit.");
    EXPECT_EQ(screen.find("TEST DOOR Bob Local"), 0u) << screen;
    EXPECT_NE(screen.find("Bob Local of Castle BBS in local mode"), std::string::npos) << screen;
    EXPECT_NE(screen.find("60 min. | Node 5"), std::string::npos) << screen;
    pane.Keys("x");
    EXPECT_NE(pane.WaitFor("key x").find("key x"), std::string::npos);
    // Alt-Up adds five minutes, Shift-Down takes one: the status follows.
    pane.Keys("M-Up");
    EXPECT_NE(pane.WaitFor("65 min.").find("Increases the user's time remaining by five minutes."), std::string::npos);
    pane.Keys("S-Down");
    EXPECT_NE(pane.WaitFor("64 min.").find("64 min."), std::string::npos);
    pane.Keys("M-k");
    EXPECT_NE(pane.WaitFor("KBD-OFF").find("KBD-OFF"), std::string::npos);
    pane.Keys("q");
    EXPECT_EQ(pane.ExitCode(), 7);
    EXPECT_TRUE(pane.TerminalRestored());
}

TEST_F(Console, HangupAsksFirstAndYesEndsWithTwo)
{
    Pane pane(dir);
    ASSERT_TRUE(pane.Start("-L -USERNAME Bob Local"));
    pane.WaitFor("Press Q to quit.");
    pane.Keys("M-h");
    std::string screen = pane.WaitFor("Do you wish to proceed?");
    EXPECT_NE(screen.find("You are about to disconnect this user. Do you wish to proceed? (Y/N)"), std::string::npos)
        << screen;
    // No leaves the session as it was.
    pane.Keys("n");
    pane.Keys("x");
    EXPECT_NE(pane.WaitFor("key x").find("key x"), std::string::npos);
    pane.Keys("M-h");
    pane.WaitFor("Do you wish to proceed?");
    pane.Keys("y");
    EXPECT_EQ(pane.ExitCode(), 2);
    EXPECT_TRUE(pane.TerminalRestored());
    EXPECT_NE(dir.read("mark.log").find("exit-steps"), std::string::npos);
}

TEST_F(Console, LockoutWritesSecurityZeroBackAndExitToTheBBSIsFive)
{
    // A DOOR.SYS for a caller at this console ("COM0:").
    std::vector<std::string> lines = {
        "COM0:", "38400", "8", "2", "38400", "Y", "Y", "Y", "Y", "ANN EXAMPLE", "ANYTOWN, USA", "555-555-1212",
        "555-555-1213", "SECRET7", "100", "42", "01/15/24", "3600", "60", "GR", "24", "N", "1,2,3,4,5", "1",
        "12/31/99", "17", "Y", "10", "20", "100", "9999", "03/04/70", "C:\\BBS\\DOORS\\", "C:\\BBS\\DATA\\",
        "SYSOP SAM", "ANNIE", "00:00", "Y", "Y", "Y", "Y", "14", "02/01/24", "08:15", "08:00", "32768", "0", "0",
        "0", "Regular caller", "0", "5"};
    dir.write("DOOR.SYS", JoinLines(lines));
    {
        Pane pane(dir);
        ASSERT_TRUE(pane.Start("-D DOOR.SYS"));
        EXPECT_NE(pane.WaitFor("Press Q to quit.").find("TEST DOOR Ann Example"), std::string::npos);
        pane.Keys("M-l");
        EXPECT_NE(pane.WaitFor("lock out").find("You are about to lock out this user. Do you wish to proceed?"),
                  std::string::npos);
        pane.Keys("Y");
        EXPECT_EQ(pane.ExitCode(), 2);
        EXPECT_TRUE(pane.TerminalRestored());
    }
    std::string back = dir.read("DOOR.SYS");
    EXPECT_NE(back.find("\r\nSECRET7\r\n0\r\n42\r\n"), std::string::npos) << back;

    unlink(dir.path("rc").c_str());
    Pane pane(dir);
    ASSERT_TRUE(pane.Start("-L -USERNAME Bob Local", 25));
    pane.WaitFor("Press Q to quit.");
    pane.Keys("M-x");
    std::string screen = pane.WaitFor("Do you wish to proceed?");
    EXPECT_NE(screen.find("You are about to terminate this session and return the user to the BBS."),
              std::string::npos)
        << screen;
    pane.Keys("y");
    EXPECT_EQ(pane.ExitCode(), 5);
}

TEST_F(Console, LocalSessionWithoutANameAsksForOne)
{
    Pane pane(dir);
    ASSERT_TRUE(pane.Start("-L"));
    std::string screen = pane.WaitFor("Please enter your name:");
    EXPECT_NE(screen.find("[Sysop"), std::string::npos) << screen;
    // The proposal is selected: typing replaces it.
    pane.Keys("'Dana Scully' Enter");
    EXPECT_NE(pane.WaitFor("TEST DOOR Dana Scully").find("Dana Scully of Unknown Location in local mode"),
              std::string::npos);
    pane.Keys("q");
    EXPECT_EQ(pane.ExitCode(), 7);
    EXPECT_NE(dir.read("mark.log").find("started name=Dana Scully handle=Dana Scully"), std::string::npos);
    EXPECT_NE(dir.read("mark.log").find("id=:Dana Scully"), std::string::npos);
}

TEST_F(Console, TheProposedNameCanBeKeptOrEdited)
{
    // A cursor key keeps the proposal for editing; Backspace on the
    // selection clears it.
    const char *ways[][2] = {{"Enter", "TEST DOOR Sysop"},
                             {"Right BSpace 'hia' Enter", "TEST DOOR Sysohia"},
                             {"BSpace 'Mo' Enter", "TEST DOOR Mo"}};
    for (const auto &way : ways) {
        TestDir here;
        Pane pane(here);
        ASSERT_TRUE(pane.Start("-L"));
        pane.WaitFor("Please enter your name:");
        pane.Keys(way[0]);
        EXPECT_NE(pane.WaitFor(way[1]).find(way[1]), std::string::npos) << way[0];
        pane.Keys("q");
        EXPECT_EQ(pane.ExitCode(), 7) << way[0];
    }
}

TEST_F(Console, CancellingTheNamePromptEndsWithZero)
{
    for (const char *key : {"Escape", "C-c", "SIGTERM"}) {
        TestDir here;
        Pane pane(here);
        ASSERT_TRUE(pane.Start("-L"));
        pane.WaitFor("Please enter your name:");
        if (std::string(key) == "SIGTERM") {
            pid_t door = pane.ProgramPid();
            ASSERT_GT(door, 1);
            kill(door, SIGTERM);
        } else {
            pane.Keys(key);
        }
        EXPECT_EQ(pane.ExitCode(), 0) << key;
        EXPECT_TRUE(pane.TerminalRestored()) << key;
        EXPECT_FALSE(here.exists("mark.log")) << key;
    }
}

TEST_F(Console, TerminateSignalGivesTheTerminalBackAndEndsWithOne)
{
    Pane pane(dir);
    ASSERT_TRUE(pane.Start("-L -USERNAME Bob Local"));
    pane.WaitFor("Press Q to quit.");
    std::string mark = dir.read("mark.log");
    size_t at = mark.find("pid=");
    ASSERT_NE(at, std::string::npos) << mark;
    kill((pid_t)atoi(mark.c_str() + at + 4), SIGTERM);
    EXPECT_EQ(pane.ExitCode(), 1);
    EXPECT_TRUE(pane.TerminalRestored());
    EXPECT_NE(dir.read("mark.log").find("exit-steps"), std::string::npos);
}

TEST_F(Console, RemoteCallerOnASocketIsWatchedFromTheTerminal)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, (struct sockaddr *)&address, sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, (struct sockaddr *)&address, &length), 0);
    Pane pane(dir);
    ASSERT_TRUE(pane.Start("", 27, {{"DOORKIT_TEST_CONNECT", std::to_string(ntohs(address.sin_port))}}));
    struct pollfd p = {listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    int caller = accept(listener, nullptr, nullptr);
    close(listener);
    ASSERT_GE(caller, 0);
    EXPECT_NE(TestReadUntil(caller, "Press Q", 10000).find("TEST DOOR Remote Rita"), std::string::npos);
    std::string screen = pane.WaitFor("Press Q to quit.");
    EXPECT_NE(screen.find("Remote Rita of "), std::string::npos) << screen;
    EXPECT_NE(screen.find("at 38400bps"), std::string::npos) << screen;
    // A key from the caller and one from the sysop both reach the door.
    ASSERT_EQ(write(caller, "r", 1), 1);
    pane.WaitFor("key r");
    pane.Keys("s");
    EXPECT_NE(TestReadUntil(caller, "key s", 5000).find("key s"), std::string::npos);
    // The sysop hangs up: the caller's line closes, the BBS gets 2.
    pane.Keys("M-h");
    pane.WaitFor("Do you wish to proceed?");
    pane.Keys("y");
    EXPECT_EQ(pane.ExitCode(), 2);
    char byte;
    ssize_t n;
    while ((n = read(caller, &byte, 1)) > 0) {
    }
    EXPECT_EQ(n, 0);
    close(caller);
    EXPECT_TRUE(pane.TerminalRestored());
}
