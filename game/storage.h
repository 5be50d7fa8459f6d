/* storage.h -- where the game's files live, the two settings read from
 * "grimby.json", and the write lock that serialises every node's writes to
 * the shared data directory. */
#ifndef STORAGE_H
#define STORAGE_H

#include <stdio.h>

extern int  storage_ok;       /* 1 once the working directory is set and "data" exists */
extern int  interbbs_enabled; /* score sharing with the score hub is on */
extern char bbs_name[64];     /* shown in every header; default "Q-ORB ONLINE" */

#define STORAGE_DATA_DIR   "data"
#define STORAGE_CONFIG     "grimby.json"
#define STORAGE_WRITE_LOCK "data/.grimby-write.lock"

/* Bounds of the write lock: attempts in all, and the pause between two. */
#define WRITE_LOCK_ATTEMPTS 100
#define WRITE_LOCK_RETRY_MS 100

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

/* Takes the write lock: a bounded wait of WRITE_LOCK_ATTEMPTS tries on the
 * kit clock. 1 when held, 0 when it could not be had (the caller reports its
 * own failure). Never hold it across a wait for the caller's input. */
int write_lock_take(void);

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

#endif
