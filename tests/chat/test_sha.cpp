// SHA-256 and HMAC-SHA-256 against digests from an independent
// implementation and the published test vectors.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qorb_sha.h"

namespace {

std::string Hex(const uint8_t digest[SHA_DIGEST_SIZE])
{
    char hex[SHA_HEX_SIZE];
    sha_hex(digest, hex);
    return hex;
}

std::string Sha(const std::vector<uint8_t> &bytes)
{
    sha_ctx ctx;
    uint8_t digest[SHA_DIGEST_SIZE];
    sha_init(&ctx);
    sha_update(&ctx, bytes.data(), bytes.size());
    sha_end(&ctx, digest);
    return Hex(digest);
}

std::vector<uint8_t> Pattern(size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++) bytes[i] = (uint8_t)((i * 7 + 3) & 0xff);
    return bytes;
}

std::string Hmac(const std::vector<uint8_t> &key, const std::string &message)
{
    uint8_t out[SHA_DIGEST_SIZE];
    hmac_sha256(key.data(), key.size(), message.data(), message.size(), out);
    return Hex(out);
}

}  // namespace

TEST(Sha256, StandardDigests)
{
    EXPECT_EQ(Sha({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha({'a', 'b', 'c'}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha(std::vector<uint8_t>(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// 55 bytes leave room for the length in the last block; 56 to 63 need a
// block of padding more; 64 is one whole block and then the padding.
TEST(Sha256, LengthsAroundTheBlockEdges)
{
    EXPECT_EQ(Sha(Pattern(55)), "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b");
    EXPECT_EQ(Sha(Pattern(56)), "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27");
    EXPECT_EQ(Sha(Pattern(63)), "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055");
    EXPECT_EQ(Sha(Pattern(64)), "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241");
    EXPECT_EQ(Sha(Pattern(65)), "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e");
    EXPECT_EQ(Sha(Pattern(119)), "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e");
    EXPECT_EQ(Sha(Pattern(120)), "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5");
}

TEST(Sha256, PiecesOfAnySizeGiveTheSameDigest)
{
    std::vector<uint8_t> message = Pattern(300);
    std::string whole = Sha(message);
    for (size_t piece : {1u, 3u, 63u, 64u, 65u, 200u}) {
        sha_ctx ctx;
        uint8_t digest[SHA_DIGEST_SIZE];
        sha_init(&ctx);
        for (size_t at = 0; at < message.size(); at += piece) {
            sha_update(&ctx, message.data() + at, std::min(piece, message.size() - at));
            sha_update(&ctx, nullptr, 0);  // nothing, harmlessly
        }
        sha_end(&ctx, digest);
        EXPECT_EQ(Hex(digest), whole) << "pieces of " << piece;
    }
}

TEST(Sha256, HexIsSixtyFourLowercaseDigits)
{
    uint8_t digest[SHA_DIGEST_SIZE];
    for (int i = 0; i < SHA_DIGEST_SIZE; i++) digest[i] = (uint8_t)(0xF0 + (i & 15));
    char hex[SHA_HEX_SIZE];
    memset(hex, 'X', sizeof hex);
    sha_hex(digest, hex);
    EXPECT_EQ(strlen(hex), 64u);
    EXPECT_EQ(std::string(hex, 8), "f0f1f2f3");
    EXPECT_EQ(std::string(hex + 28, 4), "feff");
    EXPECT_EQ(std::string(hex).find_first_not_of("0123456789abcdef"), std::string::npos);
}

// RFC 4231 cases 1, 2 and 6, and keys either side of the 64-byte block.
TEST(HmacSha256, PublishedVectorsAndKeyLengths)
{
    EXPECT_EQ(Hmac(std::vector<uint8_t>(20, 0x0b), "Hi There"),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(Hmac({'J', 'e', 'f', 'e'}, "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(Hmac(std::vector<uint8_t>(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First"),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");

    std::vector<uint8_t> key64, key65;
    for (int i = 0; i < 64; i++) key64.push_back((uint8_t)i);
    key65 = key64;
    key65.push_back(64);
    EXPECT_EQ(Hmac(key64, "what do ya want for nothing?"),
              "5431cc41830bee7889a6b5d04b33877387ea9b8170759f4dca4323cfb5725508");
    EXPECT_EQ(Hmac(key65, "what do ya want for nothing?"),
              "b8510ec6c86f16d7c86061bd02266a93ffa7add59683bd03dc645ba1f238c38c");
    EXPECT_EQ(Hmac({}, ""), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}
