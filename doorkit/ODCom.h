/* ODCom.h -- the caller's connection: one handle over a serial port, a
 * Door32 library, a TCP socket (raw or telnet) or standard I/O.
 *
 * Result codes: 0 success, 1 failure, 2 out of memory, 3 nothing waiting,
 * 14 not supported by this transport. */
#ifndef ODCOM_H
#define ODCOM_H

#include <stddef.h>
#include <stdint.h>

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

/* A new heap buffer with the UTF-8 form of CP437 bytes; *length is the byte
 * count in and out. The caller frees it. Null when out of memory. */
uint8_t *ODComCP437ToUnicode(const uint8_t *bytes, int *length);
extern const uint16_t cp437_unicode_table[128];

int ODFramingIsEightBit(const char *framing);
extern int bUserEightBit;

#endif
