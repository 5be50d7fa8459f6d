// A door started as a BBS starts one: its own process, a drop file, the
// caller on an inherited socket or on a pseudo-terminal as standard I/O,
// and the exit code and written-back drop file the BBS gets for each way a
// session ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "door_process.h"
#include "door_program.h"
#include "dropfile_support.h"
#include "testdir.h"

// The test binary is also the test door (door_program.h).
static const int kRunAsDoor = (TestDoorRunIfAsked(), 0);

namespace {

using Lines = std::vector<std::string>;

Lines Door32(const std::string &type, const std::string &handle, const std::string &minutes)
{
    return {type, handle, "38400", "Test BBS 1.0", "42", "Ann Example", "Annie", "50", minutes, "1", "3"};
}

// A full DOOR.SYS (52 lines) as a DOS BBS writes it.
Lines DoorSys(const std::string &port, int minutes)
{
    return {
        port,           "38400",          "8",          "2",
        "38400",        "Y",              "Y",          "Y",
        "Y",            "ANN EXAMPLE",    "ANYTOWN, USA", "555-555-1212",
        "555-555-1213", "SECRET7",        "100",        "42",
        "01/15/24",     std::to_string(minutes * 60), std::to_string(minutes), "GR",
        "24",           "N",              "1,2,3,4,5",  "1",
        "12/31/99",     "17",             "Y",          "10",
        "20",           "100",            "9999",       "03/04/70",
        "C:\\BBS\\DOORS\\", "C:\\BBS\\DATA\\", "SYSOP SAM", "ANNIE",
        "00:00",        "Y",              "Y",          "Y",
        "Y",            "14",             "02/01/24",   "08:15",
        "08:00",        "32768",          "0",          "0",
        "0",            "Regular caller", "0",          "5",
    };
}

Lines SplitLines(const std::string &text)
{
    Lines lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

time_t ModifiedAt(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

class DoorProcess : public ::testing::Test {
protected:
    void SetUp() override { elsewhere = dir.mkdir("elsewhere"); }

    // A socket pair: the door's end is inherited by number, as a BBS does.
    void Link()
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    }
    void CloseCaller()
    {
        if (sv[1] >= 0) close(sv[1]);
        sv[1] = -1;
    }
    void TearDown() override
    {
        for (int fd : sv)
            if (fd >= 0) close(fd);
    }

    bool StartOnSocket(const std::string &args, std::vector<std::pair<std::string, std::string>> env = {})
    {
        TestDoorOptions options;
        options.args = args;
        options.cwd = dir.root();
        options.inherit = {sv[0]};
        options.env = env;
        options.env.push_back({"DOORKIT_TEST_MARK", dir.path("mark.log")});
        options.env.push_back({"DOORKIT_TEST_CHDIR", elsewhere});
        bool started = TestDoorStart(options, &door);
        close(sv[0]);
        sv[0] = -1;
        return started;
    }

    std::string Caller(const std::string &until, int timeout_ms = 10000)
    {
        return TestReadUntil(sv[1], until, timeout_ms);
    }
    void Send(const std::string &bytes) { ASSERT_EQ(write(sv[1], bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
    std::string Mark() { return dir.exists("mark.log") ? dir.read("mark.log") : ""; }

    TestDir dir;
    std::string elsewhere;
    int sv[2] = {-1, -1};
    TestDoor door;
};

TEST_F(DoorProcess, Door32SocketServesTheCallerAndQuitGivesTheGamesLevel)
{
    Link();
    dir.write("DOOR32.SYS", JoinLines(Door32("2", std::to_string(sv[0]), "30")));
    ASSERT_TRUE(StartOnSocket("-D DOOR32.SYS"));
    EXPECT_NE(Caller("Press Q to quit.").find("TEST DOOR Ann Example"), std::string::npos);
    Send("x");
    EXPECT_NE(Caller("key x").find("key x"), std::string::npos);
    Send("q");
    EXPECT_EQ(TestDoorWait(&door, 10000), 7);
    std::string mark = Mark();
    EXPECT_NE(mark.find("started name=Ann Example handle=Annie node=3 left=30 remote=1 method=5 kind=13"),
              std::string::npos)
        << mark;
    EXPECT_NE(mark.find("id=42:Ann Example"), std::string::npos) << mark;
    EXPECT_NE(mark.find("quit"), std::string::npos);
}

TEST_F(DoorProcess, CallerHangingUpEndsWithOneAfterTheGamesExitSteps)
{
    Link();
    std::string drop = dir.write("DOOR.SYS", JoinLines(DoorSys("COM0:SOCKET " + std::to_string(sv[0]), 60)));
    SetFileAge(drop, 3600);
    time_t before = ModifiedAt(drop);
    ASSERT_TRUE(StartOnSocket("-D DOOR.SYS"));
    Caller("Press Q to quit.");
    CloseCaller();
    EXPECT_EQ(TestDoorWait(&door, 5000), 1);
    EXPECT_NE(Mark().find("exit-steps"), std::string::npos) << Mark();
    // Written back where the BBS put it, though the door moved away.
    EXPECT_GT(ModifiedAt(drop), before);
    EXPECT_FALSE(dir.exists("elsewhere/DOOR.SYS"));
}

TEST_F(DoorProcess, HangUpAndTerminateSignalsAreCarrierLoss)
{
    for (int signal_number : {SIGHUP, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        Link();
        std::string drop = dir.write("DOOR.SYS", JoinLines(DoorSys("COM0:SOCKET " + std::to_string(sv[0]), 60)));
        SetFileAge(drop, 3600);
        time_t before = ModifiedAt(drop);
        dir.write("mark.log", "");
        ASSERT_TRUE(StartOnSocket("-D DOOR.SYS"));
        Caller("Press Q to quit.");
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        kill(door.pid, signal_number);
        EXPECT_EQ(TestDoorWait(&door, 5000), 1);
        clock_gettime(CLOCK_MONOTONIC, &end);
        double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
        EXPECT_LT(seconds, 1.0);
        EXPECT_NE(Mark().find("exit-steps"), std::string::npos) << Mark();
        EXPECT_GT(ModifiedAt(drop), before);
        CloseCaller();
    }
}

TEST_F(DoorProcess, TimeUsedUpWarnsAndEndsWithThree)
{
    Link();
    std::string drop = dir.write("DOOR.SYS", JoinLines(DoorSys("COM0:SOCKET " + std::to_string(sv[0]), 2)));
    ASSERT_TRUE(StartOnSocket("-D DOOR.SYS", {{"DOORKIT_TEST_VIRTUAL", "1"}}));
    std::string seen = Caller("all of your time for this session.");
    EXPECT_NE(seen.find("WARNING: You only have 1 minute(s) remaining for this session."), std::string::npos);
    EXPECT_NE(seen.find("Sorry, you have used up all of your time for this session."), std::string::npos);
    EXPECT_EQ(TestDoorWait(&door, 10000), 3);
    Lines lines = SplitLines(dir.read("DOOR.SYS"));
    ASSERT_EQ(lines.size(), 52u);
    EXPECT_EQ(lines[18], "0");
    EXPECT_NE(Mark().find("exit-steps"), std::string::npos);
}

TEST_F(DoorProcess, InactivityWarnsAndEndsWithFour)
{
    Link();
    dir.write("DOOR32.SYS", JoinLines(Door32("2", std::to_string(sv[0]), "30")));
    ASSERT_TRUE(StartOnSocket("-D DOOR32.SYS", {{"DOORKIT_TEST_VIRTUAL", "1"}}));
    std::string seen = Caller("please call again.");
    EXPECT_NE(seen.find("WARNING: Inactivity timeout in 10 seconds"), std::string::npos);
    EXPECT_NE(seen.find("Maximum user inactivity time has elapsed, please call again."), std::string::npos);
    EXPECT_EQ(TestDoorWait(&door, 10000), 4);
    // Inactivity hangs up: the caller's line is closed by the door.
    char byte;
    EXPECT_LE(read(sv[1], &byte, 1), 0);
}

class StdioDoor : public DoorProcess {
protected:
    void OpenPty() { ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
    void TearDown() override
    {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
        DoorProcess::TearDown();
    }
    bool StartOnPty(const std::string &args)
    {
        TestDoorOptions options;
        options.args = args;
        options.cwd = dir.root();
        options.stdin_fd = slave;
        options.stdout_fd = slave;
        options.controlling_tty = true;
        options.env.push_back({"DOORKIT_TEST_MARK", dir.path("mark.log")});
        bool started = TestDoorStart(options, &door);
        close(slave);
        slave = -1;
        return started;
    }
    int master = -1, slave = -1;
};

TEST_F(StdioDoor, DoorSysStdioServesTheCallerAndAHangUpEndsWithOne)
{
    OpenPty();
    std::string drop = dir.write("DOOR.SYS", JoinLines(DoorSys("COM0:STDIO", 60)));
    SetFileAge(drop, 3600);
    time_t before = ModifiedAt(drop);
    ASSERT_TRUE(StartOnPty(""));
    EXPECT_NE(TestReadUntil(master, "Press Q", 10000).find("TEST DOOR Ann Example"), std::string::npos);
    ASSERT_EQ(write(master, "z", 1), 1);
    EXPECT_NE(TestReadUntil(master, "key z", 5000).find("key z"), std::string::npos);
    // The caller drops: the pseudo-terminal goes and the door gets SIGHUP.
    close(master);
    master = -1;
    EXPECT_EQ(TestDoorWait(&door, 5000), 1);
    EXPECT_NE(Mark().find("remote=1 method=6"), std::string::npos) << Mark();
    EXPECT_NE(Mark().find("exit-steps"), std::string::npos) << Mark();
    EXPECT_GT(ModifiedAt(drop), before);
}

TEST_F(StdioDoor, Door32LocalTypeWithStdioOptionIsARemoteCallerOnThePty)
{
    OpenPty();
    dir.write("DOOR32.SYS", JoinLines(Door32("0", "0", "45"), "\n"));
    ASSERT_TRUE(StartOnPty("-STDIO -D DOOR32.SYS"));
    EXPECT_NE(TestReadUntil(master, "Press Q", 10000).find("TEST DOOR Ann Example"), std::string::npos);
    ASSERT_EQ(write(master, "q", 1), 1);
    EXPECT_EQ(TestDoorWait(&door, 5000), 7);
    EXPECT_NE(Mark().find("left=45 remote=1 method=6 kind=13"), std::string::npos) << Mark();
}

TEST_F(StdioDoor, StdioOptionOverridesTheDropFilesSerialPort)
{
    OpenPty();
    dir.write("DOOR.SYS", JoinLines(DoorSys("COM2:", 60)));
    ASSERT_TRUE(StartOnPty("-STDIO"));
    EXPECT_NE(TestReadUntil(master, "Press Q", 10000).find("TEST DOOR Ann Example"), std::string::npos);
    ASSERT_EQ(write(master, "q", 1), 1);
    EXPECT_EQ(TestDoorWait(&door, 5000), 7);
    EXPECT_NE(Mark().find("remote=1 method=6 kind=10"), std::string::npos) << Mark();
}

TEST_F(DoorProcess, NoDropFileIsAFatalErrorWithExitCodeZero)
{
    TestDoorOptions options;
    options.args = "-N 2";
    options.cwd = dir.root();
    ASSERT_TRUE(TestDoorStart(options, &door));
    std::string err;
    EXPECT_EQ(TestDoorWait(&door, 5000, &err), 0);
    EXPECT_NE(err.find("Unable to read door information (drop) file."), std::string::npos) << err;
    EXPECT_NE(err.find("Use the -HELP command line option for help, or -LOCAL for local mode."), std::string::npos);
}

TEST_F(DoorProcess, HostileDropFilesEndWithTheMessageAndNeverCrash)
{
    std::string binary;
    for (int i = 0; i < 5000; i++) binary += (char)((i * 7919 + 13) & 0xFF);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"DOOR32.SYS", binary},
        {"DOOR32.SYS", "2\r\n"},
        {"DOOR32.SYS", std::string(2 << 20, '9')},
        {"DOOR.SYS", "COM1:\r\n\xff\xfe\r\n"},
        {"DOOR32.SYS", JoinLines(Door32("2", "-1", "30"))},
    };
    for (const auto &file : files) {
        SCOPED_TRACE(file.first + " of " + std::to_string(file.second.size()) + " bytes");
        TestDir here;
        here.write(file.first, file.second);
        TestDoorOptions options;
        options.args = "-D " + file.first;
        options.cwd = here.root();
        ASSERT_TRUE(TestDoorStart(options, &door));
        std::string err;
        EXPECT_EQ(TestDoorWait(&door, 5000, &err), 0);
        EXPECT_TRUE(err.find("Unable to read door information (drop) file.") != std::string::npos ||
                    err.find("Unable to use provided serial port handle.") != std::string::npos)
            << err;
    }
}

TEST_F(DoorProcess, BBSDevFileThatFailsValidationOrAnOverlongPathIsRefused)
{
    std::string bad = dir.write("BBSDEV.DRP", "1.0\nsocket\nnot a number\n");
    for (const std::string &path : {bad, dir.root() + "/" + std::string(5000, 'a')}) {
        TestDoorOptions options;
        options.cwd = dir.root();
        options.env = {{"BBSDEV_DRP", path}};
        ASSERT_TRUE(TestDoorStart(options, &door));
        std::string err;
        EXPECT_EQ(TestDoorWait(&door, 5000, &err), 0);
        EXPECT_NE(err.find("Unable to read or validate BBSDEV.DRP."), std::string::npos) << err;
    }
}

TEST_F(DoorProcess, NodeFromTheEnvironmentAndOverlongValuesIgnored)
{
    struct {
        std::string task;
        const char *expected;
    } cases[] = {{"7", "node=7 "}, {std::string(5000, '7'), "node=12 "}, {"x7", "node=12 "}};
    for (const auto &c : cases) {
        dir.write("mark.log", "");
        TestDoorOptions options;
        options.args = "-L -USERNAME Bob Local";
        options.cwd = dir.root();
        options.env = {{"TASK", c.task}, {"SBBSNNUM", "12"}, {"DOORKIT_TEST_MARK", dir.path("mark.log")}};
        ASSERT_TRUE(TestDoorStart(options, &door));
        for (int i = 0; i < 500 && Mark().find("started") == std::string::npos; i++) usleep(10000);
        kill(door.pid, SIGTERM);
        EXPECT_EQ(TestDoorWait(&door, 5000), 1);
        EXPECT_NE(Mark().find(c.expected), std::string::npos) << Mark();
        EXPECT_NE(Mark().find("name=Bob Local"), std::string::npos) << Mark();
        EXPECT_NE(Mark().find("id=:Bob Local"), std::string::npos) << Mark();
    }
}

}  // namespace
