/* ODKrnl.h -- the kernel: the door kit's periodic housekeeping pass, the kit
 * timers, the session clock and od_sleep. */
#ifndef ODKRNL_H
#define ODKRNL_H

#include <stdint.h>

/* A kit timer: start tick and duration in milliseconds of the kit clock,
 * compared with unsigned wrap-around. */
typedef struct {
    uint32_t dwStart;
    uint32_t dwDuration;
} tODTimer;

void     ODTimerStart(tODTimer *timer, uint32_t duration_ms);
int      ODTimerElapsed(const tODTimer *timer);
uint32_t ODTimerLeft(const tODTimer *timer);
void     ODTimerWaitForElapse(const tODTimer *timer);

/* Time since start-up on the kit's monotonic clock; never goes backwards.
 * Either output may be null. */
void ODSessionTimeInitialize(void);
void ODSessionTimeGet(uint32_t *seconds, uint16_t *milliseconds);

extern int      bKernelActive;  /* a pass is running */
extern tODTimer RunKernelTimer; /* restarted by every pass; 250 ms */
/* The longest an input wait may sleep before looking again; a pass that
 * received bytes sets it to 0, the next wait puts it back. */
extern uint32_t ODMaxMSToWait;

#define OD_KERNEL_PERIOD_MS 250
#define OD_WAIT_SLICE_MS     50

/* Start-up: registers the pass with the API nesting layer and starts the
 * session clock if it is not running. 1 on success. */
int  ODKrnlInitialize(void);
void ODKrnlShutdown(void);

/* One kernel pass, for callers already inside a public call (the input and
 * output calls); od_kernel is the public form. Does nothing while a pass is
 * running. */
void ODKrnlRunPass(void);

/* A key typed at the local keyboard: scan code in the high byte, character
 * in the low byte. Safe from the local display's thread. */
void ODKrnlHandleLocalKey(uint16_t key);

#endif
