// The other ways a BBS runs GRIMBY: on standard I/O through a
// pseudo-terminal (ended with SIGHUP when the caller drops) and with the
// older drop files and the socket named on the command line.
#include <gtest/gtest.h>

#include "e2e_play.h"

namespace {

// From the lobby: a story stage with a riddle solved; the stage menu is
// left on screen. Returns the score shown.
int SolveFirstRiddle(TelnetClient &caller)
{
    if (!EnterFirstStage(caller) || !Steps(caller, {{"2", "CHOOSE 1 / 2 / 3"}})) return -1;
    caller.WaitQuiet();
    char answer = RiddleAnswer(caller.screen());
    EXPECT_NE(answer, 0) << caller.Dump();
    if (!Steps(caller, {{std::string(1, answer), "SEAL BROKEN!"}, {"c", "[1] EXPLORE  [2] PUZZLE"}})) return -1;
    caller.WaitQuiet();
    return StatusValue(caller.screen(), "SCORE");
}

}  // namespace

TEST(DoorModes, StandardIOOnAPseudoTerminal)
{
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--stdio", "--name", "Pty Caller"}));
    ASSERT_TRUE(launcher.WaitForOutput("(standard I/O on a pty)"));
    {
        // A whole visit: every screen and key through the pty, Q back to the BBS.
        TelnetClient caller;
        ASSERT_TRUE(caller.Connect(launcher.port()));
        ASSERT_TRUE(ReachLobbyAsNewCaller(caller, "|11Pty|14Kid", '1'));
        EXPECT_EQ(caller.screen().unknown_sequences(), 0);
        caller.Type("h");
        ASSERT_TRUE(Expect(caller, "No Story Mode scores recorded yet."));
        caller.Type("c");
        ASSERT_TRUE(AtLobby(caller));
        caller.Type("q");
        EXPECT_EQ(launcher.DoorLevel(0), 0) << launcher.output();
        EXPECT_TRUE(caller.WaitClosed());
    }
    std::string drop = site.dir.read("nodes/node1/DOOR32.SYS");
    EXPECT_EQ(drop.compare(0, 6, "0\r\n0\r\n"), 0) << drop;

    // The caller drops mid-stage: the launcher hangs up the door with
    // SIGHUP, and the door still runs its exit steps (the run's score is
    // recorded, the write lock released) and ends with error level 1.
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    ASSERT_TRUE(AnswerMusic(caller));
    ASSERT_TRUE(Expect(caller, "WELCOME BACK"));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));
    int score = SolveFirstRiddle(caller);
    ASSERT_GT(score, 0);
    caller.Close();
    EXPECT_TRUE(launcher.WaitForOutput("caller dropped, hanging up the door"));
    EXPECT_EQ(launcher.DoorLevel(0, 10000, 2), 1) << launcher.output();
    std::string story = site.data("story.tsv");
    EXPECT_NE(story.find("\tPtyKid\t" + std::to_string(score) + "\t1\t0\n"), std::string::npos) << story;
    EXPECT_FALSE(site.dir.exists("door/data/.grimby-write.lock"));
}

TEST(DoorModes, DoorSysWithTheSocketOnTheCommandLine)
{
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--dropfile", "doorsys", "--name", "Dora Sys"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    ASSERT_TRUE(ReachLobbyAsNewCaller(caller, "DoraSys", '2'));
    int score = SolveFirstRiddle(caller);
    ASSERT_GT(score, 0);
    caller.Type("q");
    ASSERT_TRUE(AtLobby(caller));
    caller.Type("q");
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();
    EXPECT_TRUE(caller.WaitClosed());
    // DOOR.SYS is written back at exit, still naming the caller.
    std::string drop = site.dir.read("nodes/node1/DOOR.SYS");
    EXPECT_NE(drop.find("\r\nDora Sys\r\n"), std::string::npos) << drop;
    EXPECT_EQ(site.data_files().empty(), false);
}

TEST(DoorModes, DorInfoAndChainTxtCallers)
{
    for (const char *kind : {"dorinfo", "chain"}) {
        E2ESite site;
        LauncherProcess launcher;
        ASSERT_TRUE(site.Launch(launcher, {"--dropfile", kind, "--name", "Dory Info"}));
        TelnetClient caller;
        ASSERT_TRUE(caller.Connect(launcher.port()));
        ASSERT_TRUE(ReachLobbyAsNewCaller(caller, "Dory", '5')) << kind;
        caller.Type("q");
        EXPECT_EQ(launcher.DoorLevel(1), 0) << kind << launcher.output();
        EXPECT_TRUE(caller.WaitClosed()) << kind;
    }
}
