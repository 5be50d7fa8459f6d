/* hub_main.cpp -- grimby-hub's command line: the service, the starter
 * directory and the operator's tools. Each tool says what it did in one
 * sentence, exits 0 or 1, and leaves a line in the system log; it works
 * while the service runs (both sides wait for the other's write). */
#include <openssl/crypto.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hub_config.h"
#include "hub_db.h"
#include "hub_server.h"
#include "hub_text.h"

static int Usage()
{
    fprintf(stderr,
            "usage: grimby-hub --config FILE                     run the hub\n"
            "       grimby-hub --init DIR [--host NAME]...       write a starter directory\n"
            "       grimby-hub --config FILE --reset-bbs NAME    release a BBS's enrollment\n"
            "       grimby-hub --config FILE --remove-scores NAME [--since YYYYMMDD]\n"
            "       grimby-hub --config FILE --ban NAME          refuse a BBS's requests\n"
            "       grimby-hub --config FILE --unban NAME        accept them again\n"
            "       grimby-hub --config FILE --list-bbs          list the enrolled BBSes\n");
    return 1;
}

// The sentence goes to the operator and, for the record, to the log.
static int Say(int code, const std::string &text)
{
    fprintf(code ? stderr : stdout, "%s%s\n", code ? "grimby-hub: " : "", text.c_str());
    openlog("grimby-hub", LOG_PID, LOG_DAEMON);
    syslog(code ? LOG_WARNING : LOG_NOTICE, "operator: %s", text.c_str());
    closelog();
    return code;
}

static std::string Quoted(const std::string &name) { return "\"" + name + "\""; }

static std::string Day(int64_t t)
{
    if (t <= 0) return "never";
    char out[9];
    hub_utc_date(t, out);
    return std::string(out, 4) + "-" + std::string(out + 4, 2) + "-" + std::string(out + 6, 2);
}

// YYYYMMDD or YYYY-MM-DD; "" when it is neither.
static std::string SinceDate(const char *text)
{
    std::string d;
    for (const char *p = text; *p; p++)
        if (*p != '-') d += *p;
    if (d.size() != 8 || d.find_first_not_of("0123456789") != std::string::npos) return "";
    return d;
}

// The key the operator means: the BBS enrolled under exactly that name
// by an earlier release's key, if one was left there, else this release's.
static std::string OperatorKey(HubDb *db, const std::string &cleaned)
{
    std::string legacy = hub_legacy_name_key(cleaned);
    HubBbs bbs;
    if (legacy != hub_name_key(cleaned) && hub_db_find_bbs(db, legacy, &bbs) == 1) {
        OPENSSL_cleanse(&bbs.secret[0], bbs.secret.size());
        return legacy;
    }
    return hub_name_key(cleaned);
}

static int Operate(const HubConfig &config, const char *command, const char *target,
                   const char *since)
{
    std::string error;
    HubDb *db = hub_db_open(config.database.c_str(), 900, &error);
    if (!db)
        return Say(1, "cannot open the database " + config.database + ": " + error + ".");
    std::string name =
        target ? hub_stable_name(target, strlen(target)) : std::string();
    std::string key = target ? OperatorKey(db, name) : std::string();
    HubBbs found;
    bool enrolled = target && hub_db_find_bbs(db, key, &found) == 1;
    if (enrolled) {
        name = found.name;  // as enrolled, not as typed
        OPENSSL_cleanse(&found.secret[0], found.secret.size());
    }
    int code = 1;
    if (strcmp(command, "--reset-bbs") == 0) {
        int done = hub_db_reset_bbs(db, key);
        code = done < 0   ? Say(1, "the database refused to release " + Quoted(name) + ".")
               : done == 0 ? Say(1, "no BBS named " + Quoted(name) + " is enrolled.")
                           : Say(0, "Released " + Quoted(name) +
                                        ": the BBS can enroll again and gets a new secret.");
    } else if (strcmp(command, "--ban") == 0 || strcmp(command, "--unban") == 0) {
        bool ban = strcmp(command, "--ban") == 0;
        int done = hub_db_set_banned(db, key, ban);
        code = done < 0   ? Say(1, "the database refused to change " + Quoted(name) + ".")
               : done == 0 ? Say(1, "no BBS named " + Quoted(name) + " is enrolled.")
               : ban       ? Say(0, "Banned " + Quoted(name) +
                                        ": its requests are refused and its name stays taken.")
                           : Say(0, "Unbanned " + Quoted(name) + ": its requests are accepted again.");
    } else if (strcmp(command, "--remove-scores") == 0) {
        std::string from = since ? SinceDate(since) : "";
        int64_t removed = 0;
        if (since && from.empty()) {
            code = Say(1, std::string("--since takes a date as YYYYMMDD, not ") + Quoted(since) + ".");
        } else if (hub_db_remove_scores(db, key, from.c_str(), &removed) < 0) {
            code = Say(1, "the database refused to remove the scores of " + Quoted(name) + ".");
        } else if (removed == 0 && !enrolled) {
            code = Say(1, "no BBS named " + Quoted(name) + " has scores here.");
        } else {
            std::string what = std::to_string((long long)removed) + " score line" +
                               (removed == 1 ? "" : "s") +
                               (from.empty() ? "" : " dated " + from + " or later");
            code = Say(0, "Removed " + what + " of " + Quoted(name) + "; the boards no longer show them.");
        }
    } else {
        std::vector<HubBbsInfo> list;
        if (!hub_db_list_bbs(db, &list)) {
            code = Say(1, "the database could not list the BBSes.");
        } else {
            printf("%-32s %-28s %-10s %-10s %8s\n", "BBS", "DOMAIN", "ENROLLED", "LAST SEEN",
                   "SCORES");
            for (const HubBbsInfo &b : list)
                printf("%-32s %-28s %-10s %-10s %8lld%s\n", b.name.c_str(),
                       b.domain.empty() ? "-" : b.domain.c_str(), Day(b.enrolled).c_str(),
                       Day(b.last_seen).c_str(), (long long)b.scores,
                       b.banned ? "  banned" : "");
            printf("%zu BBS%s enrolled.\n", list.size(), list.size() == 1 ? "" : "es");
            code = 0;
        }
    }
    hub_db_close(db);
    return code;
}

int main(int argc, char **argv)
{
    const char *config_path = "/etc/grimby-hub/hub.json";
    const char *init_dir = nullptr;
    std::vector<std::string> hosts;
    const char *command = nullptr, *target = nullptr, *since = nullptr;
    const char *port_file = nullptr;
    for (int i = 1; i < argc; i++) {
        bool more = i + 1 < argc;
        const char *arg = argv[i];
        if (strcmp(arg, "--config") == 0 && more) config_path = argv[++i];
        else if (strcmp(arg, "--init") == 0 && more) init_dir = argv[++i];
        else if (strcmp(arg, "--host") == 0 && more) hosts.push_back(argv[++i]);
        else if (strcmp(arg, "--port-file") == 0 && more) port_file = argv[++i];
        else if (strcmp(arg, "--since") == 0 && more) since = argv[++i];
        else if (!command && more &&
                 (strcmp(arg, "--reset-bbs") == 0 || strcmp(arg, "--remove-scores") == 0 ||
                  strcmp(arg, "--ban") == 0 || strcmp(arg, "--unban") == 0))
            command = arg, target = argv[++i];
        else if (!command && strcmp(arg, "--list-bbs") == 0) command = arg;
        else return Usage();
    }
    if (since && (!command || strcmp(command, "--remove-scores") != 0)) return Usage();
    std::string error;
    if (init_dir) {
        // Owner-only whatever the caller's umask: the directory will hold
        // every BBS's secret.
        umask(077);
        if (hosts.empty()) {
            char name[256] = "";
            if (gethostname(name, sizeof name - 1) == 0 && *name) hosts.push_back(name);
            else hosts.push_back("localhost");
        }
        if (!hub_config_init(init_dir, hosts, &error)) {
            fprintf(stderr, "grimby-hub: %s\n", error.c_str());
            return 1;
        }
        printf("Wrote %s/hub.json and a certificate for %s signed by the network's own CA; hand "
               "%s/ca.pem to member BBSes as their hub CA file (keep ca.key private), edit "
               "hub.json, then run grimby-hub --config %s/hub.json.\n",
               init_dir, hosts[0].c_str(), init_dir, init_dir);
        return 0;
    }
    HubConfig config;
    if (!hub_config_load(config_path, &config, &error)) {
        fprintf(stderr, "grimby-hub: %s\n", error.c_str());
        return 1;
    }
    if (port_file) config.port_file = port_file;
    umask(077);
    if (!hub_config_secure_database(config.database.c_str(), &error)) {
        fprintf(stderr, "grimby-hub: %s\n", error.c_str());
        return 1;
    }
    if (command) return Operate(config, command, target, since);
    return hub_serve(config);
}
