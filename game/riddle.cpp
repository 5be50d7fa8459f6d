/* riddle.cpp -- the seal page: the riddle, its three options and the
 * caller's one answer. */
#include "riddle.h"
#include "online.h"
#include "run.h"
#include "run_links.h"
#include "scene.h"

void puzzle(void)
{
    int stage = (level >= 0 && level < 8) ? level : 0;
    if (puzzle_solved[stage]) {
        scene("THE SEAL HAS ALREADY BEEN BROKEN.");
        put(3, 12, 11, "No second reward from this lock.");
        waitc();
        return;
    }
    scene("A RUSTED SEAL BARS YOUR PATH.");
    char text[160];
    int answer = riddle_build(stage, season_index, seasons[season_index].name, text, sizeof text);
    prose(8, 14, text, 40);
    prose(12, 7, choices, 40);
    put(3, 16, 11, "CHOOSE 1 / 2 / 3");
    int key = screen_key();
    /* A caller who is gone gives no answer, so no wrong one either. */
    if (key == 0) return;
    if (key != 'Q' && key != 'q' && key != 27 && quit_requested) return;
    switch (riddle_answer(key, answer)) {
    case RIDDLE_QUIT:
        return;
    case RIDDLE_RIGHT:
        play("MFT155O4L16G>C<E");
        put(3, 17, 10, "SEAL BROKEN! +125 SCORE, +1 KEY.");
        play("MFT190O4L16CEG>C");
        break;
    default:
        put(3, 17, 12, "WRONG! THE GATE BITES. -12 SANITY.");
        play("MFT85O2L8C.P8C");
        break;
    }
    waitc();
}
