/* storage.h -- where the game's files live, the two settings read from
 * "grimby.json", and the write lock that serialises every node's writes to
 * the shared data directory. */
#ifndef STORAGE_H
#define STORAGE_H

#include <stdint.h>
#include <stdio.h>

extern int  storage_ok;       /* 1 once the working directory is set and "data" exists */
extern int  interbbs_enabled; /* score sharing with the score hub is on */
extern char bbs_name[64];     /* shown in every header; default "Q-ORB ONLINE" */

#define STORAGE_DATA_DIR   "data"
#define STORAGE_CONFIG     "grimby.json"
#define STORAGE_WRITE_LOCK "data/.grimby-write.lock"
/* Inside the lock directory while a node of ours holds it: a file the
 * holder keeps under an operating-system lock, which the system lets go
 * when the holder dies, however it dies. */
#define STORAGE_WRITE_OWNER "data/.grimby-write.lock/owner"
/* Never removed: held shared by a node while it takes the lock and
 * exclusively by a node clearing a dead holder's lock, so a lock is only
 * ever cleared while no node is half-way through taking it and only one
 * node clears it. */
#define STORAGE_WRITE_GUARD "data/.grimby-write.guard"

/* How long a node waits for the lock before its save fails. */
#define WRITE_LOCK_WAIT_MS 10000
/* The pause between two tries: short, so a lock held for a millisecond
 * costs a waiter a few milliseconds, not a tenth of a second. */
#define WRITE_LOCK_RETRY_MS 5
/* Up to this much more, varied, so nodes that began waiting together do
 * not keep trying in step. */
#define WRITE_LOCK_RETRY_JITTER_MS 3
/* How often a waiting node looks whether the holder is still alive. */
#define WRITE_LOCK_CHECK_MS 100
/* A lock directory with no owner file is a holder killed between making
 * the directory and its owner file, or a node that takes the lock without
 * one (an older release, which holds it for milliseconds): it is cleared
 * once it has stood unchanged this long. A wait that is timing one goes on
 * past WRITE_LOCK_WAIT_MS until it is cleared. */
#define WRITE_LOCK_GRACE_MS 4000

/* Changes to the program's directory and creates "data" there; sets
 * storage_ok. A failure leaves storage_ok 0 and the game still plays. */
void init_storage(void);

/* The part of init_storage after the program's directory is known: changes
 * to directory (null: stay where we are) and makes sure "data" is a
 * directory there. Returns storage_ok. */
int storage_prepare(const char *directory);

/* Reads "grimby.json" from the working directory; a missing or malformed
 * file leaves the values as they are. */
void load_config(void);

/* The scan behind load_config, on text already in memory (NUL-terminated;
 * the scan never reads past the terminator). */
void config_scan(const char *text);

/* Takes the write lock: a bounded wait (WRITE_LOCK_WAIT_MS) on the kit
 * clock, clearing a lock whose holder has died. 1 when held, 0 when it could
 * not be had (the caller reports its own failure). Never hold it across a
 * wait for the caller's input. */
int write_lock_take(void);

/* Clears the write lock if its holder is gone: 1 when it did, 0 when the
 * lock is free, alive, not yet known to be dead, or another node is at it.
 * Used by write_lock_take while it waits; now_ms is the kit clock. */
int write_lock_clear_dead(uint64_t now_ms);

/* Releases the lock if this process holds it; never removes another's. */
void write_lock_release(void);

/* 1 while this process holds the write lock. */
int write_lock_held(void);

/* ---- the operating system's half (posix/, win32/) ---- */

#define STORAGE_DIR_CREATED 0
#define STORAGE_DIR_EXISTS  1
#define STORAGE_DIR_FAILED  2

/* Atomic directory creation: STORAGE_DIR_CREATED, STORAGE_DIR_EXISTS when
 * the name is already taken (by anything), STORAGE_DIR_FAILED otherwise. */
int storage_make_dir(const char *path);

/* Removes an empty directory; 1 on success. */
int storage_remove_dir(const char *path);

/* 1 when path names an existing directory. */
int storage_is_dir(const char *path);

/* Moves from over to, replacing to in one step; 1 on success. */
int storage_replace_file(const char *from, const char *to);

/* Pushes a written stream's bytes to the disk; 1 on success. */
int storage_flush_file(FILE *stream);

/* This process's id, for names no other node will pick. */
unsigned long storage_process_id(void);

/* A file held under the operating system's lock (an open descriptor with
 * flock on Linux, a handle opened without sharing or locked with
 * LockFileEx on Windows). The system lets go when the process ends. */
typedef intptr_t storage_hold;
#define STORAGE_NO_HOLD ((storage_hold)-1)

/* Creates path, which must not exist, already held; writes text into it
 * for a person looking. 1 on success. */
int storage_hold_create(const char *path, const char *text, storage_hold *out);

#define STORAGE_HOLD_TAKEN   0 /* held now: no living process held it */
#define STORAGE_HOLD_BUSY    1 /* a living process holds it */
#define STORAGE_HOLD_MISSING 2 /* no such file */
#define STORAGE_HOLD_FAILED  3

/* Opens the existing path and holds it if no living process does. */
int storage_hold_existing(const char *path, storage_hold *out);

/* Removes the held file path and lets go of it. 1 on success; the hold
 * is let go either way. */
int storage_hold_remove(storage_hold hold, const char *path);

/* Lets go of a hold and leaves the file. */
void storage_hold_close(storage_hold hold);

/* Holds the file path, created if missing and never removed, shared or
 * exclusively, without waiting: STORAGE_HOLD_TAKEN, STORAGE_HOLD_BUSY (held
 * the other way, or exclusively, by another) or STORAGE_HOLD_FAILED. */
int storage_guard_take(const char *path, int exclusive, storage_hold *out);

/* Identifies one directory's life under a name: it changes when the
 * directory is made anew or its entries change. 1 when path is a
 * directory. */
int storage_dir_stamp(const char *path, uint64_t stamp[3]);

#endif
