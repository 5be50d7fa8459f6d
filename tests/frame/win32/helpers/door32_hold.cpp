// door32_hold.cpp -- a BBS's DOOR32.DLL, built for the frame tests, that
// lets a test stop the door at the line's hand-back: after the session is
// torn down and before the process ends. The caller's bytes go to
// door32-caller.out beside the library; the caller types nothing. Events
// named after the door's process id:
//   GrimbyDoor32Offline-PID  set by the test: the caller hangs up
//   GrimbyDoor32Hold-PID     set by the test: the door's next look at the
//                            line waits for Go (once), having set
//   GrimbyDoor32Held-PID
//   GrimbyDoor32Closing-PID  set here when the door hands the line back
//   GrimbyDoor32Go-PID       set by the test: the hand-back returns (at
//                            the latest after a minute)
#include <windows.h>

#include <stdio.h>

static HANDLE hAvailable = nullptr, hOffline = nullptr, hHold = nullptr, hOut = INVALID_HANDLE_VALUE;
static int bHeld = 0;

static HANDLE NamedEvent(const char *name)
{
    char full[64];
    snprintf(full, sizeof full, "GrimbyDoor32%s-%lu", name, GetCurrentProcessId());
    return CreateEventA(nullptr, TRUE, FALSE, full);
}

extern "C" __declspec(dllexport) BOOL WINAPI DoorInitialize(void)
{
    char path[MAX_PATH];
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCSTR)&DoorInitialize, &self);
    DWORD n = GetModuleFileNameA(self, path, sizeof path);
    while (n > 0 && path[n - 1] != '\\') n--;
    snprintf(path + n, sizeof path - n, "door32-caller.out");
    hOut = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    hAvailable = CreateEventA(nullptr, TRUE, FALSE, nullptr); /* never set: no keys */
    hOffline = NamedEvent("Offline");
    hHold = NamedEvent("Hold");
    return hOut != INVALID_HANDLE_VALUE && hAvailable && hOffline && hHold;
}

extern "C" __declspec(dllexport) void WINAPI DoorShutdown(void)
{
    HANDLE closing = NamedEvent("Closing"), go = NamedEvent("Go");
    SetEvent(closing);
    WaitForSingleObject(go, 60000);
    CloseHandle(closing);
    CloseHandle(go);
    CloseHandle(hOut);
    hOut = INVALID_HANDLE_VALUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI DoorWrite(const BYTE *bytes, DWORD length)
{
    DWORD written = 0;
    return WriteFile(hOut, bytes, length, &written, nullptr) && written == length;
}

extern "C" __declspec(dllexport) DWORD WINAPI DoorRead(BYTE *buffer, DWORD length)
{
    (void)buffer;
    (void)length;
    return 0;
}

extern "C" __declspec(dllexport) HANDLE WINAPI DoorGetAvailableEventHandle(void)
{
    return hAvailable;
}

extern "C" __declspec(dllexport) HANDLE WINAPI DoorGetOfflineEventHandle(void)
{
    if (!bHeld && WaitForSingleObject(hHold, 0) == WAIT_OBJECT_0) {
        bHeld = 1;
        HANDLE held = NamedEvent("Held"), go = NamedEvent("Go");
        SetEvent(held);
        WaitForSingleObject(go, 60000);
        CloseHandle(held);
        CloseHandle(go);
    }
    return hOffline;
}
