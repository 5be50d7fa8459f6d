/* ODGetIn.h -- key decoding: the table of terminal key sequences and the
 * waits shared by the input calls. */
#ifndef ODGETIN_H
#define ODGETIN_H

#include "doorkit.h"
#include "ODKrnl.h"

#include <stdint.h>

typedef struct {
    const char *pszSequence; /* NUL-terminated bytes the terminal sends */
    uint8_t     btKeyCode;   /* extended key code */
    uint8_t     bIsControl;  /* a control-key row, skipped under GETIN_NOCTRL */
} tODKeySequence;

#define OD_KEY_SEQUENCE_COUNT 70
extern const tODKeySequence aKeySequences[OD_KEY_SEQUENCE_COUNT];

/* The most characters the decoder holds while a sequence may still grow. */
#define OD_SEQUENCE_MAX 23

/* Absolute time on the session clock. */
typedef struct {
    uint32_t dwSeconds;
    uint16_t wMilliseconds;
} tODDeadline;

/* Waits for the next input queue event in slices of at most 50 ms, each
 * ended early when the caller's connection has input or a local key is
 * queued, with the API checkpoint between slices. timer and deadline may be
 * null (no limit from them). 1 an event, 0 time up, -1 the session stopped
 * running. */
int ODGetInNextEvent(tODInputEvent *event, const tODTimer *timer, const tODDeadline *deadline);

#endif
