// A caller's whole visit through the BBS-style launcher, played over real
// telnet and read off the screen: music question, survivor, lobby, a story
// stage with every choice, the guardians to the end, the hall of fame, and
// the way back to the BBS with error level 0.
#include <gtest/gtest.h>

#include <stdio.h>
#include <time.h>

#include "e2e_play.h"

namespace {

int Row(const AnsiScreen &screen, const std::string &text)
{
    int row = 0, col = 0;
    return screen.find(text, &row, &col) ? row : 0;
}

std::string Today()
{
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    char text[16];
    strftime(text, sizeof text, "%Y%m%d", &utc);
    return text;
}

}  // namespace

TEST(StorySession, APlayedStoryIsRecordedAndShownInTheHallOfFame)
{
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Ann Caller"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));

    // The melody test sends the scale as ANSI music before the answer.
    ASSERT_TRUE(AnswerMusic(caller, true));
    ASSERT_FALSE(caller.screen().music().empty());
    EXPECT_EQ(caller.screen().music()[0], "MFT150O4L8CDEFGAB>C");
    // The launcher negotiated as a BBS does: it echoes, and asked our size.
    EXPECT_TRUE(caller.server_will_echo());
    EXPECT_TRUE(caller.naws_sent());

    ASSERT_TRUE(CreateSurvivor(caller, "|04Nig|01ht|04Jar", '2'));
    Press(caller, "h");
    ASSERT_TRUE(Expect(caller, "No Story Mode scores recorded yet."));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));

    ASSERT_TRUE(EnterFirstStage(caller));
    caller.WaitQuiet();
    const AnsiScreen &screen = caller.screen();
    EXPECT_EQ(StatusValue(screen, "SCORE"), 0);
    const std::string coins = CoinWord(screen), health = HealthWord(screen);
    EXPECT_EQ(StatusValue(screen, coins), 20);

    // Explore: each of the first three searches pays 5 tokens and 30 points
    // or costs health; the fourth finds nothing.
    for (int search = 1; search <= 4; search++) {
        int score = StatusValue(screen, "SCORE"), tokens = StatusValue(screen, coins);
        int cells = BarCells(screen, health);
        caller.Type("1");
        if (search == 4) {
            ASSERT_TRUE(Expect(caller, "Nothing else remains here."));
            caller.Type("c");
        }
        ASSERT_TRUE(Expect(caller, "YOU SEARCH THE DARKNESS. SOMETHING MOVES."));
        caller.WaitQuiet();
        int found = StatusValue(screen, coins) - tokens;
        if (search == 4 || found == 0) {
            EXPECT_EQ(StatusValue(screen, "SCORE"), score) << caller.Dump();
            if (search == 4) EXPECT_EQ(found, 0);
            else EXPECT_LE(BarCells(screen, health), cells) << caller.Dump();
        } else {
            EXPECT_EQ(found, 5) << caller.Dump();
            EXPECT_EQ(StatusValue(screen, "SCORE"), score + 30) << caller.Dump();
        }
        caller.Type("c");
        ASSERT_TRUE(Expect(caller, "[1] EXPLORE  [2] PUZZLE"));
        caller.WaitQuiet();
    }

    // The riddle: a wrong answer bites, the right one (read off the screen)
    // breaks the seal once.
    int score = StatusValue(screen, "SCORE");
    caller.Type("2");
    ASSERT_TRUE(Expect(caller, "CHOOSE 1 / 2 / 3"));
    caller.WaitQuiet();
    char answer = RiddleAnswer(screen);
    ASSERT_NE(answer, 0) << "an unknown riddle:\n" << caller.Dump();
    caller.Type(std::string(1, answer == '1' ? '2' : '1'));
    ASSERT_TRUE(Expect(caller, "WRONG! THE GATE BITES. -12 SANITY."));
    caller.Type("c");
    ASSERT_TRUE(Expect(caller, "[1] EXPLORE  [2] PUZZLE"));
    caller.Type("2");
    ASSERT_TRUE(Expect(caller, "CHOOSE 1 / 2 / 3"));
    caller.WaitQuiet();
    EXPECT_EQ(RiddleAnswer(screen), answer);
    ASSERT_TRUE(Steps(caller, {{std::string(1, answer), "SEAL BROKEN! +125 SCORE, +1 KEY."},
                               {"c", "[1] EXPLORE  [2] PUZZLE"}}));
    caller.WaitQuiet();
    EXPECT_EQ(StatusValue(screen, "SCORE"), score + 125);
    EXPECT_EQ(StatusValue(screen, "KEYS"), 1);
    ASSERT_TRUE(Steps(caller, {{"2", "No second reward from this lock."}, {"c", "[1] EXPLORE  [2] PUZZLE"}}));

    // The trunk: a power shot for the guardian, paid from what is shown.
    caller.Type("3");
    ASSERT_TRUE(Expect(caller, "[C] LEAVE TRUNK"));
    caller.WaitQuiet();
    int row = Row(screen, coins + ": ");
    ASSERT_GT(row, 0);
    int tokens = atoi(screen.line(row).c_str() + screen.line(row).find(coins + ": ") + coins.size() + 2);
    EXPECT_EQ(tokens, StatusValue(screen, coins));
    bool readied = tokens >= 9;
    if (readied) {
        caller.Type("2");
        ASSERT_TRUE(Expect(caller, coins + ": " + std::to_string(tokens - 9)));
    }
    caller.Type("c");
    ASSERT_TRUE(Expect(caller, "[1] EXPLORE  [2] PUZZLE"));

    // The guardian, then the rest of the story to its final screen.
    caller.Type("4");
    ASSERT_TRUE(AtGuardian(caller));
    FightEnd first = FightGuardian(caller, readied);
    ASSERT_NE(first, kFightUndecided) << caller.Dump();
    int reached = 0;
    int final_score = PlayStoryToTheEnd(caller, &reached);
    printf("story ended with score %d at stage %d\n", final_score, reached);
    ASSERT_GE(final_score, 0);
    EXPECT_GE(reached, 1);
    EXPECT_LE(reached, 8);
    ASSERT_TRUE(Expect(caller, "Your score was saved. The harvest remembers."));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));

    // The hall shows the plain handle with the score and stage.
    caller.Type("h");
    ASSERT_TRUE(Expect(caller, "STORY MODE - TOP SCORES"));
    char expected[64];
    snprintf(expected, sizeof expected, " 1. %-20.20s %7d  STAGE %d", "NightJar", final_score, reached);
    ASSERT_TRUE(Expect(caller, expected));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));
    caller.Type("q");
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();
    EXPECT_TRUE(caller.WaitClosed());

    EXPECT_EQ(site.data("story.tsv"), Today() + "\tNightJar\t" + std::to_string(final_score) + "\t" +
                                          std::to_string(reached) + "\t0\n");
    EXPECT_NE(site.dir.read("door/highscores.asc").find("NightJar"), std::string::npos);
}

TEST(StorySession, QuittingAStageRecordsNothing)
{
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Quinn Quitter"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    // A 0xFF byte (sent doubled, as telnet does) is one ignored key: the
    // answer after it still counts.
    ASSERT_TRUE(Expect(caller, "[Y] ENABLE SOUND  [N] SILENT"));
    caller.Type("\xFF" "n");
    ASSERT_TRUE(CreateSurvivor(caller, "Quinn", '4'));
    ASSERT_TRUE(EnterFirstStage(caller));
    ASSERT_TRUE(Steps(caller, {{"1", "YOU SEARCH THE DARKNESS. SOMETHING MOVES."}, {"c", "[1] EXPLORE  [2] PUZZLE"}}));
    caller.Type("q");
    ASSERT_TRUE(AtLobby(caller));
    ASSERT_TRUE(Steps(caller, {{"h", "No Story Mode scores recorded yet."}}));
    caller.Type("c");
    ASSERT_TRUE(AtLobby(caller));
    caller.Type("q");
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();
    EXPECT_FALSE(site.has_data("story.tsv"));
}

// A modern terminal's cursor keys, plain and with Ctrl, Shift or Alt, and
// the other sequences it may send, press nothing: the lobby stays, and a
// fight takes no move (Ctrl-Up is not "1" STRIKE and "5" TAUNT).
TEST(StorySession, ModifiedKeysPressNothingInTheLobbyOrAFight)
{
    static const char keys[] = "\x1b[A\x1b[1;5A\x1b[1;2B\x1b[5;5~\x1b[1;3D\x1b[3;5~\x1b[<0;3;4M";
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Key Caller"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    ASSERT_TRUE(ReachLobbyAsNewCaller(caller, "Keys"));
    caller.Type(keys);
    caller.WaitQuiet(600);
    ASSERT_TRUE(Steps(caller, {{"h", "STORY MODE - TOP SCORES"}, {"c", "[Q] RETURN TO BBS"}}));

    ASSERT_TRUE(EnterFirstStage(caller));
    caller.Type("4");
    ASSERT_TRUE(AtGuardian(caller));
    std::string fight = caller.Dump();
    caller.Type(keys);
    caller.WaitQuiet(600);
    EXPECT_EQ(caller.Dump(), fight);
}
