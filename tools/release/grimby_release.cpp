// grimby-release -- publishes a built GRIMBY-SETUP.exe as a signed release
// in the hub's release directory, and checks a published release the way
// GRIMBY-UPDATE does. The private key comes from a file or the environment,
// never from the repository; only the signature leaves this program.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "qorb_sha.h"
#include "update.h"

namespace {

const char kUsage[] =
    "usage: grimby-release --package GRIMBY-SETUP.exe --version X.Y.Z --notes TEXT\n"
    "                      [--key PRIVATE.pem] [--host HOST[:PORT]] DIR\n"
    "       grimby-release --verify DIR --public-key PUBLIC.der [--host HOST[:PORT]]\n"
    "Without --key the PEM text of the private key is taken from GRIMBY_RELEASE_KEY.\n"
    "DIR is the hub's release_dir: the manifest and signature go to DIR/grimby/,\n"
    "the package to DIR/packages/ (served as /updates/grimby/ and /updates/packages/).\n";

bool ReadFile(const std::string &path, std::string *out, size_t limit)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) return false;
    out->clear();
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0 && out->size() <= limit) out->append(chunk, n);
    bool ok = !ferror(file) && out->size() <= limit;
    fclose(file);
    return ok;
}

// Written under a fresh name made exclusively beside the target and moved
// over it, so the hub never serves half a file. Everything goes through the
// directory's descriptor and nothing follows a link: whoever can write in
// the release directory cannot steer the publisher to another file.
bool Publish(int dir, const char *name, const std::string &bytes)
{
    struct stat info;
    if (fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode)) return false;
    unsigned char random[8];
    if (RAND_bytes(random, sizeof random) != 1) return false;
    char temp[64];
    snprintf(temp, sizeof temp, ".publish-%02x%02x%02x%02x%02x%02x%02x%02x.tmp", random[0], random[1], random[2],
             random[3], random[4], random[5], random[6], random[7]);
    int fd = openat(dir, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += (size_t)n;
    }
    ok = ok && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(dir, temp, dir, name) == 0 && fsync(dir) == 0;
    if (!ok) unlinkat(dir, temp, 0);
    return ok;
}

// The release directory itself is the operator's to choose, links and all
// (made with its parents when missing); its two subdirectories must be real
// directories.
int OpenSubdir(const std::string &root, const char *name)
{
    for (size_t at = 1; at <= root.size(); at++) {
        if (at < root.size() && root[at] != '/') continue;
        if (mkdir(root.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
    int parent = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) return -1;
    if (mkdirat(parent, name, 0755) != 0 && errno != EEXIST) {
        close(parent);
        return -1;
    }
    int dir = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(parent);
    return dir;
}

int Fail(const char *what, const std::string &detail = "")
{
    fprintf(stderr, "grimby-release: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    return 1;
}

// An installer built with a throw-away key carries an updater that trusts
// it: once installed, no BBS could be updated by a real release again.
const char kTestKeyRefused[] =
    "the package was built with a test release key; make the release with ./dev.sh release and the publisher's key";

bool CarriesTestKey(const std::string &package)
{
    return package.find(UPDATE_TEST_KEY_MARK) != std::string::npos;
}

EVP_PKEY *LoadPrivateKey(const char *path)
{
    BIO *bio = nullptr;
    if (path) {
        bio = BIO_new_file(path, "r");
    } else {
        const char *pem = getenv("GRIMBY_RELEASE_KEY");
        if (pem && *pem) bio = BIO_new_mem_buf(pem, -1);
    }
    if (!bio) return nullptr;
    EVP_PKEY *key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (key && (EVP_PKEY_base_id(key) != EVP_PKEY_RSA || EVP_PKEY_bits(key) != 3072)) {
        EVP_PKEY_free(key);
        key = nullptr;
    }
    return key;
}

bool Sign(EVP_PKEY *key, const std::string &bytes, std::string *signature)
{
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = nullptr;
    size_t length = UPDATE_SIGNATURE_SIZE;
    signature->assign(UPDATE_SIGNATURE_SIZE, '\0');
    bool ok = md && EVP_DigestSignInit(md, &pctx, EVP_sha256(), nullptr, key) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_DigestSign(md, (unsigned char *)&(*signature)[0], &length, (const unsigned char *)bytes.data(),
                             bytes.size()) == 1 &&
              length == UPDATE_SIGNATURE_SIZE;
    EVP_MD_CTX_free(md);
    return ok;
}

std::string PublicDer(EVP_PKEY *key)
{
    unsigned char *der = nullptr;
    int length = i2d_PUBKEY(key, &der);
    std::string out = length > 0 ? std::string((const char *)der, (size_t)length) : "";
    OPENSSL_free(der);
    return out;
}

// The updater's whole check of a published release, from its files.
int Verify(const std::string &dir, const std::string &key_der, const std::string &host)
{
    static update_manifest manifest;
    std::string text, signature;
    const char *why = "";
    if (key_der.size() != UPDATE_PUBLIC_KEY_SIZE) return Fail("the public key is not a 422-byte RSA-3072 key");
    if (!ReadFile(dir + "/grimby/" UPDATE_PLATFORM ".txt", &text, UPDATE_MANIFEST_LIMIT - 1))
        return Fail("no readable manifest of at most 8,191 bytes", dir + "/grimby/" UPDATE_PLATFORM ".txt");
    if (!ReadFile(dir + "/grimby/" UPDATE_PLATFORM ".sig", &signature, UPDATE_SIGNATURE_LIMIT))
        return Fail("no readable signature", dir + "/grimby/" UPDATE_PLATFORM ".sig");
    int verdict = update_accept((const unsigned char *)key_der.data(), key_der.size(),
                                (const unsigned char *)text.data(), text.size(),
                                (const unsigned char *)signature.data(), signature.size(), host.c_str(), &manifest,
                                &why);
    if (verdict == 1) return Fail("release signature rejected", why);
    if (verdict == 2) return Fail("the manifest would be refused", why);
    std::string package = dir + "/packages/" + manifest.package_name;
    if (!update_package_ok(package.c_str(), manifest.size, manifest.sha256))
        return Fail("the package does not match the manifest's size and sha256", package);
    std::string bytes;
    if (!ReadFile(package, &bytes, UPDATE_PACKAGE_MAX)) return Fail("cannot read the package", package);
    if (CarriesTestKey(bytes)) return Fail(kTestKeyRefused, package);
    printf("grimby-release: %s verified: %s (%lu bytes)\n", manifest.version, manifest.url, manifest.size);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *package = nullptr, *release_version = nullptr, *notes = nullptr, *key_path = nullptr,
               *verify = nullptr, *public_key = nullptr, *dir = nullptr;
    std::string host = GRIMBY_HUB_HOST;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        const char **slot = arg == "--package"      ? &package
                            : arg == "--version"    ? &release_version
                            : arg == "--notes"      ? &notes
                            : arg == "--key"        ? &key_path
                            : arg == "--verify"     ? &verify
                            : arg == "--public-key" ? &public_key
                                                    : nullptr;
        if (arg == "--host" && i + 1 < argc) {
            host = argv[++i];
        } else if (slot && i + 1 < argc) {
            *slot = argv[++i];
        } else if (arg[0] != '-' && !dir) {
            dir = argv[i];
        } else {
            fputs(kUsage, stderr);
            return 2;
        }
    }
    if (verify) {
        std::string der;
        if (!public_key || dir) return fputs(kUsage, stderr), 2;
        if (!ReadFile(public_key, &der, 4096)) return Fail("cannot read the public key", public_key);
        return Verify(verify, der, host);
    }
    if (!package || !release_version || !notes || !dir) return fputs(kUsage, stderr), 2;

    unsigned parts[3];
    if (!version(release_version, parts)) return Fail("the version must be three numbers up to 9999", release_version);
    if (strpbrk(notes, "\r\n") || strlen(notes) > UPDATE_VALUE_MAX)
        return Fail("the notes must be one line of at most 2,047 bytes");
    std::string bytes;
    if (!ReadFile(package, &bytes, UPDATE_PACKAGE_MAX) || bytes.empty())
        return Fail("the package must be a readable file of 1 byte to 100 MiB", package);
    if (CarriesTestKey(bytes)) return Fail(kTestKeyRefused, package);
    EVP_PKEY *key = LoadPrivateKey(key_path);
    if (!key) return Fail("no RSA-3072 private key", key_path ? key_path : "GRIMBY_RELEASE_KEY is empty or not one");

    unsigned char digest[32];
    char hex[SHA_HEX_SIZE];
    unsigned digest_length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &digest_length, EVP_sha256(), nullptr);
    for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    std::string name = std::string("GRIMBY-SETUP-") + release_version + ".exe";
    std::string manifest = "game=grimby\nplatform=" UPDATE_PLATFORM "\nversion=" + std::string(release_version) +
                           "\nurl=https://" + host + "/updates/packages/" + name +
                           "\nsize=" + std::to_string(bytes.size()) + "\nsha256=" + hex + "\nnotes=" + notes + "\n";
    static update_manifest check;
    const char *why = "";
    std::string signature, der = PublicDer(key);
    bool signed_ok = Sign(key, manifest, &signature);
    EVP_PKEY_free(key);
    if (!signed_ok) return Fail("signing failed");
    if (!update_manifest_parse(manifest.data(), manifest.size(), host.c_str(), &check, &why))
        return Fail("the manifest would be refused", why);

    std::string root = dir;
    int grimby = OpenSubdir(root, "grimby"), packages = OpenSubdir(root, "packages");
    // The package first: a manifest must never name a package not yet there.
    bool published = grimby >= 0 && packages >= 0 && Publish(packages, name.c_str(), bytes) &&
                     Publish(grimby, UPDATE_PLATFORM ".sig", signature) &&
                     Publish(grimby, UPDATE_PLATFORM ".txt", manifest);
    if (grimby >= 0) close(grimby);
    if (packages >= 0) close(packages);
    if (!published)
        return Fail("cannot write the release files (grimby/ and packages/ must be real directories, the files "
                    "plain files) under",
                    root);
    return Verify(root, der, host);
}
