/* workers_win32.cpp -- the workers' Windows half: no standard input, a
 * watchdog thread that ends a stuck run, the tick clock, and the boards'
 * GET over WinHTTP with the chat transport's rules (HTTPS and TLS 1.2
 * only, no redirects, 2 s time-outs). */
#include "workers.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <winhttp.h>

static DWORD WINAPI wk_watchdog(void *argument)
{
    Sleep((DWORD)(uintptr_t)argument);
    fputs("The run took longer than its time limit and was ended.\n", stderr);
    fflush(stderr);
    ExitProcess(1);
    return 0;
}

void wk_os_start(uint32_t ms)
{
    freopen("NUL", "rb", stdin);
    HANDLE thread = CreateThread(nullptr, 0, wk_watchdog, (void *)(uintptr_t)ms, 0, nullptr);
    if (thread) CloseHandle(thread);
}

uint64_t wk_os_ms(void)
{
    return GetTickCount64();
}

void wk_os_sleep(uint32_t ms)
{
    Sleep(ms);
}

unsigned long wk_os_pid(void)
{
    return (unsigned long)GetCurrentProcessId();
}

void wk_os_die(void)
{
    TerminateProcess(GetCurrentProcess(), 9);
}

/* A header of the reply as narrow text; empty when absent. */
static void wk_query_header(HINTERNET request, DWORD which, char *out, size_t cap)
{
    if (!out || !cap) return;
    out[0] = 0;
    wchar_t wide[256];
    DWORD size = sizeof wide;
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, wide, &size, WINHTTP_NO_HEADER_INDEX))
        return;
    if (!WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, (int)cap, nullptr, nullptr)) out[0] = 0;
}

int wk_http_get(const char *url, const char *ca_file, const char *etag, char *reply, size_t cap, size_t *size,
                long *status, char *content_type, size_t type_cap, char *etag_out, size_t etag_cap)
{
    *status = 0;
    *size = 0;
    if (content_type && type_cap) content_type[0] = 0;
    if (etag_out && etag_cap) etag_out[0] = 0;
    if (!url || cap < 1) return 0;
    reply[0] = 0;
    /* As the lobby transport here: a CA of the hub's own is not yet
     * trusted per request, so a request that needs one is not made. */
    if (ca_file && ca_file[0]) return 0;
    wchar_t wide_url[2049];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, url, -1, wide_url, 2049) == 0) return 0;
    wchar_t host[256], path[1024];
    URL_COMPONENTS parts;
    memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    if (!WinHttpCrackUrl(wide_url, 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS) return 0;
    wchar_t headers[256] = L"";
    if (etag && etag[0] && _snwprintf(headers, 256, L"If-None-Match: %hs\r\n", etag) < 0) return 0;

    int ok = 0;
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, no_redirects = WINHTTP_DISABLE_REDIRECTS;
    DWORD code = 0, code_size = sizeof code, response_wait = 2000;
    size_t used = 0;
    session = WinHttpOpen(L"GRIMBY-SYNC/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) goto done;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) goto done;
    if (!WinHttpSetTimeouts(session, 2000, 2000, 2000, 2000)) goto done;
    connection = WinHttpConnect(session, host, parts.nPort, 0);
    if (!connection) goto done;
    request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!request) goto done;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects))
        goto done;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_wait, sizeof response_wait))
        goto done;
    if (!WinHttpSendRequest(request, headers[0] ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                            headers[0] ? (DWORD)-1L : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        goto done;
    if (!WinHttpReceiveResponse(request, nullptr)) goto done;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &code_size, WINHTTP_NO_HEADER_INDEX))
        goto done;
    wk_query_header(request, WINHTTP_QUERY_CONTENT_TYPE, content_type, type_cap);
    wk_query_header(request, WINHTTP_QUERY_ETAG, etag_out, etag_cap);
    for (;;) {
        DWORD available = 0, read = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) goto done;
        if (available == 0) break;
        if (available >= cap - used) goto done;
        if (!WinHttpReadData(request, reply + used, available, &read) || read == 0) goto done;
        used += read;
    }
    reply[used] = 0;
    *size = used;
    *status = (long)code;
    ok = 1;
done:
    if (!ok) reply[0] = 0;
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    return ok;
}
