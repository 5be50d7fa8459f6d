/* qorb_sha.h -- SHA-256 and HMAC-SHA-256: the caller identifier sent to the
 * lobby, the signature on every lobby request, and the updater's check of a
 * downloaded installer. No platform dependency; works in the caller's
 * storage only and allocates nothing. */
#ifndef QORB_SHA_H
#define QORB_SHA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SHA_DIGEST_SIZE 32
#define SHA_BLOCK_SIZE  64
#define SHA_HEX_SIZE    65 /* 64 lowercase hexadecimal digits and a NUL */

/* The running hash; the caller owns it (usually on its stack). */
typedef struct {
    uint32_t state[8]; /* H0..H7 */
    uint64_t count;    /* message bytes fed so far */
    uint8_t  buf[SHA_BLOCK_SIZE];
    uint64_t fill;     /* valid bytes in buf: 0..63 between calls */
} sha_ctx;

void sha_init(sha_ctx *ctx);
/* Feeds bytes in pieces of any size; a zero length does nothing. */
void sha_update(sha_ctx *ctx, const void *data, size_t length);
/* The compression function on one 64-byte block. */
void sha_block(uint32_t state[8], const uint8_t block[SHA_BLOCK_SIZE]);
/* Pads, finishes and writes the 32-byte digest. The context is spent. */
void sha_end(sha_ctx *ctx, uint8_t digest[SHA_DIGEST_SIZE]);

/* HMAC (RFC 2104) with SHA-256. The key is used as the bytes it is. */
void hmac_sha256(const void *key, size_t key_length, const void *message, size_t message_length,
                 uint8_t out[SHA_DIGEST_SIZE]);

/* The printable form of a digest or signature: 64 lowercase hexadecimal
 * digits, most significant nibble first, and a NUL. */
void sha_hex(const uint8_t digest[SHA_DIGEST_SIZE], char out[SHA_HEX_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
