/* setup_engine.cpp -- puts the embedded release in place. A file on disk
 * changes only by a complete temporary file renamed over it, so every
 * installed file is always the old one or the new one, whole. */
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "setup.h"

#ifdef GRIMBY_SETUP_TEST_HOOKS
int (*setup_message_hook)(const char *text, const char *caption, unsigned type);
int (*setup_before_install_hook)(const char *dir, int index, char *error);
#endif

/* The backup each entry got in this process, so a rolled-back update can
 * take away the copies it made of files it then restored. */
static char aszSetupBackup[SETUP_FILE_COUNT][MAX_PATH + 1];

int setup_message(void *owner, const char *text, const char *caption, unsigned type)
{
#ifdef GRIMBY_SETUP_TEST_HOOKS
    if (setup_message_hook) return setup_message_hook(text, caption, type);
#endif
    return MessageBoxA((HWND)owner, text, caption, type);
}

static int SetupFail(char *error, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(error, SETUP_ERROR_SIZE, format, args);
    va_end(args);
    return 0;
}

const char *setup_backup_made(int index)
{
    return index >= 0 && index < SETUP_FILE_COUNT ? aszSetupBackup[index] : "";
}

/* Creates one directory; an existing directory counts, an existing file of
 * that name does not (it would only fail later, less clearly). */
static int SetupMakeDir(const char *path)
{
    if (CreateDirectoryA(path, nullptr)) return 1;
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) return 0;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 1;
    SetLastError(ERROR_DIRECTORY);
    return 0;
}

int ensure_dir(const char *path)
{
    size_t length = strlen(path);
    if (length == 0 || length > SETUP_PATH_MAX) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    char prefix[SETUP_PATH_MAX + 1];
    memcpy(prefix, path, length + 1);
    /* From the fourth character on: "C:\" itself is never created. */
    for (size_t at = 3; at < length; at++) {
        if (path[at] != '\\' && path[at] != '/') continue;
        prefix[at] = '\0';
        int made = SetupMakeDir(prefix);
        prefix[at] = path[at];
        if (!made) return 0;
    }
    return SetupMakeDir(path);
}

/* 1 when the file at path holds exactly these bytes; 0 when it differs or
 * cannot be read; -1 when another process holds it without sharing. */
static int SetupSameFile(const char *path, const unsigned char *bytes, DWORD size)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION ? -1 : 0;
    int same = 0;
    LARGE_INTEGER length;
    if (GetFileSizeEx(file, &length) && length.QuadPart == (LONGLONG)size) {
        static unsigned char chunk[4096];
        DWORD at = 0;
        same = 1;
        while (same && at < size) {
            DWORD want = size - at < sizeof chunk ? size - at : (DWORD)sizeof chunk, got = 0;
            if (!ReadFile(file, chunk, want, &got, nullptr) || got != want || memcmp(chunk, bytes + at, want) != 0)
                same = 0;
            at += want;
        }
    }
    CloseHandle(file);
    return same;
}

/* Copies target to the first free backup name. A name taken by anything,
 * a directory too, is passed over rather than failing the file. */
static int SetupBackUp(const char *target, const char *relative, int index, char *error)
{
    char name[MAX_PATH + 16];
    for (unsigned n = 0; n <= 999; n++) {
        int length = n == 0 ? snprintf(name, sizeof name, "%s.previous", target)
                            : snprintf(name, sizeof name, "%s.previous.%03u", target, n);
        if (length < 0 || length > SETUP_PATH_MAX) return SetupFail(error, "Backup path too long for %s", relative);
        if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) continue;
        if (CopyFileA(target, name, TRUE)) {
            memcpy(aszSetupBackup[index], name, (size_t)length + 1);
            return 1;
        }
        DWORD code = GetLastError();
        if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
        if (code == ERROR_SHARING_VIOLATION)
            return SetupFail(error, "Cannot install %s (error %lu). Close running game first.", relative, code);
        return SetupFail(error, "Cannot back up %s (error %lu)", relative, code);
    }
    return SetupFail(error, "Too many existing backups for %s", relative);
}

int install_file(const char *dir, int index, char *error)
{
    error[0] = '\0';
    if (index < 0 || index >= SETUP_FILE_COUNT) return SetupFail(error, "Embedded file missing: %d", index);
    const setup_file *entry = &setup_files[index];
    aszSetupBackup[index][0] = '\0';
    char full[SETUP_PATH_MAX + 2];
    int length = snprintf(full, sizeof full, "%s\\%s", dir, entry->path);
    if (length < 0 || length > SETUP_PATH_MAX)
        return SetupFail(error, "Installation path too long for %s", entry->path);
    DWORD existing = GetFileAttributesA(full);
    if (entry->preserve && existing != INVALID_FILE_ATTRIBUTES) return 1;

    if (!ensure_dir(dir)) return SetupFail(error, "Cannot create installation directory (error %lu)", GetLastError());
    char *slash = strrchr(full, '\\');
    if (!slash) return SetupFail(error, "Invalid installation path");
    *slash = '\0';
    int parent_made = ensure_dir(full);
    DWORD parent_error = GetLastError();
    char parent[SETUP_PATH_MAX + 2];
    memcpy(parent, full, (size_t)(slash - full) + 1);
    *slash = '\\';
    if (!parent_made) return SetupFail(error, "Cannot create directory for %s (error %lu)", entry->path, parent_error);

    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(SETUP_RESOURCE_BASE + index), MAKEINTRESOURCEA(10));
    if (!found) return SetupFail(error, "Embedded file missing: %s", entry->path);
    DWORD size = SizeofResource(nullptr, found);
    HGLOBAL loaded = LoadResource(nullptr, found);
    const unsigned char *bytes = loaded ? (const unsigned char *)LockResource(loaded) : nullptr;
    if (!bytes && size > 0) return SetupFail(error, "Cannot read embedded file: %s", entry->path);

    int same = existing == INVALID_FILE_ATTRIBUTES ? 0 : SetupSameFile(full, bytes, size);
    if (same == 1) return 1;
    /* Held without sharing, as a running game may hold itself: it could be
     * neither compared nor backed up nor replaced. */
    if (same < 0)
        return SetupFail(error, "Cannot install %s (error %lu). Close running game first.", entry->path,
                         (unsigned long)ERROR_SHARING_VIOLATION);

    char temp[MAX_PATH + 1];
    if (!GetTempFileNameA(parent, "GRB", 0, temp))
        return SetupFail(error, "Cannot create temporary file (error %lu)", GetLastError());
    HANDLE file = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        DeleteFileA(temp);
        return SetupFail(error, "Cannot open temporary file (error %lu)", code);
    }
    DWORD written = 0;
    if (size > 0 && (!WriteFile(file, bytes, size, &written, nullptr) || written != size)) {
        DWORD code = GetLastError();
        if (code == ERROR_SUCCESS) code = ERROR_HANDLE_DISK_FULL;
        CloseHandle(file);
        DeleteFileA(temp);
        return SetupFail(error, "Cannot write %s (error %lu)", entry->path, code);
    }
    /* On the disk before the rename, or a power cut could leave the new
     * name on an empty file. */
    if (!FlushFileBuffers(file)) {
        DWORD code = GetLastError();
        CloseHandle(file);
        DeleteFileA(temp);
        return SetupFail(error, "Cannot write %s (error %lu)", entry->path, code);
    }
    if (!CloseHandle(file)) {
        DWORD code = GetLastError();
        DeleteFileA(temp);
        return SetupFail(error, "Cannot close %s (error %lu)", entry->path, code);
    }

    if (!entry->preserve && existing != INVALID_FILE_ATTRIBUTES && !SetupBackUp(full, entry->path, index, error)) {
        DeleteFileA(temp);
        return 0;
    }
    if (!MoveFileExA(temp, full, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD code = GetLastError();
        DeleteFileA(temp);
        /* The file stayed as it was, so the copy just made is no backup of
         * anything; kept, every retry would use up another backup name. */
        if (aszSetupBackup[index][0]) {
            DeleteFileA(aszSetupBackup[index]);
            aszSetupBackup[index][0] = '\0';
        }
        return SetupFail(error, "Cannot install %s (error %lu). Close running game first.", entry->path, code);
    }
    return 1;
}

int setup_config_is_default(const char *dir)
{
    char path[SETUP_PATH_MAX + 2];
    int length = snprintf(path, sizeof path, "%s\\%s", dir, setup_files[1].path);
    if (length < 0 || length > SETUP_PATH_MAX) return 0;
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(SETUP_RESOURCE_BASE + 1), MAKEINTRESOURCEA(10));
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const unsigned char *bytes = loaded ? (const unsigned char *)LockResource(loaded) : nullptr;
    if (!bytes) return 0;
    return SetupSameFile(path, bytes, SizeofResource(nullptr, found)) == 1;
}
