// The score hub workers against the real grimby-hub: a small network that
// ends up showing everyone's scores, crashes in the middle of a sync,
// enrollment as a sysop meets it, and hubs and files that misbehave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "https_server.h"
#include "hub_process.h"
#include "interbbs.h"
#include "storage.h"
#include "testdir.h"

namespace {

struct WorkerRun {
    int code = -1000;  // exit code, or -signal
    std::string err;
};

// Starts a worker program in dir with the given arguments and environment
// and waits for it (at most 40 s: every worker ends within 30).
// The Windows build of the workers, run under Wine, when the win64 tests
// name it; "" otherwise.
std::string Win64Dir()
{
    const char *env = getenv("GRIMBY_WIN64_DIR");
    return env ? env : "";
}

std::string WindowsPath(std::string path)
{
    for (char &c : path)
        if (c == '/') c = '\\';
    return "Z:" + path;
}

// Starts argv[0] in dir with env added to ours; everything is made before
// the fork, since the test process has threads.
pid_t Spawn(const std::string &dir, const std::vector<std::string> &args, const std::vector<std::string> &env,
            int err_fd)
{
    std::vector<std::string> environment(env);
    for (char **e = environ; *e; e++) {
        std::string entry(*e), name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string &mine : env) replaced |= mine.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced) environment.push_back(entry);
    }
    std::vector<char *> argv, envp;
    for (const std::string &a : args) argv.push_back((char *)a.c_str());
    for (const std::string &e : environment) envp.push_back((char *)e.c_str());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        dup2(err_fd, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

pid_t Start(const std::string &program, const std::string &dir, const std::vector<std::string> &args,
            const std::vector<std::string> &env, int err_fd, bool windows = false)
{
    std::vector<std::string> command;
    if (windows)
        command = {GRIMBY_SOURCE_DIR "/tools/wine-run", Win64Dir() + "/workers/" + program + ".exe"};
    else
        command = {std::string(GRIMBY_BINARY_DIR) + "/workers/" + program};
    command.insert(command.end(), args.begin(), args.end());
    return Spawn(dir, command, env, err_fd);
}

WorkerRun Wait(pid_t pid, int err_read)
{
    WorkerRun run;
    int status = 0;
    for (int i = 0; i < 4000 && waitpid(pid, &status, WNOHANG) == 0; i++) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return run;
    }
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    // Wine's desktop may have inherited the pipe and keep it open.
    fcntl(err_read, F_SETFL, O_NONBLOCK);
    char buffer[4096];
    ssize_t n;
    while ((n = read(err_read, buffer, sizeof buffer)) > 0) run.err.append(buffer, (size_t)n);
    close(err_read);
    return run;
}

WorkerRun Worker(const std::string &program, const std::string &dir, const std::vector<std::string> &args = {},
           const std::vector<std::string> &env = {}, bool windows = false)
{
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0) return WorkerRun();
    pid_t pid = Start(program, dir, args, env, pipe_fd[1], windows);
    close(pipe_fd[1]);
    return Wait(pid, pipe_fd[0]);
}

// One BBS's door directory pointed at the test hub.
struct Bbs {
    TestDir dir;
    std::string name;
    bool windows;
    Bbs(const HubProcess &hub, const std::string &bbs, bool win = false) : name(bbs), windows(win)
    {
        dir.mkdir("data");
        dir.mkdir("hub");
        std::string ca = windows ? WindowsPath(hub.ca_file()) : hub.ca_file();
        for (size_t at = 0; (at = ca.find('\\', at)) != std::string::npos; at += 2) ca.insert(at, "\\");
        dir.write("grimby.json", "{\"theme\":\"dark\",\"hub\":\"" + hub.url() + "\",\"hub_ca\":\"" + ca + "\"}\n");
    }
    WorkerRun Config(const std::string &as, const char *share = "Y")
    {
        return Worker("GRIMBY-CONFIG", dir.root(),
                      {"--gui-setup", "--bbs", as, "--domain", "bbs.example.org", "--interbbs", share}, {},
                      windows);
    }
    WorkerRun Sync(const std::vector<std::string> &env = {}, const std::vector<std::string> &args = {})
    {
        return Worker("GRIMBY-SYNC", dir.root(), args, env, windows);
    }
    // A result queued by the game's own code, as a caller's exit does.
    void Record(const std::string &player, int score, int daily = 0)
    {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        ASSERT_EQ(chdir(dir.root().c_str()), 0);
        char date[9];
        time_t now = time(nullptr);
        strftime(date, sizeof date, "%Y%m%d", gmtime(&now));
        EXPECT_EQ(interbbs_queue(date, player.c_str(), score, daily, "data/profile-0123456789abcdef.tsv"), 1);
        ASSERT_EQ(chdir(here), 0);
    }
    std::vector<std::string> Board(const char *file = INTERBBS_STORY_BOARD)
    {
        interbbs_row rows[32];
        int count = interbbs_read_rows(dir.path(file).c_str(), rows, 32);
        std::vector<std::string> out;
        for (int i = 0; i < count; i++)
            out.push_back(std::string(rows[i].player) + "@" + rows[i].bbs + "=" + std::to_string(rows[i].score));
        return out;
    }
};

long long HubCount(const HubProcess &hub, const std::string &sql)
{
    sqlite3 *db = nullptr;
    long long count = -1;
    if (sqlite3_open_v2((hub.dir() + "/hub.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
}

int Lines(const std::string &text)
{
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace

// Three BBSes enroll, record, sync, and each then shows all three.
TEST(Workers, ThreeBbsesShareOneLeaderboard)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    Bbs a(hub, "Night Owl"), b(hub, "|12Harbor Light"), c(hub, "Cellar Door");
    for (Bbs *bbs : {&a, &b, &c}) {
        WorkerRun config = bbs->Config(bbs->name);
        ASSERT_EQ(config.code, 0) << config.err;
        // grimby.json: the name first and score sharing's "enabled" first
        // of all, the sysop's other keys kept.
        std::string text = bbs->dir.read("grimby.json");
        EXPECT_EQ(text.find("{\"bbs_name\":"), 0u) << text;
        EXPECT_LT(text.find("\"enabled\":true"), text.find("\"theme\":\"dark\"")) << text;
    }
    a.Record("Ann", 900);
    b.Record("Bob", 700);
    c.Record("Cy", 500, 1);
    for (Bbs *bbs : {&a, &b, &c}) ASSERT_EQ(bbs->Sync().code, 0);
    for (Bbs *bbs : {&a, &b, &c}) {
        WorkerRun sync = bbs->Sync();
        ASSERT_EQ(sync.code, 0) << sync.err;
        EXPECT_EQ(bbs->Board(), (std::vector<std::string>{"Ann@Night Owl=900", "Bob@Harbor Light=700"}));
        EXPECT_EQ(bbs->Board(INTERBBS_DAILY_BOARD), (std::vector<std::string>{"Cy@Cellar Door=500"}));
    }
    EXPECT_EQ(HubCount(hub, "SELECT COUNT(*) FROM scores"), 3);
    EXPECT_EQ(Worker("GRIMBY-SYNC", a.dir.root(), {"--test-connection"}).code, 0);
}

// Killed at each named point of an upload, then run to the end: every
// entry is on the hub exactly once and the outbox is as the game left it.
TEST(Workers, KilledMidUploadLosesAndDoublesNothing)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    Bbs a(hub, "Night Owl");
    ASSERT_EQ(a.Config("Night Owl").code, 0);
    // Handles full of quotes double in JSON: 16 of them overflow the hub's
    // body limit, so batches are cut by bytes as well as by count.
    for (int i = 0; i < 40; i++) a.Record(std::to_string(i) + std::string(32, '"'), 100 + i);
    // A line the game is still writing, and one a sysop mangled.
    std::string outbox = a.dir.read(INTERBBS_OUTBOX);
    TestWriteFile(a.dir.path(INTERBBS_OUTBOX), outbox + "grimby\tbroken\xff\n");
    outbox = a.dir.read(INTERBBS_OUTBOX);
    for (const char *point : {"before-upload", "after-upload", "after-checkpoint", "after-upload"}) {
        WorkerRun run = a.Sync({std::string("GRIMBY_SYNC_DIE_AT=") + point});
        EXPECT_EQ(run.code, -SIGKILL) << point << run.err;
    }
    TestWriteFile(a.dir.path(INTERBBS_OUTBOX), a.dir.read(INTERBBS_OUTBOX) + "grimby\t2026");
    WorkerRun last = a.Sync();
    EXPECT_EQ(last.code, 0) << last.err;
    EXPECT_EQ(HubCount(hub, "SELECT COUNT(*) FROM scores"), 40);
    EXPECT_EQ(a.dir.read(INTERBBS_OUTBOX), outbox + "grimby\t2026");
    // The torn last line is picked up once the game has finished it.
    a.Record("Late", 1);
    TestWriteFile(a.dir.path(INTERBBS_OUTBOX), outbox);
    a.Record("Later", 2);
    EXPECT_EQ(a.Sync().code, 0);
    EXPECT_EQ(HubCount(hub, "SELECT COUNT(*) FROM scores"), 41);
    // A sysop's reset of the outbox starts delivery over; nothing doubles.
    TestWriteFile(a.dir.path(INTERBBS_OUTBOX), "");
    a.Record("Fresh", 3);
    WorkerRun reset = a.Sync();
    EXPECT_EQ(reset.code, 0);
    EXPECT_NE(reset.err.find("shrank or was replaced"), std::string::npos) << reset.err;
    EXPECT_EQ(HubCount(hub, "SELECT COUNT(*) FROM scores"), 42);
    // A damaged checkpoint: kept for whoever looks, delivery starts over.
    a.dir.write("hub/sync-checkpoint.txt", "grimby-sync-checkpoint 2\ndelivered 9x\n");
    WorkerRun damaged = a.Sync();
    EXPECT_EQ(damaged.code, 1);
    EXPECT_EQ(Lines(damaged.err), 1) << damaged.err;
    EXPECT_EQ(a.dir.read("hub/sync-checkpoint.txt.previous.1"), "grimby-sync-checkpoint 2\ndelivered 9x\n");
    EXPECT_EQ(a.Sync().code, 0);
    EXPECT_EQ(HubCount(hub, "SELECT COUNT(*) FROM scores"), 42);
}

// The game starts one worker per arrival and exit on every node.
TEST(Workers, OneWorkerPerDirectory)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    Bbs a(hub, "Night Owl");
    ASSERT_EQ(a.Config("Night Owl").code, 0);
    for (int i = 0; i < 20; i++) a.Record("P" + std::to_string(i), i);
    // A worker already running: the next leaves at once, touching nothing.
    storage_hold hold;
    ASSERT_EQ(storage_guard_take(a.dir.path("hub/.sync.lock").c_str(), 1, &hold), STORAGE_HOLD_TAKEN);
    EXPECT_EQ(a.Sync().code, 0);
    EXPECT_FALSE(a.dir.exists("hub/sync-checkpoint.txt"));
    storage_hold_close(hold);
    // Two together: both succeed, every entry once.
    int p1[2], p2[2];
    ASSERT_EQ(pipe(p1), 0);
    ASSERT_EQ(pipe(p2), 0);
    pid_t first = Start("GRIMBY-SYNC", a.dir.root(), {}, {}, p1[1]);
    pid_t second = Start("GRIMBY-SYNC", a.dir.root(), {}, {}, p2[1]);
    close(p1[1]);
    close(p2[1]);
    EXPECT_EQ(Wait(first, p1[0]).code, 0);
    EXPECT_EQ(Wait(second, p2[0]).code, 0);
    EXPECT_EQ(a.Sync().code, 0);
    EXPECT_EQ(HubCount(hub, "SELECT COUNT(*) FROM scores"), 20);
    // A line dated after the hub's day waits aside; the lines after it go.
    char later[9];
    time_t then = time(nullptr) + 3 * 86400;
    strftime(later, sizeof later, "%Y%m%d", gmtime(&then));
    TestWriteFile(a.dir.path(INTERBBS_OUTBOX), a.dir.read(INTERBBS_OUTBOX) + "grimby\t" + later +
                                                   "\tSoon\t5\tstory\t1-1-profile-0123456789abcdef.tsv\n");
    a.Record("After", 6);
    for (int run = 0; run < 2; run++) {
        WorkerRun sync = a.Sync();
        EXPECT_EQ(sync.code, 0) << sync.err;
        EXPECT_EQ(HubCount(hub, "SELECT COUNT(*) FROM scores"), 21);
        EXPECT_NE(a.dir.read("hub/sync-checkpoint.txt").find("\nheld "), std::string::npos);
    }
}

// Enrollment as the set-up button meets it.
TEST(Workers, ConfigEnrollsReusesAndExplains)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    Bbs a(hub, "Night Owl");
    ASSERT_EQ(a.Config("Night Owl").code, 0);
    std::string credential = a.dir.read("hub/sync.json");
    EXPECT_NE(credential.find("\"domain\":\"bbs.example.org\""), std::string::npos);
    // Pressed again, in another case: the same credential, no 409.
    WorkerRun again = a.Config("NIGHT OWL");
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(a.dir.read("hub/sync.json"), credential);
    // A new domain on the same credential is told to the hub.
    WorkerRun moved = Worker("GRIMBY-CONFIG", a.dir.root(), {"--gui-setup", "--bbs", "Night Owl", "--domain",
                                                            "owl.example.net:2323", "--interbbs", "Y"});
    EXPECT_EQ(moved.code, 0) << moved.err;
    EXPECT_EQ(HubCount(hub, "SELECT COUNT(*) FROM bbs WHERE domain = 'owl.example.net:2323'"), 1);
    // Chat enrolled first: its secret is taken over.
    Bbs b(hub, "Harbor Light");
    std::string secret = hub.Enroll("Harbor Light");
    ASSERT_FALSE(secret.empty());
    b.dir.write("chat.json", "{\"enabled\":true,\"bbs\":\"Harbor Light\",\"secret\":\"" + secret +
                                 "\",\"url\":\"" + hub.url() + "\"}\n");
    ASSERT_EQ(b.Config("harbor light").code, 0);
    EXPECT_NE(b.dir.read("hub/sync.json").find(secret), std::string::npos);
    // A name enrolled elsewhere: one sentence, nothing written.
    Bbs c(hub, "Cellar Door");
    std::string before = c.dir.read("grimby.json");
    WorkerRun taken = c.Config("night owl");
    EXPECT_EQ(taken.code, 1);
    EXPECT_NE(taken.err.find("already enrolled"), std::string::npos) << taken.err;
    EXPECT_EQ(Lines(taken.err), 1);
    EXPECT_EQ(c.dir.read("grimby.json"), before);
    EXPECT_FALSE(c.dir.exists("hub/sync.json"));
    EXPECT_EQ(Lines(c.dir.read("hub/config-error.log")), 1);
    // Refused names, and a hub that is down.
    EXPECT_EQ(c.Config("Say \"hi\"").code, 1);
    EXPECT_EQ(c.Config(std::string(64, 'x')).code, 1);
    hub.Kill();
    WorkerRun down = c.Config("Cellar Door");
    EXPECT_EQ(down.code, 1);
    EXPECT_NE(down.err.find("did not answer"), std::string::npos) << down.err;
    EXPECT_EQ(c.dir.read("grimby.json"), before);
    // Without score sharing no hub is needed.
    EXPECT_EQ(c.Config("Cellar Door", "N").code, 0);
    EXPECT_NE(c.dir.read("grimby.json").find("{\"bbs_name\":\"Cellar Door\",\"score_sharing\":{\"enabled\":false}"),
              std::string::npos);
}

// An upgrade keeps every setting and converts an old checkpoint.
TEST(Workers, UpgradeKeepsSettingsAndMigratesCheckpoint)
{
    TestDir dir;
    dir.mkdir("data");
    dir.mkdir("hub");
    dir.write("grimby.json", "{\"theme\":{\"enabled\":false},\"score_sharing\":{\"interval\":5,\"enabled\":true},"
                             "\"bbs_name\":\"Old Mill\"}");
    dir.write(INTERBBS_OUTBOX, "grimby\t20260101\tA\t1\tstory\t1-1-p.tsv\ngrimby\t20260101\tB\t2\tstory\t1-2-p.tsv\n");
    dir.write("hub/sync-checkpoint.txt", "grimby-sync-checkpoint 1\nlines 1\n");
    ASSERT_EQ(Worker("GRIMBY-CONFIG", dir.root(), {"--upgrade"}).code, 0);
    EXPECT_EQ(dir.read("grimby.json"), "{\"bbs_name\":\"Old Mill\",\"score_sharing\":{\"enabled\":true,"
                                       "\"interval\":5},\"theme\":{\"enabled\":false}}\n");
    EXPECT_TRUE(dir.exists("grimby.json.previous.1"));
    std::string checkpoint = dir.read("hub/sync-checkpoint.txt");
    EXPECT_EQ(checkpoint.find("grimby-sync-checkpoint 2\ndelivered 36\n"), 0u) << checkpoint;
    // Nothing left to convert, and a file it cannot read is left alone.
    EXPECT_EQ(Worker("GRIMBY-CONFIG", dir.root(), {"--upgrade"}).code, 0);
    EXPECT_FALSE(dir.exists("grimby.json.previous.2"));
    EXPECT_EQ(Worker("GRIMBY-MIGRATE", dir.root()).code, 0);
    dir.write("hub/sync-checkpoint.txt", "grimby-sync-checkpoint 1\nlines many\n");
    EXPECT_EQ(Worker("GRIMBY-MIGRATE", dir.root()).code, 1);
    EXPECT_EQ(dir.read("hub/sync-checkpoint.txt"), "grimby-sync-checkpoint 1\nlines many\n");
}

// Damaged files and a hub that misbehaves: the old files stay whole, one
// sentence, exit 1.
TEST(Workers, BadFilesAndBadHubsLeaveFilesWhole)
{
    TestDir tls_dir;
    TestTlsFiles tls;
    ASSERT_TRUE(TestMakeTlsFiles(tls_dir.root(), &tls));
    TestHttpsReply answer, upload_answer;
    TestHttpsServer server;
    ASSERT_TRUE(server.Start(tls, [&](const TestHttpsRequest &request) {
        return request.path.find("upload") != std::string::npos && upload_answer.status ? upload_answer
                                                                                         : answer;
    }));
    TestDir dir;
    dir.mkdir("data");
    dir.mkdir("hub");
    dir.write("grimby.json", "{\"hub\":\"https://localhost:" + std::to_string(server.port()) +
                                 "\",\"hub_ca\":\"" + tls.ca + "\"}");
    std::string credential = "{\"bbs\":\"Night Owl\",\"secret\":\"" + std::string(48, 's') + "\"}";
    dir.write("hub/sync.json", credential);
    const std::string outbox = "grimby\t20260101\tA\t1\tstory\t1-1-p.tsv\n";
    const std::string board = "Ann\tNight Owl\t900\n";
    dir.write(INTERBBS_OUTBOX, outbox);
    dir.write(INTERBBS_STORY_BOARD, board);
    dir.write(INTERBBS_DAILY_BOARD, board);
    struct Case {
        const char *what;
        TestHttpsReply reply;
    };
    TestHttpsReply garbage, error, redirect, hang, bad_board;
    garbage.body = "{\"results\":";
    error.status = 503;
    redirect.status = 302;
    redirect.location = "https://localhost:1/";
    hang.stall_ms = 20000;
    bad_board.body = "Ann\tNight Owl\n\x1b[2J\tX\t1\n";
    for (const Case &c : {Case{"garbage", garbage}, Case{"5xx", error}, Case{"redirect", redirect},
                          Case{"hang", hang}, Case{"bad board", bad_board}}) {
        answer = c.reply;
        upload_answer = TestHttpsReply();
        upload_answer.status = c.reply.body == bad_board.body ? 200 : 0;
        upload_answer.body = "{\"results\":[\"accepted\"]}";
        WorkerRun run = Worker("GRIMBY-SYNC", dir.root());
        EXPECT_EQ(run.code, 1) << c.what;
        EXPECT_EQ(Lines(run.err), 1) << c.what << ": " << run.err;
        EXPECT_EQ(dir.read(INTERBBS_OUTBOX), outbox) << c.what;
        EXPECT_EQ(dir.read(INTERBBS_STORY_BOARD), board) << c.what;
        EXPECT_EQ(dir.read(INTERBBS_DAILY_BOARD), board) << c.what;
    }
    server.Stop();
    EXPECT_EQ(Worker("GRIMBY-SYNC", dir.root(), {"--test-connection"}).code, 1);
    // A damaged credential is reported and left as it is.
    dir.write("hub/sync.json", "{\"bbs\":\"Night Owl\",\"secret\":");
    WorkerRun damaged = Worker("GRIMBY-SYNC", dir.root());
    EXPECT_EQ(damaged.code, 1);
    EXPECT_NE(damaged.err.find("damaged"), std::string::npos) << damaged.err;
    EXPECT_EQ(dir.read("hub/sync.json"), "{\"bbs\":\"Night Owl\",\"secret\":");
    // The shipped example, copied without the hub's secret put in.
    std::string example = TestReadFile(GRIMBY_SOURCE_DIR "/release/hub/sync.example.json");
    dir.write("hub/sync.json", example);
    WorkerRun placeholder = Worker("GRIMBY-SYNC", dir.root());
    EXPECT_EQ(placeholder.code, 1);
    EXPECT_NE(placeholder.err.find("placeholder secret"), std::string::npos) << placeholder.err;
    EXPECT_EQ(dir.read("hub/sync.json"), example);
    EXPECT_GE(Lines(dir.read("hub/sync-error.log")), 7);
}

// Windows and Linux BBSes on one hub: the Windows programs under Wine
// enroll, deliver through a kill and show the Linux BBS's scores. Run by
// the win64 tests (WorkersUnderWine).
TEST(WorkersWine, WindowsAndLinuxBbsesShareOneLeaderboard)
{
    if (Win64Dir().empty() || access((Win64Dir() + "/workers/GRIMBY-SYNC.exe").c_str(), R_OK) != 0)
        GTEST_SKIP() << "run by the win64 tests (GRIMBY_WIN64_DIR)";
    if (!getenv("WINEPREFIX")) setenv("WINEPREFIX", GRIMBY_SOURCE_DIR "/build/wineprefix", 1);
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    Bbs win(hub, "Window Seat", true), tux(hub, "Penguin Point");
    WorkerRun config = win.Config("Window Seat");
    ASSERT_EQ(config.code, 0) << config.err;
    ASSERT_EQ(tux.Config("Penguin Point").code, 0);
    for (int i = 0; i < 20; i++) win.Record("Win" + std::to_string(i), 1000 + i);
    tux.Record("Tux", 5000);
    EXPECT_EQ(win.Sync({"GRIMBY_SYNC_DIE_AT=after-upload"}).code, 9);
    EXPECT_EQ(tux.Sync().code, 0);
    WorkerRun sync = win.Sync();
    EXPECT_EQ(sync.code, 0) << sync.err;
    EXPECT_EQ(tux.Sync().code, 0);
    EXPECT_EQ(HubCount(hub, "SELECT COUNT(*) FROM scores"), 21);
    for (Bbs *bbs : {&win, &tux}) {
        std::vector<std::string> board = bbs->Board();
        ASSERT_FALSE(board.empty());
        EXPECT_EQ(board[0], "Tux@Penguin Point=5000");
        EXPECT_EQ(board[1], "Win19@Window Seat=1019");
    }
    // The game has the board open while the worker replaces it: the
    // move is retried until the page is drawn.
    tux.Record("Tux", 6000);
    ASSERT_EQ(tux.Sync().code, 0);
    std::string marker = win.dir.path("held");
    int null_fd = open("/dev/null", O_WRONLY);
    pid_t reader = Spawn(win.dir.root(), {GRIMBY_SOURCE_DIR "/tools/wine-run", Win64Dir() + "/tests/board-reader.exe",
                                          "data\\interbbs-story.tsv", "4000", "held"}, {}, null_fd);
    close(null_fd);
    for (int i = 0; i < 3000 && access(marker.c_str(), F_OK) != 0; i++) usleep(10000);
    ASSERT_EQ(access(marker.c_str(), F_OK), 0);
    WorkerRun replaced = win.Sync();
    int status = 0;
    waitpid(reader, &status, 0);
    EXPECT_EQ(replaced.code, 0) << replaced.err;
    EXPECT_EQ(win.Board()[0], "Tux@Penguin Point=6000");
    EXPECT_EQ(win.Sync({}, {"--test-connection"}).code, 0);
    // Pressed again: the credential is reused, not refused.
    EXPECT_EQ(win.Config("window seat").code, 0);
}

// A disk that fills: the boards the game shows stay whole.
TEST(Workers, FullDiskLeavesTheBoardsWhole)
{
    HubProcess hub;
    ASSERT_TRUE(hub.Start());
    Bbs a(hub, "Night Owl"), b(hub, "Harbor Light");
    ASSERT_EQ(b.Config("Harbor Light").code, 0);
    b.Record("Bob", 700);
    ASSERT_EQ(b.Sync().code, 0);
    // A's door directory on a small file system of its own.
    std::string door = a.dir.mkdir("door");
    if (HubShell("mount -t tmpfs -o size=256k tmpfs '" + door + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "needs a tmpfs mount (root)";
    struct Unmount {
        std::string path;
        ~Unmount() { HubShell("umount '" + path + "'"); }
    } unmount{door};
    HubShell("cp -r '" + a.dir.root() + "/grimby.json' '" + a.dir.root() + "/data' '" + a.dir.root() +
             "/hub' '" + door + "/'");
    WorkerRun config = Worker("GRIMBY-CONFIG", door, {"--gui-setup", "--bbs", "Night Owl", "--domain",
                                                      "bbs.example.org", "--interbbs", "Y"});
    ASSERT_EQ(config.code, 0) << config.err;
    const std::string board = "Old\tNight Owl\t1\n";
    TestWriteFile(door + "/" INTERBBS_STORY_BOARD, board);
    HubShell("dd if=/dev/zero of='" + door + "/filler' bs=4k 2>/dev/null");
    WorkerRun full = Worker("GRIMBY-SYNC", door);
    EXPECT_EQ(full.code, 1);
    EXPECT_EQ(Lines(full.err), 1) << full.err;
    EXPECT_EQ(TestReadFile(door + "/" INTERBBS_STORY_BOARD), board);
    // Room again: the network's board arrives.
    HubShell("rm -f '" + door + "/filler'");
    EXPECT_EQ(Worker("GRIMBY-SYNC", door).code, 0);
    EXPECT_EQ(TestReadFile(door + "/" INTERBBS_STORY_BOARD), "Bob\tHarbor Light\t700\tbbs.example.org\n");
}
