// Exit-information records: the variant chosen by size, the fields read
// from each, the DORINFO file beside them, and a write-back that changes
// exactly the bytes of the fields the session changed, low byte first.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "ODInEx2.h"
#include "ODPlat.h"
#include "doorkit.h"
#include "dropfile_support.h"
#include "test_random.h"

namespace {

// Deterministic filler: bytes the kit has no field for must survive as
// they were, whatever they hold.
std::string Filler(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) {
        seed = TestLcgStep(seed);
        bytes[i] = (char)(seed >> 24);
    }
    return bytes;
}

void Pascal(std::string &record, size_t at, const std::string &text)
{
    record[at] = (char)text.size();
    record.replace(at + 1, text.size(), text);
}

void Word(std::string &record, size_t at, uint16_t value)
{
    record[at] = (char)(value & 0xFF);
    record[at + 1] = (char)(value >> 8);
}

void Long(std::string &record, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++) record[at + (size_t)i] = (char)(value >> (8 * i));
}

// The caller part of the 476-byte record.
std::string ExitInfoRecord(size_t size)
{
    std::string r = Filler(size, (uint32_t)size);
    Word(r, 0, 9600);
    Pascal(r, 241, "John Doe");
    Pascal(r, 277, "Anytown");
    Pascal(r, 303, "SECRET");
    Pascal(r, 319, "555-0001");
    Pascal(r, 332, "555-0002");
    Pascal(r, 351, "01-15-24");
    r[360] = (char)(2 | 4 | 8); // clear screen, more prompt, ANSI
    Word(r, 373, 250);
    Word(r, 375, 321);
    Word(r, 387, 12);
    Word(r, 389, 24);
    r[392] = 2; // AVATAR
    Word(r, 435, 100);
    return r;
}

std::string RA2Record(size_t size)
{
    std::string r = Filler(size, 77);
    Word(r, 0, 28800);
    Pascal(r, 241, "Jane Roe");
    Pascal(r, 277, "Springfield");
    Pascal(r, 507, "Night Owl");
    Pascal(r, 543, "Plays every night");
    Pascal(r, 628, "555-0101");
    Pascal(r, 644, "555-0102");
    Pascal(r, 666, "02-01-24");
    r[675] = 8;
    r[676] = 0;
    Word(r, 691, 500);
    Long(r, 697, 70000);
    Word(r, 721, 33);
    Word(r, 723, 50);
    Pascal(r, 1137, "03-04-70");
    r[1155] = 132;
    r[1202] = 2;
    Pascal(r, 1210, "PW");
    r[1317] = 1;
    Pascal(r, 2182, "Need help with a riddle");
    return r;
}

const char *kDorinfo = "THE CASTLE\r\nSAM\r\nSYSOP\r\nCOM1\r\n38400 BAUD,N,8,1\r\n 0\r\nJOHN\r\nDOE\r\n"
                       "TOWN\r\n1\r\n10\r\n45\r\n";

class ExitInfo : public DropFileTest {};

TEST_F(ExitInfo, ShortRecordReadsWithItsDorinfo)
{
    for (size_t size : {452u, 476u}) {
        SCOPED_TRACE(size);
        memset(&od_control, 0, sizeof od_control);
        od_control.node = 1;
        Write("DORINFO1.DEF", kDorinfo);
        std::string record = ExitInfoRecord(size);
        Write("EXITINFO.BBS", record);
        ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
        EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_EXITINFO_SHORT);
        EXPECT_EQ((int)od_control.extended_info, 1);
        EXPECT_STREQ(od_control.caller_name, "John Doe");
        EXPECT_STREQ(od_control.caller_location, "Anytown");
        EXPECT_STREQ(od_control.caller_password, "SECRET");
        EXPECT_STREQ(od_control.caller_phone_data, "555-0001");
        EXPECT_STREQ(od_control.caller_phone_home, "555-0002");
        EXPECT_STREQ(od_control.caller_last_date, "01-15-24");
        EXPECT_EQ((int)od_control.caller_flags, 14);
        EXPECT_EQ((int)od_control.caller_ansi, 1);
        EXPECT_EQ((int)od_control.caller_avatar, 1);
        EXPECT_EQ((int)od_control.caller_security, 250);
        EXPECT_EQ((int)od_control.caller_minutes_used, 12);
        EXPECT_EQ((int)od_control.caller_screen_length, 24);
        // The BBS, the line and the time come from DORINFO.
        EXPECT_STREQ(od_control.system_name, "THE CASTLE");
        EXPECT_STREQ(od_control.sysop_name, "Sam Sysop");
        EXPECT_EQ((int)od_control.com_port, 0);
        EXPECT_EQ((uint64_t)od_control.remote_bps, 38400u);
        EXPECT_EQ((int)od_control.caller_time_left, 45);
        ASSERT_NE(pExitInfoRecord, nullptr);

        ASSERT_EQ(ODDropFileWriteBack(45, 0), 0);
        EXPECT_EQ(Read("EXITINFO.BBS"), record); // same size, same bytes
    }
}

TEST_F(ExitInfo, WriteBackChangesOnlyTheChangedFieldsLowByteFirst)
{
    Write("dorinfo1.def", kDorinfo);
    std::string record = ExitInfoRecord(476);
    Write("exitinfo.bbs", record);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    od_control.caller_minutes_used = 0x1234;
    od_control.caller_security = 0x0102;
    od_control.caller_ansi = 0;
    strcpy(od_control.caller_name, "Jo");
    ASSERT_EQ(ODDropFileWriteBack(45, 0), 0);
    std::string expected = record;
    Word(expected, 387, 0x1234);
    Word(expected, 373, 0x0102);
    expected[360] = (char)(2 | 4);
    expected[241] = 2;
    expected[242] = 'J';
    expected[243] = 'o'; // the old name's remaining bytes stay
    EXPECT_EQ(Read("exitinfo.bbs"), expected);
}

TEST_F(ExitInfo, TimeLimitIsLoweredByTheTimeTakenBeyondTheClock)
{
    ODPlatClockUseVirtual(0, 1700000000);
    Write("dorinfo1.def", kDorinfo);
    std::string record = ExitInfoRecord(476);
    std::string file = record + Filler(1017, 5); // 1493 bytes: with the extension
    Write("exitinfo.bbs", file);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_EXITINFO_EXT);
    ASSERT_NE(pExtendedExitInfo, nullptr);

    int64_t start = ODPlatWallSeconds();
    ODPlatClockAdvance(10 * 60 * 1000 + 30 * 1000); // ten whole minutes and a half
    od_control.caller_time_left = 30;               // 45 at start: 5 more than the clock took
    ASSERT_EQ(ODDropFileWriteBack(45, start), 0);
    std::string expected = file;
    Word(expected, 435, 95);
    EXPECT_EQ(Read("exitinfo.bbs"), expected);
    ODPlatClockUseReal();
}

TEST_F(ExitInfo, UnknownStartTimeLeavesTheTimeLimitAlone)
{
    Write("dorinfo1.def", kDorinfo);
    std::string record = ExitInfoRecord(476);
    Write("exitinfo.bbs", record);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    od_control.caller_time_left = 1;
    ASSERT_EQ(ODDropFileWriteBack(45, 0), 0);
    EXPECT_EQ(Read("exitinfo.bbs"), record);
}

TEST_F(ExitInfo, MidRecordKeepsItsMinutesUsedAndWritesItsFirstPartOnly)
{
    for (size_t size : {477u, 644u, 902u, 1200u}) {
        SCOPED_TRACE(size);
        memset(&od_control, 0, sizeof od_control);
        od_control.node = 1;
        Write("dorinfo1.def", kDorinfo);
        std::string record = ExitInfoRecord(size);
        Write("exitinfo.bbs", record);
        ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
        EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_EXITINFO_MID);
        od_control.caller_minutes_used = 999;
        od_control.caller_security = 7;
        ASSERT_EQ(ODDropFileWriteBack(45, 1), 0);
        std::string expected = record;
        Word(expected, 373, 7);
        EXPECT_EQ(Read("exitinfo.bbs"), expected);
    }
}

TEST_F(ExitInfo, NewRecordReadsItsOwnOffsetsAndWritesBackExactly)
{
    for (size_t size : {2363u, 4000u}) {
        SCOPED_TRACE(size);
        memset(&od_control, 0, sizeof od_control);
        od_control.node = 1;
        Write("dorinfo1.def", kDorinfo);
        std::string record = RA2Record(size);
        Write("exitinfo.bbs", record);
        ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
        EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_EXITINFO_NEW);
        EXPECT_EQ((int)od_control.extended_info, 1);
        ASSERT_NE(pRA2ExitInfoRecord, nullptr);
        EXPECT_STREQ(od_control.caller_name, "Jane Roe");
        EXPECT_STREQ(od_control.caller_location, "Springfield");
        EXPECT_STREQ(od_control.caller_handle, "Night Owl");
        EXPECT_STREQ(od_control.caller_comment, "Plays every night");
        EXPECT_STREQ(od_control.caller_phone_data, "555-0101");
        EXPECT_STREQ(od_control.caller_phone_home, "555-0102");
        EXPECT_STREQ(od_control.caller_last_date, "02-01-24");
        EXPECT_EQ((int)od_control.caller_ansi, 1);
        EXPECT_EQ((int)od_control.caller_avatar, 0);
        EXPECT_EQ((int)od_control.caller_security, 500);
        EXPECT_EQ((uint64_t)od_control.caller_total_calls, 70000u);
        EXPECT_EQ((int)od_control.caller_minutes_used, 33);
        EXPECT_EQ((int)od_control.caller_screen_length, 50);
        EXPECT_STREQ(od_control.caller_birth_date, "03-04-70");
        EXPECT_EQ((int)od_control.caller_screen_width, 132);
        EXPECT_EQ((char)od_control.caller_sex, 'F');
        EXPECT_STREQ(od_control.caller_password, "PW");
        EXPECT_EQ((int)od_control.caller_wants_chat, 1);
        EXPECT_STREQ(od_control.chat_reason, "Need help with a riddle");

        ASSERT_EQ(ODDropFileWriteBack(45, 0), 0);
        EXPECT_EQ(Read("exitinfo.bbs"), record);

        od_control.caller_total_calls = 0x01020304;
        od_control.caller_wants_chat = 0;
        od_control.caller_sex = 'M';
        strcpy(od_control.chat_reason, "");
        ASSERT_EQ(ODDropFileWriteBack(45, 0), 0);
        std::string expected = record;
        Long(expected, 697, 0x01020304);
        expected[1317] = 0;
        expected[1202] = 1;
        expected[2182] = 0;
        EXPECT_EQ(Read("exitinfo.bbs"), expected);
    }
}

TEST_F(ExitInfo, OverlongPascalLengthsAreCutAndTheBytesKept)
{
    Write("dorinfo1.def", kDorinfo);
    std::string record = ExitInfoRecord(476);
    record[241] = (char)200; // longer than the 35 the field allows
    record.replace(242, 35, std::string(35, 'N'));
    record[303] = (char)255;
    record.replace(304, 15, std::string(15, 'P'));
    Write("exitinfo.bbs", record);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ(strlen(od_control.caller_name), 35u);
    EXPECT_EQ(strlen(od_control.caller_password), 15u);
    ASSERT_EQ(ODDropFileWriteBack(45, 0), 0);
    EXPECT_EQ(Read("exitinfo.bbs"), record);
}

TEST_F(ExitInfo, TooSmallRecordLeavesTheDorinfoAlone)
{
    Write("dorinfo1.def", kDorinfo);
    std::string record = ExitInfoRecord(451);
    Write("exitinfo.bbs", record);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DORINFO);
    EXPECT_EQ((int)od_control.extended_info, 0);
    EXPECT_STREQ(od_control.caller_name, "John Doe");
    od_control.caller_time_left = 3;
    ASSERT_EQ(ODDropFileWriteBack(45, 0), 0);
    EXPECT_EQ(Read("exitinfo.bbs"), record);
}

TEST_F(ExitInfo, WithoutItsDorinfoThereIsNoDropFile)
{
    Write("exitinfo.bbs", ExitInfoRecord(476));
    Write("dorinfo2.def", kDorinfo); // another node's
    od_control.caller_security = 9;
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE);
    EXPECT_EQ((int)od_control.caller_security, 9);
    EXPECT_EQ(ODDropFileWriteBack(45, 0), 0);
}

TEST_F(ExitInfo, ABrokenDorinfoMeansNoDropFileAndNothingWritten)
{
    Write("dorinfo1.def", "THE CASTLE\r\nSAM\r\n");
    std::string record = ExitInfoRecord(476);
    Write("exitinfo.bbs", record);
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE);
    EXPECT_STREQ(od_control.caller_name, "");
    EXPECT_EQ(ODDropFileWriteBack(45, 0), 0);
    EXPECT_EQ(Read("exitinfo.bbs"), record);
}

} // namespace
