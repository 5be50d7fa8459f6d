/* scene.cpp -- the stage page, prose on the screen and the end effect.
 * Everything reaches the caller through the screen helpers and the door
 * kit's output calls. */
#include "scene.h"
#include "doorkit.h"
#include "online.h"
#include "run.h"
#include "run_links.h"

#include <stdio.h>
#include <string.h>

typedef struct {
    int row;      /* screen row of line 0 */
    int last_row; /* lines below this row are not drawn */
    int colour;
} ProseTarget;

static void prose_put(int line, const char *text, int length, void *context)
{
    const ProseTarget *target = (const ProseTarget *)context;
    int row = target->row + line;
    if (row > target->last_row) return;
    char buffer[256];
    if (length > (int)sizeof buffer - 1) length = (int)sizeof buffer - 1;
    memcpy(buffer, text, (size_t)length);
    buffer[length] = '\0';
    put(3, row, target->colour, buffer);
}

void prose(int row, int colour, const char *text, int width)
{
    ProseTarget target = {row, 20, colour};
    prose_wrap(text, width, prose_put, &target);
}

static int stage_index(void)
{
    return (level >= 0 && level < 8) ? level : (level < 0 ? 0 : 7);
}

void scene(const char *text)
{
    int stage = stage_index();
    int october = season_index == 9;
    header(places[stage]);
    int variant = stage < 5 ? 0 : 2;
    if (october) grimby_art(47, 4, variant);
    else seasonal_draw(47, variant);
    if (text) {
        /* Rows 5 to 7 are free on every page that shows a long line (a
         * stage's clue with the month's goal), so it is wrapped there
         * rather than cut off in the middle of a word. */
        ProseTarget target = {5, 7, 7};
        prose_wrap(text, 41, prose_put, &target);
    }
    bar(18, october ? "SANITY" : "HEALTH", hp, 10);
    bar(20, "STAMINA", energy, 11);
    char status[128];
    snprintf(status, sizeof status, "STAGE %d/8 SCORE %d %s %d KEYS %d CLUES %d", stage + 1, score,
             october ? "CANDY" : "TOKENS", coins, keys, clues);
    put(3, 22, 14, status);
}

void explosion(int defeated)
{
    int october = season_index == 9;
    play(defeated ? "MFT85O3L4C.P8<G.C" : "MFT145O4L8CDEFGAB>C");
    const char *title = defeated ? "THE ADVENTURE ENDS" : "THE FINAL SEAL BREAKS!";
    const char *line = !defeated ? "SOMEONE GET THE MARSHMALLOWS!"
                       : october ? "THE PUMPKINS HAVE YOUR KEYS NOW."
                                 : "THE GUARDIAN CLAIMS YOUR SEALS.";
    for (int f = 0; f < 12; f++) {
        if (!game_online()) break;
        header(title);
        int variant = f < 3 ? 2 : f < 8 ? 3 : 4;
        int column = (f < 3 ? f == 0 : f % 3 == 0) ? 28 : 27;
        if (october) grimby_art(column, 3, variant);
        else seasonal_draw_at(column, 3, variant);
        put(5, 22, (f & 1) ? 14 : 12, line);
        od_sleep((uint32_t)(115 + 15 * f));
    }
}
