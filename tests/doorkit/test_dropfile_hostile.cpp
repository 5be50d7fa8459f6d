// Hostile and broken drop files: truncated, oversized, binary, random.
// None may crash the kit; a refused file changes nothing and nothing is
// written back from it.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "ODInEx2.h"
#include "ODPlat.h"
#include "doorkit.h"
#include "dropfile_support.h"

namespace {

struct Format {
    const char *name;
    size_t required; // lines a file must have
    const char *first_line;
};

const Format kFormats[] = {
    {"dorinfo1.def", 12, "BBS"}, {"chain.txt", 30, "1"},    {"sfdoors.dat", 32, "1"}, {"door.sys", 31, "COM1:"},
    {"callinfo.bbs", 31, "X"},   {"tribbs.sys", 20, "1"},   {"door32.sys", 11, "1"},
};

std::string Lines(const Format &f, size_t count, const std::string &end = "\r\n")
{
    std::string out;
    for (size_t i = 0; i < count; i++) out += std::string(i == 0 ? f.first_line : "1") + end;
    return out;
}

std::string RandomBytes(size_t size, uint32_t seed, bool allow_nul)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245u + 12345u;
        unsigned char b = (unsigned char)(seed >> 16);
        if (!allow_nul && b == 0) b = '\n';
        out[i] = (char)b;
    }
    return out;
}

class Hostile : public DropFileTest {
protected:
    // Reads expecting refusal: od_control unchanged, nothing to write back.
    void ExpectRefused(const std::string &name)
    {
        ODControl before = od_control;
        std::string bytes = Read(name);
        EXPECT_EQ(ODDropFileRead(), ODDROP_NONE) << name;
        EXPECT_EQ(memcmp(&before, &od_control, sizeof od_control), 0) << name << " changed od_control";
        EXPECT_EQ(ODDropFileWriteBack(60, 1), 0);
        EXPECT_EQ(Read(name), bytes);
    }
};

TEST_F(Hostile, TruncatedFilesAreNoDropFile)
{
    for (const Format &f : kFormats) {
        SCOPED_TRACE(f.name);
        TestDir here;
        std::string path = here.write(f.name, "");
        for (size_t count = 0; count < f.required; count++) {
            here.write(f.name, Lines(f, count));
            memset(&od_control, 0, sizeof od_control);
            od_control.node = 1;
            ODControl before = od_control;
            EXPECT_EQ(ODDropFileReadPath(path.c_str()), ODDROP_NONE) << count << " lines";
            EXPECT_EQ(memcmp(&before, &od_control, sizeof od_control), 0);
        }
        // Complete, and complete without a final line end.
        here.write(f.name, Lines(f, f.required));
        EXPECT_EQ(ODDropFileReadPath(path.c_str()), ODDROP_OK);
        std::string cut = Lines(f, f.required);
        here.write(f.name, cut.substr(0, cut.size() - 2));
        EXPECT_EQ(ODDropFileReadPath(path.c_str()), ODDROP_OK);
        ODDropFileRelease();
    }
}

TEST_F(Hostile, BinaryFilesAreRefused)
{
    for (const Format &f : kFormats) {
        SCOPED_TRACE(f.name);
        std::string bytes = Lines(f, f.required + 5);
        bytes[bytes.size() / 2] = '\0';
        Write(f.name, bytes);
        ExpectRefused(f.name);
        std::remove(dir.path(f.name).c_str());
    }
}

TEST_F(Hostile, AMebibyteLineIsRefused)
{
    Write("door.sys", "COM1:\r\n" + std::string(1 << 20, 'A') + "\r\n" + Lines(kFormats[3], 40));
    ExpectRefused("door.sys");
    Write("door.sys", std::string(1 << 20, '\n'));
    ExpectRefused("door.sys");
}

TEST_F(Hostile, LongLinesWithinTheLimitAreCutInFieldsAndKeptWhole)
{
    std::string name(20000, 'Z');
    std::string bytes = "COM1:\r\n";
    for (int i = 2; i <= 31; i++) bytes += (i == 10 ? name : (i == 6 ? std::string(3000, 'Y') : "1")) + "\r\n";
    Write("door.sys", bytes);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ(strlen(od_control.caller_name), 35u);
    EXPECT_EQ(strlen(apszDropFileInfo[3]), 3002u);
    ASSERT_EQ(ODDropFileWriteBack(1, 0), 0);
    EXPECT_EQ(Read("door.sys"), bytes);
}

TEST_F(Hostile, RandomFilesNeverCrashTheReaderOrTheWriteBack)
{
    for (const Format &f : kFormats) {
        for (uint32_t seed = 1; seed <= 25; seed++) {
            SCOPED_TRACE(std::string(f.name) + " seed " + std::to_string(seed));
            std::string bytes = RandomBytes(64 + seed * 97, seed, seed % 5 == 0);
            if (seed % 3 == 0) bytes = std::string(f.first_line) + "\r\n" + bytes;
            TestDir here;
            std::string path = here.write(f.name, bytes);
            memset(&od_control, 0, sizeof od_control);
            od_control.node = 1;
            int result = ODDropFileReadPath(path.c_str());
            EXPECT_TRUE(result == ODDROP_OK || result == ODDROP_NONE || result == ODDROP_BADHANDLE);
            EXPECT_LT(strlen(od_control.caller_name), sizeof od_control.caller_name);
            if (result != ODDROP_NONE) {
                ASSERT_EQ(ODDropFileWriteBack(30, 1), 0);
                EXPECT_EQ(here.read(f.name), bytes) << "an unchanged session changed the file";
            }
            ODDropFileRelease();
        }
    }
}

TEST_F(Hostile, RandomExitInfoRecordsOfEverySize)
{
    Write("dorinfo1.def", Lines(kFormats[0], 12));
    for (size_t size : {0u, 1u, 451u, 452u, 475u, 476u, 477u, 643u, 644u, 645u, 901u, 902u, 903u, 1492u, 1493u,
                        1494u, 2362u, 2363u, 2364u, 70000u}) {
        SCOPED_TRACE(size);
        std::string record = RandomBytes(size, (uint32_t)size + 3, true);
        Write("exitinfo.bbs", record);
        memset(&od_control, 0, sizeof od_control);
        od_control.node = 1;
        ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
        EXPECT_EQ((int)od_control.extended_info, size > 451 ? 1 : 0);
        EXPECT_LT(strnlen(od_control.caller_name, sizeof od_control.caller_name), sizeof od_control.caller_name);
        EXPECT_LT(strnlen(od_control.caller_location, sizeof od_control.caller_location),
                  sizeof od_control.caller_location);
        EXPECT_LT(strnlen(od_control.caller_password, sizeof od_control.caller_password),
                  sizeof od_control.caller_password);
        EXPECT_LT(strnlen(od_control.caller_comment, sizeof od_control.caller_comment),
                  sizeof od_control.caller_comment);
        EXPECT_LT(strnlen(od_control.chat_reason, sizeof od_control.chat_reason), sizeof od_control.chat_reason);
        ASSERT_EQ(ODDropFileWriteBack(30, 0), 0);
        EXPECT_EQ(Read("exitinfo.bbs"), record);
        ODDropFileRelease();
    }
}

TEST_F(Hostile, DirectoryNamedLikeADropFileIsNotOne)
{
    dir.mkdir("door.sys");
    dir.mkdir("DOOR32.SYS");
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE);
    SetDropPath("door.sys");
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE);
}

TEST_F(Hostile, UnterminatedOrWildcardDropPathIsIgnored)
{
    Write("door32.sys", Lines(kFormats[6], 11));
    memset(od_control.drop_path, 'a', sizeof od_control.drop_path); // no NUL at all
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DOOR32);

    Write("x1door.sys", Lines(kFormats[3], 31));
    SetDropPath("*door.sys");
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DOOR32); // found by the search, not the pattern
}

TEST_F(Hostile, UnreadableChoiceIsNoDropFileNotAnother)
{
    // The search picks the newest file; when that one is broken the session
    // has no drop file rather than an older caller's.
    std::string old_file = Write("door32.sys", Lines(kFormats[6], 11));
    std::string broken = Write("tribbs.sys", "1\r\n2\r\n");
    SetFileAge(old_file, 3600);
    SetFileAge(broken, 60);
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE);
}

} // namespace
