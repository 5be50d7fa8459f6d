/* qorb_chat_win32.h -- the Windows transport's trust in a hub's own CA,
 * shared with the workers' board downloads so both trust it alike. */
#ifndef QORB_CHAT_WIN32_H
#define QORB_CHAT_WIN32_H

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

/* The certificates of a PEM file in a memory store (CertCloseStore it);
 * null when there is none or the file cannot be read. */
HCERTSTORE pn_load_ca(const char *path);

/* 1 when the request's server chain leads to a certificate of ca; call it
 * after WinHttpSendRequest on a request sent with
 * SECURITY_FLAG_IGNORE_UNKNOWN_CA, before trusting anything it returns. */
int pn_chain_trusted(HINTERNET request, HCERTSTORE ca);

#endif
