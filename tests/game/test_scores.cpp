// Score tables: parsing hostile lines, the exchange ranking and its ties,
// the table cap, and the four bulletins byte for byte.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "scores.h"
#include "scores_io.h"
#include "test_scores_fixture.h"

namespace {

using ScoresTest = DoorDirTest;

std::string row(const std::string &date, const std::string &name, int score, int stage, int kind)
{
    return date + "\t" + name + "\t" + std::to_string(score) + "\t" + std::to_string(stage) + "\t" +
           std::to_string(kind) + "\n";
}

} // namespace

TEST(ScoreLine, TakesFiveFieldsAndRefusesEverythingElse)
{
    score_entry e;
    ASSERT_EQ(score_parse_line("20261006\tNightJar\t1234\t5\t0", &e), 1);
    EXPECT_STREQ(e.date, "20261006");
    EXPECT_STREQ(e.name, "NightJar");
    EXPECT_EQ(e.score, 1234);
    EXPECT_EQ(e.stage, 5);
    EXPECT_EQ(e.kind, 0);
    EXPECT_EQ(score_parse_line("20261006\tNightJar\t-7\t1\t1", &e), 1);
    EXPECT_EQ(e.score, -7);

    const char *bad[] = {
        "20261006\tNightJar\t1234\t5",            // a field missing
        "20261006\tNightJar\t1234\t5\t0\textra",  // one too many
        "\tNightJar\t1234\t5\t0",                 // empty date
        "20261006\t\t1234\t5\t0",                 // empty name
        "20261006\tNightJar\tmany\t5\t0",         // not a number
        "20261006\tNightJar\t12x\t5\t0",          // trailing junk
        "20261006\tNightJar\t99999999999\t5\t0",  // overflows an int
        "20261006\tNight\x1b[2JJar\t10\t5\t0",    // a terminal control in the name
        "",
    };
    for (const char *line : bad) EXPECT_EQ(score_parse_line(line, &e), 0) << line;
    std::string long_date(32, '2');
    EXPECT_EQ(score_parse_line((long_date + "\tA\t1\t1\t0").c_str(), &e), 0);
    std::string long_name(64, 'N');
    EXPECT_EQ(score_parse_line(("20261006\t" + long_name + "\t1\t1\t0").c_str(), &e), 0);
    EXPECT_EQ(score_parse_line(("20261006\t" + long_name.substr(1) + "\t1\t1\t0").c_str(), &e), 1);
}

TEST(ScoreRanking, TiesKeepTheExchangeOrder)
{
    score_entry e[3] = {};
    strcpy(e[0].name, "a");
    e[0].score = 10;
    strcpy(e[1].name, "b");
    e[1].score = 30;
    strcpy(e[2].name, "c");
    e[2].score = 30;
    rank_scores(e, 3);
    EXPECT_STREQ(e[0].name, "b");
    EXPECT_STREQ(e[1].name, "c");
    EXPECT_STREQ(e[2].name, "a");

    // Longer runs of ties: the same order as the exchange over whole entries.
    score_entry f[6] = {};
    int scores[6] = {5, 7, 7, 9, 7, 5};
    for (int i = 0; i < 6; i++) {
        f[i].score = scores[i];
        f[i].name[0] = (char)('a' + i);
    }
    score_entry g[6];
    memcpy(g, f, sizeof f);
    for (int i = 0; i + 1 < 6; i++)
        for (int j = i + 1; j < 6; j++)
            if (g[j].score > g[i].score) std::swap(g[i], g[j]);
    rank_scores(f, 6);
    for (int i = 0; i < 6; i++) EXPECT_EQ(f[i].name[0], g[i].name[0]) << i;
}

TEST_F(ScoresTest, MissingFileReadsAsEmpty)
{
    score_entry e[4];
    EXPECT_EQ(read_scores(e, 0), 0);
    EXPECT_EQ(read_scores(e, 1), 0);
}

TEST_F(ScoresTest, HostileLinesAreSkippedWithoutStoppingTheRead)
{
    std::string text = row("20261001", "first", 10, 1, 0);
    text += "20261001\tbroken\t10\n";                            // a field missing
    text += std::string(5000, 'x') + "\t1\t1\t1\t1\n";           // over-long
    text += std::string("2026\0x\tnul\t99\t1\t0\n", 18);         // a NUL byte
    text += std::string("\xff\xfe\x00\x01\n", 5);                 // binary
    text += row("20261002", "second", 20, 2, 0);
    text += "\n\n\r\n";
    text += "20261003\tthird\t30\t3\t0\r\n";                     // CR LF
    text += "20261004\tlast\t40\t4\t0";                          // no final line feed
    dir_.write("data/story.tsv", text);
    score_entry e[SCORE_TABLE_MAX];
    ASSERT_EQ(read_scores(e, 0), 4);
    EXPECT_STREQ(e[0].name, "last");
    EXPECT_STREQ(e[1].name, "third");
    EXPECT_STREQ(e[2].name, "second");
    EXPECT_STREQ(e[3].name, "first");
}

TEST_F(ScoresTest, AFullTableStillTakesANewRecord)
{
    std::string text;
    for (int i = 0; i < 600; i++) text += row("20261006", "p" + std::to_string(i), 1000 + i, 1, 0);
    text += row("20261007", "late-champion", 999999, 8, 0);
    text += row("20261007", "late-loser", 1, 1, 0);
    dir_.write("data/story.tsv", text);
    static score_entry e[SCORE_TABLE_MAX];
    ASSERT_EQ(read_scores(e, 0), SCORE_TABLE_MAX);
    EXPECT_STREQ(e[0].name, "late-champion");
    EXPECT_STREQ(e[1].name, "p599");
    // The table holds the best 512 results of the file: p89 .. p599 and the champion.
    EXPECT_EQ(e[SCORE_TABLE_MAX - 1].score, 1000 + 89);
    for (int i = 0; i < SCORE_TABLE_MAX; i++) EXPECT_STRNE(e[i].name, "late-loser");
}

TEST_F(ScoresTest, UpTo512LinesReadInFileOrderBeforeRanking)
{
    std::string text;
    for (int i = 0; i < SCORE_TABLE_MAX; i++) text += row("20261006", "n" + std::to_string(i), 7, 1, 0);
    dir_.write("data/story.tsv", text);
    static score_entry e[SCORE_TABLE_MAX];
    ASSERT_EQ(read_scores(e, 0), SCORE_TABLE_MAX);
    // All equal: no exchange happens and file order stands.
    for (int i = 0; i < SCORE_TABLE_MAX; i++) EXPECT_EQ(std::string(e[i].name), "n" + std::to_string(i));
}

TEST_F(ScoresTest, BulletinsAreExactToTheByte)
{
    std::string story = row("20261001", "a", 10, 2, 0) + row("20261001", "b", 30, 8, 0) +
                        row("20261002", "AVeryLongHandleOfThirtyLetters", 30, 3, 0);
    std::string daily = row("20261006", "NightJar", 1234, 5, 1) + row("20261006", "Crow", -5, 1, 1);
    dir_.write("data/story.tsv", story);
    dir_.write("data/daily.tsv", daily);
    dir_.write("highscores.ans", "an old bulletin that must be replaced whole, not overwritten in place");
    ASSERT_EQ(export_scores(), 1);

    EXPECT_EQ(read("highscores.ans"),
              "\x1b[1;36mHARVESTFALL - HALL OF HORRORS\x1b[0m\r\n"
              "\x1b[1;33m 1. b                       \x1b[0m       30 STAGE 8\r\n"
              "\x1b[1;33m 2. AVeryLongHandleOfThirtyL\x1b[0m       30 STAGE 3\r\n"
              "\x1b[1;33m 3. a                       \x1b[0m       10 STAGE 2\r\n");
    std::string nl = "\n";
#ifdef _WIN32
    nl = "\r\n"; // written in text mode: the BBS's own line ends
#endif
    EXPECT_EQ(read("highscores.asc"), "HARVESTFALL - HALL OF HORRORS" + nl +
                                          " 1. b                              30 STAGE 8" + nl +
                                          " 2. AVeryLongHandleOfThirtyL       30 STAGE 3" + nl +
                                          " 3. a                              10 STAGE 2" + nl);
    EXPECT_EQ(read("daily-highscores.ans"),
              "\x1b[1;35mGRIMBY - DAILY NIGHTMARE TOP SCORES\x1b[0m\r\n"
              "\x1b[1;33m 1. NightJar                \x1b[0m     1234\r\n"
              "\x1b[1;33m 2. Crow                    \x1b[0m       -5\r\n");
    EXPECT_EQ(read("daily-highscores.asc"), "GRIMBY - DAILY NIGHTMARE TOP SCORES" + nl +
                                                " 1. NightJar                     1234" + nl +
                                                " 2. Crow                           -5" + nl);
    // No temporary file is left beside them.
    EXPECT_FALSE(exists("highscores.ans.tmp"));
    EXPECT_FALSE(exists("daily-highscores.asc.tmp"));
}

TEST_F(ScoresTest, BulletinsHoldTwentyRanksAndTitlesAlone)
{
    ASSERT_EQ(export_scores(), 1); // no tables yet: the titles alone
    EXPECT_EQ(read("highscores.ans"), "\x1b[1;36mHARVESTFALL - HALL OF HORRORS\x1b[0m\r\n");
    std::string text;
    for (int i = 0; i < 30; i++) text += row("20261006", "n" + std::to_string(i), i, 1, 1);
    dir_.write("data/daily.tsv", text);
    ASSERT_EQ(export_scores(), 1);
    std::string ansi = read("daily-highscores.ans");
    size_t rows = 0;
    for (size_t p = 0; (p = ansi.find("\r\n", p)) != std::string::npos; p += 2) rows++;
    EXPECT_EQ(rows, 21u);
    EXPECT_NE(ansi.find("20. n10 "), std::string::npos);
    EXPECT_EQ(ansi.find("n9 "), std::string::npos);
}

TEST_F(ScoresTest, AFailedExportKeepsThePreviousBulletinsWhole)
{
    dir_.write("data/story.tsv", row("20261001", "a", 10, 2, 0));
    ASSERT_EQ(export_scores(), 1);
    std::string before_ans = read("highscores.ans");
    std::string before_asc = read("highscores.asc");
    // The new text bulletin cannot be written: its temporary name is taken.
    dir_.mkdir("highscores.asc.tmp");
    dir_.write("data/story.tsv", row("20261001", "a", 10, 2, 0) + row("20261002", "b", 99, 8, 0));
    EXPECT_EQ(export_scores(), 0);
    EXPECT_EQ(read("highscores.ans"), before_ans);
    EXPECT_EQ(read("highscores.asc"), before_asc);
    EXPECT_FALSE(exists("highscores.ans.tmp"));
    // The daily pair is still brought up to date.
    EXPECT_TRUE(exists("daily-highscores.ans"));
}

TEST_F(ScoresTest, ReaderSurvivesLinesAcrossItsBufferEdges)
{
    // Lines of every length around the reader's 8 KiB buffer edge.
    std::string text;
    int expected = 0;
    for (int i = 0; text.size() < 40000; i++) {
        std::string name = "p" + std::string((size_t)(i % 50), 'x');
        text += row("20261006", name, i, 1, 0);
        expected++;
    }
    dir_.write("data/story.tsv", text);
    FILE *in = fopen("data/story.tsv", "rb");
    ASSERT_NE(in, nullptr);
    tsv_reader reader;
    tsv_open(&reader, in);
    char line[TSV_LINE_MAX];
    int count = 0, status;
    score_entry e;
    while ((status = tsv_next(&reader, line, sizeof line)) != TSV_END) {
        ASSERT_EQ(status, TSV_LINE);
        ASSERT_EQ(score_parse_line(line, &e), 1) << line;
        EXPECT_EQ(e.score, count);
        count++;
    }
    fclose(in);
    EXPECT_EQ(count, expected);
}
