// test_ca_win32.cpp -- a test CA into the Wine prefix's CurrentUser Root store.
#include "test_ca_win32.h"
#include "testdir.h"

#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>

#include <string>
#include <vector>

bool TestTrustCaInWinePrefix(const char *pem_path)
{
    std::string pem = TestReadFile(pem_path);
    // The first certificate only: the decoder would stop at the second one.
    size_t end = pem.find("-----END CERTIFICATE-----");
    if (end == std::string::npos) return false;
    pem.resize(end + 25);

    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), (DWORD)pem.size(), CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                              nullptr))
        return false;
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), (DWORD)pem.size(), CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                              nullptr))
        return false;

    // Test processes of one prefix share its registry; one writer at a time.
    HANDLE turn = CreateMutexA(nullptr, FALSE, "GrimbyTestRootStore");
    if (turn) WaitForSingleObject(turn, 30000);
    bool ok = false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, "Root");
    if (store) {
        ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                              CERT_STORE_ADD_USE_EXISTING, nullptr) != 0;
        CertCloseStore(store, 0);
    }
    if (turn) {
        ReleaseMutex(turn);
        CloseHandle(turn);
    }
    return ok;
}
