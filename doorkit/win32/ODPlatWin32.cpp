/* ODPlatWin32.cpp -- the Windows half of the platform layer: CRT threads,
 * critical sections, Win32 semaphores and FindFirstFile scans. */
#include "../ODPlat.h"
#include "../ODUtil.h"

#include <windows.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wincrypt.h>

uint64_t ODPlatRealTickMs(void)
{
    return (uint64_t)GetTickCount64();
}

int64_t ODPlatRealWallSeconds(void)
{
    return (int64_t)time(nullptr);
}

void ODPlatRealSleepMs(uint32_t ms)
{
    Sleep(ms);
}

/* ---- threads ---- */

struct ODThread {
    HANDLE handle;
};

struct ODThreadStart {
    tODThreadFunc function;
    void *argument;
};

static unsigned __stdcall ODThreadTrampoline(void *raw)
{
    ODThreadStart start = *(ODThreadStart *)raw;
    free(raw);
    start.function(start.argument);
    return 0;
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
    uintptr_t h = _beginthreadex(nullptr, 0, ODThreadTrampoline, start, 0, nullptr);
    if (h == 0) {
        free(start);
        free(thread);
        return ODPLAT_FAIL;
    }
    thread->handle = (HANDLE)h;
    *handle = thread;
    return ODPLAT_OK;
}

void ODThreadWaitForExit(tODThreadHandle handle)
{
    if (!handle) return;
    WaitForSingleObject(handle->handle, INFINITE);
    CloseHandle(handle->handle);
    free(handle);
}

/* ---- mutexes ---- */

struct ODMutex {
    CRITICAL_SECTION section;
};

int ODMutexInitialize(tODMutex *mutex)
{
    ODMutex *m = (ODMutex *)malloc(sizeof *m);
    if (!m) return ODPLAT_NOMEM;
    InitializeCriticalSection(&m->section);
    *mutex = m;
    return ODPLAT_OK;
}

void ODMutexDestroy(tODMutex mutex)
{
    if (!mutex) return;
    DeleteCriticalSection(&mutex->section);
    free(mutex);
}

void ODMutexLock(tODMutex mutex)
{
    EnterCriticalSection(&mutex->section);
}

void ODMutexUnlock(tODMutex mutex)
{
    LeaveCriticalSection(&mutex->section);
}

/* ---- semaphores ---- */

struct ODSemaphore {
    HANDLE handle;
};

int ODSemaphoreAlloc(tODSemaphoreHandle *semaphore, int initial, int maximum)
{
    if (!semaphore || maximum < 1 || initial < 0 || initial > maximum) return ODPLAT_FAIL;
    ODSemaphore *s = (ODSemaphore *)malloc(sizeof *s);
    if (!s) return ODPLAT_FAIL;
    s->handle = CreateSemaphoreA(nullptr, initial, maximum, nullptr);
    if (!s->handle) {
        free(s);
        return ODPLAT_FAIL;
    }
    *semaphore = s;
    return ODPLAT_OK;
}

void ODSemaphoreFree(tODSemaphoreHandle semaphore)
{
    if (!semaphore) return;
    CloseHandle(semaphore->handle);
    free(semaphore);
}

void ODSemaphoreUp(tODSemaphoreHandle semaphore, int count)
{
    ReleaseSemaphore(semaphore->handle, count, nullptr);
}

int ODSemaphoreDown(tODSemaphoreHandle semaphore, uint32_t timeout_ms)
{
    if (ODPlatClockIsVirtual() && timeout_ms != 0 && timeout_ms != OD_WAIT_FOREVER) {
        if (WaitForSingleObject(semaphore->handle, 0) == WAIT_OBJECT_0) return ODPLAT_OK;
        ODPlatClockAdvance(timeout_ms);
        return WaitForSingleObject(semaphore->handle, 0) == WAIT_OBJECT_0 ? ODPLAT_OK : ODPLAT_TIMEOUT;
    }
    DWORD wait = timeout_ms == OD_WAIT_FOREVER ? INFINITE : (DWORD)timeout_ms;
    return WaitForSingleObject(semaphore->handle, wait) == WAIT_OBJECT_0 ? ODPLAT_OK : ODPLAT_TIMEOUT;
}

int ODPlatGetWindowsSubsystem(void)
{
    /* Longer than MAX_PATH: a door directory deep in a BBS tree may be. */
    char path[2048];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return 0;
    FILE *f = fopen(path, "rb");
    if (!f) return 0;
    int result = 0;
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    if (fread(&dos, sizeof dos, 1, f) == 1 && dos.e_magic == IMAGE_DOS_SIGNATURE &&
        fseek(f, dos.e_lfanew, SEEK_SET) == 0 && fread(&nt, sizeof nt, 1, f) == 1 &&
        nt.Signature == IMAGE_NT_SIGNATURE &&
        nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        if (nt.OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI) result = 1;
        else if (nt.OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI) result = 2;
    }
    fclose(f);
    return result;
}

int ODPlatInit(void)
{
    return ODPLAT_OK;
}

void ODPlatRingBell(void)
{
    MessageBeep(0xFFFFFFFF);
}

/* ---- directory scans ---- */

struct ODDirScan {
    HANDLE           search;
    WIN32_FIND_DATAA data;
    uint16_t         wanted;
    int              finished;
};

static int ODDirMatches(const ODDirScan *scan)
{
    const char *name = scan->data.cFileName;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return 0;
    const DWORD counted = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
    return ((scan->data.dwFileAttributes & counted) & ~(DWORD)scan->wanted) == 0;
}

static void ODDirAdvance(ODDirScan *scan)
{
    for (;;) {
        if (!FindNextFileA(scan->search, &scan->data)) {
            scan->finished = 1;
            return;
        }
        if (ODDirMatches(scan)) return;
    }
}

int ODDirOpen(const char *pattern, uint16_t wanted_attributes, tODDirHandle *handle)
{
    if (!pattern || !handle) return ODPLAT_FAIL;
    ODDirScan *scan = (ODDirScan *)calloc(1, sizeof *scan);
    if (!scan) return ODPLAT_NOMEM;
    scan->wanted = wanted_attributes;
    scan->search = FindFirstFileA(pattern, &scan->data);
    if (scan->search == INVALID_HANDLE_VALUE) {
        free(scan);
        return ODPLAT_NOTFOUND;
    }
    if (!ODDirMatches(scan)) ODDirAdvance(scan);
    if (scan->finished) {
        FindClose(scan->search);
        free(scan);
        return ODPLAT_NOTFOUND;
    }
    *handle = scan;
    return ODPLAT_OK;
}

/* File time to seconds since 1970 through the file's DOS date and time in
 * local time, as the kit's callers expect (two-second resolution). */
static int64_t ODDirEntryTime(const FILETIME *written)
{
    FILETIME local;
    WORD dos_date = 0, dos_time = 0;
    if (!FileTimeToLocalFileTime(written, &local) || !FileTimeToDosDateTime(&local, &dos_date, &dos_time))
        return 0;
    struct tm when = {};
    when.tm_year = ((dos_date >> 9) & 0x7F) + 80;
    when.tm_mon = ((dos_date >> 5) & 0x0F) - 1;
    when.tm_mday = dos_date & 0x1F;
    when.tm_hour = (dos_time >> 11) & 0x1F;
    when.tm_min = (dos_time >> 5) & 0x3F;
    when.tm_sec = (dos_time & 0x1F) * 2;
    when.tm_isdst = -1;
    return (int64_t)mktime(&when);
}

int ODDirRead(tODDirHandle scan, tODDirEntry *entry)
{
    if (!scan || !entry) return ODPLAT_FAIL;
    if (scan->finished) return ODPLAT_NOMORE;
    const char *name = scan->data.cAlternateFileName[0] ? scan->data.cAlternateFileName : scan->data.cFileName;
    ODStringCopy(entry->szFileName, name, sizeof entry->szFileName);
    entry->wAttributes = (uint16_t)(scan->data.dwFileAttributes & 0x37);
    entry->dwFileSize = scan->data.nFileSizeLow;
    entry->LastWriteTime = ODDirEntryTime(&scan->data.ftLastWriteTime);
    ODDirAdvance(scan);
    return ODPLAT_OK;
}

void ODDirClose(tODDirHandle scan)
{
    if (!scan) return;
    FindClose(scan->search);
    free(scan);
}

int ODDirChangeCurrent(const char *path)
{
    return path && SetCurrentDirectoryA(path) ? ODPLAT_OK : ODPLAT_FAIL;
}

int ODDirGetCurrent(char *out, size_t out_size)
{
    if (!out) return ODPLAT_FAIL;
    DWORD n = GetCurrentDirectoryA((DWORD)out_size, out);
    return n > 0 && n < out_size ? ODPLAT_OK : ODPLAT_FAIL;
}

int ODPlatProgramDirectory(char *out, size_t out_size)
{
    /* Longer than MAX_PATH: a door directory deep in a BBS tree may be. */
    char path[2048];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return ODPLAT_FAIL;
    char *slash = strrchr(path, '\\');
    if (!slash) return ODPLAT_FAIL;
    *slash = '\0';
    if (strlen(path) + 1 > out_size) return ODPLAT_NOFIT;
    strcpy(out, path);
    return ODPLAT_OK;
}

int ODPlatRandomBytes(void *buffer, size_t size)
{
    HCRYPTPROV provider;
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return 0;
    BOOL ok = CryptGenRandom(provider, (DWORD)size, (BYTE *)buffer);
    CryptReleaseContext(provider, 0);
    return ok ? 1 : 0;
}
