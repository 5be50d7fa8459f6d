/* hub_main.cpp -- grimby-hub's command line. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "hub_config.h"
#include "hub_db.h"
#include "hub_server.h"
#include "hub_text.h"

static int Usage()
{
    fprintf(stderr,
            "usage: grimby-hub --config FILE                 run the hub\n"
            "       grimby-hub --init DIR [--host NAME]      write a starter configuration\n"
            "       grimby-hub --config FILE --reset-bbs NAME release a BBS's enrollment\n");
    return 1;
}

int main(int argc, char **argv)
{
    const char *config_path = "/etc/grimby-hub/hub.json";
    const char *init_dir = nullptr;
    const char *host = nullptr;
    const char *reset = nullptr;
    const char *port_file = nullptr;
    for (int i = 1; i < argc; i++) {
        bool more = i + 1 < argc;
        if (strcmp(argv[i], "--config") == 0 && more) config_path = argv[++i];
        else if (strcmp(argv[i], "--init") == 0 && more) init_dir = argv[++i];
        else if (strcmp(argv[i], "--host") == 0 && more) host = argv[++i];
        else if (strcmp(argv[i], "--reset-bbs") == 0 && more) reset = argv[++i];
        else if (strcmp(argv[i], "--port-file") == 0 && more) port_file = argv[++i];
        else return Usage();
    }
    std::string error;
    if (init_dir) {
        char name[256] = "localhost";
        if (!host && gethostname(name, sizeof name - 1) == 0) host = name;
        if (!host || !*host) host = "localhost";
        if (!hub_config_init(init_dir, host, &error)) {
            fprintf(stderr, "grimby-hub: %s\n", error.c_str());
            return 1;
        }
        printf("Wrote %s/hub.json and a self-signed certificate for %s; edit the file, then run "
               "grimby-hub --config %s/hub.json.\n",
               init_dir, host, init_dir);
        return 0;
    }
    HubConfig config;
    if (!hub_config_load(config_path, &config, &error)) {
        fprintf(stderr, "grimby-hub: %s\n", error.c_str());
        return 1;
    }
    if (port_file) config.port_file = port_file;
    if (reset) {
        std::string name = hub_clean_name(reset, strlen(reset), HUB_NAME_MAX);
        HubDb *db = hub_db_open(config.database.c_str(), 900, &error);
        if (!db) {
            fprintf(stderr, "grimby-hub: cannot open the database %s: %s.\n",
                    config.database.c_str(), error.c_str());
            return 1;
        }
        int released = hub_db_reset_bbs(db, hub_name_key(name));
        hub_db_close(db);
        if (released < 0) {
            fprintf(stderr, "grimby-hub: the database refused the change.\n");
            return 1;
        }
        if (released == 0) {
            fprintf(stderr, "grimby-hub: no BBS named \"%s\" is enrolled.\n", name.c_str());
            return 1;
        }
        printf("Released \"%s\": the BBS can enroll again and gets a new secret.\n",
               name.c_str());
        return 0;
    }
    return hub_serve(config);
}
