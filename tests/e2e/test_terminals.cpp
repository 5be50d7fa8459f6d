// GRIMBY in real terminals, driven through tmux: a caller with the system's
// telnet program connecting to the launcher, and the sysop's local session
// (-L), which must leave the terminal as it found it.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e_play.h"

namespace {

std::string Quote(const std::string &text)
{
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string RunCommand(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

bool Installed(const char *program)
{
    return system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// One pane on a tmux server of its own (named by our pid and a counter, so
// tests running side by side never share a server). The shell around the
// program records the terminal settings before and after it and its exit
// code.
class Pane {
public:
    explicit Pane(const TestDir &dir)
        : dir_(dir), server_("grimby-e2e-" + std::to_string(getpid()) + "-" + std::to_string(next_id_++)) {}
    ~Pane() { Tmux("kill-server"); }

    bool Start(const std::string &command)
    {
        std::string script = "cd " + Quote(dir_.root()) + " && stty -g > stty.before; " + command +
                             "; echo $? > rc.tmp; stty -g > stty.tmp; mv stty.tmp stty.after; mv rc.tmp rc; sleep 60";
        return Tmux("new-session -d -s e2e -x 80 -y 25 " + Quote(script)) == 0;
    }

    std::string Screen() { return RunCommand("tmux -L " + server_ + " capture-pane -p -t e2e 2>/dev/null"); }

    bool WaitFor(const std::string &text, int timeout_ms = 10000)
    {
        for (int waited = 0; waited < timeout_ms; waited += 50) {
            if (Screen().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "waited for \"" << text << "\"; the pane shows:\n" << Screen();
        return false;
    }

    // Keys as tmux names them; "-l" sends the text literally.
    void Keys(const std::string &keys) { Tmux("send-keys -t e2e " + keys); }
    void Text(const std::string &text) { Tmux("send-keys -t e2e -l " + Quote(text)); }

    int ExitCode(int timeout_ms = 10000)
    {
        for (int waited = 0; waited < timeout_ms; waited += 50) {
            if (dir_.exists("rc")) return atoi(dir_.read("rc").c_str());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

    bool TerminalRestored()
    {
        for (int waited = 0; waited < 5000 && !dir_.exists("stty.after"); waited += 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return dir_.exists("stty.after") && !dir_.read("stty.before").empty() &&
               dir_.read("stty.before") == dir_.read("stty.after");
    }

private:
    int Tmux(const std::string &arguments)
    {
        return system(("env -u TMUX tmux -L " + server_ + " " + arguments + " >/dev/null 2>&1").c_str());
    }

    static inline int next_id_ = 0;
    const TestDir &dir_;
    std::string server_;
};

// Music question, handle, gender and class as keys in the pane.
bool CreateSurvivorInPane(Pane &pane, const std::string &handle)
{
    if (!pane.WaitFor("[Y] ENABLE SOUND  [N] SILENT")) return false;
    pane.Keys("n");
    if (!pane.WaitFor("CHOOSE YOUR SURVIVOR")) return false;
    pane.Text(handle);
    pane.Keys("Enter");
    if (!pane.WaitFor("[Y] YES, KEEP IT")) return false;
    pane.Keys("y");
    if (!pane.WaitFor("CHOOSE M / F")) return false;
    pane.Keys("m");
    if (!pane.WaitFor("CHOOSE YOUR CLASS")) return false;
    pane.Keys("1");
    return pane.WaitFor("[Q] RETURN TO BBS");
}

class Terminals : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Installed("tmux")) GTEST_SKIP() << "tmux is not installed";
    }
};

}  // namespace

TEST_F(Terminals, TheTelnetProgramReachesTheLobbyAndQuits)
{
    if (!Installed("telnet")) GTEST_SKIP() << "telnet is not installed";
    E2ESite site;
    LauncherProcess launcher;
    ASSERT_TRUE(site.Launch(launcher, {"--name", "Tel Net"}));
    TestDir shell;
    Pane pane(shell);
    ASSERT_TRUE(pane.Start("telnet 127.0.0.1 " + std::to_string(launcher.port())));
    ASSERT_TRUE(CreateSurvivorInPane(pane, "Telly"));
    EXPECT_TRUE(pane.WaitFor("[S] STORY - 8 MONTHLY STAGES"));
    // The lobby's hall of fame and back, then Q returns to the BBS.
    pane.Keys("h");
    EXPECT_TRUE(pane.WaitFor("No Story Mode scores recorded yet."));
    pane.Keys("c");
    EXPECT_TRUE(pane.WaitFor("[Q] RETURN TO BBS"));
    pane.Keys("q");
    EXPECT_EQ(launcher.DoorLevel(1), 0) << launcher.output();
    EXPECT_TRUE(pane.WaitFor("Connection closed by foreign host."));
    int profiles = 0;
    for (const std::string &name : site.data_files()) profiles += name.compare(0, 8, "profile-") == 0;
    EXPECT_EQ(profiles, 1);
}

TEST_F(Terminals, ALocalSessionRestoresTheTerminal)
{
    E2ESite site;
    Pane pane(site.dir);
    ASSERT_TRUE(pane.Start(Quote(site.door) + " -L -USERNAME " + Quote("Lo Cal")));
    ASSERT_TRUE(pane.WaitFor("Lo Cal of Unknown Location in local mode"));
    ASSERT_TRUE(CreateSurvivorInPane(pane, "|10Local"));
    pane.Keys("q");
    EXPECT_EQ(pane.ExitCode(), 0);
    EXPECT_TRUE(pane.TerminalRestored()) << site.dir.read("stty.before") << " / " << site.dir.read("stty.after");
    int profiles = 0;
    for (const std::string &name : site.data_files()) profiles += name.compare(0, 8, "profile-") == 0;
    EXPECT_EQ(profiles, 1);
}
