/* ODScrnWin32.cpp -- the screen window: the child of the frame that paints
 * the published local screen with the OEM fixed font, shows the caret at
 * the cursor and turns the sysop's keys into local input. Frame thread;
 * the game thread only publishes, which posts one repaint request. */
#include "ODWindows.h"

#include "../ODConsole.h"
#include "../ODKrnl.h"
#include "../ODScrn.h"
#include "ODRes.h"

#include <string.h>

static HWND  hwndScreenWindow = nullptr; /* guarded by ScreenPresentationMutex */
static HFONT hCurrentFont = nullptr;
static int   nFontCellWidth = 8;
static int   nFontCellHeight = 12;
static int   bFontIsOEM = 1;
static int   bScreenHasFocus = 0;
static int   bWinCaretShown = 0;
static volatile LONG lRepaintPending = 0;

static const COLORREF acrPCTextColors[16] = {
    RGB(0x00, 0x00, 0x00), RGB(0x00, 0x00, 0xC0), RGB(0x00, 0xC0, 0x00), RGB(0x00, 0xC0, 0xC0),
    RGB(0xC0, 0x00, 0x00), RGB(0xC0, 0x00, 0xC0), RGB(0xC0, 0xC0, 0x00), RGB(0xC0, 0xC0, 0xC0),
    RGB(0x7F, 0x7F, 0x7F), RGB(0x00, 0x00, 0xFF), RGB(0x00, 0xFF, 0x00), RGB(0x00, 0xFF, 0xFF),
    RGB(0xFF, 0x00, 0x00), RGB(0xFF, 0x00, 0xFF), RGB(0xFF, 0xFF, 0x00), RGB(0xFF, 0xFF, 0xFF),
};

static const struct {
    WORD    wVirtualKey;
    uint8_t btODKey;
} aWinKeyToODKey[20] = {
    {VK_UP, 72},     {VK_DOWN, 80},   {VK_LEFT, 75},   {VK_RIGHT, 77}, {VK_INSERT, 82},
    {VK_DELETE, 83}, {VK_END, 79},    {VK_HOME, 71},   {VK_PRIOR, 73}, {VK_NEXT, 81},
    {VK_F1, 59},     {VK_F2, 60},     {VK_F3, 61},     {VK_F4, 62},    {VK_F5, 63},
    {VK_F6, 64},     {VK_F7, 65},     {VK_F8, 66},     {VK_F9, 67},    {VK_F10, 68},
};

/* Called by ODScrnPublish under the mutex on the game thread: it must not
 * wait for the frame thread, so it only posts, once per burst. */
static void ODScrnRepaintHook(void *argument)
{
    (void)argument;
    if (!hwndScreenWindow || InterlockedExchange(&lRepaintPending, 1) != 0) return;
    if (!PostMessageW(hwndScreenWindow, WM_OD_PUBLISHED, 0, 0)) InterlockedExchange(&lRepaintPending, 0);
}

static void ODScrnPlaceCaret(HWND hwnd)
{
    if (!bScreenHasFocus) return;
    ODMutexLock(ScreenPresentationMutex);
    int on = bDisplayCaretOn;
    int row = btDisplayCursorRow, column = btDisplayCursorColumn;
    ODMutexUnlock(ScreenPresentationMutex);
    (void)hwnd;
    SetCaretPos(column * nFontCellWidth, (row + 1) * nFontCellHeight - 3);
    if (on && !bWinCaretShown) {
        ShowCaret(hwnd);
        bWinCaretShown = 1;
    } else if (!on && bWinCaretShown) {
        HideCaret(hwnd);
        bWinCaretShown = 0;
    }
}

static void ODScrnPaint(HWND hwnd)
{
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    if (!dc) return;
    int first_column = ps.rcPaint.left / nFontCellWidth;
    int last_column = (ps.rcPaint.right - 1) / nFontCellWidth;
    int first_row = ps.rcPaint.top / nFontCellHeight;
    int last_row = (ps.rcPaint.bottom - 1) / nFontCellHeight;
    if (last_column > OD_SCREEN_WIDTH - 1) last_column = OD_SCREEN_WIDTH - 1;
    if (last_row > OD_SCREEN_HEIGHT - 1) last_row = OD_SCREEN_HEIGHT - 1;
    HGDIOBJ old_font = SelectObject(dc, hCurrentFont);
    char text[OD_SCREEN_WIDTH];
    ODMutexLock(ScreenPresentationMutex);
    for (int row = first_row; row <= last_row; row++) {
        const uint16_t *cells = pDisplayBuffer + row * OD_SCREEN_WIDTH;
        int column = first_column;
        while (column <= last_column) {
            uint8_t attribute = (uint8_t)(cells[column] >> 8);
            int start = column, count = 0;
            while (column <= last_column && (uint8_t)(cells[column] >> 8) == attribute)
                text[count++] = (char)(cells[column++] & 0xFF);
            SetTextColor(dc, acrPCTextColors[attribute & 0x0F]);
            SetBkColor(dc, acrPCTextColors[attribute >> 4]);
            ODScrnDrawCells(dc, bFontIsOEM, start * nFontCellWidth, row * nFontCellHeight, nFontCellWidth,
                            nFontCellHeight, text, count);
        }
    }
    ODMutexUnlock(ScreenPresentationMutex);
    SelectObject(dc, old_font);
    EndPaint(hwnd, &ps);
    ODScrnPlaceCaret(hwnd);
}

static void ODScrnKey(uint16_t key, LPARAM key_data)
{
    int repeat = (int)(key_data & 0xFFFF);
    if (repeat < 1) repeat = 1;
    for (int i = 0; i < repeat; i++) ODKrnlHandleLocalKey(key);
}

static LRESULT CALLBACK ODScrnWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_PAINT:
        ODScrnPaint(hwnd);
        return 0;
    case WM_ERASEBKGND:
        return 1; /* every cell is painted opaque */
    case WM_OD_PUBLISHED:
        InterlockedExchange(&lRepaintPending, 0);
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_SETFOCUS:
        bScreenHasFocus = 1;
        CreateCaret(hwnd, nullptr, nFontCellWidth, 3);
        bWinCaretShown = 0;
        ODScrnPlaceCaret(hwnd);
        return 0;
    case WM_KILLFOCUS:
        bScreenHasFocus = 0;
        bWinCaretShown = 0;
        DestroyCaret();
        return 0;
    case WM_KEYDOWN:
        for (const auto &entry : aWinKeyToODKey) {
            if (entry.wVirtualKey == wparam) {
                ODScrnKey((uint16_t)(entry.btODKey << 8), lparam);
                return 0;
            }
        }
        break;
    case WM_CHAR: {
        /* A Unicode window: the sysop's character is mapped to CP437, the
         * code page the caller's screen is in. */
        uint8_t ch = wparam < 128 ? (uint8_t)wparam : ODConsoleUnicodeToCP437((uint32_t)wparam);
        if (ch == 0 && wparam != 0) return 0;
        ODScrnKey((uint16_t)((((lparam >> 16) & 0xFF) << 8) | ch), lparam);
        return 0;
    }
    case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) == SC_KEYMENU) return SendMessageW(GetParent(hwnd), message, wparam, lparam);
        break;
    case WM_LBUTTONDOWN:
        SetFocus(hwnd);
        return 0;
    case WM_DESTROY:
        ODMutexLock(ScreenPresentationMutex);
        hwndScreenWindow = nullptr;
        ODMutexUnlock(ScreenPresentationMutex);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

/* ---- the local login dialog ---- */

typedef struct {
    const char *pszTitle;
    char       *pszName;
    size_t      nNameSize;
} tODLoginDialog;

static INT_PTR CALLBACK ODScrnLoginDialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG: {
        tODLoginDialog *login = (tODLoginDialog *)lparam;
        SetWindowLongPtrA(dialog, DWLP_USER, (LONG_PTR)login);
        SetWindowTextA(dialog, login->pszTitle);
        SendDlgItemMessageA(dialog, IDC_LOGIN_NAME, EM_LIMITTEXT, 35, 0);
        SetDlgItemTextA(dialog, IDC_LOGIN_NAME, login->pszName);
        ODFrameCenterWindowInParent(dialog);
        return TRUE;
    }
    case WM_COMMAND: {
        tODLoginDialog *login = (tODLoginDialog *)GetWindowLongPtrA(dialog, DWLP_USER);
        if (LOWORD(wparam) == IDOK) {
            char name[36];
            GetDlgItemTextA(dialog, IDC_LOGIN_NAME, name, sizeof name);
            /* An empty name would leave the caller nameless: ask again. */
            if (!name[0]) {
                MessageBeep(MB_OK);
                SetFocus(GetDlgItem(dialog, IDC_LOGIN_NAME));
                return TRUE;
            }
            lstrcpynA(login->pszName, name, (int)login->nNameSize);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    default:
        break;
    }
    return FALSE;
}

/* ---- start and stop ---- */

int ODScrnStartWindow(HINSTANCE instance, HWND frame, int cmd_show, int prompt_for_name, char *name,
                      size_t name_size, const char *title)
{
    WNDCLASSW wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = ODScrnWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.lpszClassName = L"ODScreen";
    if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return 1;

    HWND hwnd = CreateWindowExW(WS_EX_CLIENTEDGE, L"ODScreen", L"", WS_CHILD | WS_BORDER, 0, 0, 10, 10, frame,
                                nullptr, instance, nullptr);
    if (!hwnd) return 1;
    ODMutexLock(ScreenPresentationMutex);
    hwndScreenWindow = hwnd;
    ODMutexUnlock(ScreenPresentationMutex);

    HDC dc = GetDC(hwnd);
    hCurrentFont = ODScrnChooseFont(dc, &nFontCellWidth, &nFontCellHeight, &bFontIsOEM);
    if (dc) ReleaseDC(hwnd, dc);
    ODScrnAdjustWindows(frame);
    ODScrnAdjustWindows(frame); /* the menu bar may wrap after the first */

    if (prompt_for_name && name && name_size > 0) {
        tODLoginDialog login = {title, name, name_size};
        if (DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_LOGIN), frame, ODScrnLoginDialogProc, (LPARAM)&login) !=
            IDOK) {
            DestroyWindow(hwnd);
            return 2;
        }
    }
    if (cmd_show == SW_SHOWMINIMIZED || cmd_show == SW_MINIMIZE || cmd_show == SW_SHOWMINNOACTIVE)
        ShowWindow(frame, SW_SHOWMINNOACTIVE);
    else
        ShowWindow(frame, SW_RESTORE);
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(frame);
    ODScrnSetRepaintHook(ODScrnRepaintHook, nullptr);
    return 0;
}

void ODScrnAdjustWindows(HWND frame)
{
    HWND screen = hwndScreenWindow;
    if (!screen) return;
    int toolbar_height = 0, status_height = 0;
    HWND toolbar = GetDlgItem(frame, ID_TOOLBAR);
    HWND status = GetDlgItem(frame, ID_STATUSBAR);
    RECT r;
    /* The bars' own style, not IsWindowVisible: the frame may not be shown yet. */
    if (toolbar && (GetWindowLongPtrW(toolbar, GWL_STYLE) & WS_VISIBLE) && GetWindowRect(toolbar, &r))
        toolbar_height = r.bottom - r.top;
    if (status && (GetWindowLongPtrW(status, GWL_STYLE) & WS_VISIBLE) && GetWindowRect(status, &r))
        status_height = r.bottom - r.top;

    RECT outer = {0, 0, OD_SCREEN_WIDTH * nFontCellWidth, OD_SCREEN_HEIGHT * nFontCellHeight};
    AdjustWindowRectEx(&outer, (DWORD)GetWindowLongPtrW(screen, GWL_STYLE), FALSE,
                       (DWORD)GetWindowLongPtrW(screen, GWL_EXSTYLE));
    int width = outer.right - outer.left, height = outer.bottom - outer.top;
    SetWindowPos(screen, nullptr, 0, toolbar_height, width, height, SWP_NOZORDER | SWP_NOACTIVATE);

    RECT client = {0, 0, width, toolbar_height + height + status_height};
    AdjustWindowRectEx(&client, (DWORD)GetWindowLongPtrA(frame, GWL_STYLE), GetMenu(frame) != nullptr,
                       (DWORD)GetWindowLongPtrA(frame, GWL_EXSTYLE));
    SetWindowPos(frame, nullptr, 0, 0, client.right - client.left, client.bottom - client.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    /* The menu bar can wrap at this width: measure what the frame really
     * got and make up the difference. */
    RECT got;
    GetClientRect(frame, &got);
    int short_by = toolbar_height + height + status_height - (got.bottom - got.top);
    if (short_by != 0) {
        GetWindowRect(frame, &r);
        SetWindowPos(frame, nullptr, 0, 0, r.right - r.left, r.bottom - r.top + short_by,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void ODScrnStopWindow(void)
{
    ODScrnSetRepaintHook(nullptr, nullptr);
    HWND hwnd = hwndScreenWindow;
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    if (hCurrentFont) DeleteObject(hCurrentFont);
    hCurrentFont = nullptr;
}

/* ---- the font ---- */

static int ODScrnMeasure(HDC dc, HFONT font, int *cell_width, int *cell_height, int *charset)
{
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics;
    int ok = GetTextMetricsW(dc, &metrics) && metrics.tmAveCharWidth > 0 && metrics.tmHeight > 0;
    if (ok) {
        *cell_width = metrics.tmAveCharWidth;
        *cell_height = metrics.tmHeight;
        *charset = metrics.tmCharSet;
    }
    SelectObject(dc, old);
    return ok;
}

HFONT ODScrnChooseFont(HDC dc, int *cell_width, int *cell_height, int *oem)
{
    HFONT stock = (HFONT)GetStockObject(OEM_FIXED_FONT);
    int charset = 0;
    *cell_width = 8;
    *cell_height = 12;
    *oem = 1;
    if (!dc || (ODScrnMeasure(dc, stock, cell_width, cell_height, &charset) && charset == OEM_CHARSET)) return stock;
    /* Monospaced faces with the box and block glyphs, the desktop's own
     * first; the font mapper takes the first that exists. */
    static const wchar_t *const faces[] = {L"Lucida Console", L"Consolas", L"DejaVu Sans Mono", L"Courier New"};
    for (const wchar_t *face : faces) {
        HFONT font = CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                 CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY, FIXED_PITCH | FF_MODERN, face);
        if (!font) continue;
        wchar_t got[LF_FACESIZE] = L"";
        HGDIOBJ old = SelectObject(dc, font);
        GetTextFaceW(dc, LF_FACESIZE, got);
        SelectObject(dc, old);
        int width, height;
        if (lstrcmpiW(got, face) == 0 && ODScrnMeasure(dc, font, &width, &height, &charset)) {
            *cell_width = width;
            *cell_height = height;
            *oem = 0;
            return font;
        }
        DeleteObject(font);
    }
    ODScrnMeasure(dc, stock, cell_width, cell_height, &charset);
    return stock;
}

void ODScrnDrawCells(HDC dc, int oem, int x, int y, int cell_width, int cell_height, const char *text, int count)
{
    RECT run = {x, y, x + count * cell_width, y + cell_height};
    if (oem) {
        ExtTextOutA(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &run, text, (UINT)count, nullptr);
        return;
    }
    wchar_t wide[OD_SCREEN_WIDTH];
    INT advance[OD_SCREEN_WIDTH];
    if (count > OD_SCREEN_WIDTH) count = OD_SCREEN_WIDTH;
    for (int i = 0; i < count; i++) {
        wide[i] = (wchar_t)ODConsoleCP437ToUnicode((uint8_t)text[i]);
        advance[i] = cell_width; /* one glyph per cell, whatever the font's own advance */
    }
    ExtTextOutW(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &run, wide, (UINT)count, advance);
}

void ODScrnSetFocusToWindow(void)
{
    if (hwndScreenWindow) SetFocus(hwndScreenWindow);
}
