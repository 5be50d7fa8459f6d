// Exit on a serial line (a pseudo-terminal standing in for the port): the
// modem exit command when the line is handed back, its expected replies,
// and none of it when the caller is hung up.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "ODCom.h"
#include "ODInEx.h"
#include "ODPlat.h"
#include "doorkit.h"
#include "dropfile_support.h"

namespace {

// Everything the door sent down the line, until it has been quiet a while.
std::string LineOutput(int master, int quiet_ms)
{
    std::string out;
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0) break;
        char buffer[256];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, (size_t)n);
    }
    return out;
}

class SerialExit : public DropFileTest {
protected:
    void SetUp() override
    {
        DropFileTest::SetUp();
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(symlink(ptsname(master), dir.path("tty1").c_str()), 0);
        snprintf(szODComSerialDevice, sizeof szODComSerialDevice, "%s", dir.path("tty%u").c_str());
        // A DOOR.SYS for a caller on COM2 (the second port: tty1).
        Write("DOOR.SYS",
              JoinLines({"COM2:", "19200", "8", "1", "19200", "Y", "Y", "Y", "Y", "ANN EXAMPLE", "ANYTOWN, USA",
                         "555-555-1212", "555-555-1213", "SECRET7", "100", "42", "01/15/24", "3600", "60", "GR", "24",
                         "N", "1,2,3,4,5", "1", "12/31/99", "17", "Y", "10", "20", "100", "9999", "03/04/70",
                         "C:\\BBS\\DOORS\\", "C:\\BBS\\DATA\\", "SYSOP SAM", "ANNIE", "00:00", "Y", "Y", "Y",
                         "Y", "14", "02/01/24", "08:15", "08:00", "32768", "0", "0", "0", "Regular caller", "0",
                         "5"}));
    }
    void TearDown() override
    {
        close(master);
        close(slave);
        DropFileTest::TearDown();
    }
    int master = -1, slave = -1;
};

}  // namespace

TEST_F(SerialExit, HandingTheLineBackSendsTheModemExitCommand)
{
    EXPECT_EXIT(
        {
            ODPlatClockUseVirtual(1000000, (int64_t)time(nullptr));
            od_parse_cmd_line("-SILENT -D DOOR.SYS");
            od_init();
            if (od_control.com_method != ODCOM_METHOD_SERIAL) _Exit(90);
            od_exit(6, 0);
        },
        ::testing::ExitedWithCode(6), "");
    EXPECT_EQ(LineOutput(master, 200), "+++AT&D0\rATO\r");
}

TEST_F(SerialExit, HangingUpSendsNoModemCommand)
{
    EXPECT_EXIT(
        {
            ODPlatClockUseVirtual(1000000, (int64_t)time(nullptr));
            od_parse_cmd_line("-SILENT -D DOOR.SYS");
            od_init();
            od_disp_str("bye");
            od_exit(6, 1);
        },
        ::testing::ExitedWithCode(6), "");
    EXPECT_EQ(LineOutput(master, 200), "bye");
}

TEST_F(SerialExit, ACommandWaitingForAReplyIsSentAgainOnceWhenNoneComes)
{
    pfODProcessExit = [](int code) {
        fprintf(stderr, "the process ended with %d\n", code);
        abort();
    };
    od_parse_cmd_line("-SILENT -D DOOR.SYS");
    od_init();
    ASSERT_EQ((int)od_control.com_method, ODCOM_METHOD_SERIAL);
    LineOutput(master, 50);

    // No reply: the whole command goes twice, then exit goes on.
    ODPlatClockUseVirtual(1000000, (int64_t)time(nullptr));
    snprintf(od_control.modem_exit_command, sizeof od_control.modem_exit_command, "ATH| OK ");
    ODInExDisableDTR();
    EXPECT_EQ(LineOutput(master, 100), "ATH\rATH\r");

    // A modem that answers: once is enough.
    ODPlatClockUseReal();
    std::atomic<bool> answered(false);
    // It answers as soon as the command is whole: the door waits 2 s for it.
    std::thread modem([&] {
        std::string seen;
        for (int waited = 0; seen.find("ATH\r") == std::string::npos; waited += 20) {
            if (waited > 5000) return;
            seen += LineOutput(master, 20);
        }
        answered = write(master, "\r\nOK\r\n", 6) == 6;
    });
    ODInExDisableDTR();
    modem.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(LineOutput(master, 300), "");
}
