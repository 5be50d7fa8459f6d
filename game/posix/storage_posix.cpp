/* storage_posix.cpp -- the Linux half of the game's storage: directory
 * creation as the atomic lock primitive, flock on the files that tell a
 * living holder from a dead one, rename over a file, fsync. */
#include "../storage.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int storage_make_dir(const char *path)
{
    if (!path) return STORAGE_DIR_FAILED;
    if (mkdir(path, 0777) == 0) return STORAGE_DIR_CREATED;
    return errno == EEXIST ? STORAGE_DIR_EXISTS : STORAGE_DIR_FAILED;
}

int storage_remove_dir(const char *path)
{
    return path && rmdir(path) == 0;
}

int storage_is_dir(const char *path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int storage_replace_file(const char *from, const char *to)
{
    return from && to && rename(from, to) == 0;
}

int storage_flush_file(FILE *stream)
{
    if (!stream || fflush(stream) != 0) return 0;
    return fsync(fileno(stream)) == 0;
}

unsigned long storage_process_id(void)
{
    return (unsigned long)getpid();
}

/* flock, not fcntl locks: these belong to the open file, so a second open
 * in the same process is refused like any other node's, and closing some
 * other descriptor of the file never drops them. Close-on-exec keeps a
 * child started while we hold (the sync worker) from keeping a hold alive
 * after we die. */
static int storage_open_locked(const char *path, int flags, int lock)
{
    int fd = open(path, flags | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES) fd = open(path, flags | O_RDONLY | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    while (flock(fd, lock | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        int error = errno;
        close(fd);
        errno = error;
        return -2;
    }
    return fd;
}

int storage_hold_create(const char *path, const char *text, storage_hold *out)
{
    *out = STORAGE_NO_HOLD;
    if (!path) return 0;
    int fd = storage_open_locked(path, O_CREAT | O_EXCL, LOCK_EX);
    if (fd == -2) unlink(path); /* ours, made a moment ago */
    if (fd < 0) return 0;
    if (text) {
        size_t length = strlen(text);
        if (write(fd, text, length) != (ssize_t)length) {
            /* Only words for a person; the lock is the hold itself. */
        }
    }
    *out = fd;
    return 1;
}

int storage_hold_existing(const char *path, storage_hold *out)
{
    *out = STORAGE_NO_HOLD;
    if (!path) return STORAGE_HOLD_FAILED;
    int fd = storage_open_locked(path, 0, LOCK_EX);
    if (fd == -1) return errno == ENOENT || errno == ENOTDIR ? STORAGE_HOLD_MISSING : STORAGE_HOLD_FAILED;
    if (fd == -2) return errno == EWOULDBLOCK ? STORAGE_HOLD_BUSY : STORAGE_HOLD_FAILED;
    /* A holder that let go normally removed the file before closing it:
     * what we hold must still be the file under that name. */
    struct stat held, named;
    if (fstat(fd, &held) != 0 || held.st_nlink == 0 || stat(path, &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        close(fd);
        return STORAGE_HOLD_BUSY;
    }
    *out = fd;
    return STORAGE_HOLD_TAKEN;
}

int storage_hold_remove(storage_hold hold, const char *path)
{
    int ok = path && unlink(path) == 0;
    storage_hold_close(hold);
    return ok;
}

void storage_hold_close(storage_hold hold)
{
    if (hold >= 0) close((int)hold);
}

int storage_guard_take(const char *path, int exclusive, storage_hold *out)
{
    *out = STORAGE_NO_HOLD;
    if (!path) return STORAGE_HOLD_FAILED;
    int fd = storage_open_locked(path, O_CREAT, exclusive ? LOCK_EX : LOCK_SH);
    if (fd == -1) return STORAGE_HOLD_FAILED;
    if (fd == -2) return errno == EWOULDBLOCK ? STORAGE_HOLD_BUSY : STORAGE_HOLD_FAILED;
    *out = fd;
    return STORAGE_HOLD_TAKEN;
}

int storage_dir_stamp(const char *path, uint64_t stamp[3])
{
    struct stat st;
    if (!path || stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
    stamp[0] = (uint64_t)st.st_ino;
    stamp[1] = (uint64_t)st.st_ctim.tv_sec * 1000000000u + (uint64_t)st.st_ctim.tv_nsec;
    stamp[2] = (uint64_t)st.st_mtim.tv_sec * 1000000000u + (uint64_t)st.st_mtim.tv_nsec;
    return 1;
}
