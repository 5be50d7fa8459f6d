/* ODSync.h -- API nesting level and the public-call rule.
 *
 * Work that must not run in the middle of another public call (the kernel's
 * pending requests, publishing the local screen) runs only when the
 * outermost call ends, waits, or passes a checkpoint. The modules that own
 * that work register it through the hooks below, so this layer depends on
 * nothing above it. */
#ifndef ODSYNC_H
#define ODSYNC_H

#include <stdint.h>

extern uint32_t nAPILevel;
extern int      bSyncActive;

typedef void (*tODSyncHook)(void);
extern tODSyncHook pfODSyncDispatchRequests; /* kernel: pending requests */
extern tODSyncHook pfODSyncPublishScreen;    /* local screen: publish */
extern tODSyncHook pfODSyncKernelPass;       /* kernel: one pass (od_kernel) */
extern tODSyncHook pfODSyncCallRefused;      /* start-up/exit: a call refused past running */
extern tODSyncHook pfODSyncEnterCall;        /* output: a call begins (sends collected output) */

int      ODSyncSessionInitialize(void);
int      ODSyncPublicCallAllowed(void);
void     ODSyncAPIEntry(void);
void     ODSyncAPIExit(void);
uint32_t ODSyncAPIRelease(void);
void     ODSyncAPIReacquire(uint32_t level);
int      ODSyncAPICheckpoint(void);
int      ODSyncAPIIsNested(void);

#ifdef __cplusplus
/* Applies the public-call rule on construction and leaves the API on
 * destruction, so no public operation can forget either half:
 *
 *     ODPublicCall call;
 *     if (!call.entered) return failure_value;
 */
struct ODPublicCall {
    int entered;
    ODPublicCall();
    ~ODPublicCall();
    ODPublicCall(const ODPublicCall &) = delete;
    ODPublicCall &operator=(const ODPublicCall &) = delete;
};
#endif

#endif
