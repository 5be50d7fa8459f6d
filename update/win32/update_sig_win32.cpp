/* update_sig_win32.cpp -- the release signature check with CryptoAPI: the
 * DER key decoded and imported into a verification-only context, SHA-256
 * over the manifest's exact bytes, PKCS #1 v1.5. */
#include "update.h"

#include <windows.h>
#include <wincrypt.h>

#include <string.h>

int update_signature_ok(const unsigned char *key_der, size_t key_length, const unsigned char *bytes,
                        size_t length, const unsigned char *signature, size_t signature_length)
{
    if (signature_length != UPDATE_SIGNATURE_SIZE || length > 0xFFFFFFFFu || key_length > 0xFFFFFFFFu) return 0;
    HCRYPTPROV provider = 0;
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    CERT_PUBLIC_KEY_INFO *info = nullptr;
    DWORD info_size = 0;
    int ok = 0;
    /* CryptoAPI wants the signature least significant byte first. */
    BYTE reversed[UPDATE_SIGNATURE_SIZE];
    for (size_t i = 0; i < UPDATE_SIGNATURE_SIZE; i++) reversed[i] = signature[UPDATE_SIGNATURE_SIZE - 1 - i];

    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key_der, (DWORD)key_length,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &info_size) &&
        CryptImportPublicKeyInfo(provider, X509_ASN_ENCODING, info, &key)) {
        DWORD bits = 0, bits_size = sizeof bits;
        /* A key of another size would accept another signature length. */
        if (CryptGetKeyParam(key, KP_KEYLEN, (BYTE *)&bits, &bits_size, 0) && bits == 3072 &&
            CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
            CryptHashData(hash, bytes, (DWORD)length, 0) &&
            CryptVerifySignatureA(hash, reversed, UPDATE_SIGNATURE_SIZE, key, nullptr, 0))
            ok = 1;
    }
    if (info) LocalFree(info);
    if (hash) CryptDestroyHash(hash);
    if (key) CryptDestroyKey(key);
    CryptReleaseContext(provider, 0);
    return ok;
}
