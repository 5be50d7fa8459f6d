// The prose word-wrap: which characters land on which line.
#include <gtest/gtest.h>

#include "scene.h"

#include <map>
#include <string>

namespace {

struct Lines {
    std::map<int, std::string> rows;
    int count = 0;
};

void Collect(int line, const char *text, int length, void *context)
{
    Lines *lines = static_cast<Lines *>(context);
    EXPECT_EQ(lines->rows.count(line), 0u) << "line " << line << " emitted twice";
    lines->rows[line] = std::string(text, (size_t)length);
}

Lines Wrap(const char *text, int width)
{
    Lines lines;
    lines.count = prose_wrap(text, width, Collect, &lines);
    return lines;
}

TEST(ProseWrap, WordsJoinBySingleBlanksWithinTheWidth)
{
    Lines l = Wrap("  The town   clock stopped at midnight. ", 16);
    EXPECT_EQ(l.count, 3);
    EXPECT_EQ(l.rows[0], "The town clock");
    EXPECT_EQ(l.rows[1], "stopped at");
    EXPECT_EQ(l.rows[2], "midnight.");
}

TEST(ProseWrap, AWordThatFillsTheLineExactlyStaysOnIt)
{
    Lines l = Wrap("abcd efgh ij", 9);
    EXPECT_EQ(l.rows[0], "abcd efgh");
    EXPECT_EQ(l.rows[1], "ij");
}

TEST(ProseWrap, HundredTwentyCharactersAtThirtyNineFillFourRowsAtMost)
{
    std::string text;
    while (text.size() < 120) text += "harvest ";
    text.resize(120);
    Lines l = Wrap(text.c_str(), 39);
    EXPECT_LE(l.count, 4);
    for (auto &row : l.rows) EXPECT_LE(row.second.size(), 39u);
}

TEST(ProseWrap, ALongWordIsCutIntoLinesOfTheWidth)
{
    std::string word(90, 'x');
    Lines l = Wrap(word.c_str(), 40);
    EXPECT_EQ(l.count, 3);
    EXPECT_EQ(l.rows[0].size(), 40u);
    EXPECT_EQ(l.rows[1].size(), 40u);
    EXPECT_EQ(l.rows[2].size(), 10u);

    // After text, the long word starts a line of its own; its remainder
    // takes the next words along.
    std::string text = "go " + std::string(12, 'y') + " on";
    l = Wrap(text.c_str(), 5);
    EXPECT_EQ(l.rows[0], "go");
    EXPECT_EQ(l.rows[1], "yyyyy");
    EXPECT_EQ(l.rows[2], "yyyyy");
    EXPECT_EQ(l.rows[3], "yy on");
    EXPECT_EQ(l.count, 4);
}

TEST(ProseWrap, LineFeedsEndLinesAndTwoLeaveAnEmptyRow)
{
    Lines l = Wrap("one\ntwo\n\nfour", 40);
    EXPECT_EQ(l.count, 4);
    EXPECT_EQ(l.rows[0], "one");
    EXPECT_EQ(l.rows[1], "two");
    EXPECT_EQ(l.rows.count(2), 0u);
    EXPECT_EQ(l.rows[3], "four");

    l = Wrap("\nlate", 40);
    EXPECT_EQ(l.rows.count(0), 0u);
    EXPECT_EQ(l.rows[1], "late");
}

TEST(ProseWrap, BlanksNeverStartALine)
{
    Lines l = Wrap("aaaa      bbbb", 4);
    EXPECT_EQ(l.rows[0], "aaaa");
    EXPECT_EQ(l.rows[1], "bbbb");
    l = Wrap("x\n   y", 10);
    EXPECT_EQ(l.rows[1], "y");
}

TEST(ProseWrap, NothingToDrawForNoTextOrNoWidth)
{
    EXPECT_EQ(Wrap(nullptr, 40).count, 0);
    EXPECT_EQ(Wrap("", 40).count, 0);
    EXPECT_EQ(Wrap("   ", 40).count, 0);
    EXPECT_EQ(Wrap("text", 0).count, 0);
    EXPECT_EQ(Wrap("text", -3).count, 0);
    EXPECT_EQ(prose_wrap("counted only", 7, nullptr, nullptr), 2);
}

TEST(ProseWrap, HugeWidthsAreHeldToTheLineBuffer)
{
    std::string text(600, 'z');
    Lines l = Wrap(text.c_str(), 100000);
    for (auto &row : l.rows) EXPECT_LE(row.second.size(), 255u);
    size_t total = 0;
    for (auto &row : l.rows) total += row.second.size();
    EXPECT_EQ(total, 600u);
}

}  // namespace
