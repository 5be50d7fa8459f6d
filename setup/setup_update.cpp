/* setup_update.cpp -- update mode: the online updater's hand-over. Every
 * file that exists is copied aside first; if any entry fails, everything
 * installed before it is put back, so the door directory ends as it was. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "setup.h"

static const char szSetupUpdateCaption[] = "GRIMBY update failed";

static int SetupIsLink(const char *dir, const char *name)
{
    char path[SETUP_PATH_MAX + 2];
    snprintf(path, sizeof path, "%s\\%s", dir, name);
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

static int SetupIsFile(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

/* 1 when both files hold the same bytes. */
static int SetupSameBytes(const char *a, const char *b)
{
    HANDLE one = CreateFileA(a, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE two = CreateFileA(b, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    int same = one != INVALID_HANDLE_VALUE && two != INVALID_HANDLE_VALUE;
    static char left[4096], right[4096];
    while (same) {
        DWORD got_left = 0, got_right = 0;
        if (!ReadFile(one, left, sizeof left, &got_left, nullptr) ||
            !ReadFile(two, right, sizeof right, &got_right, nullptr) || got_left != got_right ||
            memcmp(left, right, got_left) != 0) {
            same = 0;
        } else if (got_left == 0) {
            break;
        }
    }
    if (one != INVALID_HANDLE_VALUE) CloseHandle(one);
    if (two != INVALID_HANDLE_VALUE) CloseHandle(two);
    return same;
}

/* Puts the saved copy back by a temporary file and a rename, so a restore
 * that fails half-way leaves the newer file whole rather than a torn one. */
static int SetupRestore(const char *saved, const char *target)
{
    if (SetupSameBytes(saved, target)) return 1; /* never replaced: nothing to undo */
    char parent[SETUP_PATH_MAX + 2], temp[MAX_PATH + 1];
    snprintf(parent, sizeof parent, "%s", target);
    char *slash = strrchr(parent, '\\');
    if (!slash) return 0;
    *slash = '\0';
    if (!GetTempFileNameA(parent, "GRB", 0, temp)) return 0;
    if (!CopyFileA(saved, temp, FALSE) ||
        !MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(temp);
        return 0;
    }
    return 1;
}

/* Removes the copies made in a backup directory that never came to be
 * used: nothing was installed, so they are backups of nothing. */
static void SetupDropBackups(const char *backup, const int *saved)
{
    char copy[SETUP_PATH_MAX + 16];
    for (int i = 0; i < SETUP_FILE_COUNT; i++) {
        if (!saved[i]) continue;
        snprintf(copy, sizeof copy, "%s\\file-%02d", backup, i);
        DeleteFileA(copy);
    }
    RemoveDirectoryA(backup);
}

int setup_update(const char *args)
{
    char dir[SETUP_UPDATE_DIR_MAX + 1];
    size_t length = strlen(args);
    if (length > 1 && args[0] == '"' && args[length - 1] == '"') {
        args++;
        length -= 2;
    }
    if (length < 1 || length > SETUP_UPDATE_DIR_MAX) return 1;
    memcpy(dir, args, length);
    dir[length] = '\0';

    char path[SETUP_PATH_MAX + 16];
    snprintf(path, sizeof path, "%s\\grimby.json", dir);
    if (!SetupIsFile(path)) return 1;
    snprintf(path, sizeof path, "%s\\.grimby-maintenance", dir);
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return 1;
    if (SetupIsLink(dir, "docs") || SetupIsLink(dir, "hub")) return 1;

    /* The folders the release needs that are not there yet: a rollback
     * takes them away again once they are empty. */
    static const char *const apszSetupFolders[] = {"docs", "hub"};
    int folder_was[2];
    for (int f = 0; f < 2; f++) {
        snprintf(path, sizeof path, "%s\\%s", dir, apszSetupFolders[f]);
        folder_was[f] = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
    }

    char backup[SETUP_PATH_MAX + 2];
    snprintf(backup, sizeof backup, "%s\\update-backup-%lu-%lu", dir, (unsigned long)GetTickCount(),
             (unsigned long)GetCurrentProcessId());
    if (!CreateDirectoryA(backup, nullptr)) return 1;

    int saved[SETUP_FILE_COUNT] = {0};
    char target[SETUP_PATH_MAX + 16], copy[SETUP_PATH_MAX + 16];
    for (int i = 0; i < SETUP_FILE_COUNT; i++) {
        snprintf(target, sizeof target, "%s\\%s", dir, setup_files[i].path);
        DWORD attributes = GetFileAttributesA(target);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            DWORD code = GetLastError();
            if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) continue;
            SetupDropBackups(backup, saved);
            return 1; /* there, but not to be looked at: not to be replaced either */
        }
        snprintf(copy, sizeof copy, "%s\\file-%02d", backup, i);
        if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
            !CopyFileA(target, copy, TRUE)) {
            SetupDropBackups(backup, saved);
            return 1;
        }
        saved[i] = 1;
    }

    char error[SETUP_ERROR_SIZE];
    int failed = -1;
    for (int i = 0; i < SETUP_FILE_COUNT && failed < 0; i++) {
        int ok = 1;
#ifdef GRIMBY_SETUP_TEST_HOOKS
        if (setup_before_install_hook) ok = setup_before_install_hook(dir, i, error);
#endif
        if (ok) ok = install_file(dir, i, error);
        if (!ok) failed = i;
    }
    if (failed < 0) return 0;

    int complete = 1;
    for (int i = 0; i <= failed; i++) {
        /* A preserved file that was there is never touched; one this run
         * added is new like any other. */
        if (setup_files[i].preserve && saved[i]) continue;
        snprintf(target, sizeof target, "%s\\%s", dir, setup_files[i].path);
        if (saved[i]) {
            snprintf(copy, sizeof copy, "%s\\file-%02d", backup, i);
            if (!SetupRestore(copy, target)) {
                complete = 0;
                continue;
            }
            /* The file is back as it was, and update-backup keeps its copy:
             * the .previous made on the way is only a duplicate. */
            const char *extra = setup_backup_made(i);
            if (extra[0] && SetupSameBytes(copy, extra)) DeleteFileA(extra);
        } else if (GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES && !DeleteFileA(target)) {
            complete = 0;
        }
    }
    for (int f = 0; f < 2; f++) {
        if (folder_was[f]) continue;
        snprintf(path, sizeof path, "%s\\%s", dir, apszSetupFolders[f]);
        RemoveDirectoryA(path); /* only when empty: anything else in it stays */
    }
    setup_message(nullptr,
                  complete ? error
                           : "Update failed and rollback was incomplete. Restore files from update-backup before "
                             "reopening the game.",
                  szSetupUpdateCaption, MB_OK | MB_ICONERROR);
    return 1;
}
