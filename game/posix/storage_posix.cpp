/* storage_posix.cpp -- the Linux half of the game's storage: directory
 * creation as the atomic lock primitive, rename over a file, fsync. */
#include "../storage.h"

#include <errno.h>
#include <stdio.h>
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
