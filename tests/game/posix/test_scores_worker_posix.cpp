// The sync worker on Linux: a session of its own, none of the game's
// descriptors (the caller's socket above all), and no zombie left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "../test_scores_worker.h"

namespace {

using WorkerPosixTest = InterbbsTest;

std::string field(const std::string &text, const std::string &name)
{
    size_t p = text.find(name + "=");
    if (p == std::string::npos) return "";
    p += name.size() + 1;
    return text.substr(p, text.find(' ', p) - p);
}

char process_state(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return 0;
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

} // namespace

TEST_F(WorkerPosixTest, DetachedWithNothingInheritedAndCollected)
{
    install_worker();
    dir_.write("hub/sync.json", "{}");
    // The caller's socket is an inherited descriptor without close-on-exec.
    int caller[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, caller), 0);
    arm(false);
    interbbs_sync_background();
    ASSERT_TRUE(wait_for(mark_, 30));
    std::string mark = read("worker.mark");
    pid_t pid = (pid_t)atoi(field(mark, "pid").c_str());
    ASSERT_GT(pid, 0) << mark;
    EXPECT_EQ(atoi(field(mark, "sid").c_str()), pid) << "a session of its own";
    EXPECT_NE(getsid(0), pid);
    EXPECT_EQ(field(mark, "fds"), "0,1,2,") << mark;

    // Ended and not yet collected, it lingers only until the next start or
    // collection, which never blocks.
    for (int i = 0; i < 3000 && process_state(pid) != 'Z'; i++) usleep(1000);
    EXPECT_EQ(process_state(pid), 'Z');
    interbbs_reap_workers();
    EXPECT_EQ(process_state(pid), 0);
    EXPECT_EQ(kill(pid, 0), -1);
    close(caller[0]);
    close(caller[1]);
}

TEST_F(WorkerPosixTest, OtherChildrenKeepTheirExitCodes)
{
    install_worker();
    dir_.write("hub/sync.json", "{}");
    arm(false);
    // A child of the game that is not a worker: its status stays for its owner.
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) _exit(7);
    interbbs_sync_background();
    ASSERT_TRUE(wait_for(mark_, 30));
    usleep(100000);
    interbbs_reap_workers();
    interbbs_sync_background(); // collects again on its way
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(signal(SIGCHLD, SIG_DFL), SIG_DFL); // the disposition was never changed
}

TEST_F(WorkerPosixTest, AWorkerThatIsNotExecutableIsNotStarted)
{
    dir_.write("hub/sync.json", "{}");
    dir_.write("hub/GRIMBY-SYNC", "#!/bin/sh\ntouch started\n");
    arm(false);
    interbbs_sync_background(); // not executable: silent
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child was made";
}
