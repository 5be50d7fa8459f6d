// The BBSDev drop file: every validation rule, accepted and rejected, and
// what an accepted file sets. A rejected file changes nothing.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "ODInEx2.h"
#include "ODPlat.h"
#include "doorkit.h"
#include "dropfile_support.h"

namespace {

using Lines = std::vector<std::string>;

Lines Valid()
{
    return {"1.0",        "socket", "5",        "Jane Doe",  "user-1234", "80",     "25",
            "Y",          "N",      "1.2.3",    "2030-01-01T00:00:00Z",   "UTF-8",  "en-US",
            "anything",   "The Castle", "Sysop Sam", "100", "3", "Y"};
}

class BBSDev : public DropFileTest {
protected:
    // Writes the lines (LF) and reads them; true when accepted.
    bool Accepts(const Lines &lines, const std::string &end = "\n")
    {
        return AcceptsBytes(JoinLines(lines, end));
    }
    bool AcceptsBytes(const std::string &bytes)
    {
        std::string path = Write("BBSDEV.DRP", bytes);
        ODDropFileRelease();
        memset(&od_control, 0, sizeof od_control);
        ODControl before = od_control;
        int accepted = ODInitReadBBSDevDropFile(path.c_str());
        if (!accepted) {
            EXPECT_EQ(memcmp(&before, &od_control, sizeof od_control), 0) << "a rejected file changed od_control";
            EXPECT_EQ(bBBSDevSession, 0);
        }
        return accepted == 1;
    }
};

TEST_F(BBSDev, AcceptedFileFillsTheSession)
{
    ASSERT_TRUE(Accepts(Valid()));
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_BBSDEV);
    EXPECT_EQ(bBBSDevSession, 1);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 1u);
    EXPECT_EQ((uint64_t)od_control.handle_is_socket, 1u);
    EXPECT_EQ((uint64_t)od_control.open_handle, 5u);
    EXPECT_EQ(bBBSDevOpenHandleSet, 1);
    EXPECT_EQ(nBBSDevComMethod, 5);
    EXPECT_EQ(bTelnetSocket, 1);
    EXPECT_EQ((uint64_t)od_control.force_local, 0u);
    EXPECT_STREQ(od_control.caller_name, "Jane Doe");
    EXPECT_STREQ(od_control.caller_handle, "Jane Doe");
    ASSERT_NE(pszBBSDevUserID, nullptr);
    EXPECT_STREQ(pszBBSDevUserID, "user-1234");
    EXPECT_EQ((int)od_control.caller_screen_width, 80);
    EXPECT_EQ((int)od_control.caller_screen_length, 25);
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    EXPECT_EQ((int)od_control.caller_rip, 0);
    EXPECT_EQ(bBBSDevDeadlineSet, 1);
    EXPECT_EQ(nBBSDevDeadline, 1893456000);
    EXPECT_EQ((int)od_control.caller_time_left, 32767);
    EXPECT_EQ(od_control.remote_utf8, 1u);
    EXPECT_STREQ(od_control.system_name, "The Castle");
    EXPECT_STREQ(od_control.sysop_name, "Sysop Sam");
    EXPECT_EQ((int)od_control.caller_security, 100);
    EXPECT_EQ(bIsSysop, 0);
    EXPECT_EQ((int)od_control.node, 3);
    EXPECT_EQ((uint64_t)od_control.silent_mode, 0u);
    // Never written back.
    std::string before = Read("BBSDEV.DRP");
    EXPECT_EQ(ODDropFileWriteBack(0, 0), 0);
    EXPECT_EQ(Read("BBSDEV.DRP"), before);
}

TEST_F(BBSDev, LocalWinserialAndNoDeadline)
{
    Lines lines = Valid();
    lines[1] = "local";
    lines[2] = "";
    lines[10] = "";
    lines[11] = "ibm437";
    lines[18] = "N";
    ASSERT_TRUE(Accepts(lines));
    EXPECT_EQ((uint64_t)od_control.force_local, 1u);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 0u);
    EXPECT_EQ(bBBSDevOpenHandleSet, 0);
    EXPECT_EQ(nBBSDevComMethod, 0);
    EXPECT_EQ(bBBSDevDeadlineSet, 0);
    EXPECT_EQ((int)od_control.caller_time_left, 0);
    EXPECT_EQ(od_control.remote_utf8, 0u);
    EXPECT_EQ((uint64_t)od_control.silent_mode, 1u);

    lines[2] = "4";
    EXPECT_FALSE(Accepts(lines)) << "a local session names no handle";

    lines = Valid();
    lines[1] = "winserial";
    ASSERT_TRUE(Accepts(lines));
    EXPECT_EQ(nBBSDevComMethod, 3);
    EXPECT_EQ((uint64_t)od_control.handle_is_socket, 0u);
    EXPECT_EQ(bTelnetSocket, 0);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 1u);
}

TEST_F(BBSDev, FileShapeRules)
{
    std::string good = JoinLines(Valid(), "\n");
    EXPECT_TRUE(AcceptsBytes(good));
    EXPECT_TRUE(AcceptsBytes(JoinLines(Valid(), "\r\n")));
    EXPECT_FALSE(AcceptsBytes(good.substr(0, good.size() - 1))) << "must end with LF";
    EXPECT_FALSE(AcceptsBytes("\xEF\xBB\xBF" + good)) << "byte-order mark";
    std::string with_nul = good;
    with_nul[with_nul.find("anything") + 3] = '\0';
    EXPECT_FALSE(AcceptsBytes(with_nul));
    std::string lone_cr = good;
    lone_cr.replace(lone_cr.find("Y\nN\n"), 4, "Y\rN\n");
    EXPECT_FALSE(AcceptsBytes(lone_cr));
    std::string cr_at_end = good + "\r";
    EXPECT_FALSE(AcceptsBytes(cr_at_end));
    Lines short_file = Valid();
    short_file.pop_back();
    EXPECT_FALSE(Accepts(short_file));
    EXPECT_FALSE(AcceptsBytes(""));
}

TEST_F(BBSDev, SizeLimitIsBelow4096Bytes)
{
    Lines lines = Valid();
    size_t base = JoinLines(lines, "\n").size();
    lines[13] += std::string(4095 - base, 'a');
    ASSERT_EQ(JoinLines(lines, "\n").size(), 4095u);
    EXPECT_TRUE(Accepts(lines));
    lines[13] += "a";
    EXPECT_FALSE(Accepts(lines));
}

TEST_F(BBSDev, VersionAndLineCount)
{
    Lines twenty = Valid();
    twenty.push_back("extra");
    EXPECT_FALSE(Accepts(twenty)) << "1.0 has exactly 19 lines";
    twenty[0] = "1.1";
    EXPECT_TRUE(Accepts(twenty));
    twenty.push_back("\x01 lines past 19 are not checked");
    EXPECT_TRUE(Accepts(twenty));
}

TEST_F(BBSDev, PathMustBeAbsolute)
{
    std::string path = Write("BBSDEV.DRP", JoinLines(Valid(), "\n"));
    EXPECT_EQ(ODInitReadBBSDevDropFile("BBSDEV.DRP"), 0);
    EXPECT_EQ(ODInitReadBBSDevDropFile(("." + std::string(1, OD_PATH_SEP) + "BBSDEV.DRP").c_str()), 0);
    EXPECT_EQ(ODInitReadBBSDevDropFile(""), 0);
    EXPECT_EQ(ODInitReadBBSDevDropFile(nullptr), 0);
    EXPECT_EQ(ODInitReadBBSDevDropFile(std::string(ODDROP_PATH_SIZE + 10, '/').c_str()), 0);
    EXPECT_EQ(ODInitReadBBSDevDropFile(path.c_str()), 1);
}

struct LineCase {
    int line; // 1-based
    const char *value;
    bool accepted;
};

const LineCase kLineCases[] = {
    // 1: version
    {1, "1.1", true}, {1, "1.10", true}, {1, "1.01", false}, {1, "1.", false}, {1, "2.0", false},
    {1, "01.0", false}, {1, "1.0a", false}, {1, "1.0 ", false},
    // 2 and 3: connection and handle
    {2, "serial", false}, {2, "stdio", false}, {2, "Socket", false}, {2, "", false},
    {3, "0", true}, {3, "05", false}, {3, "", false}, {3, "-1", false}, {3, "+5", false},
    {3, "18446744073709551615", true}, {3, "18446744073709551616", false},
    // 4: UTF-8, control characters and space characters
    {4, "", false}, {4, " Jane", false}, {4, "Jane ", false}, {4, "Jane\xC2\xA0", false},
    {4, "\xE3\x80\x80Jane", false}, {4, "\xE1\x9A\x80Jane", false}, {4, "Jane\xE2\x80\x8A", false},
    {4, "\xE2\x80\xA8Jane", false}, {4, "Jane\xE2\x80\xA9", false}, {4, "Jane\xE2\x80\xAF", false},
    {4, "Jane\xE2\x81\x9F", false}, {4, "Jane\xE3\x80\x80" "Doe", true}, {4, "J\tane", false},
    {4, "Jane\x7F", false}, {4, "Jane\xC2\x85", false}, {4, "Jane\xC2\x9F", false}, {4, "Jane\xC2\xA9", true},
    {4, "\xC0\xAF", false}, {4, "\xC1\xBF", false}, {4, "\xE0\x80\xAF", false}, {4, "\xE0\x9F\xBF", false},
    {4, "\xF0\x80\x80\xAF", false}, {4, "\xED\xA0\x80", false}, {4, "\xED\xBF\xBF", false},
    {4, "\xED\x9F\xBF", true}, {4, "\xF4\x8F\xBF\xBF", true}, {4, "\xF4\x90\x80\x80", false},
    {4, "\xF5\x80\x80\x80", false}, {4, "\xFF", false}, {4, "J\xE2\x82", false}, {4, "J\x80", false},
    {4, "\xF0\x9F\x98\x80 J\xC3\xB6rg", true},
    // 5: identifier
    {5, "", false}, {5, "42", true},
    // 6 and 7: screen size
    {6, "0", false}, {6, "1", true}, {6, "65535", true}, {6, "65536", false}, {6, "080", false},
    {7, "0", false}, {7, "65535", true}, {7, "x", false},
    // 8, 9 and 19: Y or N
    {8, "y", false}, {8, "Yes", false}, {8, "", false}, {9, "Y", true}, {19, "n", false}, {19, "N", true},
    // 10: dotted number
    {10, "", true}, {10, "0", true}, {10, "1.0.10", true}, {10, "1..2", false}, {10, "1.2.", false},
    {10, ".1", false}, {10, "1.02", false}, {10, "a", false}, {10, "1.-2", false},
    // 11: deadline
    {11, "", true}, {11, "2024-02-29T12:00:00Z", true}, {11, "2023-02-29T12:00:00Z", false},
    {11, "2000-02-29T00:00:00Z", true}, {11, "1900-02-29T00:00:00Z", false}, {11, "2100-02-29T00:00:00Z", false},
    {11, "2024-04-31T00:00:00Z", false}, {11, "2024-04-30T23:59:59Z", true}, {11, "2024-13-01T00:00:00Z", false},
    {11, "2024-00-10T00:00:00Z", false}, {11, "2024-01-00T00:00:00Z", false}, {11, "2024-01-01T24:00:00Z", false},
    {11, "2024-01-01T23:60:00Z", false}, {11, "2024-01-01T23:59:60Z", false}, {11, "2024-01-01T23:59:59z", false},
    {11, "2024-01-01t23:59:59Z", false}, {11, "2024-01-01 23:59:59Z", false}, {11, "2024-01-01T23:59:59", false},
    {11, "2024-01-01T23:59:59+00:00", false}, {11, "24-01-01T23:59:59Z", false}, {11, "1969-12-31T23:59:59Z", true},
    {11, "0000-02-29T00:00:00Z", true}, {11, "9999-12-31T23:59:59Z", true}, {11, "2024-1-01T23:59:59Z", false},
    // 12: character set
    {12, "ibm437", true}, {12, "utf-8", true}, {12, "UTF8", false}, {12, "CP437", false}, {12, "", false},
    // 13: language tag
    {13, "en", true}, {13, "zh-Hant-TW", true}, {13, "sr-Latn-RS", true}, {13, "de-CH-1996", true},
    {13, "de-1996", true}, {13, "sl-rozaj-biske", true}, {13, "es-419", true}, {13, "zh-yue-HK", true},
    {13, "zh-cmn-yue-wuu-Hans", true}, {13, "en-a-bbb-x-a-ccc", true}, {13, "en-a-bbb-b-ccc-ddd", true},
    {13, "x-whatever", true}, {13, "X-W", true}, {13, "qaa-Qaaa-QM-x-southern", true}, {13, "EN-us", true},
    {13, "i-klingon", true}, {13, "I-KLINGON", true}, {13, "en-GB-oed", true}, {13, "zh-min-nan", true},
    {13, "sgn-CH-DE", true}, {13, "art-lojban", true}, {13, "cel-gaulish", true}, {13, "i-default", true},
    {13, "abcde", true}, {13, "abcdefgh", true}, {13, "abcd", true},
    {13, "i-foo", false}, {13, "en-", false}, {13, "-en", false}, {13, "e", false}, {13, "en--US", false},
    {13, "en-US-x", false}, {13, "en-a", false}, {13, "en-a-b", false}, {13, "abcdefghi", false},
    {13, "en_US", false}, {13, "en-abc-def-ghi-jkl", false}, {13, "123", false}, {13, "", false}, {13, "x", false},
    {13, "en-Latn-Latn", false}, {13, "en-US-US", false}, {13, "abcde-abc", false}, {13, "en-a-x", false},
    {13, "en-x-123456789", false}, {13, "1e", false}, {13, "en-12", false},
    // 14 to 16: not empty
    {14, "", false}, {15, "", false}, {16, "", false},
    // 17: access
    {17, "sysop", true}, {17, "cosysop", true}, {17, "0", true}, {17, "00", false}, {17, "Sysop", false},
    {17, "18446744073709551615", true}, {17, "18446744073709551616", false}, {17, "", false},
    // 18: node
    {18, "0", true}, {18, "01", false}, {18, "70000", true}, {18, "18446744073709551616", false},
};

TEST_F(BBSDev, EveryLineRule)
{
    for (const LineCase &c : kLineCases) {
        Lines lines = Valid();
        lines[(size_t)c.line - 1] = c.value;
        EXPECT_EQ(Accepts(lines), c.accepted) << "line " << c.line << ": \"" << c.value << "\"";
    }
}

TEST_F(BBSDev, DeadlineSeconds)
{
    struct {
        const char *when;
        int64_t seconds;
    } cases[] = {{"1970-01-01T00:00:00Z", 0},          {"2024-02-29T12:00:00Z", 1709208000},
                 {"2000-03-01T00:00:01Z", 951868801},  {"1969-12-31T23:59:59Z", 0},
                 {"9999-12-31T23:59:59Z", 253402300799}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.when);
        Lines lines = Valid();
        lines[10] = c.when;
        ASSERT_TRUE(Accepts(lines));
        EXPECT_EQ(bBBSDevDeadlineSet, 1);
        EXPECT_EQ(nBBSDevDeadline, c.seconds);
    }
}

TEST_F(BBSDev, AccessAndNodeLimits)
{
    Lines lines = Valid();
    lines[16] = "sysop";
    ASSERT_TRUE(Accepts(lines));
    EXPECT_EQ(bIsSysop, 1);
    EXPECT_EQ(bIsCoSysop, 0);
    lines[16] = "cosysop";
    ASSERT_TRUE(Accepts(lines));
    EXPECT_EQ(bIsSysop, 0);
    EXPECT_EQ(bIsCoSysop, 1);
    lines[16] = "18446744073709551615";
    lines[17] = "70000";
    lines[5] = "1000";
    ASSERT_TRUE(Accepts(lines));
    EXPECT_EQ((int)od_control.caller_security, 65535);
    EXPECT_EQ((int)od_control.node, 65535);
    EXPECT_EQ((int)od_control.caller_screen_width, 255);
}

TEST_F(BBSDev, TextsAreCutAtAWholeCharacter)
{
    Lines lines = Valid();
    std::string e_acute;
    for (int i = 0; i < 40; i++) e_acute += "\xC3\xA9";
    lines[3] = e_acute;                        // 80 bytes into a 36-byte field
    std::string smile;
    for (int i = 0; i < 12; i++) smile += "\xF0\x9F\x98\x80";
    lines[14] = smile;                         // 48 bytes into a 40-byte field
    ASSERT_TRUE(Accepts(lines));
    EXPECT_EQ(std::string(od_control.caller_name), e_acute.substr(0, 34));
    EXPECT_EQ(std::string(od_control.system_name), smile.substr(0, 36));

    char out[4];
    ODBBSDevCopyText(out, sizeof out, "a\xC3\xA9");
    EXPECT_STREQ(out, "a\xC3\xA9");
    ODBBSDevCopyText(out, 3, "a\xC3\xA9");
    EXPECT_STREQ(out, "a");
    ODBBSDevCopyText(out, 1, "abc");
    EXPECT_STREQ(out, "");
}

TEST_F(BBSDev, ARejectedFileLeavesAnEarlierOneInPlace)
{
    ASSERT_TRUE(Accepts(Valid()));
    Lines bad = Valid();
    bad[12] = "en--US";
    std::string path = Write("BBSDEV.DRP", JoinLines(bad, "\n"));
    EXPECT_EQ(ODInitReadBBSDevDropFile(path.c_str()), 0);
    EXPECT_EQ(bBBSDevSession, 1);
    EXPECT_STREQ(pszBBSDevUserID, "user-1234");
}

} // namespace
