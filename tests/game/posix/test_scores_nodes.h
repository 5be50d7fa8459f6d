// test_scores_nodes.h -- real node processes for the multi-node tests: each
// child is forked from the test, waits at a start line so all of them go at
// once, does its work on the real clock and reports through its exit code.
#ifndef TEST_SCORES_NODES_H
#define TEST_SCORES_NODES_H

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "ODPlat.h"

/* Runs body(i) in each of n processes started together; returns the exit
 * codes in order (-1 for a child that did not end normally). */
inline std::vector<int> run_nodes(int n, const std::function<int(int)> &body)
{
    int gate[2];
    if (pipe(gate) != 0) return {};
    std::vector<pid_t> pids;
    for (int i = 0; i < n; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            close(gate[1]);
            char c;
            while (read(gate[0], &c, 1) < 0) {
            }
            ODPlatClockUseReal(); /* other nodes are real processes with real sleeps */
            int code = body(i);
            _exit(code);
        }
        pids.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]); /* everyone reads end-of-file at the same moment */
    std::vector<int> codes;
    for (pid_t pid : pids) {
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
            codes.push_back(-1);
        else
            codes.push_back(WEXITSTATUS(status));
    }
    return codes;
}

#endif
