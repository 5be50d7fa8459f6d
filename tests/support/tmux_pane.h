// tmux_pane.h -- a program in a real terminal for a test: one tmux pane on a
// tmux server of its own, read with capture-pane and typed into with
// send-keys. The shell around the program records the terminal settings
// before and after it, and its exit code, in the test's directory.
#ifndef TMUX_PANE_H
#define TMUX_PANE_H

#include <sys/types.h>

#include <string>

#include "testdir.h"

// A text quoted for the shell.
std::string ShellQuote(const std::string &text);
// What a shell command prints.
std::string CommandOutput(const std::string &command);
// Whether a program is on the PATH.
bool ProgramInstalled(const char *program);

class TmuxPane {
public:
    explicit TmuxPane(const TestDir &dir);
    ~TmuxPane();
    TmuxPane(const TmuxPane &) = delete;
    TmuxPane &operator=(const TmuxPane &) = delete;

    // Runs the shell command in a rows x 80 pane.
    bool Start(const std::string &command, int rows = 25);
    std::string Screen();
    // The screen once it shows the text, or what it showed at the end.
    std::string WaitFor(const std::string &text, int timeout_ms = 10000);
    // Keys as tmux names them ("Enter", "C-c", "'text'").
    void Keys(const std::string &keys);
    // Text typed literally.
    void Text(const std::string &text);
    // The program's process: the child of the pane's shell.
    pid_t ProgramPid();
    // The program's exit code once it has ended; -1 when it did not.
    int ExitCode(int timeout_ms = 10000);
    // The terminal settings after the program are those before it.
    bool TerminalRestored();

private:
    int Tmux(const std::string &arguments);

    const TestDir &dir_;
    std::string server_;
};

#endif
