/* ODInQue.h -- the session's input queue: every key, from the caller or
 * from the local keyboard, passes through one ring of input events.
 *
 * Result codes: 0 success, 2 no room or out of memory, 8 bad argument or
 * nothing reserved, 11 time-out. */
#ifndef ODINQUE_H
#define ODINQUE_H

#include "doorkit.h"

#include <stdint.h>

#define ODINQ_OK       0
#define ODINQ_NOROOM   2
#define ODINQ_BADARG   8
#define ODINQ_TIMEOUT 11

#define ODINQ_DEFAULT_SIZE 256

typedef struct ODInQueue *tODInQueueHandle;

extern tODInQueueHandle hODInputQueue; /* the session's queue */

int  ODInQueueAlloc(tODInQueueHandle *queue, int capacity);
void ODInQueueFree(tODInQueueHandle queue);
int  ODInQueueWaiting(tODInQueueHandle queue);
/* Adding: a full queue loses the new event(s), rings the local bell and
 * gives 2. Safe from any thread. */
int  ODInQueueAddEvent(tODInQueueHandle queue, const tODInputEvent *event);
int  ODInQueueAddEvents(tODInQueueHandle queue, const tODInputEvent *events, int count);
/* A producer that must not lose what it reads (the kernel, reading the
 * caller's bytes) reserves a slot first, then commits or cancels it. */
int  ODInQueueReserveEvent(tODInQueueHandle queue);
int  ODInQueueCommitReservedEvent(tODInQueueHandle queue, const tODInputEvent *event);
void ODInQueueCancelReservedEvent(tODInQueueHandle queue);
/* timeout_ms 0: do not wait; 0xFFFFFFFF: no limit. */
int  ODInQueueGetNextEvent(tODInQueueHandle queue, tODInputEvent *event, uint32_t timeout_ms);
void ODInQueueEmpty(tODInQueueHandle queue);
int64_t ODInQueueGetLastActivity(tODInQueueHandle queue);
void ODInQueueResetLastActivity(tODInQueueHandle queue);

/* A handle signalled whenever an event is added from outside the game
 * thread's own kernel pass (Linux: an eventfd, readable while signalled;
 * Windows: a manual-reset event), so a wait on the connection can end the
 * moment a local key arrives. ODInQueueClearWake resets it; a reader clears
 * it before it looks at the queue, so no signal is lost. ODInQueueWake
 * signals it for news that is not a key (a sysop request). */
int64_t ODInQueueGetWakeHandle(tODInQueueHandle queue);
void    ODInQueueClearWake(tODInQueueHandle queue);
void    ODInQueueWake(tODInQueueHandle queue);

/* The OS half of the wake handle (posix/ODInQuePosix.cpp,
 * win32/ODInQueWin32.cpp). -1 when it could not be made. */
int64_t ODInQueuePlatWakeAlloc(void);
void    ODInQueuePlatWakeFree(int64_t wake);
void    ODInQueuePlatWakeSignal(int64_t wake);
void    ODInQueuePlatWakeClear(int64_t wake);

#endif
