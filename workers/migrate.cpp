/* migrate.cpp -- GRIMBY-MIGRATE: brings a sync checkpoint written by an
 * earlier release to the current version, so an upgrade neither resends
 * the whole outbox nor skips what was never delivered. */
#include <stdio.h>
#include <string.h>

#include "workers.h"

#define MIGRATE_LOG "hub/migrate-error.log"

int main(int argc, char **)
{
    wk_os_start(WK_DEADLINE_MS);
    if (argc > 1) {
        wk_fail(MIGRATE_LOG, "GRIMBY-MIGRATE takes no options.");
        return 1;
    }
    wk_checkpoint checkpoint;
    char why[WK_SENTENCE];
    switch (wk_checkpoint_load(&checkpoint, why, sizeof why)) {
    case WK_CHECKPOINT_MISSING:
        printf("No sync checkpoint to convert.\n");
        return 0;
    case WK_CHECKPOINT_OK:
        printf("The sync checkpoint is already version %d; nothing to convert.\n", WK_CHECKPOINT_VERSION);
        return 0;
    case WK_CHECKPOINT_OLD:
        if (!wk_backup(WK_CHECKPOINT) || !wk_checkpoint_save(&checkpoint)) {
            wk_fail(MIGRATE_LOG, "The sync checkpoint could not be converted; it was left as it is.");
            return 1;
        }
        printf("The sync checkpoint was converted to version %d (the old one is kept as "
               WK_CHECKPOINT ".previous.N).\n", WK_CHECKPOINT_VERSION);
        return 0;
    default:
        wk_fail(MIGRATE_LOG, "%s", why);
        return 1;
    }
}
