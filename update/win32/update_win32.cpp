/* update_win32.cpp -- GRIMBY-UPDATE: fetches the signed release manifest
 * from the score hub, and after the sysop agrees downloads the installer,
 * checks it, keeps callers out with the maintenance marker and runs the
 * installer's update mode. Single-threaded; one run, one decision. */
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <winhttp.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "update.h"

static const char szUpdateMarkerName[] = ".grimby-maintenance";

/* The hub this build trusts for its releases. Test builds may point the
 * program at the hub a test started on an ephemeral port; release builds
 * carry no such switch. */
static const char *UpdateHubHost(void)
{
#ifdef GRIMBY_UPDATE_TEST_HOST
    static char host[256];
    DWORD n = GetEnvironmentVariableA("GRIMBY_UPDATE_TEST_HOST", host, sizeof host);
    if (n > 0 && n < sizeof host) return host;
#endif
    return GRIMBY_HUB_HOST;
}

/* Set by Ctrl+C, Ctrl+Break or the console closing: the run stops at its
 * next safe point and removes what it made. */
static volatile LONG lUpdateCancelled;
/* Signalled once the run has removed what it made: the console's close
 * waits for it (Windows allows a few seconds) before the process ends. */
static HANDLE hUpdateCleanedUp;

static int UpdateCancelled(void)
{
    return InterlockedCompareExchange(&lUpdateCancelled, 0, 0) != 0;
}

/* Ctrl+C and Ctrl+Break never end the program where it stands: once the
 * work directory or the marker exists that would leave them behind, and a
 * marker left behind keeps every caller out. Before the marker they cancel
 * the run; while the installer runs they are ignored. */
static BOOL WINAPI UpdateBreak(DWORD event)
{
    InterlockedExchange(&lUpdateCancelled, 1);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && hUpdateCleanedUp)
        WaitForSingleObject(hUpdateCleanedUp, 4000);
    return TRUE;
}

/* Each read has its own time-out, but a server that drips a byte inside
 * it would hold the sysop for ever: the whole download gets a minute plus
 * what the largest acceptable body takes at 16 KiB/s. */
static ULONGLONG UpdateDeadlineMs(unsigned long limit)
{
#ifdef GRIMBY_UPDATE_TEST_HOST
    char text[32];
    DWORD n = GetEnvironmentVariableA("GRIMBY_UPDATE_TEST_DEADLINE_MS", text, sizeof text);
    if (n > 0 && n < sizeof text) return strtoull(text, nullptr, 10);
#endif
    return 60000 + (ULONGLONG)limit * 1000 / 16384;
}

int fetch(const char *url, const char *path, unsigned long limit)
{
    static BYTE chunk[32768];
    WCHAR wide[2049], host[256], object[1536];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, url, -1, wide, 2049) == 0) return 0;
    URL_COMPONENTS parts;
    memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = object;
    parts.dwUrlPathLength = 1536;
    parts.dwExtraInfoLength = 1; /* only its length is wanted */
    if (!WinHttpCrackUrl(wide, 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS ||
        parts.dwExtraInfoLength != 0)
        return 0;

    ULONGLONG deadline = GetTickCount64() + UpdateDeadlineMs(limit);
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD status = 0, error = 0, status_size = sizeof status;
    unsigned long long total = 0;
    int ok = 0;
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, no_redirects = WINHTTP_DISABLE_REDIRECTS;
    /* The receive time-out does not cover the wait for the reply's headers,
     * which has its own (90 s on Windows, none under Wine): a hub that takes
     * the request and never answers would hold the sysop for ever. */
    DWORD headers_timeout = 30000;

    session = WinHttpOpen(L"Q-Orb Game Updater/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session || !WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols) ||
        !WinHttpSetTimeouts(session, 8000, 8000, 15000, 30000))
        goto done;
    connection = WinHttpConnect(session, host, parts.nPort, 0);
    if (!connection) goto done;
    request = WinHttpOpenRequest(connection, L"GET", object, nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!request ||
        !WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects) ||
        !WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers_timeout, sizeof headers_timeout) ||
        !WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr))
        goto done;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
        status = 0;
        goto done;
    }
    if (status != 200) goto done;

    file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) goto done;
    for (;;) {
        DWORD got = 0, written = 0;
        if (UpdateCancelled()) goto done;
        if (GetTickCount64() > deadline) {
            SetLastError(ERROR_TIMEOUT);
            goto done;
        }
        if (!WinHttpReadData(request, chunk, sizeof chunk, &got)) goto done;
        if (got == 0) break;
        if (total + got > limit) {
            SetLastError(0);
            goto done;
        }
        if (!WriteFile(file, chunk, got, &written, nullptr) || written != got) goto done;
        total += got;
    }
    ok = CloseHandle(file) ? 1 : 0;
    file = INVALID_HANDLE_VALUE;

done:
    error = ok ? 0 : GetLastError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    if (!ok) {
        if (UpdateCancelled()) printf("Cancelled.\n");
        else printf("Download failed (HTTP %lu, Windows %lu).\n", (unsigned long)status, (unsigned long)error);
        DeleteFileA(path);
    }
    return ok;
}

/* One line from the console, at most 15 characters kept; the rest of a
 * longer line is read away so it cannot answer the next question. */
static void UpdateReadLine(char line[16])
{
    line[0] = '\0';
    if (!fgets(line, 16, stdin)) return;
    if (!strchr(line, '\n')) {
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
    }
}

static int UpdateGameRunning(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    int found = 1; /* a snapshot that cannot be read proves nothing */
    if (Process32First(snapshot, &entry)) {
        found = 0;
        do {
            const char *name = strrchr(entry.szExeFile, '\\');
            name = name ? name + 1 : entry.szExeFile;
            if (_stricmp(name, "GRIMBY.exe") == 0) found = 1;
        } while (!found && Process32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return found;
}

/* Another process may hold a file open without delete sharing for a
 * moment (a caller's start-up peeking at the marker, a virus scanner
 * reading the fresh download); a delete that gave up at once would leave
 * the marker behind and keep every caller out. A directory stays "not
 * empty" until such a file is really gone. */
static int UpdateRemove(const char *path, int directory)
{
    for (int attempt = 0;; attempt++) {
        if (directory ? RemoveDirectoryA(path) : DeleteFileA(path)) return 1;
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return 1;
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_DIR_NOT_EMPTY) ||
            attempt == 50) {
            SetLastError(error);
            return 0;
        }
        Sleep(100);
    }
}

/* A work directory in the user's temporary folder (a name from
 * GetTempFileNameA, its file replaced by a directory) and the files it
 * may hold. */
struct UpdateWork {
    char dir[MAX_PATH], manifest[MAX_PATH], signature[MAX_PATH], package[MAX_PATH];
    int made;
};

/* Owner-only, inheriting nothing from the temporary folder: nobody else may
 * replace the package or put a DLL beside it for the installer to load. */
static int UpdateOwnerOnly(PSECURITY_DESCRIPTOR *descriptor)
{
    HANDLE token;
    DWORD user[128], size = 0; /* a TOKEN_USER, DWORD-aligned */
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
    BOOL got = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    char *sid = nullptr, sddl[256];
    if (!got || !ConvertSidToStringSidA(((TOKEN_USER *)user)->User.Sid, &sid)) return 0;
    int fits = snprintf(sddl, sizeof sddl, "D:P(A;OICI;FA;;;%s)", sid) < (int)sizeof sddl;
    LocalFree(sid);
    return fits && ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, descriptor, nullptr);
}

static int UpdateMakeWork(UpdateWork *work)
{
    char temp[MAX_PATH + 1];
    work->made = 0;
    DWORD temp_length = GetTempPathA(sizeof temp, temp);
    if (temp_length == 0 || temp_length > MAX_PATH || !GetTempFileNameA(temp, "GUP", 0, work->dir)) return 0;
    SECURITY_ATTRIBUTES owner_only = {sizeof owner_only, nullptr, FALSE};
    if (!UpdateOwnerOnly(&owner_only.lpSecurityDescriptor)) {
        DeleteFileA(work->dir);
        return 0;
    }
    BOOL made = DeleteFileA(work->dir) && CreateDirectoryA(work->dir, &owner_only);
    LocalFree(owner_only.lpSecurityDescriptor);
    if (!made) return 0;
    work->made = 1;
    if (snprintf(work->manifest, MAX_PATH, "%s\\release.txt", work->dir) >= MAX_PATH ||
        snprintf(work->signature, MAX_PATH, "%s\\release.sig", work->dir) >= MAX_PATH ||
        snprintf(work->package, MAX_PATH, "%s\\update.exe", work->dir) >= MAX_PATH) {
        RemoveDirectoryA(work->dir);
        work->made = 0;
        return 0;
    }
    return 1;
}

static void UpdateRemoveWork(UpdateWork *work)
{
    if (!work->made) return;
    UpdateRemove(work->package, 0);
    UpdateRemove(work->manifest, 0);
    UpdateRemove(work->signature, 0);
    if (!UpdateRemove(work->dir, 1))
        printf("Could not remove %s (Windows %lu); delete it by hand.\n", work->dir, (unsigned long)GetLastError());
    work->made = 0;
}

/* The package is opened once, hashed through that handle and kept open
 * until its process has started: without write or delete sharing nobody
 * can change, replace or rename it in between, so what starts is what was
 * checked. A read-only open still lets the system load it. */
static FILE *UpdateHoldPackage(const char *path, unsigned long size, const char *sha256)
{
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle((intptr_t)handle, _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE *file = _fdopen(fd, "rb");
    if (!file) {
        _close(fd);
        return nullptr;
    }
    if (!update_package_stream_ok(file, size, sha256)) {
        fclose(file);
        return nullptr;
    }
    return file;
}

#ifdef GRIMBY_UPDATE_TEST_HOST
/* Test builds: a test acts between the package's check and its start. The
 * file GRIMBY_UPDATE_TEST_PAUSE names appears holding the package's path;
 * the run goes on once the test deletes it. */
static void UpdateTestPause(const char *package)
{
    char flag[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("GRIMBY_UPDATE_TEST_PAUSE", flag, sizeof flag);
    if (n == 0 || n >= sizeof flag) return;
    FILE *file = fopen(flag, "wb");
    if (!file) return;
    fputs(package, file);
    fclose(file);
    for (int waited = 0; waited < 60000 && GetFileAttributesA(flag) != INVALID_FILE_ATTRIBUTES; waited += 20)
        Sleep(20);
}
#endif

/* Starts the installer's update mode and waits for it: 1 when it exits 0. */
static int UpdateRunInstaller(const char *package, const char *directory)
{
    char line[2 * MAX_PATH + 32];
    snprintf(line, sizeof line, "\"%s\" --update \"%s\"", package, directory);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(package, line, nullptr, nullptr, FALSE, 0, nullptr, directory, &startup, &process))
        return 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code != 0) printf("Installer failed; see its error message.\n");
    return code == 0;
}

int main(int argc, char **argv)
{
    static unsigned char manifest_bytes[UPDATE_MANIFEST_LIMIT];
    static unsigned char signature[UPDATE_SIGNATURE_LIMIT];
    static update_manifest manifest;
    int check = argc == 2 && strcmp(argv[1], "--check") == 0;
    char directory[MAX_PATH + 1], installed[64] = "1.6.0";

    DWORD n = GetModuleFileNameA(nullptr, directory, sizeof directory);
    if (n < 1 || n > 259) return 1;
    char *slash = strrchr(directory, '\\');
    if (!slash) return 1;
    *slash = '\0';
    if (!SetCurrentDirectoryA(directory)) return 1;

    if (GetFileAttributesA("release.version") != INVALID_FILE_ATTRIBUTES ||
        GetLastError() != ERROR_FILE_NOT_FOUND) {
        FILE *file = fopen("release.version", "r");
        if (!file || !fgets(installed, sizeof installed, file)) {
            if (file) fclose(file);
            return 1;
        }
        fclose(file);
        installed[strcspn(installed, "\r\n")] = '\0';
    }

    char marker[MAX_PATH];
    UpdateWork work;
    if (strlen(directory) > 220) return 1;
    snprintf(marker, sizeof marker, "%s\\%s", directory, szUpdateMarkerName);
    hUpdateCleanedUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(UpdateBreak, TRUE);
    if (!UpdateMakeWork(&work)) return 1;

    const char *host = UpdateHubHost();
    char url[512];
    int failed = 1, marker_made = 0;
    FILE *held = nullptr; /* the checked package, open until it has run */
    printf("GRIMBY %s - checking %s updates...\n", installed, UPDATE_PLATFORM);
    fflush(stdout);

    snprintf(url, sizeof url, "https://%s/updates/grimby/%s.txt", host, UPDATE_PLATFORM);
    if (!fetch(url, work.manifest, UPDATE_MANIFEST_LIMIT)) goto end;
    snprintf(url, sizeof url, "https://%s/updates/grimby/%s.sig", host, UPDATE_PLATFORM);
    if (!fetch(url, work.signature, UPDATE_SIGNATURE_LIMIT)) goto end;
    {
        size_t manifest_length = readfile(work.manifest, manifest_bytes, sizeof manifest_bytes);
        size_t signature_length = readfile(work.signature, signature, sizeof signature);
        /* Read: the question below may wait for ever, and a console closed
         * or a process ended there must leave nothing in the temporary
         * folder. The package gets a work directory of its own. */
        UpdateRemoveWork(&work);
        int verdict = update_accept(update_public_der, sizeof update_public_der, manifest_bytes, manifest_length,
                                    signature, signature_length, host, &manifest, nullptr);
        if (verdict == 1) printf("Release signature rejected. Nothing installed.\n");
        if (verdict != 0) goto end;
    }
    {
        unsigned have[3];
        if (!version(installed, have) || !update_version_newer(manifest.version_parts, have)) {
            printf("Up to date.\n");
            failed = 0;
            goto end;
        }
    }
    printf("Available: %s\n%s\n", manifest.version, manifest.notes);
    if (check) {
        failed = 0;
        goto end;
    }
    {
        char answer[16];
        printf("Download and install this update? Y/N [N]: ");
        fflush(stdout);
        UpdateReadLine(answer);
        if ((answer[0] != 'Y' && answer[0] != 'y') || UpdateCancelled()) {
            printf("Cancelled.\n");
            failed = 0;
            goto end;
        }
    }
    if (!UpdateMakeWork(&work)) goto end;
    if (!fetch(manifest.url, work.package, manifest.size)) goto end;
    held = UpdateHoldPackage(work.package, manifest.size, manifest.sha256);
    if (!held) {
        printf("Download hash / size mismatch.\n");
        goto end;
    }
    if (UpdateCancelled()) {
        printf("Cancelled.\n");
        goto end;
    }
    {
        HANDLE made = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (made == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
                printf("Another update or maintenance operation is active.\n");
            goto end;
        }
        /* The game's gate opens the marker for reading: a handle kept open
         * without sharing would make it look absent and admit callers. */
        CloseHandle(made);
        marker_made = 1;
    }
    if (UpdateGameRunning()) {
        printf("A GRIMBY session is active. Nothing replaced; retry when callers finish.\n");
        goto end;
    }
    fflush(stdout);
#ifdef GRIMBY_UPDATE_TEST_HOST
    UpdateTestPause(work.package);
#endif
    if (UpdateRunInstaller(work.package, directory)) {
        printf("Update to %s complete.\n", manifest.version);
        failed = 0;
    }

end:
    if (held) fclose(held);
    if (marker_made && !UpdateRemove(marker, 0))
        printf("Could not remove %s (Windows %lu); callers are kept out until it is deleted.\n", marker,
               (unsigned long)GetLastError());
    UpdateRemoveWork(&work);
    if (hUpdateCleanedUp) SetEvent(hUpdateCleanedUp);
    if (failed) printf("Update not installed.\n");
    if (!check) {
        char line[16];
        printf("Press Enter to close.\n");
        fflush(stdout);
        UpdateReadLine(line);
    }
    return failed ? 1 : 0;
}
