// Drop files: every text format read from files written the way BBS
// software writes them, and the write-back of the formats that go back.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "ODInEx2.h"
#include "doorkit.h"
#include "dropfile_support.h"

namespace {

using Lines = std::vector<std::string>;

// A full DOOR.SYS as a DOS BBS writes it: 52 lines, CR LF.
Lines DoorSysFull()
{
    return {
        "COM2:",          "38400",         "8",          "1",
        "19200",          "Y",             "Y",          "Y",
        "Y",              "JOHN Q PUBLIC", "ANYTOWN, USA", "555-555-1212",
        "555-555-1213",   "SECRET7",       "100",        "42",
        "01/15/24",       "3600",          "60",         "GR",
        "24",             "N",             "1,2,3,4,5",  "1",
        "12/31/99",       "17",            "Y",          "10",
        "20",             "100",           "9999",       "03/04/70",
        "C:\\BBS\\DOORS\\", "C:\\BBS\\DATA\\", "SYSOP SAM", "NIGHT OWL",
        "00:00",          "Y",             "Y",          "Y",
        "Y",              "14",            "02/01/24",   "08:15",
        "08:00",          "32768",         "0",          "0",
        "0",              "Regular caller", "0",         "5",
    };
}

class DoorSys : public DropFileTest {};

TEST_F(DoorSys, FullFormReadsEveryField)
{
    Lines lines = DoorSysFull();
    ASSERT_EQ(lines.size(), 52u);
    Write("DOOR.SYS", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DOORSYS_FULL);
    EXPECT_EQ((int)od_control.com_port, 1);
    EXPECT_EQ((uint64_t)od_control.connect_bps, 38400u);
    EXPECT_EQ((int)od_control.node, 1);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 19200u);
    EXPECT_STREQ(od_control.caller_name, "John Q Public");
    EXPECT_STREQ(od_control.caller_location, "ANYTOWN, USA");
    EXPECT_STREQ(od_control.caller_phone_home, "555-555-1212");
    EXPECT_STREQ(od_control.caller_password, "SECRET7");
    EXPECT_EQ((int)od_control.caller_security, 100);
    EXPECT_EQ((uint64_t)od_control.caller_total_calls, 42u);
    EXPECT_STREQ(od_control.caller_last_date, "01/15/24");
    EXPECT_EQ((int)od_control.caller_time_left, 60);
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    EXPECT_EQ((int)od_control.caller_rip, 0);
    EXPECT_EQ((int)od_control.caller_screen_length, 24);
    EXPECT_EQ((int)od_control.caller_record_number, 17);
    EXPECT_STREQ(od_control.caller_birth_date, "03/04/70");
    EXPECT_STREQ(od_control.sysop_name, "Sysop Sam");
    EXPECT_STREQ(od_control.caller_handle, "Night Owl");
    EXPECT_STREQ(od_control.caller_comment, "Regular caller");
    EXPECT_STREQ(szODDropFileFraming, "8");
    ASSERT_NE(apszDropFileInfo[3], nullptr);
    EXPECT_STREQ(apszDropFileInfo[3], "Y\r\n");
    EXPECT_EQ((int)btDoorSYSLock, 0);
}

TEST_F(DoorSys, UnchangedSessionWritesTheFileBackByteForByte)
{
    std::string original = JoinLines(DoorSysFull());
    Write("door.sys", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ(ODDropFileWriteBack(60, 0), 0);
    EXPECT_EQ(Read("door.sys"), original);
}

TEST_F(DoorSys, ChangedValuesAreRewrittenInTheirLinesOnly)
{
    Lines lines = DoorSysFull();
    Write("door.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    od_control.caller_time_left = 45;
    od_control.caller_rip = 1;
    strcpy(od_control.caller_handle, "Dawn Owl");
    ASSERT_EQ(ODDropFileWriteBack(60, 0), 0);
    lines[17] = "2700";
    lines[18] = "45";
    lines[19] = "RIP";
    lines[35] = "DAWN OWL";
    EXPECT_EQ(Read("door.sys"), JoinLines(lines));
}

TEST_F(DoorSys, UnixLineEndsTrailingBlanksAndMissingOptionalLines)
{
    Lines lines = DoorSysFull();
    lines.resize(34);              // ends inside the optional part
    lines[14] = "100   ";          // trailing blanks after a number
    lines[18] = " 55 ";
    std::string original = JoinLines(lines, "\n");
    Write("DOOR.SYS", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DOORSYS_PART);
    EXPECT_EQ((int)od_control.caller_security, 100);
    EXPECT_EQ((int)od_control.caller_time_left, 55);
    EXPECT_STREQ(od_control.caller_handle, "");
    od_control.caller_time_left = 50;
    ASSERT_EQ(ODDropFileWriteBack(55, 0), 0);
    lines[17] = "3000";
    lines[18] = "50";
    EXPECT_EQ(Read("DOOR.SYS"), JoinLines(lines, "\n"));
}

TEST_F(DoorSys, ConferenceListContinuationLinesAreSkippedAndKept)
{
    Lines lines = DoorSysFull();
    lines[22] = "1,2,3,4,5,6,7,8,9,10,";
    lines.insert(lines.begin() + 23, "11,12,13,14,");
    lines.insert(lines.begin() + 24, "15,16");
    std::string original = JoinLines(lines);
    Write("door.sys", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.caller_record_number, 17);
    EXPECT_STREQ(od_control.caller_handle, "Night Owl");
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DOORSYS_FULL);
    ASSERT_EQ(ODDropFileWriteBack(60, 0), 0);
    EXPECT_EQ(Read("door.sys"), original);
}

TEST_F(DoorSys, SpeedLockLetters)
{
    Lines lines = DoorSysFull();
    lines[4] = "N";
    Write("door.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)btDoorSYSLock, 1);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 38400u);

    lines[4] = "y";
    Write("door.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)btDoorSYSLock, 2);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 19200u);
}

TEST_F(DoorSys, LocalPortGivesALocalSessionAndWritesBackAsRead)
{
    Lines lines = DoorSysFull();
    lines[0] = "COM0:";
    std::string original = JoinLines(lines);
    Write("door.sys", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.com_port, 65535);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 0u);
    ASSERT_EQ(ODDropFileWriteBack(60, 0), 0);
    EXPECT_EQ(Read("door.sys"), original);
}

TEST_F(DoorSys, StdioSocketAndHandleConnections)
{
    Lines lines = DoorSysFull();
    lines[0] = "COM0:STDIO";
    Write("door.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ(bODDropFileStdio, 1);
    EXPECT_EQ((int)od_control.com_method, 6);
    EXPECT_NE((uint64_t)od_control.remote_bps, 0u); // a caller on standard I/O is remote
    EXPECT_STREQ(od_control.caller_name, "John Q Public");
    ASSERT_EQ(ODDropFileWriteBack(60, 0), 0);
    EXPECT_EQ(Read("door.sys").substr(0, 12), "COM0:STDIO\r\n");

    memset(&od_control, 0, sizeof od_control);
    lines[0] = "COM0:SOCKET 1234";
    Write("door.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ(bODDropFileStdio, 0);
    EXPECT_EQ((int)od_control.com_method, 5);
    EXPECT_EQ((uint64_t)od_control.handle_is_socket, 1u);
    EXPECT_EQ((uint64_t)od_control.open_handle, 1234u);

    memset(&od_control, 0, sizeof od_control);
    lines[0] = "COM0:HANDLE88";
    Write("door.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.com_method, 3);
    EXPECT_EQ((uint64_t)od_control.handle_is_socket, 0u);
    EXPECT_EQ((uint64_t)od_control.open_handle, 88u);
}

TEST_F(DoorSys, SocketWithoutAUsableHandleIsRefusedAsItsOwnResult)
{
    Lines lines = DoorSysFull();
    for (const char *port : {"COM0:SOCKET -1", "COM0:SOCKET", "COM0:SOCKET 0", "COM0:SOCKET x1",
                             "COM0:SOCKET 99999999999999999999999"}) {
        SCOPED_TRACE(port);
        memset(&od_control, 0, sizeof od_control);
        lines[0] = port;
        Write("door.sys", JoinLines(lines));
        EXPECT_EQ(ODDropFileRead(), ODDROP_BADHANDLE);
        EXPECT_EQ((uint64_t)od_control.open_handle, 0u);
        EXPECT_STREQ(od_control.caller_name, "John Q Public"); // the caller is still known
    }
}

TEST_F(DoorSys, OverflowedSixteenBitFieldsAreClampedNotWrapped)
{
    Lines lines = DoorSysFull();
    lines[3] = "70000";   // node
    lines[14] = "65536";  // security
    lines[18] = "99999";  // minutes left
    lines[20] = "-5";     // screen length
    lines[25] = "123456"; // record number
    Write("door.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.node, 65535);
    EXPECT_EQ((int)od_control.caller_security, 65535);
    EXPECT_EQ((int)od_control.caller_time_left, 32767);
    EXPECT_EQ((int)od_control.caller_screen_length, 23); // 0 means the default
    EXPECT_EQ((int)od_control.caller_record_number, 65535);
}

TEST_F(DoorSys, ReadingAndWritingBackPrintNothingNotEvenThePassword)
{
    Write("door.sys", JoinLines(DoorSysFull()));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    od_control.caller_time_left = 10;
    ODDropFileWriteBack(60, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(Read("door.sys").find("SECRET7\r\n"), std::string::npos); // kept for the BBS
}

TEST_F(DoorSys, ShortFormAndItsWriteBack)
{
    Lines lines = {"JANE DOE", "2", "2400", "30", "G"};
    std::string original = JoinLines(lines, "\n");
    Write("door.sys", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DOORSYS_SHORT);
    EXPECT_STREQ(od_control.caller_name, "Jane Doe");
    EXPECT_EQ((int)od_control.com_port, 1);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 2400u);
    EXPECT_EQ((int)od_control.caller_time_left, 30);
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    ASSERT_EQ(ODDropFileWriteBack(30, 0), 0);
    EXPECT_EQ(Read("door.sys"), original);
    od_control.caller_time_left = 12;
    od_control.caller_ansi = 0;
    od_control.remote_bps = 0; // ended as a local session
    ASSERT_EQ(ODDropFileWriteBack(30, 0), 0);
    EXPECT_EQ(Read("door.sys"), JoinLines({"JANE DOE", "-1", "0", "12", "M"}, "\n"));
}

TEST_F(DoorSys, ByteOrderMarkAndCtrlZAreNotPartOfTheFormat)
{
    Lines lines = DoorSysFull();
    lines.resize(31);
    std::string original = "\xEF\xBB\xBF" + JoinLines(lines) + "\x1A";
    Write("door.sys", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DOORSYS_PART);
    EXPECT_EQ((int)od_control.com_port, 1);
    EXPECT_STREQ(od_control.caller_birth_date, ""); // the Ctrl-Z is no line 32
    ASSERT_EQ(ODDropFileWriteBack(60, 0), 0);
    EXPECT_EQ(Read("door.sys"), original);
    od_control.com_port = 3;
    ASSERT_EQ(ODDropFileWriteBack(60, 0), 0);
    EXPECT_EQ(Read("door.sys"), "\xEF\xBB\xBF" "COM4:\r\n" + original.substr(10));
}

TEST_F(DoorSys, MultiDigitComPortIsTheFullForm)
{
    Lines lines = DoorSysFull();
    lines[0] = "COM12:";
    Write("door.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DOORSYS_FULL);
    EXPECT_EQ((int)od_control.com_port, 11);
}

// ---- DOOR32.SYS ----

Lines Door32(const std::string &type, const std::string &handle, const std::string &minutes)
{
    return {type, handle, "115200", "Castle BBS 1.0", "42", "JOHN DOE", "NIGHT OWL", "30", minutes, "1", "3"};
}

class Door32Sys : public DropFileTest {};

TEST_F(Door32Sys, TelnetSessionFromAWindowsBBS)
{
    Write("DOOR32.SYS", JoinLines(Door32("2", "1188", "45")));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DOOR32);
    EXPECT_EQ((uint64_t)od_control.handle_is_socket, 1u);
    EXPECT_EQ(bTelnetSocket, 1);
    EXPECT_EQ((uint64_t)od_control.open_handle, 1188u);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 115200u);
    EXPECT_EQ((int)od_control.caller_record_number, 42);
    EXPECT_STREQ(od_control.caller_name, "John Doe");
    EXPECT_STREQ(od_control.caller_handle, "Night Owl");
    EXPECT_EQ((int)od_control.caller_security, 30);
    EXPECT_EQ((int)od_control.caller_time_left, 45);
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    EXPECT_EQ((int)od_control.node, 3);
    EXPECT_EQ((uint64_t)od_control.force_local, 0u);
    // Not written back.
    std::string before = Read("DOOR32.SYS");
    od_control.caller_time_left = 1;
    EXPECT_EQ(ODDropFileWriteBack(45, 0), 0);
    EXPECT_EQ(Read("DOOR32.SYS"), before);
}

TEST_F(Door32Sys, LocalTypeFromALinuxBBSStillGivesTheCaller)
{
    Write("door32.sys", JoinLines(Door32("0", "0", "60"), "\n"));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((uint64_t)od_control.force_local, 1u);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 0u);
    EXPECT_STREQ(od_control.caller_name, "John Doe");
    EXPECT_EQ((int)od_control.caller_record_number, 42);
}

TEST_F(Door32Sys, TimeWrittenInSecondsIsTakenAsSeconds)
{
    struct {
        const char *line;
        int minutes;
    } cases[] = {{"1440", 1440}, {"1441", 24}, {"3600", 60}, {"5400", 90}, {"100000", 1440},
                 {"99999999999999999999999", 1440}, {"-30", 0}, {"0", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        Write("door32.sys", JoinLines(Door32("2", "7", c.line)));
        ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
        EXPECT_EQ((int)od_control.caller_time_left, c.minutes);
    }
}

TEST_F(Door32Sys, SocketWithoutAHandleCannotWork)
{
    for (const char *handle : {"-1", "", "0", "socket", "18446744073709551616"}) {
        SCOPED_TRACE(handle);
        Write("door32.sys", JoinLines(Door32("2", handle, "30")));
        EXPECT_EQ(ODDropFileRead(), ODDROP_BADHANDLE);
        EXPECT_EQ((uint64_t)od_control.open_handle, 0u);
        EXPECT_STREQ(od_control.caller_name, "John Doe");
    }
    Write("door32.sys", JoinLines(Door32("1", "-1", "30")));
    EXPECT_EQ(ODDropFileRead(), ODDROP_BADHANDLE);
}

TEST_F(Door32Sys, EmulationLineAndUnknownConnectionType)
{
    Lines lines = Door32("2", "5", "30");
    lines[9] = "0";
    Write("door32.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.caller_ansi, 0);
    lines[9] = "2";
    Write("door32.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.caller_avatar, 1);
    lines[9] = "3";
    Write("door32.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.caller_rip, 1);

    lines[0] = "7";
    Write("door32.sys", JoinLines(lines));
    memset(&od_control, 0, sizeof od_control);
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE);
    EXPECT_STREQ(od_control.caller_name, "");
}

// ---- DORINFOx.DEF ----

Lines Dorinfo()
{
    return {"THE CASTLE BBS", "SAM", "SYSOP", "COM2", "38400 BAUD,N,8,1", " 0", "JANE",
            "DOE", "SPRINGFIELD, IL", "1", "100", "45"};
}

class DorinfoDef : public DropFileTest {};

TEST_F(DorinfoDef, ReadsEveryLine)
{
    Write("DORINFO1.DEF", JoinLines(Dorinfo()));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_DORINFO);
    EXPECT_STREQ(od_control.system_name, "THE CASTLE BBS");
    EXPECT_STREQ(od_control.sysop_name, "Sam Sysop");
    EXPECT_EQ((int)od_control.com_port, 1);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 38400u);
    EXPECT_STREQ(od_control.caller_name, "Jane Doe");
    EXPECT_STREQ(od_control.caller_location, "Springfield, Il");
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    EXPECT_EQ((int)od_control.caller_security, 100);
    EXPECT_EQ((int)od_control.caller_time_left, 45);
    EXPECT_STREQ(szODDropFileFraming, " 0");
    EXPECT_EQ((int)od_control.extended_info, 0);
}

TEST_F(DorinfoDef, CtrlZAfterTheLastLineIsIgnored)
{
    std::string bytes = JoinLines(Dorinfo());
    bytes.erase(bytes.rfind("45\r\n"));
    Write("dorinfo1.def", bytes + "\x1A");
    EXPECT_EQ(ODDropFileRead(), ODDROP_NONE) << "line 12 is missing";
    Write("dorinfo1.def", bytes + "45\r\n\x1A\r\n");
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.caller_time_left, 45);
}

TEST_F(DorinfoDef, ComZeroIsALocalSessionAndEmptyLastNameAddsNoSpace)
{
    Lines lines = Dorinfo();
    lines[3] = "COM0";
    lines[7] = "";
    Write("dorinfo1.def", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.com_port, 65535);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 0u);
    EXPECT_STREQ(od_control.caller_name, "Jane");
}

TEST_F(DorinfoDef, LongNamePartsAreCutEachOnItsOwn)
{
    Lines lines = Dorinfo();
    lines[6] = "BARTHOLOMEW-ALEXANDER";
    lines[7] = "FEATHERSTONEHAUGHS";
    Write("dorinfo1.def", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_STREQ(od_control.caller_name, "Bartholomew-Alex Featherstonehaug");
}

TEST_F(DorinfoDef, IsNotWrittenBack)
{
    std::string original = JoinLines(Dorinfo());
    Write("dorinfo1.def", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    od_control.caller_time_left = 3;
    EXPECT_EQ(ODDropFileWriteBack(45, 0), 0);
    EXPECT_EQ(Read("dorinfo1.def"), original);
}

// ---- CHAIN.TXT ----

Lines Chain()
{
    return {"17",           "NIGHT OWL",  "JOHN DOE",      "",           "33",
            "M",            "1000",       "01/15/24",      "80",         "25",
            "100",          "0",          "1",             "1",          "1",
            "    3600.00",  "C:\\BBS\\GFILES\\", "C:\\BBS\\DATA\\", "010124.LOG", "38400",
            "1",            "The Castle", "SYSOP SAM",     "30000",      "1200",
            "100",          "5",          "200",           "10",         "8N1",
            "38400",        "1"};
}

class ChainTxt : public DropFileTest {};

TEST_F(ChainTxt, ReadsAndWritesBackUnchanged)
{
    std::string original = JoinLines(Chain());
    Write("CHAIN.TXT", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_CHAINTXT);
    EXPECT_EQ((int)od_control.caller_record_number, 17);
    EXPECT_STREQ(od_control.caller_handle, "Night Owl");
    EXPECT_STREQ(od_control.caller_name, "John Doe");
    EXPECT_EQ((char)od_control.caller_sex, 'M');
    EXPECT_STREQ(od_control.caller_last_date, "01/15/24");
    EXPECT_EQ((int)od_control.caller_screen_width, 80);
    EXPECT_EQ((int)od_control.caller_screen_length, 25);
    EXPECT_EQ(bIsSysop, 0);
    EXPECT_EQ(bIsCoSysop, 1);
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    EXPECT_EQ((int)od_control.caller_time_left, 60);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 38400u);
    EXPECT_EQ((int)od_control.com_port, 0);
    EXPECT_STREQ(szODDropFileFraming, "8N1");
    ASSERT_EQ(ODDropFileWriteBack(60, 0), 0);
    EXPECT_EQ(Read("CHAIN.TXT"), original); // lines 31 and 32 too
}

TEST_F(ChainTxt, TimeAndLocalSessionWriteBack)
{
    Lines lines = Chain();
    Write("chain.txt", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    od_control.caller_time_left = 20;
    od_control.remote_bps = 0;
    ASSERT_EQ(ODDropFileWriteBack(60, 0), 0);
    lines[14] = "0";
    lines[15] = "    1200.00";
    lines[19] = "KB";
    EXPECT_EQ(Read("chain.txt"), JoinLines(lines));
}

TEST_F(ChainTxt, LocalSpeedAndWidthClamp)
{
    Lines lines = Chain();
    lines[19] = "KB";
    lines[20] = "0";
    lines[8] = "300";
    Write("chain.txt", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 0u);
    EXPECT_EQ((int)od_control.com_port, 65535);
    EXPECT_EQ((int)od_control.caller_screen_width, 255);
}

// ---- SFDOORS.DAT ----

Lines SFDoors()
{
    return {"5",     "JANE DOE", "PASSWORD", "JANE", "9600",  "2",        "40",    "C:\\SF\\", "C:\\SF\\DATA\\",
            "TRUE",  "50",       "3",        "4",    "",      "30",       "01:00", "FALSE",    "FALSE",
            "FALSE", "0",        "TRUE",     "0",    "0",     "1",        "",      "",         "",
            "0",     "0",        "0",        "555-1212", "DENVER, CO", "X", "FALSE", "TRUE", "",
            "4",     "1016",     ""};
}

class SFDoorsDat : public DropFileTest {};

TEST_F(SFDoorsDat, ReadsAllLinesUnderEveryName)
{
    for (const char *name : {"SFDOORS.DAT", "SFMAIN.DAT", "sffile.dat", "SFMESS.DAT", "SFSYSOP.DAT"}) {
        SCOPED_TRACE(name);
        TestDir here;
        std::string original = JoinLines(SFDoors());
        std::string path = here.write(name, original);
        memset(&od_control, 0, sizeof od_control);
        ASSERT_EQ(ODDropFileReadPath(path.c_str()), ODDROP_OK);
        EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_SFDOORS);
        EXPECT_EQ((int)od_control.caller_record_number, 5);
        EXPECT_STREQ(od_control.caller_name, "Jane Doe");
        EXPECT_EQ((uint64_t)od_control.remote_bps, 9600u);
        EXPECT_EQ((int)od_control.com_port, 1);
        EXPECT_EQ((int)od_control.caller_time_left, 40);
        EXPECT_EQ((int)od_control.caller_ansi, 1);
        EXPECT_EQ((int)od_control.caller_security, 50);
        EXPECT_EQ((int)od_control.sysop_next, 0);
        EXPECT_EQ((int)od_control.node, 1);
        EXPECT_STREQ(od_control.caller_phone_home, "555-1212");
        EXPECT_STREQ(od_control.caller_location, "Denver, Co");
        EXPECT_EQ((int)od_control.caller_rip, 0);
        EXPECT_EQ((int)od_control.caller_wants_chat, 1);
        EXPECT_EQ((int)od_control.port_irq, 4);
        EXPECT_EQ((int)od_control.port_address, 1016);
        ASSERT_EQ(ODDropFileWriteBack(40, 0), 0);
        EXPECT_EQ(here.read(name), original);
    }
}

TEST_F(SFDoorsDat, OlderFileWithoutOptionalLinesAndItsWriteBack)
{
    Lines lines = SFDoors();
    lines.resize(32);
    Write("sfdoors.dat", JoinLines(lines, "\n"));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.caller_wants_chat, 0);
    od_control.caller_time_left = 7;
    od_control.caller_ansi = 0;
    od_control.sysop_next = 1;
    ASSERT_EQ(ODDropFileWriteBack(40, 0), 0);
    lines[6] = "7";
    lines[9] = "FALSE";
    lines[16] = "TRUE";
    EXPECT_EQ(Read("sfdoors.dat"), JoinLines(lines, "\n"));
}

// ---- CALLINFO.BBS ----

TEST_F(DropFileTest, CallinfoReadsItsLinesAndIsNotWrittenBack)
{
    Lines lines(31, "");
    lines[0] = "JOHN DOE";
    lines[2] = "ANYTOWN, USA";
    lines[3] = "80";
    lines[4] = "35";
    lines[5] = "MONO";
    lines[6] = "PW";
    lines[16] = "555-1212";
    lines[22] = "24";
    lines[28] = "COM1";
    lines[30] = "14400";
    std::string original = JoinLines(lines);
    Write("CALLINFO.BBS", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_CALLINFO);
    EXPECT_STREQ(od_control.caller_name, "John Doe");
    EXPECT_STREQ(od_control.caller_location, "Anytown, Usa");
    EXPECT_EQ((int)od_control.caller_security, 80);
    EXPECT_EQ((int)od_control.caller_time_left, 35);
    EXPECT_EQ((int)od_control.caller_ansi, 0);
    EXPECT_STREQ(od_control.caller_phone_home, "555-1212");
    EXPECT_EQ((int)od_control.caller_screen_length, 24);
    EXPECT_EQ((int)od_control.com_port, 0);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 14400u);
    od_control.caller_time_left = 1;
    EXPECT_EQ(ODDropFileWriteBack(35, 0), 0);
    EXPECT_EQ(Read("CALLINFO.BBS"), original);
}

// ---- TRIBBS.SYS ----

Lines Tribbs()
{
    return {"12",    "JOHN DOE", "PASS", "20",  "N",   "Y",    "30",      "555-1212", "BOISE, ID", "07/04/76",
            "2",     "1",        "33600", "38400", "Y", "Y", "THE TRIBE", "SAM SYSOP", "NIGHT OWL", "N"};
}

TEST_F(DropFileTest, TribbsReadsAndWritesBack)
{
    Lines lines = Tribbs();
    std::string original = JoinLines(lines);
    Write("TRIBBS.SYS", original);
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((int)od_control.drop_file_kind, OD_DROP_TRIBBS);
    EXPECT_EQ((int)od_control.caller_record_number, 12);
    EXPECT_STREQ(od_control.caller_name, "John Doe");
    EXPECT_STREQ(od_control.caller_password, "PASS");
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    EXPECT_EQ((int)od_control.caller_time_left, 30);
    EXPECT_STREQ(od_control.caller_birth_date, "07-04-76");
    EXPECT_EQ((int)od_control.node, 2);
    EXPECT_EQ((int)od_control.com_port, 0);
    EXPECT_EQ((uint64_t)od_control.connect_bps, 33600u);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 38400u);
    EXPECT_EQ((int)od_control.com_flow_control, 1);
    EXPECT_STREQ(od_control.system_name, "The Tribe");
    EXPECT_STREQ(od_control.sysop_name, "Sam Sysop");
    EXPECT_STREQ(od_control.caller_handle, "Night Owl");
    EXPECT_EQ((int)od_control.caller_rip, 0);
    ASSERT_EQ(ODDropFileWriteBack(30, 0), 0);
    EXPECT_EQ(Read("TRIBBS.SYS"), original);

    od_control.caller_time_left = 25;
    strcpy(od_control.caller_birth_date, "01-02-80");
    od_control.com_flow_control = 2;
    ASSERT_EQ(ODDropFileWriteBack(30, 0), 0);
    lines[6] = "25";
    lines[9] = "01/02/80";
    lines[14] = "N";
    EXPECT_EQ(Read("TRIBBS.SYS"), JoinLines(lines));
}

TEST_F(DropFileTest, TribbsLockedSpeedZeroUsesTheConnectSpeed)
{
    Lines lines = Tribbs();
    lines[13] = "0";
    Write("tribbs.sys", JoinLines(lines));
    ASSERT_EQ(ODDropFileRead(), ODDROP_OK);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 33600u);
}

// ---- name case ----

TEST(DropFileNameCase, CapitalisesAfterSeparatorsAndDropsOneLineEnd)
{
    char text[64];
    strcpy(text, "mARY-jO o'NEIL,jr.smith\tx\r\n");
    ODStringToName(text);
    EXPECT_STREQ(text, "Mary-Jo O'neil,Jr.Smith\tX");
    strcpy(text, "\xE9LAN \x80RIC\n");
    ODStringToName(text);
    EXPECT_STREQ(text, "\xE9lan \x80ric"); // bytes above 127 are left alone
}

} // namespace
