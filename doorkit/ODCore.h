/* ODCore.h -- the output layer's internal interface: how bytes for the
 * caller leave the kit, and the one point where collected output is sent.
 *
 * Output calls collect the caller's bytes of one outermost public call (and
 * of every call nested in it) and hand them to the connection in one piece,
 * so a socket running with Nagle's algorithm gets whole updates, never a
 * dribble that waits on the caller's delayed acknowledgements. The bytes are
 * sent, in order and unchanged, at the sync point: whenever the API level
 * is released (around every wait and transfer), at every wait checkpoint,
 * when the outermost call ends, when the buffer fills, and before the
 * screens are shut down at exit. Nothing stays collected while the door
 * waits for a key, sleeps or exits. */
#ifndef ODCORE_H
#define ODCORE_H

#include <stddef.h>
#include <stdint.h>

/* Largest run of output collected before it is sent. */
#define OD_OUTPUT_BUFFER_SIZE 16384

/* Size of the kit's scratch string for od_repeat and od_clr_line. */
#define OD_WORK_STRING_SIZE 1025

/* Sends what is collected now, releasing the API level for the transfer.
 * Safe to call at any time and from inside the transfer (it then does
 * nothing). */
void ODCoreFlushOutput(void);

/* Bytes collected and not yet sent (tests, diagnostics). */
size_t ODCoreOutputPending(void);

/* The API sync hook (pfODSyncPublishScreen): sends collected output, then
 * publishes the local screen. ODScrnInitialize installs it; output is
 * collected only while it is installed. */
void ODCoreSyncPoint(void);

/* Immediate transfers with the API level released for their duration;
 * collected output goes first, so order is kept. 0 success, else the
 * connection's failure code. */
int ODCoreSendRemoteByte(uint8_t byte);
int ODCoreSendRemoteBuffer(const uint8_t *bytes, int size);

/* Waits until the connection's outbound buffer is empty, at most the given
 * milliseconds (0xFFFFFFFF: no limit). Sends collected output first. */
void ODWaitDrain(uint32_t milliseconds);

/* ---- shared by the output units (ODCore, ODGraph, ODPrntf) ---- */

/* ANSI colour numbers (30-37) of the PC colours 0-7; backgrounds add 10. */
extern const uint8_t abtPCToANSIColorTable[8];

/* The kit's scratch string for building runs of output. */
extern char szODOutputWork[OD_WORK_STRING_SIZE];

/* Sends bytes to the caller: a kernel pass first when one is due, then,
 * in a remote session, the bytes are collected for the next sync point. */
void ODCoreSend(const char *bytes, size_t length);

/* Shows bytes in the local picture: the session screen (then presented)
 * when there is one, else the local screen. */
void ODCoreShow(const char *bytes, size_t length);
void ODCoreShowAttribute(uint8_t attribute);

/* The colour change for the caller's terminal, with the least output that
 * gets there; error 2 when the terminal has no colour. */
void ODCoreSetAttribute(uint8_t attribute);

/* Runs one kernel pass when the kernel's timer has run out. */
void ODCoreKernelIfDue(void);

#endif
