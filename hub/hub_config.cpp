/* hub_config.cpp -- reading hub.json and writing a starter directory. */
#include "hub_config.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hub_text.h"
#include "qorb_json.h"

namespace {

std::string Resolve(const std::string &base, const std::string &path)
{
    if (path.empty() || path[0] == '/') return path;
    return base + path;
}

bool ReadString(const cj_doc *doc, const char *key, std::string *out, bool required,
                std::string *error)
{
    int t = hub_json_find(doc, key);
    if (t < 0) {
        if (required) *error = std::string("the configuration has no \"") + key + "\".";
        return !required;
    }
    if (!hub_json_string(doc, t, 4095, out) || out->empty()) {
        *error = std::string("\"") + key + "\" in the configuration is not a text.";
        return false;
    }
    return true;
}

bool ReadInt(const cj_doc *doc, const char *key, int *out, int low, int high, std::string *error)
{
    int t = hub_json_find(doc, key);
    if (t < 0) return true;
    int64_t value = 0;
    if (!hub_json_uint(doc, t, &value) || value < low || value > high) {
        *error = std::string("\"") + key + "\" in the configuration must be a number from " +
                 std::to_string(low) + " to " + std::to_string(high) + ".";
        return false;
    }
    *out = (int)value;
    return true;
}

bool WriteNew(const std::string &path, const std::string &text, int mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    ok = fsync(fd) == 0 && ok;
    return close(fd) == 0 && ok;
}

// A P-256 key and a self-signed certificate naming host, valid two years.
// It is its own issuer, so a client trusts it by adding it as a root.
bool MakeCertificate(const std::string &dir, const char *host)
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    bool ok = key && cert;
    if (ok) {
        X509_set_version(cert, 2);
        unsigned char serial[16];
        FILE *random = fopen("/dev/urandom", "rb");
        ok = random && fread(serial, 1, sizeof serial, random) == sizeof serial;
        if (random) fclose(random);
        serial[0] &= 0x7f;
        BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = ok && bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
        BN_free(bn);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 2L * 365 * 86400);
        X509_set_pubkey(cert, key);
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)host, -1,
                                   -1, 0);
        X509_set_issuer_name(cert, name);
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
        std::string san = std::string("DNS:") + host;
        const char *ext[][2] = {{"subjectAltName", san.c_str()},
                                {"basicConstraints", "critical,CA:TRUE,pathlen:0"},
                                {"keyUsage", "critical,digitalSignature,keyCertSign"},
                                {"extendedKeyUsage", "serverAuth"}};
        for (auto &e : ext) {
            X509_EXTENSION *x = X509V3_EXT_conf(nullptr, &ctx, e[0], e[1]);
            ok = ok && x && X509_add_ext(cert, x, -1);
            X509_EXTENSION_free(x);
        }
        ok = ok && X509_sign(cert, key, EVP_sha256()) > 0;
    }
    if (ok) {
        std::string key_path = dir + "/key.pem", cert_path = dir + "/cert.pem";
        int fd = open(key_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        FILE *out = fd >= 0 ? fdopen(fd, "w") : nullptr;
        ok = out && PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
        if (out) ok = fclose(out) == 0 && ok;
        else if (fd >= 0) close(fd);
        fd = ok ? open(cert_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644) : -1;
        out = fd >= 0 ? fdopen(fd, "w") : nullptr;
        ok = ok && out && PEM_write_X509(out, cert);
        if (out) ok = fclose(out) == 0 && ok;
        else if (fd >= 0) close(fd);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}

}  // namespace

int hub_config_load(const char *path, HubConfig *config, std::string *error)
{
    FILE *in = fopen(path, "rb");
    if (!in) {
        *error = std::string("cannot read the configuration ") + path + ": " + strerror(errno) +
                 ".";
        return 0;
    }
    std::string text(16384, '\0');
    size_t n = fread(&text[0], 1, text.size(), in);
    fclose(in);
    if (n >= text.size() - 1 || memchr(text.data(), 0, n)) {
        *error = std::string("the configuration ") + path + " is not a small text file.";
        return 0;
    }
    text.resize(n);
    cj_doc *doc = new cj_doc;
    bool ok = cj_parse(doc, text.c_str());
    if (!ok) *error = std::string("the configuration ") + path + " is not one JSON object.";
    std::string base = path;
    size_t slash = base.rfind('/');
    base = slash == std::string::npos ? std::string() : base.substr(0, slash + 1);
    std::string port_file;
    ok = ok && ReadString(doc, "listen", &config->listen, false, error) &&
         ReadInt(doc, "port", &config->port, 0, 65535, error) &&
         ReadString(doc, "certificate", &config->certificate, true, error) &&
         ReadString(doc, "key", &config->key, true, error) &&
         ReadString(doc, "database", &config->database, true, error) &&
         ReadString(doc, "release_dir", &config->release_dir, true, error) &&
         ReadString(doc, "port_file", &port_file, false, error) &&
         ReadInt(doc, "threads", &config->threads, 1, 1024, error) &&
         ReadInt(doc, "max_queued", &config->max_queued, 1, 100000, error) &&
         ReadInt(doc, "max_connections", &config->max_connections, 1, 1000000, error) &&
         ReadInt(doc, "max_connections_per_address", &config->max_per_address, 1, 100000,
                 error) &&
         ReadInt(doc, "max_connections_per_net64", &config->max_per_net64, 1, 100000, error) &&
         ReadInt(doc, "request_deadline_ms", &config->request_deadline_ms, 100, 600000, error) &&
         ReadInt(doc, "time_window", &config->time_window, 1, 3600, error) &&
         ReadInt(doc, "presence", &config->presence, 1, 3600, error) &&
         ReadInt(doc, "enroll_per_hour", &config->enroll_per_hour, 1, 1000000, error) &&
         ReadInt(doc, "messages_per_10s", &config->messages_per_10s, 1, 1000, error) &&
         ReadInt(doc, "board_rows", &config->board_rows, 14, 1000, error);
    delete doc;
    if (!ok) return 0;
    config->certificate = Resolve(base, config->certificate);
    config->key = Resolve(base, config->key);
    config->database = Resolve(base, config->database);
    config->release_dir = Resolve(base, config->release_dir);
    if (!port_file.empty()) config->port_file = Resolve(base, port_file);
    return 1;
}

int hub_config_init(const char *dir, const char *host, std::string *error)
{
    std::string d = dir;
    if (mkdir(dir, 0750) != 0 && errno != EEXIST) {
        *error = std::string("cannot create ") + dir + ": " + strerror(errno) + ".";
        return 0;
    }
    const char *names[] = {"hub.json", "cert.pem", "key.pem", "hub.db"};
    for (const char *name : names)
        if (access((d + "/" + name).c_str(), F_OK) == 0) {
            *error = d + "/" + name + " already exists; nothing was changed.";
            return 0;
        }
    mkdir((d + "/releases").c_str(), 0755);
    mkdir((d + "/releases/grimby").c_str(), 0755);
    mkdir((d + "/releases/packages").c_str(), 0755);
    if (!MakeCertificate(d, host)) {
        *error = "cannot write the certificate and key in " + d + ".";
        return 0;
    }
    std::string json = "{\n  \"listen\": \"0.0.0.0\",\n  \"port\": 443,\n"
                       "  \"certificate\": \"cert.pem\",\n  \"key\": \"key.pem\",\n"
                       "  \"database\": \"hub.db\",\n  \"release_dir\": \"releases\",\n"
                       "  \"threads\": 32,\n  \"request_deadline_ms\": 10000,\n"
                       "  \"max_connections_per_address\": 8,\n  \"enroll_per_hour\": 10,\n"
                       "  \"messages_per_10s\": 8,\n  \"board_rows\": 20\n}\n";
    if (!WriteNew(d + "/hub.json", json, 0640)) {
        *error = "cannot write " + d + "/hub.json.";
        return 0;
    }
    return 1;
}
