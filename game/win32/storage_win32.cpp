/* storage_win32.cpp -- the Windows half of the game's storage: directory
 * creation as the atomic lock primitive, files opened without sharing or
 * locked with LockFileEx to tell a living holder from a dead one,
 * MoveFileExA over a file, commit. */
#include <windows.h>
#include <io.h>
#include <string.h>

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

/* An owner file is open without sharing for as long as its holder lives:
 * nobody else can open it, and the system closes it when the holder dies.
 * The holder asks for DELETE access so that it can remove the file on
 * release while it still holds it. Handles are not inherited by children. */
int storage_hold_create(const char *path, const char *text, storage_hold *out)
{
    *out = STORAGE_NO_HOLD;
    if (!path) return 0;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    if (text) {
        DWORD written = 0;
        WriteFile(file, text, (DWORD)strlen(text), &written, nullptr); /* only words for a person */
    }
    *out = (storage_hold)file;
    return 1;
}

int storage_hold_existing(const char *path, storage_hold *out)
{
    *out = STORAGE_NO_HOLD;
    if (!path) return STORAGE_HOLD_FAILED;
    HANDLE file = CreateFileA(path, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        *out = (storage_hold)file;
        return STORAGE_HOLD_TAKEN;
    }
    switch (GetLastError()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED: /* being deleted by the holder letting go */
        return STORAGE_HOLD_BUSY;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return STORAGE_HOLD_MISSING;
    default:
        return STORAGE_HOLD_FAILED;
    }
}

int storage_hold_remove(storage_hold hold, const char *path)
{
    if (hold == STORAGE_NO_HOLD) return 0;
    HANDLE file = (HANDLE)hold;
    /* Marked while still held, gone when the handle closes: no moment in
     * which the file stands unheld. */
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    BOOL marked = SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(file);
    if (marked) return 1;
    return path && DeleteFileA(path);
}

void storage_hold_close(storage_hold hold)
{
    if (hold == STORAGE_NO_HOLD) return;
    HANDLE file = (HANDLE)hold;
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    UnlockFileEx(file, 0, 1, 0, &at); /* a guard's lock; fails harmlessly on an owner file */
    CloseHandle(file);
}

int storage_guard_take(const char *path, int exclusive, storage_hold *out)
{
    *out = STORAGE_NO_HOLD;
    if (!path) return STORAGE_HOLD_FAILED;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        file = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return STORAGE_HOLD_FAILED;
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (!LockFileEx(file, flags, 0, 1, 0, &at)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? STORAGE_HOLD_BUSY
                                                                          : STORAGE_HOLD_FAILED;
    }
    *out = (storage_hold)file;
    return STORAGE_HOLD_TAKEN;
}

int storage_dir_stamp(const char *path, uint64_t stamp[3])
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path || !GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
        !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    stamp[0] = ((uint64_t)data.ftCreationTime.dwHighDateTime << 32) | data.ftCreationTime.dwLowDateTime;
    stamp[1] = ((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
    stamp[2] = 0;
    return 1;
}
