// The launcher's own part of a call, with small shell-script doors: the
// socket handed over as DOOR32.SYS names it, the door's error level
// reported, and a pty door's output reaching a telnet caller byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include "e2e_play.h"

namespace {

std::string ScriptDoor(const TestDir &dir, const std::string &body)
{
    std::string path = dir.write("script-door", "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
    return path;
}

}  // namespace

TEST(Launcher, HandsTheSocketOverAsDoor32SysNamesIt)
{
    TestDir dir;
    // The door answers on the descriptor the drop file's second line names.
    std::string door = ScriptDoor(dir, "fd=$(sed -n 2p \"$2\" | tr -d '\\r')\n"
                                       "printf 'DOOR ON %s\\r\\n' \"$fd\" >&\"$fd\"\n"
                                       "exit 5");
    LauncherProcess launcher;
    ASSERT_TRUE(launcher.Start(LauncherProgram(), {"--door", door, "--nodes", dir.path("nodes"), "--name",
                                                   "Sam Socket", "--first-node", "4"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    EXPECT_TRUE(Expect(caller, "DOOR ON "));
    EXPECT_EQ(launcher.DoorLevel(4), 5) << launcher.output();
    EXPECT_TRUE(caller.WaitClosed());
    std::string drop = dir.read("nodes/node4/DOOR32.SYS");
    EXPECT_EQ(drop.compare(0, 3, "2\r\n"), 0) << drop;
    EXPECT_NE(drop.find("\r\nSam Socket\r\n"), std::string::npos) << drop;
    EXPECT_NE(drop.find("\r\n4\r\n"), std::string::npos) << drop; // the node, last line
}

TEST(Launcher, APtyDoorsByte255ReachesTheTelnetCallerIntact)
{
    TestDir dir;
    // 0xFF is a CP437 character; on telnet it must travel doubled, also in
    // the last output the door leaves behind as it ends.
    std::string bytes(60000, '\xFF');
    dir.write("ff.bin", bytes);
    std::string door = ScriptDoor(dir, "printf 'START'\n"
                                       "exec head -c 60000 \"$(dirname \"$0\")/ff.bin\"\n");
    LauncherProcess launcher;
    ASSERT_TRUE(launcher.Start(LauncherProgram(),
                               {"--door", door, "--nodes", dir.path("nodes"), "--name", "Pat Pty", "--stdio"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();
    EXPECT_TRUE(caller.WaitClosed());
    const std::string &got = caller.received();
    size_t start = got.find("START");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(std::count(got.begin(), got.end(), '\xFF'), 60000);
    EXPECT_EQ(got.size(), start + 5 + 60000);
    EXPECT_EQ(caller.telnet_errors(), 0);
}

TEST(Launcher, APtyDoorsLeftoverProcessDoesNotHoldTheCallerOnTheLine)
{
    TestDir dir;
    // Something the door started keeps the terminal open after the door
    // has ended (and ignores the hang-up): the caller still gets the door's
    // last words, the error level is reported, and the line is hung up.
    std::string door = ScriptDoor(dir, "(trap '' HUP; exec sleep 3) </dev/null >/dev/null 2>&1 &\n"
                                       "(trap '' HUP; exec sleep 3) &\n"
                                       "printf 'GOODBYE'\n"
                                       "exit 0");
    LauncherProcess launcher;
    ASSERT_TRUE(launcher.Start(LauncherProgram(),
                               {"--door", door, "--nodes", dir.path("nodes"), "--name", "Lee Linger", "--stdio"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    EXPECT_TRUE(caller.WaitFor("GOODBYE", 3000));
    EXPECT_EQ(launcher.DoorLevel(1, 3000), 0) << launcher.output();
    EXPECT_TRUE(caller.WaitClosed(3000));
}
