/* ODComInt.h -- the connection handle's insides, shared by the portable part
 * (ODCom.cpp) and the OS halves (posix/ODComPosix.cpp, win32/ODComWin32.cpp).
 * Nothing outside the connection layer includes this. */
#ifndef ODCOMINT_H
#define ODCOMINT_H

#include "ODCom.h"

#include <stddef.h>
#include <stdint.h>

/* Telnet receive states. */
#define ODTEL_DATA       0
#define ODTEL_IAC        1
#define ODTEL_OPTION     2
#define ODTEL_SUB        3
#define ODTEL_SUB_IAC    4
#define ODTEL_CR         5

/* Read modes last set on a serial port. */
#define ODCOM_READ_UNKNOWN  0
#define ODCOM_READ_BLOCKING 1
#define ODCOM_READ_NOWAIT   2

/* Bytes read from the transport ahead of the caller: one read system call
 * takes whatever the caller sent, instead of one call per byte. */
#define ODCOM_READ_AHEAD 256

struct ODComPlat; /* the OS half's own state */

/* Where converted output stands inside an AVATAR command (ODCom.cpp). */
typedef struct {
    uint8_t  btStep;
    uint16_t wParamsLeft;
} tODComAvatarState;

struct ODComPort {
    int      bIsOpen;
    int      bInherited;
    uint8_t  btFlowControl;
    uint32_t dwSpeed;
    uint8_t  btPort;
    uint32_t dwPortAddress;
    uint8_t  btIRQ;
    uint8_t  btWordFormat;
    uint32_t dwRXBufferSize;
    uint32_t dwTXBufferSize;
    uint8_t  btFIFOSetting;
    int      nMethod;
    int      nReadMode;

    /* The transport's handle: a socket, a serial port or standard input
     * (whichever the method says); -1 when none. */
    int64_t  nHandle;
    int      nSavedNoDelay;
    int      bNoDelaySaved;

    int      bTelnet;
    int      nTelnetState;
    int      bPushedBack;
    uint8_t  btPushedBack;

    /* The far end has gone (end of input, reset, hang-up): the transport is
     * never polled again and the carrier is reported lost. */
    int      bPeerGone;

    uint8_t  abtReadAhead[ODCOM_READ_AHEAD];
    int      nReadPos;
    int      nReadLen;

    /* Scratch space for the converted and escaped forms of a send, kept
     * between sends so a screen update costs no allocation. */
    uint8_t *pbtScratch;
    size_t   nScratchSize;

    /* The last wait found the line quiet (ODComWaitInput): until its waiter
     * moves on, that answers the carrier check and a non-waiting read. */
    int      bQuiet;

    tODComAvatarState avatar;

    ODComPlat *pPlat;
};

/* The serial device name for a port number, from szODComSerialDevice. */
void ODComSerialDeviceName(char *out, size_t size, unsigned number);

/* ---- the OS half ----
 * Result codes as the connection calls give them. */
int  ODComPlatAlloc(ODComPort *port);
void ODComPlatFree(ODComPort *port);
/* Opening: each 0 or 1. A failed open leaves nothing open behind it. */
int  ODComPlatLoadDoor32(ODComPort *port);
int  ODComPlatOpenSerial(ODComPort *port);
int  ODComPlatOpenStdio(ODComPort *port);
/* Adopts an inherited socket: saves TCP_NODELAY and turns it off. */
int  ODComPlatAdoptSocket(ODComPort *port, uint64_t existing);
/* Adopts an inherited serial port handle (never closed by this layer). */
int  ODComPlatAdoptSerial(ODComPort *port, uint64_t existing);
/* Shuts the transport (unless inherited) and forgets it. */
void ODComPlatClose(ODComPort *port);
int  ODComPlatCarrier(ODComPort *port, int *carrier);
int  ODComPlatSetDTR(ODComPort *port, int raise);
int  ODComPlatOutbound(ODComPort *port, int *count);
int  ODComPlatClearInbound(ODComPort *port);
/* Reads what is there, up to size bytes, waiting at most wait_ms for the
 * first one (OD_WAIT_FOREVER: no limit). 0 with *got > 0; 3 nothing came
 * (a peer that went away also sets bPeerGone); 1 failure. */
int  ODComPlatRead(ODComPort *port, uint8_t *buffer, int size, uint32_t wait_ms, int *got);
/* Sends the whole buffer, in as few system calls as the transport takes;
 * fails when the far end takes nothing for a whole second. 0 or 1. */
int  ODComPlatWrite(ODComPort *port, const uint8_t *bytes, int length);
/* Puts what was written on the wire now rather than when the caller
 * acknowledges earlier data (Nagle): for a whole update. Sockets only. */
void ODComPlatPush(ODComPort *port);
/* Waits until the connection has input, the wake handle is signalled or
 * the time is up. port may be null (a local session). Returns the
 * ODCOM_WAKE_SEEN and ODCOM_LINE_QUIET flags of ODComWaitInput; a half that
 * cannot tell gives ODCOM_WAKE_SEEN alone. */
int  ODComPlatWaitInput(ODComPort *port, int64_t wake, uint32_t wait_ms);

#endif
