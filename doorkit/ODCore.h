/* ODCore.h -- the output layer's internal interface: how bytes for the
 * caller leave the kit, and the points where collected output is sent.
 *
 * A screen is drawn with many small output calls. Sent one by one, they
 * reach a socket running with Nagle's algorithm as a first packet and then
 * a wait for the caller's delayed acknowledgement (40 ms or more) before
 * the rest. So the output calls collect the caller's bytes, unchanged and
 * in order, and the kit sends them in one piece when the door stops
 * drawing:
 *   - when the API level is released (before every wait for input and
 *     around every transfer) and at every wait checkpoint;
 *   - when a public call that is not an output call begins or ends (a key
 *     poll, a carrier check, od_sleep, od_kernel, od_exit ...);
 *   - before the game thread sleeps (ODPlatSleepMs, so od_sleep too);
 *   - when the buffer fills; at ODWaitDrain; when the screens are shut
 *     down at exit, before the connection closes.
 * Nothing stays collected while the door waits, sleeps or exits. Output
 * waits only while the game thread computes between output calls. */
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

/* The API sync hook (pfODSyncPublishScreen): sends collected output
 * (except at the end of an output call: the door is still drawing), then
 * publishes the local screen. ODScrnInitialize installs it, the call-entry
 * hook and the sleep hook with ODCoreAttach, on the game thread; output is
 * collected only while the sync hook is installed. */
void ODCoreSyncPoint(void);
void ODCoreAttach(void);
void ODCoreDetach(void);

/* Immediate transfers with the API level released for their duration;
 * collected output goes first, so order is kept. 0 success, else the
 * connection's failure code. */
int ODCoreSendRemoteByte(uint8_t byte);
int ODCoreSendRemoteBuffer(const uint8_t *bytes, int size);

/* Waits until the connection's outbound buffer is empty, at most the given
 * milliseconds (0xFFFFFFFF: no limit). Sends collected output first. */
void ODWaitDrain(uint32_t milliseconds);

/* ---- shared by the output units (ODCore, ODGraph, ODPrntf) ---- */

#ifdef __cplusplus
#include "ODSync.h"

/* The public-call rule for an output call: like ODPublicCall, and marks
 * the call as output so that neither its start nor its end sends what is
 * collected. */
extern int nODOutputCalls;     /* output calls under way */
extern int bODOutputEntering;  /* an output call is entering the API */
struct ODCoreOutputMark {
    ODCoreOutputMark()
    {
        nODOutputCalls++;
        bODOutputEntering = 1;
    }
    ~ODCoreOutputMark() { nODOutputCalls--; }
};
struct ODCoreOutputEntered {
    ODCoreOutputEntered() { bODOutputEntering = 0; }
};
struct ODCoreOutputCall {
    ODCoreOutputMark    mark; /* made before the call and gone after it */
    ODPublicCall        call;
    ODCoreOutputEntered entered;
};
#endif

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
