// test_ca_win32.cpp -- a test CA into the Wine prefix's CurrentUser Root
// store: the one place WinHTTP under Wine looks for trust anchors.
#include "test_ca_win32.h"

#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>

#include <string>
#include <vector>

bool TestTrustCaInWinePrefix(const char *pem_path)
{
    std::string pem;
    FILE *file = fopen(pem_path, "rb");
    if (!file) return false;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) pem.append(chunk, n);
    fclose(file);

    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), (DWORD)pem.size(), CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                              nullptr))
        return false;
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), (DWORD)pem.size(), CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                              nullptr))
        return false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root");
    if (!store) return false;
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added != FALSE;
}
