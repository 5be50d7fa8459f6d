// Formatted output with colour descriptions, and the colour-description
// reader on its own, including text no door would write on purpose.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODCore.h"
#include "ODInEx.h"
#include "ODScrn.h"

#include "test_output_caller.h"

#include <string>

namespace {

std::string LocalRow(int row)
{
    std::string text;
    for (int column = 0; column < OD_SCREEN_WIDTH; column++)
        text.push_back((char)(pScrnBuffer[(row - 1) * OD_SCREEN_WIDTH + column] & 0xFF));
    return text;
}

uint8_t LocalAttribute(int column, int row)
{
    return (uint8_t)(pScrnBuffer[(row - 1) * OD_SCREEN_WIDTH + column - 1] >> 8);
}

class PrintfTest : public ::testing::Test {
protected:
    OutputCaller caller;
    void SetUp() override { ASSERT_TRUE(caller.Start(ANSI)); }
    void TearDown() override { caller.Stop(); }
};

TEST_F(PrintfTest, AColourDescriptionBeforeText)
{
    EXPECT_EQ(od_printf("`bright red`Hi"), 1);
    EXPECT_EQ(caller.Take(), "\x1b[0;1;31;40mHi");
    EXPECT_EQ(LocalRow(1).substr(0, 3), "Hi ");
    EXPECT_EQ(LocalAttribute(1, 1), 0x0C);
    EXPECT_EQ(LocalAttribute(2, 1), 0x0C);
}

TEST_F(PrintfTest, AnUnclosedDescriptionIsAppliedAndEndsTheOutput)
{
    od_printf("Hi `red");
    EXPECT_EQ(caller.Take(), "Hi \x1b[0;31;40m");
    EXPECT_EQ(LocalRow(1).substr(0, 4), "Hi  ");
    EXPECT_EQ((int)od_control.current_attribute, 0x04);
}

TEST_F(PrintfTest, ADelimiterAtTheVeryEndChangesNothing)
{
    od_set_attrib(0x1E);
    caller.Take();
    od_printf("end`");
    EXPECT_EQ(caller.Take(), "end");
    EXPECT_EQ((int)od_control.current_attribute, 0x1E);
}

TEST_F(PrintfTest, SeveralDescriptionsAndFormatting)
{
    od_printf("`white on blue`%d`yellow`%s`grey`.", 42, "ab");
    EXPECT_EQ(caller.Take(), "\x1b[0;37;44m42\x1b[33;40mab\x1b[37m.");
    EXPECT_EQ(LocalAttribute(1, 1), 0x17);
    EXPECT_EQ(LocalAttribute(3, 1), 0x06) << "a description with one colour is on black";
    EXPECT_EQ(LocalAttribute(5, 1), 0x07);
}

TEST_F(PrintfTest, TextWithoutDescriptionsIsOneRun)
{
    od_printf("%s=%05d %c %x", "score", 314, 'Z', 255u);
    EXPECT_EQ(caller.Take(), "score=00314 Z ff");
}

TEST_F(PrintfTest, AnotherDelimiter)
{
    od_control.color_delimiter = '^';
    od_printf("a`b^green^c");
    EXPECT_EQ(caller.Take(), "a`b\x1b[0;32;40mc");
}

TEST_F(PrintfTest, AnEmptyDescriptionIsGrey)
{
    od_set_attrib(0x4E);
    caller.Take();
    od_printf("x``y");
    EXPECT_EQ(caller.Take(), "x\x1b[0;37;40my");
}

TEST_F(PrintfTest, ArgumentsThatLookLikeDescriptionsAreDescriptions)
{
    // Formatting happens first: a delimiter inside an argument counts.
    od_printf("%s", "`blue`x");
    EXPECT_EQ(caller.Take(), "\x1b[0;34;40mx");
}

TEST_F(PrintfTest, LongTextUsesTheHeapAndArrivesWhole)
{
    std::string big(100000, 'L');
    big[50000] = '\n';
    caller.StartReader(big.size() + 2);
    od_printf("[%s]", big.c_str());
    EXPECT_EQ(caller.JoinReader(), "[" + big + "]");
    // The kept buffer serves a short text afterwards too.
    od_printf("%s", "short");
    EXPECT_EQ(caller.Take(), "short");
    std::string bigger(1000000, 'M');
    std::string expected = bigger + "\x1b[0;31;40mtail";
    caller.StartReader(expected.size());
    od_printf("%s`red`%s", bigger.c_str(), "tail");
    EXPECT_EQ(caller.JoinReader(), expected);
}

TEST_F(PrintfTest, HostileDescriptionsNeverOverrun)
{
    std::string word(5000, 'Q');
    od_printf("a`%s`b", word.c_str());
    EXPECT_EQ(caller.Take(), "a\x1b[0;37;40mb") << "an unknown word is ignored: grey";
    std::string spaces(3000, ' ');
    od_printf("`%s\t\t%sbright%s`c", spaces.c_str(), spaces.c_str(), spaces.c_str());
    EXPECT_EQ(caller.Take(), "\x1b[1mc");
    od_printf("````````");
    od_printf("`\xff\x01\x7f`z");
    std::string taken = caller.Take();
    EXPECT_EQ(taken.back(), 'z');
    od_printf("%c`red`", 0);
    EXPECT_EQ(caller.Take(), std::string("\0\x1b[31m", 6)) << "a NUL in the text is text";
}

TEST_F(PrintfTest, NullFormatIsABadParameter)
{
    od_control.last_error = 0;
    EXPECT_EQ(od_printf(nullptr), 0);
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
}

TEST_F(PrintfTest, APlainCallerGetsTheTextWithoutColour)
{
    od_control.caller_ansi = 0;
    od_control.last_error = 0;
    od_printf("`red`warm `blue`cold");
    EXPECT_EQ(caller.Take(), "warm cold");
    EXPECT_EQ((int)od_control.last_error, ODERR_NOGRAPHICS);
}

// ---- colour descriptions ----

TEST_F(PrintfTest, ColourConfig)
{
    EXPECT_EQ(od_color_config("white on blue"), 0x17);
    EXPECT_EQ(od_color_config("grey flashing on red"), 0xC7);
    EXPECT_EQ(od_color_config(""), 0x07);
    EXPECT_EQ(od_color_config("nonsense"), 0x07);
    EXPECT_EQ(od_color_config("bright white on blue"), 0x1F);
    EXPECT_EQ(od_color_config("Bright Yellow ON Brown"), 0x6E);
    EXPECT_EQ(od_color_config("\tcyan\t\tmagenta  green "), 0x23) << "the last background wins";
    EXPECT_EQ(od_color_config("black"), 0x00);
    EXPECT_EQ(od_color_config("red`blue"), 0x07) << "without od_printf the delimiter is a letter";
    EXPECT_EQ(od_color_config(std::string(100, 'x').c_str()), 0x07);
    EXPECT_EQ(od_color_config(("red " + std::string(39, 'R')).c_str()), 0x04);
    od_control.last_error = 0;
    EXPECT_EQ(od_color_config(nullptr), 0x07);
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
}

TEST_F(PrintfTest, ColourWordsCanBeRenamed)
{
    strcpy(od_control.color_names[4], "ROUGE");
    strcpy(od_control.color_names[10], "Vif");
    EXPECT_EQ(od_color_config("vif rouge"), 0x0C);
    EXPECT_EQ(od_color_config("red"), 0x07);
    // An empty word falls back to the kit's own name.
    od_control.color_names[1][0] = '\0';
    EXPECT_EQ(od_color_config("blue"), 0x01);
    // A word that fills its slot without a terminator never matches and
    // is never read past.
    memset(od_control.color_names[2], 'G', sizeof od_control.color_names[2]);
    EXPECT_EQ(od_color_config(std::string(40, 'G').c_str()), 0x07);
}

} // namespace
