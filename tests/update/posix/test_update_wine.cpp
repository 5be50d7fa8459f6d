// GRIMBY-UPDATE end to end: the 64-bit twin of the updater run under Wine
// against the real grimby-hub over TLS (its test CA trusted in the Wine
// prefix), a release published by grimby-release and signed with the
// build's test key, and a stand-in installer. Driven from Linux, where the
// hub and the key live; run by the win64 tests (GRIMBY_WIN64_DIR names that
// build), skipped elsewhere.
#include <gtest/gtest.h>

#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hub_process.h"
#include "https_server.h"
#include "testdir.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

struct Ran {
    int code = -1;
    std::string out;
};

std::string Quote(const std::string &word)
{
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a program with its input from a file and its output to one (a
// wineserver it starts may keep whatever it was given open): the exit
// code, 137 when it had to be killed, and what it printed.
Ran RunProgram(const std::vector<std::string> &argv, const std::string &input, const Env &env, const std::string &dir)
{
    static int serial;
    std::string base = dir + "/run" + std::to_string(++serial);
    TestWriteFile(base + ".in", input);
    std::string line = "env";
    for (const auto &kv : env) line += " " + Quote(kv.first + "=" + kv.second);
    line += " timeout -s KILL 120";
    for (const auto &word : argv) line += " " + Quote(word);
    line += " <" + Quote(base + ".in") + " >" + Quote(base + ".out") + " 2>&1";
    Ran ran;
    ran.code = HubShell(line);
    ran.out = TestReadFile(base + ".out");
    return ran;
}

std::string WinPath(const std::string &path)
{
    std::string out = "Z:" + path;
    for (char &c : out)
        if (c == '/') c = '\\';
    return out;
}

bool Sh(const std::string &command)
{
    return HubShell(command + " >/dev/null 2>&1") == 0;
}

// Signs bytes as grimby-release does, for manifests it would never write.
std::string Sign(const std::string &pem_path, const std::string &bytes, const std::string &dir)
{
    TestWriteFile(dir + "/to-sign", bytes);
    HubShell("openssl dgst -sha256 -sign " + Quote(pem_path) + " -out " + Quote(dir + "/signed") + " " +
             Quote(dir + "/to-sign"));
    return TestReadFile(dir + "/signed");
}

// Servers that misbehave (tests/support's HTTPS server) use the hub's
// certificate, which the prefix trusts.
TestTlsFiles HubTls(const HubProcess &hub)
{
    return {hub.ca_file(), hub.dir() + "/cert.pem", hub.dir() + "/key.pem", ""};
}

std::string LocalHost(const TestHttpsServer &server)
{
    return "localhost:" + std::to_string(server.port());
}

// Everything the runs share: the win64 build, the test CA and the server.
struct Bench {
    std::string win64, temp_dir;
    std::unique_ptr<TestDir> dir;
    std::string release, key_pem;
    std::unique_ptr<HubProcess> hub;
    std::string host;
    std::string skip;
};
Bench *bench = nullptr;

class UpdateUnderWine : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bench = new Bench;
        const char *win64 = getenv("GRIMBY_WIN64_DIR");
        const char *prefix = getenv("WINEPREFIX");
        if (!win64 || !prefix) {
            bench->skip = "run by the win64 tests (GRIMBY_WIN64_DIR and WINEPREFIX)";
            return;
        }
        bench->win64 = win64;
        struct passwd *user = getpwuid(getuid());
        bench->temp_dir = std::string(prefix) + "/drive_c/users/" + (user ? user->pw_name : "root") + "/Temp";
        bench->dir.reset(new TestDir);
        bench->key_pem = bench->win64 + "/update/test-release-key.pem";
        bench->hub.reset(new HubProcess);
        ASSERT_TRUE(bench->hub->Start()) << bench->hub->log();
        bench->release = bench->hub->release_dir();
        bench->host = "localhost:" + std::to_string(bench->hub->port());
        Ran trusted = Run({GRIMBY_SOURCE_DIR "/tools/wine-run", bench->win64 + "/tests/trust-ca.exe",
                           WinPath(bench->hub->ca_file())});
        ASSERT_EQ(trusted.code, 0) << trusted.out;
    }
    static void TearDownTestSuite()
    {
        delete bench;
        bench = nullptr;
    }

    TestDir door;

    void SetUp() override
    {
        if (!bench->skip.empty()) GTEST_SKIP() << bench->skip;
        ASSERT_TRUE(bench->hub);
        ASSERT_TRUE(Sh("cp " + bench->win64 + "/update/GRIMBY-UPDATE.exe " + door.root() + "/"));
        door.write("release.version", "2.0.9\n");
        // The release: grimby-release publishes the stand-in as 2.0.10.
        Publish(bench->win64 + "/tests/stand-in-installer.exe", "2.0.10", "Winter campaign, faster hall");
    }

    static Ran Run(const std::vector<std::string> &argv, const std::string &input = "", const Env &env = {})
    {
        return RunProgram(argv, input, env, bench->dir->root());
    }
    void Publish(const std::string &package, const std::string &version, const std::string &notes)
    {
        Ran ran = Run({GRIMBY_BINARY_DIR "/tools/grimby-release", "--package", package, "--version", version,
                       "--notes", notes, "--key", bench->key_pem, "--host", bench->host, bench->release});
        ASSERT_EQ(ran.code, 0) << ran.out;
    }

    std::string Manifest() { return TestReadFile(bench->release + "/grimby/windows-x64.txt"); }
    // Serves a manifest of our own, signed with the release key.
    void Serve(const std::string &manifest)
    {
        TestWriteFile(bench->release + "/grimby/windows-x64.txt", manifest);
        TestWriteFile(bench->release + "/grimby/windows-x64.sig", Sign(bench->key_pem, manifest, bench->dir->root()));
    }

    std::vector<std::string> WorkDirs()
    {
        std::vector<std::string> found;
        DIR *d = opendir(bench->temp_dir.c_str());
        if (!d) return found;
        while (struct dirent *e = readdir(d))
            if (strncasecmp(e->d_name, "GUP", 3) == 0) found.push_back(e->d_name);
        closedir(d);
        return found;
    }

    // One run of the updater in the door directory; checks what every run
    // must leave: no work directory behind.
    Ran Update(const std::string &args, const std::string &input, Env env = {}, const std::string &host = "")
    {
        std::vector<std::string> before = WorkDirs();
        env.push_back({"GRIMBY_UPDATE_TEST_HOST", host.empty() ? bench->host : host});
        std::vector<std::string> argv = {GRIMBY_SOURCE_DIR "/tools/wine-run"};
        argv.insert(argv.end(), wrapper.begin(), wrapper.end());
        argv.push_back(wrapper.empty() ? door.path("GRIMBY-UPDATE.exe") : WinPath(door.path("GRIMBY-UPDATE.exe")));
        if (!args.empty()) argv.push_back(args);
        Ran ran = Run(argv, input, env);
        // Its standard output is in text mode: CR LF line ends.
        for (size_t at; (at = ran.out.find("\r\n")) != std::string::npos;) ran.out.erase(at, 1);
        if (!work_dir_may_stay) {
            EXPECT_EQ(WorkDirs(), before) << "a work directory was left behind";
        }
        return ran;
    }
    bool Installed() { return door.exists("stand-in-installer.log"); }
    // Windows programs the updater runs under (console-break).
    std::vector<std::string> wrapper;
    bool work_dir_may_stay = false;
};

bool Has(const Ran &ran, const std::string &text)
{
    return ran.out.find(text) != std::string::npos;
}

}  // namespace

TEST_F(UpdateUnderWine, UpToDateThenNewerOfferedInCheckMode)
{
    door.write("release.version", "2.0.10\n");
    Ran same = Update("", "\n");
    EXPECT_EQ(same.code, 0) << same.out;
    EXPECT_TRUE(Has(same, "GRIMBY 2.0.10 - checking windows-x64 updates...\nUp to date.\nPress Enter to close.")) << same.out;

    // 2.0.10 over 2.0.9: numbers, not text. --check asks nothing and does
    // not wait.
    door.write("release.version", "2.0.9\r\n");
    Ran check = Update("--check", "");
    EXPECT_EQ(check.code, 0) << check.out;
    EXPECT_TRUE(Has(check, "Available: 2.0.10\nWinter campaign, faster hall\n")) << check.out;
    EXPECT_FALSE(Has(check, "Y/N")) << check.out;
    EXPECT_FALSE(Has(check, "Press Enter")) << check.out;
    EXPECT_FALSE(Installed());

    // No release.version: an installation from before the file existed.
    ::unlink(door.path("release.version").c_str());
    Ran old = Update("--check", "");
    EXPECT_EQ(old.code, 0) << old.out;
    EXPECT_TRUE(Has(old, "GRIMBY 1.6.0 - checking windows-x64 updates...\nAvailable: 2.0.10\n")) << old.out;
    // One that yields no line ends the run before anything is fetched.
    door.write("release.version", "");
    Ran empty = Update("", "");
    EXPECT_EQ(empty.code, 1) << empty.out;
    EXPECT_EQ(empty.out, "");
}

TEST_F(UpdateUnderWine, DeclinedInstallsNothing)
{
    Ran ran = Update("", "n\n\n");
    EXPECT_EQ(ran.code, 0) << ran.out;
    EXPECT_TRUE(Has(ran, "Download and install this update? Y/N [N]: Cancelled.")) << ran.out;
    EXPECT_FALSE(Installed());
    EXPECT_FALSE(door.exists(".grimby-maintenance"));
}

// Ended while the question waits (its console closed, the process
// killed): the run holds nothing on disk there, so nothing is left.
TEST_F(UpdateUnderWine, EndedAtTheQuestionLeavesNothing)
{
    std::vector<std::string> before = WorkDirs();
    std::string exe = door.path("GRIMBY-UPDATE.exe"), out = door.path("asking.out");
    // An answer that never comes: a pipe whose writer only sleeps.
    std::string line = "(sleep 30 | env GRIMBY_UPDATE_TEST_HOST=" + Quote(bench->host) +
                       " " GRIMBY_SOURCE_DIR "/tools/wine-run " + Quote(exe) + " >" + Quote(out) + " 2>&1 &)";
    ASSERT_EQ(HubShell(line + " </dev/null >/dev/null 2>&1"), 0);
    bool asking = false;
    for (int i = 0; i < 300 && !asking; i++) {
        usleep(100000);
        asking = TestReadFile(out).find("Y/N [N]: ") != std::string::npos;
    }
    EXPECT_TRUE(asking) << TestReadFile(out);
    EXPECT_EQ(WorkDirs(), before) << "files on disk while the question waits";

    // Wine names the process by its Windows path: the door directory's
    // unique name finds it in either form ([G] keeps the shell that runs
    // the search from matching itself).
    std::string unique = door.root().substr(door.root().rfind('/') + 1);
    std::string pattern = Quote(unique + ".[G]RIMBY-UPDATE");
    HubShell("pkill -KILL -f " + pattern);
    for (int i = 0; i < 100 && HubShell("pgrep -f " + pattern + " >/dev/null") == 0; i++) usleep(100000);
    EXPECT_NE(HubShell("pgrep -f " + pattern + " >/dev/null"), 0) << "the updater did not end";
    EXPECT_EQ(WorkDirs(), before);
    EXPECT_FALSE(door.exists(".grimby-maintenance"));
}

// Accepted: the installer runs in update mode behind the marker, and a
// caller who arrives meanwhile is turned away by the game itself (the
// marker must be readable while the installer runs).
TEST_F(UpdateUnderWine, AcceptedRunsTheInstallerWhileTheGameTurnsCallersAway)
{
    ASSERT_TRUE(Sh("cp " + bench->win64 + "/game/GRIMBY.exe " + door.root() + "/"));
    Ran ran = Update("", "y\n\n", {{"GRIMBY_STAND_IN_GAME", "1"}});
    EXPECT_EQ(ran.code, 0) << ran.out;
    EXPECT_TRUE(Has(ran, "Update to 2.0.10 complete.\nPress Enter to close.")) << ran.out;
    std::string log = door.read("stand-in-installer.log");
    EXPECT_NE(log.find("\\update.exe\" --update \"" + WinPath(door.root()) + "\"\n"), std::string::npos) << log;
    EXPECT_NE(log.find("marker: readable"), std::string::npos) << log;
    EXPECT_NE(log.find("game exit: 0"), std::string::npos) << log;
    EXPECT_NE(door.read("game-during-update.txt").find("GRIMBY is being updated. Please return shortly."),
              std::string::npos)
        << door.read("game-during-update.txt");
    EXPECT_FALSE(door.exists(".grimby-maintenance"));
}

TEST_F(UpdateUnderWine, AFailedInstallerOrARunningGameLeavesNoMarker)
{
    Ran failed = Update("", "y\n\n", {{"GRIMBY_STAND_IN_EXIT", "3"}});
    EXPECT_EQ(failed.code, 1) << failed.out;
    EXPECT_TRUE(Has(failed, "Installer failed; see its error message.\nUpdate not installed.\n")) << failed.out;
    EXPECT_FALSE(door.exists(".grimby-maintenance"));

    // A package that is no program: it cannot be started.
    ::unlink(door.path("stand-in-installer.log").c_str());
    Publish(door.write("notes.txt", std::string(5000, 'z')), "2.0.11", "Broken build");
    Ran unstartable = Update("", "y\n\n");
    EXPECT_EQ(unstartable.code, 1) << unstartable.out;
    EXPECT_TRUE(Has(unstartable, "Y/N [N]: Update not installed.\n")) << unstartable.out;
    EXPECT_FALSE(door.exists(".grimby-maintenance"));

    // A GRIMBY.exe running anywhere in the prefix (another node).
    std::string node = door.mkdir("node2");
    ASSERT_TRUE(Sh("cp " + bench->win64 + "/tests/stand-in-installer.exe " + node + "/GRIMBY.exe"));
    ASSERT_EQ(HubShell(Quote(GRIMBY_SOURCE_DIR "/tools/wine-run") + " " + Quote(node + "/GRIMBY.exe") +
                       " --sleep " + Quote(WinPath(node + "/started")) + " >/dev/null 2>&1 & echo $! >" +
                       Quote(node + "/pid")),
              0);
    pid_t game = (pid_t)atoi(door.read("node2/pid").c_str());
    ASSERT_GT(game, 0);
    for (int i = 0; i < 600 && !door.exists("node2/started"); i++) usleep(50000);
    ASSERT_TRUE(door.exists("node2/started"));
    ::unlink(door.path("stand-in-installer.log").c_str());
    Ran busy = Update("", "y\n\n");
    kill(game, SIGKILL);
    EXPECT_EQ(busy.code, 1) << busy.out;
    EXPECT_TRUE(Has(busy, "A GRIMBY session is active. Nothing replaced; retry when callers finish.\n"
                          "Update not installed.\n"))
        << busy.out;
    EXPECT_FALSE(Installed());
    EXPECT_FALSE(door.exists(".grimby-maintenance"));
}

// Something still has the marker open, without delete sharing, when the
// installer is done: the marker goes once it is let go.
TEST_F(UpdateUnderWine, AMarkerHeldOpenForAMomentIsStillRemoved)
{
    Ran ran = Update("", "y\n\n", {{"GRIMBY_STAND_IN_HOLD", "1"}});
    EXPECT_EQ(ran.code, 0) << ran.out;
    EXPECT_TRUE(Has(ran, "Update to 2.0.10 complete.\nPress Enter to close.")) << ran.out;
    EXPECT_FALSE(Has(ran, "Could not remove")) << ran.out;
    EXPECT_FALSE(door.exists(".grimby-maintenance"));
}

TEST_F(UpdateUnderWine, AMarkerThisRunDidNotMakeStaysAndStopsIt)
{
    door.write(".grimby-maintenance", "left by a crashed run");
    Ran ran = Update("", "y\n\n");
    EXPECT_EQ(ran.code, 1) << ran.out;
    EXPECT_TRUE(Has(ran, "Another update or maintenance operation is active.\nUpdate not installed.\n")) << ran.out;
    EXPECT_EQ(door.read(".grimby-maintenance"), "left by a crashed run");
    EXPECT_FALSE(Installed());
}

// A changed byte anywhere fails the signature; manifests signed with the
// right key but breaking a rule, and packages that do not match, fail
// too. Each: exit 1, "Update not installed.", nothing run.
TEST_F(UpdateUnderWine, TamperedAndHostileReleasesInstallNothing)
{
    std::string good = Manifest();
    std::string flipped = good;
    flipped[good.find("2.0.10")] = '3';
    TestWriteFile(bench->release + "/grimby/windows-x64.txt", flipped);
    Ran tampered = Update("", "y\n\n");
    EXPECT_TRUE(Has(tampered, "Release signature rejected. Nothing installed.\nUpdate not installed.\n"))
        << tampered.out;
    EXPECT_EQ(tampered.code, 1);

    std::string size_line = good.substr(good.find("size="));
    size_line = size_line.substr(0, size_line.find('\n'));
    long size = atol(size_line.c_str() + 5);
    std::string hash = good.substr(good.find("sha256=") + 7, 64), upper = hash;
    for (char &c : upper) c = (char)toupper((unsigned char)c);
    auto with = [&](const std::string &what, const std::string &by) {
        std::string text = good;
        text.replace(text.find(what), what.size(), by);
        return text;
    };
    struct Case {
        const char *name;
        std::string manifest, message;
    } cases[] = {
        {"CR LF", with("\nsize", "\r\nsize"), "Update not installed."},
        {"eight keys", good + "channel=beta\n", "Update not installed."},
        {"other host", with("localhost", "127.0.0.1"), "Update not installed."},
        {"one byte long", with(size_line, "size=" + std::to_string(size - 1)), "Download failed (HTTP 200, "},
        {"one byte short", with(size_line, "size=" + std::to_string(size + 1)), "Download hash / size mismatch."},
        {"uppercase hash", with(hash, upper), "Download hash / size mismatch."},
    };
    for (const Case &c : cases) {
        Serve(c.manifest);
        Ran ran = Update("", "y\n\n");
        EXPECT_EQ(ran.code, 1) << c.name << ran.out;
        EXPECT_TRUE(Has(ran, c.message)) << c.name << ran.out;
        EXPECT_TRUE(Has(ran, "Update not installed.\n")) << c.name << ran.out;
        EXPECT_FALSE(Has(ran, "Release signature rejected")) << c.name << ran.out;
        EXPECT_FALSE(Installed()) << c.name;
        EXPECT_FALSE(door.exists(".grimby-maintenance")) << c.name;
    }
}

// A hub that hands out the release at once and its package slowly (4 KiB
// every 50 ms), touching the file "downloading" once the package is asked
// for.
struct TrickleHub {
    TestHttpsServer server;
    std::string manifest, signature;
    bool Start(const std::string &good, const std::string &flag, size_t size, const std::string &dir)
    {
        bool started = server.Start(HubTls(*bench->hub), [this, flag, size](const TestHttpsRequest &request) {
            TestHttpsReply reply;
            if (request.path.find(".txt") != std::string::npos) reply.body = manifest;
            else if (request.path.find(".sig") != std::string::npos) reply.body = signature;
            else {
                TestWriteFile(flag, "");
                reply.trickle_size = size;
                reply.trickle_ms = 50;
            }
            return reply;
        });
        manifest = good;
        for (size_t at; (at = manifest.find(bench->host)) != std::string::npos;)
            manifest.replace(at, bench->host.size(), LocalHost(server));
        size_t size_at = manifest.find("size=");
        manifest.replace(size_at, manifest.find('\n', size_at) - size_at, "size=" + std::to_string(size));
        signature = Sign(bench->key_pem, manifest, dir);
        return started;
    }
};

// Ctrl+C in the middle of the download: the run stops there and leaves
// nothing (no work directory, no marker, no installer run).
TEST_F(UpdateUnderWine, CtrlCDuringTheDownloadCancelsAndLeavesNothing)
{
    std::string flag = door.path("downloading");
    TrickleHub trickle;
    ASSERT_TRUE(trickle.Start(Manifest(), flag, 4000000, bench->dir->root()));
    wrapper = {bench->win64 + "/tests/console-break.exe", WinPath(flag)};
    Ran ran = Update("", "y\n\n", {}, LocalHost(trickle.server));
    EXPECT_EQ(ran.code, 1) << ran.out;
    EXPECT_TRUE(Has(ran, "Download and install this update? Y/N [N]: Cancelled.\nUpdate not installed.\n")) << ran.out;
    EXPECT_TRUE(door.exists("downloading")) << "the break came before the download";
    EXPECT_FALSE(Installed());
    EXPECT_FALSE(door.exists(".grimby-maintenance"));
}

// A package that keeps coming, just fast enough for every read's time-out:
// the whole download has a deadline (shortened here) and the run ends.
TEST_F(UpdateUnderWine, ADripFedPackageMeetsTheDownloadDeadline)
{
    TrickleHub trickle;
    ASSERT_TRUE(trickle.Start(Manifest(), door.path("downloading"), 40000000, bench->dir->root()));
    Ran ran = Update("", "y\n\n", {{"GRIMBY_UPDATE_TEST_DEADLINE_MS", "5000"}}, LocalHost(trickle.server));
    EXPECT_EQ(ran.code, 1) << ran.out;
    EXPECT_TRUE(Has(ran, "Download failed (HTTP 200, Windows 1460).\nUpdate not installed.\n")) << ran.out;
    EXPECT_FALSE(Installed());
}

// Between the package's check and its start, another program tries to
// change, move, replace and delete it: each is refused, the directory it
// sits in admits this account only, and the checked installer is what runs.
TEST_F(UpdateUnderWine, ThePackageCannotBeSwappedBetweenItsCheckAndItsStart)
{
    std::string flag = door.path("checked"), report = door.path("swap.txt"), decoy = door.path("decoy.exe");
    ASSERT_TRUE(Sh("cp " + bench->win64 + "/tests/console-break.exe " + Quote(decoy)));
    std::string swapper = Quote(GRIMBY_SOURCE_DIR "/tools/wine-run") + " " +
                          Quote(bench->win64 + "/tests/swap-package.exe") + " " + Quote(WinPath(flag)) + " " +
                          Quote(WinPath(report)) + " " + Quote(WinPath(decoy));
    ASSERT_EQ(HubShell("(" + swapper + " </dev/null >/dev/null 2>&1 &)"), 0);
    Ran ran = Update("", "y\n\n", {{"GRIMBY_UPDATE_TEST_PAUSE", WinPath(flag)}});
    EXPECT_EQ(ran.code, 0) << ran.out;
    EXPECT_TRUE(Has(ran, "Update to 2.0.10 complete.\n")) << ran.out;
    EXPECT_EQ(door.read("swap.txt"),
              "write: refused\nrename: refused\nreplace: refused\ndelete: refused\ndirectory: owner-only\n");
    EXPECT_NE(door.read("stand-in-installer.log").find("--update"), std::string::npos);
}

// Something left in the work directory keeps it from going: the run says
// so and where, instead of leaving it behind unmentioned.
TEST_F(UpdateUnderWine, AWorkDirectoryThatStaysIsNamed)
{
    std::string flag = door.path("checked");
    std::vector<std::string> before = WorkDirs();
    // Until the run pauses, then a file of someone else's in its directory.
    std::string planter = "for i in $(seq 600); do [ -e " + Quote(flag) + " ] && break; sleep 0.1; done; " +
                          "for d in " + Quote(bench->temp_dir) + "/[Gg][Uu][Pp]*; do touch \"$d/left.tmp\"; done; rm -f " +
                          Quote(flag);
    ASSERT_EQ(HubShell("(" + planter + ") </dev/null >/dev/null 2>&1 &"), 0);
    work_dir_may_stay = true;
    Ran ran = Update("", "y\n\n", {{"GRIMBY_UPDATE_TEST_PAUSE", WinPath(flag)}});
    std::vector<std::string> after = WorkDirs();
    for (const std::string &name : after)
        if (std::find(before.begin(), before.end(), name) == before.end())
            HubShell("rm -rf " + Quote(bench->temp_dir + "/" + name));
    EXPECT_EQ(ran.code, 0) << ran.out;
    EXPECT_TRUE(Has(ran, "Update to 2.0.10 complete.\nCould not remove ")) << ran.out;
    EXPECT_TRUE(Has(ran, "GUP")) << ran.out;
    EXPECT_TRUE(Has(ran, "; delete it by hand.\nPress Enter to close.")) << ran.out;
}

// The wire: a server that redirects, one whose certificate this prefix
// does not trust, one that accepts and never answers.
TEST_F(UpdateUnderWine, RedirectsUntrustedCertificatesAndStallsFail)
{
    TestHttpsServer redirecting;
    ASSERT_TRUE(redirecting.Start(HubTls(*bench->hub), [](const TestHttpsRequest &request) {
        TestHttpsReply reply;
        reply.status = 302;
        reply.location = "https://" + bench->host + request.path;
        return reply;
    }));
    Ran redirected = Update("--check", "", {}, LocalHost(redirecting));
    EXPECT_EQ(redirected.code, 1) << redirected.out;
    EXPECT_TRUE(Has(redirected, "Download failed (HTTP 302, Windows ")) << redirected.out;

    // A hub of its own making: its CA is not trusted here.
    HubProcess stranger;
    ASSERT_TRUE(stranger.Start()) << stranger.log();
    Ran untrusted = Update("--check", "", {}, "localhost:" + std::to_string(stranger.port()));
    EXPECT_EQ(untrusted.code, 1) << untrusted.out;
    EXPECT_TRUE(Has(untrusted, "Download failed (HTTP 0, Windows ")) << untrusted.out;

    // Past the handshake: the request is taken and never answered, so the
    // 30-second receive time-out ends the run.
    TestHttpsServer stalling;
    ASSERT_TRUE(stalling.Start(HubTls(*bench->hub), [](const TestHttpsRequest &) {
        TestHttpsReply reply;
        reply.stall_ms = 120000;  // until the server stops
        return reply;
    }));
    Ran stalled = Update("--check", "", {}, LocalHost(stalling));
    EXPECT_EQ(stalled.code, 1) << stalled.out;
    EXPECT_TRUE(Has(stalled, "Download failed (HTTP 0, Windows ")) << stalled.out;
    EXPECT_TRUE(Has(stalled, "Update not installed.\n")) << stalled.out;
}
