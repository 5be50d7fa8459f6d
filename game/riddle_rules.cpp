/* riddle_rules.cpp -- the riddles themselves: October's eight, and the
 * other months' riddles built from eight hints and eight items so that the
 * right answer moves between the three positions. */
#include "riddle.h"
#include "run.h"

#include <stdio.h>

char choices[100];

static const char *const october_riddles[8] = {
    "A face carved by hand, a heart made of fire.",
    "Two lights approach, yet no driver is there.",
    "The garage door demands the tool that turns bolts.",
    "Which way does the corn lean when there is no wind?",
    "The crypt inscription: what remains after flesh?",
    "The judge has no eyes, but watches from a post.",
    "The Rot King fears one thing that helps plants grow.",
    "Grimby's throne burns with a flame that has no heat.",
};

static const char *const october_options[8] = {
    "[1] MASK  [2] LANTERN  [3] MIRROR",
    "[1] GHOST CAR  [2] TRACTOR  [3] BICYCLE",
    "[1] HAMMER  [2] WRENCH  [3] SAW",
    "[1] TOWARD YOU  [2] NORTH  [3] AWAY",
    "[1] BONE  [2] CANDY  [3] ASH",
    "[1] CROW  [2] SCARECROW  [3] OWL",
    "[1] WATER  [2] SALT  [3] SOIL",
    "[1] SUNLIGHT  [2] MOONLIGHT  [3] GHOSTLIGHT",
};

static const char october_answers[] = "21231223";

static const char *const hints[8] = {
    "I turn in a lock but have no engine.",
    "I show the way but never travel.",
    "I have a voice but no mouth.",
    "I show your face but have no eyes.",
    "I carry stories between two covers.",
    "I carry a flame through the dark.",
    "I buy supplies but cannot eat.",
    "I count the hours but never sleep.",
};

static const char *const items[8] = {"KEY", "MAP", "BELL", "MIRROR", "BOOK", "LANTERN", "COIN", "CLOCK"};

int riddle_build(int stage, int month_index, const char *month_name, char *text, size_t text_size)
{
    stage = (stage >= 0 && stage < 8) ? stage : 0;
    if (month_index == 9) {
        snprintf(text, text_size, "%s", october_riddles[stage]);
        snprintf(choices, sizeof choices, "%s", october_options[stage]);
        return october_answers[stage] - '0';
    }
    int m = (month_index >= 0 && month_index < 12) ? month_index : 0;
    int j = (stage + m) % 8;
    int t = (m + j) % 3;
    /* The right item j sits at position t + 1; the others are its
     * neighbours in the item list. */
    static const int offsets[3][3] = {{0, 2, 3}, {1, 0, 3}, {1, 2, 0}};
    snprintf(text, text_size, "%s: %s", month_name ? month_name : "", hints[j]);
    snprintf(choices, sizeof choices, "[1] %s [2] %s [3] %s", items[(j + offsets[t][0]) % 8],
             items[(j + offsets[t][1]) % 8], items[(j + offsets[t][2]) % 8]);
    return t + 1;
}

int riddle_answer(int key, int answer)
{
    if (key == 'Q' || key == 'q' || key == 27) {
        quit_requested = 1;
        return RIDDLE_QUIT;
    }
    if (key == '0' + answer) {
        int stage = (level >= 0 && level < 8) ? level : 0;
        puzzle_solved[stage] = 1;
        clues += 1;
        keys += 1;
        score += 125;
        return RIDDLE_RIGHT;
    }
    hp -= 12;
    return RIDDLE_WRONG;
}
