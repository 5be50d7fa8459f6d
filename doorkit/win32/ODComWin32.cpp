/* ODComWin32.cpp -- the caller's connection on Windows: an inherited
 * WinSock socket, a serial port through the comm API, the BBS's DOOR32.DLL,
 * and standard I/O (pipes, files or a console).
 *
 * The socket runs non-blocking for the session with its read event bound to
 * an event object, so a wait can watch the caller and the local keyboard at
 * once, and a caller who stalls cannot block a send past its time-out. */
#include "../ODComInt.h"
#include "../ODPlat.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

char szODComDoor32Library[260] = ODCOM_DOOR32_LIBRARY;
char szODComSerialDevice[64] = "\\\\.\\COM%u";

typedef BOOL (WINAPI *tDoorInitialize)(void);
typedef void (WINAPI *tDoorShutdown)(void);
typedef BOOL (WINAPI *tDoorWrite)(const BYTE *bytes, DWORD length);
typedef DWORD (WINAPI *tDoorRead)(BYTE *buffer, DWORD length);
typedef HANDLE (WINAPI *tDoorGetEvent)(void);

#define ODSTDIO_PIPE    0
#define ODSTDIO_CONSOLE 1
#define ODSTDIO_FILE    2

struct ODComPlat {
    int      bWSAStarted;
    WSAEVENT hSocketEvent;
    DWORD    dwReadTimeout;     /* serial read time-out last set, ms */
    HANDLE   hStdIn;
    HANDLE   hStdOut;
    int      nStdInKind;
    DWORD    dwSavedConsoleMode;
    int      bConsoleModeSaved;
    HMODULE  hDoor32;
    tDoorInitialize pfInitialize;
    tDoorShutdown   pfShutdown;
    tDoorWrite      pfWrite;
    tDoorRead       pfRead;
    tDoorGetEvent   pfAvailable;
    tDoorGetEvent   pfOffline;
};

static SOCKET ODComSocket(ODComPort *port) { return (SOCKET)(uintptr_t)port->nHandle; }
static HANDLE ODComHandle(ODComPort *port) { return (HANDLE)(intptr_t)port->nHandle; }

int ODComPlatAlloc(ODComPort *port)
{
    port->pPlat = (ODComPlat *)calloc(1, sizeof *port->pPlat);
    if (!port->pPlat) return ODCOM_NOMEM;
    WSADATA data;
    port->pPlat->bWSAStarted = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    port->pPlat->dwReadTimeout = 0xFFFFFFFF;
    return ODCOM_OK;
}

void ODComPlatFree(ODComPort *port)
{
    if (port->pPlat->bWSAStarted) WSACleanup();
    free(port->pPlat);
    port->pPlat = nullptr;
}

/* Waits on handles on the kit clock; on the virtual clock it looks without
 * blocking and moves the clock on instead. WAIT_TIMEOUT or the index. */
static DWORD ODComWaitHandles(HANDLE *handles, DWORD count, uint32_t wait_ms)
{
    if (count == 0) {
        ODPlatSleepMs(wait_ms == OD_WAIT_FOREVER ? INFINITE : wait_ms);
        return WAIT_TIMEOUT;
    }
    if (ODPlatClockIsVirtual() && wait_ms != OD_WAIT_FOREVER) {
        DWORD r = WaitForMultipleObjects(count, handles, FALSE, 0);
        if (r == WAIT_TIMEOUT && wait_ms > 0) ODPlatClockAdvance(wait_ms);
        return r;
    }
    return WaitForMultipleObjects(count, handles, FALSE, wait_ms == OD_WAIT_FOREVER ? INFINITE : wait_ms);
}

/* Readability of the socket without waiting: 1 readable, 0 not, -1 failed. */
/* 1 readable, 0 not yet, -1 the socket is unusable. A call that failed for
 * a passing reason counts as "not yet", so it never hangs up on a caller. */
static int ODComSocketReadable(SOCKET s)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval zero = {0, 0};
    int n = select(0, &set, nullptr, nullptr, &zero);
    if (n >= 0) return n > 0;
    int error = WSAGetLastError();
    return error == WSAEINTR || error == WSAEINPROGRESS || error == WSAENOBUFS ? 0 : -1;
}

/* ---- opening ---- */

int ODComPlatLoadDoor32(ODComPort *port)
{
    ODComPlat *plat = port->pPlat;
    HMODULE lib = LoadLibraryA(szODComDoor32Library);
    if (!lib) return ODCOM_FAIL;
    plat->pfInitialize = (tDoorInitialize)(void *)GetProcAddress(lib, "DoorInitialize");
    plat->pfShutdown = (tDoorShutdown)(void *)GetProcAddress(lib, "DoorShutdown");
    plat->pfWrite = (tDoorWrite)(void *)GetProcAddress(lib, "DoorWrite");
    plat->pfRead = (tDoorRead)(void *)GetProcAddress(lib, "DoorRead");
    plat->pfAvailable = (tDoorGetEvent)(void *)GetProcAddress(lib, "DoorGetAvailableEventHandle");
    plat->pfOffline = (tDoorGetEvent)(void *)GetProcAddress(lib, "DoorGetOfflineEventHandle");
    if (!plat->pfInitialize || !plat->pfShutdown || !plat->pfWrite || !plat->pfRead ||
        !plat->pfAvailable || !plat->pfOffline || !plat->pfInitialize()) {
        FreeLibrary(lib);
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
    char device[96];
    ODComSerialDeviceName(device, sizeof device, (unsigned)port->btPort + 1u);
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ODCOM_FAIL;
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!SetupComm(h, port->dwRXBufferSize, port->dwTXBufferSize) || !GetCommState(h, &dcb)) {
        CloseHandle(h);
        return ODCOM_FAIL;
    }
    if (port->dwSpeed != 0) dcb.BaudRate = port->dwSpeed;
    if (!(port->btFlowControl & 0x80)) {
        dcb.fOutxCtsFlow = FALSE;
        dcb.fRtsControl = 0;
        if (port->btFlowControl & 0x02) {
            dcb.fOutxCtsFlow = TRUE;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
        }
    }
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    if (!SetCommState(h, &dcb)) {
        CloseHandle(h);
        return ODCOM_FAIL;
    }
    port->nHandle = (int64_t)(intptr_t)h;
    port->pPlat->dwReadTimeout = 0xFFFFFFFF;
    return ODCOM_OK;
}

int ODComPlatOpenStdio(ODComPort *port)
{
    ODComPlat *plat = port->pPlat;
    plat->hStdIn = GetStdHandle(STD_INPUT_HANDLE);
    plat->hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!plat->hStdIn || plat->hStdIn == INVALID_HANDLE_VALUE || !plat->hStdOut ||
        plat->hStdOut == INVALID_HANDLE_VALUE)
        return ODCOM_FAIL;
    DWORD type = GetFileType(plat->hStdIn);
    if (type == FILE_TYPE_CHAR && GetConsoleMode(plat->hStdIn, &plat->dwSavedConsoleMode)) {
        plat->nStdInKind = ODSTDIO_CONSOLE;
        plat->bConsoleModeSaved = 1;
        SetConsoleMode(plat->hStdIn, 0); /* raw: no line editing, no echo */
    } else {
        plat->nStdInKind = type == FILE_TYPE_PIPE ? ODSTDIO_PIPE : ODSTDIO_FILE;
    }
    port->nHandle = (int64_t)(intptr_t)plat->hStdIn;
    port->bInherited = 1;
    return ODCOM_OK;
}

int ODComPlatAdoptSocket(ODComPort *port, uint64_t existing)
{
    ODComPlat *plat = port->pPlat;
    SOCKET s = (SOCKET)existing;
    int type;
    int length = sizeof type;
    if (getsockopt(s, SOL_SOCKET, SO_TYPE, (char *)&type, &length) != 0) return ODCOM_FAIL;
    plat->hSocketEvent = WSACreateEvent();
    if (plat->hSocketEvent == WSA_INVALID_EVENT) return ODCOM_FAIL;
    /* Binding the event also makes the socket non-blocking. */
    if (WSAEventSelect(s, plat->hSocketEvent, FD_READ | FD_CLOSE) != 0) {
        WSACloseEvent(plat->hSocketEvent);
        plat->hSocketEvent = WSA_INVALID_EVENT;
        return ODCOM_FAIL;
    }
    port->bNoDelaySaved = 0;
    DWORD value = 0;
    length = sizeof value;
    if (getsockopt(s, IPPROTO_TCP, TCP_NODELAY, (char *)&value, &length) == 0) {
        port->nSavedNoDelay = value ? 1 : 0;
        port->bNoDelaySaved = 1;
        value = 0;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&value, sizeof value);
    }
    port->nHandle = (int64_t)s;
    return ODCOM_OK;
}

int ODComPlatAdoptSerial(ODComPort *port, uint64_t existing)
{
    HANDLE h = (HANDLE)(uintptr_t)existing;
    DWORD flags;
    if (!GetHandleInformation(h, &flags)) return ODCOM_FAIL;
    port->nHandle = (int64_t)(intptr_t)h;
    port->pPlat->dwReadTimeout = 0xFFFFFFFF;
    return ODCOM_OK;
}

static void ODComReleaseSocket(ODComPort *port)
{
    ODComPlat *plat = port->pPlat;
    SOCKET s = ODComSocket(port);
    if (plat->hSocketEvent && plat->hSocketEvent != WSA_INVALID_EVENT) {
        WSAEventSelect(s, nullptr, 0);
        WSACloseEvent(plat->hSocketEvent);
        plat->hSocketEvent = WSA_INVALID_EVENT;
        u_long blocking = 0;
        ioctlsocket(s, FIONBIO, &blocking);
    }
    if (port->bNoDelaySaved) {
        DWORD value = (DWORD)port->nSavedNoDelay;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&value, sizeof value);
    }
    closesocket(s);
}

void ODComPlatClose(ODComPort *port)
{
    ODComPlat *plat = port->pPlat;
    switch (port->nMethod) {
    case ODCOM_METHOD_DOOR32:
        if (plat->hDoor32) {
            plat->pfShutdown();
            FreeLibrary(plat->hDoor32);
            plat->hDoor32 = nullptr;
        }
        break;
    case ODCOM_METHOD_SOCKET:
        if (port->nHandle >= 0) ODComReleaseSocket(port);
        break;
    case ODCOM_METHOD_STDIO:
        if (plat->bConsoleModeSaved) SetConsoleMode(plat->hStdIn, plat->dwSavedConsoleMode);
        plat->bConsoleModeSaved = 0;
        break;
    default:
        if (port->nHandle >= 0 && !port->bInherited) CloseHandle(ODComHandle(port));
        break;
    }
    port->nHandle = -1;
}

/* ---- line state ---- */

int ODComPlatCarrier(ODComPort *port, int *carrier)
{
    ODComPlat *plat = port->pPlat;
    *carrier = 0;
    switch (port->nMethod) {
    case ODCOM_METHOD_DOOR32: {
        HANDLE offline = plat->pfOffline ? plat->pfOffline() : nullptr;
        if (!offline) return ODCOM_FAIL;
        *carrier = WaitForSingleObject(offline, 0) != WAIT_OBJECT_0;
        return ODCOM_OK;
    }
    case ODCOM_METHOD_SOCKET: {
        if (port->nHandle < 0) return ODCOM_OK;
        SOCKET s = ODComSocket(port);
        int readable = ODComSocketReadable(s);
        if (readable < 0) return ODCOM_OK;
        if (readable == 0) {
            *carrier = 1;
            return ODCOM_OK;
        }
        char peek;
        int got = recv(s, &peek, 1, MSG_PEEK);
        *carrier = got > 0 || (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK);
        if (!*carrier) port->bPeerGone = 1;
        return ODCOM_OK;
    }
    case ODCOM_METHOD_STDIO:
        if (plat->nStdInKind == ODSTDIO_PIPE) {
            DWORD available;
            if (!PeekNamedPipe(plat->hStdIn, nullptr, 0, nullptr, &available, nullptr)) {
                port->bPeerGone = 1;
                return ODCOM_OK;
            }
        }
        *carrier = 1;
        return ODCOM_OK;
    default: {
        DWORD status = 0;
        if (!GetCommModemStatus(ODComHandle(port), &status)) return ODCOM_FAIL;
        *carrier = (status & MS_RLSD_ON) != 0;
        return ODCOM_OK;
    }
    }
}

int ODComPlatSetDTR(ODComPort *port, int raise)
{
    switch (port->nMethod) {
    case ODCOM_METHOD_DOOR32:
    case ODCOM_METHOD_STDIO:
        return ODCOM_UNSUPPORTED;
    case ODCOM_METHOD_SOCKET:
        if (raise) return ODCOM_UNSUPPORTED;
        if (port->nHandle >= 0) ODComReleaseSocket(port);
        port->nHandle = -1;
        port->bPeerGone = 1;
        return ODCOM_OK;
    default:
        return EscapeCommFunction(ODComHandle(port), raise ? SETDTR : CLRDTR) ? ODCOM_OK : ODCOM_FAIL;
    }
}

int ODComPlatOutbound(ODComPort *port, int *count)
{
    *count = 0;
    if (port->nMethod != ODCOM_METHOD_SERIAL) return ODCOM_UNSUPPORTED;
    DWORD errors;
    COMSTAT status;
    if (!ClearCommError(ODComHandle(port), &errors, &status)) return ODCOM_FAIL;
    *count = (int)status.cbOutQue;
    return ODCOM_OK;
}

int ODComPlatClearInbound(ODComPort *port)
{
    if (port->nMethod != ODCOM_METHOD_SERIAL) return ODCOM_UNSUPPORTED;
    port->nReadPos = port->nReadLen = 0;
    return PurgeComm(ODComHandle(port), PURGE_RXCLEAR) ? ODCOM_OK : ODCOM_FAIL;
}

/* ---- receiving ---- */

/* One serial read that returns what is there, waiting at most wait_ms for
 * the first byte. The port's time-outs change only when the wait does. */
static int ODComSerialRead(ODComPort *port, uint8_t *buffer, int size, uint32_t wait_ms, int *got)
{
    ODComPlat *plat = port->pPlat;
    HANDLE h = ODComHandle(port);
    /* "No limit" is a long wait repeated, since a read time-out of zero
     * would wait for the whole buffer to fill. */
    DWORD timeout = wait_ms == OD_WAIT_FOREVER ? 60000 : wait_ms;
    if (ODPlatClockIsVirtual()) timeout = 0;
    for (;;) {
        if (plat->dwReadTimeout != timeout) {
            COMMTIMEOUTS t;
            memset(&t, 0, sizeof t);
            t.ReadIntervalTimeout = MAXDWORD;
            t.ReadTotalTimeoutMultiplier = timeout ? MAXDWORD : 0;
            t.ReadTotalTimeoutConstant = timeout;
            if (!SetCommTimeouts(h, &t)) return ODCOM_FAIL;
            plat->dwReadTimeout = timeout;
            port->nReadMode = timeout ? ODCOM_READ_BLOCKING : ODCOM_READ_NOWAIT;
        }
        DWORD count = 0;
        if (!ReadFile(h, buffer, (DWORD)size, &count, nullptr)) {
            DWORD errors;
            ClearCommError(h, &errors, nullptr);
            return ODCOM_FAIL;
        }
        if (count > 0) {
            *got = (int)count;
            return ODCOM_OK;
        }
        if (ODPlatClockIsVirtual() && wait_ms != OD_WAIT_FOREVER) {
            ODPlatClockAdvance(wait_ms);
            return ODCOM_NOTHING;
        }
        if (wait_ms != OD_WAIT_FOREVER) return ODCOM_NOTHING;
    }
}

/* Standard input: what is there now, or after waiting. */
static int ODComStdioRead(ODComPort *port, uint8_t *buffer, int size, uint32_t wait_ms, int *got)
{
    ODComPlat *plat = port->pPlat;
    uint64_t start = ODPlatTickMs();
    for (;;) {
        DWORD available = 0;
        if (plat->nStdInKind == ODSTDIO_CONSOLE) {
            /* Key presses with a character; other console events are
             * consumed and dropped. */
            DWORD events = 0;
            while (GetNumberOfConsoleInputEvents(plat->hStdIn, &events) && events > 0) {
                INPUT_RECORD record;
                DWORD n = 0;
                if (!ReadConsoleInputA(plat->hStdIn, &record, 1, &n) || n == 0) break;
                if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
                    record.Event.KeyEvent.uChar.AsciiChar && *got < size)
                    buffer[(*got)++] = (uint8_t)record.Event.KeyEvent.uChar.AsciiChar;
                if (*got == size) break;
            }
            if (*got > 0) return ODCOM_OK;
        } else {
            if (plat->nStdInKind == ODSTDIO_PIPE) {
                if (!PeekNamedPipe(plat->hStdIn, nullptr, 0, nullptr, &available, nullptr)) {
                    port->bPeerGone = 1;
                    return ODCOM_NOTHING;
                }
            } else {
                available = (DWORD)size;
            }
            if (available > 0) {
                DWORD n = 0;
                DWORD want = available < (DWORD)size ? available : (DWORD)size;
                if (!ReadFile(plat->hStdIn, buffer, want, &n, nullptr) || n == 0) {
                    port->bPeerGone = 1;
                    return ODCOM_NOTHING;
                }
                *got = (int)n;
                return ODCOM_OK;
            }
        }
        uint64_t spent = ODPlatTickMs() - start;
        if (wait_ms != OD_WAIT_FOREVER && spent >= wait_ms) return ODCOM_NOTHING;
        uint32_t step = wait_ms == OD_WAIT_FOREVER ? 10 : (uint32_t)(wait_ms - spent);
        if (step > 10) step = 10;
        if (plat->nStdInKind == ODSTDIO_CONSOLE) {
            HANDLE h = plat->hStdIn;
            ODComWaitHandles(&h, 1, step);
        } else {
            ODPlatSleepMs(step);
        }
    }
}

int ODComPlatRead(ODComPort *port, uint8_t *buffer, int size, uint32_t wait_ms, int *got)
{
    ODComPlat *plat = port->pPlat;
    *got = 0;
    switch (port->nMethod) {
    case ODCOM_METHOD_DOOR32: {
        HANDLE available = plat->pfAvailable ? plat->pfAvailable() : nullptr;
        if (!available) return ODCOM_FAIL;
        if (ODComWaitHandles(&available, 1, wait_ms) != WAIT_OBJECT_0) return ODCOM_NOTHING;
        DWORD n = plat->pfRead(buffer, 1);
        if (n == 0) return ODCOM_NOTHING;
        *got = 1;
        return ODCOM_OK;
    }
    case ODCOM_METHOD_STDIO:
        return ODComStdioRead(port, buffer, size, wait_ms, got);
    case ODCOM_METHOD_SOCKET:
        break;
    default:
        return ODComSerialRead(port, buffer, size, wait_ms, got);
    }
    if (port->nHandle < 0) return ODCOM_FAIL;
    SOCKET s = ODComSocket(port);
    for (;;) {
        int n = recv(s, (char *)buffer, size, 0);
        if (n > 0) {
            *got = n;
            return ODCOM_OK;
        }
        if (n == 0) {
            port->bPeerGone = 1;
            return ODCOM_NOTHING;
        }
        int error = WSAGetLastError();
        if (error == WSAEINTR) continue;
        if (error != WSAEWOULDBLOCK) {
            port->bPeerGone = 1;
            return ODCOM_FAIL;
        }
        if (wait_ms == 0) return ODCOM_NOTHING;
        WSANETWORKEVENTS events;
        WSAEnumNetworkEvents(s, plat->hSocketEvent, &events);
        if (ODComSocketReadable(s) > 0) continue;
        HANDLE h = plat->hSocketEvent;
        if (ODComWaitHandles(&h, 1, wait_ms) != WAIT_OBJECT_0) return ODCOM_NOTHING;
        wait_ms = 0; /* one more look after the event */
    }
}

/* ---- sending ---- */

int ODComPlatWrite(ODComPort *port, const uint8_t *bytes, int length)
{
    ODComPlat *plat = port->pPlat;
    switch (port->nMethod) {
    case ODCOM_METHOD_DOOR32:
        return plat->pfWrite && plat->pfWrite(bytes, (DWORD)length) ? ODCOM_OK : ODCOM_FAIL;
    case ODCOM_METHOD_STDIO:
        while (length > 0) {
            DWORD n = 0;
            if (!WriteFile(plat->hStdOut, bytes, (DWORD)length, &n, nullptr) || n == 0) return ODCOM_FAIL;
            bytes += n;
            length -= (int)n;
        }
        return ODCOM_OK;
    case ODCOM_METHOD_SOCKET:
        break;
    default: {
        DWORD n = 0;
        if (!WriteFile(ODComHandle(port), bytes, (DWORD)length, &n, nullptr) || n != (DWORD)length) {
            DWORD errors;
            ClearCommError(ODComHandle(port), &errors, nullptr);
            return ODCOM_FAIL;
        }
        return ODCOM_OK;
    }
    }
    if (port->nHandle < 0) return ODCOM_FAIL;
    SOCKET s = ODComSocket(port);
    while (length > 0) {
        int n = send(s, (const char *)bytes, length, 0);
        if (n > 0) {
            bytes += n;
            length -= n;
            continue;
        }
        if (n == 0) return ODCOM_FAIL;
        int error = WSAGetLastError();
        if (error == WSAEINTR) continue;
        if (error != WSAEWOULDBLOCK) return ODCOM_FAIL;
        /* The caller's window is full: wait up to a second for room. */
        for (;;) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval second = {1, 0};
            int ready = select(0, nullptr, &set, nullptr, &second);
            if (ready > 0) break;
            if (ready < 0 && WSAGetLastError() == WSAEINTR) continue;
            return ODCOM_FAIL;
        }
    }
    return ODCOM_OK;
}

void ODComPlatPush(ODComPort *port)
{
    /* Turning Nagle off sends what it holds; back on, later writes are
     * coalesced again as before. */
    if (port->nMethod != ODCOM_METHOD_SOCKET || port->nHandle < 0) return;
    SOCKET s = ODComSocket(port);
    BOOL on = TRUE, off = FALSE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&off, sizeof off);
}

static void ODComPlatWaitInputOn(ODComPort *port, int64_t wake, uint32_t wait_ms);

/* Which handle ended the wait is not told here: the wake event counts as
 * seen after every wait and the line is asked again. */
int ODComPlatWaitInput(ODComPort *port, int64_t wake, uint32_t wait_ms)
{
    ODComPlatWaitInputOn(port, wake, wait_ms);
    return ODCOM_WAKE_SEEN;
}

static void ODComPlatWaitInputOn(ODComPort *port, int64_t wake, uint32_t wait_ms)
{
    HANDLE handles[2];
    DWORD count = 0;
    if (wake >= 0) handles[count++] = (HANDLE)(intptr_t)wake;
    if (!port) {
        ODComWaitHandles(handles, count, wait_ms);
        return;
    }
    ODComPlat *plat = port->pPlat;
    switch (port->nMethod) {
    case ODCOM_METHOD_SOCKET: {
        SOCKET s = ODComSocket(port);
        WSANETWORKEVENTS events;
        WSAEnumNetworkEvents(s, plat->hSocketEvent, &events);
        if (ODComSocketReadable(s) != 0) return;
        handles[count++] = plat->hSocketEvent;
        ODComWaitHandles(handles, count, wait_ms);
        return;
    }
    case ODCOM_METHOD_DOOR32: {
        HANDLE available = plat->pfAvailable ? plat->pfAvailable() : nullptr;
        if (available) handles[count++] = available;
        ODComWaitHandles(handles, count, wait_ms);
        return;
    }
    default:
        break;
    }
    /* Serial lines and standard input have no handle to wait on together
     * with the wake event: read ahead in short steps, looking at the wake
     * event between them. */
    uint64_t start = ODPlatTickMs();
    for (;;) {
        if (wake >= 0 && WaitForSingleObject((HANDLE)(intptr_t)wake, 0) == WAIT_OBJECT_0) return;
        uint64_t spent = ODPlatTickMs() - start;
        if (wait_ms != OD_WAIT_FOREVER && spent >= wait_ms) return;
        uint32_t step = wait_ms == OD_WAIT_FOREVER ? 10 : (uint32_t)(wait_ms - spent);
        if (step > 10) step = 10;
        int got = 0;
        int rc = ODComPlatRead(port, port->abtReadAhead, (int)sizeof port->abtReadAhead, step, &got);
        if (rc == ODCOM_OK) {
            port->nReadPos = 0;
            port->nReadLen = got;
            return;
        }
        if (rc != ODCOM_NOTHING || port->bPeerGone) return;
    }
}
