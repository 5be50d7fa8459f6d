/* update_sig_posix.cpp -- the release signature check with OpenSSL, for the
 * Linux release tool's --verify and the native tests; the same verdicts as
 * the updater's CryptoAPI check. */
#include "update.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

int update_signature_ok(const unsigned char *key_der, size_t key_length, const unsigned char *bytes,
                        size_t length, const unsigned char *signature, size_t signature_length)
{
    if (signature_length != UPDATE_SIGNATURE_SIZE) return 0;
    const unsigned char *at = key_der;
    EVP_PKEY *key = d2i_PUBKEY(nullptr, &at, (long)key_length);
    if (!key) return 0;
    int ok = 0;
    EVP_MD_CTX *md = nullptr;
    /* The whole DER is the key: trailing bytes are a different file. */
    if (at == key_der + key_length && EVP_PKEY_base_id(key) == EVP_PKEY_RSA && EVP_PKEY_bits(key) == 3072) {
        md = EVP_MD_CTX_new();
        EVP_PKEY_CTX *pctx = nullptr;
        ok = md && EVP_DigestVerifyInit(md, &pctx, EVP_sha256(), nullptr, key) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_DigestVerify(md, signature, signature_length, bytes, length) == 1;
    }
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(key);
    return ok;
}
