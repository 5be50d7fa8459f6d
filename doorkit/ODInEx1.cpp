/* ODInEx1.cpp -- session start-up and exit: od_init turns a fresh door
 * process into a running session (drop file, connection, screens, kernel,
 * local display) and od_exit ends it in the order a BBS expects (write-back,
 * hang-up or hand-back, tear-down, error level). */
#include "doorkit.h"
#include "ODCmdLn.h"
#include "ODCom.h"
#include "ODConsole.h"
#include "ODCore.h"
#include "ODInEx.h"
#include "ODInEx2.h"
#include "ODInQue.h"
#include "ODKrnl.h"
#include "ODPlat.h"
#include "ODScrn.h"
#include "ODSync.h"
#include "ODUtil.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

ODControl od_control;

int      eODLifecycleState = OD_STATE_NOT_STARTED;
int      bODInitialized = 0;
int      bODExitRequestedDuringInitialization = 0;
int32_t  nODPendingExitErrorLevel = 0;
int      bODPendingExitTermCall = 0;
int      bODExitPrologueComplete = 0;
uint8_t  btExitReason = 0;

int64_t  nStartupUnixTime = 0;
int32_t  nInitialRemaining = 0;
uint32_t dwFileBPS = 0;
char     szOriginalDir[1024] = "";
int      bPromptForUserName = 0;
char     szWindowsStartupUserName[36] = "";
int      bWindowsStartupCancelled = 0;

int      bODSessionStopping = 0;
int32_t  nODStopErrorLevel = 0;
int      bODStopTermCall = 0;

static int      bODExitRunning = 0;
static int      bODStdioRequested = 0; /* -STDIO, or com_method 6 set before start-up */
static uint64_t qwODStopDeadline = 0;
static uint32_t dwODSessionBPS = 0;  /* the speed the session ran at */
static uint32_t dwODPresetBPS = 1;   /* 1: none */
static uint32_t dwODPresetPortNumber = OD_NO_PRESET_PORT;

#define OD_TEXT_NOMEMORY   "Insufficient memory available to start up program."
#define OD_TEXT_NODROPFILE "Unable to read door information (drop) file."

static const char *const apszODColorNames[12] = {
    "BLACK", "BLUE", "GREEN", "CYAN", "RED", "MAGENTA", "YELLOW", "WHITE", "BROWN", "GREY", "BRIGHT", "FLASHING",
};

/* ---- ending the process and fatal messages ---- */

[[noreturn]] static void ODDefaultProcessExit(int exit_code)
{
    fflush(stdout);
    fflush(stderr);
    _Exit(exit_code);
}

tODProcessExitFunc pfODProcessExit = ODDefaultProcessExit;

void ODProcessExit(int exit_code)
{
    /* Whatever way the process ends, the sysop's terminal is given back. */
    ODConsoleRestoreTerminal();
    pfODProcessExit(exit_code);
    ODDefaultProcessExit(exit_code);
}

tODShowFatalFunc pfODShowFatalError = ODInExShowFatalError;

/* Shows a start-up message as the fatal error box does, without ending. */
static void ODInExShowMessage(const char *message)
{
    static const char szHint[] = "\nUse the -HELP command line option for help, or -LOCAL for local mode.";
    char title[sizeof od_control.program_name + 1];
    memcpy(title, od_control.program_name, sizeof od_control.program_name);
    title[sizeof od_control.program_name] = '\0';
    if (!message) message = "";
    ODConsoleRestoreTerminal();
    /* A sysop who started the door by hand learns where help is; without
     * room for that, the bare message still goes out. */
    char *text = nullptr;
    if (bParsedCmdLine) {
        size_t size = strlen(message) + sizeof szHint;
        text = (char *)malloc(size);
        if (text) snprintf(text, size, "%s%s", message, szHint);
    }
    pfODShowFatalError(title, text ? text : message);
    free(text);
}

void ODInitError(const char *message)
{
    ODInExShowMessage(message);
    ODProcessExit(0);
}

ODControl *od_control_get(void)
{
    if (eODLifecycleState > OD_STATE_RUNNING) {
        od_control.last_error = ODERR_GENERALFAIL;
        return nullptr;
    }
    return &od_control;
}

/* ---- start-up ---- */

/* A node number from the environment: decimal, at most 65535; anything
 * else (too long, not a number) counts as unset. */
static int ODInExEnvNode(const char *name, uint16_t *node)
{
    const char *value = getenv(name);
    if (!value) return 0;
    size_t length = strnlen(value, 16);
    if (length == 0 || length >= 16) return 0;
    uint32_t number = 0;
    size_t i = 0;
    while (value[i] == ' ') i++;
    size_t digits = 0;
    for (; value[i] >= '0' && value[i] <= '9'; i++, digits++) {
        number = number * 10 + (uint32_t)(value[i] - '0');
        if (number > 65535) return 0;
    }
    while (value[i] == ' ' || value[i] == '\r' || value[i] == '\n') i++;
    if (digits == 0 || value[i] != '\0') return 0;
    *node = (uint16_t)number;
    return 1;
}

static void ODInExDefaults(void)
{
    if (!od_control.chat_colours[0]) od_control.chat_colours[0] = 12;
    if (!od_control.chat_colours[1]) od_control.chat_colours[1] = 15;
    od_control.always_clear_screen = 1;
    if (!od_control.color_delimiter) od_control.color_delimiter = '`';
    od_control.current_attribute = -1;
    od_control.inactivity_seconds = 200;
    od_control.inactivity_warning_seconds = 10;
    /* The record is packed: the texts are copied out and back, never bound
     * by reference. */
    ODTexts t;
    memcpy(&t, &od_control.texts, sizeof t);
    if (!t.chat_ended) t.chat_ended = "\r\nChat mode ended.\r\n\r\n";
    if (!t.chat_started)
        t.chat_started = "\r\nThe system operator has placed you in chat mode to talk with you:\r\n\r\n";
    if (!t.hangup_message) t.hangup_message = "Ending call...";
    if (!t.exit_message) t.exit_message = "Program is exiting...";
    if (!t.inactivity_end) t.inactivity_end = "\r\nMaximum user inactivity time has elapsed, please call again.\r\n\r\n";
    if (!t.inactivity_warning)
        t.inactivity_warning = "\r\nWARNING: Inactivity timeout in 10 seconds, press a key now to remain online.\r\n\r\n";
    if (!t.time_used_up) t.time_used_up = "\r\nSorry, you have used up all of your time for this session.\r\n\r\n";
    if (!t.time_warning) t.time_warning = "\r\nWARNING: You only have %d minute(s) remaining for this session.\r\n\r\n";
    memcpy(&od_control.texts, &t, sizeof t);
    if (!od_control.modem_exit_command[0])
        ODStringCopy(od_control.modem_exit_command, "~+++~  AT&D0|  ATO|", sizeof od_control.modem_exit_command);
}

/* The caller is on this process's standard input and output: -STDIO (or a
 * program that chose method 6 before start-up), or a drop file that says
 * so (DOOR.SYS "COM0:STDIO"). */
static int ODInExStdioSession(void)
{
    return bODStdioRequested || bODDropFileStdio;
}

static uint8_t ODInExFIFOSetting(void)
{
    if (od_control.no_fifo) return 0;
    switch (od_control.fifo_trigger) {
    case 1: return 0x01;
    case 8: return 0x81;
    case 14: return 0xC1;
    default: return 0x41; /* 4 bytes, also for values the UART has not */
    }
}

/* Opens the caller's connection; every failure ends the process with the
 * message for it. */
static void ODInExOpenConnection(void)
{
    tPortHandle port = nullptr;
    int rc = ODComAlloc(&port);
    if (rc == ODCOM_NOMEM) ODInitError(OD_TEXT_NOMEMORY);
    if (rc != ODCOM_OK) ODInitError("Unable to access serial port, cannot continue.\n");

    if (ODInExStdioSession()) {
        ODComSetPreferredMethod(port, ODCOM_METHOD_STDIO);
        if (ODComOpen(port) != ODCOM_OK) {
            ODComFree(port);
            ODInitError("Unable to access serial port, cannot continue.\n");
        }
    } else if (od_control.open_handle != 0) {
        if (od_control.handle_is_socket)
            ODComSetPreferredMethod(port, (bTelnetSocket || bODComTelnetSocket) ? ODCOM_METHOD_TELNET
                                                                                 : ODCOM_METHOD_SOCKET);
        else if (bBBSDevSession && nBBSDevComMethod)
            ODComSetPreferredMethod(port, nBBSDevComMethod);
        if (ODComOpenFromExistingHandle(port, od_control.open_handle) != ODCOM_OK) {
            ODComFree(port);
            ODInitError("Unable to use provided serial port handle.");
        }
    } else {
        if (od_control.com_flow_control == 1) ODComSetFlowControl(port, 2);
        else if (od_control.com_flow_control == 2) ODComSetFlowControl(port, 0);
        uint32_t number = dwODPresetPortNumber != OD_NO_PRESET_PORT ? dwODPresetPortNumber : od_control.com_port;
        if (number > 255) {
            ODComFree(port);
            ODInitError("Serial port address is unknown, cannot continue.");
        }
        ODComSetPort(port, (uint8_t)number);
        if (od_control.port_address) ODComSetPortAddress(port, od_control.port_address);
        if (od_control.port_irq >= 1 && od_control.port_irq <= 14) ODComSetIRQ(port, od_control.port_irq);
        ODComSetSpeed(port, od_control.remote_bps);
        ODComSetRXBuf(port, od_control.rx_buffer_size ? od_control.rx_buffer_size : 256);
        ODComSetTXBuf(port, od_control.tx_buffer_size ? od_control.tx_buffer_size : 3072);
        ODComSetFIFO(port, ODInExFIFOSetting());
        /* no_fossil asks for an access method of DOS serial drivers; the
         * transports here have none, so it changes nothing. */
        if (ODComOpen(port) != ODCOM_OK) {
            ODComFree(port);
            ODInitError("Unable to access serial port, cannot continue.\n");
        }
    }
    ODComSetDTR(port, 1);
    int method = 0;
    ODComGetMethod(port, &method);
    if (method < 1 || method > 6) {
        ODComClose(port);
        ODComFree(port);
        ODInitError("No method of accessing serial port, cannot continue.\n");
    }
    od_control.com_method = (uint8_t)method;
    hSerialPort = port;
}

/* The kernel, the screens, the line and the queue, in that order. A frame
 * thread left running may still lock the kernel, paint from the screens
 * and queue a key until the process ends: then those stay, and only the
 * collected output goes and the line is handed back. */
static void ODInExReleaseSession(void)
{
    int lingering = ODConsoleLingers();
    ODKrnlSignalSetWake(-1);
    if (lingering) {
        ODCoreDetach();
    } else {
        ODKrnlShutdown();
        ODSessionScreenShutdown();
        ODScrnShutdown();
    }
    if (hSerialPort) {
        ODComClose(hSerialPort);
        ODComFree(hSerialPort);
        hSerialPort = nullptr;
    }
    if (hODInputQueue && !lingering) {
        ODInQueueFree(hODInputQueue);
        hODInputQueue = nullptr;
    }
}

/* Undoes start-up after a soft failure (kernel, local display): the state
 * stays 1 with bODInitialized 0, so the next public call tries again. */
static void ODInExUndoStartup(const char *message)
{
    ODInExReleaseSession();
    od_control.last_error = ODERR_GENERALFAIL;
    bODInitialized = 0;
    ODInExShowMessage(message);
}

/* What one start-up learns early and uses later. */
typedef struct {
    int      local;                   /* the caller sits at this machine */
    uint64_t command_line_handle;     /* a handle the command line gave ... */
    uint32_t command_line_is_socket;  /* ... survives a drop file that names none */
} tODStartup;

/* The synchronisation, the clock and the colour words; fails (softly) only
 * when the API counter cannot be set up. */
static int ODInExBegin(void)
{
    bTelnetSocket = 0;
    bBBSDevSession = 0;
    bBBSDevDeadlineSet = 0;
    if (!ODSyncSessionInitialize()) {
        od_control.last_error = ODERR_GENERALFAIL;
        ODInExShowMessage("Unable to initialize door kit synchronization.");
        return 0;
    }
    bODInitialized = 1;
    eODLifecycleState = OD_STATE_STARTING;
    ODPlatInit();
    ODSessionTimeInitialize();
    ODKrnlSignalInstall();
    pfODSyncCallRefused = ODInExStopCheck;
    for (int i = 0; i < 12; i++)
        if (!od_control.color_names[i][0])
            ODStringCopy(od_control.color_names[i], apszODColorNames[i], sizeof od_control.color_names[i]);
    /* Exit counts the caller's minutes from here. */
    nStartupUnixTime = ODPlatWallSeconds();
    return 1;
}

/* What the command line (or the program) set before start-up, before the
 * drop file overwrites it. */
static void ODInExRememberPresets(tODStartup *startup)
{
    dwODPresetBPS = od_control.remote_bps ? od_control.remote_bps : 1;
    dwODPresetPortNumber = OD_NO_PRESET_PORT;
    if (wPreSetInfo & OD_PRESET_PORT) dwODPresetPortNumber = dwODPresetPort;
    else if (od_control.com_port != 0 && od_control.com_port != 65535) dwODPresetPortNumber = od_control.com_port;
    bODStdioRequested = bODUseStdio || od_control.com_method == ODCOM_METHOD_STDIO;
    startup->command_line_handle = od_control.open_handle;
    startup->command_line_is_socket = od_control.handle_is_socket;
}

/* The BBS's environment names the node first. */
static void ODInExChooseNode(void)
{
    uint16_t node;
    if (ODInExEnvNode("TASK", &node) || ODInExEnvNode("SBBSNNUM", &node)) od_control.node = node;
    if (od_control.node == 0) od_control.node = 1;
}

/* What the drop file may not say. */
static void ODInExResetCallerTerminal(void)
{
    od_control.caller_avatar = 0;
    od_control.caller_rip = 0;
    od_control.caller_flags = 6;
    if (!od_control.caller_screen_length) od_control.caller_screen_length = 23;
    if (!od_control.caller_screen_width) od_control.caller_screen_width = 80;
}

/* Every key, the caller's or the sysop's, goes through this queue. */
static void ODInExCreateInputQueue(void)
{
    if (!hODInputQueue) {
        int capacity = od_control.input_queue_size ? od_control.input_queue_size : ODINQ_DEFAULT_SIZE;
        if (ODInQueueAlloc(&hODInputQueue, capacity) != ODINQ_OK) ODInitError(OD_TEXT_NOMEMORY);
    }
    ODKrnlSignalSetWake(ODInQueueGetWakeHandle(hODInputQueue));
    od_control.remote_keyboard_enabled = 1;
}

/* Without a drop file the command line, or the program itself, must say
 * how the caller is connected; 1 when the session is local. */
static int ODInExLocalWithoutDropFile(void)
{
    /* The BBS put the caller on our standard I/O. */
    if (ODInExStdioSession()) return 0;
    /* Speed and port from the command line. */
    if ((wPreSetInfo & (OD_PRESET_BPS | OD_PRESET_PORT)) == (OD_PRESET_BPS | OD_PRESET_PORT)) return 0;
    /* A connection handed over without a drop file (-SOCKET or -HANDLE):
     * the handle is the port. */
    if (od_control.open_handle != 0) {
        if (!od_control.remote_bps) od_control.remote_bps = 38400;
        return 0;
    }
    /* A program that set the session up itself instead of passing a
     * command line: a speed it set makes the session remote on the port,
     * library or handle it chose; without one the session is local. */
    if (!bParsedCmdLine) return od_control.remote_bps == 0;
    ODInitError(OD_TEXT_NODROPFILE);
}

/* Who is calling, and on what line: a BBSDev file, -LOCAL, a drop file, or
 * what the command line says without one. 1 when the session is local;
 * what cannot start ends the process with its message. */
static int ODInExFindCaller(const tODStartup *startup)
{
    const char *bbsdev = getenv("BBSDEV_DRP");
    if (bbsdev && bbsdev[0]) {
        if (strnlen(bbsdev, ODDROP_PATH_SIZE) >= ODDROP_PATH_SIZE || !ODInitReadBBSDevDropFile(bbsdev))
            ODInitError(ODDROP_TEXT_BBSDEV);
        pszODComUserID = pszBBSDevUserID;
        return od_control.force_local != 0;
    }
    if (od_control.force_local) {
        od_control.drop_file_kind = OD_DROP_NONE;
        return 1;
    }

    int local = 0;
    int rc = ODDropFileRead();
    if (rc == ODDROP_NOMEM) ODInitError(OD_TEXT_NOMEMORY);
    if (rc == ODDROP_NONE) {
        od_control.drop_file_kind = OD_DROP_NONE;
        local = ODInExLocalWithoutDropFile();
        /* As for a local session: without a command line nothing has
         * given the caller any time. */
        if (!bParsedCmdLine && od_control.caller_time_left == 0) od_control.caller_time_left = 60;
    } else {
        if (od_control.open_handle == 0 && startup->command_line_handle != 0) {
            od_control.open_handle = startup->command_line_handle;
            od_control.handle_is_socket = startup->command_line_is_socket;
        }
        if (rc == ODDROP_BADHANDLE && od_control.open_handle == 0 && !ODInExStdioSession())
            ODInitError(ODDROP_TEXT_BAD_HANDLE);
    }

    if (ODInExStdioSession()) {
        /* Standard I/O is the caller's line whatever the drop file says of
         * ports, handles or a local session (DOOR32.SYS comm type 0 from a
         * BBS that runs doors on a pseudo-terminal). */
        od_control.force_local = 0;
        od_control.open_handle = 0;
        od_control.handle_is_socket = 0;
        if (!od_control.remote_bps) od_control.remote_bps = od_control.connect_bps ? od_control.connect_bps : 38400;
        return 0;
    }
    if (od_control.force_local) {
        /* A drop file that says the caller is local (DOOR32.SYS comm type
         * 0 without -STDIO): a local session with its caller. */
        od_control.remote_bps = 0;
        return 1;
    }
    return local;
}

static void ODInExSetUpLocalSession(void)
{
    od_control.remote_bps = 0;
    if (!bParsedCmdLine && od_control.drop_file_kind == OD_DROP_NONE) {
        od_control.caller_ansi = 1;
        od_control.caller_time_left = 60;
    }
    /* A location the sysop gave with -LOCATION is kept. */
    if (!od_control.caller_location[0]) {
        if (od_control.system_name[0])
            ODStringCopy(od_control.caller_location, od_control.system_name, sizeof od_control.caller_location);
        else
            ODStringCopy(od_control.caller_location, "Unknown Location", sizeof od_control.caller_location);
    }
}

/* The door's own cap on the caller's minutes; the rest is given back at
 * exit. */
static void ODInExCapCallerTime(void)
{
    nInitialRemaining = (int16_t)od_control.caller_time_left;
    od_control.time_withheld = 0;
    if (od_control.max_time >= 1 && od_control.max_time <= 1440 &&
        (int16_t)od_control.caller_time_left > (int)od_control.max_time) {
        od_control.time_withheld = (uint16_t)((int16_t)od_control.caller_time_left - od_control.max_time);
        od_control.caller_time_left = od_control.max_time;
    }
}

/* A local caller without a name is the sysop until the local display asks
 * for one. */
static void ODInExNameSysopAndCaller(int local)
{
    if (!od_control.sysop_name[0]) ODStringCopy(od_control.sysop_name, "Sysop", sizeof od_control.sysop_name);
    bPromptForUserName = 0;
    if (local && !od_control.caller_name[0]) {
        bPromptForUserName = 1;
        ODStringCopy(od_control.caller_name, od_control.sysop_name, sizeof od_control.caller_name);
    }
}

/* A speed on the command line is the session's; the drop file's goes back
 * into it at exit. */
static void ODInExChooseSpeed(void)
{
    dwFileBPS = od_control.remote_bps;
    if (dwODPresetBPS != 1 && od_control.remote_bps != 0 && !ODInExStdioSession())
        od_control.remote_bps = dwODPresetBPS;
    dwODSessionBPS = od_control.remote_bps;
}

/* The local picture, the caller's screen model and the kernel; a kernel
 * that does not start undoes start-up (softly). */
static int ODInExStartScreensAndKernel(void)
{
    if (ODScrnInitialize() != ODSCRN_OK) {
        od_control.last_error = ODERR_GENERALFAIL;
        ODInitError("Unable to initialize the door kit local display.");
    }
    if (od_control.remote_bps != 0) ODSessionScreenInitialize(80, 25);
    if (od_control.caller_rip) od_clr_scr();
    if (!ODKrnlInitialize()) {
        ODInExUndoStartup("Unable to start the door kit kernel.");
        return 0;
    }
    return 1;
}

/* A BBS deadline: whole minutes, the last one ending at the deadline. */
static void ODInExApplyBBSDevDeadline(void)
{
    if (!bBBSDevSession) return;
    if (!bBBSDevDeadlineSet) {
        od_control.disable_flags |= OD_DISABLE_TIME_LIMIT;
        return;
    }
    int64_t seconds = nBBSDevDeadline - ODPlatWallSeconds();
    int64_t minutes = seconds <= 0 ? 0 : (seconds + 59) / 60;
    if (minutes > 32767) minutes = 32767;
    od_control.caller_time_left = (uint16_t)minutes;
    nInitialRemaining = (int32_t)minutes;
    if (minutes > 0) ODKrnlSetNextDeduction(seconds - (minutes - 1) * 60);
    od_control.disable_flags &= (uint16_t)~OD_DISABLE_TIME_LIMIT;
}

static void ODInExNoteConnectSpeedAndName(void)
{
    if (!od_control.connect_bps) od_control.connect_bps = od_control.remote_bps;
    ODStringCopy(szWindowsStartupUserName, od_control.caller_name, sizeof szWindowsStartupUserName);
    bWindowsStartupCancelled = 0;
}

/* The snapshot the local display reads, then the display itself; a sysop
 * who cancels its name prompt ends the process. */
static int ODInExStartLocalDisplay(void)
{
    if (!ODKrnlRefreshUIState()) {
        ODInExUndoStartup("Unable to initialize the door kit local window state.");
        return 0;
    }
    /* Silent: no window and no console, for BBSes that run doors without
     * a desktop. Whether there is a display to start is the display's own
     * question (the Linux console needs a terminal that is not the
     * caller's line; the Windows frame needs nothing). */
    if (od_control.silent_mode) return 1;
    int rc = ODConsoleStart(bPromptForUserName, szWindowsStartupUserName, sizeof szWindowsStartupUserName);
    if (rc == OD_CONSOLE_CANCELLED) {
        bWindowsStartupCancelled = 1;
        ODKrnlShutdown();
        ODProcessExit(0);
    }
    if (rc == OD_CONSOLE_FAILED) {
        ODInExUndoStartup("Unable to start the door kit local window.");
        return 0;
    }
    if (rc == OD_CONSOLE_STARTED && bPromptForUserName) {
        ODStringCopy(od_control.caller_name, szWindowsStartupUserName, sizeof od_control.caller_name);
        ODStringCopy(od_control.caller_handle, szWindowsStartupUserName, sizeof od_control.caller_handle);
    }
    return 1;
}

/* Running; an od_exit asked for before now is carried out now. */
static void ODInExEnterRunning(void)
{
    eODLifecycleState = OD_STATE_RUNNING;
    ODKrnlRefreshUIState();
    if (bODExitRequestedDuringInitialization) {
        bODExitRequestedDuringInitialization = 0;
        od_exit(nODPendingExitErrorLevel, bODPendingExitTermCall);
    }
}

/* The start-up sequence. Fatal errors end the process inside their step
 * (ODInitError); a step that returns 0 failed softly and has left the state
 * at "starting" with bODInitialized 0, so the next public call tries again. */
void od_init(void)
{
    if (eODLifecycleState > OD_STATE_RUNNING) {
        od_control.last_error = ODERR_GENERALFAIL;
        return;
    }
    if (bODInitialized) return;

    tODStartup startup = {};
    if (!ODInExBegin()) return;
    ODInExRememberPresets(&startup);
    ODInExChooseNode();
    ODInExResetCallerTerminal();
    ODInExCreateInputQueue();
    startup.local = ODInExFindCaller(&startup);
    if (startup.local) ODInExSetUpLocalSession();
    ODInExDefaults();
    ODInExCapCallerTime();
    ODInExNameSysopAndCaller(startup.local);
    ODInExChooseSpeed();
    if (od_control.remote_bps != 0 && !hSerialPort) ODInExOpenConnection();
    if (!ODInExStartScreensAndKernel()) return;
    ODInExApplyBBSDevDeadline();
    ODInExNoteConnectSpeedAndName();
    if (!ODInExStartLocalDisplay()) return;
    ODInExEnterRunning();
}

/* ---- start-up without a caller, for --explain-dropfile ---- */

static jmp_buf sODUnderstandExit;
static char   *pszODUnderstandFatal;
static size_t  nODUnderstandFatal;

static void ODInExUnderstandFatal(const char *, const char *text)
{
    /* The message alone, without the hint about -HELP. */
    size_t n = strcspn(text, "\n");
    if (n >= nODUnderstandFatal) n = nODUnderstandFatal - 1;
    memcpy(pszODUnderstandFatal, text, n);
    pszODUnderstandFatal[n] = '\0';
}

static void ODInExUnderstandExit(int)
{
    longjmp(sODUnderstandExit, 1);
}

int ODInExUnderstand(char *fatal, size_t fatal_size)
{
    if (!fatal || fatal_size == 0) return 0;
    fatal[0] = '\0';
    pszODUnderstandFatal = fatal;
    nODUnderstandFatal = fatal_size;
    tODShowFatalFunc show = pfODShowFatalError;
    tODProcessExitFunc leave = pfODProcessExit;
    pfODShowFatalError = ODInExUnderstandFatal;
    pfODProcessExit = ODInExUnderstandExit;
    volatile int understood = 0;
    if (setjmp(sODUnderstandExit) == 0) {
        /* The steps of od_init up to the connection, no further. */
        tODStartup startup = {};
        bTelnetSocket = 0;
        bBBSDevSession = 0;
        bBBSDevDeadlineSet = 0;
        ODInExRememberPresets(&startup);
        ODInExChooseNode();
        ODInExResetCallerTerminal();
        startup.local = ODInExFindCaller(&startup);
        if (startup.local) ODInExSetUpLocalSession();
        ODInExDefaults();
        ODInExCapCallerTime();
        ODInExNameSysopAndCaller(startup.local);
        ODInExChooseSpeed();
        understood = 1;
    }
    pfODShowFatalError = show;
    pfODProcessExit = leave;
    return understood;
}

/* ---- the kernel's stop ---- */

void ODInExStopSession(int error_level, int term_call)
{
    if (eODLifecycleState != OD_STATE_RUNNING || bODSessionStopping) return;
    bODSessionStopping = 1;
    nODStopErrorLevel = error_level;
    bODStopTermCall = term_call;
    qwODStopDeadline = ODPlatTickMs() + OD_STOP_GRACE_MS;
    /* What the kernel just told the caller goes out now, not at exit. */
    ODCoreFlushOutput();
    eODLifecycleState = OD_STATE_STOPPING;
    ODKrnlRefreshUIState();
}

void ODInExStopCheck(void)
{
    if (eODLifecycleState != OD_STATE_STOPPING || bODExitRunning) return;
    if (ODPlatTickMs() < qwODStopDeadline) return;
    od_exit(nODStopErrorLevel, bODStopTermCall);
}

/* ---- exit ---- */

/* Waits with the API level released (the local display keeps being served)
 * for the line to drop after DTR went low; at most 5 seconds. */
static void ODInExWaitCarrierGone(void)
{
    uint64_t start = ODPlatTickMs();
    for (;;) {
        int carrier = 0;
        if (ODComCarrier(hSerialPort, &carrier) != ODCOM_OK || !carrier) return;
        if (ODPlatTickMs() - start >= 5000) return;
        od_sleep(10);
    }
}

/* The caller's last words at time-up and inactivity stand this long once
 * they have left, before the BBS takes the line back and clears the screen:
 * long enough to read why the visit ended. */
#define OD_LAST_WORDS_MS 2000

static int ODInExHasLastWords(void)
{
    return bODSessionStopping && (nODStopErrorLevel == OD_REASON_TIME - 1 ||
                                  nODStopErrorLevel == OD_REASON_INACTIVITY - 1);
}

/* Drains the output, then holds while the caller is still there; a caller
 * who hangs up (or a BBS that signals the door) ends the hold at once. */
static void ODInExHoldLastWords(void)
{
    ODWaitDrain(10000);
    uint64_t start = ODPlatTickMs();
    while (ODPlatTickMs() - start < OD_LAST_WORDS_MS) {
        if (ODKrnlCallerGone()) return;
        uint64_t left = OD_LAST_WORDS_MS - (ODPlatTickMs() - start);
        ODPlatSleepMs(left < OD_WAIT_SLICE_MS ? (uint32_t)left : OD_WAIT_SLICE_MS);
    }
}

void od_exit(int error_level, int term_call)
{
    if (eODLifecycleState == OD_STATE_ENDED) {
        od_control.last_error = ODERR_GENERALFAIL;
        return;
    }
    if (bODExitRunning) return;

    /* Before start-up: carried out when start-up completes. */
    if (!bODInitialized) {
        bODExitRequestedDuringInitialization = 1;
        nODPendingExitErrorLevel = error_level;
        bODPendingExitTermCall = term_call;
        od_init();
        return;
    }
    bODExitRunning = 1;

    /* The kernel ended the session: its reason is the error level the BBS
     * gets, whatever the game's exit steps then passed. */
    if (bODSessionStopping) {
        error_level = nODStopErrorLevel;
        term_call = bODStopTermCall;
    } else if (eODLifecycleState == OD_STATE_RUNNING && ODKrnlCallerGone()) {
        /* The game saw the caller gone (od_carrier) before the kernel did;
         * the BBS still learns that the carrier was lost. */
        btExitReason = OD_REASON_CARRIER - 1;
        error_level = OD_REASON_CARRIER - 1;
        term_call = 0;
    }

    ODSyncAPIEntry();
    ODCoreFlushOutput();
    /* Once only: the withheld minutes go back, the minutes used today are
     * corrected for the sysop's changes (the BBS counts the call's own),
     * and the drop file's speed is put back. */
    if (!bODExitPrologueComplete) {
        od_control.caller_time_left = (uint16_t)((int16_t)od_control.caller_time_left + od_control.time_withheld);
        od_control.time_withheld = 0;
        int64_t now = ODPlatWallSeconds();
        if (nStartupUnixTime > 0 && now >= nStartupUnixTime) {
            int32_t elapsed = (int32_t)((now - nStartupUnixTime) / 60);
            od_control.caller_minutes_used =
                (uint16_t)(nInitialRemaining + od_control.caller_minutes_used -
                           (int16_t)od_control.caller_time_left - elapsed);
        }
        od_control.remote_bps = dwFileBPS;
        nODPendingExitErrorLevel = error_level;
        bODPendingExitTermCall = term_call;
        bODExitPrologueComplete = 1;
    }

    eODLifecycleState = OD_STATE_EXITING;
    ODKrnlRefreshUIState();
    ODConsoleShowMessage(bODPendingExitTermCall ? od_control.texts.hangup_message : od_control.texts.exit_message);

    /* Back where start-up found the process, should it have moved. */
    if (szOriginalDir[0]) ODDirChangeCurrent(szOriginalDir);

    /* A failed write-back leaves its error code and the exit goes on. */
    ODDropFileWriteBack(nInitialRemaining, nStartupUnixTime);
    ODDropFileRelease();

    if (hSerialPort) {
        /* The line is hung up or handed back at the speed it ran at, even
         * when the drop file gave none (a command-line speed). */
        uint32_t file_bps = od_control.remote_bps;
        if (!od_control.remote_bps) od_control.remote_bps = dwODSessionBPS ? dwODSessionBPS : 1;
        if (ODInExHasLastWords()) ODInExHoldLastWords();
        if (bODPendingExitTermCall) {
            ODWaitDrain(10000);
            /* A line without DTR (standard I/O, Door32) cannot be dropped
             * from here: the process ending hands it back. */
            if (ODComSetDTR(hSerialPort, 0) == ODCOM_OK) {
                ODInExWaitCarrierGone();
                ODComSetDTR(hSerialPort, 1);
            }
        } else if (od_control.com_method != ODCOM_METHOD_DOOR32 && od_control.com_method != ODCOM_METHOD_SOCKET &&
                   od_control.com_method != ODCOM_METHOD_STDIO) {
            ODInExDisableDTR();
        }
        ODCoreFlushOutput();
        od_control.remote_bps = file_bps;
    }

    /* Tear-down: the local display first, the line and the queue last. */
    ODConsoleRemoveMessage();
    ODConsoleShutdown();
    ODInExReleaseSession();

    bODInitialized = 0;
    eODLifecycleState = OD_STATE_ENDED;
    bODExitPrologueComplete = 0;
    ODSyncAPIExit();
    bODExitRunning = 0;
    ODProcessExit(nODPendingExitErrorLevel);
}

/* ---- the modem exit command ---- */

/* Whether the expected reply arrives within 2 seconds; the last 40
 * characters from the modem are kept and searched. */
static int ODInExAwaitReply(const char *expected)
{
    char seen[41];
    size_t count = 0;
    seen[0] = '\0';
    uint64_t start = ODPlatTickMs();
    while (ODPlatTickMs() - start < 2000) {
        char byte;
        if (ODComGetByte(hSerialPort, &byte, 0) == ODCOM_OK) {
            if (count == 40) {
                memmove(seen, seen + 1, 39);
                count = 39;
            }
            seen[count++] = byte ? byte : ' ';
            seen[count] = '\0';
            if (strstr(seen, expected)) return 1;
            continue;
        }
        ODPlatSleepMs(10);
    }
    return 0;
}

void ODInExDisableDTR(void)
{
    if (!hSerialPort || od_control.open_handle != 0) return;
    int carrier = 0;
    if (ODComCarrier(hSerialPort, &carrier) != ODCOM_OK || !carrier) return;
    const char *command = od_control.modem_exit_command;
    size_t length = strnlen(command, sizeof od_control.modem_exit_command);
    for (int attempt = 0; attempt < 2; attempt++) {
        int answered = 1;
        for (size_t i = 0; i < length && answered; i++) {
            char ch = command[i];
            if (ch == ' ') {
                /* Up to the next space: the reply to wait for. */
                char expected[40];
                size_t n = 0;
                for (i++; i < length && command[i] != ' '; i++)
                    if (command[i] != '~' && n < sizeof expected - 1) expected[n++] = command[i];
                expected[n] = '\0';
                if (n > 0 && !ODInExAwaitReply(expected)) answered = 0;
                continue;
            }
            if (ch == '|') ODComSendByte(hSerialPort, '\r');
            else if (ch == '~') ODPlatSleepMs(1000);
            else ODComSendByte(hSerialPort, (uint8_t)ch);
            ODPlatSleepMs(200);
        }
        if (answered) return;
    }
}
