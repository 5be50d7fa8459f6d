// Callers as a BBS has them: two at once on two nodes, and one whose
// carrier drops in the middle of a story stage.
#include <gtest/gtest.h>

#include "e2e_play.h"

namespace {

// The launcher's name prompt, answered as a caller types.
bool GiveName(TelnetClient &caller, const std::string &name)
{
    if (!Expect(caller, "Your name: ")) return false;
    caller.Type(name + "\r\n");
    return true;
}

}  // namespace

TEST(Callers, TwoCallersAtOnceEachOnANodeOfTheirOwn)
{
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--nodes-max", "2"}));
    TelnetClient ann, bob;
    ASSERT_TRUE(ann.Connect(launcher.port()));
    ASSERT_TRUE(GiveName(ann, "Ann North"));
    ASSERT_TRUE(launcher.WaitForOutput("Ann North (user 1) enters the door"));
    ASSERT_TRUE(bob.Connect(launcher.port()));
    ASSERT_TRUE(GiveName(bob, "Bob South"));
    ASSERT_TRUE(launcher.WaitForOutput("Bob South (user 2) enters the door"));

    // Both play their way to the lobby, keys interleaved.
    ASSERT_TRUE(AnswerMusic(ann));
    ASSERT_TRUE(AnswerMusic(bob));
    ASSERT_TRUE(CreateSurvivor(ann, "AnnN", '1'));
    ASSERT_TRUE(CreateSurvivor(bob, "BobS", '4'));
    EXPECT_TRUE(ann.screen().find("[S] STORY - 8 MONTHLY STAGES", nullptr, nullptr));

    // Each node has its own drop file naming its caller.
    std::string one = site.dir.read("nodes/node1/DOOR32.SYS"), two = site.dir.read("nodes/node2/DOOR32.SYS");
    EXPECT_NE(one.find("Ann North"), std::string::npos) << one;
    EXPECT_NE(two.find("Bob South"), std::string::npos) << two;

    // A third caller finds every node busy.
    TelnetClient carl;
    ASSERT_TRUE(carl.Connect(launcher.port()));
    EXPECT_TRUE(Expect(carl, "All nodes are busy."));
    EXPECT_TRUE(carl.WaitClosed());

    bob.Type("q");
    EXPECT_EQ(launcher.DoorLevel(2), 0) << launcher.output();
    EXPECT_TRUE(bob.WaitClosed());
    // Ann is still served after Bob has gone.
    ann.Type("h");
    EXPECT_TRUE(Expect(ann, "STORY MODE - TOP SCORES"));
    ann.Type("c");
    ASSERT_TRUE(AtLobby(ann));
    ann.Type("q");
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();
    EXPECT_TRUE(ann.WaitClosed());

    // Two profiles, one per caller.
    int profiles = 0;
    for (const std::string &name : site.data_files()) profiles += name.compare(0, 8, "profile-") == 0;
    EXPECT_EQ(profiles, 2);
}

TEST(Callers, CarrierDroppedMidStageKeepsProfileAndScore)
{
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Drop Tester"}));
    std::string profile_name;
    std::string profile;
    int score = 0;
    {
        TelnetClient caller;
        ASSERT_TRUE(caller.Connect(launcher.port()));
        ASSERT_TRUE(ReachLobbyAsNewCaller(caller, "|12Dropper", '3'));
        for (const std::string &name : site.data_files())
            if (name.compare(0, 8, "profile-") == 0) profile_name = name;
        ASSERT_FALSE(profile_name.empty());
        profile = site.data(profile_name);
        EXPECT_EQ(profile, "|12Dropper\t1\t2\n"); // F, class key 3 (ALCHEMIST)

        caller.Type("s");
        ASSERT_TRUE(Expect(caller, "[C] CONTINUE     [Q] BACK TO LOBBY"));
        caller.Type("c");
        ASSERT_TRUE(Expect(caller, "[1] EXPLORE    [2] PUZZLE"));
        caller.Type("2");
        ASSERT_TRUE(Expect(caller, "CHOOSE 1 / 2 / 3"));
        caller.WaitQuiet();
        char answer = RiddleAnswer(caller.screen());
        ASSERT_NE(answer, 0) << caller.Dump();
        caller.Type(std::string(1, answer));
        ASSERT_TRUE(Expect(caller, "SEAL BROKEN!"));
        caller.Type("c");
        ASSERT_TRUE(Expect(caller, "[1] EXPLORE  [2] PUZZLE"));
        caller.WaitQuiet();
        score = StatusValue(caller.screen(), "SCORE");
        EXPECT_EQ(score, 125);
        // The caller hangs up in the middle of the stage.
    }
    EXPECT_EQ(launcher.DoorLevel(1), 1) << launcher.output();

    // The profile is as it was; the score reached so far is recorded.
    EXPECT_EQ(site.data(profile_name), profile);
    std::string story = site.data("story.tsv");
    EXPECT_NE(story.find("\tDropper\t" + std::to_string(score) + "\t1\t0\n"), std::string::npos) << story;
    EXPECT_FALSE(site.dir.exists("door/data/.grimby-write.lock"));

    // The same caller comes back to the same survivor.
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    ASSERT_TRUE(AnswerMusic(caller));
    ASSERT_TRUE(Expect(caller, "WELCOME BACK"));
    EXPECT_TRUE(Expect(caller, "YOUR SURVIVOR PROFILE WAS FOUND:"));
    EXPECT_TRUE(Expect(caller, "Dropper"));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));
    caller.Type("h");
    char expected[64];
    snprintf(expected, sizeof expected, " 1. %-20.20s %7d  STAGE 1", "Dropper", score);
    EXPECT_TRUE(Expect(caller, expected));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));
    caller.Type("q");
    EXPECT_EQ(launcher.DoorLevel(0, 10000, 2), 0) << launcher.output();
}
