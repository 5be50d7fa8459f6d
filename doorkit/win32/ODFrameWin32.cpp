/* ODFrameWin32.cpp -- the frame window: the sysop's top-level window of a
 * session, with its menu, accelerators, toolbar and time spinner, status
 * bar and dialogs, on a thread of its own with its own message loop. It
 * changes the session only through kernel requests and reads it only
 * through the kernel's snapshot; the game thread reaches it only by
 * posting messages, so the frame can never hold the game up. */
#include "ODWindows.h"

#include "../ODConsole.h"
#include "../ODFrame.h"
#include "../ODKrnl.h"
#include "../ODPlat.h"
#include "../ODScrn.h"
#include "../doorkit.h"
#include "ODRes.h"

#include <commctrl.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The frame record: the frame thread's own, allocated and freed by the
 * thread procedure around its message loop, so no message handler can
 * free it while the loop still reads it. */
typedef struct {
    HINSTANCE hInstance;
    BOOL      bToolbarOn;
    HWND      hwndToolbar;
    BOOL      bStatusBarOn;
    HWND      hwndStatusBar;
    HWND      hwndTimeText;
    HWND      hwndTimeSpin;
    BOOL      bWantChatFlashing;
    HACCEL    hAccelerators;
    char     *pszMessage;
    HWND      hwndMessageDlg;
    BOOL      bMessageShown;
    BOOL      bClosingByRequest;
} tODFrame;

static HWND volatile hwndCurrentFrame = nullptr;
static DWORD volatile dwFrameThreadID = 0;
static HANDLE hFrameStartedEvent = nullptr;
static HANDLE hFrameThread = nullptr;
static int FrameStartResult = OD_FRAME_FAILED;
static volatile long lControlStateDirty = 0;
static WNDPROC pfnDefToolbarProc = nullptr;

/* What the game thread hands the frame thread at start. */
typedef struct {
    HINSTANCE hInstance;
    int       bPromptForName;
    char      szName[36];
} tODFrameStartInfo;
static tODFrameStartInfo FrameStartInfo;

static const char szODRegistryKey[] = "Software\\Quill\\DoorKit";
#define OD_FLASH_TIMER 1

static tODFrame *ODFrameRecord(HWND frame)
{
    return (tODFrame *)GetWindowLongPtrA(frame, GWLP_USERDATA);
}

/* ---- settings ---- */

static BOOL ODFrameReadSetting(HKEY key, const char *name)
{
    DWORD value = 1, size = sizeof value, type = 0;
    if (key && RegQueryValueExA(key, name, nullptr, &type, (BYTE *)&value, &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof value)
        return value != 0;
    /* Missing (or not a number): on, and written back so the sysop finds
     * the value to change. */
    value = 1;
    if (key) RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
    return TRUE;
}

static void ODFrameWriteSetting(const char *name, BOOL on)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, szODRegistryKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    DWORD value = on ? 1 : 0;
    RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
    RegCloseKey(key);
}

/* ---- toolbar and status bar ---- */

static LRESULT CALLBACK ODFrameToolbarProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    /* The time controls sit on the toolbar; their messages belong to the
     * frame, and go there once (the toolbar's own procedure would pass
     * some of them on again). */
    if (message == WM_COMMAND || message == WM_VSCROLL ||
        (message == WM_NOTIFY && ((NMHDR *)lparam)->idFrom == ID_TIME_SPIN))
        return SendMessageA(GetParent(hwnd), message, wparam, lparam);
    return CallWindowProcA(pfnDefToolbarProc, hwnd, message, wparam, lparam);
}

static void ODFrameCreateToolbar(HWND frame, tODFrame *record, const tODKrnlUIState *state)
{
    TBBUTTON buttons[19];
    memset(buttons, 0, sizeof buttons);
    int n = 0;
    for (int i = 0; i < 10; i++) {
        buttons[n].iBitmap = 10; /* separator width: room for the time controls */
        buttons[n++].fsStyle = TBSTYLE_SEP;
    }
    const struct {
        int image, command;
        BYTE style;
    } items[] = {{0, ID_DOOR_CHAT, TBSTYLE_CHECK},     {-1, 0, TBSTYLE_SEP},
                 {1, ID_DOOR_KEYBOARD, TBSTYLE_CHECK}, {2, ID_DOOR_SYSOPNEXT, TBSTYLE_CHECK},
                 {-1, 0, TBSTYLE_SEP},                 {3, ID_DOOR_HANGUP, TBSTYLE_BUTTON},
                 {4, ID_DOOR_LOCKOUT, TBSTYLE_BUTTON}, {5, ID_DOOR_EXIT, TBSTYLE_BUTTON}};
    for (const auto &item : items) {
        buttons[n].iBitmap = item.image < 0 ? 0 : item.image;
        buttons[n].idCommand = item.command;
        buttons[n].fsState = item.image < 0 ? 0 : TBSTATE_ENABLED;
        buttons[n++].fsStyle = item.style;
    }
    record->hwndToolbar = CreateToolbarEx(frame, WS_CHILD | WS_VISIBLE | TBSTYLE_TOOLTIPS | TBSTYLE_FLAT, ID_TOOLBAR,
                                          6, record->hInstance, IDB_TOOLBAR, buttons, n, 16, 16, 16, 16,
                                          sizeof(TBBUTTON));
    if (!record->hwndToolbar) return;
    pfnDefToolbarProc = (WNDPROC)SetWindowLongPtrA(record->hwndToolbar, GWLP_WNDPROC, (LONG_PTR)ODFrameToolbarProc);

    record->hwndTimeText = CreateWindowExA(WS_EX_STATICEDGE, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_CENTER |
                                           SS_CENTERIMAGE | SS_NOTIFY, 2, 2, 70, 22, record->hwndToolbar,
                                           (HMENU)(INT_PTR)ID_TIME_TEXT, record->hInstance, nullptr);
    if (record->hwndTimeText)
        SendMessageA(record->hwndTimeText, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), FALSE);
    record->hwndTimeSpin = CreateWindowExA(0, UPDOWN_CLASSA, "", WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT |
                                           UDS_ARROWKEYS, 0, 0, 0, 0, record->hwndToolbar,
                                           (HMENU)(INT_PTR)ID_TIME_SPIN, record->hInstance, nullptr);
    if (record->hwndTimeSpin) {
        SendMessageA(record->hwndTimeSpin, UDM_SETBUDDY, (WPARAM)record->hwndTimeText, 0);
        SendMessageA(record->hwndTimeSpin, UDM_SETRANGE32, 0, 1440);
        UDACCEL steps[3] = {{0, 1}, {2, 5}, {5, 10}};
        SendMessageA(record->hwndTimeSpin, UDM_SETACCEL, 3, (LPARAM)steps);
        SendMessageA(record->hwndTimeSpin, UDM_SETPOS32, 0, state->nTimeLeft);
    }
    HWND tips = (HWND)SendMessageA(record->hwndToolbar, TB_GETTOOLTIPS, 0, 0);
    if (tips && record->hwndTimeText) {
        TOOLINFOA tool;
        memset(&tool, 0, sizeof tool);
        tool.cbSize = TTTOOLINFOA_V1_SIZE;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = record->hwndToolbar;
        tool.uId = (UINT_PTR)record->hwndTimeText;
        tool.lpszText = (LPSTR) "User's Time Remaining";
        SendMessageA(tips, TTM_ADDTOOLA, 0, (LPARAM)&tool);
    }
}

static void ODFrameDestroyToolbar(tODFrame *record)
{
    if (record->hwndToolbar) DestroyWindow(record->hwndToolbar); /* takes the time controls along */
    record->hwndToolbar = record->hwndTimeText = record->hwndTimeSpin = nullptr;
}

static void ODFrameSetStatusParts(tODFrame *record)
{
    if (!record->hwndStatusBar) return;
    RECT r;
    GetClientRect(record->hwndStatusBar, &r);
    int parts[2] = {r.right - 65 > 0 ? r.right - 65 : 0, -1};
    SendMessageA(record->hwndStatusBar, SB_SETPARTS, 2, (LPARAM)parts);
}

static void ODFrameUpdateStatusText(tODFrame *record, const tODKrnlUIState *state)
{
    if (!record->hwndStatusBar) return;
    char part1[256], part2[32];
    ODConsoleStatusPart1(state, part1, sizeof part1);
    ODConsoleStatusPart2(state, part2, sizeof part2);
    SendMessageA(record->hwndStatusBar, SB_SETTEXTA, 0, (LPARAM)part1);
    SendMessageA(record->hwndStatusBar, SB_SETTEXTA, 1, (LPARAM)part2);
}

static void ODFrameCreateStatusBar(HWND frame, tODFrame *record, const tODKrnlUIState *state)
{
    record->hwndStatusBar = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, frame,
                                            (HMENU)(INT_PTR)ID_STATUSBAR, record->hInstance, nullptr);
    ODFrameSetStatusParts(record);
    ODFrameUpdateStatusText(record, state);
}

static void ODFrameDestroyStatusBar(tODFrame *record)
{
    if (record->hwndStatusBar) DestroyWindow(record->hwndStatusBar);
    record->hwndStatusBar = nullptr;
}

/* ---- refreshing from the snapshot ---- */

static int ODFrameState(tODKrnlUIState *state)
{
    if (ODKrnlGetUIState(state)) return 1;
    memset(state, 0, sizeof *state);
    state->bKeyboardOn = 1;
    return 0;
}

static void ODFrameDoUpdateCmdUI(HWND frame, tODFrame *record)
{
    tODKrnlUIState state;
    ODFrameState(&state);
    tODFrameChecks checks;
    ODFrameGetChecks(&state, &checks);
    HMENU menu = GetMenu(frame);
    const struct {
        int command, on;
    } marks[] = {{ID_VIEW_TOOLBAR, record->bToolbarOn},      {ID_VIEW_STATUSBAR, record->bStatusBarOn},
                 {ID_USER_INACTIVITY, checks.bInactivityOn}, {ID_DOOR_SYSOPNEXT, checks.bSysopNext},
                 {ID_DOOR_KEYBOARD, checks.bKeyboardOff},    {ID_DOOR_CHAT, checks.bChat}};
    for (const auto &mark : marks)
        CheckMenuItem(menu, (UINT)mark.command, MF_BYCOMMAND | (mark.on ? MF_CHECKED : MF_UNCHECKED));
    if (record->hwndToolbar) {
        SendMessageA(record->hwndToolbar, TB_CHECKBUTTON, ID_DOOR_SYSOPNEXT, MAKELONG(checks.bSysopNext, 0));
        SendMessageA(record->hwndToolbar, TB_CHECKBUTTON, ID_DOOR_KEYBOARD, MAKELONG(checks.bKeyboardOff, 0));
        SendMessageA(record->hwndToolbar, TB_CHECKBUTTON, ID_DOOR_CHAT, MAKELONG(checks.bChat, 0));
    }
}

static void ODFrameDoUpdateTime(tODFrame *record)
{
    tODKrnlUIState state;
    ODFrameState(&state);
    if (record->hwndTimeText) {
        char text[32];
        snprintf(text, sizeof text, "%d min.", (int)state.nTimeLeft);
        SetWindowTextA(record->hwndTimeText, text);
    }
    if (record->hwndTimeSpin) SendMessageA(record->hwndTimeSpin, UDM_SETPOS32, 0, state.nTimeLeft);
}

static void ODFrameDoUpdateWantChat(HWND frame, tODFrame *record)
{
    tODKrnlUIState state;
    ODFrameState(&state);
    char caption[96];
    int wants = ODFrameCaption(&state, caption, sizeof caption);
    char shown[96];
    GetWindowTextA(frame, shown, sizeof shown);
    if (strcmp(shown, caption) != 0) SetWindowTextA(frame, caption);
    if (wants && !record->bWantChatFlashing) {
        record->bWantChatFlashing = TRUE;
        SetTimer(frame, OD_FLASH_TIMER, GetCaretBlinkTime(), nullptr);
    } else if (!wants && record->bWantChatFlashing) {
        record->bWantChatFlashing = FALSE;
        KillTimer(frame, OD_FLASH_TIMER);
        FlashWindow(frame, FALSE);
    }
    ODFrameUpdateStatusText(record, &state);
}

/* ---- dialogs ---- */

void ODFrameCenterWindowInParent(HWND dialog)
{
    HWND parent = GetWindow(dialog, GW_OWNER);
    RECT outer, inner;
    if (!parent || !GetWindowRect(parent, &outer)) SystemParametersInfoA(SPI_GETWORKAREA, 0, &outer, 0);
    GetWindowRect(dialog, &inner);
    int width = inner.right - inner.left, height = inner.bottom - inner.top;
    int x = outer.left + (outer.right - outer.left - width) / 2;
    int y = outer.top + (outer.bottom - outer.top - height) / 2;
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

static INT_PTR CALLBACK ODFrameAboutDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    (void)lparam;
    if (message == WM_INITDIALOG) {
        tODKrnlUIState state;
        ODFrameState(&state);
        SetDlgItemTextA(dialog, IDC_ABOUT_PROGRAM, ODFrameAboutTitle(&state));
        SetDlgItemTextA(dialog, IDC_ABOUT_VERSION, state.szProgramVersion);
        ODFrameCenterWindowInParent(dialog);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
        EndDialog(dialog, IDOK);
        return TRUE;
    }
    return FALSE;
}

static INT_PTR CALLBACK ODFrameMessageDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_INITDIALOG) {
        HWND frame = GetWindow(dialog, GW_OWNER);
        tODFrame *record = frame ? ODFrameRecord(frame) : nullptr;
        if (record) record->hwndMessageDlg = dialog;
        tODKrnlUIState state;
        ODFrameState(&state);
        SetWindowTextA(dialog, state.szProgramName);
        SetDlgItemTextA(dialog, IDC_MESSAGE_TEXT, (const char *)lparam);
        ODFrameCenterWindowInParent(dialog);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
        EndDialog(dialog, IDOK);
        return TRUE;
    }
    return FALSE;
}

/* A Yes/No question; a frame told to end while it is asked gets No. */
static int ODFrameConfirm(HWND frame, tODFrame *record, const char *question)
{
    tODKrnlUIState state;
    ODFrameState(&state);
    int answer = MessageBoxA(frame, question, state.szProgramName, MB_YESNO | MB_ICONQUESTION);
    return answer == IDYES && !record->bClosingByRequest;
}

/* ---- commands ---- */

static void ODFrameToggleBar(HWND frame, tODFrame *record, int command)
{
    tODKrnlUIState state;
    ODFrameState(&state);
    if (command == ID_VIEW_TOOLBAR) {
        record->bToolbarOn = !record->bToolbarOn;
        if (record->bToolbarOn) {
            ODFrameCreateToolbar(frame, record, &state);
            ODFrameDoUpdateTime(record);
        } else {
            ODFrameDestroyToolbar(record);
        }
        ODFrameWriteSetting("ToolBarOn", record->bToolbarOn);
    } else {
        record->bStatusBarOn = !record->bStatusBarOn;
        if (record->bStatusBarOn)
            ODFrameCreateStatusBar(frame, record, &state);
        else
            ODFrameDestroyStatusBar(record);
        ODFrameWriteSetting("StatusBarOn", record->bStatusBarOn);
    }
    ODFrameDoUpdateCmdUI(frame, record);
    ODScrnAdjustWindows(frame);
}

static void ODFrameCommand(HWND frame, tODFrame *record, int command)
{
    switch (command) {
    case ID_DOOR_CHAT: ODKrnlRequestChatToggle(); break;
    case ID_DOOR_KEYBOARD: ODKrnlRequestKeyboardToggle(); break;
    case ID_DOOR_SYSOPNEXT: ODKrnlRequestSysopNextToggle(); break;
    case ID_USER_INACTIVITY: ODKrnlRequestInactivityToggle(); break;
    case ID_USER_ADD1: ODKrnlRequestTimeAdjustment(1); break;
    case ID_USER_ADD5: ODKrnlRequestTimeAdjustment(5); break;
    case ID_USER_SUB1: ODKrnlRequestTimeAdjustment(-1); break;
    case ID_USER_SUB5: ODKrnlRequestTimeAdjustment(-5); break;
    case ID_DOOR_HANGUP:
        if (ODFrameConfirm(frame, record, ODConsoleConfirmation(kODConsoleHangup)))
            ODKrnlRequestShutdown(OD_REASON_HANGUP);
        break;
    case ID_DOOR_LOCKOUT:
        if (ODFrameConfirm(frame, record, ODConsoleConfirmation(kODConsoleLockout))) ODKrnlRequestLockout();
        break;
    case ID_DOOR_EXIT: PostMessageA(frame, WM_CLOSE, 0, 0); break;
    case ID_VIEW_TOOLBAR:
    case ID_VIEW_STATUSBAR: ODFrameToggleBar(frame, record, command); break;
    case ID_HELP_ABOUT:
        DialogBoxParamA(record->hInstance, MAKEINTRESOURCEA(IDD_ABOUT), frame, ODFrameAboutDialogProc, 0);
        break;
    default: break; /* F1 and Configure: the system has neither */
    }
    /* A check button shows itself pressed the moment it is clicked, but
     * while the session is not running (start-up, the exit drain) the
     * kernel drops the request without a notice: the buttons and the menu
     * go back to the snapshot at once. An accepted toggle is in it already. */
    if (command == ID_DOOR_CHAT || command == ID_DOOR_KEYBOARD || command == ID_DOOR_SYSOPNEXT ||
        command == ID_USER_INACTIVITY)
        ODFrameDoUpdateCmdUI(frame, record);
}

static const char *ODFrameSystemMenuHelp(UINT item)
{
    switch (item & 0xFFF0) {
    case SC_SIZE: return "Resizes this window.";
    case SC_MOVE: return "Moves this window.";
    case SC_MINIMIZE: return "Collapses this window to an icon.";
    case SC_MAXIMIZE: return "Expands this window to fill the screen.";
    case SC_CLOSE: return "Closes this window, and returns the user to the BBS.";
    case SC_RESTORE: return "Restores this window to normal size.";
    default: return "";
    }
}

static void ODFrameMenuSelect(tODFrame *record, UINT item, UINT flags, HMENU menu)
{
    if (!record->hwndStatusBar) return;
    if (flags == 0xFFFF && !menu) {
        SendMessageA(record->hwndStatusBar, SB_SIMPLE, FALSE, 0);
        return;
    }
    char text[256] = "";
    if (flags & MF_SYSMENU)
        lstrcpynA(text, ODFrameSystemMenuHelp(item), sizeof text);
    else if (!(flags & MF_POPUP) && !(flags & MF_SEPARATOR))
        LoadStringA(record->hInstance, item, text, sizeof text);
    SendMessageA(record->hwndStatusBar, SB_SIMPLE, TRUE, 0);
    SendMessageA(record->hwndStatusBar, SB_SETTEXTA, 255 | SBT_NOBORDERS, (LPARAM)text);
}

static const char *ODFrameButtonName(UINT_PTR command)
{
    switch (command) {
    case ID_DOOR_CHAT: return "Chat Mode";
    case ID_DOOR_KEYBOARD: return "User Keyboard Off";
    case ID_DOOR_SYSOPNEXT: return "Sysop Next";
    case ID_DOOR_HANGUP: return "Hangup";
    case ID_DOOR_LOCKOUT: return "Lockout";
    case ID_DOOR_EXIT: return "Exit To BBS";
    default: return nullptr;
    }
}

static LRESULT CALLBACK ODFrameWindowProc(HWND frame, UINT message, WPARAM wparam, LPARAM lparam)
{
    tODFrame *record = ODFrameRecord(frame);
    switch (message) {
    case WM_CREATE: {
        record = (tODFrame *)((CREATESTRUCTA *)lparam)->lpCreateParams;
        SetWindowLongPtrA(frame, GWLP_USERDATA, (LONG_PTR)record);
        HMENU menu = GetMenu(frame);
        DeleteMenu(menu, ID_HELP_CONTENTS, MF_BYCOMMAND);
        DeleteMenu(menu, ID_DOOR_CONFIG, MF_BYCOMMAND);
        ODFrameDoUpdateCmdUI(frame, record);
        return 0;
    }
    default:
        break;
    }
    if (!record) return DefWindowProcA(frame, message, wparam, lparam);

    switch (message) {
    case WM_COMMAND:
        ODFrameCommand(frame, record, LOWORD(wparam));
        return 0;
    case WM_CLOSE:
        if (!record->bClosingByRequest &&
            !ODFrameConfirm(frame, record, ODConsoleConfirmation(kODConsoleExitToBBS)))
            return 0;
        if (record->hAccelerators) DestroyAcceleratorTable(record->hAccelerators);
        record->hAccelerators = nullptr;
        DestroyWindow(frame);
        return 0;
    case WM_DESTROY:
        KillTimer(frame, OD_FLASH_TIMER);
        ODFrameDestroyToolbar(record);
        ODFrameDestroyStatusBar(record);
        if (!record->bClosingByRequest) ODKrnlRequestShutdown(OD_REASON_RETURNED);
        SetWindowLongPtrA(frame, GWLP_USERDATA, 0);
        hwndCurrentFrame = nullptr;
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        if (record->hwndToolbar) SendMessageA(record->hwndToolbar, TB_AUTOSIZE, 0, 0);
        if (record->hwndStatusBar) {
            SendMessageA(record->hwndStatusBar, WM_SIZE, wparam, lparam);
            ODFrameSetStatusParts(record);
        }
        return 0;
    case WM_SETFOCUS:
        ODScrnSetFocusToWindow();
        return 0;
    case WM_MENUSELECT:
        ODFrameMenuSelect(record, LOWORD(wparam), HIWORD(wparam), (HMENU)lparam);
        return 0;
    case WM_NOTIFY: {
        NMHDR *header = (NMHDR *)lparam;
        if (header->code == TTN_GETDISPINFOA || header->code == TTN_GETDISPINFOW) {
            const char *name = ODFrameButtonName(header->idFrom);
            if (!name) return 0;
            if (header->code == TTN_GETDISPINFOA) {
                ((NMTTDISPINFOA *)lparam)->lpszText = (LPSTR)name;
            } else {
                NMTTDISPINFOW *info = (NMTTDISPINFOW *)lparam;
                MultiByteToWideChar(CP_ACP, 0, name, -1, info->szText, (int)(sizeof info->szText / sizeof(WCHAR)));
                info->lpszText = info->szText;
            }
            return 0;
        }
        if (header->code == UDN_DELTAPOS && header->idFrom == ID_TIME_SPIN) {
            int minutes = ODFrameSpinnerMinutes(((NMUPDOWN *)lparam)->iDelta);
            if (minutes) ODKrnlRequestTimeAdjustment(minutes);
            return TRUE; /* the position follows the snapshot, not the click */
        }
        break;
    }
    case WM_TIMER:
        if (wparam == OD_FLASH_TIMER) FlashWindow(frame, TRUE);
        return 0;
    case WM_OD_SHOWMESSAGE: {
        char *text = (char *)lparam;
        if (record->bMessageShown || record->bClosingByRequest) {
            free(text);
            return 0;
        }
        record->bMessageShown = TRUE;
        record->pszMessage = text;
        DialogBoxParamA(record->hInstance, MAKEINTRESOURCEA(IDD_MESSAGE), frame, ODFrameMessageDialogProc,
                        (LPARAM)text);
        /* The frame may have ended while the dialog was up. */
        tODFrame *still = ODFrameRecord(frame);
        if (still) {
            still->bMessageShown = FALSE;
            still->hwndMessageDlg = nullptr;
            still->pszMessage = nullptr;
        }
        free(text);
        return 0;
    }
    case WM_OD_REMOVEMESSAGE:
        if (record->hwndMessageDlg) SendMessageA(record->hwndMessageDlg, WM_COMMAND, IDOK, 0);
        return 0;
    case WM_OD_UPDATECMDUI:
        ODFrameDoUpdateCmdUI(frame, record);
        return 0;
    case WM_OD_UPDATETIME:
        ODFrameDoUpdateTime(record);
        return 0;
    case WM_OD_UPDATEWANTCHAT:
        ODFrameDoUpdateWantChat(frame, record);
        return 0;
    case WM_OD_ENDFRAME:
        record->bClosingByRequest = TRUE;
        /* Ends any modal loop (a question, the About box) as well. */
        PostQuitMessage(0);
        return 0;
    case WM_OD_STATECHANGED:
        ODFrameNoticeTaken(&lControlStateDirty);
        ODFrameDoUpdateCmdUI(frame, record);
        ODFrameDoUpdateTime(record);
        ODFrameDoUpdateWantChat(frame, record);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(frame, message, wparam, lparam);
}

static int ODFrameTranslateAccelerator(HWND frame, tODFrame *record, MSG *msg)
{
    if (!record || !record->hAccelerators || !IsWindow(frame)) return 0;
    return TranslateAcceleratorA(frame, record->hAccelerators, msg);
}

/* ---- the frame thread ---- */

static void ODFrameStartDone(int result)
{
    FrameStartResult = result;
    SetEvent(hFrameStartedEvent);
}

static unsigned __stdcall ODFrameThreadProc(void *argument)
{
    tODFrameStartInfo *start = (tODFrameStartInfo *)argument;
    dwFrameThreadID = GetCurrentThreadId();
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE); /* the thread's queue */

    tODKrnlUIState state;
    ODFrameState(&state);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&controls);
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = ODFrameWindowProc;
    wc.hInstance = start->hInstance;
    wc.hIcon = LoadIconA(start->hInstance, MAKEINTRESOURCEA(IDI_FRAME));
    wc.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszMenuName = MAKEINTRESOURCEA(IDM_FRAME_MENU);
    wc.lpszClassName = "ODFrame";
    int registered = RegisterClassA(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;

    tODFrame *record = registered ? (tODFrame *)calloc(1, sizeof *record) : nullptr;
    HWND frame = nullptr;
    int screen = 1;
    if (record) {
        record->hInstance = start->hInstance;
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, szODRegistryKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            key = nullptr;
        record->bToolbarOn = ODFrameReadSetting(key, "ToolBarOn");
        record->bStatusBarOn = ODFrameReadSetting(key, "StatusBarOn");
        if (key) RegCloseKey(key);
        frame = CreateWindowExA(0, "ODFrame", state.szProgramName,
                                WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, start->hInstance,
                                record);
    }
    if (frame) {
        record->hAccelerators = LoadAcceleratorsA(start->hInstance, MAKEINTRESOURCEA(IDA_FRAME));
        if (record->bToolbarOn) ODFrameCreateToolbar(frame, record, &state);
        if (record->bStatusBarOn) ODFrameCreateStatusBar(frame, record, &state);
        ODFrameDoUpdateTime(record);
        screen = ODScrnStartWindow(start->hInstance, frame, state.nCmdShow, start->bPromptForName, start->szName,
                                   sizeof start->szName, state.szProgramName);
    }
    if (!frame || screen != 0) {
        if (frame) {
            record->bClosingByRequest = TRUE; /* no shutdown request: start-up fails instead */
            DestroyWindow(frame);
        }
        if (record && record->hAccelerators) DestroyAcceleratorTable(record->hAccelerators);
        free(record);
        dwFrameThreadID = 0;
        ODFrameStartDone(screen == 2 ? OD_FRAME_CANCELLED : OD_FRAME_FAILED);
        return 0;
    }

    hwndCurrentFrame = frame;
    ODFrameStartDone(OD_FRAME_STARTED);
    /* An Alt+key accelerator eats the key, so the window never learns
     * that Alt was not pressed alone: its release would open the menu. */
    int alt_used = 0;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        int alt = msg.wParam == VK_MENU || msg.wParam == VK_LMENU || msg.wParam == VK_RMENU;
        if (alt && msg.message == WM_SYSKEYDOWN && !(msg.lParam & (1 << 30))) alt_used = 0;
        if (alt && (msg.message == WM_SYSKEYUP || msg.message == WM_KEYUP) && alt_used) {
            alt_used = 0;
            continue;
        }
        if (ODFrameTranslateAccelerator(frame, ODFrameRecord(frame), &msg)) {
            if (msg.message == WM_SYSKEYDOWN) alt_used = 1;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    ODScrnStopWindow();
    hwndCurrentFrame = nullptr;
    if (IsWindow(frame)) {
        record->bClosingByRequest = TRUE;
        DestroyWindow(frame);
    }
    if (record->hAccelerators) DestroyAcceleratorTable(record->hAccelerators);
    record->hAccelerators = nullptr;
    free(record);
    dwFrameThreadID = 0;
    return 1;
}

/* ---- the game thread's side ---- */

static int ODFramePostNotice(void *argument)
{
    (void)argument;
    HWND frame = hwndCurrentFrame;
    return frame && PostMessageA(frame, WM_OD_STATECHANGED, 0, 0);
}

void ODFrameControlStateChanged(void)
{
    if (!hwndCurrentFrame) return;
    ODFrameNoticeChanged(&lControlStateDirty, ODFramePostNotice, nullptr);
}

static void ODFrameCloseHandles(void)
{
    if (hFrameThread) CloseHandle(hFrameThread);
    if (hFrameStartedEvent) CloseHandle(hFrameStartedEvent);
    hFrameThread = hFrameStartedEvent = nullptr;
}

int ODFrameStart(void *instance, int prompt_for_name, char *name, size_t name_size)
{
    if (hFrameThread) return OD_FRAME_STARTED;
    memset(&FrameStartInfo, 0, sizeof FrameStartInfo);
    FrameStartInfo.hInstance = (HINSTANCE)instance;
    FrameStartInfo.bPromptForName = prompt_for_name && name && name_size > 0;
    if (name) lstrcpynA(FrameStartInfo.szName, name, sizeof FrameStartInfo.szName);
    FrameStartResult = OD_FRAME_FAILED;
    lControlStateDirty = 0;
    hFrameStartedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!hFrameStartedEvent) return OD_FRAME_FAILED;
    hFrameThread = (HANDLE)_beginthreadex(nullptr, 0, ODFrameThreadProc, &FrameStartInfo, 0, nullptr);
    if (!hFrameThread) {
        ODFrameCloseHandles();
        return OD_FRAME_FAILED;
    }
    int in_time = WaitForSingleObject(hFrameStartedEvent, OD_FRAME_START_WAIT_MS) == WAIT_OBJECT_0;
    /* The login dialog waits for the sysop as long as it takes; any other
     * late frame has failed to start. */
    if (!in_time && !FrameStartInfo.bPromptForName) {
        WaitForSingleObject(hFrameStartedEvent, INFINITE);
        if (FrameStartResult == OD_FRAME_STARTED) {
            ODFrameShutdown();
            return OD_FRAME_FAILED;
        }
    } else if (!in_time) {
        WaitForSingleObject(hFrameStartedEvent, INFINITE);
    }
    if (FrameStartResult != OD_FRAME_STARTED) {
        int result = FrameStartResult;
        WaitForSingleObject(hFrameThread, INFINITE);
        ODFrameCloseHandles();
        return result;
    }
    if (FrameStartInfo.bPromptForName) lstrcpynA(name, FrameStartInfo.szName, (int)name_size);
    ODKrnlSetStateChangedHook(ODFrameControlStateChanged);
    ODFrameControlStateChanged();
    return OD_FRAME_STARTED;
}

int ODFrameShutdown(void)
{
    if (!hFrameThread) return 1;
    ODKrnlSetStateChangedHook(nullptr);
    HWND frame = hwndCurrentFrame;
    DWORD thread = dwFrameThreadID;
    int asked = 0;
    if (frame) {
        asked = PostMessageA(frame, WM_OD_ENDFRAME, 0, 0);
        if (!asked) {
            DWORD_PTR result;
            asked = SendMessageTimeoutA(frame, WM_OD_ENDFRAME, 0, 0, SMTO_ABORTIFHUNG, 10000, &result) != 0;
        }
    }
    if (!asked && thread) PostThreadMessageA(thread, WM_QUIT, 0, 0);
    int ended = 1;
    if (GetCurrentThreadId() != thread) {
        /* A frame thread that does not end in time (a stuck dialog, a
         * slow desktop) is left behind, and what it can touch is kept for
         * it: the process is about to end and the BBS is waiting for the
         * line. */
        ended = WaitForSingleObject(hFrameThread, OD_FRAME_STOP_WAIT_MS) == WAIT_OBJECT_0;
    }
    ODFrameCloseHandles();
    return ended;
}

void ODScrnShowMessage(const char *text)
{
    HWND frame = hwndCurrentFrame;
    if (od_control.silent_mode || !frame || !text) return;
    char *copy = _strdup(text);
    if (copy && !PostMessageA(frame, WM_OD_SHOWMESSAGE, 0, (LPARAM)copy)) free(copy);
}

void ODScrnRemoveMessage(void)
{
    HWND frame = hwndCurrentFrame;
    if (od_control.silent_mode || !frame) return;
    PostMessageA(frame, WM_OD_REMOVEMESSAGE, 0, 0);
}
