// The installed packages' door: a door directory made by grimby-door-setup,
// played through the installed grimby-launch. tests/deb/deb_test.sh runs
// it after dpkg -i; elsewhere it is skipped.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "e2e_play.h"

TEST(InstalledDoor, ACallerReachesTheLobbyThroughGrimbyLaunch)
{
    const char *door_dir = getenv("GRIMBY_INSTALLED_DOOR_DIR");
    if (!door_dir || !door_dir[0]) GTEST_SKIP() << "run by tests/deb/deb_test.sh on the installed packages";
    TestDir nodes;
    LauncherProcess launcher;
    ASSERT_TRUE(launcher.Start("/usr/bin/grimby-launch", {"--door", std::string(door_dir) + "/grimby-door", "--nodes",
                                                          nodes.path("nodes"), "--name", "Deb Caller"}));
    TelnetClient caller;
    ASSERT_TRUE(caller.Connect(launcher.port()));
    ASSERT_TRUE(ReachLobbyAsNewCaller(caller, "DebKid", '1')) << launcher.output();
    caller.Type("q");
    EXPECT_EQ(launcher.DoorLevel(0), 0) << launcher.output();
    // The survivor was saved in the door directory, not beside the program.
    EXPECT_EQ(system(("ls -A '" + std::string(door_dir) + "/data' | grep -q .").c_str()), 0);
}
