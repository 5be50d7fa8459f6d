// Drop files: where the kit looks, which of several files wins, the node's
// DORINFO name, the directory variables, and the remembered absolute path.
#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ODInEx2.h"
#include "ODPlat.h"
#include "doorkit.h"
#include "dropfile_support.h"

namespace fs = std::filesystem;

namespace {

std::string Door32File(const std::string &name)
{
    return JoinLines({"2", "9", "38400", "BBS", "3", name, name, "10", "30", "1", "1"});
}

std::string DoorSysShort(const std::string &name)
{
    return JoinLines({name, "1", "9600", "30", "G"});
}

std::string DorinfoFile(const std::string &first)
{
    return JoinLines({"BBS", "SAM", "SYSOP", "COM1", "9600", "0", first, "DOE", "TOWN", "1", "10", "30"});
}

std::string ChainFile(const std::string &name)
{
    std::vector<std::string> lines(30, "0");
    lines[2] = name;
    return JoinLines(lines);
}

bool SamePath(const std::string &a, const std::string &b)
{
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

class DropSearch : public DropFileTest {};

TEST_F(DropSearch, NodeNamesTheDorinfoFile)
{
    struct {
        int node;
        const char *name;
    } cases[] = {{0, "dorinfo0.def"}, {1, "dorinfo1.def"}, {9, "dorinfo9.def"}, {10, "dorinfoA.def"},
                 {12, "dorinfoC.def"}, {35, "dorinfoZ.def"}, {36, "dorinfo1.def"}, {40, "dorinfo1.def"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.node);
        TestDir here;
        here.write(c.name, DorinfoFile("NODE"));
        od_control.node = (uint16_t)c.node;
        char path[ODDROP_PATH_SIZE];
        int index = -1;
        ASSERT_TRUE(ODSearchInDir(here.root().c_str(), path, sizeof path, &index));
        EXPECT_EQ(index, 1);
        EXPECT_STRCASEEQ(apszDropFileNames[1], c.name);
    }
}

TEST_F(DropSearch, NodeTwelveDoesNotTakeAnotherNodesDorinfo)
{
    Write("dorinfo1.def", DorinfoFile("ONE"));
    Write("dorinfo3.def", DorinfoFile("THREE"));
    od_control.node = 12;
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE);
    Write("DORINFOC.DEF", DorinfoFile("TWELVE"));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_STREQ(od_control.caller_name, "Twelve Doe");
}

TEST_F(DropSearch, NewestWinsButOnlyByMoreThanTenSeconds)
{
    std::string door = Write("door.sys", DoorSysShort("FROM DOORSYS"));
    std::string door32 = Write("door32.sys", Door32File("FROM DOOR32"));
    char path[ODDROP_PATH_SIZE];
    int index = -1;

    SetFileAge(door, 600);
    SetFileAge(door32, 60);
    ASSERT_TRUE(ODSearchInDir(".", path, sizeof path, &index));
    EXPECT_EQ(index, 11);
    EXPECT_TRUE(SamePath(path, door32));

    SetFileAge(door, 66); // door32.sys only 6 seconds newer: the earlier name stays
    ASSERT_TRUE(ODSearchInDir(".", path, sizeof path, &index));
    EXPECT_EQ(index, 4);
    EXPECT_TRUE(SamePath(path, door));

    SetFileAge(door, 30); // door.sys newer
    ASSERT_TRUE(ODSearchInDir(".", path, sizeof path, &index));
    EXPECT_EQ(index, 4);

    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_STREQ(od_control.caller_name, "From Doorsys");
}

TEST_F(DropSearch, ChainIsSkippedWhenDorinfoWasChosen)
{
    std::string dorinfo = Write("dorinfo1.def", DorinfoFile("DOR"));
    std::string chain = Write("chain.txt", ChainFile("CHAIN CALLER"));
    SetFileAge(dorinfo, 3600);
    SetFileAge(chain, 10 * 60);
    char path[ODDROP_PATH_SIZE];
    int index = -1;
    ASSERT_TRUE(ODSearchInDir(".", path, sizeof path, &index));
    EXPECT_EQ(index, 1);
    fs::remove(dorinfo);
    ASSERT_TRUE(ODSearchInDir(".", path, sizeof path, &index));
    EXPECT_EQ(index, 2);
}

TEST_F(DropSearch, LetterCaseOfTheFileNameDoesNotMatter)
{
    Write("DoOr32.SyS", Door32File("MIXED CASE"));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_STREQ(od_control.caller_name, "Mixed Case");
    EXPECT_TRUE(SamePath(szDropFilePath, dir.path("DoOr32.SyS")));
}

TEST_F(DropSearch, DropPathNamingAFileReadsThatFileInItsFormat)
{
    dir.mkdir("node7");
    Write("node7/DOOR32.SYS", Door32File("GIVEN FILE"));
    Write("door.sys", DoorSysShort("IN CWD"));
    SetDropPath(std::string("node7") + OD_PATH_SEP + "door32.sys");
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_STREQ(od_control.caller_name, "Given File");
}

TEST_F(DropSearch, DropPathDorinfoNameIsReadAsDorinfoWhateverTheNode)
{
    Write("DORINFO4.DEF", DorinfoFile("FOUR"));
    od_control.node = 1;
    SetDropPath("DORINFO4.DEF");
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DORINFO);
    EXPECT_STREQ(od_control.caller_name, "Four Doe");
}

TEST_F(DropSearch, DropPathDirectoryIsSearchedBeforeTheCurrentDirectory)
{
    dir.mkdir("node2");
    Write("node2/door.sys", DoorSysShort("NODE TWO"));
    Write("door.sys", DoorSysShort("IN CWD"));
    SetDropPath("node2");
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_STREQ(od_control.caller_name, "Node Two");

    // A name of no format falls through to the search.
    SetDropPath("nosuch.txt");
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_STREQ(od_control.caller_name, "In Cwd");
}

TEST_F(DropSearch, DirectoryVariablesInOrderAndTooLongValuesRefused)
{
    std::string quick = dir.mkdir("quick");
    std::string sbbs = dir.mkdir("sbbs");
    dir.write("sbbs/door32.sys", Door32File("SBBS NODE"));
    dir.write("quick/door.sys", DoorSysShort("QUICK NODE"));
    fs::current_path(dir.mkdir("empty"));

    SetEnvVar("RA", std::string(5000, 'x')); // would overrun any path buffer
    SetEnvVar("QUICK", quick);
    SetEnvVar("SBBSNODE", sbbs);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_STREQ(od_control.caller_name, "Quick Node");

    SetEnvVar("QUICK", quick + std::string(ODDROP_PATH_SIZE, 'q'));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_STREQ(od_control.caller_name, "Sbbs Node");

    UnsetEnvVar("SBBSNODE");
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE);
}

TEST_F(DropSearch, GetEnvCopiesOnlyWhatFits)
{
    char out[8];
    SetEnvVar("WCNODEID", "1234567");
    EXPECT_EQ(ODDropFileGetEnv("WCNODEID", out, sizeof out), 1);
    EXPECT_STREQ(out, "1234567");
    SetEnvVar("WCNODEID", "12345678");
    strcpy(out, "keep");
    EXPECT_EQ(ODDropFileGetEnv("WCNODEID", out, sizeof out), 0);
    EXPECT_STREQ(out, "keep");
    UnsetEnvVar("WCNODEID");
    EXPECT_EQ(ODDropFileGetEnv("WCNODEID", out, sizeof out), 0);
}

TEST_F(DropSearch, WriteBackReachesTheFileAfterTheDirectoryChanged)
{
    std::string original = JoinLines({"JANE DOE", "2", "2400", "30", "G"});
    std::string file = Write("door.sys", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_TRUE(SamePath(szDropFilePath, file));
    EXPECT_TRUE(SamePath(szExitinfoBBSPath, dir.root()));

    fs::current_path(dir.mkdir("elsewhere"));
    od_control.caller_time_left = 5;
    ASSERT_EQ(ODDropFileWriteBack(30, 0), 0);
    EXPECT_EQ(Read("door.sys"), JoinLines({"JANE DOE", "2", "2400", "5", "G"}));
    EXPECT_FALSE(dir.exists("elsewhere/door.sys"));
}

TEST_F(DropSearch, WriteBackToAVanishedDirectoryReportsFileNotOpened)
{
    dir.mkdir("gone");
    Write("gone/door.sys", DoorSysShort("X"));
    SetDropPath(std::string("gone") + OD_PATH_SEP + "door.sys");
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    fs::remove_all(dir.path("gone"));
    od_control.last_error = 0;
    EXPECT_EQ(ODDropFileWriteBack(30, 0), ODERR_FILEOPEN);
    EXPECT_EQ((int)od_control.last_error, ODERR_FILEOPEN);
}

TEST_F(DropSearch, NothingFoundIsNoDropFile)
{
    od_control.caller_time_left = 77;
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE);
    EXPECT_EQ((int)od_control.caller_time_left, 77);
    EXPECT_EQ(ODDropFileWriteBack(0, 0), 0);
}

} // namespace
