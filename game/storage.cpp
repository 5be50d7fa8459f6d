/* storage.cpp -- the game's place on disk: the program's directory, "data",
 * the two settings of "grimby.json" and the directory write lock by which
 * the nodes of one BBS take turns writing to the shared data files. */
#include "storage.h"

#include "ODPlat.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int  storage_ok = 0;
int  interbbs_enabled = 0;
char bbs_name[64] = "Q-ORB ONLINE";

/* Depth of our own hold on the write lock: a writer that calls another
 * writer must not wait ten seconds for itself. */
static int nWriteLockDepth = 0;

void init_storage(void)
{
    /* An installed GRIMBY serves door directories elsewhere: the start
     * script of each names its own. */
    const char *door_dir = getenv("GRIMBY_DOOR_DIR");
    if (door_dir && door_dir[0]) {
        storage_prepare(door_dir);
        return;
    }
    char directory[2048];
    if (ODPlatProgramDirectory(directory, sizeof directory) == ODPLAT_OK && directory[0])
        storage_prepare(directory);
    else
        storage_prepare(nullptr); /* no program path: play from where we were started */
}

int storage_prepare(const char *directory)
{
    storage_ok = 0;
    if (directory && ODDirChangeCurrent(directory) != ODPLAT_OK) return 0;
    int made = storage_make_dir(STORAGE_DATA_DIR);
    if (made == STORAGE_DIR_FAILED) return 0;
    /* A file called "data" would make every later write fail one by one. */
    if (made == STORAGE_DIR_EXISTS && !storage_is_dir(STORAGE_DATA_DIR)) return 0;
    storage_ok = 1;
    return 1;
}

void load_config(void)
{
    FILE *file = fopen(STORAGE_CONFIG, "rb");
    if (!file) return;
    /* The settings sit near the top of a small file; a larger one is cut
     * here and whatever lies past the cut keeps its default. */
    char text[4096];
    size_t length = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[length] = '\0';
    config_scan(text);
}

static const char *config_skip_blanks(const char *p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    return p;
}

/* A minimal scan, not a parser: the sysop's file is small and written by
 * our own set-up steps. Every search stops at the text's terminator, so
 * binary, cut or unterminated input only ever leaves a default in place. */
void config_scan(const char *text)
{
    if (!text) return;

    const char *p = strstr(text, "\"score_sharing\"");
    if (p) p = strstr(p + strlen("\"score_sharing\""), "\"enabled\"");
    if (p) p = strchr(p + strlen("\"enabled\""), ':');
    if (p) {
        p = config_skip_blanks(p + 1);
        interbbs_enabled = strncmp(p, "true", 4) == 0 ? 1 : 0;
    }

    const char *q = strstr(text, "\"bbs_name\"");
    if (q) q = strchr(q + strlen("\"bbs_name\""), ':');
    if (q) q = strchr(q + 1, '"');
    if (!q) return;
    const char *start = q + 1;
    const char *end = strchr(start, '"');
    if (!end) return; /* unterminated value */
    size_t length = (size_t)(end - start);
    if (length == 0 || length >= sizeof bbs_name) return;
    /* The name goes into every header: no byte of it may steer the
     * caller's terminal. */
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)start[i];
        if (c < 32 || c == 127) return;
    }
    memcpy(bbs_name, start, length);
    bbs_name[length] = '\0';
}

/* The owner file of our hold on the write lock. */
static storage_hold hWriteLockOwner = STORAGE_NO_HOLD;

/* A lock directory without an owner file, being timed: which one, and
 * since when. */
static int bWriteLockTiming = 0;
static uint64_t aWriteLockStamp[3];
static uint64_t nWriteLockSeenMs = 0;

/* Spreads the retries of nodes that started waiting together. */
static uint32_t nWriteLockJitter = 0;

#define WRITE_LOCK_GOT    0
#define WRITE_LOCK_BUSY   1
#define WRITE_LOCK_FAILED 2

/* One try: the directory, then the owner file inside it, both made while
 * the guard is held shared so that no node clears the lock between the
 * two. */
static int write_lock_try(void)
{
    storage_hold guard;
    int state = storage_guard_take(STORAGE_WRITE_GUARD, 0, &guard);
    if (state == STORAGE_HOLD_BUSY) return WRITE_LOCK_BUSY;
    if (state != STORAGE_HOLD_TAKEN) return WRITE_LOCK_FAILED;
    int result = WRITE_LOCK_FAILED;
    int made = storage_make_dir(STORAGE_WRITE_LOCK);
    if (made == STORAGE_DIR_EXISTS) {
        result = WRITE_LOCK_BUSY;
    } else if (made == STORAGE_DIR_CREATED) {
        char text[32];
        snprintf(text, sizeof text, "%lu\n", storage_process_id());
        if (storage_hold_create(STORAGE_WRITE_OWNER, text, &hWriteLockOwner)) {
            result = WRITE_LOCK_GOT;
        } else {
            /* Held without an owner file, the lock would be taken for a
             * dead one's after the grace; a disk that cannot make a tiny
             * file would fail the save anyway. */
            storage_remove_dir(STORAGE_WRITE_LOCK);
        }
    }
    storage_hold_close(guard);
    return result;
}

int write_lock_clear_dead(uint64_t now_ms)
{
    storage_hold guard;
    if (storage_guard_take(STORAGE_WRITE_GUARD, 1, &guard) != STORAGE_HOLD_TAKEN) return 0;
    int cleared = 0;
    storage_hold owner;
    uint64_t stamp[3];
    if (!storage_is_dir(STORAGE_WRITE_LOCK)) {
        bWriteLockTiming = 0; /* free, or a file in its place: not ours to remove */
    } else {
        switch (storage_hold_existing(STORAGE_WRITE_OWNER, &owner)) {
        case STORAGE_HOLD_TAKEN:
            /* Its holder died holding it. Anything else in the directory
             * is not ours: then the removal fails and the lock stands. */
            bWriteLockTiming = 0;
            cleared = storage_hold_remove(owner, STORAGE_WRITE_OWNER) &&
                      storage_remove_dir(STORAGE_WRITE_LOCK);
            break;
        case STORAGE_HOLD_BUSY:
            bWriteLockTiming = 0;
            break;
        case STORAGE_HOLD_MISSING:
            if (!storage_dir_stamp(STORAGE_WRITE_LOCK, stamp)) break;
            if (!bWriteLockTiming || memcmp(stamp, aWriteLockStamp, sizeof stamp) != 0) {
                bWriteLockTiming = 1;
                memcpy(aWriteLockStamp, stamp, sizeof stamp);
                nWriteLockSeenMs = now_ms;
            } else if (now_ms - nWriteLockSeenMs >= WRITE_LOCK_GRACE_MS) {
                bWriteLockTiming = 0;
                cleared = storage_remove_dir(STORAGE_WRITE_LOCK);
            }
            break;
        default:
            break;
        }
    }
    storage_hold_close(guard);
    return cleared;
}

int write_lock_take(void)
{
    if (nWriteLockDepth > 0) {
        nWriteLockDepth++;
        return 1;
    }
    if (!nWriteLockJitter) nWriteLockJitter = (uint32_t)storage_process_id() * 2654435761u | 1;
    bWriteLockTiming = 0;
    uint64_t start = ODPlatTickMs();
    uint64_t next_check = start + WRITE_LOCK_CHECK_MS;
    for (;;) {
        int tried = write_lock_try();
        if (tried == WRITE_LOCK_GOT) {
            nWriteLockDepth = 1;
            return 1;
        }
        if (tried == WRITE_LOCK_FAILED) return 0;
        uint64_t now = ODPlatTickMs();
        if (now >= next_check) {
            if (write_lock_clear_dead(now)) continue;
            next_check = now + WRITE_LOCK_CHECK_MS;
        }
        /* A lock without an owner file being timed is cleared at the end
         * of its grace, so the wait lasts until then. */
        int timing = bWriteLockTiming && now < nWriteLockSeenMs + WRITE_LOCK_GRACE_MS + WRITE_LOCK_CHECK_MS;
        if (now - start >= WRITE_LOCK_WAIT_MS && !timing) return 0;
        nWriteLockJitter = nWriteLockJitter * 1664525u + 1013904223u;
        ODPlatSleepMs(WRITE_LOCK_RETRY_MS + (nWriteLockJitter >> 16) % (WRITE_LOCK_RETRY_JITTER_MS + 1));
    }
}

void write_lock_release(void)
{
    if (nWriteLockDepth == 0) return;
    if (--nWriteLockDepth > 0) return;
    if (hWriteLockOwner != STORAGE_NO_HOLD) {
        storage_hold_remove(hWriteLockOwner, STORAGE_WRITE_OWNER);
        hWriteLockOwner = STORAGE_NO_HOLD;
    }
    /* A removal that fails for a moment (a scanner holding the directory
     * open on Windows) is tried again; one that keeps failing leaves a lock
     * without a living owner, which the next waiting node clears. */
    for (int attempt = 0; attempt < 5; attempt++) {
        if (storage_remove_dir(STORAGE_WRITE_LOCK)) return;
        ODPlatSleepMs(20);
    }
}

int write_lock_held(void)
{
    return nWriteLockDepth > 0;
}
