// door_process.h -- starting the test door (door_program.h) as a separate
// process the way a BBS does: an inherited socket or a pseudo-terminal on
// standard I/O, a drop file, a command line; then its exit code.
#ifndef TEST_DOOR_PROCESS_H
#define TEST_DOOR_PROCESS_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// The running test binary, which is also the test door.
std::string TestSelfExe();

struct TestDoorOptions {
    std::string args;                                        // the door's command line
    std::vector<std::pair<std::string, std::string>> env;    // added to the environment
    std::string cwd;                                         // start-up directory ("" = ours)
    int stdin_fd = -1;                                       // -1: /dev/null
    int stdout_fd = -1;                                      // -1: /dev/null
    bool controlling_tty = false;                            // new session, stdin its terminal
    std::vector<int> inherit;                                // descriptors the door keeps
};

// Starts the door; standard error goes to a pipe read by TestDoorWait.
struct TestDoor {
    pid_t pid = -1;
    int err_fd = -1;
};
bool TestDoorStart(const TestDoorOptions &options, TestDoor *door);

// Waits at most timeout_ms for the door to end: its exit code, -signal
// when a signal ended it, or -1000 when it had to be killed. The door's
// standard error is returned in *err when given.
int TestDoorWait(TestDoor *door, int timeout_ms, std::string *err = nullptr);

// Reads from fd until the text appears or timeout_ms passes; all read.
std::string TestReadUntil(int fd, const std::string &text, int timeout_ms);

#endif
