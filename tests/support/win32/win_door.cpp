// win_door.cpp -- the Windows door harness (see win_door.h).
#include "win_door.h"

#include <gtest/gtest.h>

#include "session.h"

std::string WindowsPath(const std::string &path)
{
    std::string out = path;
    for (char &c : out)
        if (c == '/') c = '\\';
    return out.size() > 1 && out[1] == ':' ? out : "Z:" + out;
}

WinCaller::~WinCaller()
{
    HangUp();
    if (screen_in) CloseHandle(screen_in);
}

bool WinCaller::WaitFor(const std::string &text, int timeout_ms)
{
    uint64_t end = TestNowMs() + (uint64_t)timeout_ms;
    uint64_t last = TestNowMs();
    for (;;) {
        std::string bytes = ReadSome();
        uint64_t now = TestNowMs();
        if (!bytes.empty()) {
            screen.feed(bytes);
            last = now;
            continue;
        }
        int row, col;
        if (now - last >= 150 && screen.find(text, &row, &col)) return true;
        if (now >= end) {
            ADD_FAILURE() << "\"" << text << "\" did not come:\n" << Dump();
            return false;
        }
        Sleep(10);
    }
}

bool WinCaller::Answer(std::initializer_list<std::pair<const char *, const char *>> steps)
{
    for (const auto &step : steps) {
        if (!WaitFor(step.first)) return false;
        Type(step.second);
    }
    return true;
}

void WinCaller::Type(const std::string &bytes)
{
    DWORD written = 0;
    if (keys) WriteFile(keys, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
}

void WinCaller::HangUp()
{
    if (keys) CloseHandle(keys);
    keys = nullptr;
}

std::string WinCaller::Dump() const
{
    std::string all;
    for (int row = 1; row <= AnsiScreen::kRows; row++) all += screen.line(row) + "\n";
    return all;
}

std::string WinCaller::ReadSome()
{
    DWORD available = 0;
    if (!PeekNamedPipe(screen_in, nullptr, 0, nullptr, &available, nullptr) || available == 0) return "";
    std::string bytes(available, '\0');
    DWORD got = 0;
    if (!ReadFile(screen_in, &bytes[0], available, &got, nullptr)) return "";
    bytes.resize(got);
    return bytes;
}

WinDoor::~WinDoor()
{
    if (!process.hProcess) return;
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

bool WinDoor::Start(WinCaller *caller, const std::string &extra)
{
    std::string exe = dir.path("GRIMBY.exe");
    if (!CopyFileA(WindowsPath(GRIMBY_BINARY_DIR "/game/GRIMBY.exe").c_str(), exe.c_str(), FALSE)) {
        ADD_FAILURE() << "no GRIMBY.exe in the build";
        return false;
    }
    std::string line = "\"" + exe + "\" " + extra;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    HANDLE door_in = nullptr, door_out = nullptr;
    if (caller) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(&door_in, &caller->keys, &inherit, 0) || !CreatePipe(&caller->screen_in, &door_out, &inherit, 0))
            return false;
        SetHandleInformation(caller->keys, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(caller->screen_in, HANDLE_FLAG_INHERIT, 0);
        // DOOR32.SYS as BBS software writes it: DOS line ends.
        std::string drop =
            "0\r\n0\r\n38400\r\nTest Castle 1.0\r\n7\r\nAda Lovelace\r\nAda\r\n100\r\n60\r\n1\r\n1\r\n";
        std::string drop_path = dir.write("node1\\DOOR32.SYS", drop);
        line += " -D \"" + drop_path + "\" -STDIO";
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = door_in;
        startup.hStdOutput = door_out;
        startup.hStdError = door_out;
    }
    BOOL started = CreateProcessA(exe.c_str(), &line[0], nullptr, nullptr, caller != nullptr, 0, nullptr,
                                  dir.root().c_str(), &startup, &process);
    if (door_in) CloseHandle(door_in);  // the door has its own copies now
    if (door_out) CloseHandle(door_out);
    if (!started) ADD_FAILURE() << "CreateProcess: " << GetLastError();
    return started != 0;
}

int WinDoor::ExitCode(int timeout_ms)
{
    if (WaitForSingleObject(process.hProcess, (DWORD)timeout_ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return (int)code;
}

bool WinDoor::ReachLobby(WinCaller &caller)
{
    if (!caller.Answer({{"[Y] ENABLE SOUND  [N] SILENT", "n"},
                        {"CHOOSE YOUR SURVIVOR", "Lamplighter\r"},
                        {"[Y] YES, KEEP IT", "y"},
                        {"CHOOSE M / F", "f"},
                        {"CHOOSE YOUR CLASS", "2"}}))
        return false;
    // The real clock decides the month; October asks its question first.
    uint64_t end = TestNowMs() + 15000;
    int row, col;
    while (TestNowMs() < end) {
        caller.WaitFor("", 300);
        if (caller.screen.find("[G] GO STRAIGHT TO THE LOBBY", &row, &col)) caller.Type("g");
        if (caller.screen.find("[S] STORY - 8 MONTHLY STAGES", &row, &col)) return caller.WaitFor("[Q] RETURN TO BBS");
    }
    ADD_FAILURE() << "no lobby:\n" << caller.Dump();
    return false;
}
