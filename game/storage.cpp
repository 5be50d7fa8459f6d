/* storage.cpp -- the game's place on disk: the program's directory, "data",
 * the two settings of "grimby.json" and the directory write lock by which
 * the nodes of one BBS take turns writing to the shared data files. */
#include "storage.h"

#include "ODPlat.h"

#include <string.h>

int  storage_ok = 0;
int  interbbs_enabled = 0;
char bbs_name[64] = "Q-ORB ONLINE";

/* Depth of our own hold on the write lock: a writer that calls another
 * writer must not wait ten seconds for itself. */
static int nWriteLockDepth = 0;

void init_storage(void)
{
    char directory[2048];
    if (ODPlatProgramDirectory(directory, sizeof directory) == ODPLAT_OK && directory[0])
        storage_prepare(directory);
    else
        storage_prepare(nullptr); /* no program path: play from where we were started */
}

int storage_prepare(const char *directory)
{
    storage_ok = 0;
    if (directory && ODDirChangeCurrent(directory) != ODPLAT_OK) return 0;
    int made = storage_make_dir(STORAGE_DATA_DIR);
    if (made == STORAGE_DIR_FAILED) return 0;
    /* A file called "data" would make every later write fail one by one. */
    if (made == STORAGE_DIR_EXISTS && !storage_is_dir(STORAGE_DATA_DIR)) return 0;
    storage_ok = 1;
    return 1;
}

void load_config(void)
{
    FILE *file = fopen(STORAGE_CONFIG, "rb");
    if (!file) return;
    /* The settings sit near the top of a small file; a larger one is cut
     * here and whatever lies past the cut keeps its default. */
    char text[4096];
    size_t length = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[length] = '\0';
    config_scan(text);
}

static const char *config_skip_blanks(const char *p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    return p;
}

/* A minimal scan, not a parser: the sysop's file is small and written by
 * our own set-up steps. Every search stops at the text's terminator, so
 * binary, cut or unterminated input only ever leaves a default in place. */
void config_scan(const char *text)
{
    if (!text) return;

    const char *p = strstr(text, "\"score_sharing\"");
    if (p) p = strstr(p + strlen("\"score_sharing\""), "\"enabled\"");
    if (p) p = strchr(p + strlen("\"enabled\""), ':');
    if (p) {
        p = config_skip_blanks(p + 1);
        interbbs_enabled = strncmp(p, "true", 4) == 0 ? 1 : 0;
    }

    const char *q = strstr(text, "\"bbs_name\"");
    if (q) q = strchr(q + strlen("\"bbs_name\""), ':');
    if (q) q = strchr(q + 1, '"');
    if (!q) return;
    const char *start = q + 1;
    const char *end = strchr(start, '"');
    if (!end) return; /* unterminated value */
    size_t length = (size_t)(end - start);
    if (length == 0 || length >= sizeof bbs_name) return;
    /* The name goes into every header: no byte of it may steer the
     * caller's terminal. */
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)start[i];
        if (c < 32 || c == 127) return;
    }
    memcpy(bbs_name, start, length);
    bbs_name[length] = '\0';
}

int write_lock_take(void)
{
    if (nWriteLockDepth > 0) {
        nWriteLockDepth++;
        return 1;
    }
    for (int attempt = 1;; attempt++) {
        int made = storage_make_dir(STORAGE_WRITE_LOCK);
        if (made == STORAGE_DIR_CREATED) {
            nWriteLockDepth = 1;
            return 1;
        }
        if (made != STORAGE_DIR_EXISTS || attempt >= WRITE_LOCK_ATTEMPTS) return 0;
        ODPlatSleepMs(WRITE_LOCK_RETRY_MS);
    }
}

void write_lock_release(void)
{
    if (nWriteLockDepth == 0) return;
    if (--nWriteLockDepth > 0) return;
    /* A lock left behind blocks every node until the sysop removes it, so
     * a removal that fails for a moment (a scanner holding the directory
     * open on Windows) is tried again before giving up. */
    for (int attempt = 0; attempt < 5; attempt++) {
        if (storage_remove_dir(STORAGE_WRITE_LOCK)) return;
        ODPlatSleepMs(20);
    }
}

int write_lock_held(void)
{
    return nWriteLockDepth > 0;
}
