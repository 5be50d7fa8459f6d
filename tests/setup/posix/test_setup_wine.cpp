// GRIMBY-SETUP itself, the 64-bit twin of the installer, under Wine: update
// mode as the updater starts it, and the window driven with xdotool on the
// test run's display, its states kept as screenshots. Run by the win64
// tests (GRIMBY_WIN64_DIR names that build), skipped elsewhere.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "hub_process.h"
#include "testdir.h"

namespace {

std::string Quote(const std::string &word)
{
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string WinPath(const std::string &path)
{
    std::string out = "Z:" + path;
    for (char &c : out)
        if (c == '/') c = '\\';
    return out;
}

class SetupUnderWine : public ::testing::Test {
protected:
    std::string win64, setup;
    TestDir door;

    void SetUp() override
    {
        const char *dir = getenv("GRIMBY_WIN64_DIR");
        if (!dir || !getenv("WINEPREFIX")) GTEST_SKIP() << "run by the win64 tests (GRIMBY_WIN64_DIR and WINEPREFIX)";
        win64 = dir;
        setup = win64 + "/setup/GRIMBY-SETUP.exe";
    }

    // The installer's exit code; its output goes to a file (a wineserver it
    // starts may keep whatever it was given open).
    int Run(const std::string &args, const std::string &env = "")
    {
        return HubShell("env " + env + " timeout -s KILL 120 " GRIMBY_SOURCE_DIR "/tools/wine-run " + Quote(setup) +
                        " " + args + " </dev/null >" + Quote(door.path("../setup-run.out")) + " 2>&1");
    }

    // What a shell command printed, without its last line end.
    std::string Capture(const std::string &command)
    {
        std::string file = door.path("../capture");
        HubShell(command + " >" + Quote(file) + " 2>/dev/null");
        std::string out = TestReadFile(file);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        return out;
    }

    // Every file under the door directory with its bytes, one line each.
    std::string Listing()
    {
        HubShell("cd " + Quote(door.root()) + " && find . -type f -o -type l | sort | xargs -d '\\n' md5sum >" +
                 Quote(door.path("../listing")) + " 2>&1");
        return TestReadFile(door.path("../listing"));
    }
};

}  // namespace

TEST_F(SetupUnderWine, UpdateModeInstallsTheWholeReleaseAndRefusesALinkedFolder)
{
    door.write("grimby.json", "{\"bbs_name\": \"Castle\"}");
    door.write("GRIMBY.exe", "older game");
    door.write("docs/INSTALL.txt", "older guide");
    door.write(".grimby-maintenance", "");
    door.mkdir("elsewhere");
    ASSERT_EQ(symlink(door.path("elsewhere").c_str(), door.path("hub").c_str()), 0);
    std::string before = Listing();
    // Wine would escape quotes handed over in an argument: the path goes
    // as it is (the quoted form is the engine test's).
    std::string quoted = WinPath(door.root());

    EXPECT_EQ(Run("--update " + Quote(quoted)), 1);
    EXPECT_EQ(Listing(), before) << "a refused update changed the door directory";

    ASSERT_EQ(unlink(door.path("hub").c_str()), 0);
    EXPECT_EQ(Run("--update " + Quote(quoted)), 0) << TestReadFile(door.path("../setup-run.out"));
    EXPECT_TRUE(door.read("GRIMBY.exe") == TestReadFile(win64 + "/game/GRIMBY.exe"));
    EXPECT_TRUE(door.read("GRIMBY-UPDATE.exe") == TestReadFile(win64 + "/update/GRIMBY-UPDATE.exe"));
    EXPECT_EQ(door.read("GRIMBY.exe.previous"), "older game");
    EXPECT_EQ(door.read("docs/INSTALL.txt.previous"), "older guide");
    EXPECT_EQ(door.read("grimby.json"), "{\"bbs_name\": \"Castle\"}");
    EXPECT_NE(door.read("release.version").find("-testkey\n"), std::string::npos);
    EXPECT_TRUE(door.exists("hub/GRIMBY-SYNC.exe"));
}

namespace {

// The set-up window on the test run's display (Xvfb with openbox), driven
// as a sysop would: clicks, typing and Enter on its message boxes. Its twin
// carries stand-ins for GRIMBY-CONFIG and GRIMBY-SYNC, which fail at will.
class SetupWindow : public SetupUnderWine {
protected:
    std::string shots, window;
    pid_t program = -1;

    void SetUp() override
    {
        SetupUnderWine::SetUp();
        if (IsSkipped()) return;
        setup = win64 + "/setup/stand-ins/setup-with-stand-ins.exe";
        if (!getenv("DISPLAY")) GTEST_SKIP() << "needs the test run's display";
        shots = win64 + "/setup-screens";
        HubShell("mkdir -p " + Quote(shots));
    }
    void TearDown() override
    {
        if (program > 0) {
            kill(program, SIGKILL);
            waitpid(program, nullptr, 0);
        }
    }

    // The first window with exactly this title, waiting up to 60 s.
    std::string Find(const std::string &title)
    {
        return Capture("timeout 60 xdotool search --sync --onlyvisible --name " + Quote("^" + title + "$") +
                       " | head -n 1");
    }
    void Gone(const std::string &id)
    {
        for (int i = 0; i < 600 && HubShell("xdotool getwindowname " + id + " >/dev/null 2>&1") == 0; i++)
            usleep(100000);
    }
    void Shot(const std::string &name) { HubShell("import -window root " + Quote(shots + "/" + name + ".png")); }
    void Click(int x, int y)
    {
        HubShell("xdotool mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
                 " click 1");
        usleep(200000);
    }
    // Replaces an edit box's text, the box given by a point inside it.
    void Type(int x, int y, const std::string &text)
    {
        Click(x, y);
        HubShell("xdotool key --clearmodifiers End shift+Home BackSpace");
        HubShell("xdotool type --delay 20 " + Quote(text));
    }
    // Presses the button and answers the one message box the run ends
    // with, whose caption is returned after a screenshot of it.
    void Press(const std::string &shot, const std::string &caption = "Grimby Setup")
    {
        Click(130, 256);
        std::string box = Find(caption);
        ASSERT_FALSE(box.empty()) << "no message box " << caption;
        Shot(shot);
        HubShell("xdotool windowactivate --sync " + box + " key Return");
        Gone(box);
    }
    std::string Log() { return door.read("stand-in.log"); }
    // Starts the set-up program and finds its window.
    bool Open()
    {
        program = fork();
        if (program == 0) {
            execl(GRIMBY_SOURCE_DIR "/tools/wine-run", "wine-run", setup.c_str(), (char *)nullptr);
            _exit(127);
        }
        window = Find("Grimby - Windows Setup");
        return !window.empty();
    }
};

}  // namespace

TEST_F(SetupWindow, RunsItsStepsInOrderStopsAtTheFirstFailureAndCanBeRunAgain)
{
    door.write("stand-in-GRIMBY-CONFIG.exit", "1");
    door.write("chat.json", "{\"enabled\": false}");  // the chat step is skipped with one present
    ASSERT_TRUE(Open());
    Shot("1-window");
    Type(250, 77, WinPath(door.root()));
    Type(300, 111, "Castle \"BBS\"");
    // A quote in the name: the files go in, nothing is configured.
    Press("2-name-with-quote");
    EXPECT_TRUE(door.read("GRIMBY.exe") == TestReadFile(win64 + "/game/GRIMBY.exe"));
    EXPECT_EQ(Log(), "");

    // Still a new installation although grimby.json is there now: it is
    // the release's own.
    Type(300, 111, "Castle BBS");
    Press("3-configuration-failed");
    EXPECT_NE(Log().find("GRIMBY-CONFIG|" + WinPath(door.root()) + "|\"" + WinPath(door.root()) +
                         "\\GRIMBY-CONFIG.exe\" --gui-setup --bbs \"Castle BBS\" --domain \"example.com\" --interbbs Y"),
              std::string::npos)
        << Log();
    EXPECT_EQ(Log().find("GRIMBY-SYNC"), std::string::npos);

    ::unlink(door.path("stand-in-GRIMBY-CONFIG.exit").c_str());
    door.write("stand-in-GRIMBY-SYNC.exit", "3");
    Press("4-connection-test-failed");
    EXPECT_NE(Log().find("GRIMBY-SYNC|" + WinPath(door.root()) + "|\"" + WinPath(door.root()) +
                         "\\hub\\GRIMBY-SYNC.exe\" --test-connection"),
              std::string::npos)
        << Log();

    // An upgrade: the sysop's grimby.json with sharing off decides.
    door.write("grimby.json", "{\"bbs_name\": \"Castle BBS\", \"score_sharing\": {\"enabled\": false}}");
    ::unlink(door.path("stand-in.log").c_str());
    Press("5-upgrade-completed");
    EXPECT_NE(Log().find("GRIMBY-CONFIG.exe\" --upgrade"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("GRIMBY-SYNC"), std::string::npos) << Log();
    Shot("6-after-upgrade");

    HubShell("xdotool windowactivate --sync " + window + " key alt+F4");
    int status = -1;
    for (int i = 0; i < 300 && waitpid(program, &status, WNOHANG) == 0; i++) usleep(100000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    program = -1;
}

// A disk that fills up half-way through an update: the entry that no longer
// fits fails, and everything before it is put back. Needs a small tmpfs of
// its own (root); no message box is shown without a display.
TEST_F(SetupUnderWine, UpdateModeOnAFullDiskPutsEverythingBack)
{
    std::string mount = door.mkdir("small");
    if (HubShell("mount -t tmpfs -o size=1200k tmpfs " + Quote(mount) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    door.write("small/grimby.json", "{\"bbs_name\": \"Castle\"}");
    door.write("small/.grimby-maintenance", "");
    door.write("small/GRIMBY.exe", "older game");
    door.write("small/docs/INSTALL.txt", "older guide");
    door.write("small/GRIMBY-CONFIG.exe", "older configuration utility");
    std::string before = Capture("cd " + Quote(mount) + " && find . -type f | sort | xargs -d '\\n' md5sum");
    int code = HubShell("env -u DISPLAY timeout -s KILL 120 " GRIMBY_SOURCE_DIR "/tools/wine-run " + Quote(setup) +
                        " --update " + Quote(WinPath(mount)) + " </dev/null >/dev/null 2>&1");
    std::string after = Capture("cd " + Quote(mount) + " && find . -type f -not -path './update-backup-*' | sort | "
                                "xargs -d '\\n' md5sum");
    std::string temporary = Capture("find " + Quote(mount) + " -iname 'GRB*.tmp'");
    std::string saved = Capture("ls " + Quote(mount) + " | grep update-backup-");
    HubShell("umount " + Quote(mount));
    EXPECT_EQ(code, 1);
    EXPECT_NE(saved, "") << "refused before installing anything, not stopped by the full disk";
    EXPECT_EQ(after, before);
    EXPECT_EQ(temporary, "");
}

// The happy path with the real programs: an enrolled BBS upgraded from the
// window runs the real GRIMBY-CONFIG --upgrade and GRIMBY-SYNC
// --test-connection against a real grimby-hub over TLS (its CA trusted in
// the Wine prefix), and ends with the one success message.
TEST_F(SetupWindow, AnUpgradeRunsTheRealConfigurationAndConnectionTestAgainstTheHub)
{
    setup = win64 + "/setup/GRIMBY-SETUP.exe";
    HubProcess hub;
    ASSERT_TRUE(hub.Start()) << hub.log();
    ASSERT_EQ(HubShell(GRIMBY_SOURCE_DIR "/tools/wine-run " + Quote(win64 + "/tests/trust-ca.exe") + " " +
                       Quote(WinPath(hub.ca_file())) + " </dev/null >/dev/null 2>&1"),
              0);
    door.write("grimby.json", "{\"bbs_name\":\"Castle BBS\",\"hub\":\"" + hub.url() +
                                  "\",\"score_sharing\":{\"enabled\":true}}\n");
    door.write("chat.json", "{\"enabled\": false}");
    door.mkdir("hub");
    ASSERT_EQ(HubShell("cd " + Quote(door.root()) + " && timeout -s KILL 120 " GRIMBY_SOURCE_DIR "/tools/wine-run " +
                       Quote(win64 + "/workers/GRIMBY-CONFIG.exe") +
                       " --gui-setup --bbs 'Castle BBS' --domain castle.example --interbbs Y </dev/null >/dev/null 2>&1"),
              0)
        << door.read("hub/config-error.log");
    ASSERT_TRUE(door.exists("hub/sync.json"));

    ASSERT_TRUE(Open());
    Type(250, 77, WinPath(door.root()));
    Press("7-upgrade-against-the-hub");
    EXPECT_FALSE(door.exists("hub/config-error.log")) << door.read("hub/config-error.log");
    EXPECT_FALSE(door.exists("hub/sync-windows-error.log")) << door.read("hub/sync-windows-error.log");
    EXPECT_TRUE(door.read("GRIMBY.exe") == TestReadFile(win64 + "/game/GRIMBY.exe"));
    EXPECT_TRUE(door.read("hub/GRIMBY-SYNC.exe") == TestReadFile(win64 + "/workers/GRIMBY-SYNC.exe"));
    HubShell("xdotool windowactivate --sync " + window + " key alt+F4");
    int status = -1;
    for (int i = 0; i < 300 && waitpid(program, &status, WNOHANG) == 0; i++) usleep(100000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    program = -1;
}
