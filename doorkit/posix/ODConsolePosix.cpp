/* ODConsolePosix.cpp -- the local console on Linux: the local picture drawn
 * on the terminal the door was started from (when that is not the caller's
 * line), the sysop's Alt-key commands and local keys, on the kit's local
 * display thread. The terminal is given back on every way out. */
#include "../ODConsole.h"
#include "../ODCom.h"
#include "../ODKrnl.h"
#include "../ODPlat.h"
#include "../ODScrn.h"
#include "../doorkit.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* The terminal as we found it; read by the crash handler, so plain data
 * and flags only. */
static struct termios ODConsoleSavedTermios;
static volatile sig_atomic_t bODConsoleTermiosSaved = 0;
static volatile sig_atomic_t bODConsoleScreenTaken = 0;
static volatile sig_atomic_t fdODConsoleIn = -1;
static volatile sig_atomic_t fdODConsoleOut = -1;

static int afdODConsoleWake[2] = {-1, -1};
static tODThreadHandle hODConsoleThread = nullptr;
static std::atomic<int> bODConsoleStop(0);
static int bODConsoleActive = 0;

/* The notice od_exit shows; the game thread writes it, the console draws. */
static tODMutex hODConsoleMessageLock = nullptr;
static char szODConsoleMessage[128];

static const int aODCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
#define OD_CRASH_SIGNAL_COUNT ((int)(sizeof aODCrashSignals / sizeof aODCrashSignals[0]))
static struct sigaction aODCrashPrevious[OD_CRASH_SIGNAL_COUNT];
static int bODCrashHandlersSet = 0;

static const char szODLeaveScreen[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

/* ---- the terminal ---- */

static void ODConsoleWriteAll(int fd, const char *bytes, size_t length)
{
    while (length > 0 && fd >= 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                struct pollfd p = {fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            return;
        }
        bytes += n;
        length -= (size_t)n;
    }
}

/* Async-signal-safe: write and tcsetattr only. The display thread is told
 * to stop drawing, so nothing lands on the sysop's own screen after this. */
void ODConsoleRestoreTerminal(void)
{
    bODConsoleStop.store(1);
    if (bODConsoleScreenTaken) {
        bODConsoleScreenTaken = 0;
        ODConsoleWriteAll(fdODConsoleOut, szODLeaveScreen, sizeof szODLeaveScreen - 1);
    }
    if (bODConsoleTermiosSaved) {
        bODConsoleTermiosSaved = 0;
        tcsetattr(fdODConsoleIn, TCSANOW, &ODConsoleSavedTermios);
    }
}

static int ODConsoleTakeTerminal(void)
{
    struct termios raw;
    if (tcgetattr(fdODConsoleIn, &ODConsoleSavedTermios) != 0) return 0;
    raw = ODConsoleSavedTermios;
    raw.c_iflag &= ~(tcflag_t)(BRKINT | ICRNL | INPCK | ISTRIP | IXON | INLCR | IGNCR);
    raw.c_oflag &= ~(tcflag_t)OPOST;
    raw.c_lflag &= ~(tcflag_t)(ECHO | ICANON | IEXTEN | ISIG);
    raw.c_cflag |= CS8;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(fdODConsoleIn, TCSANOW, &raw) != 0) return 0;
    bODConsoleTermiosSaved = 1;
    /* The alternate screen: the sysop's scrollback is back as it was when
     * the door ends. */
    static const char enter[] = "\x1b[?1049h\x1b[?25l\x1b[0m\x1b[2J";
    ODConsoleWriteAll(fdODConsoleOut, enter, sizeof enter - 1);
    bODConsoleScreenTaken = 1;
    return 1;
}

static void ODConsoleCrashHandler(int signal_number)
{
    ODConsoleRestoreTerminal();
    for (int i = 0; i < OD_CRASH_SIGNAL_COUNT; i++) {
        if (aODCrashSignals[i] == signal_number) {
            /* Whoever handled it before (the default, a sanitizer) gets it:
             * a fault happens again on return, a raised signal is sent on. */
            sigaction(signal_number, &aODCrashPrevious[i], nullptr);
            if (signal_number == SIGABRT) raise(signal_number);
            return;
        }
    }
}

static void ODConsoleSetCrashHandlers(int on)
{
    if (on == bODCrashHandlersSet) return;
    for (int i = 0; i < OD_CRASH_SIGNAL_COUNT; i++) {
        if (on) {
            struct sigaction action;
            memset(&action, 0, sizeof action);
            action.sa_handler = ODConsoleCrashHandler;
            sigemptyset(&action.sa_mask);
            sigaction(aODCrashSignals[i], &action, &aODCrashPrevious[i]);
        } else {
            sigaction(aODCrashSignals[i], &aODCrashPrevious[i], nullptr);
        }
    }
    bODCrashHandlersSet = on;
}

static void ODConsoleTerminalSize(int *rows, int *columns)
{
    struct winsize size;
    *rows = 25;
    *columns = 80;
    if (ioctl(fdODConsoleOut, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
        *rows = size.ws_row;
        *columns = size.ws_col;
    }
}

static uint64_t ODConsoleNowMs(void)
{
    /* Display timing (how long a help text stays), not session time: real
     * time even when the kit runs on a virtual clock. */
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static void ODConsoleWake(void)
{
    int fd = afdODConsoleWake[1];
    if (fd < 0) return;
    char byte = 1;
    ssize_t n = write(fd, &byte, 1); /* full pipe: a wake is pending anyway */
    (void)n;
}

static void ODConsoleRepaintHook(void *argument)
{
    (void)argument;
    ODConsoleWake();
}

/* Reads what the terminal sent; 0 when it has gone. */
static int ODConsoleRead(uint8_t *buffer, size_t *length, size_t size)
{
    ssize_t n = read(fdODConsoleIn, buffer + *length, size - *length);
    if (n > 0) {
        *length += (size_t)n;
        return 1;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

/* ---- the name prompt of a local session ---- */

static void ODConsoleDrawPrompt(tODConsoleCanvas *shown, int *have_shown, const char *name, int selected,
                                char *buffer)
{
    tODConsoleCanvas canvas;
    int rows, columns;
    ODConsoleTerminalSize(&rows, &columns);
    if (rows > 25) rows = 25;
    if (columns > 80) columns = 80;
    canvas.nRows = rows;
    canvas.nColumns = columns;
    for (int r = 0; r < OD_CONSOLE_MAX_ROWS; r++)
        for (int c = 0; c < OD_CONSOLE_COLUMNS; c++) canvas.aCells[r][c] = 0x0720;
    int top = rows >= 9 ? (rows - 7) / 2 : 0, left = columns >= 60 ? (columns - 60) / 2 : 0;
    char title[48];
    snprintf(title, sizeof title, " %.40s ", od_control.program_name[0] ? od_control.program_name : "Door");
    const char *lines[7] = {nullptr, "", " Please enter your name:", nullptr, "",
                            " Enter: OK                                   Esc: Cancel", nullptr};
    char field[64];
    snprintf(field, sizeof field, " [%-35s]", name);
    lines[3] = field;
    for (int r = 0; r < 7 && top + r < rows; r++) {
        for (int c = 0; c < 60 && left + c < columns; c++) {
            uint8_t ch = ' ';
            if (r == 0 || r == 6) ch = c == 0 ? (r == 0 ? 0xC9 : 0xC8) : c == 59 ? (r == 0 ? 0xBB : 0xBC) : 0xCD;
            else if (c == 0 || c == 59) ch = 0xBA;
            canvas.aCells[top + r][left + c] = (uint16_t)(0x1F00 | ch);
        }
        const char *text = r == 0 ? title : lines[r];
        if (!text) continue;
        int start = r == 0 ? (60 - (int)strlen(text)) / 2 : 2;
        for (int i = 0; text[i] && start + i < 58 && left + start + i < columns; i++)
            canvas.aCells[top + r][left + start + i] = (uint16_t)(0x1F00 | (uint8_t)text[i]);
    }
    /* A proposal not yet touched is shown selected, as a dialog's edit box
     * shows it: the first key typed replaces it. */
    if (selected && top + 3 < rows)
        for (int i = 0; name[i] && left + 4 + i < columns; i++)
            canvas.aCells[top + 3][left + 4 + i] = (uint16_t)(0x7100 | (uint8_t)name[i]);
    canvas.nCursorRow = top + 3;
    canvas.nCursorColumn = left + 4 + (int)strlen(name);
    canvas.bCursorOn = canvas.nCursorRow < rows && canvas.nCursorColumn < columns;
    size_t length = ODConsoleRender(*have_shown ? shown : nullptr, &canvas, buffer, OD_CONSOLE_RENDER_MAX);
    ODConsoleWriteAll(fdODConsoleOut, buffer, length);
    *shown = canvas;
    *have_shown = 1;
}

/* 1 with the name typed, 0 cancelled (Escape, Ctrl-C, or the terminal
 * gone). The field starts with the proposal, selected, and holds 35
 * characters. */
static int ODConsolePromptName(char *name, size_t name_size)
{
    char text[36];
    snprintf(text, sizeof text, "%s", name);
    tODConsoleCanvas *shown = (tODConsoleCanvas *)malloc(sizeof *shown);
    char *buffer = (char *)malloc(OD_CONSOLE_RENDER_MAX);
    if (!shown || !buffer) {
        free(shown);
        free(buffer);
        return 1; /* no room to ask: the proposal stands */
    }
    int have_shown = 0;
    int selected = text[0] != '\0';
    uint8_t pending[64];
    size_t count = 0;
    int result = -1;
    ODConsoleDrawPrompt(shown, &have_shown, text, selected, buffer);
    while (result < 0) {
        struct pollfd p = {fdODConsoleIn, POLLIN, 0};
        int ready = poll(&p, 1, count ? 30 : 1000);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && !ODConsoleRead(pending, &count, sizeof pending)) break;
        int final = ready == 0;
        while (count > 0 && result < 0) {
            tODConsoleInput input;
            size_t used = ODConsoleDecode(pending, count, final, &input);
            if (used == 0) break;
            memmove(pending, pending + used, count - used);
            count -= used;
            uint8_t ch = (uint8_t)(input.wKey & 0xFF);
            size_t length = strlen(text);
            if (input.nCommand || (input.wKey >> 8)) {
                selected = 0; /* a cursor key keeps the proposal for editing */
                continue;
            }
            if (selected && ch == 8) { /* Backspace on the selection clears it */
                text[0] = '\0';
                selected = 0;
                continue;
            }
            if (selected && ch >= 32 && ch != 127) {
                text[0] = '\0';
                length = 0;
            }
            selected = 0;
            if (ch == 27 || ch == 3) {
                result = 0;
            } else if (ch == 13) {
                if (length > 0) result = 1;
                else ODPlatRingBell();
            } else if (ch == 8) {
                if (length > 0) text[length - 1] = '\0';
            } else if (ch >= 32 && ch != 127) {
                if (length < sizeof text - 1) {
                    text[length] = (char)ch;
                    text[length + 1] = '\0';
                }
            }
        }
        if (result < 0) ODConsoleDrawPrompt(shown, &have_shown, text, selected, buffer);
        /* Told to end (the BBS's SIGTERM) while asking: nobody is there. */
        if (bODConsoleStop.load() || ODKrnlSignalPending()) break;
    }
    free(shown);
    free(buffer);
    if (result != 1) return 0;
    snprintf(name, name_size, "%s", text);
    return 1;
}

/* ---- the display thread ---- */

typedef struct {
    tODConsoleCanvas shown;
    tODConsoleCanvas next;
    tODScrnSnapshot  snapshot;
    char             buffer[OD_CONSOLE_RENDER_MAX];
} tODConsoleWork;

static void ODConsoleThread(void *argument)
{
    (void)argument;
    tODConsoleWork *work = (tODConsoleWork *)calloc(1, sizeof *work);
    if (!work) return;
    int have_shown = 0;
    int have_picture = 0;
    uint8_t pending[128];
    size_t count = 0;
    int input_gone = 0;
    int confirm = kODConsoleNoCommand;
    const char *help = nullptr;
    uint64_t help_until = 0;
    for (;;) {
        struct pollfd fds[2];
        int n = 0;
        fds[n++] = {afdODConsoleWake[0], POLLIN, 0};
        if (!input_gone) fds[n++] = {fdODConsoleIn, POLLIN, 0};
        int ready = poll(fds, (nfds_t)n, count ? 30 : 250);
        if (bODConsoleStop.load()) break;
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(afdODConsoleWake[0], drain, sizeof drain) > 0) {
            }
        }
        if (!input_gone && n > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            /* A terminal that has gone is left alone; the session goes on
             * for the caller. */
            if (!ODConsoleRead(pending, &count, sizeof pending)) input_gone = 1;
        }
        int final = ready == 0 || input_gone;
        while (count > 0) {
            tODConsoleInput input;
            size_t used = ODConsoleDecode(pending, count, final, &input);
            if (used == 0) break;
            memmove(pending, pending + used, count - used);
            count -= used;
            if (confirm != kODConsoleNoCommand) {
                /* The frame's Yes/No: Yes carries the command out; any
                 * other answer leaves the session as it is. */
                if (!input.nCommand && (input.wKey == 'y' || input.wKey == 'Y')) ODConsolePostCommand(confirm);
                confirm = kODConsoleNoCommand;
                continue;
            }
            if (input.nCommand) {
                help = ODConsoleHelpText(input.nCommand);
                help_until = ODConsoleNowMs() + 3000;
                if (ODConsoleConfirmation(input.nCommand)) confirm = input.nCommand;
                else ODConsolePostCommand(input.nCommand);
            } else if (input.wKey) {
                help = nullptr;
                ODKrnlHandleLocalKey(input.wKey);
            }
        }

        tODKrnlUIState state;
        int have_state = ODKrnlGetUIState(&state);
        if (ODScrnReadDisplay(&work->snapshot) == 0) have_picture = 1;
        char message[sizeof szODConsoleMessage];
        ODMutexLock(hODConsoleMessageLock);
        memcpy(message, szODConsoleMessage, sizeof message);
        ODMutexUnlock(hODConsoleMessageLock);
        char question[200];
        const char *line = nullptr;
        if (message[0]) {
            line = message;
        } else if (confirm != kODConsoleNoCommand) {
            snprintf(question, sizeof question, "%s (Y/N)", ODConsoleConfirmation(confirm));
            line = question;
        } else if (help && ODConsoleNowMs() < help_until) {
            line = help;
        }
        int rows, columns;
        ODConsoleTerminalSize(&rows, &columns);
        ODConsoleCompose(&work->next, rows, columns, have_picture ? work->snapshot.cells : nullptr,
                         work->snapshot.cursor_row, work->snapshot.cursor_column,
                         have_picture && work->snapshot.caret_on, have_state ? &state : nullptr, line);
        if (have_shown && memcmp(&work->shown, &work->next, sizeof work->next) == 0) continue;
        size_t length = ODConsoleRender(have_shown ? &work->shown : nullptr, &work->next, work->buffer,
                                        sizeof work->buffer);
        ODConsoleWriteAll(fdODConsoleOut, work->buffer, length);
        work->shown = work->next;
        have_shown = 1;
    }
    free(work);
}

static void ODConsoleStateChangedHook(void)
{
    ODConsoleWake();
}

/* ---- start and stop ---- */

/* A program that returns from main without od_exit (a test, a door that
 * ends its own way) still gets its terminal back. */
static void ODConsoleAtExit(void)
{
    bODConsoleStop.store(1);
    ODConsoleWake();
    ODConsoleRestoreTerminal();
}

static void ODConsoleRelease(void)
{
    ODConsoleSetCrashHandlers(0);
    ODConsoleRestoreTerminal();
    for (int &fd : afdODConsoleWake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    if (hODConsoleMessageLock) ODMutexDestroy(hODConsoleMessageLock);
    hODConsoleMessageLock = nullptr;
}

int ODConsoleStart(int prompt_for_name, char *name, size_t name_size)
{
    if (bODConsoleActive) return OD_CONSOLE_STARTED;
    if (od_control.silent_mode) return OD_CONSOLE_NONE;
    /* With the caller on our standard I/O the terminal is the caller's
     * line: there is no local console to draw. */
    if (od_control.remote_bps != 0 && od_control.com_method == ODCOM_METHOD_STDIO) return OD_CONSOLE_NONE;
    /* Only a terminal we have to ourselves: both ends of standard I/O on
     * it, and our process group in its foreground (a door a BBS started
     * from its own terminal in the background must not draw over it). */
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return OD_CONSOLE_NONE;
    if (tcgetpgrp(STDIN_FILENO) != getpgrp()) return OD_CONSOLE_NONE;
    fdODConsoleIn = STDIN_FILENO;
    fdODConsoleOut = STDOUT_FILENO;

    if (pipe(afdODConsoleWake) != 0) return OD_CONSOLE_FAILED;
    for (int fd : afdODConsoleWake) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (ODMutexInitialize(&hODConsoleMessageLock) != ODPLAT_OK) {
        ODConsoleRelease();
        return OD_CONSOLE_FAILED;
    }
    szODConsoleMessage[0] = '\0';
    if (!ODConsoleTakeTerminal()) {
        ODConsoleRelease();
        return OD_CONSOLE_NONE;
    }
    ODConsoleSetCrashHandlers(1);
    static int bAtExitRegistered = 0;
    if (!bAtExitRegistered) bAtExitRegistered = atexit(ODConsoleAtExit) == 0;
    if (prompt_for_name && name && name_size > 0 && !ODConsolePromptName(name, name_size)) {
        ODConsoleRelease();
        return OD_CONSOLE_CANCELLED;
    }
    bODConsoleStop.store(0);
    ODScrnSetRepaintHook(ODConsoleRepaintHook, nullptr);
    ODKrnlSetStateChangedHook(ODConsoleStateChangedHook);
    if (ODThreadCreate(&hODConsoleThread, ODConsoleThread, nullptr) != ODPLAT_OK) {
        ODScrnSetRepaintHook(nullptr, nullptr);
        ODKrnlSetStateChangedHook(nullptr);
        ODConsoleRelease();
        return OD_CONSOLE_FAILED;
    }
    bODConsoleActive = 1;
    return OD_CONSOLE_STARTED;
}

void ODConsoleShutdown(void)
{
    if (!bODConsoleActive) return;
    ODScrnSetRepaintHook(nullptr, nullptr);
    ODKrnlSetStateChangedHook(nullptr);
    bODConsoleStop.store(1);
    ODConsoleWake();
    ODThreadWaitForExit(hODConsoleThread);
    hODConsoleThread = nullptr;
    ODConsoleRelease();
    bODConsoleActive = 0;
}

/* The console's thread is always waited for. */
int ODConsoleLingers(void)
{
    return 0;
}

void ODConsoleShowMessage(const char *text)
{
    if (!bODConsoleActive || !text) return;
    ODMutexLock(hODConsoleMessageLock);
    snprintf(szODConsoleMessage, sizeof szODConsoleMessage, "%s", text);
    ODMutexUnlock(hODConsoleMessageLock);
    ODConsoleWake();
}

void ODConsoleRemoveMessage(void)
{
    if (!bODConsoleActive) return;
    ODMutexLock(hODConsoleMessageLock);
    szODConsoleMessage[0] = '\0';
    ODMutexUnlock(hODConsoleMessageLock);
    ODConsoleWake();
}

int ODConsoleActive(void)
{
    return bODConsoleActive;
}
