// console_break.cpp -- presses Ctrl+C on a program, as a sysop at its
// console would: gives it a console of its own (the program keeps the
// standard handles this was given), waits until the file FLAG exists, sends
// Ctrl+C to the console and ends with the program's exit code.
//
//   console-break.exe FLAG PROGRAM [ARGUMENT]
#include <windows.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4) return 90;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE),
           err = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    if (!AllocConsole()) return 91;

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    SetHandleInformation(in, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    char line[1024];
    snprintf(line, sizeof line, argc == 4 ? "\"%s\" %s" : "\"%s\"", argv[2], argc == 4 ? argv[3] : "");
    PROCESS_INFORMATION process;
    if (!CreateProcessA(argv[2], line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) return 92;
    // The Ctrl+C is for the program alone. Set only now: a child inherits
    // the setting, and with it Ctrl+C would never reach its handler.
    SetConsoleCtrlHandler(nullptr, TRUE);

    for (int waited = 0; GetFileAttributesA(argv[1]) == INVALID_FILE_ATTRIBUTES; waited += 20) {
        if (waited > 60000 || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) break;
        Sleep(20);
    }
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return 93;
    DWORD code = 94;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 95);
    GetExitCodeProcess(process.hProcess, &code);
    return (int)code;
}
