/* hub_config.cpp -- reading hub.json and writing a starter directory. */
#include "hub_config.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

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

// Every key hub.json may hold: a mistyped one ("thread") is refused by
// name instead of silently leaving its setting at the default.
const char *const kKeys[] = {
    "listen", "port", "certificate", "key", "database", "release_dir", "port_file", "threads",
    "max_queued", "max_connections", "max_connections_per_address", "max_connections_per_net64",
    "request_deadline_ms", "time_window", "presence", "enroll_per_hour", "messages_per_10s",
    "board_rows", "board_rows_per_bbs", "log_every_request", "page_show_handles",
};

bool KnownKeys(const cj_doc *doc, std::string *error)
{
    if (doc->ntok < 1 || doc->tok[0].type != '{') return true;
    int end = doc->tok[0].next;
    for (int k = 1; k + 1 < end && k < doc->ntok;) {
        const cj_tok &t = doc->tok[k];
        std::string key(doc->text + t.start + 1, (size_t)(t.end - t.start - 2));
        bool known = false;
        for (const char *name : kKeys) known = known || key == name;
        if (!known) {
            std::string shown = key.substr(0, 40);
            for (char &c : shown)
                if ((unsigned char)c < 0x20 || (unsigned char)c > 0x7E) c = '?';
            *error = "the configuration has an unknown key \"" + shown + "\".";
            return false;
        }
        int next = doc->tok[k + 1].next;
        if (next <= k) return true;
        k = next;
    }
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

bool RandomSerial(X509 *cert)
{
    unsigned char serial[16];
    FILE *random = fopen("/dev/urandom", "rb");
    bool ok = random && fread(serial, 1, sizeof serial, random) == sizeof serial;
    if (random) fclose(random);
    serial[0] &= 0x7f;
    BIGNUM *bn = ok ? BN_bin2bn(serial, sizeof serial, nullptr) : nullptr;
    ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
    return ok;
}

// A certificate for key, named cn, signed by issuer_key (the issuer's own
// certificate, or itself when issuer is null), with the given extensions.
X509 *MakeCert(EVP_PKEY *key, const char *cn, X509 *issuer, EVP_PKEY *issuer_key, long days,
               const std::vector<std::pair<std::string, std::string>> &extensions)
{
    X509 *cert = X509_new();
    bool ok = cert && X509_set_version(cert, 2) && RandomSerial(cert);
    if (!ok) {
        X509_free(cert);
        return nullptr;
    }
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), days * 86400);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)cn, -1, -1, 0);
    X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    for (const auto &e : extensions) {
        X509_EXTENSION *x = X509V3_EXT_conf(nullptr, &ctx, e.first.c_str(), e.second.c_str());
        ok = ok && x && X509_add_ext(cert, x, -1);
        X509_EXTENSION_free(x);
    }
    ok = ok && X509_sign(cert, issuer_key, EVP_sha256()) > 0;
    if (!ok) {
        X509_free(cert);
        return nullptr;
    }
    return cert;
}

bool WritePem(const std::string &path, int mode, EVP_PKEY *key, X509 *cert)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return false;
    fchmod(fd, (mode_t)mode);  // whatever the umask
    FILE *out = fdopen(fd, "w");
    if (!out) {
        close(fd);
        return false;
    }
    bool ok = key ? PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr)
                  : PEM_write_X509(out, cert);
    ok = fflush(out) == 0 && fsync(fileno(out)) == 0 && ok;
    return fclose(out) == 0 && ok;
}

// A private CA of the network (ca.pem, ca.key) and a server certificate
// it signs for the hub's host names (cert.pem, key.pem). Member BBSes
// trust ca.pem for the hub only; since the server certificate cannot sign
// (CA:FALSE) and the CA is theirs to trust for this one connection,
// nobody is asked to trust the operator for every site.
bool MakeCertificates(const std::string &dir, const std::vector<std::string> &hosts)
{
    EVP_PKEY *ca_key = EVP_EC_gen("P-256");
    EVP_PKEY *key = EVP_EC_gen("P-256");
    std::string san;
    for (const std::string &host : hosts) {
        if (!san.empty()) san += ",";
        unsigned char ip[16];
        bool address = inet_pton(AF_INET, host.c_str(), ip) == 1 ||
                       inet_pton(AF_INET6, host.c_str(), ip) == 1;
        san += (address ? "IP:" : "DNS:") + host;
    }
    std::string ca_name = "grimby-hub CA " + hosts[0];
    X509 *ca = ca_key ? MakeCert(ca_key, ca_name.substr(0, 64).c_str(), nullptr, ca_key,
                                 10L * 365,
                                 {{"basicConstraints", "critical,CA:TRUE,pathlen:0"},
                                  {"keyUsage", "critical,keyCertSign,cRLSign"},
                                  {"subjectKeyIdentifier", "hash"}})
                      : nullptr;
    X509 *cert = ca && key ? MakeCert(key, hosts[0].substr(0, 64).c_str(), ca, ca_key, 825,
                                      {{"basicConstraints", "critical,CA:FALSE"},
                                       {"keyUsage", "critical,digitalSignature"},
                                       {"extendedKeyUsage", "serverAuth"},
                                       {"subjectAltName", san},
                                       {"authorityKeyIdentifier", "keyid"}})
                           : nullptr;
    bool ok = cert && WritePem(dir + "/ca.key", 0600, ca_key, nullptr) &&
              WritePem(dir + "/ca.pem", 0644, nullptr, ca) &&
              WritePem(dir + "/key.pem", 0600, key, nullptr) &&
              WritePem(dir + "/cert.pem", 0644, nullptr, cert);
    X509_free(cert);
    X509_free(ca);
    EVP_PKEY_free(key);
    EVP_PKEY_free(ca_key);
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
    ok = ok && KnownKeys(doc, error) && ReadString(doc, "listen", &config->listen, false, error) &&
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
         ReadInt(doc, "board_rows", &config->board_rows, 14, 1000, error) &&
         ReadInt(doc, "board_rows_per_bbs", &config->board_rows_per_bbs, 1, 1000, error) &&
         ReadInt(doc, "log_every_request", &config->log_every_request, 0, 1, error) &&
         ReadInt(doc, "page_show_handles", &config->page_show_handles, 0, 1, error);
    delete doc;
    if (!ok) return 0;
    config->certificate = Resolve(base, config->certificate);
    config->key = Resolve(base, config->key);
    config->database = Resolve(base, config->database);
    config->release_dir = Resolve(base, config->release_dir);
    if (!port_file.empty()) config->port_file = Resolve(base, port_file);
    return 1;
}

int hub_config_secure_database(const char *path, std::string *error)
{
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || fchmod(fd, 0600) != 0) {
        *error = std::string("cannot make the database ") + path + " private: " +
                 strerror(errno) + ".";
        if (fd >= 0) close(fd);
        return 0;
    }
    close(fd);
    // SQLite gives its WAL and shared-memory files the database's mode, but
    // files left by an earlier release may still be open to others.
    for (const char *suffix : {"-wal", "-shm", "-journal"}) {
        std::string side = std::string(path) + suffix;
        if (chmod(side.c_str(), 0600) != 0 && errno != ENOENT) {
            *error = "cannot make " + side + " private: " + strerror(errno) + ".";
            return 0;
        }
    }
    return 1;
}

int hub_config_init(const char *dir, const std::vector<std::string> &hosts,
                    std::string *error)
{
    std::string d = dir;
    for (const std::string &host : hosts) {
        bool ok = !host.empty() && host.size() < 254;
        for (char c : host)
            ok = ok && (isalnum((unsigned char)c) || c == '.' || c == '-' || c == ':');
        if (!ok) {
            *error = "\"" + host.substr(0, 80) + "\" is not a host name or address.";
            return 0;
        }
    }
    if (hosts.empty()) {
        *error = "no host name was given.";
        return 0;
    }
    // The directory will hold the database with every BBS's secret.
    if (mkdir(dir, 0700) != 0 && errno != EEXIST) {
        *error = std::string("cannot create ") + dir + ": " + strerror(errno) + ".";
        return 0;
    }
    const char *names[] = {"hub.json", "cert.pem", "key.pem", "ca.pem", "ca.key", "hub.db"};
    for (const char *name : names)
        if (access((d + "/" + name).c_str(), F_OK) == 0) {
            *error = d + "/" + name + " already exists; nothing was changed.";
            return 0;
        }
    if (chmod(dir, 0700) != 0) {
        *error = std::string("cannot make ") + dir + " private: " + strerror(errno) + ".";
        return 0;
    }
    mkdir((d + "/releases").c_str(), 0755);
    mkdir((d + "/releases/grimby").c_str(), 0755);
    mkdir((d + "/releases/packages").c_str(), 0755);
    if (!MakeCertificates(d, hosts)) {
        *error = "cannot write the certificates and keys in " + d + ".";
        return 0;
    }
    std::string json = "{\n  \"listen\": \"0.0.0.0\",\n  \"port\": 443,\n"
                       "  \"certificate\": \"cert.pem\",\n  \"key\": \"key.pem\",\n"
                       "  \"database\": \"hub.db\",\n  \"release_dir\": \"releases\",\n"
                       "  \"threads\": 32,\n  \"request_deadline_ms\": 10000,\n"
                       "  \"max_connections_per_address\": 8,\n  \"enroll_per_hour\": 10,\n"
                       "  \"messages_per_10s\": 8,\n  \"board_rows\": 20,\n"
                       "  \"board_rows_per_bbs\": 5\n}\n";
    if (!WriteNew(d + "/hub.json", json, 0600)) {
        *error = "cannot write " + d + "/hub.json.";
        return 0;
    }
    std::string db_error;
    if (!hub_config_secure_database((d + "/hub.db").c_str(), &db_error)) {
        *error = db_error;
        return 0;
    }
    return 1;
}
