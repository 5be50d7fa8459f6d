// The daily challenge through the launcher: an abandoned attempt leaves the
// day open, a finished one is recorded once, and the second finished try on
// the same UTC day is refused.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e_play.h"

namespace {

// Plays the daily from the lobby to its final screen's Continue; returns
// the final score shown, -1 when the run went astray.
int PlayDaily(TelnetClient &caller)
{
    // The mission's choice (its wording differs in October).
    if (!Steps(caller, {{"d", "DAILY NIGHTMARE: ONE BOSS. ONE SHOT."}, {"c", "[2] TAKE"}})) return -1;
    caller.Type("2");
    if (caller.WaitForEither("THE PATIENT PATH", "YOU TAKE THE LONG WAY") < 0) return -1;
    caller.Type("c");
    int seen = caller.WaitForEither("CHOOSE 1 / 2 / 3", "THE SHADOWS OFFER A CHOICE");
    if (seen < 0) return -1;
    caller.WaitQuiet();
    if (seen == 0) {
        char answer = RiddleAnswer(caller.screen());
        EXPECT_NE(answer, 0) << caller.Dump();
        caller.Type(std::string(1, answer ? answer : '1'));
        if (caller.WaitForEither("SEAL BROKEN!", "WRONG!") < 0) return -1;
        caller.Type("c");
    } else {
        caller.Type("2"); // rest
    }
    if (!AtGuardian(caller)) return -1;
    if (FightGuardian(caller, false) == kFightUndecided) return -1;
    int score = FinishRun(caller);
    if (score < 0) return -1;
    if (!Expect(caller, "Your score was saved. The harvest remembers.")) return -1;
    caller.Type("c");
    return AtLobby(caller) ? score : -1;
}

}  // namespace

TEST(DailySession, OncePerDayAndAnAbandonedTryDoesNotCount)
{
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Dee Daily"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    ASSERT_TRUE(ReachLobbyAsNewCaller(caller, "DeeDaily", '5'));

    // Abandoned at the mission: nothing recorded, the day stays open.
    caller.Type("d");
    ASSERT_TRUE(Expect(caller, "DAILY NIGHTMARE: ONE BOSS. ONE SHOT."));
    caller.Type("c");
    ASSERT_TRUE(Expect(caller, "[2] TAKE"));
    caller.Type("q");
    ASSERT_TRUE(AtLobby(caller));
    caller.WaitQuiet();
    EXPECT_FALSE(site.has_data("daily.tsv"));
    for (const std::string &name : site.data_files())
        EXPECT_EQ(name.find(".running"), std::string::npos) << name;

    int score = PlayDaily(caller);
    ASSERT_GE(score, 0) << caller.Dump();

    caller.Type("d");
    ASSERT_TRUE(Expect(caller, "DAILY UNAVAILABLE"));
    EXPECT_TRUE(Expect(caller, "Already played or running."));
    EXPECT_TRUE(Expect(caller, "Story mode is always available."));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));

    caller.Type("h");
    ASSERT_TRUE(Expect(caller, "[S] STORY  [D] DAILY"));
    caller.Type("d");
    ASSERT_TRUE(Expect(caller, "DAILY CHALLENGE - TOP SCORES"));
    char expected[64];
    snprintf(expected, sizeof expected, " 1. %-20.20s %7d", "DeeDaily", score);
    EXPECT_TRUE(Expect(caller, expected));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));
    caller.Type("q");
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();

    std::string daily = site.data("daily.tsv");
    EXPECT_EQ(std::count(daily.begin(), daily.end(), '\n'), 1) << daily;
    EXPECT_NE(daily.find("\tDeeDaily\t" + std::to_string(score) + "\t"), std::string::npos) << daily;
    std::string lock = site.data("daily-lock.tsv");
    EXPECT_EQ(std::count(lock.begin(), lock.end(), '\n'), 1) << lock;
    for (const std::string &name : site.data_files())
        EXPECT_EQ(name.find(".running"), std::string::npos) << name;
}

TEST(DailySession, TheNextVisitTheSameDayIsRefusedToo)
{
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Dan Again"}));
    {
        TelnetClient caller;
        ASSERT_TRUE(caller.Connect(launcher.port()));
        ASSERT_TRUE(ReachLobbyAsNewCaller(caller, "DanAgain", '3'));
        ASSERT_GE(PlayDaily(caller), 0) << caller.Dump();
        caller.Type("q");
        EXPECT_EQ(launcher.DoorLevel(0), 0) << launcher.output();
        caller.WaitClosed();
    }
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    ASSERT_TRUE(AnswerMusic(caller));
    ASSERT_TRUE(Expect(caller, "WELCOME BACK"));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));
    caller.Type("d");
    ASSERT_TRUE(Expect(caller, "DAILY UNAVAILABLE"));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));
    caller.Type("q");
    EXPECT_EQ(launcher.DoorLevel(0, 10000, 2), 0) << launcher.output();
}
