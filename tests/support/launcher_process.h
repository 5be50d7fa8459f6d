// launcher_process.h -- the BBS-style launcher (grimby-launch) as a real
// process for end-to-end tests: started on a port of the system's choosing,
// its report lines collected so a test can wait for a door's error level.
#ifndef TEST_LAUNCHER_PROCESS_H
#define TEST_LAUNCHER_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

class LauncherProcess {
public:
    LauncherProcess() = default;
    ~LauncherProcess() { Stop(); }
    LauncherProcess(const LauncherProcess &) = delete;
    LauncherProcess &operator=(const LauncherProcess &) = delete;

    // Starts the program with "--port 0" and the arguments, in its own
    // process group, and waits for the line naming the port it listens on.
    bool Start(const std::string &program, const std::vector<std::string> &args, int timeout_ms = 10000);
    int port() const { return port_; }

    // Waits until the output holds the text; true when it does.
    bool WaitForOutput(const std::string &text, int timeout_ms = 10000);
    // The error level reported for the node's door ("node N: door ended
    // with error level L"), -1 when none came in time, -2 for a signal.
    // The visit counts the doors that ended on that node (on any node for
    // node 0), from 1.
    int DoorLevel(int node, int timeout_ms = 10000, int visit = 1);
    const std::string &output() const { return output_; }

    // Ends the launcher (SIGTERM, then SIGKILL for what is left of its
    // process group) and returns its exit status as waitpid gives it.
    int Stop(int timeout_ms = 5000);
    // Waits for the launcher to exit by itself (after --callers N).
    bool WaitExit(int timeout_ms, int *status = nullptr);

private:
    void Read(int timeout_ms);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int port_ = 0;
    int status_ = -1;
    std::string output_;
};

#endif
