// The updater's checks: what a signed manifest must say, versions compared
// as numbers, the downloaded package, and a signature that any flipped byte
// breaks (CryptoAPI under Wine, OpenSSL natively, same verdicts).
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "testdir.h"
#include "update.h"

namespace {

const std::string kHost = GRIMBY_HUB_HOST;
const std::string kHash(64, 'a');

std::string Manifest(const std::string &url_name = "GRIMBY-SETUP-2.0.10.exe")
{
    return "game=grimby\nplatform=windows-x64\nversion=2.0.10\nurl=https://" + kHost + "/updates/packages/" +
           url_name + "\nsize=1234\nsha256=" + kHash + "\nnotes=Winter campaign, faster hall\n";
}

// Replaces the first occurrence of what in the text.
std::string Swap(std::string text, const std::string &what, const std::string &with)
{
    size_t at = text.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    if (at != std::string::npos) text.replace(at, what.size(), with);
    return text;
}

bool Parses(const std::string &text, update_manifest *out = nullptr)
{
    static update_manifest scratch;
    const char *why = nullptr;
    return update_manifest_parse(text.data(), text.size(), kHost.c_str(), out ? out : &scratch, &why) == 1;
}

// Paths of the build tree as the platform's C library takes them.
std::string BuildPath(const std::string &path)
{
#ifdef _WIN32
    std::string out = "Z:" + path;
    for (char &c : out)
        if (c == '/') c = '\\';
    return out;
#else
    return path;
#endif
}

}  // namespace

TEST(UpdateManifest, AGoodManifestGivesEveryValue)
{
    update_manifest m;
    ASSERT_TRUE(Parses(Manifest(), &m));
    EXPECT_STREQ(m.version, "2.0.10");
    EXPECT_EQ(m.version_parts[2], 10u);
    EXPECT_STREQ(m.package_name, "GRIMBY-SETUP-2.0.10.exe");
    EXPECT_EQ(m.size, 1234ul);
    EXPECT_EQ(std::string(m.notes), "Winter campaign, faster hall");
    // Any order; "=" inside a value; the largest size; a value of 2,047 bytes.
    std::string reordered = "notes=a=b\nsha256=" + kHash + "\nsize=104857600\nurl=https://" + kHost +
                            "/updates/packages/x.exe\nversion=0.0.1\nplatform=windows-x64\ngame=grimby\n";
    ASSERT_TRUE(Parses(reordered, &m));
    EXPECT_STREQ(m.notes, "a=b");
    EXPECT_EQ(m.size, 104857600ul);
    EXPECT_TRUE(Parses(Swap(Manifest(), "Winter campaign, faster hall", std::string(2047, 'n'))));
}

TEST(UpdateManifest, EveryBrokenRequirementIsRefused)
{
    const std::string good = Manifest();
    const std::string base = "https://" + kHost + "/updates/packages/";
    std::vector<std::pair<const char *, std::string>> bad = {
        {"eighth key", good + "channel=beta\n"},
        {"repeated key", good + "notes=again\n"},
        {"missing key", Swap(good, "game=grimby\n", "")},
        {"CR LF", Swap(Swap(good, "grimby\n", "grimby\r\n"), "\nsize", "\r\nsize")},
        {"last line without LF", good.substr(0, good.size() - 1)},
        {"line without =", Swap(good, "game=grimby\n", "game=grimby\nhello\n")},
        {"empty line", good + "\n"},
        {"key with blank", Swap(good, "game=", "game =")},
        {"NUL in notes", Swap(good, "Winter", std::string("Win\0ter", 7))},
        {"value over 2,047", Swap(good, "Winter campaign, faster hall", std::string(2048, 'n'))},
        {"other game", Swap(good, "game=grimby", "game=grimbyx")},
        {"other platform", Swap(good, "windows-x64", "windows-x86")},
        {"version 10000", Swap(good, "2.0.10", "2.0.10000")},
        {"version of two numbers", Swap(good, "2.0.10", "2.0")},
        {"version with blank", Swap(good, "2.0.10", " 2.0.10")},
        {"version with sign", Swap(good, "2.0.10", "2.+0.10")},
        {"version with suffix", Swap(good, "2.0.10", "2.0.10-rc1")},
        {"url subdirectory", Swap(good, base + "GRIMBY", base + "beta/GRIMBY")},
        {"url query", Swap(good, ".exe\n", ".exe?x=1\n")},
        {"url other host", Swap(good, "https://" + kHost, "https://elsewhere.example")},
        {"url longer host", Swap(good, "https://" + kHost, "https://" + kHost + ".evil.example")},
        {"url plain http", Swap(good, "https://", "http://")},
        {"url empty name", Swap(good, base + "GRIMBY-SETUP-2.0.10.exe", base)},
        {"url parent", Swap(good, base + "GRIMBY-SETUP-2.0.10.exe", base + "..")},
        {"url escaped slash", Swap(good, "SETUP-2", "SETUP%2F2")},
        {"size 0", Swap(good, "size=1234", "size=0")},
        {"size over 100 MiB", Swap(good, "size=1234", "size=104857601")},
        {"size 12abc", Swap(good, "size=1234", "size=12abc")},
        {"size huge", Swap(good, "size=1234", "size=99999999999999999999999")},
        {"size negative", Swap(good, "size=1234", "size=-1")},
        {"sha256 short", Swap(good, kHash, kHash.substr(1))},
        {"sha256 long", Swap(good, kHash, kHash + "a")},
        {"8,192 bytes", Swap(good, "Winter campaign, faster hall", std::string(8192 - good.size() + 28, 'n'))},
    };
    for (const auto &item : bad) EXPECT_FALSE(Parses(item.second)) << item.first;
    EXPECT_FALSE(Parses(""));
}

TEST(UpdateVersion, NumbersNotTextDecide)
{
    unsigned a[3], b[3];
    ASSERT_TRUE(version("2.0.10", a));
    ASSERT_TRUE(version("2.0.9", b));
    EXPECT_TRUE(update_version_newer(a, b));
    EXPECT_FALSE(update_version_newer(b, a));
    EXPECT_FALSE(update_version_newer(a, a));
    ASSERT_TRUE(version("1.9.99", a));
    ASSERT_TRUE(version("2.0.0", b));
    EXPECT_FALSE(update_version_newer(a, b));
    ASSERT_TRUE(version("9999.9999.9999", a));
    for (const char *text : {"10000.0.0", "2.0", "2.0.0.1", "2..0", "", "2.0.0\n", "-1.0.0", "a.b.c", "2.0.0 "})
        EXPECT_FALSE(version(text, a)) << text;
}

TEST(UpdatePackage, SizeAndHashMustBothMatch)
{
    TestDir dir;
    std::string bytes(70000, 'x');  // three reads of 32 KiB
    std::string path = dir.write("update.exe", bytes);
    const std::string actual = "bca09f4a757d5571c7d9f3341d4301f3c391c090826acc1a3013c6bcb7c01722";  // sha256sum
    EXPECT_TRUE(update_package_ok(path.c_str(), 70000, actual.c_str()));
    EXPECT_FALSE(update_package_ok(path.c_str(), 69999, actual.c_str()));
    std::string upper = actual;
    for (char &c : upper) c = (char)toupper((unsigned char)c);
    EXPECT_FALSE(update_package_ok(path.c_str(), 70000, upper.c_str()));
    dir.write("update.exe", bytes.substr(1));
    EXPECT_FALSE(update_package_ok(path.c_str(), 70000, actual.c_str()));
    EXPECT_FALSE(update_package_ok(dir.path("absent.exe").c_str(), 70000, actual.c_str()));
}

TEST(UpdateReadFile, TheWholeFileWithinTheLimitOrNothing)
{
    TestDir dir;
    char buffer[16];
    EXPECT_EQ(readfile(dir.write("a", std::string(16, 'a')).c_str(), buffer, sizeof buffer), 16u);
    EXPECT_EQ(readfile(dir.write("b", std::string(17, 'b')).c_str(), buffer, sizeof buffer), 0u);
    EXPECT_EQ(readfile(dir.path("none").c_str(), buffer, sizeof buffer), 0u);
}

// The manifest and signature the build made with its test key: every byte
// of either flipped in turn is refused as a bad signature, so nothing of a
// changed manifest is ever parsed.
TEST(UpdateSignature, EveryFlippedByteIsRejectedBeforeParsing)
{
    std::string manifest = TestReadFile(BuildPath(GRIMBY_BINARY_DIR "/tests/update/sample.txt"));
    std::string signature = TestReadFile(BuildPath(GRIMBY_BINARY_DIR "/tests/update/sample.sig"));
    if (manifest.empty()) GTEST_SKIP() << "this build embeds a publisher's key; no test signature";
    ASSERT_EQ(signature.size(), 384u);
    auto accept = [](const std::string &m, const std::string &s) {
        static update_manifest out;
        return update_accept(update_public_der, sizeof update_public_der, (const unsigned char *)m.data(), m.size(),
                             (const unsigned char *)s.data(), s.size(), kHost.c_str(), &out, nullptr);
    };
    ASSERT_EQ(accept(manifest, signature), 0);
    int accepted = 0;
    for (size_t i = 0; i < manifest.size(); i++) {
        std::string m = manifest;
        m[i] ^= 0x01;
        accepted += accept(m, signature) != 1;
    }
    for (size_t i = 0; i < signature.size(); i++) {
        std::string s = signature;
        s[i] ^= 0x80;
        accepted += accept(manifest, s) != 1;
    }
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(accept("", signature), 1);
    EXPECT_EQ(accept(manifest, signature.substr(1)), 1);
    EXPECT_EQ(accept(manifest, signature + "x"), 1);
    EXPECT_EQ(accept(manifest + "x", signature), 1);
}
