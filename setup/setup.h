/* setup.h -- GRIMBY-SETUP's engine: the release table it carries as
 * resources, the one routine that puts an embedded file in place, and the
 * update mode the online updater starts. Windows only. */
#ifndef SETUP_H
#define SETUP_H

#include <stddef.h>

#define SETUP_FILE_COUNT    28
#define SETUP_RESOURCE_BASE 2000
#define SETUP_PATH_MAX      259 /* longest full path, in characters */
#define SETUP_ERROR_SIZE    512 /* every error buffer handed to the engine */
#define SETUP_UPDATE_DIR_MAX 160

struct setup_file {
    const char *path; /* relative to the installation directory, '\' separated */
    int preserve;     /* installed only when absent; never replaced or rolled back */
};
extern const setup_file setup_files[SETUP_FILE_COUNT];

/* Creates a directory and its missing parents: 1, or 0 with the system's
 * error code left for GetLastError. */
int ensure_dir(const char *path);

/* Puts entry index in place under dir: 1 when installed, already identical
 * or preserved; 0 with one sentence in error (SETUP_ERROR_SIZE bytes). A
 * failure leaves the target as it was and no temporary file behind. */
int install_file(const char *dir, int index, char *error);

/* The name of the backup install_file made of entry index during this
 * process ("" when none): update mode removes it again on rollback. */
const char *setup_backup_made(int index);

/* Update mode: args is what follows "--update " on the command line. The
 * process's exit code: 0 when every file was installed, 1 otherwise. */
int setup_update(const char *args);

/* 1 when dir's grimby.json is byte-identical to the one this release
 * carries: a new installation that stopped before configuring. */
int setup_config_is_default(const char *dir);

/* Shows one message box; test builds can capture it instead. */
int setup_message(void *owner, const char *text, const char *caption, unsigned type);

#ifdef GRIMBY_SETUP_TEST_HOOKS
/* Test builds only: takes every message box's text instead of showing it,
 * and is told before update mode installs each entry (a test injects its
 * fault there). A before_install that returns 0 fails that entry with the
 * message it wrote. */
extern int (*setup_message_hook)(const char *text, const char *caption, unsigned type);
extern int (*setup_before_install_hook)(const char *dir, int index, char *error);
#endif

#endif
