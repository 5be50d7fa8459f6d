// The kernel's duties on the virtual clock, over a real caller connection:
// minute deduction with its warnings, inactivity, carrier loss, the sysop's
// requests (also from another thread), sysop chat and the session clock.
// Sessions that end are death tests: the exit code is the error level.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ODInEx.h"
#include "ODKrnl.h"
#include "ODPlat.h"
#include "ansiscreen.h"
#include "doorkit.h"
#include "session.h"

namespace {

TestCaller *pCaller = nullptr;
int bExitStepsRan = 0;
uint64_t qwExitStepsAt = 0;

// Ends the process as od_exit does, after telling (on standard error, one
// line for the death test's pattern) whether the game's exit steps ran and
// what the caller received, CR LF shown as '|'.
void ExitShowingTheCaller(int code)
{
    uint64_t held = ODPlatTickMs() - qwExitStepsAt;
    std::string seen = pCaller ? pCaller->ReceiveUntilQuiet(100) : "";
    std::string line;
    for (char c : seen) {
        if (c == '\n') line += '|';
        else if (c >= 32 && c < 127) line += c;
    }
    fprintf(stderr, "%scaller saw: %s security=%d left=%d held=%d ms\n", bExitStepsRan ? "exit steps ran, " : "",
            line.c_str(), (int)od_control.caller_security, (int)(int16_t)od_control.caller_time_left, (int)held);
    fflush(stderr);
    // No session here ends with 0: a fatal start-up error must not pass.
    if (code == 0) abort();
    _Exit(code);
}

// A remote caller on the virtual clock: minutes pass as fast as the door
// waits.
void StartSession(TestCaller *caller, bool virtual_clock = true)
{
    if (virtual_clock) ODPlatClockUseVirtual(1000000, 1700000000);
    od_control.silent_mode = 1;
    od_control.caller_time_left = 60;
    od_control.caller_ansi = 1;
    ASSERT_TRUE(TestStartSocketSession(caller, false));
    ASSERT_EQ(eODLifecycleState, OD_STATE_RUNNING);
    pCaller = caller;
    pfODProcessExit = ExitShowingTheCaller;
}

// The game's lobby: waits for keys while the caller is there, then runs
// its exit steps and calls od_exit(0, 0). The caller may hang up the moment
// the session stops.
void PlayLikeTheGame(bool hang_up_when_stopped = false)
{
    for (int i = 0; i < 1000000; i++) {
        od_control.last_error = 0;
        if (!od_carrier()) break;
        od_get_key(0);
        od_sleep(1000);
    }
    bExitStepsRan = 1;
    qwExitStepsAt = ODPlatTickMs();
    if (hang_up_when_stopped) pCaller->Close();
    od_exit(0, 0);
}

}  // namespace

TEST(KernelTime, WarningsAtThreeTwoAndOneMinutesThenTimeUsedUpIsThree)
{
    EXPECT_EXIT(
        {
            TestCaller caller;
            StartSession(&caller);
            od_control.caller_time_left = 4;
            od_control.inactivity_seconds = 0;
            PlayLikeTheGame();
        },
        ::testing::ExitedWithCode(3),
        "exit steps ran.*have 3 minute\\(s\\) remaining.*have 2 minute\\(s\\) remaining"
        ".*have 1 minute\\(s\\) remaining.*used up all of your time for this session");
}

// The last words stand about two seconds before the BBS gets the line back
// and clears the screen, unless the caller has already gone.
TEST(KernelTime, TheTimeUpTextStandsBeforeTheExitUnlessTheCallerHangsUp)
{
    EXPECT_EXIT(
        {
            TestCaller caller;
            StartSession(&caller);
            od_control.caller_time_left = 1;
            od_control.inactivity_seconds = 0;
            PlayLikeTheGame();
        },
        ::testing::ExitedWithCode(3), "used up all of your time.* held=20.. ms");
    EXPECT_EXIT(
        {
            TestCaller caller;
            StartSession(&caller);
            od_control.caller_time_left = 1;
            od_control.inactivity_seconds = 0;
            PlayLikeTheGame(true);
        },
        ::testing::ExitedWithCode(3), " held=.?. ms");
}

TEST(KernelTime, AMinuteIsDueEverySixtySecondsAndNotBefore)
{
    TestCaller caller;
    StartSession(&caller);
    od_control.caller_time_left = 30;
    od_control.inactivity_seconds = 0;
    ODPlatClockAdvance(59000);
    od_kernel();
    EXPECT_EQ((int)od_control.caller_time_left, 30);
    ODPlatClockAdvance(1000);
    od_kernel();
    EXPECT_EQ((int)od_control.caller_time_left, 29);
    // Several minutes at once (a long computation between calls).
    ODPlatClockAdvance(180000);
    od_kernel();
    EXPECT_EQ((int)od_control.caller_time_left, 26);
}

TEST(KernelTime, NoTimeLimitFlagNeverEndsTheSession)
{
    TestCaller caller;
    StartSession(&caller);
    od_control.caller_time_left = 1;
    od_control.disable_flags |= OD_DISABLE_TIME_LIMIT;
    od_control.inactivity_seconds = 0;
    for (int i = 0; i < 300; i++) {
        ODPlatClockAdvance(60000);
        od_kernel();
    }
    EXPECT_EQ(eODLifecycleState, OD_STATE_RUNNING);
    EXPECT_EQ(caller.ReceiveUntilQuiet(50).find("WARNING"), std::string::npos);
}

TEST(KernelInactivity, WarningThenDisconnectIsFour)
{
    EXPECT_EXIT(
        {
            TestCaller caller;
            StartSession(&caller);
            PlayLikeTheGame();
        },
        ::testing::ExitedWithCode(4),
        "exit steps ran.*WARNING: Inactivity timeout in 10 seconds, press a key now to remain online\\."
        ".*Maximum user inactivity time has elapsed, please call again\\..* held=20.. ms");
}

// What the caller's screen shows on the rows of the last words, once the
// session ends: written over a screen full of art, the end text's row
// holds the text alone on ANSI and AVATAR callers (the warning's row is
// the game's as before).
unsigned nScreenModes = 0;
void ExitShowingTheEndRow(int code)
{
    AnsiScreen screen(AnsiScreen::kRows, AnsiScreen::kCols, nScreenModes);
    std::string seen = pCaller->ReceiveUntilQuiet(100);
    screen.feed(seen);
    int row = 0, col = 0;
    screen.find("Maximum user", &row, &col);
    fprintf(stderr, "end row: [%s] erased: %d\n", screen.line(row).c_str(),
            (int)(seen.find("\x1b[K") != std::string::npos || seen.find("\x16\x07") != std::string::npos));
    fflush(stderr);
    _Exit(code);
}

TEST(KernelInactivity, TheEndTextClearsTheRestOfItsRowOnAnsiAndAvatar)
{
    for (int emulation = 0; emulation < 3; emulation++) {
        SCOPED_TRACE(emulation);
        EXPECT_EXIT(
            {
                TestCaller caller;
                StartSession(&caller);
                od_control.caller_ansi = emulation == 0;
                od_control.caller_avatar = emulation == 1;
                nScreenModes = emulation == 1 ? AnsiScreen::kAvatar : 0;
                pfODProcessExit = ExitShowingTheEndRow;
                for (int row = 0; row < 20; row++) od_disp_str((std::string(79, '#') + "\r\n").c_str());
                if (emulation < 2) od_set_cursor(1, 1);
                PlayLikeTheGame();
            },
            ::testing::ExitedWithCode(4),
            emulation < 2 ? "end row: \\[Maximum user inactivity time has elapsed, please call again\\.\\] erased: 1"
                          : "erased: 0");
    }
}

TEST(KernelInactivity, AKeyRearmsTheWarning)
{
    TestCaller caller;
    StartSession(&caller);
    while (!bWarnedAboutInactivity && eODLifecycleState == OD_STATE_RUNNING) od_sleep(1000);
    ASSERT_EQ(eODLifecycleState, OD_STATE_RUNNING);
    ASSERT_TRUE(caller.Send("k"));
    EXPECT_EQ(od_get_key(1), 'k');
    od_kernel();
    EXPECT_FALSE(bWarnedAboutInactivity);
    // A full period again before the next warning.
    ODPlatClockAdvance(150000);
    od_kernel();
    EXPECT_FALSE(bWarnedAboutInactivity);
    EXPECT_EQ(eODLifecycleState, OD_STATE_RUNNING);
}

TEST(KernelInactivity, ZeroSecondsOrTheSysopSwitchDisablesIt)
{
    TestCaller caller;
    StartSession(&caller);
    od_control.caller_time_left = 1000;
    od_control.inactivity_seconds = 0;
    for (int i = 0; i < 1000; i++) od_sleep(1000);
    EXPECT_EQ(eODLifecycleState, OD_STATE_RUNNING);
    od_control.inactivity_seconds = 200;
    // Switching back on counts from now, not from the last key long ago.
    od_kernel();
    EXPECT_EQ(eODLifecycleState, OD_STATE_RUNNING);
    ODKrnlRequestInactivityToggle();
    od_kernel();
    EXPECT_EQ((int)od_control.inactivity_disabled, 1);
    for (int i = 0; i < 1000; i++) od_sleep(1000);
    EXPECT_EQ(eODLifecycleState, OD_STATE_RUNNING);
    EXPECT_EQ(caller.ReceiveUntilQuiet(50).find("Inactivity"), std::string::npos);
}

TEST(KernelCarrier, LostCallerLetsTheGameRunItsExitStepsThenIsOne)
{
    EXPECT_EXIT(
        {
            TestCaller caller;
            StartSession(&caller);
            caller.Close();
            PlayLikeTheGame();
        },
        ::testing::ExitedWithCode(1), "exit steps ran");
}

TEST(KernelCarrier, WhileStoppingEveryCallFailsAndWaitsReturnAtOnce)
{
    TestCaller caller;
    StartSession(&caller);
    caller.Close();
    od_kernel();
    EXPECT_EQ(eODLifecycleState, OD_STATE_STOPPING);
    EXPECT_EQ((int)btExitReason, 1);
    uint64_t before = ODPlatTickMs();
    EXPECT_EQ(od_get_key(1), 0);
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
    EXPECT_EQ(od_carrier(), 0);
    EXPECT_EQ(ODPlatTickMs(), before);
}

TEST(KernelCarrier, AGameThatIgnoresTheStopIsEndedAfterTheGraceTime)
{
    EXPECT_EXIT(
        {
            TestCaller caller;
            StartSession(&caller, false);
            caller.Close();
            for (;;) od_get_key(1);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(KernelCarrier, KeysSentBeforeTheHangUpAreStillDelivered)
{
    TestCaller caller;
    StartSession(&caller);
    ASSERT_TRUE(caller.Send("qz"));
    caller.Close();
    EXPECT_EQ(od_get_key(1), 'q');
    EXPECT_EQ(od_get_key(1), 'z');
    EXPECT_EQ(od_get_key(1), 0);
    EXPECT_EQ(eODLifecycleState, OD_STATE_STOPPING);
}

TEST(KernelRequests, TimeAdjustmentsClampToADay)
{
    TestCaller caller;
    StartSession(&caller);
    od_control.disable_flags |= OD_DISABLE_TIME_LIMIT;
    od_control.caller_time_left = 1438;
    ASSERT_TRUE(ODKrnlRefreshUIState());
    ODKrnlRequestTimeAdjustment(5);
    tODKrnlUIState state;
    ASSERT_TRUE(ODKrnlGetUIState(&state));
    EXPECT_EQ(state.nTimeLeft, 1440);  // the display shows it before it is done
    od_kernel();
    EXPECT_EQ((int)od_control.caller_time_left, 1440);
    od_control.caller_time_left = 3;
    ODKrnlRequestTimeAdjustment(-5);
    od_kernel();
    EXPECT_EQ((int)od_control.caller_time_left, 0);
    EXPECT_EQ(eODLifecycleState, OD_STATE_RUNNING);
}

TEST(KernelRequests, TakingTheLastMinuteEndsTheSessionWithThree)
{
    EXPECT_EXIT(
        {
            TestCaller caller;
            StartSession(&caller);
            od_control.caller_time_left = 3;
            ODKrnlRefreshUIState();
            ODKrnlRequestTimeAdjustment(-5);
            PlayLikeTheGame();
        },
        ::testing::ExitedWithCode(3), "left=0");
}

TEST(KernelRequests, KeyboardOffDropsTheCallersBytes)
{
    TestCaller caller;
    StartSession(&caller);
    ODKrnlRequestKeyboardToggle();
    od_kernel();
    EXPECT_EQ((int)od_control.remote_keyboard_enabled, 0);
    ASSERT_TRUE(caller.Send("abc"));
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(od_get_key(0), 0) << i;
        od_sleep(20);
    }
    ODKrnlRequestKeyboardToggle();
    od_kernel();
    ASSERT_TRUE(caller.Send("d"));
    EXPECT_EQ(od_get_key(1), 'd');
    EXPECT_EQ(od_get_key(0), 0);
}

TEST(KernelRequests, LockoutTakesTheSecurityAndHangsUpWithTwo)
{
    EXPECT_EXIT(
        {
            TestCaller caller;
            StartSession(&caller);
            od_control.caller_security = 100;
            ODKrnlRequestLockout();
            PlayLikeTheGame();
        },
        ::testing::ExitedWithCode(2), "security=0");
}

TEST(KernelRequests, SysopReturnsTheCallerToTheBBSWithFive)
{
    EXPECT_EXIT(
        {
            TestCaller caller;
            StartSession(&caller);
            ODKrnlRequestShutdown(OD_REASON_RETURNED);
            PlayLikeTheGame();
        },
        ::testing::ExitedWithCode(5), "exit steps ran");
}

// A session whose clock the sysop's time requests can move freely.
static void StartSessionWithAnHour(TestCaller *caller)
{
    StartSession(caller);
    od_control.caller_time_left = 60;
    od_control.disable_flags |= OD_DISABLE_TIME_LIMIT;
    ODKrnlRefreshUIState();
}

TEST(KernelRequests, PostedFromAnotherThreadAllArriveInOrder)
{
    TestCaller caller;
    StartSessionWithAnHour(&caller);
    std::atomic<bool> done(false);
    std::thread sysop([&] {
        for (int i = 0; i < 300; i++) {
            ODKrnlRequestTimeAdjustment(i % 3 == 2 ? -1 : 1);
            if (i % 50 == 0) ODKrnlRequestSysopNextToggle();
            tODKrnlUIState state;
            ODKrnlGetUIState(&state);
        }
        done = true;
    });
    while (!done) od_kernel();
    sysop.join();
    od_kernel();
    EXPECT_EQ((int)od_control.caller_time_left, 160);
    EXPECT_EQ((int)od_control.sysop_next, 0);  // six toggles
    tODKrnlUIState state;
    ASSERT_TRUE(ODKrnlGetUIState(&state));
    EXPECT_EQ(state.nTimeLeft, 160);
}

// The snapshot is refreshed from the session on every pass, also while
// requests wait: those must stay in it, or a second toggle repeats the
// first (found by the test above, once in a few hundred runs).
TEST(KernelRequests, ARefreshBeforeTheyAreCarriedOutKeepsTheirEffect)
{
    TestCaller caller;
    StartSessionWithAnHour(&caller);
    ODKrnlRequestSysopNextToggle();
    ODKrnlRequestKeyboardToggle();
    ODKrnlRequestTimeAdjustment(5);
    ODKrnlRefreshUIState();
    tODKrnlUIState state;
    ASSERT_TRUE(ODKrnlGetUIState(&state));
    EXPECT_EQ(state.bSysopNext, 1);
    EXPECT_EQ(state.bKeyboardOn, 0);
    EXPECT_EQ(state.nTimeLeft, 65);
    ODKrnlRequestSysopNextToggle();
    od_kernel();
    EXPECT_EQ((int)od_control.sysop_next, 0);
    EXPECT_EQ((int)od_control.remote_keyboard_enabled, 0);
    EXPECT_EQ((int)od_control.caller_time_left, 65);
}

TEST(KernelRequests, NothingIsQueuedOnceTheSessionStops)
{
    TestCaller caller;
    StartSession(&caller);
    caller.Close();
    od_kernel();
    ASSERT_EQ(eODLifecycleState, OD_STATE_STOPPING);
    ODKrnlRequestTimeAdjustment(5);
    ODKrnlRequestKeyboardToggle();
    tODKrnlUIState state;
    ASSERT_TRUE(ODKrnlGetUIState(&state));
    EXPECT_EQ(state.bRunning, 0);
    EXPECT_EQ(state.bStopping, 1);
    EXPECT_EQ(state.bKeyboardOn, 1);
}

TEST(KernelChat, BothSidesAreEchoedInTheirColoursUntilTheSysopEndsIt)
{
    TestCaller caller;
    StartSession(&caller, false);
    od_control.caller_wants_chat = 1;
    ASSERT_TRUE(caller.Send("hi"));
    std::thread sysop([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ODKrnlHandleLocalKey('x');
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ODKrnlRequestChatToggle();
    });
    ODKrnlRequestChatToggle();
    od_kernel();  // the chat runs inside this call until the sysop ends it
    sysop.join();
    EXPECT_EQ((int)od_control.chat_active, 0);
    EXPECT_EQ((int)od_control.caller_wants_chat, 0);
    AnsiScreen screen;
    screen.feed(caller.ReceiveUntilQuiet(200));
    int row, col;
    ASSERT_TRUE(screen.find("The system operator has placed you in chat mode to talk with you:", &row, &col));
    ASSERT_TRUE(screen.find("hi", &row, &col));
    EXPECT_EQ(screen.fg(row, col), 15);
    ASSERT_TRUE(screen.find("x", &row, &col));
    EXPECT_EQ(screen.fg(row, col), 12);
    EXPECT_TRUE(screen.find("Chat mode ended.", &row, &col));
}

TEST(KernelChat, AWordThatReachesTheEdgeMovesToTheNextLine)
{
    TestCaller caller;
    StartSession(&caller, false);
    od_clr_scr();
    ASSERT_TRUE(caller.Send(std::string(73, 'a') + " bcd\x1b"));
    std::thread sysop([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ODKrnlHandleLocalKey(27);  // the sysop's Escape ends the chat
    });
    ODKrnlRequestChatToggle();
    od_kernel();
    sysop.join();
    AnsiScreen screen;
    screen.feed(caller.ReceiveUntilQuiet(200));
    int row, col;
    ASSERT_TRUE(screen.find(std::string(73, 'a'), &row, &col));
    EXPECT_EQ(screen.line(row), std::string(73, 'a'));
    EXPECT_EQ(screen.line(row + 1), "bcd");
}

TEST(KernelClock, SessionClockHoldsItsValueWhenTheClockGoesBack)
{
    ODPlatClockUseVirtual(1000000, 1700000000);
    ODSessionTimeInitialize();
    ODPlatClockAdvance(5250);
    uint32_t s = 0;
    uint16_t ms = 0;
    ODSessionTimeGet(&s, &ms);
    EXPECT_EQ(s, 5u);
    EXPECT_EQ(ms, 250);
    ODPlatClockUseVirtual(400000, 1699999000);  // set back by ten minutes
    ODSessionTimeGet(&s, &ms);
    EXPECT_EQ(s, 5u);
    EXPECT_EQ(ms, 250);
    ODPlatClockUseVirtual(1006000, 1700000006);
    ODSessionTimeGet(&s, &ms);
    EXPECT_EQ(s, 6u);
    EXPECT_EQ(ms, 0);
}
