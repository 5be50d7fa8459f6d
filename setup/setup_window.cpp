/* setup_window.cpp -- GRIMBY-SETUP's window: the sysop names the door
 * directory and the BBS, and one button installs the release and runs the
 * configuration steps as child programs, each of which must end with 0
 * before the next one starts. Started with "--update " it is the online
 * updater's silent update mode instead. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "setup.h"

#define SETUP_ID_PATH    101
#define SETUP_ID_INSTALL 102
#define SETUP_ID_BBS     103
#define SETUP_ID_DOMAIN  104
#define SETUP_ID_SHARE   105
#define SETUP_ID_CHAT    106

static HWND hSetupWindow, hSetupPath, hSetupBbs, hSetupDomain, hSetupShare, hSetupChat, hSetupStatus;

static const char szSetupCaption[] = "Grimby Setup";

static void SetupStatus(const char *text)
{
    SetWindowTextA(hSetupStatus, text);
    UpdateWindow(hSetupStatus);
}

static void SetupError(const char *text, const char *caption)
{
    setup_message(hSetupWindow, text, caption, MB_OK | MB_ICONERROR);
}

/* Runs one configuration step in the door directory and waits for it: its
 * exit code, or -1 when it could not be started. */
static long SetupRunChild(char *command_line, const char *dir, DWORD flags)
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, flags, nullptr, dir, &startup, &process))
        return -1;
    DWORD code = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (long)code;
}

/* Whether the existing grimby.json has score sharing on: the first
 * "enabled" member, true or not. */
static int SetupSharingWasOn(const char *config)
{
    char text[4096];
    FILE *file = fopen(config, "rb");
    if (!file) return 0;
    size_t length = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[length] = '\0';
    const char *p = strstr(text, "\"enabled\"");
    if (p) p = strchr(p + 9, ':');
    if (!p) return 0;
    p++;
    while (*p == '\t' || *p == '\n' || *p == '\r' || *p == ' ') p++;
    return strncmp(p, "true", 4) == 0;
}

static int SetupExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

static void install(void)
{
    char dir[SETUP_PATH_MAX + 1], config[SETUP_PATH_MAX + 16], error[SETUP_ERROR_SIZE];
    GetWindowTextA(hSetupPath, dir, sizeof dir);
    if (!dir[0]) return SetupError("Choose an install directory.", "Grimby");
    int length = snprintf(config, sizeof config, "%s\\grimby.json", dir);
    if (length < 0 || length > SETUP_PATH_MAX) return SetupError("Installation path too long.", "Grimby");
    DWORD attributes = GetFileAttributesA(config);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return SetupError("grimby.json is a directory, not a configuration file.", "Grimby");
    /* The release's own grimby.json, untouched, is what an earlier run
     * that stopped before configuring left: still a new installation. */
    int upgrade = attributes != INVALID_FILE_ATTRIBUTES && !setup_config_is_default(dir);

    SetupStatus("Installing embedded game and resources...");
    for (int i = 0; i < SETUP_FILE_COUNT; i++) {
        if (!install_file(dir, i, error)) {
            SetupStatus("Installation failed");
            return SetupError(error, szSetupCaption);
        }
    }

    char bbs[128], domain[256], program[SETUP_PATH_MAX + 32], command[1024];
    GetWindowTextA(hSetupBbs, bbs, sizeof bbs);
    GetWindowTextA(hSetupDomain, domain, sizeof domain);
    snprintf(program, sizeof program, "%s\\GRIMBY-CONFIG.exe", dir);
    if (!upgrade) {
        if (!bbs[0] || !domain[0] || strpbrk(bbs, "\"\\") || strpbrk(domain, "\"\\"))
            return SetupError("Enter a BBS name and domain without quotes or backslashes.", szSetupCaption);
        snprintf(command, sizeof command, "\"%s\" --gui-setup --bbs \"%s\" --domain \"%s\" --interbbs %s", program, bbs,
                 domain, SendMessageA(hSetupShare, BM_GETCHECK, 0, 0) == BST_CHECKED ? "Y" : "N");
    } else {
        snprintf(command, sizeof command, "\"%s\" --upgrade", program);
        SendMessageA(hSetupShare, BM_SETCHECK, SetupSharingWasOn(config) ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    int share = SendMessageA(hSetupShare, BM_GETCHECK, 0, 0) == BST_CHECKED;

    SetupStatus("Saving settings and registering BBS with Q-Orb Score Hub...");
    long code = SetupRunChild(command, dir, CREATE_NO_WINDOW);
    if (code < 0) return SetupError("Could not start configuration utility.", szSetupCaption);
    if (code != 0) {
        SetupStatus("Setup incomplete: registration or configuration failed.");
        return SetupError("Could not complete InterBBS registration or save settings. Verify the Score Hub supports "
                          "automatic enrollment and that the BBS name is available. No installation success was "
                          "reported.",
                          szSetupCaption);
    }

    if (share) {
        SetupStatus("Testing Q-Orb Score Hub connection and leaderboards...");
        snprintf(command, sizeof command, "\"%s\\hub\\GRIMBY-SYNC.exe\" --test-connection", dir);
        code = SetupRunChild(command, dir, CREATE_NO_WINDOW);
        if (code < 0) return SetupError("Cannot launch the Score Hub connection test.", szSetupCaption);
        if (code != 0) {
            SetupStatus("Score Hub verification failed.");
            return SetupError("Registration saved, but leaderboard connection test failed. Check "
                              "hub\\sync-windows-error.log. Setup is not complete.",
                              szSetupCaption);
        }
    }

    char chat[SETUP_PATH_MAX + 16];
    snprintf(chat, sizeof chat, "%s\\chat.json", dir);
    if (!SetupExists(chat)) {
        snprintf(command, sizeof command, "\"%s\\GRIMBY.exe\" %s", dir,
                 SendMessageA(hSetupChat, BM_GETCHECK, 0, 0) == BST_CHECKED ? "--chat-enable" : "--chat-disable");
        code = SetupRunChild(command, dir, 0);
        if (code < 0) return SetupError("Cannot start shared chat setup.", szSetupCaption);
        if (code != 0)
            return SetupError("Shared chat setup failed. Existing game settings are preserved. Run GRIMBY.exe "
                              "--chat-config to retry.",
                              szSetupCaption);
    }

    SetupStatus("Installation and configuration completed.");
    setup_message(hSetupWindow, "Grimby installed and configured. Add the door to your BBS menu; see docs.",
                  szSetupCaption, MB_OK | MB_ICONINFORMATION);
}

static HWND SetupControl(HWND parent, const char *kind, const char *text, DWORD style, DWORD ex_style, int id, int x,
                         int y, int width, int height)
{
    HWND control = CreateWindowExA(ex_style, kind, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                                   (HMENU)(INT_PTR)id, GetModuleHandleA(nullptr), nullptr);
    SendMessageA(control, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
    return control;
}

static void SetupBuild(HWND window)
{
    char label[128];
    SetupControl(window, "STATIC", "GRIMBY - Almanac", 0, 0, -1, 20, 12, 470, 22);
    SetupControl(window, "STATIC", "Install / update directory:", 0, 0, -1, 20, 43, 470, 20);
    hSetupPath = SetupControl(window, "EDIT", "C:\\sbbs\\xtrn\\GRIMBY", ES_AUTOHSCROLL | WS_TABSTOP,
                              WS_EX_CLIENTEDGE, SETUP_ID_PATH, 20, 65, 460, 25);
    SetupControl(window, "STATIC", "BBS Name:", 0, 0, -1, 20, 102, 120, 20);
    hSetupBbs = SetupControl(window, "EDIT", "My BBS", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, SETUP_ID_BBS,
                             140, 99, 340, 25);
    SendMessageA(hSetupBbs, EM_SETLIMITTEXT, 20, 0);
    SetupControl(window, "STATIC", "BBS Domain:", 0, 0, -1, 20, 139, 120, 20);
    hSetupDomain = SetupControl(window, "EDIT", "example.com", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
                                SETUP_ID_DOMAIN, 140, 136, 340, 25);
    snprintf(label, sizeof label, "Enable InterBBS Score Sharing (%s)", GRIMBY_HUB_HOST);
    hSetupShare = SetupControl(window, "BUTTON", label, BS_AUTOCHECKBOX | WS_TABSTOP, 0, SETUP_ID_SHARE, 20, 177,
                               460, 24);
    SendMessageA(hSetupShare, BM_SETCHECK, BST_CHECKED, 0);
    snprintf(label, sizeof label, "Enable Shared Live Chat (%s)", GRIMBY_HUB_HOST);
    hSetupChat = SetupControl(window, "BUTTON", label, BS_AUTOCHECKBOX | WS_TABSTOP, 0, SETUP_ID_CHAT, 20, 207, 460,
                              24);
    SetupControl(window, "BUTTON", "Install / Test / Register", BS_PUSHBUTTON | WS_TABSTOP, 0, SETUP_ID_INSTALL, 20,
                 240, 220, 33);
    hSetupStatus = SetupControl(window, "STATIC", "Upgrades retain existing settings, scores and credentials.", 0, 0,
                                -1, 20, 285, 470, 40);
}

static LRESULT CALLBACK wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        hSetupWindow = window;
        SetupBuild(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == SETUP_ID_INSTALL) {
            install();
            return 0;
        }
        break;
    case WM_CTLCOLORSTATIC:
        /* Labels and check boxes on the window's own background, not the
         * dialog grey they would otherwise paint. */
        SetBkColor((HDC)wparam, GetSysColor(COLOR_WINDOW));
        return (LRESULT)GetSysColorBrush(COLOR_WINDOW);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int show)
{
    static const char szUpdate[] = "--update ";
    if (command_line && strncmp(command_line, szUpdate, sizeof szUpdate - 1) == 0)
        return setup_update(command_line + sizeof szUpdate - 1);

    WNDCLASSA window_class;
    memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = wndproc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    window_class.lpszClassName = "GrimbySingleFileSetup";
    if (!RegisterClassA(&window_class)) return 1;
    /* The window is fixed-size: no sizing border, no maximise box. */
    HWND window = CreateWindowExA(0, window_class.lpszClassName, "Grimby - Windows Setup",
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 520, 375, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, show);
    UpdateWindow(window);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
