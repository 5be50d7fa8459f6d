/* ODCom.h -- the caller's connection: one handle over a serial port, a
 * Door32 library, a TCP socket (raw or telnet) or standard I/O.
 *
 * Result codes: 0 success, 1 failure, 2 out of memory, 3 nothing waiting,
 * 14 not supported by this transport. */
#ifndef ODCOM_H
#define ODCOM_H

#include <stddef.h>
#include <stdint.h>

#include "ODCp437.h"

#define ODCOM_OK            0
#define ODCOM_FAIL          1
#define ODCOM_NOMEM         2
#define ODCOM_NOTHING       3
#define ODCOM_UNSUPPORTED  14

/* Connection methods. 6 is standard I/O, the method a Linux BBS uses when it
 * runs a door on a pseudo-terminal (DOOR.SYS "COM0:STDIO" or -STDIO). */
#define ODCOM_METHOD_NONE   0
#define ODCOM_METHOD_SERIAL 3
#define ODCOM_METHOD_DOOR32 4
#define ODCOM_METHOD_SOCKET 5
#define ODCOM_METHOD_STDIO  6
#define ODCOM_METHOD_TELNET 7 /* asked for only: becomes 5 with telnet on */

typedef struct ODComPort *tPortHandle;

extern tPortHandle hSerialPort; /* the session's connection; null when local */

int  ODComAlloc(tPortHandle *handle);
void ODComFree(tPortHandle handle);

int ODComSetFlowControl(tPortHandle handle, uint8_t flow_control);
int ODComSetSpeed(tPortHandle handle, uint32_t speed);
int ODComSetPort(tPortHandle handle, uint8_t port);
int ODComSetPortAddress(tPortHandle handle, uint32_t address);
int ODComSetIRQ(tPortHandle handle, uint8_t irq);
int ODComSetRXBuf(tPortHandle handle, uint32_t size);
int ODComSetTXBuf(tPortHandle handle, uint32_t size);
int ODComSetFIFO(tPortHandle handle, uint8_t fifo);
int ODComSetPreferredMethod(tPortHandle handle, int method);
int ODComGetMethod(tPortHandle handle, int *method);

int ODComOpen(tPortHandle handle);
int ODComOpenFromExistingHandle(tPortHandle handle, uint64_t existing);
int ODComClose(tPortHandle handle);

int ODComCarrier(tPortHandle handle, int *carrier);
int ODComSetDTR(tPortHandle handle, int raise);
int ODComOutbound(tPortHandle handle, int *count);
int ODComClearInbound(tPortHandle handle);
int ODComGetByte(tPortHandle handle, char *byte, int wait);
int ODComSendByte(tPortHandle handle, uint8_t byte);
int ODComSendBuffer(tPortHandle handle, const uint8_t *bytes, int length);
/* The update just sent is whole: put it on the wire without waiting for the
 * caller's acknowledgement of what went before (a BBS's last lines, say). */
void ODComPush(tPortHandle handle);

/* A new heap buffer with the UTF-8 form of CP437 bytes; *length is the byte
 * count in and out. The caller frees it. Null when out of memory. */
uint8_t *ODComCP437ToUnicode(const uint8_t *bytes, int *length);

int ODFramingIsEightBit(const char *framing);
extern int bUserEightBit;

/* Bytes of input already read from the transport but not yet taken with
 * ODComGetByte (the kernel moves them without waiting). */
int ODComInputBuffered(tPortHandle handle);

/* Whether the wait just before found the line quiet (ODComWaitInput) and
 * nothing is read ahead: no byte waits to be read. */
int ODComLineQuiet(tPortHandle handle);

/* Waits until the connection has input, the wake handle (the input queue's,
 * ODInQueueGetWakeHandle) is signalled or wait_ms pass, whichever comes
 * first. handle may be null for a local session. On the virtual clock it
 * looks without blocking and then advances the clock by wait_ms.
 *
 * Returns ODCOM_WAKE_SEEN when the wake handle may be signalled (the caller
 * clears it before looking at the queue again). A wait that found the line
 * quiet (no input, no hang-up) also answers the carrier check and the
 * non-waiting read that follow it at once, without asking the system
 * again: an idle slice costs one system call. */
#define ODCOM_WAKE_SEEN  1
#define ODCOM_LINE_QUIET 2
int ODComWaitInput(tPortHandle handle, int64_t wake, uint32_t wait_ms);

/* Ends what the last wait answered: the line is asked again from here on.
 * The waiter calls it once the pass that follows its wait is done. */
void ODComForgetQuiet(tPortHandle handle);

/* The session's connection and input queue, made from od_control by
 * start-up: an inherited socket (open_handle with handle_is_socket; telnet
 * when bODComTelnetSocket is set), standard I/O (com_method 6), an
 * inherited serial handle (open_handle), or the serial port com_port (or a
 * Door32 library). A local session (remote_bps 0) gets the queue only.
 * 1 on success, 0 on failure (the connection could not be opened or no
 * memory); ODComSessionClose undoes it. */
extern int bODComTelnetSocket;
/* The caller identifier a BBSDev drop file gave (od_get_user_id); the
 * drop-file reader points it at its text. */
extern const char *pszODComUserID;
int  ODComSessionOpen(void);
void ODComSessionClose(void);

/* Serial device name pattern: the port number (0 = first port) goes into
 * the %u. Windows "\\.\COM%u" with number + 1; Linux "/dev/ttyS%u". */
extern char szODComSerialDevice[64];

/* Door32 library. Windows: DOOR32.DLL, and the two event handles are Win32
 * events. Linux: libdoor32.so (dlopen), with the same six entry points; the
 * two "event handles" are file descriptors cast to pointers: the available
 * one is readable while input is waiting, the offline one is readable once
 * the caller has gone. */
#ifdef _WIN32
#define ODCOM_DOOR32_LIBRARY "DOOR32.DLL"
#else
#define ODCOM_DOOR32_LIBRARY "libdoor32.so"
#endif
/* The name the library is loaded by (the system's search path applies to a
 * bare name); ODCOM_DOOR32_LIBRARY unless changed before start-up. */
extern char szODComDoor32Library[260];

#endif
