// Runs played through a real door session: the test is the caller on the
// far end of a socket, reading the screen through an ANSI screen model and
// answering the prompts it sees, while the run plays in the test's thread.
#include <gtest/gtest.h>

#include "screen_caller.h"
#include "session.h"
#include "test_calendar.h"
#include "testdir.h"

#include "ODPlat.h"
#include "combat.h"
#include "daily.h"
#include "doorkit.h"
#include "profile.h"
#include "riddle.h"
#include "run.h"
#include "scene.h"
#include "screen.h"
#include "season.h"
#include "storage.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The caller's end, with the text column of the run's screens.
class Caller : public ScreenCaller {
public:
    using ScreenCaller::ScreenCaller;
    // The text column of a row (columns 3 to 43), trailing blanks removed.
    std::string Left(int row)
    {
        std::string text = Text(row, 3, 41);
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
};

// A door session on a given date with a caller of a class, playing from a
// fresh data directory.
class RunSession : public ::testing::Test {
protected:
    TestDir dir;
    TestCaller link;
    std::unique_ptr<Caller> caller;

    void Start(int year, int month, int day, int cls = 1)
    {
        ODPlatClockUseVirtual(1000, TestUtcSeconds(year, month, day, 12));
        od_control.caller_ansi = 1;
        od_control.always_clear_screen = 1;
        od_control.inactivity_disabled = 1;
        od_control.disable_flags |= OD_DISABLE_TIME_LIMIT;
        ASSERT_TRUE(TestStartSocketSession(&link, false));
        ASSERT_EQ(storage_prepare(dir.root().c_str()), 1);
        ASSERT_EQ(profile_set_identity("42"), 1);
        snprintf(player, sizeof player, "NightJar");
        player_class = cls;
        sound_enabled = 1;
        season_bind();
        caller.reset(new Caller(&link));
    }

    // Plays the run in this thread while the script answers as the caller.
    // A script that stops early (a failed assertion) would leave the run
    // waiting for keys: after a grace the caller then answers every prompt
    // with Q until the run gives up.
    void Play(int daily, std::function<void()> script)
    {
        std::atomic<bool> over(false);
        std::thread bot([&] {
            script();
            for (int waited = 0; !over; waited += 50) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                if (waited >= 5000 && !over) {
                    if (waited == 5000) ADD_FAILURE() << "the run went on after the script:\n" << caller->Screen();
                    caller->Type("q", false);
                }
            }
        });
        run(daily);
        over = true;
        bot.join();
    }

    std::string Read(const std::string &name)
    {
        std::ifstream in(dir.path(name), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
};

// ---- the stage page ----

TEST_F(RunSession, StagePageShowsTheWrappedClueMenuBarsAndStatus)
{
    Start(2026, 3, 10);  // March; a WARDEN
    Play(0, [&] {
        ASSERT_TRUE(caller->WaitFor("THE STOLEN SPRING"));
        EXPECT_TRUE(caller->Find("A counterfeit rainbow"));
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
        EXPECT_EQ(caller->Text(1, 42, 18), "RAINBOW CROSSROADS") << caller->Screen();
        // "Copper Crow guards the next seal. Break the vault and return the
        // first rain." wrapped within the text column, no word cut.
        EXPECT_EQ(caller->Left(5), "Copper Crow guards the next seal. Break");
        EXPECT_EQ(caller->Left(6), "the vault and return the first rain.");
        EXPECT_EQ(caller->Text(9, 3, 25), "[1] EXPLORE    [2] PUZZLE");
        EXPECT_EQ(caller->Text(10, 3, 34), "[3] TRUNK      [4] BOSS   [Q] QUIT");
        EXPECT_EQ(caller->Text(18, 3, 9), "HEALTH   ");
        EXPECT_EQ(caller->Text(20, 3, 9), "STAMINA  ");
        EXPECT_EQ(caller->Text(22, 3, 42), "STAGE 1/8 SCORE 0 TOKENS 20 KEYS 0 CLUES 0");
        caller->Type("q");
    });
    EXPECT_EQ(quit_requested, 0);
    EXPECT_EQ(in_adventure, 0);
    EXPECT_EQ(Read("data/story.tsv"), "");  // abandoned: nothing recorded
}

TEST_F(RunSession, TheFourthSearchFindsNothingButStillShowsTheDiscovery)
{
    Start(2026, 3, 10);
    Play(0, [&] {
        ASSERT_TRUE(caller->WaitFor("[C] CONTINUE"));
        caller->Type("c");
        for (int i = 0; i < 3; i++) {
            ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
            caller->Type("1");
            ASSERT_TRUE(caller->WaitFor("SOMETHING MOVES."));
            EXPECT_TRUE(caller->Find("At rainbow crossroads, you find a broken"));
            caller->Type("c");
        }
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE  [2] PUZZLE"));  // the second spacing
        caller->Type("1");
        ASSERT_TRUE(caller->WaitFor("Nothing else remains here."));
        EXPECT_TRUE(caller->Find("THE AREA HAS BEEN SEARCHED THOROUGHLY."));
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("SOMETHING MOVES."));
        EXPECT_TRUE(caller->Find("At rainbow crossroads"));
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
        caller->Type("\x1b");
    });
    EXPECT_EQ(exploration_count[0], 3);
}

TEST_F(RunSession, TwoStoryRunsOfAMonthSearchAlike)
{
    Start(2026, 5, 2);
    std::string status[2], health[2];
    for (int pass = 0; pass < 2; pass++) {
        Play(0, [&] {
            ASSERT_TRUE(caller->WaitFor("[C] CONTINUE"));
            caller->Type("c");
            for (int i = 0; i < 3; i++) {
                ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
                caller->Type("1");
                ASSERT_TRUE(caller->WaitFor("SOMETHING MOVES."));
                caller->Type("c");
            }
            ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
            status[pass] = caller->Text(22, 3, 44);
            health[pass] = caller->Text(18, 13, 16);
            caller->Type("q");
        });
    }
    EXPECT_EQ(status[0], status[1]);
    EXPECT_EQ(health[0], health[1]);
    EXPECT_NE(status[0].find("TOKENS"), std::string::npos);
}

// ---- the riddle ----

TEST_F(RunSession, FebruarysFirstSealAnswersThree)
{
    Start(2026, 2, 14);
    Play(0, [&] {
        ASSERT_TRUE(caller->WaitFor("[C] CONTINUE"));
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
        caller->Type("2");
        ASSERT_TRUE(caller->WaitFor("CHOOSE 1 / 2 / 3"));
        EXPECT_EQ(caller->Left(8), "February: I show the way but never");
        EXPECT_EQ(caller->Left(12), "[1] BELL [2] MIRROR [3] MAP");
        caller->Type("1");
        ASSERT_TRUE(caller->WaitFor("WRONG! THE GATE BITES. -12 SANITY."));
        EXPECT_EQ(caller->Fg(17, 3), 12);
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
        caller->Type("2");
        ASSERT_TRUE(caller->WaitFor("CHOOSE 1 / 2 / 3"));
        caller->Type("3");
        ASSERT_TRUE(caller->WaitFor("SEAL BROKEN! +125 SCORE, +1 KEY."));
        EXPECT_EQ(caller->Fg(17, 3), 10);
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
        caller->Type("2");
        ASSERT_TRUE(caller->WaitFor("No second reward from this lock."));
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
        EXPECT_TRUE(caller->Find("SCORE 125 TOKENS 20 KEYS 1 CLUES 1"));
        caller->Type("q");
    });
    EXPECT_EQ(hp, 108);  // a WARDEN's 120 less one wrong answer
}

// ---- the trunk ----

TEST_F(RunSession, TrunkLinesAreWholeAndPurchasesCount)
{
    Start(2026, 10, 3, 2);  // October; an ALCHEMIST with 32 candy
    Play(0, [&] {
        ASSERT_TRUE(caller->WaitFor("[C] CONTINUE", 20000));
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
        caller->Type("3");
        ASSERT_TRUE(caller->WaitFor("[C] LEAVE TRUNK"));
        EXPECT_EQ(caller->Left(7), "[1] CANDY BOMB      7 candy   (18 damage)");
        EXPECT_EQ(caller->Left(10), "[4] HOLY CIDER     8 candy   (+25 sanity)");
        EXPECT_EQ(caller->Left(14), "CANDY: 32");
        caller->Type("5");
        ASSERT_TRUE(caller->WaitFor("CANDY: 17"));
        caller->Type("5");  // 17 candy: a second sharpening is paid
        ASSERT_TRUE(caller->WaitFor("CANDY: 2"));
        caller->Type("1");  // cannot pay: nothing happens
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[3] TRUNK    [4] BOSS  [Q] QUIT"));
        caller->Type("q");
    });
    EXPECT_EQ(blade_upgrade, 8);
    EXPECT_EQ(weapon, 0);
    EXPECT_EQ(coins, 2);
}

// ---- combat ----

TEST_F(RunSession, CombatPageAndTheExhaustedNotice)
{
    Start(2026, 10, 3);
    Play(0, [&] {
        ASSERT_TRUE(caller->WaitFor("[C] CONTINUE", 20000));
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
        caller->Type("4");
        ASSERT_TRUE(caller->WaitFor("BOSS HP"));
        EXPECT_EQ(caller->Left(6), "BOSS: RANCID ROOT");
        EXPECT_EQ(caller->Text(8, 13, 16), "[" + std::string(14, '\xDB') + "]");
        EXPECT_EQ(caller->Left(10), "[1] CARVE (12) [2] THROW CANDY (18)");
        EXPECT_EQ(caller->Left(11), "[3] DODGE");
        EXPECT_EQ(caller->Left(12), "[4] SPECIAL (supply) [5] TAUNT (+stamina)");
        EXPECT_EQ(caller->Left(14), "ROOT: YOUR BONES WILL FEED MY VINES!");
        caller->Type("4");  // no item readied: the page is drawn again
        ASSERT_TRUE(caller->WaitFor("BOSS HP"));
        caller->Type("q");
    });
    EXPECT_EQ(rounds, 0);
    EXPECT_EQ(hp, 120);
}

// Plays every prompt of a run with a simple strategy until the final
// screen; returns false if a prompt did not come.
bool Autoplay(Caller *caller)
{
    for (int step = 0; step < 2000; step++) {
        int seen = caller->WaitForAny({"FINAL SCORE", "[C] CONTINUE", "BOSS HP", "[1] EXPLORE", "CHOOSE 1 / 2 / 3",
                                       "[1] FOLLOW THE DANGEROUS SHORTCUT", "[2] TAKE A SAFER ROUTE", "[1] SEARCH FOR",
                                       "[1] CLIMB THE STEEPLE", "[1] PROTECT THE CANDLE"},
                                      20000);
        if (getenv("BOT_TRACE")) fprintf(stderr, "step %d seen %d\n%s", step, seen, caller->Screen().c_str());
        switch (seen) {
        case 0: caller->Type("c"); return true;
        case 1: caller->Type("c"); break;
        case 2:
            caller->Type(caller->Find("STAMINA   [" + std::string(2, '\xDB')) ? "1" : "5");
            break;
        case 3: caller->Type("4"); break;
        case 4:
        case 5:
        case 6:
        case 7:
        case 8:
        case 9: caller->Type("1"); break;
        default: return false;
        }
    }
    return false;
}

TEST_F(RunSession, AStoryPlayedToItsEndIsRecordedOnce)
{
    Start(2026, 6, 20, 0);
    Play(0, [&] { EXPECT_TRUE(Autoplay(caller.get())) << caller->Screen(); });
    std::string story = Read("data/story.tsv");
    char expected[96];
    snprintf(expected, sizeof expected, "20260620\tNightJar\t%d\t%d\t0\n", score, level + 1);
    EXPECT_EQ(story, expected);
    EXPECT_EQ(in_adventure, 0);
}

TEST_F(RunSession, TheSameMonthAndChoicesGiveTheSameStory)
{
    Start(2026, 7, 4, 3);
    int first[3], second[3];
    Play(0, [&] { EXPECT_TRUE(Autoplay(caller.get())); });
    first[0] = score, first[1] = level, first[2] = hp;
    Play(0, [&] { EXPECT_TRUE(Autoplay(caller.get())); });
    second[0] = score, second[1] = level, second[2] = hp;
    EXPECT_EQ(first[0], second[0]);
    EXPECT_EQ(first[1], second[1]);
    EXPECT_EQ(first[2], second[2]);
}

// ---- the daily ----

TEST_F(RunSession, DailyOpensWithTheDatesValues)
{
    Start(2026, 4, 26, 3);  // day 26: even and 13 divides it
    Play(1, [&] {
        ASSERT_TRUE(caller->WaitFor("DAILY NIGHTMARE: ONE BOSS. ONE SHOT."));
        EXPECT_EQ(caller->Left(10), "DAY 26: PUDDLE LANE");  // place (26-1) mod 8 = 1
        caller->Type("q");
    });
    EXPECT_EQ(energy, 65);
    EXPECT_EQ(level, (3 + 26 + 2026) % 8);
    // Abandoned: the day is free again, nothing recorded.
    EXPECT_FALSE(dir.exists("data/daily.tsv") && Read("data/daily.tsv") != "");
    EXPECT_EQ(daily_reserved, 0);
}

TEST_F(RunSession, AbandoningTheDailyAtTheGuardianLetsTheCallerTryAgain)
{
    Start(2026, 4, 8);
    for (int attempt = 0; attempt < 2; attempt++) {
        Play(1, [&] {
            for (;;) {
                int seen = caller->WaitForAny({"BOSS HP", "[C] CONTINUE", "SHORTCUT", "CHOOSE 1 / 2 / 3",
                                               "DAILY UNAVAILABLE"});
                if (seen == 0) {
                    caller->Type("q");
                    return;
                }
                if (seen == 4 || seen < 0) {
                    ADD_FAILURE() << caller->Screen();
                    caller->Type("c");
                    return;
                }
                caller->Type(seen == 1 ? "c" : "2");
            }
        });
    }
    EXPECT_EQ(Read("data/daily-lock.tsv"), "");
    EXPECT_EQ(daily_reserved, 0);
}

TEST_F(RunSession, ASecondDailyTheSameDayIsRefused)
{
    Start(2026, 4, 9);
    Play(1, [&] { EXPECT_TRUE(Autoplay(caller.get())) << caller->Screen(); });
    EXPECT_NE(Read("data/daily.tsv"), "");
    // Waits for keys run the virtual clock on as fast as the machine
    // allows: the second try is made the same day however long the first
    // took.
    ODPlatClockUseVirtual(ODPlatTickMs(), TestUtcSeconds(2026, 4, 9, 12));
    Play(1, [&] {
        ASSERT_TRUE(caller->WaitFor("DAILY UNAVAILABLE"));
        EXPECT_EQ(caller->Line(7).substr(3), "Already played or running. Try tomorrow.");
        EXPECT_EQ(caller->Line(10).substr(3), "Story mode is always available.");
        caller->Type("c");
    });
    EXPECT_EQ(in_adventure, 0);
}

// ---- the end effect and the finale ----

TEST_F(RunSession, TheEndEffectPausesAboutTwoAndAHalfSeconds)
{
    Start(2026, 10, 12);
    uint64_t before = ODPlatTickMs();
    explosion(1);
    uint64_t spent = ODPlatTickMs() - before;
    EXPECT_GE(spent, 2370u);  // 115 + 130 + ... + 280 ms
    EXPECT_LT(spent, 2600u);
    ASSERT_TRUE(caller->WaitFor("THE PUMPKINS HAVE YOUR KEYS NOW.")) << caller->Screen();
    EXPECT_TRUE(caller->Find("THE ADVENTURE ENDS"));
    EXPECT_EQ(caller->Fg(22, 5), 14);  // the last frame is odd
    EXPECT_EQ(caller->Music().back(), "MFT85O3L4C.P8<G.C");

    explosion(0);
    ASSERT_TRUE(caller->WaitFor("SOMEONE GET THE MARSHMALLOWS!"));
    EXPECT_TRUE(caller->Find("THE FINAL SEAL BREAKS!"));
}

TEST_F(RunSession, ScenePicturesChangeAtTheSixthStage)
{
    Start(2026, 10, 12);
    // The October picture as each variant draws it, to compare against.
    auto cells = [&](std::vector<int> *out) {
        out->clear();
        for (int row = 4; row <= 22; row++)
            for (int col = 47; col <= 76; col++) out->push_back(caller->Fg(row, col) * 16 + caller->Bg(row, col));
    };
    std::vector<int> plain, veined, stage5, stage6;
    header("");
    grimby_art(47, 4, 0);
    od_kernel();  // the kit sends what it collected when another call begins
    ASSERT_TRUE(caller->WaitFor("HARVESTFALL"));
    cells(&plain);
    header("X");
    grimby_art(47, 4, 2);
    od_kernel();
    ASSERT_TRUE(caller->WaitFor(" X"));
    cells(&veined);
    ASSERT_NE(plain, veined);
    level = 4;
    scene("FIFTH");
    od_kernel();
    ASSERT_TRUE(caller->WaitFor("FIFTH"));
    cells(&stage5);
    level = 5;
    scene("SIXTH");
    od_kernel();
    ASSERT_TRUE(caller->WaitFor("SIXTH"));
    cells(&stage6);
    EXPECT_EQ(stage5, plain);
    EXPECT_EQ(stage6, veined);
    EXPECT_TRUE(caller->Find("THE SCARECROW COURT"));
    EXPECT_TRUE(caller->Find("SANITY"));
}

TEST_F(RunSession, ProseStopsAtRowTwenty)
{
    Start(2026, 1, 12);
    std::string text;
    for (int i = 0; i < 30; i++) text += "word" + std::to_string(i) + " ";
    header("PROSE");
    prose(19, 14, text.c_str(), 40);
    put(3, 23, 7, "END");
    od_kernel();
    ASSERT_TRUE(caller->WaitFor("END"));
    EXPECT_EQ(caller->Left(19).substr(0, 5), "word0");
    EXPECT_NE(caller->Left(20), "");
    EXPECT_EQ(caller->Left(21), "");
    EXPECT_EQ(caller->Left(22), "");
}

TEST_F(RunSession, HalloweenFinaleWithTheWardLantern)
{
    Start(2026, 10, 31);
    run_reset(0);
    in_adventure = 1;
    Halloween_mode = 1;
    level = 7;
    lantern_upgrade = 1;
    hp = 90;
    score = 1000;
    std::thread bot([&] {
        ASSERT_TRUE(caller->WaitFor("[2] LIGHT THE WARD LANTERN"));
        EXPECT_TRUE(caller->Find("HALLOWEEN - THE THIRTEENTH BELL"));
        caller->Type("2");
        ASSERT_TRUE(caller->WaitFor("[1] PROTECT THE CANDLE"));
        EXPECT_TRUE(caller->Find("HALLOWEEN - THE LAST FLAME"));
        caller->Type("1");
        ASSERT_TRUE(caller->WaitFor("HALLOWEEN - DAWN BREAKS"));
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("FINAL SCORE"));
        caller->Type("c");
    });
    run_halloween_finale(0);
    bot.join();
    EXPECT_EQ(score, 1000 + 500 + 800 + 1000);
    EXPECT_EQ(hp, 100);
    char line[96];
    snprintf(line, sizeof line, "20261031\tNightJar\t%d\t8\t0\n", score);
    EXPECT_EQ(Read("data/story.tsv"), line);
}

TEST_F(RunSession, AQuitAtTheBellStillRecords)
{
    Start(2026, 10, 31);
    run_reset(0);
    in_adventure = 1;
    Halloween_mode = 1;
    level = 7;
    score = 777;
    std::thread bot([&] {
        ASSERT_TRUE(caller->WaitFor("[2] LIGHT THE WARD LANTERN"));
        caller->Type("q");
        ASSERT_TRUE(caller->WaitFor("FINAL SCORE"));
        caller->Type("c");
    });
    run_halloween_finale(1);
    bot.join();
    EXPECT_NE(Read("data/daily.tsv").find("\t777\t8\t1"), std::string::npos);
}

TEST_F(RunSession, TheOctoberOpeningFlickers)
{
    Start(2026, 10, 5);
    Play(0, [&] {
        ASSERT_TRUE(caller->WaitFor("The nightmare begins."));
        EXPECT_TRUE(caller->Find("THE NIGHT IT BEGAN"));
        EXPECT_EQ(caller->Text(5, 4, 29), "You buy a pumpkin. Maybe two.");
        EXPECT_EQ(caller->Text(13, 4, 30), "GRIMBY: THE HARVEST HAS BEGUN.");
        // The shape in the back seat is gone again.
        EXPECT_EQ(caller->Text(4, 38, 6), "      ");
        EXPECT_EQ(caller->Text(5, 38, 6), "      ");
        caller->Type("q");
    });
}

TEST_F(RunSession, AStrikeWithoutStaminaSaysSoAndCostsNoTurn)
{
    Start(2026, 1, 20);
    run_reset(0);
    in_adventure = 1;
    energy = 5;
    std::thread bot([&] {
        ASSERT_TRUE(caller->WaitFor("BOSS HP"));
        EXPECT_TRUE(caller->Find("BOSS: RIME RUNNER"));
        EXPECT_EQ(caller->Left(14), "Rebuild the clock and thaw the town.");  // the month's goal
        caller->Type("1");
        // The notice stays on the freshly drawn page until the next key.
        ASSERT_TRUE(caller->WaitFor("TOO EXHAUSTED! REST WITH [5]."));
        EXPECT_EQ(caller->Fg(16, 3), 12);
        EXPECT_TRUE(caller->Find("BOSS HP"));
        caller->Type("5");
        ASSERT_TRUE(caller->WaitFor("BOSS HP"));
        EXPECT_FALSE(caller->Find("TOO EXHAUSTED"));
        caller->Type("\x1b");
    });
    combat();
    bot.join();
    EXPECT_EQ(rounds, 1);  // only the taunt
    EXPECT_EQ(energy, 5 + 14 - 5 * 0);
    EXPECT_EQ(quit_requested, 1);
}

TEST_F(RunSession, AGuardianFallsForAKey)
{
    Start(2026, 1, 20);
    run_reset(0);
    in_adventure = 1;
    weapon = 2;
    std::thread bot([&] {
        for (int turn = 0;; turn++) {
            int seen = caller->WaitForAny({"THE MONSTER FALLS!", "BOSS HP"});
            ASSERT_GE(seen, 0);
            if (seen == 0) break;
            caller->Type(turn == 0 ? "4" : "1");  // the power shot first
        }
        EXPECT_EQ(caller->Left(11), "GUARDIAN DEFEATED! YOU RECOVER TOKENS");
        EXPECT_EQ(caller->Left(12), "AND A SEAL KEY.");
        EXPECT_TRUE(caller->Find("KEYS 1"));
        caller->Type("c");
    });
    combat();
    bot.join();
    EXPECT_EQ(keys, 1);
    EXPECT_GE(hp, 1);
    EXPECT_EQ(weapon, 0);
}

TEST_F(RunSession, ACursorKeyIsNotAnEscape)
{
    Start(2026, 3, 10);
    Play(0, [&] {
        ASSERT_TRUE(caller->WaitFor("[C] CONTINUE"));
        caller->Type("\x1b[B", false);  // Down at a continue prompt: nothing happens
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
        caller->Type("\x1b[A\x1b[6~", false);  // Up and Page Down: nothing happens
        caller->Type("3");
        ASSERT_TRUE(caller->WaitFor("[C] LEAVE TRUNK"));
        caller->Type("\x1b");  // a lone Escape leaves the trunk
        ASSERT_TRUE(caller->WaitFor("[3] TRUNK    [4] BOSS  [Q] QUIT"));
        caller->Type("\x1b");  // and abandons the run at the stage menu
    });
    EXPECT_EQ(in_adventure, 0);
    EXPECT_EQ(Read("data/story.tsv"), "");
}

TEST_F(RunSession, ACursorKeyAtTheDailyMissionChoiceIsNotAnEscape)
{
    Start(2026, 4, 9);
    Play(1, [&] {
        ASSERT_TRUE(caller->WaitFor("[C] CONTINUE"));
        caller->Type("c");
        ASSERT_TRUE(caller->WaitFor("[2] TAKE THE SAFER ROUTE"));
        caller->Type("\x1b[A\x1b[B", false);  // Up and Down: nothing happens
        caller->Type("2");
        ASSERT_TRUE(caller->WaitFor("THE PATIENT PATH")) << caller->Screen();
        EXPECT_EQ(daily_reserved, 1);  // still playing the day
        caller->Type("q", false);
    });
}

// ---- a caller who drops ----
// The kit stops the session when carrier goes, gives the game a moment to
// finish, then ends the process with exit code 1; what the run did in that
// moment is checked in the ending process itself.

TEST_F(RunSession, ACallerWhoDropsDuringTheDailyKeepsTheDay)
{
    EXPECT_EXIT(
        {
            Start(2026, 4, 8);
            char reservation[160];
            daily_reservation_name(reservation, sizeof reservation, profile_path, season_stamp);
            Play(1, [&] {
                ASSERT_TRUE(caller->WaitFor("[C] CONTINUE"));
                ASSERT_TRUE(dir.exists(reservation));  // held while the day is played
                caller->Hangup();
            });
            fprintf(stderr, "reserved %d, directory %d, recorded %d\n", daily_reserved,
                    (int)dir.exists(reservation), (int)!Read("data/daily.tsv").empty());
            for (;;) od_sleep(100);
        },
        ::testing::ExitedWithCode(1), "reserved 0, directory 0, recorded 0");
}

TEST_F(RunSession, ACallerWhoDropsDuringTheStoryKeepsTheScoreReached)
{
    EXPECT_EXIT(
        {
            Start(2026, 4, 8);
            Play(0, [&] {
                ASSERT_TRUE(caller->WaitFor("[C] CONTINUE"));
                caller->Type("c");
                ASSERT_TRUE(caller->WaitFor("[1] EXPLORE"));
                caller->Hangup();
            });
            fprintf(stderr, "story: %s\n", Read("data/story.tsv").c_str());
            for (;;) od_sleep(100);
        },
        ::testing::ExitedWithCode(1), "story: 20260408\tNightJar\t0\t1\t0");
}

}  // namespace
