/* setup_table.cpp -- the release as the installer carries it: entry i is
 * resource 2000 + i. The build embeds the files in this order
 * (setup/release_files.cmake lists the same paths), and update mode
 * installs and rolls back by index. */
#include "setup.h"

const setup_file setup_files[SETUP_FILE_COUNT] = {
    {"GRIMBY.exe", 0},
    {"grimby.json", 1},
    {"README.md", 0},
    {"FILE_ID.DIZ", 0},
    {"hub\\sync.example.json", 0},
    {"hub\\GRIMBY-SYNC.exe", 0},
    {"hub\\GRIMBY-MIGRATE.exe", 0},
    {"docs\\AUTO-SYNC.txt", 0},
    {"docs\\BUILD-MATRIX.txt", 0},
    {"docs\\ENROLLMENT-DEPLOYMENT.txt", 0},
    {"docs\\INSTALL-MULTIUSER.txt", 0},
    {"docs\\INSTALL.txt", 0},
    {"docs\\INSTALLER-FAQ.txt", 0},
    {"docs\\PLAYING.txt", 0},
    {"docs\\SCORE-HUB.txt", 0},
    {"docs\\SOUND.txt", 0},
    {"docs\\STATUS.txt", 0},
    {"docs\\TEST-PLAN.txt", 0},
    {"docs\\UPDATING.txt", 0},
    {"docs\\WINDOWS-7-NATIVE.txt", 0},
    {"GRIMBY-CONFIG.exe", 0},
    {"docs\\RELEASE-VALIDATION.txt", 0},
    {"docs\\DOORKIT-LICENSE.txt", 0},
    {"docs\\SHARED-CHAT.txt", 0},
    {"docs\\SEASONS.txt", 0},
    {"docs\\ONLINE-UPDATES.txt", 0},
    {"GRIMBY-UPDATE.exe", 1},
    {"release.version", 0},
};
