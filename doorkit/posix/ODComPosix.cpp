/* ODComPosix.cpp -- the caller's connection on Linux: an inherited socket
 * descriptor, a serial port through termios, standard I/O (raw when it is a
 * terminal), and a Door32 library loaded with dlopen.
 *
 * Every read and write is non-blocking (MSG_DONTWAIT, or O_NONBLOCK on the
 * descriptors this layer owns or borrows) and waits with poll(), so a
 * caller who stalls or floods never holds the game thread past the time-outs
 * of the connection layer. */
#include "../ODComInt.h"
#include "../ODPlat.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

char szODComDoor32Library[260] = ODCOM_DOOR32_LIBRARY;
char szODComSerialDevice[64] = "/dev/ttyS%u";

typedef int (*tDoorInitialize)(void);
typedef void (*tDoorShutdown)(void);
typedef int (*tDoorWrite)(const uint8_t *bytes, int length);
typedef int (*tDoorRead)(uint8_t *buffer, int length);
typedef void *(*tDoorGetEvent)(void);

struct ODComPlat {
    int  bIsSocket;      /* nHandle is a socket: send/recv, else read/write */
    int  fdOut;          /* where output goes: nHandle, or 1 for stdio */
    int  bTermiosSaved;  /* fdTermios's settings are restored at close */
    int  fdTermios;
    struct termios savedTermios;
    int  nSavedOutFlags; /* fdOut's file flags as found, -1 when untouched */
    void *hDoor32;
    tDoorInitialize pfInitialize;
    tDoorShutdown   pfShutdown;
    tDoorWrite      pfWrite;
    tDoorRead       pfRead;
    tDoorGetEvent   pfAvailable;
    tDoorGetEvent   pfOffline;
};

int ODComPlatAlloc(ODComPort *port)
{
    port->pPlat = (ODComPlat *)calloc(1, sizeof *port->pPlat);
    if (!port->pPlat) return ODCOM_NOMEM;
    port->pPlat->fdOut = -1;
    port->pPlat->fdTermios = -1;
    port->pPlat->nSavedOutFlags = -1;
    return ODCOM_OK;
}

void ODComPlatFree(ODComPort *port)
{
    free(port->pPlat);
    port->pPlat = nullptr;
}

/* ---- helpers ---- */

/* poll() that survives signals, on the kit clock: on the virtual clock it
 * looks without blocking and moves the clock on by the wait instead,
 * pausing a thousandth of it for real, so that virtual time keeps a pace a
 * test's real-time waits can rely on however fast the machine. */
static int ODComPoll(struct pollfd *fds, int count, uint32_t wait_ms)
{
    if (ODPlatClockIsVirtual() && wait_ms != OD_WAIT_FOREVER) {
        int n = poll(fds, (nfds_t)count, 0);
        if (n == 0 && wait_ms > 0) {
            ODPlatClockAdvance(wait_ms);
            struct timespec pause = {0, (long)wait_ms * 1000L};
            nanosleep(&pause, nullptr);
        }
        return n;
    }
    uint64_t start = ODPlatTickMs();
    for (;;) {
        int timeout = -1;
        if (wait_ms != OD_WAIT_FOREVER) {
            uint64_t spent = ODPlatTickMs() - start;
            timeout = spent >= wait_ms ? 0 : (int)(wait_ms - spent);
        }
        int n = poll(fds, (nfds_t)count, timeout);
        if (n >= 0 || errno != EINTR) return n;
    }
}

static int ODComInputFd(ODComPort *port)
{
    if (port->nMethod == ODCOM_METHOD_DOOR32)
        return port->pPlat->pfAvailable ? (int)(intptr_t)port->pPlat->pfAvailable() : -1;
    return (int)port->nHandle;
}

/* Raw mode for a terminal line: bytes pass exactly as sent, both ways. */
static int ODComMakeRaw(ODComPlat *plat, int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return 0;
    plat->savedTermios = t;
    plat->fdTermios = fd;
    plat->bTermiosSaved = 1;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

static void ODComRestoreTerminal(ODComPlat *plat)
{
    if (plat->bTermiosSaved) tcsetattr(plat->fdTermios, TCSANOW, &plat->savedTermios);
    plat->bTermiosSaved = 0;
    plat->fdTermios = -1;
}

/* Output descriptors this layer does not own get O_NONBLOCK for the
 * session, given back at close, so a stalled reader cannot block a write. */
static void ODComBorrowNonBlocking(ODComPlat *plat, int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_NONBLOCK)) return;
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) plat->nSavedOutFlags = flags;
}

static void ODComReturnNonBlocking(ODComPlat *plat)
{
    if (plat->nSavedOutFlags >= 0 && plat->fdOut >= 0) fcntl(plat->fdOut, F_SETFL, plat->nSavedOutFlags);
    plat->nSavedOutFlags = -1;
}

static speed_t ODComSpeedConstant(uint32_t bps)
{
    static const struct { uint32_t bps; speed_t code; } speeds[] = {
        {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto &s : speeds)
        if (s.bps == bps) return s.code;
    return B0;
}

/* ---- opening ---- */

int ODComPlatLoadDoor32(ODComPort *port)
{
    ODComPlat *plat = port->pPlat;
    void *lib = dlopen(szODComDoor32Library, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return ODCOM_FAIL;
    plat->pfInitialize = (tDoorInitialize)dlsym(lib, "DoorInitialize");
    plat->pfShutdown = (tDoorShutdown)dlsym(lib, "DoorShutdown");
    plat->pfWrite = (tDoorWrite)dlsym(lib, "DoorWrite");
    plat->pfRead = (tDoorRead)dlsym(lib, "DoorRead");
    plat->pfAvailable = (tDoorGetEvent)dlsym(lib, "DoorGetAvailableEventHandle");
    plat->pfOffline = (tDoorGetEvent)dlsym(lib, "DoorGetOfflineEventHandle");
    if (!plat->pfInitialize || !plat->pfShutdown || !plat->pfWrite || !plat->pfRead ||
        !plat->pfAvailable || !plat->pfOffline || !plat->pfInitialize()) {
        dlclose(lib);
        plat->pfInitialize = nullptr;
        plat->pfShutdown = nullptr;
        plat->pfWrite = nullptr;
        plat->pfRead = nullptr;
        plat->pfAvailable = plat->pfOffline = nullptr;
        return ODCOM_FAIL;
    }
    plat->hDoor32 = lib;
    return ODCOM_OK;
}

int ODComPlatOpenSerial(ODComPort *port)
{
    ODComPlat *plat = port->pPlat;
    char device[96];
    ODComSerialDeviceName(device, sizeof device, (unsigned)port->btPort);
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ODCOM_FAIL;
    struct termios t;
    /* Not shared: a second opener of the line is refused by the driver. */
    if (ioctl(fd, TIOCEXCL) != 0 || tcgetattr(fd, &t) != 0) {
        close(fd);
        return ODCOM_FAIL;
    }
    plat->savedTermios = t;
    plat->fdTermios = fd;
    plat->bTermiosSaved = 1;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (port->dwSpeed != 0) {
        speed_t code = ODComSpeedConstant(port->dwSpeed);
        if (code != B0) {
            cfsetispeed(&t, code);
            cfsetospeed(&t, code);
        }
    }
    if (!(port->btFlowControl & 0x80)) {
        t.c_cflag &= ~CRTSCTS;
        if (port->btFlowControl & 0x02) t.c_cflag |= CRTSCTS;
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        plat->bTermiosSaved = 0;
        close(fd);
        return ODCOM_FAIL;
    }
    int dtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIS, &dtr); /* a line without modem control has no DTR */
    port->nHandle = fd;
    plat->fdOut = fd;
    plat->bIsSocket = 0;
    return ODCOM_OK;
}

int ODComPlatOpenStdio(ODComPort *port)
{
    ODComPlat *plat = port->pPlat;
    if (fcntl(0, F_GETFL) < 0 || fcntl(1, F_GETFL) < 0) return ODCOM_FAIL;
    /* A caller who hangs up on a pipe must end the session through the
     * carrier check, not kill the door before its exit steps run. */
    signal(SIGPIPE, SIG_IGN);
    if (isatty(0) && !ODComMakeRaw(plat, 0)) return ODCOM_FAIL;
    port->nHandle = 0;
    plat->fdOut = 1;
    plat->bIsSocket = 0;
    ODComBorrowNonBlocking(plat, 1);
    port->bInherited = 1;
    return ODCOM_OK;
}

int ODComPlatAdoptSocket(ODComPort *port, uint64_t existing)
{
    ODComPlat *plat = port->pPlat;
    if (existing > 0x7FFFFFFF) return ODCOM_FAIL;
    int fd = (int)existing;
    if (fcntl(fd, F_GETFD) < 0) return ODCOM_FAIL;
    int type;
    socklen_t length = sizeof type;
    plat->bIsSocket = getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
    port->bNoDelaySaved = 0;
    int value = 0;
    length = sizeof value;
    if (plat->bIsSocket && getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0) {
        port->nSavedNoDelay = value;
        port->bNoDelaySaved = 1;
        /* Nagle on: the caller gets whole updates, not a packet per byte. */
        value = 0;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
    }
    if (!plat->bIsSocket) ODComBorrowNonBlocking(plat, fd);
    port->nHandle = fd;
    plat->fdOut = fd;
    return ODCOM_OK;
}

int ODComPlatAdoptSerial(ODComPort *port, uint64_t existing)
{
    ODComPlat *plat = port->pPlat;
    if (existing > 0x7FFFFFFF) return ODCOM_FAIL;
    int fd = (int)existing;
    if (fcntl(fd, F_GETFD) < 0) return ODCOM_FAIL;
    /* The BBS's line keeps its speed and flow control; only the line
     * discipline goes raw, so bytes pass unchanged, until close. */
    if (isatty(fd)) ODComMakeRaw(plat, fd);
    ODComBorrowNonBlocking(plat, fd);
    port->nHandle = fd;
    plat->fdOut = fd;
    plat->bIsSocket = 0;
    return ODCOM_OK;
}

void ODComPlatClose(ODComPort *port)
{
    ODComPlat *plat = port->pPlat;
    if (port->nMethod == ODCOM_METHOD_DOOR32) {
        if (plat->hDoor32) {
            plat->pfShutdown();
            dlclose(plat->hDoor32);
            plat->hDoor32 = nullptr;
        }
        return;
    }
    ODComRestoreTerminal(plat);
    ODComReturnNonBlocking(plat);
    if (port->nHandle >= 0 && !port->bInherited) {
        if (port->bNoDelaySaved) {
            int value = port->nSavedNoDelay;
            setsockopt((int)port->nHandle, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
        }
        close((int)port->nHandle);
    }
    port->nHandle = -1;
    plat->fdOut = -1;
}

/* ---- line state ---- */

/* Carrier of a line without modem signals: there while it is open. */
static int ODComLineOpen(ODComPort *port)
{
    struct pollfd fds[2] = {{(int)port->nHandle, POLLIN, 0}, {port->pPlat->fdOut, POLLOUT, 0}};
    int count = port->pPlat->fdOut >= 0 && port->pPlat->fdOut != (int)port->nHandle ? 2 : 1;
    if (poll(fds, (nfds_t)count, 0) < 0) return errno == EINTR;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return 0;
    if ((fds[0].revents & POLLHUP) && !(fds[0].revents & POLLIN)) return 0;
    if (count == 2 && (fds[1].revents & (POLLERR | POLLNVAL | POLLHUP))) return 0;
    return 1;
}

int ODComPlatCarrier(ODComPort *port, int *carrier)
{
    ODComPlat *plat = port->pPlat;
    *carrier = 0;
    if (port->nMethod == ODCOM_METHOD_DOOR32) {
        int fd = plat->pfOffline ? (int)(intptr_t)plat->pfOffline() : -1;
        if (fd < 0) return ODCOM_FAIL;
        struct pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, 0);
        if (n < 0) return ODCOM_FAIL;
        *carrier = n == 0;
        return ODCOM_OK;
    }
    if (port->nHandle < 0) return ODCOM_OK;
    if (port->nMethod == ODCOM_METHOD_SOCKET && plat->bIsSocket) {
        int fd = (int)port->nHandle;
        struct pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, 0);
        /* A signal landing in the poll is no reason to hang up on the caller. */
        if (n < 0 && errno == EINTR) {
            *carrier = 1;
            return ODCOM_OK;
        }
        if (n < 0 || (p.revents & (POLLERR | POLLNVAL))) return ODCOM_OK;
        if (n == 0) {
            *carrier = 1;
            return ODCOM_OK;
        }
        char peek;
        ssize_t got = recv(fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT);
        *carrier = got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
        if (!*carrier) port->bPeerGone = 1;
        return ODCOM_OK;
    }
    if (port->nMethod == ODCOM_METHOD_SERIAL) {
        int status = 0;
        if (ioctl((int)port->nHandle, TIOCMGET, &status) == 0) {
            *carrier = (status & TIOCM_CAR) != 0;
            return ODCOM_OK;
        }
        /* A pseudo-terminal has no modem lines: it has carrier while open. */
        if (errno != ENOTTY && errno != EINVAL) return ODCOM_FAIL;
    }
    *carrier = ODComLineOpen(port);
    if (!*carrier) port->bPeerGone = 1;
    return ODCOM_OK;
}

int ODComPlatSetDTR(ODComPort *port, int raise)
{
    if (port->nMethod == ODCOM_METHOD_DOOR32 || port->nMethod == ODCOM_METHOD_STDIO)
        return ODCOM_UNSUPPORTED;
    if (port->nMethod == ODCOM_METHOD_SOCKET) {
        if (raise) return ODCOM_UNSUPPORTED;
        /* The hang-up of a socket session. */
        ODComPlatClose(port);
        port->bPeerGone = 1;
        return ODCOM_OK;
    }
    if (port->nHandle < 0) return ODCOM_FAIL;
    int dtr = TIOCM_DTR;
    return ioctl((int)port->nHandle, raise ? TIOCMBIS : TIOCMBIC, &dtr) == 0 ? ODCOM_OK : ODCOM_FAIL;
}

int ODComPlatOutbound(ODComPort *port, int *count)
{
    *count = 0;
    if (port->nMethod == ODCOM_METHOD_SOCKET || port->nMethod == ODCOM_METHOD_DOOR32)
        return ODCOM_UNSUPPORTED;
    int fd = port->pPlat->fdOut;
    if (fd < 0 || !isatty(fd)) return ODCOM_UNSUPPORTED;
    int pending = 0;
    if (ioctl(fd, TIOCOUTQ, &pending) != 0) return ODCOM_FAIL;
    *count = pending;
    return ODCOM_OK;
}

int ODComPlatClearInbound(ODComPort *port)
{
    if (port->nMethod == ODCOM_METHOD_SOCKET || port->nMethod == ODCOM_METHOD_DOOR32)
        return ODCOM_UNSUPPORTED;
    if (port->nHandle < 0 || !isatty((int)port->nHandle)) return ODCOM_UNSUPPORTED;
    port->nReadPos = port->nReadLen = 0;
    return tcflush((int)port->nHandle, TCIFLUSH) == 0 ? ODCOM_OK : ODCOM_FAIL;
}

/* ---- receiving and sending ---- */

int ODComPlatRead(ODComPort *port, uint8_t *buffer, int size, uint32_t wait_ms, int *got)
{
    ODComPlat *plat = port->pPlat;
    *got = 0;
    int fd = ODComInputFd(port);
    if (fd < 0) return ODCOM_FAIL;
    struct pollfd p = {fd, POLLIN, 0};
    int n = ODComPoll(&p, 1, wait_ms);
    if (n < 0) return ODCOM_FAIL;
    if (n == 0) return ODCOM_NOTHING;
    if (p.revents & POLLNVAL) {
        port->bPeerGone = 1;
        return ODCOM_FAIL;
    }
    if (port->nMethod == ODCOM_METHOD_DOOR32) {
        /* The library is asked for one byte at a time, as it expects. */
        int read_count = plat->pfRead(buffer, 1);
        if (read_count <= 0) return ODCOM_NOTHING;
        *got = read_count;
        return ODCOM_OK;
    }
    ssize_t count = plat->bIsSocket ? recv(fd, buffer, (size_t)size, MSG_DONTWAIT)
                                    : read(fd, buffer, (size_t)size);
    if (count > 0) {
        *got = (int)count;
        return ODCOM_OK;
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return ODCOM_NOTHING;
    /* End of input, or a line that hung up (EIO on a terminal). */
    port->bPeerGone = 1;
    return count == 0 || errno == EIO ? ODCOM_NOTHING : ODCOM_FAIL;
}

int ODComPlatWrite(ODComPort *port, const uint8_t *bytes, int length)
{
    ODComPlat *plat = port->pPlat;
    if (port->nMethod == ODCOM_METHOD_DOOR32)
        return plat->pfWrite && plat->pfWrite(bytes, length) ? ODCOM_OK : ODCOM_FAIL;
    int fd = plat->fdOut;
    if (fd < 0) return ODCOM_FAIL;
    while (length > 0) {
        /* Try first: the usual case is one system call for the whole
         * update; poll only when the far end's window is full. */
        ssize_t sent = plat->bIsSocket ? send(fd, bytes, (size_t)length, MSG_DONTWAIT | MSG_NOSIGNAL)
                                       : write(fd, bytes, (size_t)length);
        if (sent > 0) {
            bytes += sent;
            length -= (int)sent;
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return ODCOM_FAIL;
        struct pollfd p = {fd, POLLOUT, 0};
        /* The kit clock is not used here: a real socket fills and drains in
         * real time even in a test on the virtual clock. */
        int n;
        do n = poll(&p, 1, 1000);
        while (n < 0 && errno == EINTR);
        if (n <= 0 || (p.revents & (POLLERR | POLLNVAL))) return ODCOM_FAIL;
    }
    return ODCOM_OK;
}

void ODComPlatPush(ODComPort *port)
{
    /* Turning Nagle off sends what it holds; back on, later writes are
     * coalesced again as before. A socket without Nagle (a local one) has
     * nothing held. */
    if (!port->pPlat->bIsSocket || port->nHandle < 0 || !port->bNoDelaySaved) return;
    int on = 1, off = 0;
    setsockopt((int)port->nHandle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt((int)port->nHandle, IPPROTO_TCP, TCP_NODELAY, &off, sizeof off);
}

int ODComPlatWaitInput(ODComPort *port, int64_t wake, uint32_t wait_ms)
{
    /* One poll answers the slice: the wake handle, the caller's input and,
     * for a line whose carrier is only its being open (socket, standard
     * I/O), its hang-up and errors; the output side is watched for those
     * alone (no events asked: poll always reports them). */
    struct pollfd fds[3];
    int count = 0, line = -1;
    if (wake >= 0) fds[count++] = {(int)wake, POLLIN, 0};
    int line_carrier = port && (port->nMethod == ODCOM_METHOD_SOCKET || port->nMethod == ODCOM_METHOD_STDIO);
    if (port) {
        int fd = ODComInputFd(port);
        if (fd >= 0) {
            line = count;
            fds[count++] = {fd, POLLIN, 0};
            int out = port->pPlat->fdOut;
            if (line_carrier && out >= 0 && out != fd) fds[count++] = {out, 0, 0};
        }
    }
    int n = ODComPoll(fds, count, wait_ms);
    if (n < 0) return ODCOM_WAKE_SEEN;
    int seen = wake >= 0 && fds[0].revents ? ODCOM_WAKE_SEEN : 0;
    if (line >= 0 && line_carrier) {
        int quiet = 1;
        for (int i = line; i < count; i++)
            if (fds[i].revents) quiet = 0;
        if (quiet) seen |= ODCOM_LINE_QUIET;
    }
    return seen;
}
