/* qorb_chat_win32.cpp -- the chat client's Windows half: the lobby request
 * over WinHTTP (HTTPS and TLS 1.2 only, 2 s time-outs, no redirects),
 * random ids from CryptoAPI, the worker on a CRT thread with a critical
 * section as guard, and the settings files through the Win32 file calls. */
#include "qorb_chat_int.h"
#include "qorb_hub.h"

#include <windows.h>
#include <io.h>
#include <process.h>
#include <stdio.h>
#include <string.h>
#include <wincrypt.h>
#include <winhttp.h>

/* ---- the hub's own CA ----
 * WinHTTP trusts only the user's store. For a hub with a CA of its own,
 * WinHTTP is told to let an unknown root pass (names, dates and signatures
 * it still checks), and the chain is then checked here against the CA file
 * alone, after the handshake and before the body is sent; a chain that does
 * not lead to one of its certificates ends the request. */

/* The certificates of a PEM file in a memory store; null when there is
 * none or the file cannot be read. */
static HCERTSTORE pn_load_ca(const char *path)
{
    static char text[QC_FILE_LIMIT * 4];
    size_t size;
    if (qc_read_file(path, text, sizeof text, &size) != 1) return nullptr;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store) return nullptr;
    int count = 0;
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----", kEnd[] = "-----END CERTIFICATE-----";
    for (const char *at = strstr(text, kBegin); at; at = strstr(at, kBegin)) {
        const char *end = strstr(at, kEnd);
        if (!end) break;
        end += sizeof kEnd - 1;
        static BYTE der[16384];
        DWORD der_size = sizeof der;
        if (CryptStringToBinaryA(at, (DWORD)(end - at), CRYPT_STRING_BASE64HEADER, der, &der_size, nullptr,
                                 nullptr) &&
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, der_size, CERT_STORE_ADD_ALWAYS,
                                             nullptr))
            count++;
        at = end;
    }
    if (!count) {
        CertCloseStore(store, 0);
        return nullptr;
    }
    return store;
}

/* 1 when the server's chain leads, without a fault on the way, to a
 * certificate of the CA store. The system's roots play no part: a chain
 * that ends at one of them and not at the CA is refused. */
static int pn_chain_trusted(HINTERNET request, HCERTSTORE ca)
{
    PCCERT_CONTEXT server = nullptr;
    DWORD size = sizeof server;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size) || !server) return 0;
    HCERTSTORE pool = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    int trusted = 0;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    CERT_CHAIN_PARA para;
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    if (pool && CertAddStoreToCollection(pool, ca, 0, 0) &&
        (!server->hCertStore || CertAddStoreToCollection(pool, server->hCertStore, 0, 0)) &&
        CertGetCertificateChain(nullptr, server, nullptr, pool, &para, 0, nullptr, &chain) && chain &&
        chain->cChain > 0) {
        /* What an anchor of the sysop's choosing may leave open: it is not
         * in the system's roots, and nobody publishes its revocations. */
        const DWORD allowed = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                              CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_IS_PARTIAL_CHAIN;
        PCERT_SIMPLE_CHAIN simple = chain->rgpChain[0];
        for (DWORD i = 0; i < simple->cElement; i++) {
            PCERT_CHAIN_ELEMENT element = simple->rgpElement[i];
            if (element->TrustStatus.dwErrorStatus & ~allowed) break;
            PCCERT_CONTEXT anchor = nullptr;
            while ((anchor = CertEnumCertificatesInStore(ca, anchor)) != nullptr)
                if (CertCompareCertificate(X509_ASN_ENCODING, anchor->pCertInfo, element->pCertContext->pCertInfo))
                    break;
            if (anchor) {
                CertFreeCertificateContext(anchor);
                trusted = 1;
                break;
            }
        }
    }
    if (chain) CertFreeCertificateChain(chain);
    if (pool) CertCloseStore(pool, 0);
    CertFreeCertificateContext(server);
    return trusted;
}

/* What a failed WinHTTP call means to a sysop; sent: the request went out. */
static void pn_fail(DWORD error, int sent)
{
    int kind;
    switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
        kind = PN_UNREACHABLE;
        break;
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        kind = PN_UNTRUSTED;
        break;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        kind = PN_TLS;
        break;
    case ERROR_WINHTTP_TIMEOUT:
        kind = sent ? PN_NO_REPLY : PN_UNREACHABLE;
        break;
    default:
        kind = PN_NO_REPLY;
    }
    char detail[64];
    snprintf(detail, sizeof detail, "WinHTTP error %lu", (unsigned long)error);
    pn_set_failure(kind, detail);
}

/* ---- the request ---- */

int pn_request(const char *url, const char *ca_file, const char *body, const char *signature,
               char *reply, size_t cap, long *status)
{
    pn_set_failure(PN_REFUSED, "");
    if (status) *status = 0;
    if (!url || !body || !reply || cap < 1 || !status) return 0;
    reply[0] = '\0';
    if (!qc_url_ok(url)) return 0;
    if (signature && strlen(signature) != 64) return 0;
    size_t body_length = strlen(body);
    if (body_length > 0x7FFFFFFF) return 0;

    static wchar_t wide_url[2049];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, url, -1, wide_url, 2049) == 0) return 0;

    wchar_t host[256], path[1024], query[512];
    URL_COMPONENTS parts;
    memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    parts.lpszExtraInfo = query;
    parts.dwExtraInfoLength = 512;
    if (!WinHttpCrackUrl(wide_url, 0, 0, &parts)) return 0;
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) return 0;
    wchar_t target[1535];
    if (wcslen(path) + wcslen(query) >= 1535) return 0;
    wcscpy(target, path);
    wcscat(target, query);

    wchar_t headers[256];
    int header_length =
        signature ? _snwprintf(headers, 256, L"Content-Type: application/json\r\nX-Q-Orb-Signature: %hs\r\n",
                               signature)
                  : _snwprintf(headers, 256, L"Content-Type: application/json\r\n");
    if (header_length < 0 || header_length >= 256) return 0;

    HCERTSTORE ca = nullptr;
    if (ca_file) {
        ca = pn_load_ca(ca_file);
        if (!ca) {
            pn_set_failure(PN_UNTRUSTED, "the CA file holds no readable certificate");
            return 0;
        }
    }
    DWORD own_root = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    int ok = 0, sent = 0;
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, no_redirects = WINHTTP_DISABLE_REDIRECTS;
    DWORD code = 0, code_size = sizeof code, response_wait = 2000;
    size_t used = 0;

    session = WinHttpOpen(L"Q-Orb Shared Lobby/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) goto done;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) goto done;
    if (!WinHttpSetTimeouts(session, 2000, 2000, 2000, 2000)) goto done;
    connection = WinHttpConnect(session, host, parts.nPort, 0);
    if (!connection) goto done;
    request = WinHttpOpenRequest(connection, L"POST", target, nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!request) goto done;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects))
        goto done;
    /* The wait for the reply's headers has a limit of its own (90 s by
     * default) that the receive time-out does not shorten: a hub that
     * accepts the request and then stalls would hold the worker that long. */
    if (!WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_wait, sizeof response_wait))
        goto done;
    if (ca) {
        /* A connection let through for this CA must not be handed to a
         * later request that trusts only the system's store. */
        DWORD no_reuse = WINHTTP_DISABLE_KEEP_ALIVE;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &own_root, sizeof own_root) ||
            !WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_reuse, sizeof no_reuse))
            goto done;
        /* The headers go with the handshake; the body waits for the check. */
        if (!WinHttpSendRequest(request, headers, (DWORD)header_length, WINHTTP_NO_REQUEST_DATA, 0,
                                (DWORD)body_length, 0))
            goto done;
        if (!pn_chain_trusted(request, ca)) {
            pn_set_failure(PN_UNTRUSTED, "the certificate does not lead to the hub's CA");
            goto done;
        }
        sent = 1;
        DWORD written = 0;
        if (body_length && (!WinHttpWriteData(request, body, (DWORD)body_length, &written) ||
                            written != (DWORD)body_length))
            goto done;
    } else {
        if (!WinHttpSendRequest(request, headers, (DWORD)header_length, (void *)body, (DWORD)body_length,
                                (DWORD)body_length, 0))
            goto done;
        sent = 1;
    }
    if (!WinHttpReceiveResponse(request, nullptr)) goto done;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &code_size, WINHTTP_NO_HEADER_INDEX))
        goto done;
    for (;;) {
        DWORD available = 0, read = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) goto done;
        if (available == 0) break;
        /* The reply must leave room for its NUL. */
        if (available >= cap - used) {
            pn_set_failure(PN_TOO_LARGE, "the reply is too large");
            goto done;
        }
        if (!WinHttpReadData(request, reply + used, available, &read) || read == 0) goto done;
        used += read;
    }
    reply[used] = '\0';
    *status = (long)code;
    ok = 1;
    pn_set_failure(PN_OK, "");
done:
    if (!ok) {
        reply[0] = '\0';
        DWORD error = GetLastError();
        /* A failure already named on the way keeps its own reason. */
        if (session && pn_failure(nullptr, 0) == PN_REFUSED) pn_fail(error, sent);
    }
    if (ca) CertCloseStore(ca, 0);
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    return ok;
}

int random_id(char out[QC_ID_SIZE])
{
    HCRYPTPROV provider;
    BYTE bytes[16];
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return 0;
    BOOL ok = CryptGenRandom(provider, sizeof bytes, bytes);
    CryptReleaseContext(provider, 0);
    if (!ok) return 0;
    for (int i = 0; i < 16; i++) snprintf(out + 2 * i, 3, "%02x", bytes[i]);
    return 1;
}

/* ---- the worker and guard ---- */

static CRITICAL_SECTION guard;
static HANDLE wake_event;   /* auto-reset: one wake ends one pause */
static HANDLE worker_handle;
static void (*worker_function)(void);

int qc_guard_init(void)
{
    wake_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!wake_event) return 0;
    InitializeCriticalSection(&guard);
    return 1;
}

void qc_guard_free(void)
{
    DeleteCriticalSection(&guard);
    if (wake_event) CloseHandle(wake_event);
    wake_event = nullptr;
}

void qc_lock(void)
{
    EnterCriticalSection(&guard);
}

void qc_unlock(void)
{
    LeaveCriticalSection(&guard);
}

static unsigned __stdcall worker_main(void *)
{
    worker_function();
    return 0;
}

int qc_thread_start(void (*function)(void))
{
    worker_function = function;
    uintptr_t handle = _beginthreadex(nullptr, 0, worker_main, nullptr, 0, nullptr);
    if (!handle) return 0;
    worker_handle = (HANDLE)handle;
    return 1;
}

int qc_thread_wait(uint32_t ms)
{
    if (!worker_handle) return 1;
    if (WaitForSingleObject(worker_handle, ms) != WAIT_OBJECT_0) {
        worker_handle = nullptr; /* the worker ends by itself */
        return 0;
    }
    CloseHandle(worker_handle);
    worker_handle = nullptr;
    return 1;
}

void qc_nap(uint32_t ms)
{
    if (wake_event)
        WaitForSingleObject(wake_event, ms);
    else
        Sleep(ms);
}

void qc_wake(void)
{
    if (wake_event) SetEvent(wake_event);
}

/* ---- files ---- */

FILE *qc_file_create(const char *path)
{
    return fopen(path, "wb");
}

FILE *qc_file_create_like(const char *path, const char *)
{
    return fopen(path, "wb");
}

int qc_file_sync_close(FILE *file)
{
    int ok = fflush(file) == 0 && _commit(_fileno(file)) == 0;
    return fclose(file) == 0 && ok;
}

int qc_file_copy_new(const char *from, const char *to)
{
    return CopyFileA(from, to, TRUE) != 0;
}

int qc_file_replace(const char *from, const char *to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

int qc_file_exists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

unsigned long qc_process_id(void)
{
    return (unsigned long)GetCurrentProcessId();
}
