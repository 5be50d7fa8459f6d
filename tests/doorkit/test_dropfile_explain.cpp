// --explain-dropfile: the sysop's report of what a session would make of
// the BBS's files and options, from the real reader; nothing opened.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "ODCmdLn.h"
#include "ODExplain.h"
#include "ODInEx2.h"
#include "doorkit.h"
#include "dropfile_support.h"

namespace {

class Explain : public DropFileTest {
protected:
    std::string Run(const std::string &path, const std::string &options = "", int *ok = nullptr)
    {
        if (!options.empty()) od_parse_cmd_line(options.c_str());
        ODCmdLnSetDropPath(path.c_str());
        static char report[16384];
        int result = ODExplainDropFile(report, sizeof report);
        if (ok) *ok = result;
        return report;
    }
};

}  // namespace

TEST_F(Explain, SaysWhatTheSessionWouldUseAndWhatItClamped)
{
    // A socket the BBS hands over, time given in seconds by mistake, and a
    // name longer than the field: each shows, with the command line.
    std::string path = Write("DOOR32.SYS", JoinLines({"2", "7", "38400", "Night Owl BBS", "12",
                                                      "Ada Countess Of Lovelace And Analytical Engines",
                                                      "Ada", "100", "3000", "1", "3"}));
    int ok = 0;
    std::string report = Run(path, "-MAXTIME 20", &ok);
    EXPECT_EQ(ok, 1) << report;
    EXPECT_NE(report.find("DOOR32.SYS, read from " + path), std::string::npos) << report;
    EXPECT_NE(report.find("telnet socket, descriptor 7"), std::string::npos) << report;
    EXPECT_NE(report.find("Time left:  20 minutes (-MAXTIME holds back 30 more"), std::string::npos) << report;
    EXPECT_NE(report.find("3000 is more than a day of minutes: taken as seconds"), std::string::npos) << report;
    EXPECT_NE(report.find("was cut to its first 34 characters"), std::string::npos) << report;
    EXPECT_NE(report.find("Terminal:   ANSI, 80 x 23"), std::string::npos) << report;
    EXPECT_NE(report.find(" -D " + path + " -N <node>\n"), std::string::npos) << report;
    // Explaining is reading only: the file is as the BBS wrote it.
    EXPECT_EQ(Read("DOOR32.SYS").size(), JoinLines({"2", "7", "38400", "Night Owl BBS", "12",
                                                    "Ada Countess Of Lovelace And Analytical Engines",
                                                    "Ada", "100", "3000", "1", "3"}).size());
}

TEST_F(Explain, NamesTheBlackScreenCauses)
{
    // A telnet DOOR32.SYS without a usable socket ends start-up.
    std::string bad = Write("DOOR32.SYS", JoinLines({"2", "-1", "38400", "BBS", "1", "Bo", "Bo", "10", "30", "1", "1"}));
    int ok = 1;
    std::string report = Run(bad, "", &ok);
    EXPECT_EQ(ok, 0);
    EXPECT_NE(report.find("A session would end at start-up: Unable to use provided serial port handle."),
              std::string::npos) << report;
    EXPECT_NE(report.find("line 2, the socket handle \"-1\", is not a positive number"), std::string::npos) << report;

    // A local DOOR32.SYS from a BBS that runs doors on a terminal: without
    // -STDIO the caller would see nothing; with it, standard I/O.
    std::string local = Write("local/DOOR32.SYS", JoinLines({"0", "0", "0", "BBS", "1", "Cy", "Cy", "10", "30", "1", "2"}));
    report = Run(local);
    EXPECT_NE(report.find("a local session on the sysop's console"), std::string::npos) << report;
    EXPECT_NE(report.find("Add -STDIO"), std::string::npos) << report;
}

TEST_F(Explain, ReadsADropPathLongerThanTheControlBlockHolds)
{
    // 59 characters is all od_control.drop_path keeps; a cut path would
    // name another file, or none.
    std::string deep = "nodes/" + std::string(70, 'n') + "/node3";
    std::string path = Write(deep + "/DOOR32.SYS", JoinLines({"2", "9", "38400", "BBS", "5", "Di", "Di", "10", "30", "1", "3"}));
    ASSERT_GT(path.size(), sizeof od_control.drop_path);
    int ok = 0;
    std::string report = Run(path, "-STDIO", &ok);
    EXPECT_EQ(ok, 1) << report;
    // Windows gives the path read its own separators.
    EXPECT_NE(report.find("DOOR32.SYS, read from "), std::string::npos) << report;
    EXPECT_EQ(report.find("is not the file read"), std::string::npos) << report;
    EXPECT_NE(report.find("Caller:     Di"), std::string::npos) << report;
    EXPECT_NE(report.find(" -STDIO"), std::string::npos) << report;
}

TEST_F(Explain, HostileFilesGiveAReportAndNoOverrun)
{
    // Control bytes and escapes in the caller's name reach the sysop's
    // terminal as '?', not as commands; random bytes give a plain refusal.
    std::string name = "Ev\x1b[2J\x07il" + std::string(40, '!');
    std::string path = Write("DOOR32.SYS", JoinLines({"2", "4", "38400", "BBS", "1", name, name, "10", "30", "1", "1"}));
    std::string report = Run(path);
    EXPECT_EQ(report.find('\x1b'), std::string::npos);
    EXPECT_EQ(report.find('\x07'), std::string::npos);
    EXPECT_NE(report.find("Ev?[2j?il"), std::string::npos) << report;  // the name, in name case
    EXPECT_NE(report.find("\"Ev?[2J?il"), std::string::npos) << report; // the note on its cut

    std::string noise;
    uint32_t state = 12345;
    for (int i = 0; i < 5000; i++) {
        state = state * 1664525u + 1013904223u;
        noise.push_back((char)(state >> 24));
    }
    std::string junk = Write("junk/DOOR.SYS", noise);
    int ok = 1;
    report = Run(junk, "", &ok);
    EXPECT_EQ(ok, 0);
    EXPECT_NE(report.find("Command line for the BBS:"), std::string::npos) << report;
}
