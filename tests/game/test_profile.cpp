// Profiles: the file name from the caller's identity, colour codes, the
// plain handle, the coloured layout, the handle entry line, and the profile
// file read strictly and saved without ever leaving half a file.
#include <gtest/gtest.h>

#include <ctype.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <random>
#include <string>

#include "ODPlat.h"
#include "profile.h"
#include "storage.h"
#include "testdir.h"

namespace fs = std::filesystem;

namespace {

void reset_profile()
{
    strcpy(display_handle, "TRAVELER");
    strcpy(player, "TRAVELER");
    gender = 0;
    player_class = 0;
}

std::string plain(const char *handle)
{
    make_plain_handle(handle);
    return player;
}

// Each case in a fresh directory holding "data", as the game runs.
class ProfileFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char here[2048];
        ASSERT_EQ(ODDirGetCurrent(here, sizeof here), ODPLAT_OK);
        saved_ = here;
        ASSERT_EQ(ODDirChangeCurrent(dir_.root().c_str()), ODPLAT_OK);
        dir_.mkdir("data");
        reset_profile();
    }
    void TearDown() override { ODDirChangeCurrent(saved_.c_str()); }
    size_t files_in_data() const
    {
        size_t n = 0;
        for (auto &entry : fs::directory_iterator(dir_.path("data"))) (void)entry, n++;
        return n;
    }
    TestDir dir_;
    std::string saved_;
};

} // namespace

TEST(ProfileName, FnvOneAMatchesTheKnownVectors)
{
    EXPECT_EQ(profile_hash(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(profile_hash("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(profile_hash("foobar"), 0x85944171f73967e8ull);
    EXPECT_NE(profile_hash("A"), profile_hash("a"));
    // Bytes above 127 hash as themselves, not as negative chars.
    EXPECT_EQ(profile_hash("\xff"), (0xcbf29ce484222325ull ^ 0xffull) * 0x100000001b3ull);
}

TEST(ProfileName, PathHasSixteenLowerCaseDigitsWithLeadingZerosKept)
{
    ASSERT_EQ(profile_set_identity("17:Night Owl"), 1);
    char expected[64];
    snprintf(expected, sizeof expected, "data/profile-%016" PRIx64 ".tsv", profile_hash("17:Night Owl"));
    EXPECT_STREQ(profile_path, expected);

    // Find an identity whose hash starts with a zero digit.
    std::string identity;
    for (int i = 0; identity.empty(); i++) {
        std::string candidate = ":caller" + std::to_string(i);
        if (profile_hash(candidate.c_str()) >> 60 == 0) identity = candidate;
    }
    ASSERT_EQ(profile_set_identity(identity.c_str()), 1);
    EXPECT_EQ(strlen(profile_path), strlen("data/profile-0123456789abcdef.tsv"));
    EXPECT_EQ(profile_path[13], '0');
    for (int i = 13; i < 29; i++) EXPECT_TRUE(isxdigit((unsigned char)profile_path[i]) && !isupper((unsigned char)profile_path[i]));
}

TEST(ProfileName, IdentitiesOfAnyLengthAndNoneAtAll)
{
    std::string huge(1 << 20, 'z');
    ASSERT_EQ(profile_set_identity(huge.c_str()), 1);
    EXPECT_EQ(strlen(profile_path), 33u);
    ASSERT_EQ(profile_set_identity(":Local Sysop"), 1);
    std::string local = profile_path;
    ASSERT_EQ(profile_set_identity("Local Sysop"), 1);
    EXPECT_NE(local, profile_path);
    EXPECT_EQ(profile_set_identity(""), 0);
    EXPECT_STREQ(profile_path, "");
    EXPECT_EQ(profile_set_identity(nullptr), 0);
    EXPECT_STREQ(profile_path, "");
}

TEST(ColourCodes, OnlyABarAndTwoDigitsFromOneToFifteen)
{
    for (int n = 1; n <= 15; n++) {
        char code[8];
        snprintf(code, sizeof code, "|%02dX", n);
        EXPECT_EQ(handle_colour_code(code), n) << code;
    }
    for (const char *text : {"|00", "|16", "|99", "|1", "|", "|a1", "|1a", "01", " |01", "|-1", ""})
        EXPECT_EQ(handle_colour_code(text), 0) << text;
    EXPECT_EQ(handle_colour_code(nullptr), 0);
}

TEST(PlainHandle, CodesVanishAndStrayBarsAreDropped)
{
    EXPECT_EQ(plain("|04Nig|01ht|04Jar"), "NightJar");
    EXPECT_EQ(plain("a|99b"), "a99b");
    EXPECT_EQ(plain("|01|02|15"), "TRAVELER");
    EXPECT_EQ(plain("||||"), "TRAVELER");
    EXPECT_EQ(plain(""), "TRAVELER");
    EXPECT_EQ(plain(nullptr), "TRAVELER");
    EXPECT_EQ(plain("back\\slash"), "backslash");
    EXPECT_EQ(plain("|0"), "0");
}

TEST(PlainHandle, CutAtTwentyFourVisibleCharacters)
{
    EXPECT_EQ(plain("ABCDEFGHIJKLMNOPQRSTUVWXYZabcd"), "ABCDEFGHIJKLMNOPQRSTUVWX");
    // Codes do not count toward the 24.
    EXPECT_EQ(plain("|01AB|02CD|03EF|04GH|05IJ|06KL|07MN|08OP|09QR|10ST|11UV|12WX|13YZ"),
              "ABCDEFGHIJKLMNOPQRSTUVWX");
}

TEST(PlainHandle, ControlBytesAndBlanksNeverMakeAName)
{
    EXPECT_EQ(plain("\x1b[2J\x07\tGrim\r\n\x7f\xff"), "[2JGrim");
    EXPECT_EQ(plain("\x01\x02\x03"), "TRAVELER");
    EXPECT_EQ(plain("   "), "TRAVELER");
    EXPECT_EQ(plain("|04  |05 "), "TRAVELER");
    EXPECT_EQ(plain(" Ash "), " Ash ");
}

TEST(HandleLayout, ColoursAndColumnsOfTheExample)
{
    handle_run runs[HANDLE_RUNS_MAX];
    ASSERT_EQ(handle_layout(5, "|04Nig|01ht|04Jar", runs, HANDLE_RUNS_MAX), 3);
    EXPECT_EQ(runs[0].column, 5);
    EXPECT_EQ(runs[0].colour, 4);
    EXPECT_STREQ(runs[0].text, "Nig");
    EXPECT_EQ(runs[1].column, 8);
    EXPECT_EQ(runs[1].colour, 1);
    EXPECT_STREQ(runs[1].text, "ht");
    EXPECT_EQ(runs[2].column, 10);
    EXPECT_EQ(runs[2].colour, 4);
    EXPECT_STREQ(runs[2].text, "Jar");

    ASSERT_EQ(handle_layout(3, "a|99b", runs, HANDLE_RUNS_MAX), 1);
    EXPECT_EQ(runs[0].colour, 15); // white until a code says otherwise
    EXPECT_STREQ(runs[0].text, "a|99b");
}

TEST(HandleLayout, GapBeforeThePictureAndTheEdgesAreSkippedButCounted)
{
    handle_run runs[HANDLE_RUNS_MAX];
    ASSERT_EQ(handle_layout(42, "ABCDEFG", runs, HANDLE_RUNS_MAX), 2);
    EXPECT_EQ(runs[0].column, 42);
    EXPECT_STREQ(runs[0].text, "AB");
    EXPECT_EQ(runs[1].column, 47);
    EXPECT_STREQ(runs[1].text, "FG");

    ASSERT_EQ(handle_layout(70, "ABCDEFGHIJ", runs, HANDLE_RUNS_MAX), 1);
    EXPECT_STREQ(runs[0].text, "ABCDE"); // stops at column 75

    ASSERT_EQ(handle_layout(0, "XYZ", runs, HANDLE_RUNS_MAX), 1);
    EXPECT_EQ(runs[0].column, 1);
    EXPECT_STREQ(runs[0].text, "YZ");
    EXPECT_EQ(handle_layout(-300, "XYZ", runs, HANDLE_RUNS_MAX), 0);
    EXPECT_EQ(handle_layout(80, "XYZ", runs, HANDLE_RUNS_MAX), 0);
}

TEST(HandleLayout, HostileHandlesStayInsideTheirBuffers)
{
    handle_run runs[HANDLE_RUNS_MAX];
    std::string rainbow;
    for (int i = 0; i < 200; i++) rainbow += "|0" + std::to_string(1 + i % 9) + "x";
    int count = handle_layout(1, rainbow.c_str(), runs, HANDLE_RUNS_MAX);
    EXPECT_EQ(count, 74 - 3); // one run per drawn column, 1 to 74 less the gap
    EXPECT_EQ(handle_layout(1, rainbow.c_str(), runs, 2), 2);

    ASSERT_EQ(handle_layout(1, "\x1b[31mA\x07\x7f", runs, HANDLE_RUNS_MAX), 1);
    EXPECT_STREQ(runs[0].text, "[31mA"); // the escape byte never reaches the caller
    EXPECT_EQ(handle_layout(1, nullptr, runs, HANDLE_RUNS_MAX), 0);
    EXPECT_EQ(handle_layout(1, "A", runs, 0), 0);
}

TEST(HandleEntry, TypingEditingAndEnter)
{
    char entry[HANDLE_INPUT_MAX + 1] = "";
    const char *echo;
    EXPECT_EQ(handle_input_key(entry, 8, &echo), 0);
    EXPECT_EQ(echo, nullptr); // nothing to remove on an empty line
    EXPECT_EQ(handle_input_key(entry, 'G', &echo), 0);
    EXPECT_STREQ(echo, "G");
    handle_input_key(entry, '|', &echo);
    handle_input_key(entry, 'x', &echo);
    EXPECT_EQ(handle_input_key(entry, 127, &echo), 0);
    EXPECT_STREQ(echo, "\b \b");
    EXPECT_STREQ(entry, "G|");
    for (int key : {0, 7, 9, 27, 128, 200, 255}) {
        EXPECT_EQ(handle_input_key(entry, key, &echo), 0);
        EXPECT_EQ(echo, nullptr) << key;
    }
    EXPECT_STREQ(entry, "G|");
    EXPECT_EQ(handle_input_key(entry, '\r', &echo), 1);
    EXPECT_STREQ(echo, "\n\r");
    EXPECT_EQ(handle_input_key(entry, '\n', &echo), 1);
}

TEST(HandleEntry, FiftyFiveCharactersAtMost)
{
    char entry[HANDLE_INPUT_MAX + 1] = "";
    const char *echo;
    for (int i = 0; i < 70; i++) handle_input_key(entry, 'a' + i % 26, &echo);
    EXPECT_EQ(strlen(entry), 55u);
    EXPECT_EQ(echo, nullptr);
    handle_input_key(entry, 8, &echo);
    handle_input_key(entry, 'Z', &echo);
    EXPECT_STREQ(echo, "Z");
    EXPECT_EQ(entry[54], 'Z');
}

TEST(ProfileLine, TheWrittenFormParses)
{
    char handle[128];
    int g = -1, c = -1;
    ASSERT_EQ(profile_parse_line("|04Nig|01ht|04Jar\t1\t4", handle, sizeof handle, &g, &c), 1);
    EXPECT_STREQ(handle, "|04Nig|01ht|04Jar");
    EXPECT_EQ(g, 1);
    EXPECT_EQ(c, 4);
    ASSERT_EQ(profile_parse_line("Ash\t0\t0\r", handle, sizeof handle, &g, &c), 1); // CR LF file
    ASSERT_EQ(profile_parse_line(" spaced name \t0\t2 trailing", handle, sizeof handle, &g, &c), 1);
    EXPECT_STREQ(handle, " spaced name ");
    EXPECT_EQ(c, 2);
    std::string longest = std::string(127, 'L') + "\t0\t1";
    EXPECT_EQ(profile_parse_line(longest.c_str(), handle, sizeof handle, &g, &c), 1);
}

TEST(ProfileLine, InvalidLinesAreRefusedWithNothingWritten)
{
    const char *bad[] = {
        "Ash\t0\t5",          // class 5
        "Ash\t0\t-1",         // no class below 0
        "Ash\t2\t1",          // gender is 0 or 1
        "Ash\t0",             // missing class
        "Ash",                // no fields
        "\t0\t1",             // empty handle
        "Ash\tM\t1",          // not a number
        "Ash\t0\t99999999999999999999", // no overflow
        "A\x1b[2Jsh\t0\t1",   // control bytes in the handle
        "A\xffsh\t0\t1",      // nor bytes the dialogue never stores
        "",
    };
    for (const char *line : bad) {
        char handle[128] = "untouched";
        int g = 9, c = 9;
        EXPECT_EQ(profile_parse_line(line, handle, sizeof handle, &g, &c), 0) << line;
        EXPECT_STREQ(handle, "untouched");
        EXPECT_EQ(g, 9);
        EXPECT_EQ(c, 9);
    }
    char handle[128];
    int g, c;
    std::string too_long = std::string(128, 'L') + "\t0\t1";
    EXPECT_EQ(profile_parse_line(too_long.c_str(), handle, sizeof handle, &g, &c), 0);
    EXPECT_EQ(profile_parse_line("Ash\t0\t1", handle, 3, &g, &c), 0);
}

TEST_F(ProfileFiles, LoadSetsEverythingFromAValidFile)
{
    dir_.write("data/p.tsv", "|04Nig|01ht|04Jar\t1\t3\n");
    ASSERT_EQ(profile_load("data/p.tsv"), 1);
    EXPECT_STREQ(display_handle, "|04Nig|01ht|04Jar");
    EXPECT_STREQ(player, "NightJar");
    EXPECT_EQ(gender, 1);
    EXPECT_EQ(player_class, 3);
}

TEST_F(ProfileFiles, HostileFilesLoadAsNoProfileAndChangeNothing)
{
    std::mt19937 random(7);
    std::string binary(5000, '\0');
    for (char &ch : binary) ch = (char)(random() & 0xFF);
    const std::string files[] = {
        "",
        "\n",
        "Ash\t0\t5\n",
        std::string(10000, 'A') + "\t0\t1\n",      // no line feed within the buffer
        "Ash\t0\t" + std::string(5000, '1') + "\n",
        "bad\nAsh\t0\t1\n",                          // only the first line counts
        std::string("A\0sh\t0\t1\n", 9),
        binary,
    };
    for (const std::string &bytes : files) {
        dir_.write("data/p.tsv", bytes);
        EXPECT_EQ(profile_load("data/p.tsv"), 0);
        EXPECT_STREQ(display_handle, "TRAVELER");
        EXPECT_STREQ(player, "TRAVELER");
        EXPECT_EQ(gender, 0);
        EXPECT_EQ(player_class, 0);
    }
    EXPECT_EQ(profile_load("data/missing.tsv"), 0);
    dir_.mkdir("data/dir.tsv");
    EXPECT_EQ(profile_load("data/dir.tsv"), 0);
    EXPECT_EQ(profile_load(""), 0);
    EXPECT_EQ(profile_load(nullptr), 0);
}

TEST_F(ProfileFiles, AThirtyLetterHandleIsKeptWholeInTheFile)
{
    strcpy(display_handle, "|12ABCDEFGHIJKLMNOPQRSTUVWXYZabcd");
    gender = 1;
    player_class = 2;
    ASSERT_EQ(profile_save("data/p.tsv"), 1);
    EXPECT_EQ(dir_.read("data/p.tsv"), "|12ABCDEFGHIJKLMNOPQRSTUVWXYZabcd\t1\t2\n");
    reset_profile();
    ASSERT_EQ(profile_load("data/p.tsv"), 1);
    EXPECT_STREQ(display_handle, "|12ABCDEFGHIJKLMNOPQRSTUVWXYZabcd");
    EXPECT_STREQ(player, "ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_EQ(gender, 1);
    EXPECT_EQ(player_class, 2);
    EXPECT_EQ(files_in_data(), 1u); // no temporary file left behind
}

TEST_F(ProfileFiles, SaveReplacesTheOldProfile)
{
    dir_.write("data/p.tsv", "Old\t0\t0\n");
    strcpy(display_handle, "New");
    player_class = 4;
    ASSERT_EQ(profile_save("data/p.tsv"), 1);
    EXPECT_EQ(dir_.read("data/p.tsv"), "New\t0\t4\n");
    EXPECT_EQ(files_in_data(), 1u);
}

TEST_F(ProfileFiles, AProfileTheNextVisitWouldRefuseIsNeverWritten)
{
    dir_.write("data/p.tsv", "Old\t0\t0\n");
    player_class = 5;
    EXPECT_EQ(profile_save("data/p.tsv"), 0);
    player_class = 0;
    strcpy(display_handle, "Tab\tbed");
    EXPECT_EQ(profile_save("data/p.tsv"), 0);
    display_handle[0] = '\0';
    EXPECT_EQ(profile_save("data/p.tsv"), 0);
    EXPECT_EQ(dir_.read("data/p.tsv"), "Old\t0\t0\n");
    EXPECT_EQ(files_in_data(), 1u);
}

TEST_F(ProfileFiles, TheOldProfileSurvivesAFailedSave)
{
    dir_.write("data/p.tsv", "Old\t1\t1\n");
    char temp[256];
    ASSERT_EQ(profile_temp_path("data/p.tsv", temp, sizeof temp), 1);
    dir_.mkdir(temp); // the temporary name cannot be written
    strcpy(display_handle, "New");
    EXPECT_EQ(profile_save("data/p.tsv"), 0);
    EXPECT_EQ(dir_.read("data/p.tsv"), "Old\t1\t1\n");
}

TEST_F(ProfileFiles, AFailedMoveLeavesNoTemporaryFile)
{
    dir_.mkdir("data/p.tsv/inside"); // the profile's name is taken by a directory
    EXPECT_EQ(profile_save("data/p.tsv"), 0);
    EXPECT_TRUE(fs::is_directory(dir_.path("data/p.tsv/inside")));
    EXPECT_EQ(files_in_data(), 1u);
}

TEST_F(ProfileFiles, NoDataDirectoryNoSaveAndNoPathNoSave)
{
    EXPECT_EQ(profile_save("gone/p.tsv"), 0);
    EXPECT_EQ(profile_save(""), 0);
    EXPECT_EQ(profile_save(nullptr), 0);
    char tiny[8];
    EXPECT_EQ(profile_temp_path("data/p.tsv", tiny, sizeof tiny), 0);
}

TEST_F(ProfileFiles, TheSameIdentityAlwaysFindsItsProfile)
{
    ASSERT_EQ(profile_set_identity("17:Night Owl"), 1);
    strcpy(display_handle, "|09Owl");
    ASSERT_EQ(profile_save(profile_path), 1);
    reset_profile();
    ASSERT_EQ(profile_set_identity("17:Night Owl"), 1);
    ASSERT_EQ(profile_load(profile_path), 1);
    EXPECT_STREQ(player, "Owl");
    ASSERT_EQ(profile_set_identity("18:Night Owl"), 1);
    EXPECT_EQ(profile_load(profile_path), 0);
}
