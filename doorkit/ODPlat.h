/* ODPlat.h -- the door kit's thin layer over the operating system: threads,
 * locks, semaphores, the clock, directory scans and file checks. One header,
 * two halves (win32/ODPlatWin32.cpp, posix/ODPlatPosix.cpp).
 *
 * Result codes: 0 success, 1 failure, 2 out of memory, 4 nothing found,
 * 5 no more entries, 10 a built name does not fit, 11 time-out. */
#ifndef ODPLAT_H
#define ODPLAT_H

#include <stdint.h>
#include <stdio.h>

#define ODPLAT_OK        0
#define ODPLAT_FAIL      1
#define ODPLAT_NOMEM     2
#define ODPLAT_NOTFOUND  4
#define ODPLAT_NOMORE    5
#define ODPLAT_NOFIT    10
#define ODPLAT_TIMEOUT  11

#define OD_WAIT_FOREVER 0xFFFFFFFFu

#ifdef _WIN32
#define OD_PATH_SEP '\\'
#define OD_PATH_SEP_STR "\\"
#else
#define OD_PATH_SEP '/'
#define OD_PATH_SEP_STR "/"
#endif

/* ---- clock ----
 * Everything in the kit that measures time reads these. Tests switch the
 * clock to virtual time: sleeps and timed waits then advance the clock
 * instead of blocking, so a minute of session time passes in microseconds. */
uint64_t ODPlatTickMs(void);          /* monotonic milliseconds */
int64_t  ODPlatWallSeconds(void);     /* seconds since 1970, UTC */
void     ODPlatSleepMs(uint32_t ms);  /* 0 yields */
/* Runs at the start of every ODPlatSleepMs, on the sleeping thread: the
 * output layer sends what it has collected for the caller before the game
 * thread pauses. Null removes it. */
typedef void (*tODPlatSleepHook)(void);
void     ODPlatSetSleepHook(tODPlatSleepHook hook);
void     ODPlatClockUseVirtual(uint64_t start_tick_ms, int64_t start_wall_seconds);
void     ODPlatClockUseReal(void);
int      ODPlatClockIsVirtual(void);
void     ODPlatClockAdvance(uint64_t ms); /* virtual clock only */

/* ---- threads, mutexes, semaphores ---- */
typedef struct ODThread *tODThreadHandle;
typedef void (*tODThreadFunc)(void *argument);

int  ODThreadCreate(tODThreadHandle *handle, tODThreadFunc function, void *argument);
void ODThreadWaitForExit(tODThreadHandle handle); /* also frees the handle */
void ODThreadSleep(uint32_t milliseconds);

typedef struct ODMutex *tODMutex;  /* recursive, process-local */
int  ODMutexInitialize(tODMutex *mutex);
void ODMutexDestroy(tODMutex mutex);
void ODMutexLock(tODMutex mutex);
void ODMutexUnlock(tODMutex mutex);

typedef struct ODSemaphore *tODSemaphoreHandle;
int  ODSemaphoreAlloc(tODSemaphoreHandle *semaphore, int initial, int maximum);
void ODSemaphoreFree(tODSemaphoreHandle semaphore);
void ODSemaphoreUp(tODSemaphoreHandle semaphore, int count);
/* 0 when a unit was taken, 11 on time-out. With the virtual clock a wait
 * that would block advances the clock by the timeout instead. */
int  ODSemaphoreDown(tODSemaphoreHandle semaphore, uint32_t timeout_ms);

int  ODPlatGetWindowsSubsystem(void); /* 1 windowed, 2 console, 0 unknown */
int  ODPlatInit(void);
void ODPlatRingBell(void);

/* ---- files and directories ---- */
#define OD_ATTR_READONLY  1
#define OD_ATTR_HIDDEN    2
#define OD_ATTR_SYSTEM    4
#define OD_ATTR_DIRECTORY 16
#define OD_ATTR_ARCHIVE   32

typedef struct {
    char     szFileName[1024];
    uint16_t wAttributes;
    uint32_t dwFileSize;    /* low 32 bits */
    int64_t  LastWriteTime; /* seconds since 1970 */
} tODDirEntry;

typedef struct ODDirScan *tODDirHandle;

/* The pattern is a path whose last part may hold '*' and '?'. On Linux the
 * last part matches without regard to letter case, as on Windows, so
 * "DOOR.SYS" and "door.sys" are the same drop file. */
int  ODDirOpen(const char *pattern, uint16_t wanted_attributes, tODDirHandle *handle);
int  ODDirRead(tODDirHandle handle, tODDirEntry *entry);
void ODDirClose(tODDirHandle handle);
int  ODDirChangeCurrent(const char *path);
int  ODDirGetCurrent(char *out, size_t out_size);

int  ODFileAccessMode(const char *path, int mode);
int  ODMakeFilename(char *out, const char *directory, const char *name, size_t out_size);
long ODFileSize(FILE *stream);

/* The directory of the running program, without a trailing separator. */
int  ODPlatProgramDirectory(char *out, size_t out_size);

/* Fills the buffer with random bytes from the system; 1 on success. */
int  ODPlatRandomBytes(void *buffer, size_t size);

#endif
