// win_door.h -- (Windows) the real GRIMBY.exe run as a BBS runs a door on
// standard I/O: a private copy of the program, a DOOR32.SYS of comm type 0
// with -STDIO, and the caller at the far end of the door's standard handles.
#ifndef WIN_DOOR_H
#define WIN_DOOR_H

#include <windows.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "ansiscreen.h"
#include "testdir.h"

// A path of the build tree as Windows names it (Wine maps / to drive Z:).
std::string WindowsPath(const std::string &path);

// The caller: writes keys into the door's standard input and reads what
// the door sends from its standard output into a screen model.
class WinCaller {
public:
    HANDLE keys = nullptr;       // the door's standard input, our end
    HANDLE screen_in = nullptr;  // the door's standard output, our end
    AnsiScreen screen;

    ~WinCaller();
    // Waits until text is on the screen and the door has been quiet for a
    // moment (it is then waiting for a key).
    bool WaitFor(const std::string &text, int timeout_ms = 15000);
    // Answers each text, once it shows, with its keys; false at the first
    // text that does not come.
    bool Answer(std::initializer_list<std::pair<const char *, const char *>> steps);
    void Type(const std::string &bytes);
    void HangUp();
    std::string Dump() const;
    // What the door sent since the last read (without waiting); the
    // screen model is not fed.
    std::string ReadSome();
};

// A door directory of the test's own (the game keeps data/ beside the
// program) and GRIMBY.exe started in it with the caller on standard I/O
// (caller non-null) or with the given command line alone. extra is added
// to the command line (-SILENT where no window is under test).
class WinDoor {
public:
    TestDir dir;
    PROCESS_INFORMATION process = {};

    ~WinDoor();
    bool Start(WinCaller *caller, const std::string &extra);
    // The door's exit code, or -1 when it has not ended within the time.
    int ExitCode(int timeout_ms = 15000);
    // Creates a survivor and reaches the lobby.
    static bool ReachLobby(WinCaller &caller);
};

#endif
