// stand_in_installer.cpp -- takes the installer's place in the updater's
// tests: records how it was started and what it found, can start the game
// as a caller would meanwhile, and exits with the code the test chose
// (GRIMBY_STAND_IN_EXIT). With "--sleep FLAG" it is a long-running
// process for the tests that need a GRIMBY.exe in the process list; with
// GRIMBY_STAND_IN_HOLD set it leaves a copy of itself holding the marker
// open, as a caller's start-up or a scanner might, past its own exit.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void Record(const char *text)
{
    FILE *log = fopen("stand-in-installer.log", "ab");
    if (!log) return;
    fputs(text, log);
    fputc('\n', log);
    fclose(log);
}

// The game started as a BBS starts it, its screen written to a file; the
// exit code, or -1 when it would not start or end.
static long RunGame(void)
{
    CreateDirectoryA("node1", nullptr);
    FILE *drop = fopen("node1\\DOOR32.SYS", "wb");
    if (!drop) return -1;
    fputs("0\r\n0\r\n38400\r\nTest Castle 1.0\r\n7\r\nAda Lovelace\r\nAda\r\n100\r\n60\r\n1\r\n1\r\n", drop);
    fclose(drop);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE keys_read, keys_write;
    if (!CreatePipe(&keys_read, &keys_write, &inherit, 0)) return -1;
    SetHandleInformation(keys_write, HANDLE_FLAG_INHERIT, 0);
    HANDLE screen = CreateFileA("game-during-update.txt", GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    char line[] = "\"GRIMBY.exe\" -D \"node1\\DOOR32.SYS\" -STDIO -SILENT";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = keys_read;
    startup.hStdOutput = screen;
    startup.hStdError = screen;
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessA("GRIMBY.exe", line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(keys_read);
    CloseHandle(screen);
    DWORD code = (DWORD)-1;
    if (started) {
        if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(keys_write);
    return (long)code;
}

static const char szHeld[] = "GrimbyStandInMarkerHeld";

// Opened the way fopen opens it: read and write sharing, no delete sharing.
static int HoldMarker(DWORD milliseconds)
{
    HANDLE marker = CreateFileA(".grimby-maintenance", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, szHeld);
    if (held) SetEvent(held);
    Sleep(milliseconds);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    return marker == INVALID_HANDLE_VALUE;
}

static void LeaveMarkerHeld(void)
{
    char self[MAX_PATH], line[MAX_PATH + 32];
    if (!GetModuleFileNameA(nullptr, self, sizeof self)) return;
    snprintf(line, sizeof line, "\"%s\" --hold 1500", self);
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, szHeld);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (CreateProcessA(self, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(held, 10000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(held);
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--hold") == 0) return HoldMarker((DWORD)atoi(argv[2]));
    if (argc == 3 && strcmp(argv[1], "--sleep") == 0) {
        FILE *flag = fopen(argv[2], "wb");
        if (flag) fclose(flag);
        Sleep(120000);
        return 0;
    }
    char text[1024];
    snprintf(text, sizeof text, "command: %s", GetCommandLineA());
    Record(text);
    FILE *marker = fopen(".grimby-maintenance", "r");
    Record(marker ? "marker: readable" : "marker: not readable");
    if (marker) fclose(marker);
    const char *game = getenv("GRIMBY_STAND_IN_GAME");
    if (game && strcmp(game, "1") == 0) {
        snprintf(text, sizeof text, "game exit: %ld", RunGame());
        Record(text);
    }
    if (getenv("GRIMBY_STAND_IN_HOLD")) LeaveMarkerHeld();
    const char *code = getenv("GRIMBY_STAND_IN_EXIT");
    return code ? atoi(code) : 0;
}
