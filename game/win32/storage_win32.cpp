/* storage_win32.cpp -- the Windows half of the game's storage: directory
 * creation as the atomic lock primitive, MoveFileExA over a file, commit. */
#include <windows.h>
#include <io.h>

#include "../storage.h"
#include "ODPlat.h"

int storage_make_dir(const char *path)
{
    if (!path) return STORAGE_DIR_FAILED;
    if (CreateDirectoryA(path, nullptr)) return STORAGE_DIR_CREATED;
    DWORD error = GetLastError();
    /* A directory another node has just removed lingers as "delete
     * pending" and refuses creation with access denied for a moment: that
     * is a busy lock, not a failure. A real permission fault still ends
     * after the lock's bounded attempts. */
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) return STORAGE_DIR_EXISTS;
    return STORAGE_DIR_FAILED;
}

int storage_remove_dir(const char *path)
{
    return path && RemoveDirectoryA(path);
}

int storage_is_dir(const char *path)
{
    if (!path) return 0;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int storage_replace_file(const char *from, const char *to)
{
    if (!from || !to) return 0;
    /* Another node reading the target for an instant makes the move fail
     * with a sharing error; a few short retries ride that out. */
    for (int attempt = 0; attempt < 10; attempt++) {
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 1;
        DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return 0;
        ODPlatSleepMs(20);
    }
    return 0;
}

int storage_flush_file(FILE *stream)
{
    if (!stream || fflush(stream) != 0) return 0;
    return _commit(_fileno(stream)) == 0;
}

unsigned long storage_process_id(void)
{
    return (unsigned long)GetCurrentProcessId();
}
