// The Linux transports beyond sockets: a serial line played by a
// pseudo-terminal (inherited, and opened by port number), standard I/O over
// a pipe and over a pty in a child process, the Door32 library when absent,
// and the CP437 table against the system's IBM437 conversion.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "ODCom.h"
#include "ODInQue.h"
#include "ODPlat.h"
#include "doorkit.h"
#include "session.h"
#include "testdir.h"

namespace {

std::string ReadFor(int fd, size_t count, int timeout_ms)
{
    std::string out;
    uint64_t end = TestNowMs() + (uint64_t)timeout_ms;
    while (out.size() < count && TestNowMs() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)(end - TestNowMs())) <= 0) continue;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, (size_t)n);
    }
    return out;
}

std::string Keys(int settle_ms)
{
    std::string keys;
    uint64_t end = TestNowMs() + (uint64_t)settle_ms;
    while (TestNowMs() < end) {
        char key = od_get_key(0);
        if (key) keys += key;
        else od_sleep(5);
    }
    return keys;
}

bool Send(const std::string &bytes)
{
    return ODComSendBuffer(hSerialPort, (const uint8_t *)bytes.data(), (int)bytes.size()) == ODCOM_OK;
}

// Starts body in a child process with fds as its standard input and
// output, closing close_in_child there first.
template <typename Body>
pid_t StartChildOnStdio(int in, int out, int close_in_child, Body body)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (close_in_child >= 0) close(close_in_child);
        dup2(in, 0);
        dup2(out, 1);
        close(2);  // keep the test's output clean
        _exit(body());
    }
    return pid;
}

// The child's exit code, -1 when it did not exit normally.
int WaitChild(pid_t pid)
{
    int status = 0;
    uint64_t end = TestNowMs() + 10000;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (TestNowMs() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(SerialLine, InheritedPtyCarriesExactBytesAndHangUp)
{
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    struct termios before;
    tcgetattr(slave, &before);
    od_control.remote_bps = 38400;
    od_control.open_handle = (uint64_t)slave;
    od_init();
    ASSERT_NE(hSerialPort, nullptr);
    EXPECT_EQ((int)od_control.com_method, ODCOM_METHOD_SERIAL);

    // Raw both ways: CR stays CR, ^C is a key, LF is not turned into CR LF.
    ASSERT_EQ(write(master, "a\r\x03\xff", 4), 4);
    EXPECT_EQ(Keys(150), "a\r\x03\xff");
    ASSERT_TRUE(Send("x\n\xff\x0d"));
    EXPECT_EQ(ReadFor(master, 4, 2000), "x\n\xff\x0d");
    EXPECT_EQ(od_carrier(), 1);

    ASSERT_EQ(write(master, "zz", 2), 2);
    usleep(50000);
    EXPECT_EQ(ODComClearInbound(hSerialPort), ODCOM_OK);
    EXPECT_EQ(Keys(100), "");

    // An inherited line is given back as found, and stays open.
    ODComSessionClose();
    struct termios after;
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON), before.c_lflag & (ECHO | ICANON));
    EXPECT_EQ(after.c_oflag & OPOST, before.c_oflag & OPOST);
    close(slave);
    close(master);
}

TEST(SerialLine, CallerHangingUpEndsTheWaitAndTheCarrier)
{
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    od_control.remote_bps = 38400;
    od_control.open_handle = (uint64_t)slave;
    od_init();
    ASSERT_NE(hSerialPort, nullptr);
    EXPECT_EQ(od_carrier(), 1);
    close(master);
    tODInputEvent event;
    EXPECT_FALSE(od_get_input(&event, 200, 0));
    EXPECT_EQ(od_carrier(), 0);
    ODComSessionClose();
    close(slave);
}

TEST(SerialLine, PortNumberOpensTheDeviceWithSpeedAndFlowControl)
{
    TestDir dir;
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::string link = dir.path("tty3");
    ASSERT_EQ(symlink(ptsname(master), link.c_str()), 0);
    snprintf(szODComSerialDevice, sizeof szODComSerialDevice, "%s", dir.path("tty%u").c_str());
    od_control.remote_bps = 9600;
    od_control.com_port = 3;
    od_control.com_flow_control = 1;  // RTS/CTS
    od_init();
    ASSERT_NE(hSerialPort, nullptr);
    EXPECT_EQ((int)od_control.com_method, ODCOM_METHOD_SERIAL);
    struct termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    ASSERT_EQ(write(master, "hi", 2), 2);
    EXPECT_EQ(Keys(150), "hi");
    ASSERT_TRUE(Send("ok"));
    EXPECT_EQ(ReadFor(master, 2, 2000), "ok");
    ODComSessionClose();
    close(master);
    close(slave);
}

TEST(SerialLine, MissingPortFailsToOpen)
{
    tPortHandle port;
    ASSERT_EQ(ODComAlloc(&port), ODCOM_OK);
    snprintf(szODComSerialDevice, sizeof szODComSerialDevice, "/nonexistent/ttyS%%u");
    ODComSetPort(port, 0);
    EXPECT_EQ(ODComOpen(port), ODCOM_FAIL);
    // Asked for by name, a Door32 library that is not installed is "not
    // available": the open fails and nothing is left open.
    ODComSetPreferredMethod(port, ODCOM_METHOD_DOOR32);
    EXPECT_EQ(ODComOpen(port), ODCOM_FAIL);
    int carrier = 1;
    EXPECT_EQ(ODComCarrier(port, &carrier), ODCOM_OK);
    EXPECT_EQ(carrier, 0);
    ODComFree(port);
}

TEST(StdioLine, PipeCallerKeysEchoAndEndOfInputIsCarrierLoss)
{
    int to_door[2], from_door[2];
    ASSERT_EQ(pipe(to_door), 0);
    ASSERT_EQ(pipe(from_door), 0);
    ASSERT_EQ(write(to_door[1], "ab\r\n", 4), 4);
    close(to_door[1]);
    pid_t child = StartChildOnStdio(to_door[0], from_door[1], from_door[0], [] {
        od_control.com_method = ODCOM_METHOD_STDIO;
        od_control.remote_bps = 1;
        od_init();
        if (!hSerialPort) return 10;
        std::string keys;
        for (int i = 0; i < 100; i++) {
            tODInputEvent event;
            if (od_get_input(&event, 100, 0)) keys += (char)event.chKeyPress;
            else if (!od_carrier()) break;  // only once every key is taken
        }
        std::string reply = "got:" + keys;
        if (ODComSendBuffer(hSerialPort, (const uint8_t *)reply.data(), (int)reply.size()) != ODCOM_OK) return 11;
        return 0;
    });
    close(to_door[0]);
    close(from_door[1]);
    EXPECT_EQ(ReadFor(from_door[0], 100, 5000), "got:ab\r\n");
    EXPECT_EQ(WaitChild(child), 0);
    close(from_door[0]);
}

TEST(StdioLine, PtyGoesRawAndIsRestoredAndHangUpEndsTheLine)
{
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    pid_t child = StartChildOnStdio(slave, slave, master, [] {
        struct termios before;
        tcgetattr(0, &before);
        od_control.com_method = ODCOM_METHOD_STDIO;
        od_control.remote_bps = 1;
        od_init();
        if (!hSerialPort) return 10;
        if (ODComSendBuffer(hSerialPort, (const uint8_t *)"R", 1) != ODCOM_OK) return 11;
        std::string keys;
        for (int i = 0; i < 100 && keys.size() < 3; i++) {
            tODInputEvent event;
            if (od_get_input(&event, 50, GETIN_RAW)) keys += (char)event.chKeyPress;
        }
        if (keys != "\x03q\r") return 12;  // no signal, no CR translation
        if (ODComSendBuffer(hSerialPort, (const uint8_t *)"A\nB", 3) != ODCOM_OK) return 13;
        for (int i = 0; i < 500 && od_carrier(); i++) od_sleep(10);
        if (od_carrier()) return 14;
        ODComSessionClose();
        struct termios after;
        if (tcgetattr(0, &after) == 0 &&
            (after.c_lflag & (ECHO | ICANON | ISIG)) != (before.c_lflag & (ECHO | ICANON | ISIG)))
            return 15;
        return 0;
    });
    close(slave);
    // Typed only once the door has its line: a cooked line would echo it,
    // turn CR into LF and ^C into a signal.
    EXPECT_EQ(ReadFor(master, 1, 5000), "R");
    ASSERT_EQ(write(master, "\x03q\r", 3), 3);
    EXPECT_EQ(ReadFor(master, 3, 5000), "A\nB");
    close(master);  // the caller hangs up
    EXPECT_EQ(WaitChild(child), 0);
}

TEST(StdioLine, RestoresTheTerminalItMadeRaw)
{
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    pid_t child = StartChildOnStdio(slave, slave, master, [] {
        struct termios before, during, after;
        tcgetattr(0, &before);
        od_control.com_method = ODCOM_METHOD_STDIO;
        od_control.remote_bps = 1;
        od_init();
        if (!hSerialPort) return 10;
        tcgetattr(0, &during);
        if (during.c_lflag & (ECHO | ICANON | ISIG)) return 11;
        ODComSessionClose();
        tcgetattr(0, &after);
        if ((after.c_lflag & (ECHO | ICANON | ISIG)) != (before.c_lflag & (ECHO | ICANON | ISIG))) return 12;
        if ((after.c_oflag & OPOST) != (before.c_oflag & OPOST)) return 13;
        if (fcntl(1, F_GETFL) & O_NONBLOCK) return 14;
        return 0;
    });
    close(slave);
    EXPECT_EQ(WaitChild(child), 0);
    close(master);
}

TEST(StdioLine, ExitGivesTheTerminalBack)
{
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    struct termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    pid_t child = StartChildOnStdio(slave, slave, master, [] {
        od_control.com_method = ODCOM_METHOD_STDIO;
        od_control.remote_bps = 1;
        od_init();
        if (!hSerialPort) return 10;
        od_exit(7, 0);
        return 11;
    });
    EXPECT_EQ(WaitChild(child), 7);
    struct termios after;
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), before.c_lflag & (ECHO | ICANON | ISIG));
    EXPECT_EQ(fcntl(slave, F_GETFL) & O_NONBLOCK, 0);
    close(slave);
    close(master);
}

// A Door32 library as a BBS would supply one, built for the test: pipes
// stand for the BBS's side, and the "event handles" are their descriptors.
static const char kDoor32Source[] = R"(
#include <unistd.h>
static int in[2] = {-1, -1}, off[2] = {-1, -1}, out[2] = {-1, -1};
int DoorInitialize(void) { return pipe(in) == 0 && pipe(off) == 0 && pipe(out) == 0; }
void DoorShutdown(void) { close(in[0]); close(in[1]); close(off[0]); close(out[0]); close(out[1]); }
int DoorWrite(const unsigned char *b, int n) { return write(out[1], b, (size_t)n) == n; }
int DoorRead(unsigned char *b, int n) { long r = read(in[0], b, (size_t)n); return r < 0 ? 0 : (int)r; }
void *DoorGetAvailableEventHandle(void) { return (void *)(long)in[0]; }
void *DoorGetOfflineEventHandle(void) { return (void *)(long)off[0]; }
int BbsCallerFd(void) { return in[1]; }
int BbsScreenFd(void) { return out[0]; }
void BbsHangUp(void) { close(off[1]); }
)";

TEST(Door32Line, LibraryIsPreferredAndCarriesTheSession)
{
    TestDir dir;
    dir.write("door32.c", kDoor32Source);
    std::string library = dir.path("libdoor32.so");
    std::string build = "cc -shared -fPIC -o '" + library + "' '" + dir.path("door32.c") + "' 2>/dev/null";
    if (system(build.c_str()) != 0) GTEST_SKIP() << "no C compiler to build the stand-in library";
    snprintf(szODComDoor32Library, sizeof szODComDoor32Library, "%s", library.c_str());
    snprintf(szODComSerialDevice, sizeof szODComSerialDevice, "/nonexistent/ttyS%%u");
    od_control.remote_bps = 19200;
    od_init();
    ASSERT_NE(hSerialPort, nullptr);
    EXPECT_EQ((int)od_control.com_method, ODCOM_METHOD_DOOR32);

    void *lib = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr);
    int caller = ((int (*)(void))dlsym(lib, "BbsCallerFd"))();
    int screen = ((int (*)(void))dlsym(lib, "BbsScreenFd"))();
    void (*hang_up)(void) = (void (*)(void))dlsym(lib, "BbsHangUp");
    ASSERT_EQ(write(caller, "\x1b[Ay", 4), 4);
    tODInputEvent event;
    ASSERT_TRUE(od_get_input(&event, 1000, 0));
    EXPECT_EQ(event.chKeyPress, OD_KEY_UP);
    EXPECT_EQ(od_get_key(1), 'y');
    ASSERT_TRUE(Send("\xc9\xff\r"));
    EXPECT_EQ(ReadFor(screen, 3, 2000), "\xc9\xff\r");
    EXPECT_EQ(od_carrier(), 1);
    int count = -1;
    EXPECT_EQ(ODComOutbound(hSerialPort, &count), ODCOM_UNSUPPORTED);
    EXPECT_EQ(ODComSetDTR(hSerialPort, 0), ODCOM_UNSUPPORTED);
    hang_up();
    EXPECT_EQ(od_carrier(), 0);
    dlclose(lib);
    ODComSessionClose();
}

// Bytes still waiting in the door's end of the link.
static int Unread(void)
{
    int count = -1;
    ioctl((int)od_control.open_handle, FIONREAD, &count);
    return count;
}

TEST(Flood, OneLookAtTheLineTakesABoundedAmount)
{
    TestCaller caller;
    ASSERT_TRUE(TestStartSocketSession(&caller, true));
    // A subnegotiation that does not end: one read without waiting gives
    // up after a bounded amount instead of following the stream.
    std::string sub = "\xff\xfa\x18" + std::string(60000, 'q');
    ASSERT_TRUE(caller.Send(sub));
    char byte;
    EXPECT_EQ(ODComGetByte(hSerialPort, &byte, 0), ODCOM_NOTHING);
    EXPECT_GT(Unread(), 40000);
    while (Unread() > 0) ODComGetByte(hSerialPort, &byte, 0);
    ASSERT_TRUE(caller.Send("\xff\xf0k"));
    EXPECT_EQ(ODComGetByte(hSerialPort, &byte, 1), ODCOM_OK);
    EXPECT_EQ(byte, 'k');
    // Dropped bytes (the caller's keyboard switched off) are bounded too.
    od_control.remote_keyboard_enabled = 0;
    ASSERT_TRUE(caller.Send(std::string(60000, 'x')));
    od_kernel();
    EXPECT_GT(Unread(), 40000);
}

TEST(Cp437, TableMatchesTheSystemsIbm437)
{
    iconv_t cd = iconv_open("UTF-8", "IBM437");
    ASSERT_NE(cd, (iconv_t)-1);
    for (int b = 0x80; b <= 0xFF; b++) {
        char in[1] = {(char)b};
        char out[8];
        char *pin = in, *pout = out;
        size_t inleft = 1, outleft = sizeof out;
        ASSERT_NE(iconv(cd, &pin, &inleft, &pout, &outleft), (size_t)-1) << b;
        std::string expected(out, sizeof out - outleft);
        uint8_t byte = (uint8_t)b;
        int length = 1;
        uint8_t *mine = ODComCP437ToUnicode(&byte, &length);
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(std::string((char *)mine, (size_t)length), expected) << "byte " << b;
        free(mine);
    }
    iconv_close(cd);
}
