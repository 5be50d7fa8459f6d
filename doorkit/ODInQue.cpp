/* ODInQue.cpp -- the input queue: a ring of input events with reservations,
 * guarded by a mutex and counted by a semaphore so the game thread can wait
 * for a key while the local window's thread adds them. */
#include "ODInQue.h"
#include "ODPlat.h"

#include <stdlib.h>
#include <string.h>

tODInQueueHandle hODInputQueue = nullptr;

struct ODInQueue {
    tODInputEvent     *pEvents;
    uint32_t           dwCapacity;
    uint32_t           dwWrite;
    uint32_t           dwRead;
    uint32_t           dwReserved;
    int64_t            nLastActivity;
    tODSemaphoreHandle hSemaphore;
    tODMutex           hMutex;
    int64_t            nWake;
};

/* Room left for new events; called with the mutex held. One slot of the
 * ring always stays unused so full and empty differ. */
static uint32_t ODInQueueFreeRoom(const ODInQueue *q)
{
    uint32_t queued = (q->dwWrite + q->dwCapacity - q->dwRead) % q->dwCapacity;
    uint32_t used = queued + q->dwReserved;
    return used >= q->dwCapacity - 1 ? 0 : q->dwCapacity - 1 - used;
}

/* Places one event at the write index; mutex held, room checked. */
static void ODInQueuePut(ODInQueue *q, const tODInputEvent *event)
{
    q->pEvents[q->dwWrite] = *event;
    q->dwWrite = (q->dwWrite + 1) % q->dwCapacity;
}

int ODInQueueAlloc(tODInQueueHandle *queue, int capacity)
{
    if (!queue || capacity < 2) return ODINQ_BADARG;
    ODInQueue *q = (ODInQueue *)calloc(1, sizeof *q);
    if (!q) return ODINQ_NOROOM;
    q->nWake = -1;
    q->pEvents = (tODInputEvent *)calloc((size_t)capacity, sizeof *q->pEvents);
    if (!q->pEvents) goto fail;
    if (ODSemaphoreAlloc(&q->hSemaphore, 0, capacity) != ODPLAT_OK) {
        q->hSemaphore = nullptr;
        goto fail;
    }
    if (ODMutexInitialize(&q->hMutex) != ODPLAT_OK) {
        q->hMutex = nullptr;
        goto fail;
    }
    q->nWake = ODInQueuePlatWakeAlloc();
    if (q->nWake < 0) goto fail;
    q->dwCapacity = (uint32_t)capacity;
    q->nLastActivity = ODPlatWallSeconds();
    *queue = q;
    return ODINQ_OK;

fail:
    if (q->hMutex) ODMutexDestroy(q->hMutex);
    if (q->hSemaphore) ODSemaphoreFree(q->hSemaphore);
    free(q->pEvents);
    free(q);
    return ODINQ_NOROOM;
}

void ODInQueueFree(tODInQueueHandle q)
{
    if (!q) return;
    ODInQueuePlatWakeFree(q->nWake);
    ODSemaphoreFree(q->hSemaphore);
    ODMutexDestroy(q->hMutex);
    free(q->pEvents);
    free(q);
}

int ODInQueueWaiting(tODInQueueHandle q)
{
    if (!q) return 0;
    ODMutexLock(q->hMutex);
    int waiting = q->dwRead != q->dwWrite;
    ODMutexUnlock(q->hMutex);
    return waiting;
}

int ODInQueueAddEvent(tODInQueueHandle q, const tODInputEvent *event)
{
    return ODInQueueAddEvents(q, event, 1);
}

int ODInQueueAddEvents(tODInQueueHandle q, const tODInputEvent *events, int count)
{
    if (!q || !events || count < 1) return ODINQ_BADARG;
    ODMutexLock(q->hMutex);
    if (ODInQueueFreeRoom(q) < (uint32_t)count) {
        ODMutexUnlock(q->hMutex);
        ODPlatRingBell();
        return ODINQ_NOROOM;
    }
    for (int i = 0; i < count; i++) ODInQueuePut(q, &events[i]);
    q->nLastActivity = ODPlatWallSeconds();
    ODSemaphoreUp(q->hSemaphore, count);
    ODMutexUnlock(q->hMutex);
    ODInQueuePlatWakeSignal(q->nWake);
    return ODINQ_OK;
}

int ODInQueueReserveEvent(tODInQueueHandle q)
{
    if (!q) return ODINQ_BADARG;
    ODMutexLock(q->hMutex);
    int result = ODINQ_NOROOM;
    if (ODInQueueFreeRoom(q) > 0) {
        q->dwReserved++;
        result = ODINQ_OK;
    }
    ODMutexUnlock(q->hMutex);
    return result;
}

int ODInQueueCommitReservedEvent(tODInQueueHandle q, const tODInputEvent *event)
{
    if (!q || !event) return ODINQ_BADARG;
    ODMutexLock(q->hMutex);
    if (q->dwReserved == 0) {
        ODMutexUnlock(q->hMutex);
        return ODINQ_BADARG;
    }
    q->dwReserved--;
    ODInQueuePut(q, event);
    q->nLastActivity = ODPlatWallSeconds();
    ODSemaphoreUp(q->hSemaphore, 1);
    ODMutexUnlock(q->hMutex);
    return ODINQ_OK;
}

void ODInQueueCancelReservedEvent(tODInQueueHandle q)
{
    if (!q) return;
    ODMutexLock(q->hMutex);
    if (q->dwReserved > 0) q->dwReserved--;
    ODMutexUnlock(q->hMutex);
}

int ODInQueueGetNextEvent(tODInQueueHandle q, tODInputEvent *event, uint32_t timeout_ms)
{
    if (!q || !event) return ODINQ_BADARG;
    /* The semaphore is taken without the mutex, so a producer is never
     * held up by a waiting reader. */
    if (ODSemaphoreDown(q->hSemaphore, timeout_ms) != ODPLAT_OK) return ODINQ_TIMEOUT;
    ODMutexLock(q->hMutex);
    *event = q->pEvents[q->dwRead];
    q->dwRead = (q->dwRead + 1) % q->dwCapacity;
    ODMutexUnlock(q->hMutex);
    return ODINQ_OK;
}

void ODInQueueEmpty(tODInQueueHandle q)
{
    if (!q) return;
    tODInputEvent discarded;
    while (ODInQueueGetNextEvent(q, &discarded, 0) == ODINQ_OK) {
    }
}

int64_t ODInQueueGetLastActivity(tODInQueueHandle q)
{
    if (!q) return 0;
    ODMutexLock(q->hMutex);
    int64_t when = q->nLastActivity;
    ODMutexUnlock(q->hMutex);
    return when;
}

void ODInQueueResetLastActivity(tODInQueueHandle q)
{
    if (!q) return;
    ODMutexLock(q->hMutex);
    q->nLastActivity = ODPlatWallSeconds();
    ODMutexUnlock(q->hMutex);
}

int64_t ODInQueueGetWakeHandle(tODInQueueHandle q)
{
    return q ? q->nWake : -1;
}

void ODInQueueClearWake(tODInQueueHandle q)
{
    if (q) ODInQueuePlatWakeClear(q->nWake);
}

void ODInQueueWake(tODInQueueHandle q)
{
    if (q) ODInQueuePlatWakeSignal(q->nWake);
}
