/* ODCmdLnWin32.cpp -- the Windows half of the command line: the process
 * line, code-page conversions, the system's splitter and the help box. */
#include <windows.h>

#include "../ODCmdLn.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

char *ODCmdLnProcessLine(void)
{
    const char *line = GetCommandLineA();
    if (!line) return nullptr;
    size_t size = strlen(line) + 1;
    char *copy = (char *)malloc(size);
    if (copy) memcpy(copy, line, size);
    return copy;
}

tODWideChar *ODCmdLnToWide(const char *text)
{
    if (!text) return nullptr;
    size_t length = strlen(text);
    if (length >= (size_t)INT_MAX) return nullptr;
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    tODWideChar *wide = (tODWideChar *)malloc((size_t)units * sizeof(tODWideChar));
    if (!wide) return nullptr;
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, units) != units) {
        free(wide);
        return nullptr;
    }
    return wide;
}

size_t ODCmdLnFromWide(const tODWideChar *text, char *out, size_t out_size)
{
    if (!text) return 0;
    int room = out ? (out_size > (size_t)INT_MAX ? INT_MAX : (int)out_size) : 0;
    int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, out, room, nullptr, nullptr);
    return bytes > 0 ? (size_t)bytes : 0;
}

static void *ODCmdLnLocalAlloc(size_t size)
{
    return (void *)LocalAlloc(LMEM_FIXED, size);
}

typedef LPWSTR *(WINAPI *tODCommandLineToArgvW)(LPCWSTR, int *);

/* The system's splitter when shell32 offers it; the library stays loaded
 * (the token) until the vector is released. */
tODWideChar **ODWindowsCommandLineToArgv(const tODWideChar *line, int *argc, void **release_token)
{
    if (release_token) *release_token = nullptr;
    if (argc) *argc = 0;
    if (!line || !argc || !release_token) return nullptr;
    HMODULE shell32 = LoadLibraryA("shell32.dll");
    if (shell32) {
        tODCommandLineToArgvW split = (tODCommandLineToArgvW)(void (*)(void))GetProcAddress(
            shell32, "CommandLineToArgvW");
        if (split) {
            LPWSTR *result = split(line, argc);
            if (!result) {
                *argc = 0;
                FreeLibrary(shell32);
                return nullptr;
            }
            *release_token = (void *)shell32;
            return result;
        }
        FreeLibrary(shell32);
    }
    return ODCmdLnSplitPortable(line, argc, ODCmdLnLocalAlloc);
}

void ODWindowsCommandLineFree(tODWideChar **argv, void *release_token)
{
    if (argv) LocalFree((HLOCAL)argv);
    if (release_token) FreeLibrary((HMODULE)release_token);
}

void ODCmdLnShowHelp(const char *title, const char *text)
{
    MessageBoxA(nullptr, text, title, MB_OK | MB_ICONINFORMATION);
}
