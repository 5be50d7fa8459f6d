/* qorb_sha.cpp -- SHA-256 (FIPS 180-4) and HMAC-SHA-256 (RFC 2104), small
 * and plain: the lobby signs a few hundred bytes a second at most, so the
 * compression function favours clarity over unrolling. */
#include "qorb_sha.h"

#include <string.h>

static const uint32_t auSHARoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

static const uint32_t auSHAInitialWords[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

static uint32_t ShaRotr(uint32_t value, int bits)
{
    return (value >> bits) | (value << (32 - bits));
}

static uint32_t ShaReadBig(const uint8_t *bytes)
{
    return (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
}

static void ShaWriteBig(uint8_t *bytes, uint32_t value)
{
    bytes[0] = (uint8_t)(value >> 24);
    bytes[1] = (uint8_t)(value >> 16);
    bytes[2] = (uint8_t)(value >> 8);
    bytes[3] = (uint8_t)value;
}

void sha_init(sha_ctx *ctx)
{
    memcpy(ctx->state, auSHAInitialWords, sizeof ctx->state);
    ctx->count = 0;
    ctx->fill = 0;
}

void sha_block(uint32_t state[8], const uint8_t block[SHA_BLOCK_SIZE])
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++) w[i] = ShaReadBig(block + 4 * i);
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = ShaRotr(w[i - 15], 7) ^ ShaRotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = ShaRotr(w[i - 2], 17) ^ ShaRotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; i++) {
        uint32_t sum1 = ShaRotr(e, 6) ^ ShaRotr(e, 11) ^ ShaRotr(e, 25);
        uint32_t choose = (e & f) ^ (~e & g);
        uint32_t t1 = h + sum1 + choose + auSHARoundConstants[i] + w[i];
        uint32_t sum0 = ShaRotr(a, 2) ^ ShaRotr(a, 13) ^ ShaRotr(a, 22);
        uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
}

void sha_update(sha_ctx *ctx, const void *data, size_t length)
{
    const uint8_t *bytes = (const uint8_t *)data;
    ctx->count += length;
    while (length > 0) {
        size_t room = SHA_BLOCK_SIZE - (size_t)ctx->fill;
        size_t take = length < room ? length : room;
        memcpy(ctx->buf + ctx->fill, bytes, take);
        ctx->fill += take;
        bytes += take;
        length -= take;
        if (ctx->fill == SHA_BLOCK_SIZE) {
            sha_block(ctx->state, ctx->buf);
            ctx->fill = 0;
        }
    }
}

void sha_end(sha_ctx *ctx, uint8_t digest[SHA_DIGEST_SIZE])
{
    uint64_t bits = ctx->count * 8;
    ctx->buf[ctx->fill++] = 0x80;
    if (ctx->fill > 56) {
        memset(ctx->buf + ctx->fill, 0, SHA_BLOCK_SIZE - (size_t)ctx->fill);
        sha_block(ctx->state, ctx->buf);
        ctx->fill = 0;
    }
    memset(ctx->buf + ctx->fill, 0, 56 - (size_t)ctx->fill);
    ShaWriteBig(ctx->buf + 56, (uint32_t)(bits >> 32));
    ShaWriteBig(ctx->buf + 60, (uint32_t)bits);
    sha_block(ctx->state, ctx->buf);
    for (int i = 0; i < 8; i++) ShaWriteBig(digest + 4 * i, ctx->state[i]);
}

void hmac_sha256(const void *key, size_t key_length, const void *message, size_t message_length,
                 uint8_t out[SHA_DIGEST_SIZE])
{
    uint8_t k0[SHA_BLOCK_SIZE] = {0};
    if (key_length <= SHA_BLOCK_SIZE) {
        if (key_length) memcpy(k0, key, key_length);
    } else {
        sha_ctx ctx;
        sha_init(&ctx);
        sha_update(&ctx, key, key_length);
        sha_end(&ctx, k0);
    }

    uint8_t pad[SHA_BLOCK_SIZE];
    uint8_t inner[SHA_DIGEST_SIZE];
    sha_ctx ctx;
    for (int i = 0; i < SHA_BLOCK_SIZE; i++) pad[i] = k0[i] ^ 0x36;
    sha_init(&ctx);
    sha_update(&ctx, pad, sizeof pad);
    sha_update(&ctx, message, message_length);
    sha_end(&ctx, inner);

    for (int i = 0; i < SHA_BLOCK_SIZE; i++) pad[i] = k0[i] ^ 0x5c;
    sha_init(&ctx);
    sha_update(&ctx, pad, sizeof pad);
    sha_update(&ctx, inner, sizeof inner);
    sha_end(&ctx, out);
}

void sha_hex(const uint8_t digest[SHA_DIGEST_SIZE], char out[SHA_HEX_SIZE])
{
    static const char szDigits[] = "0123456789abcdef";
    for (int i = 0; i < SHA_DIGEST_SIZE; i++) {
        out[2 * i] = szDigits[digest[i] >> 4];
        out[2 * i + 1] = szDigits[digest[i] & 0x0F];
    }
    out[2 * SHA_DIGEST_SIZE] = '\0';
}
