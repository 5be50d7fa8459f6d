/* ODPlatPosix.cpp -- the Linux half of the platform layer: pthreads, a
 * condition-variable semaphore, opendir scans and the monotonic clock. */
#include "../ODPlat.h"
#include "../ODUtil.h"

#include <dirent.h>
#include <errno.h>
#include <fnmatch.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

uint64_t ODPlatRealTickMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

int64_t ODPlatRealWallSeconds(void)
{
    return (int64_t)time(nullptr);
}

void ODPlatRealSleepMs(uint32_t ms)
{
    if (ms == 0) {
        sched_yield();
        return;
    }
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* ---- threads ---- */

struct ODThread {
    pthread_t thread;
};

struct ODThreadStart {
    tODThreadFunc function;
    void *argument;
};

static void *ODThreadTrampoline(void *raw)
{
    ODThreadStart start = *(ODThreadStart *)raw;
    free(raw);
    start.function(start.argument);
    return nullptr;
}

int ODThreadCreate(tODThreadHandle *handle, tODThreadFunc function, void *argument)
{
    if (!handle || !function) return ODPLAT_FAIL;
    ODThreadStart *start = (ODThreadStart *)malloc(sizeof *start);
    ODThread *thread = (ODThread *)malloc(sizeof *thread);
    if (!start || !thread) {
        free(start);
        free(thread);
        return ODPLAT_NOMEM;
    }
    start->function = function;
    start->argument = argument;
    if (pthread_create(&thread->thread, nullptr, ODThreadTrampoline, start) != 0) {
        free(start);
        free(thread);
        return ODPLAT_FAIL;
    }
    *handle = thread;
    return ODPLAT_OK;
}

void ODThreadWaitForExit(tODThreadHandle handle)
{
    if (!handle) return;
    pthread_join(handle->thread, nullptr);
    free(handle);
}

/* ---- mutexes ---- */

struct ODMutex {
    pthread_mutex_t mutex;
};

int ODMutexInitialize(tODMutex *mutex)
{
    ODMutex *m = (ODMutex *)malloc(sizeof *m);
    if (!m) return ODPLAT_NOMEM;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&m->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        free(m);
        return ODPLAT_FAIL;
    }
    *mutex = m;
    return ODPLAT_OK;
}

void ODMutexDestroy(tODMutex mutex)
{
    if (!mutex) return;
    pthread_mutex_destroy(&mutex->mutex);
    free(mutex);
}

void ODMutexLock(tODMutex mutex)
{
    pthread_mutex_lock(&mutex->mutex);
}

void ODMutexUnlock(tODMutex mutex)
{
    pthread_mutex_unlock(&mutex->mutex);
}

/* ---- semaphores: a counter under a mutex, waited on with a monotonic
 * condition variable so a changed wall clock cannot stretch a time-out ---- */

struct ODSemaphore {
    pthread_mutex_t mutex;
    pthread_cond_t  cond;
    int count;
    int maximum;
};

int ODSemaphoreAlloc(tODSemaphoreHandle *semaphore, int initial, int maximum)
{
    if (!semaphore || maximum < 1 || initial < 0 || initial > maximum) return ODPLAT_FAIL;
    ODSemaphore *s = (ODSemaphore *)malloc(sizeof *s);
    if (!s) return ODPLAT_FAIL;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_mutex_init(&s->mutex, nullptr);
    pthread_cond_init(&s->cond, &attr);
    pthread_condattr_destroy(&attr);
    s->count = initial;
    s->maximum = maximum;
    *semaphore = s;
    return ODPLAT_OK;
}

void ODSemaphoreFree(tODSemaphoreHandle semaphore)
{
    if (!semaphore) return;
    pthread_cond_destroy(&semaphore->cond);
    pthread_mutex_destroy(&semaphore->mutex);
    free(semaphore);
}

void ODSemaphoreUp(tODSemaphoreHandle semaphore, int count)
{
    pthread_mutex_lock(&semaphore->mutex);
    /* As on Windows, a release past the maximum releases nothing. */
    if (count > 0 && count <= semaphore->maximum - semaphore->count) {
        semaphore->count += count;
        pthread_cond_broadcast(&semaphore->cond);
    }
    pthread_mutex_unlock(&semaphore->mutex);
}

int ODSemaphoreDown(tODSemaphoreHandle semaphore, uint32_t timeout_ms)
{
    pthread_mutex_lock(&semaphore->mutex);
    if (semaphore->count == 0 && timeout_ms != 0) {
        if (ODPlatClockIsVirtual() && timeout_ms != OD_WAIT_FOREVER) {
            pthread_mutex_unlock(&semaphore->mutex);
            ODPlatClockAdvance(timeout_ms);
            pthread_mutex_lock(&semaphore->mutex);
        } else if (timeout_ms == OD_WAIT_FOREVER) {
            while (semaphore->count == 0) pthread_cond_wait(&semaphore->cond, &semaphore->mutex);
        } else {
            struct timespec deadline;
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_sec += timeout_ms / 1000;
            deadline.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec++;
                deadline.tv_nsec -= 1000000000L;
            }
            while (semaphore->count == 0) {
                if (pthread_cond_timedwait(&semaphore->cond, &semaphore->mutex, &deadline) == ETIMEDOUT)
                    break;
            }
        }
    }
    int result = ODPLAT_TIMEOUT;
    if (semaphore->count > 0) {
        semaphore->count--;
        result = ODPLAT_OK;
    }
    pthread_mutex_unlock(&semaphore->mutex);
    return result;
}

int ODPlatGetWindowsSubsystem(void)
{
    /* A native Linux program has no PE header: its local display is the
     * console, never the Windows frame. */
    return 0;
}

int ODPlatInit(void)
{
    return ODPLAT_OK;
}

void ODPlatRingBell(void)
{
    /* The local bell belongs to the local console, which rings it itself
     * when it draws; nothing to do for a session without one. */
}

/* ---- directory scans ---- */

struct ODDirScan {
    DIR     *dir;
    char     directory[PATH_MAX];
    char     pattern[256];
    uint16_t wanted;
    int      finished;
    tODDirEntry current;
};

static uint16_t ODDirAttributes(const char *name, const struct stat *st)
{
    uint16_t attributes = 0;
    if (S_ISDIR(st->st_mode)) attributes |= OD_ATTR_DIRECTORY;
    else attributes |= OD_ATTR_ARCHIVE;
    if (!(st->st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= OD_ATTR_READONLY;
    if (name[0] == '.') attributes |= OD_ATTR_HIDDEN;
    return attributes;
}

/* Moves to the next entry that matches; marks the scan finished when none. */
static void ODDirAdvance(ODDirScan *scan)
{
    const uint16_t counted = OD_ATTR_HIDDEN | OD_ATTR_SYSTEM | OD_ATTR_DIRECTORY;
    for (;;) {
        struct dirent *entry = readdir(scan->dir);
        if (!entry) {
            scan->finished = 1;
            return;
        }
        if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
        if (fnmatch(scan->pattern, entry->d_name, FNM_CASEFOLD) != 0) continue;
        char full[PATH_MAX + 256];
        snprintf(full, sizeof full, "%s/%s", scan->directory, entry->d_name);
        struct stat st;
        if (stat(full, &st) != 0) continue;
        uint16_t attributes = ODDirAttributes(entry->d_name, &st);
        if ((attributes & counted) & ~scan->wanted) continue;
        ODStringCopy(scan->current.szFileName, entry->d_name, sizeof scan->current.szFileName);
        scan->current.wAttributes = attributes;
        scan->current.dwFileSize = (uint32_t)st.st_size;
        scan->current.LastWriteTime = (int64_t)st.st_mtime;
        return;
    }
}

int ODDirOpen(const char *pattern, uint16_t wanted_attributes, tODDirHandle *handle)
{
    if (!pattern || !handle) return ODPLAT_FAIL;
    size_t length = strlen(pattern);
    if (length == 0 || length >= PATH_MAX) return ODPLAT_NOTFOUND;
    ODDirScan *scan = (ODDirScan *)calloc(1, sizeof *scan);
    if (!scan) return ODPLAT_NOMEM;
    const char *slash = strrchr(pattern, '/');
    if (slash) {
        size_t nd = (size_t)(slash - pattern);
        if (nd == 0) nd = 1; /* the root directory */
        memcpy(scan->directory, pattern, nd);
        scan->directory[nd] = '\0';
        ODStringCopy(scan->pattern, slash + 1, sizeof scan->pattern);
    } else {
        strcpy(scan->directory, ".");
        ODStringCopy(scan->pattern, pattern, sizeof scan->pattern);
    }
    if (strlen(slash ? slash + 1 : pattern) >= sizeof scan->pattern || !scan->pattern[0]) {
        free(scan);
        return ODPLAT_NOTFOUND;
    }
    scan->wanted = wanted_attributes;
    scan->dir = opendir(scan->directory);
    if (!scan->dir) {
        free(scan);
        return ODPLAT_NOTFOUND;
    }
    ODDirAdvance(scan);
    if (scan->finished) {
        closedir(scan->dir);
        free(scan);
        return ODPLAT_NOTFOUND;
    }
    *handle = scan;
    return ODPLAT_OK;
}

int ODDirRead(tODDirHandle scan, tODDirEntry *entry)
{
    if (!scan || !entry) return ODPLAT_FAIL;
    if (scan->finished) return ODPLAT_NOMORE;
    *entry = scan->current;
    ODDirAdvance(scan);
    return ODPLAT_OK;
}

void ODDirClose(tODDirHandle scan)
{
    if (!scan) return;
    if (scan->dir) closedir(scan->dir);
    free(scan);
}

int ODDirChangeCurrent(const char *path)
{
    return path && chdir(path) == 0 ? ODPLAT_OK : ODPLAT_FAIL;
}

int ODDirGetCurrent(char *out, size_t out_size)
{
    return out && getcwd(out, out_size) ? ODPLAT_OK : ODPLAT_FAIL;
}

int ODPlatProgramDirectory(char *out, size_t out_size)
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ODPLAT_FAIL;
    path[n] = '\0';
    char *slash = strrchr(path, '/');
    if (!slash) return ODPLAT_FAIL;
    *(slash == path ? slash + 1 : slash) = '\0';
    if (strlen(path) + 1 > out_size) return ODPLAT_NOFIT;
    strcpy(out, path);
    return ODPLAT_OK;
}

int ODPlatRandomBytes(void *buffer, size_t size)
{
    unsigned char *p = (unsigned char *)buffer;
    while (size > 0) {
        ssize_t n = getrandom(p, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        p += n;
        size -= (size_t)n;
    }
    return 1;
}
