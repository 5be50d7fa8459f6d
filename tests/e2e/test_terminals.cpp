// GRIMBY in real terminals, driven through tmux: a caller with the system's
// telnet program connecting to the launcher, and the sysop's local session
// (-L), which must leave the terminal as it found it.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e_play.h"
#include "tmux_pane.h"

namespace {

// A pane that reports what it showed when the text never came.
class Pane : public TmuxPane {
public:
    using TmuxPane::TmuxPane;

    bool WaitFor(const std::string &text, int timeout_ms = 10000)
    {
        std::string screen = TmuxPane::WaitFor(text, timeout_ms);
        if (screen.find(text) != std::string::npos) return true;
        ADD_FAILURE() << "waited for \"" << text << "\"; the pane shows:\n" << screen;
        return false;
    }
};

// Music question, handle, gender and class as keys in the pane.
bool CreateSurvivorInPane(Pane &pane, const std::string &handle)
{
    if (!pane.WaitFor("[Y] ENABLE SOUND  [N] SILENT")) return false;
    pane.Keys("n");
    if (!pane.WaitFor("CHOOSE YOUR SURVIVOR")) return false;
    pane.Text(handle);
    pane.Keys("Enter");
    if (!pane.WaitFor("[Y] YES, KEEP IT")) return false;
    pane.Keys("y");
    if (!pane.WaitFor("CHOOSE M / F")) return false;
    pane.Keys("m");
    if (!pane.WaitFor("CHOOSE YOUR CLASS")) return false;
    pane.Keys("1");
    return pane.WaitFor("[Q] RETURN TO BBS");
}

class Terminals : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ProgramInstalled("tmux")) GTEST_SKIP() << "tmux is not installed";
    }
};

}  // namespace

TEST_F(Terminals, TheTelnetProgramReachesTheLobbyAndQuits)
{
    if (!ProgramInstalled("telnet")) GTEST_SKIP() << "telnet is not installed";
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Tel Net"}));
    TestDir shell;
    Pane pane(shell);
    ASSERT_TRUE(pane.Start("telnet 127.0.0.1 " + std::to_string(launcher.port())));
    ASSERT_TRUE(CreateSurvivorInPane(pane, "Telly"));
    EXPECT_TRUE(pane.WaitFor("[S] STORY - 8 MONTHLY STAGES"));
    // The lobby's hall of fame and back, then Q returns to the BBS.
    pane.Keys("h");
    EXPECT_TRUE(pane.WaitFor("No Story Mode scores recorded yet."));
    pane.Keys("c");
    EXPECT_TRUE(pane.WaitFor("[Q] RETURN TO BBS"));
    pane.Keys("q");
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();
    EXPECT_TRUE(pane.WaitFor("Connection closed by foreign host."));
    int profiles = 0;
    for (const std::string &name : site.data_files()) profiles += name.compare(0, 8, "profile-") == 0;
    EXPECT_EQ(profiles, 1);
}

TEST_F(Terminals, ALocalSessionRestoresTheTerminal)
{
    E2ESite site;
    Pane pane(site.dir);
    ASSERT_TRUE(pane.Start(ShellQuote(site.door) + " -L -USERNAME " + ShellQuote("Lo Cal")));
    ASSERT_TRUE(pane.WaitFor("Lo Cal of Unknown Location in local mode"));
    ASSERT_TRUE(CreateSurvivorInPane(pane, "|10Local"));
    pane.Keys("q");
    EXPECT_EQ(pane.ExitCode(), 0);
    EXPECT_TRUE(pane.TerminalRestored()) << site.dir.read("stty.before") << " / " << site.dir.read("stty.after");
    int profiles = 0;
    for (const std::string &name : site.data_files()) profiles += name.compare(0, 8, "profile-") == 0;
    EXPECT_EQ(profiles, 1);
}
