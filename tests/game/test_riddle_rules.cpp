// Riddles: October's fixed set and the other months' generated ones, where
// the right item must sit at the answer's position.
#include <gtest/gtest.h>

#include "riddle.h"
#include "run.h"

#include <string.h>
#include <string>

namespace {

const char *const kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};
const char *const kItems[8] = {"KEY", "MAP", "BELL", "MIRROR", "BOOK", "LANTERN", "COIN", "CLOCK"};

// The three option words of "[1] A [2] B [3] C".
std::string Option(int position)
{
    std::string line = choices;
    std::string tag = "[" + std::to_string(position) + "] ";
    size_t start = line.find(tag);
    if (start == std::string::npos) return "";
    start += tag.size();
    size_t end = line.find(" [", start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST(RiddleBuild, FebruaryFirstStage)
{
    char text[160];
    EXPECT_EQ(riddle_build(0, 1, "February", text, sizeof text), 3);
    EXPECT_STREQ(text, "February: I show the way but never travel.");
    EXPECT_STREQ(choices, "[1] BELL [2] MIRROR [3] MAP");
}

TEST(RiddleBuild, JanuaryFirstStage)
{
    char text[160];
    EXPECT_EQ(riddle_build(0, 0, "January", text, sizeof text), 1);
    EXPECT_STREQ(text, "January: I turn in a lock but have no engine.");
    EXPECT_STREQ(choices, "[1] KEY [2] BELL [3] MIRROR");
}

TEST(RiddleBuild, OctoberUsesItsOwnRiddles)
{
    char text[160];
    const char answers[] = "21231223";
    for (int s = 0; s < 8; s++) EXPECT_EQ(riddle_build(s, 9, "October", text, sizeof text), answers[s] - '0');
    riddle_build(7, 9, "October", text, sizeof text);
    EXPECT_STREQ(text, "Grimby's throne burns with a flame that has no heat.");
    EXPECT_STREQ(choices, "[1] SUNLIGHT  [2] MOONLIGHT  [3] GHOSTLIGHT");
}

TEST(RiddleBuild, EveryGeneratedAnswerNamesTheHintsItem)
{
    const char *hints[8] = {"engine", "travel", "mouth", "eyes", "covers", "dark", "eat", "sleep"};
    int positions[4] = {0};
    for (int m = 0; m < 12; m++) {
        if (m == 9) continue;
        for (int s = 0; s < 8; s++) {
            char text[160];
            int answer = riddle_build(s, m, kMonths[m], text, sizeof text);
            ASSERT_GE(answer, 1);
            ASSERT_LE(answer, 3);
            positions[answer]++;
            int j = (s + m) % 8;
            EXPECT_NE(strstr(text, hints[j]), nullptr) << text;
            EXPECT_EQ(strncmp(text, kMonths[m], strlen(kMonths[m])), 0);
            EXPECT_EQ(Option(answer), kItems[j]) << choices;
            EXPECT_NE(Option(1), Option(2));
            EXPECT_NE(Option(2), Option(3));
            EXPECT_NE(Option(1), Option(3));
        }
    }
    // The answer really moves around.
    EXPECT_GT(positions[1], 0);
    EXPECT_GT(positions[2], 0);
    EXPECT_GT(positions[3], 0);
}

TEST(RiddleBuild, OutOfRangeInputStaysInBounds)
{
    char text[8];
    int answer = riddle_build(99, -4, nullptr, text, sizeof text);
    EXPECT_GE(answer, 1);
    EXPECT_LE(answer, 3);
    EXPECT_LT(strlen(text), sizeof text);
}

TEST(RiddleAnswer, RightOncePerStage)
{
    run_reset(0);
    level = 4;
    EXPECT_EQ(riddle_answer('2', 2), RIDDLE_RIGHT);
    EXPECT_EQ(puzzle_solved[4], 1);
    EXPECT_EQ(clues, 1);
    EXPECT_EQ(keys, 1);
    EXPECT_EQ(score, 125);
    EXPECT_EQ(puzzle_solved[3] + puzzle_solved[5], 0);
}

TEST(RiddleAnswer, AnythingElseIsWrongButQuitLeaves)
{
    run_reset(0);
    EXPECT_EQ(riddle_answer('5', 1), RIDDLE_WRONG);
    EXPECT_EQ(hp, 88);
    EXPECT_EQ(riddle_answer('x', 1), RIDDLE_WRONG);
    EXPECT_EQ(hp, 76);
    EXPECT_EQ(puzzle_solved[0], 0);
    EXPECT_EQ(riddle_answer('q', 1), RIDDLE_QUIT);
    EXPECT_EQ(quit_requested, 1);
    EXPECT_EQ(hp, 76);
}

}  // namespace
