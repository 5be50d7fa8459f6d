// The game's entry played as a BBS runs it: this test binary, copied into a
// fresh door directory, runs grimby_main as its own process on a socket the
// "BBS" hands over in a DOOR32.SYS, and the test is the caller on the other
// end, reading the screens through an ANSI screen model and typing.
//
// The door runs on the kit's virtual clock from a fixed UTC moment. Every
// sleep of the game thread also takes a few real milliseconds, so timed
// screens (the opening's slides, the walking figure) pass at a pace a
// caller can type into, while waits for a key race ahead.
#include <gtest/gtest.h>

#include "door_process.h"
#include "screen_caller.h"
#include "session.h"
#include "test_calendar.h"
#include "testdir.h"

#include "ODCore.h"
#include "ODInEx.h"
#include "ODPlat.h"
#include "doorkit.h"
#include "grimby.h"
#include "profile.h"
#include "season.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// ---- the door's side: this binary run as GRIMBY ----

#define ENTRY_ENV_ARGS "GRIMBY_TEST_ENTRY_ARGS"
#define ENTRY_ENV_WALL "GRIMBY_TEST_ENTRY_WALL"

namespace {

std::thread::id idGameThread;

// The kit's own hook sends collected output before a sleep; this one does
// the same and then lets real time pass too.
void PacedSleep(void)
{
    if (std::this_thread::get_id() != idGameThread) return;
    ODCoreFlushOutput();
    usleep(3000);
}

int RunGameIfAsked()
{
    const char *args = getenv(ENTRY_ENV_ARGS);
    const char *wall = getenv(ENTRY_ENV_WALL);
    if (!args || !wall) return 0;
    ODPlatClockUseVirtual(1000000, strtoll(wall, nullptr, 10));
    // Virtual minutes pass while the test reads a screen: neither the
    // caller's time nor inactivity may end the session under it.
    od_control.inactivity_disabled = 1;
    od_control.disable_flags |= OD_DISABLE_TIME_LIMIT;
    idGameThread = std::this_thread::get_id();
    std::thread([] {
        // The kit installs its hook during start-up; ours replaces it once
        // the session runs.
        while (eODLifecycleState < OD_STATE_RUNNING) usleep(500);
        ODPlatSetSleepHook(PacedSleep);
    }).detach();
    exit(grimby_main(args));
}

const int kRunAsGame = RunGameIfAsked();

using Clock = std::chrono::steady_clock;

// ---- the caller's side ----

// The caller's end, with what the entry's screens need besides.
class Caller : public ScreenCaller {
public:
    using ScreenCaller::ScreenCaller;
    // Waits for a whole lobby drawn after the last keys: its menu and then
    // its last line, the date or the Halloween line.
    bool WaitForLobby(int timeout_ms = 10000)
    {
        return WaitUntil(
            [](const std::string &transcript, size_t mark) {
                size_t menu = transcript.find("[Q] RETURN TO BBS", mark);
                return menu != std::string::npos &&
                       (transcript.find("NEW MONTH, NEW STORY", menu) != std::string::npos ||
                        transcript.find("HALLOWEEN: FINAL BOSS", menu) != std::string::npos);
            },
            timeout_ms);
    }
    // The picture at columns 47 to 80, rows 3 to 22: characters and colours.
    std::string Art()
    {
        AnsiScreen screen = Snapshot();
        std::string all;
        for (int r = 3; r <= 22; r++)
            for (int c = 47; c <= 80; c++) {
                all += (char)screen.ch(r, c);
                all += (char)screen.attr(r, c);
            }
        return all;
    }
};

// A door directory with GRIMBY in it (this binary), score sharing on and a
// sync worker that only notes each start, so the arrival and exit steps
// leave a trace.
class EntrySession : public ::testing::Test {
protected:
    TestDir dir;
    TestCaller link;
    std::unique_ptr<Caller> caller;
    TestDoor door;
    std::string name = "Ann Example";

    void SetUp() override
    {
        std::filesystem::copy_file(TestSelfExe(), dir.path("GRIMBY"));
        chmod(dir.path("GRIMBY").c_str(), 0755);
        dir.write("grimby.json", "{ \"bbs_name\": \"Test BBS\", \"score_sharing\": { \"enabled\": true } }");
        dir.mkdir("hub");
        dir.write("hub/sync.json", "{}");
        dir.write("hub/GRIMBY-SYNC", "#!/bin/sh\necho started >> '" + dir.path("sync-starts") + "'\n");
        chmod(dir.path("hub/GRIMBY-SYNC").c_str(), 0755);
    }
    void TearDown() override
    {
        caller.reset();
        if (door.pid > 0) TestDoorWait(&door, 0);
    }

    // Starts GRIMBY as the BBS would at the UTC moment; args replace the
    // drop file hand-over when given.
    void Start(int64_t wall, const std::string &args = "")
    {
        int64_t fd = -1;
        ASSERT_TRUE(TestMakeLink(TEST_LINK_PAIR, &fd, &link));
        std::string line = args;
        if (line.empty()) {
            dir.write("DOOR32.SYS", "2\r\n" + std::to_string(fd) + "\r\n38400\r\nTest BBS\r\n7\r\n" + name +
                                        "\r\nAnnie\r\n20\r\n60\r\n1\r\n2\r\n");
            line = "-D " + dir.path("DOOR32.SYS");
        } else {
            line += " -SOCKET " + std::to_string(fd);
        }
        TestDoorOptions options;
        options.args = line;
        options.cwd = "/";  // the game moves to its own directory
        options.inherit = {(int)fd};
        ASSERT_TRUE(Launch(options, wall));
        close((int)fd);
        caller.reset(new Caller(&link));
    }

    // The game's exit code once it ends on its own.
    int Ended(int timeout_ms = 10000)
    {
        std::string err;
        int code = TestDoorWait(&door, timeout_ms, &err);
        EXPECT_NE(code, -1000) << "the game did not end:\n" << caller->Screen();
        EXPECT_EQ(err, "");
        return code;
    }

    // Starts of the sync worker seen (it runs detached: a short wait).
    int SyncStarts(int expected)
    {
        int starts = 0;
        for (int i = 0; i < 100; i++) {
            std::ifstream in(dir.path("sync-starts"));
            std::string word;
            starts = 0;
            while (in >> word) starts++;
            if (starts >= expected && (expected > 0 || i >= 10)) break;
            usleep(20000);
        }
        return starts;
    }

    std::string ProfilePath() const
    {
        char name_hex[64];
        snprintf(name_hex, sizeof name_hex, "data/profile-%016llx.tsv",
                 (unsigned long long)profile_hash(("7:" + name).c_str()));
        return dir.path(name_hex);
    }
    void WriteProfile(const std::string &handle, int cls)
    {
        // Through the game's own save, so the file is what it writes.
        strcpy(display_handle, handle.c_str());
        make_plain_handle(display_handle);
        gender = 1;
        player_class = cls;
        std::filesystem::create_directories(dir.path("data"));
        ASSERT_EQ(profile_save(ProfilePath().c_str()), 1);
    }

    // The start-up prompts answered at once for a returning caller: silent,
    // continue, and straight to the lobby in October.
    void ArriveInLobby(int64_t wall, bool october)
    {
        WriteProfile("|12Night|04Jar", 1);
        Start(wall);
        caller->Type(october ? "ncg" : "nc");
        ASSERT_TRUE(caller->WaitForLobby()) << caller->Screen();
    }

    void ExpectMenu()
    {
        EXPECT_EQ(caller->Text(11, 3, 28), "[S] STORY - 8 MONTHLY STAGES");
        EXPECT_EQ(caller->Fg(11, 3), 11);
        EXPECT_EQ(caller->Text(13, 3, 31), "[D] DAILY - ONE DATED CHALLENGE");
        EXPECT_EQ(caller->Fg(13, 3), 14);
        EXPECT_EQ(caller->Text(15, 3, 32), "[H] HALL OF FAME (STORY / DAILY)");
        EXPECT_EQ(caller->Fg(15, 3), 10);
        EXPECT_EQ(caller->Text(17, 3, 17), "[Q] RETURN TO BBS");
        EXPECT_EQ(caller->Fg(17, 3), 7);
    }

private:
    bool Launch(const TestDoorOptions &options, int64_t wall)
    {
        // TestDoorStart runs the test binary where it was built; the game
        // must run from its own directory, so start the copy here.
        int err[2];
        if (pipe(err) != 0) return false;
        std::string exe = dir.path("GRIMBY");
        pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            int null_fd = open("/dev/null", O_RDWR);
            dup2(null_fd, 0);
            dup2(null_fd, 1);
            dup2(err[1], 2);
            for (int fd = 3; fd < 1024; fd++)
                if (fd != options.inherit[0]) close(fd);
            fcntl(options.inherit[0], F_SETFD, 0);
            setenv(ENTRY_ENV_ARGS, options.args.c_str(), 1);
            setenv(ENTRY_ENV_WALL, std::to_string(wall).c_str(), 1);
            if (chdir(options.cwd.c_str()) != 0) _exit(120);
            execl(exe.c_str(), exe.c_str(), (char *)nullptr);
            _exit(121);
        }
        close(err[1]);
        door.pid = pid;
        door.err_fd = err[0];
        return true;
    }
};

// ---- the music question and a new caller ----

TEST_F(EntrySession, NewCallerAnswersTheMusicQuestionCreatesASurvivorAndReachesTheLobby)
{
    Start(TestUtcSeconds(2026, 3, 10, 12, 0, 0));
    ASSERT_TRUE(caller->WaitForDrawn("GRIMBY CAN PLAY ANSI MUSIC NOTES.")) << caller->Screen();
    ASSERT_TRUE(caller->WaitForDrawn("SyncTERM: enable ANSI music in setup."));
    EXPECT_EQ(caller->Text(1, 42, 19), "SYNCTERM ANSI MUSIC");
    EXPECT_EQ(caller->Text(5, 3, 33), "GRIMBY CAN PLAY ANSI MUSIC NOTES.");
    EXPECT_EQ(caller->Fg(5, 3), 14);
    EXPECT_EQ(caller->Text(7, 3, 15), "[T] TEST MELODY");
    EXPECT_EQ(caller->Fg(7, 3), 11);
    EXPECT_EQ(caller->Text(9, 3, 28), "[Y] ENABLE SOUND  [N] SILENT");
    EXPECT_EQ(caller->Fg(9, 3), 11);
    EXPECT_EQ(caller->Text(12, 3, 37), "Requires ANSI music-capable terminal.");
    EXPECT_EQ(caller->Fg(12, 3), 7);
    EXPECT_EQ(caller->Text(14, 3, 37), "SyncTERM: enable ANSI music in setup.");
    EXPECT_EQ(caller->Fg(14, 3), 8);
    EXPECT_TRUE(caller->Music().empty());

    // Other keys are ignored; T plays the scale each time it is pressed.
    caller->Type("x1 \r");
    caller->WaitQuiet(200);
    EXPECT_TRUE(caller->Find("GRIMBY CAN PLAY ANSI MUSIC NOTES."));
    EXPECT_FALSE(caller->Find("Did you hear"));
    caller->Type("T");
    ASSERT_TRUE(caller->WaitForDrawn("Did you hear the scale? Choose Y/N."));
    EXPECT_EQ(caller->Text(19, 3, 35), "Did you hear the scale? Choose Y/N.");
    EXPECT_EQ(caller->Fg(19, 3), 14);
    caller->Type("t");
    caller->WaitQuiet(200);
    ASSERT_EQ(caller->Music().size(), 2u);
    EXPECT_EQ(caller->Music()[0], "MFT150O4L8CDEFGAB>C");
    EXPECT_EQ(caller->Music()[1], "MFT150O4L8CDEFGAB>C");

    // The answer: silent, after all.
    caller->Type("n");
    ASSERT_TRUE(caller->WaitForDrawn("CHOOSE YOUR SURVIVOR")) << caller->Screen();
    caller->Type("|10Moth\r");
    ASSERT_TRUE(caller->WaitForDrawn("[Y] YES, KEEP IT"));
    caller->Type("y");
    ASSERT_TRUE(caller->WaitForDrawn("CHOOSE M / F"));
    caller->Type("f");
    ASSERT_TRUE(caller->WaitForDrawn("[5] MEDIUM"));
    caller->Type("2");

    // March's lobby: its campaign, its picture, today's date line.
    ASSERT_TRUE(caller->WaitForDrawn("UTC - NEW MONTH, NEW STORY")) << caller->Screen();
    EXPECT_EQ(caller->Text(1, 2, 16), "GRIMBY - ALMANAC");
    EXPECT_EQ(caller->Text(1, 42, 17), "THE STOLEN SPRING");
    EXPECT_EQ(caller->Fg(1, 42), 14);
    EXPECT_NE(caller->Line(2).find("Test BBS"), std::string::npos);
    EXPECT_EQ(caller->Text(5, 3, 6), "March ");
    EXPECT_EQ(caller->Fg(5, 3), 14);
    EXPECT_EQ(caller->Text(7, 3, 39), "Break the vault and return the first   ");
    EXPECT_EQ(caller->Text(8, 3, 5), "rain.");
    EXPECT_EQ(caller->Fg(7, 3), 7);
    ExpectMenu();
    EXPECT_EQ(caller->Text(19, 3, 42), "March 10, 2026 UTC - NEW MONTH, NEW STORY ");
    EXPECT_EQ(caller->Fg(19, 3), 14);
    // The month's picture fills the right-hand side.
    int drawn = 0;
    for (int r = 4; r <= 22; r++)
        for (int c = 47; c <= 80; c++) drawn += caller->Text(r, c, 1) != " " || caller->Fg(r, c) != 7;
    EXPECT_GT(drawn, 100) << caller->Screen();
    // No music was ever asked for after "N".
    EXPECT_EQ(caller->Music().size(), 2u);

    // The survivor is kept for the next call.
    std::ifstream saved(ProfilePath());
    std::string profile_line;
    ASSERT_TRUE((bool)std::getline(saved, profile_line)) << ProfilePath();
    EXPECT_NE(profile_line.find("|10Moth"), std::string::npos);

    caller->Type("q");
    EXPECT_EQ(Ended(), 0);
    EXPECT_EQ(SyncStarts(2), 2);  // arrival and exit
}

TEST_F(EntrySession, ReturningCallerIsWelcomedBackAndYEnablesSound)
{
    WriteProfile("|14Old|02Timer", 3);
    Start(TestUtcSeconds(2026, 6, 21, 8, 30, 0));
    ASSERT_TRUE(caller->WaitForDrawn("[N] SILENT"));
    caller->Type("Y");
    ASSERT_TRUE(caller->WaitForDrawn("[N] CREATE A NEW SURVIVOR")) << caller->Screen();
    EXPECT_EQ(caller->Text(1, 42, 12), "WELCOME BACK");
    EXPECT_EQ(caller->Text(5, 3, 32), "YOUR SURVIVOR PROFILE WAS FOUND:");
    EXPECT_EQ(caller->Text(8, 4, 8), "OldTimer");
    EXPECT_EQ(caller->Fg(8, 4), 14);
    EXPECT_EQ(caller->Fg(8, 7), 2);
    caller->Type("c");
    ASSERT_TRUE(caller->WaitForDrawn("UTC - NEW MONTH, NEW STORY"));
    EXPECT_EQ(caller->Text(1, 42, 26), "THE SUN THAT WOULD NOT SET");
    EXPECT_EQ(caller->Text(19, 3, 40), "June 21, 2026 UTC - NEW MONTH, NEW STORY");
    caller->Type("\x1b");
    EXPECT_EQ(Ended(), 0);
    EXPECT_EQ(SyncStarts(2), 2);
}

// ---- the October opening ----

class OctoberOpening : public EntrySession {
protected:
    void ToOpening()
    {
        WriteProfile("Pumpkin", 0);
        Start(TestUtcSeconds(2026, 10, 12, 20, 0, 0));
        caller->Type("nc");
        ASSERT_TRUE(caller->WaitForDrawn("[W] WATCH THE 60-SECOND OPENING")) << caller->Screen();
    }
    size_t Slides(const std::string &transcript) { return TestCount(transcript, "Q TWICE: SKIP TO GAME LOBBY"); }
};

TEST_F(OctoberOpening, AsksGoOrWatchAndGGoesStraightToTheLobby)
{
    ToOpening();
    EXPECT_EQ(caller->Text(1, 2, 11), "HARVESTFALL");
    EXPECT_EQ(caller->Text(1, 42, 18), "THE NIGHT IT BEGAN");
    EXPECT_EQ(caller->Text(6, 3, 33), "WELCOME TO THE HARVEST, SURVIVOR.");
    EXPECT_EQ(caller->Fg(6, 3), 14);
    EXPECT_EQ(caller->Text(8, 3, 7), "Pumpkin");
    EXPECT_EQ(caller->Text(11, 3, 28), "[G] GO STRAIGHT TO THE LOBBY");
    EXPECT_EQ(caller->Fg(11, 3), 11);
    EXPECT_EQ(caller->Text(13, 3, 31), "[W] WATCH THE 60-SECOND OPENING");
    EXPECT_EQ(caller->Fg(13, 3), 14);
    caller->Type("qx\r");  // neither G nor W: still asked
    caller->WaitQuiet(200);
    EXPECT_TRUE(caller->Find("[W] WATCH THE 60-SECOND OPENING"));
    caller->Type("G");
    ASSERT_TRUE(caller->WaitForDrawn("NEW MONTH, NEW STORY")) << caller->Screen();
    EXPECT_EQ(Slides(caller->Transcript()), 0u);
}

TEST_F(OctoberOpening, WatchedToTheEndShowsTenSlidesThenTheLobby)
{
    ToOpening();
    caller->Type("w");
    ASSERT_TRUE(caller->WaitForDrawn("THE PUMPKIN STAND"));
    ASSERT_TRUE(caller->WaitForDrawn("OCTOBER. THE LAST LIGHT OF THE HARVEST."));
    EXPECT_EQ(caller->Fg(8, 3), 14);
    EXPECT_EQ(caller->Text(19, 3, 27), "Q TWICE: SKIP TO GAME LOBBY");
    EXPECT_EQ(caller->Fg(19, 3), 8);
    ASSERT_TRUE(caller->WaitForDrawn("THE AWAKENING", 20000));
    ASSERT_TRUE(caller->WaitForDrawn("TWO YELLOW EYES OPEN IN THE"));
    EXPECT_EQ(caller->Fg(8, 3), 12);
    ASSERT_TRUE(caller->WaitForDrawn("NEW MONTH, NEW STORY", 20000)) << caller->Screen();
    std::string all = caller->Transcript();
    EXPECT_EQ(Slides(all), 10u);
    EXPECT_NE(all.find("THE HARVEST HAS TEETH. SURVIVE THE"), std::string::npos);
    EXPECT_TRUE(caller->Music().empty());  // sound is off
}

TEST_F(OctoberOpening, OneQDoesNotSkipAndAnotherKeyBetweenResetsTheCount)
{
    ToOpening();
    caller->Type("wQ");
    ASSERT_TRUE(caller->WaitForSent("Q TWICE", 3));  // third slide
    caller->Type("x");
    ASSERT_TRUE(caller->WaitForSent("Q TWICE", 5));
    caller->Type("q");  // a count of one again, not two
    ASSERT_TRUE(caller->WaitForDrawn("NEW MONTH, NEW STORY", 20000)) << caller->Screen();
    EXPECT_EQ(Slides(caller->Transcript()), 10u);
}

TEST_F(OctoberOpening, TheSecondQSkipsEvenSlidesLater)
{
    ToOpening();
    caller->Type("wq");
    ASSERT_TRUE(caller->WaitForSent("Q TWICE", 4));  // the count carries over
    caller->Type("Q");
    ASSERT_TRUE(caller->WaitForDrawn("NEW MONTH, NEW STORY")) << caller->Screen();
    size_t shown = Slides(caller->Transcript());
    EXPECT_GE(shown, 4u);
    EXPECT_LT(shown, 7u);
}

TEST_F(OctoberOpening, QTwiceAtOnceLeavesTheFirstSlide)
{
    ToOpening();
    caller->Type("wQq");
    ASSERT_TRUE(caller->WaitForDrawn("NEW MONTH, NEW STORY")) << caller->Screen();
    EXPECT_EQ(Slides(caller->Transcript()), 1u);
}

// ---- the lobby in October and in another month ----

TEST_F(EntrySession, OctoberThirtiethShowsTheDateLineAndTheThirtyFirstTheHalloweenLobby)
{
    ArriveInLobby(TestUtcSeconds(2026, 10, 30, 9, 0, 0), true);
    EXPECT_EQ(caller->Text(1, 2, 11), "HARVESTFALL");
    EXPECT_EQ(caller->Text(1, 42, 21), "A HALLOWEEN NIGHTMARE");
    EXPECT_EQ(caller->Text(5, 3, 23), "THE HARVEST HAS TEETH. ");
    EXPECT_EQ(caller->Fg(5, 3), 14);
    EXPECT_EQ(caller->Text(7, 3, 27), "You brought home a pumpkin.");
    ExpectMenu();
    EXPECT_EQ(caller->Text(19, 3, 44), "October 30, 2026 UTC - NEW MONTH, NEW STORY ");
    EXPECT_FALSE(caller->Find("HALLOWEEN: FINAL BOSS"));
    std::string ordinary = caller->Art();
    caller->Type("q");
    EXPECT_EQ(Ended(), 0);
    caller.reset();
    link.Close();

    ArriveInLobby(TestUtcSeconds(2026, 10, 31, 9, 0, 0), true);
    ASSERT_TRUE(caller->WaitForDrawn("HALLOWEEN: FINAL BOSS, EXTRA DAMAGE!"));
    EXPECT_EQ(caller->Text(1, 42, 21), "A HALLOWEEN NIGHTMARE");
    EXPECT_EQ(caller->Text(19, 3, 37), "HALLOWEEN: FINAL BOSS, EXTRA DAMAGE! ");
    EXPECT_EQ(caller->Fg(19, 3), 14);
    EXPECT_FALSE(caller->Find("NEW MONTH, NEW STORY"));
    ExpectMenu();
    // The villain's Halloween face, not the ordinary one.
    EXPECT_NE(caller->Art(), ordinary);
    caller->Type("Q");
    EXPECT_EQ(Ended(), 0);
}

TEST_F(EntrySession, EveryOtherMonthShowsItsCampaignTitleNameGoalAndDate)
{
    const int months[] = {1, 12};
    for (int month : months) {
        SCOPED_TRACE(month);
        ArriveInLobby(TestUtcSeconds(2027, month, 5, 23, 0, 0), false);
        const season_record &record = seasons[month - 1];
        EXPECT_EQ(caller->Text(1, 42, (int)strlen(record.title)), record.title);
        EXPECT_EQ(caller->Text(5, 3, (int)strlen(record.name)), record.name);
        EXPECT_NE(caller->Line(7).find(std::string(record.goal).substr(0, 12)), std::string::npos);
        char line[80];
        snprintf(line, sizeof line, "%s 05, 2027 UTC - NEW MONTH, NEW STORY", record.name);
        EXPECT_EQ(caller->Text(19, 3, (int)strlen(line)), line);
        ExpectMenu();
        caller->Type("q");
        EXPECT_EQ(Ended(), 0);
        caller.reset();
        link.Close();
        std::filesystem::remove(dir.path("sync-starts"));
    }
}

// ---- sitting in the lobby ----

TEST_F(EntrySession, IdleLobbyWalksTheFigureAndAnUnknownKeyRedraws)
{
    ArriveInLobby(TestUtcSeconds(2026, 4, 2, 10, 0, 0), false);
    std::string before = caller->Transcript();
    size_t lobbies = TestCount(before, "[Q] RETURN TO BBS");
    // Two idle cycles: the cat, then the other figure, along row 21.
    ASSERT_TRUE(caller->WaitForSent(" .-.-. ", 17, 20000));
    std::string idle = caller->Transcript();
    EXPECT_GE(TestCount(idle, " /\\_/\\ "), 17u);
    EXPECT_EQ(TestCount(idle, "[Q] RETURN TO BBS"), lobbies);  // waiting redraws nothing
    // The walk leaves row 21 blank behind it.
    caller->WaitForSent(" /\\_/\\ ", 34, 20000);
    caller->Type("Z");
    ASSERT_TRUE(caller->WaitForLobby());
    EXPECT_GT(TestCount(caller->Transcript(), "[Q] RETURN TO BBS"), lobbies);
    EXPECT_TRUE(caller->Find("THE STORM-EGG HEIST"));
    caller->Type("c");  // chat is off: C is one more key that does nothing but redraw
    ASSERT_TRUE(caller->WaitForLobby());
    // A line feed, as terminals send after Enter, is no key: Z then LF
    // redraws once, not twice (keys are taken in order, so a second redraw
    // would come before Q).
    size_t drawn = TestCount(caller->Transcript(), "[Q] RETURN TO BBS");
    caller->Type("Z\n");
    ASSERT_TRUE(caller->WaitForLobby());
    caller->Type("q");
    EXPECT_EQ(Ended(), 0);
    EXPECT_EQ(TestCount(caller->Transcript(), "[Q] RETURN TO BBS"), drawn + 1);
}

TEST_F(EntrySession, MidnightAtTheMonthsEndRedrawsTheLobbyForTheNewMonth)
{
    // 31 October, 23:59:40 UTC: the Halloween lobby.
    ArriveInLobby(TestUtcSeconds(2026, 10, 31, 23, 59, 40), true);
    ASSERT_TRUE(caller->WaitForDrawn("HALLOWEEN: FINAL BOSS, EXTRA DAMAGE!"));
    size_t lobbies = TestCount(caller->Transcript(), "[Q] RETURN TO BBS");
    // Idle cycles of 8 s: the first that ends after midnight brings
    // November's lobby, dated the first, without a key.
    ASSERT_TRUE(caller->WaitForDrawn("November 01, 2026 UTC - NEW MONTH, NEW STORY", 30000)) << caller->Screen();
    EXPECT_EQ(caller->Text(1, 2, 16), "GRIMBY - ALMANAC");
    EXPECT_EQ(caller->Text(1, 42, 20), "THE FEAST OF SHADOWS");
    EXPECT_EQ(caller->Text(5, 3, 9), "November ");
    EXPECT_FALSE(caller->Find("HALLOWEEN"));
    EXPECT_EQ(TestCount(caller->Transcript(), "[Q] RETURN TO BBS"), lobbies + 1);
    caller->Type("q");
    EXPECT_EQ(Ended(), 0);
}

TEST_F(EntrySession, CarrierLostInTheLobbyRunsTheExitSteps)
{
    ArriveInLobby(TestUtcSeconds(2026, 5, 20, 12, 0, 0), false);
    ASSERT_EQ(SyncStarts(1), 1);
    caller->Hangup();
    // The BBS learns the carrier was lost.
    EXPECT_EQ(Ended(), 1);
    EXPECT_EQ(SyncStarts(2), 2);
}

// A creation the caller did not finish leaves no profile behind: the next
// visit asks again instead of greeting a half-made survivor.
TEST_F(EntrySession, HangingUpWhileCreatingASurvivorSavesNothing)
{
    // Gone halfway through typing the handle.
    Start(TestUtcSeconds(2026, 3, 10, 12, 0, 0));
    ASSERT_TRUE(caller->WaitFor("[N] SILENT"));
    caller->Type("n");
    ASSERT_TRUE(caller->WaitFor("CHOOSE YOUR SURVIVOR")) << caller->Screen();
    caller->Type("Mo");
    ASSERT_TRUE(caller->WaitForSent("Mo", 1));
    caller->Hangup();
    EXPECT_EQ(Ended(), 1);
    EXPECT_FALSE(std::filesystem::exists(ProfilePath()));

    // Back again: asked for a survivor, not welcomed; gone at the class.
    caller.reset();
    Start(TestUtcSeconds(2026, 3, 10, 12, 5, 0));
    ASSERT_TRUE(caller->WaitFor("[N] SILENT"));
    caller->Type("n");
    ASSERT_TRUE(caller->WaitFor("CHOOSE YOUR SURVIVOR")) << caller->Screen();
    EXPECT_FALSE(caller->Find("WELCOME BACK"));
    caller->Type("Moth\r");
    ASSERT_TRUE(caller->WaitFor("[Y] YES, KEEP IT"));
    caller->Type("y");
    ASSERT_TRUE(caller->WaitFor("CHOOSE M / F"));
    caller->Type("f");
    ASSERT_TRUE(caller->WaitFor("[5] MEDIUM"));
    caller->Hangup();
    EXPECT_EQ(Ended(), 1);
    EXPECT_FALSE(std::filesystem::exists(ProfilePath()));
}

// The kit ends a stopped session by itself once its short grace is over:
// a walk of 1.1 s or a slide of 6 s that went on after the caller left would
// lose the exit steps.
TEST_F(EntrySession, CarrierLostDuringTheWalkStillRunsTheExitSteps)
{
    ArriveInLobby(TestUtcSeconds(2026, 5, 20, 12, 0, 0), false);
    ASSERT_TRUE(caller->WaitForSent(" /\\_/\\ ", 2, 20000));
    caller->Hangup();
    EXPECT_EQ(Ended(), 1);
    EXPECT_EQ(SyncStarts(2), 2);
}

TEST_F(OctoberOpening, CarrierLostDuringASlideStillRunsTheExitSteps)
{
    ToOpening();
    caller->Type("w");
    ASSERT_TRUE(caller->WaitForSent("Q TWICE", 2));
    caller->Hangup();
    EXPECT_EQ(Ended(), 1);
    EXPECT_EQ(SyncStarts(2), 2);
}

// ---- callers turned away ----

TEST_F(EntrySession, MaintenanceMarkerTurnsTheCallerAwayAndTouchesNothing)
{
    dir.write(".grimby-maintenance", "");
    Start(TestUtcSeconds(2026, 3, 10, 12, 0, 0));
    ASSERT_TRUE(caller->WaitForSent("GRIMBY is being updated. Please return shortly.\r\n", 1));
    EXPECT_EQ(Ended(), 0);
    EXPECT_FALSE(caller->Find("SYNCTERM"));
    EXPECT_FALSE(std::filesystem::exists(ProfilePath()));
    EXPECT_EQ(SyncStarts(0), 0);
}

TEST_F(EntrySession, NoCallerIdentityIsRefusedWithExitCodeOne)
{
    // A DORINFO1.DEF whose name lines are blank; the socket comes on the
    // command line.
    dir.write("DORINFO1.DEF", "TEST BBS\r\nSAM\r\nSYSOP\r\nCOM1\r\n38400 BAUD,N,8,1\r\n 0\r\n\r\n\r\n"
                              "SPRINGFIELD\r\n1\r\n100\r\n45\r\n");
    Start(TestUtcSeconds(2026, 3, 10, 12, 0, 0), "-D " + dir.path("DORINFO1.DEF"));
    if (!caller->WaitForDrawn("[C] CONTINUE")) {
        std::string err;
        int code = TestDoorWait(&door, 2000, &err);
        FAIL() << "exit " << code << ": " << err << caller->Screen();
    }
    EXPECT_EQ(caller->Text(1, 42, 22), "BBS CALLER ID REQUIRED");
    EXPECT_EQ(caller->Text(7, 3, 36), "No caller identity in BBS drop file.");
    EXPECT_EQ(caller->Fg(7, 3), 12);
    EXPECT_EQ(caller->Text(9, 3, 35), "Check drop file and door kit setup.");
    EXPECT_EQ(caller->Fg(9, 3), 14);
    caller->Type("c");
    EXPECT_EQ(Ended(), 1);
    EXPECT_FALSE(caller->Find("SYNCTERM"));
    std::error_code ignored;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("data"), ignored));
    EXPECT_EQ(SyncStarts(1), 1);  // arrival only: the exit steps are not run
}

}  // namespace
