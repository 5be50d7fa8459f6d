// tmux_pane.cpp -- a program in a real terminal for a test, through tmux.
#include "tmux_pane.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

std::string ShellQuote(const std::string &text)
{
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string CommandOutput(const std::string &command)
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

bool ProgramInstalled(const char *program)
{
    return system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// A server of its own per pane: panes of tests running side by side, or a
// server still shutting down after the previous pane, never meet.
TmuxPane::TmuxPane(const TestDir &dir) : dir_(dir)
{
    static int next_id = 0;
    server_ = "grimby-test-" + std::to_string(getpid()) + "-" + std::to_string(next_id++);
}

TmuxPane::~TmuxPane() { Tmux("kill-server"); }

bool TmuxPane::Start(const std::string &command, int rows)
{
    std::string script = "cd " + ShellQuote(dir_.root()) + " && stty -g > stty.before; " + command +
                         "; echo $? > rc.tmp; stty -g > stty.tmp; mv stty.tmp stty.after; mv rc.tmp rc; sleep 60";
    return Tmux("new-session -d -s pane -x 80 -y " + std::to_string(rows) + " " + ShellQuote(script)) == 0;
}

std::string TmuxPane::Screen()
{
    return CommandOutput("tmux -L " + server_ + " capture-pane -p -t pane 2>/dev/null");
}

std::string TmuxPane::WaitFor(const std::string &text, int timeout_ms)
{
    std::string screen;
    for (int waited = 0; waited < timeout_ms; waited += 50) {
        screen = Screen();
        if (screen.find(text) != std::string::npos) return screen;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return screen;
}

void TmuxPane::Keys(const std::string &keys) { Tmux("send-keys -t pane " + keys); }

void TmuxPane::Text(const std::string &text) { Tmux("send-keys -t pane -l " + ShellQuote(text)); }

pid_t TmuxPane::ProgramPid()
{
    std::string shell = CommandOutput("tmux -L " + server_ + " display -p -t pane '#{pane_pid}' 2>/dev/null");
    std::string child = CommandOutput("pgrep -P " + std::to_string(atoi(shell.c_str())));
    return (pid_t)atoi(child.c_str());
}

int TmuxPane::ExitCode(int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 50) {
        if (dir_.exists("rc")) return atoi(dir_.read("rc").c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

bool TmuxPane::TerminalRestored()
{
    for (int waited = 0; waited < 5000 && !dir_.exists("stty.after"); waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return dir_.exists("stty.after") && !dir_.read("stty.before").empty() &&
           dir_.read("stty.before") == dir_.read("stty.after");
}

int TmuxPane::Tmux(const std::string &arguments)
{
    return system(("env -u TMUX tmux -L " + server_ + " " + arguments + " >/dev/null 2>&1").c_str());
}
