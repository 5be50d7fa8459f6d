// Start-up and exit inside one process: local sessions, the time cap and
// its give-back, the preset speed, a BBSDev deadline, fatal start-up errors
// and what exit leaves for the BBS.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "ODCmdLn.h"
#include "ODCom.h"
#include "ODInEx.h"
#include "ODInEx2.h"
#include "ODKrnl.h"
#include "ODPlat.h"
#include "doorkit.h"
#include "dropfile_support.h"
#include "session.h"
#include "testdir.h"

namespace {

// Fatal start-up messages as the Linux console shows them. On Windows they
// are a message box, which waits for a click on the desktop the window
// tests share: there the tests send them to standard error instead.
void FatalToStandardError(const char *, const char *text)
{
    fprintf(stderr, "%s\n", text);
}

// Ends the process as od_exit does, after telling what exit left behind.
void ExitShowingTheSession(int code)
{
    fprintf(stderr, "left=%d withheld=%d used=%d bps=%u\n", (int)(int16_t)od_control.caller_time_left,
            (int)od_control.time_withheld, (int)od_control.caller_minutes_used, (unsigned)od_control.remote_bps);
    fflush(stderr);
    _Exit(code);
}

// A test that is not about ending the process must not end it: a fatal
// start-up error would otherwise pass as exit code 0.
void ExitIsAFailure(int code)
{
    fprintf(stderr, "the process ended with %d\n", code);
    abort();
}

class StartUp : public DropFileTest {
protected:
    void SetUp() override
    {
        DropFileTest::SetUp();
        UnsetEnvVar("BBSDEV_DRP");
        UnsetEnvVar("TASK");
        UnsetEnvVar("SBBSNNUM");
    }
    void MustNotExit() { pfODProcessExit = ExitIsAFailure; }
};

}  // namespace

TEST_F(StartUp, LocalSessionWithoutANameUsesTheSysopsUntilOneIsGiven)
{
    MustNotExit();
    od_parse_cmd_line("-L -SILENT");
    od_init();
    ASSERT_EQ(eODLifecycleState, OD_STATE_RUNNING);
    EXPECT_EQ(bPromptForUserName, 1);
    EXPECT_STREQ(od_control.caller_name, "Sysop");
    EXPECT_STREQ(od_control.sysop_name, "Sysop");
    EXPECT_STREQ(od_control.caller_location, "Unknown Location");
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_NONE);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 0u);
    EXPECT_EQ((int)od_control.caller_time_left, 60);
    EXPECT_EQ((int)od_control.node, 1);
    EXPECT_EQ(hSerialPort, nullptr);
    // The game keys its players on this: a local player has one too.
    EXPECT_STREQ(od_get_user_id(), ":Sysop");
}

TEST_F(StartUp, LocalSessionDefaults)
{
    MustNotExit();
    od_parse_cmd_line("-L -SILENT -USERNAME Ada Lovelace -BBSNAME Castle BBS -N 4");
    od_init();
    ASSERT_EQ(eODLifecycleState, OD_STATE_RUNNING);
    EXPECT_EQ(bPromptForUserName, 0);
    EXPECT_STREQ(od_control.caller_location, "Castle BBS");
    EXPECT_EQ((int)od_control.node, 4);
    EXPECT_EQ((int)od_control.caller_flags, 6);
    EXPECT_EQ((int)od_control.caller_screen_width, 80);
    EXPECT_EQ((int)od_control.caller_screen_length, 23);
    EXPECT_EQ((int)od_control.current_attribute, -1);
    EXPECT_EQ((int)od_control.inactivity_seconds, 200);
    EXPECT_EQ((int)od_control.inactivity_warning_seconds, 10);
    EXPECT_EQ((int)od_control.chat_colours[0], 12);
    EXPECT_EQ((int)od_control.chat_colours[1], 15);
    EXPECT_STREQ(od_control.color_names[11], "FLASHING");
    EXPECT_STREQ(od_control.modem_exit_command, "~+++~  AT&D0|  ATO|");
    EXPECT_STREQ(od_control.texts.time_used_up, "\r\nSorry, you have used up all of your time for this session.\r\n\r\n");
    EXPECT_STREQ(od_get_user_id(), ":Ada Lovelace");
}

TEST_F(StartUp, TimeCapWithholdsTheRestAndExitGivesItBack)
{
    EXPECT_EXIT(
        {
            pfODProcessExit = ExitShowingTheSession;
            od_parse_cmd_line("-L -SILENT -TIMELEFT 90 -MAXTIME 30");
            od_init();
            if ((int)od_control.caller_time_left != 30 || (int)od_control.time_withheld != 60) _Exit(99);
            od_exit(0, 0);
        },
        ::testing::ExitedWithCode(0), "left=90 withheld=0 used=0");
}

TEST_F(StartUp, MaxTimeOutsideOneToADayCapsNothing)
{
    for (const char *line : {"-L -SILENT -TIMELEFT 90 -MAXTIME 0", "-L -SILENT -TIMELEFT 90 -MAXTIME 1441"}) {
        EXPECT_EXIT(
            {
                od_parse_cmd_line(line);
                od_init();
                _Exit((int)od_control.caller_time_left == 90 && od_control.time_withheld == 0 ? 10 : 11);
            },
            ::testing::ExitedWithCode(10), "")
            << line;
    }
}

TEST_F(StartUp, MinutesUsedCountOnlyTheSysopsAdjustments)
{
    // The BBS counts the call's own minutes; the door corrects for minutes
    // the sysop gave or took.
    EXPECT_EXIT(
        {
            ODPlatClockUseVirtual(1000000, 1700000000);
            pfODProcessExit = ExitShowingTheSession;
            od_parse_cmd_line("-L -SILENT -TIMELEFT 30");
            od_init();
            od_control.caller_minutes_used = 10;
            od_sleep(120000);  // two minutes of play
            ODKrnlRequestTimeAdjustment(5);
            od_kernel();
            od_exit(0, 0);
        },
        ::testing::ExitedWithCode(0), "left=33 withheld=0 used=5");
}

TEST_F(StartUp, NoDropFileWithACommandLineIsFatalWithExitCodeZero)
{
    pfODShowFatalError = FatalToStandardError;
    EXPECT_EXIT(
        {
            od_parse_cmd_line("-N 2");
            od_init();
            _Exit(99);
        },
        ::testing::ExitedWithCode(0),
        ("Unable to read door information \\(drop\\) file\\.\nUse the -HELP command line option"));
}

TEST_F(StartUp, PresetSpeedIsTheSessionsAndTheFilesComesBackAtExit)
{
    TestCaller caller;
    int64_t door = -1;
    ASSERT_TRUE(TestMakeLink(TEST_LINK_TCP, &door, &caller));
    Write("DOOR32.SYS", JoinLines({"2", std::to_string(door), "38400", "BBS", "7", "Ann Example", "Annie", "20",
                                   "45", "1", "2"}));
    EXPECT_EXIT(
        {
            pfODProcessExit = ExitShowingTheSession;
            od_parse_cmd_line("-SILENT -B 9600 -D DOOR32.SYS");
            od_init();
            if (od_control.remote_bps != 9600 || dwFileBPS != 38400 || !hSerialPort) _Exit(99);
            if (od_control.com_method != ODCOM_METHOD_SOCKET) _Exit(98);
            if (strcmp(od_get_user_id(), "7:Ann Example") != 0) _Exit(97);
            od_exit(6, 0);
        },
        ::testing::ExitedWithCode(6), "bps=38400");
}

TEST_F(StartUp, ExitBeforeStartUpRunsOnceStartUpCompletes)
{
    EXPECT_EXIT(
        {
            od_parse_cmd_line("-L -SILENT");
            od_exit(4, 0);
            _Exit(99);
        },
        ::testing::ExitedWithCode(4), "");
}

TEST_F(StartUp, AfterExitBeganNothingRunsAndASecondExitReturns)
{
    MustNotExit();
    od_parse_cmd_line("-L -SILENT");
    od_init();
    eODLifecycleState = OD_STATE_EXITING;
    EXPECT_EQ(od_control_get(), nullptr);
    od_control.last_error = 0;
    od_disp_str("x");
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
    eODLifecycleState = OD_STATE_ENDED;
    od_exit(3, 0);  // returns: the session has ended
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
}

namespace {

std::string BBSDevFile(const std::string &deadline)
{
    return JoinLines({"1.0", "local", "", "Jane Doe", "user-1234", "80", "25", "Y", "N", "1.2.3", deadline, "UTF-8",
                      "en-US", "anything", "The Castle", "Sysop Sam", "100", "3", "N"},
                     "\n");
}

}  // namespace

TEST_F(StartUp, BBSDevDeadlineNinetySecondsAheadGivesTwoMinutesEndingAtTheDeadline)
{
    EXPECT_EXIT(
        {
            // 2030-01-01T00:00:00Z, the deadline a minute and a half later.
            ODPlatClockUseVirtual(1000000, 1893456000);
            SetEnvVar("BBSDEV_DRP", Write("BBSDEV.DRP", BBSDevFile("2030-01-01T00:01:30Z")));
            od_init();
            if (!bBBSDevSession || od_control.caller_time_left != 2 || nInitialRemaining != 2) _Exit(90);
            if (od_control.disable_flags & OD_DISABLE_TIME_LIMIT) _Exit(91);
            if (strcmp(od_get_user_id(), "user-1234") != 0) _Exit(92);
            ODPlatClockAdvance(29000);
            od_kernel();
            if (od_control.caller_time_left != 2) _Exit(93);
            ODPlatClockAdvance(2000);
            od_kernel();
            if (od_control.caller_time_left != 1) _Exit(94);
            ODPlatClockAdvance(58000);
            od_kernel();
            if (eODLifecycleState != OD_STATE_RUNNING) _Exit(95);
            ODPlatClockAdvance(2000);  // past the deadline
            od_kernel();
            if (eODLifecycleState != OD_STATE_STOPPING) _Exit(96);
            od_exit(0, 0);
        },
        ::testing::ExitedWithCode(3), "");
}

TEST_F(StartUp, BBSDevWithoutADeadlineNeverRunsOutOfTime)
{
    MustNotExit();
    ODPlatClockUseVirtual(1000000, 1893456000);
    SetEnvVar("BBSDEV_DRP", Write("BBSDEV.DRP", BBSDevFile("")));
    od_init();
    ASSERT_EQ(eODLifecycleState, OD_STATE_RUNNING);
    EXPECT_NE(od_control.disable_flags & OD_DISABLE_TIME_LIMIT, 0);
    od_control.inactivity_seconds = 0;
    for (int day = 0; day < 3 * 24 * 60; day++) {
        ODPlatClockAdvance(60000);
        od_kernel();
    }
    EXPECT_EQ(eODLifecycleState, OD_STATE_RUNNING);
}

TEST_F(StartUp, RejectedBBSDevFileIsFatal)
{
    pfODShowFatalError = FatalToStandardError;
    EXPECT_EXIT(
        {
            SetEnvVar("BBSDEV_DRP", Write("BBSDEV.DRP", "1.0\nsocket\n"));
            od_init();
            _Exit(99);
        },
        ::testing::ExitedWithCode(0), ("Unable to read or validate BBSDEV\\.DRP\\."));
}
