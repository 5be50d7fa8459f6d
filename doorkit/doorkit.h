/* doorkit.h -- the door kit's public interface: the door control block and
 * the od_ operations a door program calls. Usable from C and C++.
 *
 * Every od_ operation reports failure through its result (zero, false or -1)
 * and od_control.last_error (ODERR_ below); none of them prints or throws.
 * A call never clears last_error, and an ordinary outcome (no key yet, a
 * time-out) does not set it: clear it before a call whose failure you need
 * to tell apart.
 *
 * Unless its note says otherwise, an od_ call made before od_init starts the
 * kit first, and once the session has ended (the kernel ended it, or od_exit
 * has begun) it does nothing and fails with ODERR_GENERALFAIL. Calls belong
 * to the game's thread. Nothing an od_ call returns is the caller's to free
 * except the vector of od_split_cmd_line. */
#ifndef DOORKIT_H
#define DOORKIT_H

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes left in od_control.last_error by a failing public call. */
#define ODERR_NOMEMORY      1
#define ODERR_NOGRAPHICS    2
#define ODERR_PARAM         3
#define ODERR_FILEOPEN      4
#define ODERR_LIMIT         5
#define ODERR_NOREMOTE      7
#define ODERR_GENERALFAIL   8
#define ODERR_UNSUPPORTED  11

/* Session lifecycle (eODLifecycleState). */
#define OD_STATE_NOT_STARTED 0
#define OD_STATE_STARTING    1
#define OD_STATE_RUNNING     2
#define OD_STATE_EXITING     4
#define OD_STATE_ENDED       5

/* drop_file_kind values. */
#define OD_DROP_DORINFO        0
#define OD_DROP_EXITINFO_SHORT 1
#define OD_DROP_EXITINFO_EXT   2
#define OD_DROP_CHAINTXT       3
#define OD_DROP_SFDOORS        4
#define OD_DROP_CALLINFO       5
#define OD_DROP_DOORSYS_PART   6
#define OD_DROP_DOORSYS_SHORT  7
#define OD_DROP_EXITINFO_MID   8
#define OD_DROP_DOORSYS_FULL  10
#define OD_DROP_EXITINFO_NEW  11
#define OD_DROP_TRIBBS        12
#define OD_DROP_DOOR32        13
#define OD_DROP_BBSDEV        14
#define OD_DROP_NONE         100

/* User-visible texts of the kit; pointers set at start-up. */
typedef struct {
    const char *chat_ended;
    const char *chat_started;
    const char *hangup_message;
    const char *exit_message;
    const char *inactivity_end;
    const char *inactivity_warning;
    const char *time_used_up;
    const char *time_warning; /* printf format with one %d */
} ODTexts;

#pragma pack(push, 1)
typedef struct {
    /* Connection */
    char     drop_path[60];
    uint32_t remote_bps;
    uint32_t connect_bps;
    uint16_t port_address;
    uint8_t  port_irq;
    uint8_t  com_method;
    uint8_t  com_flow_control;
    uint16_t rx_buffer_size;
    uint16_t tx_buffer_size;
    uint8_t  fifo_trigger;
    uint32_t no_fifo;
    uint32_t no_fossil;
    uint32_t handle_is_socket;
    uint16_t com_port;
    uint64_t open_handle;
    uint32_t remote_utf8;

    /* BBS and caller */
    char     system_name[40];
    char     sysop_name[40];
    char     caller_name[36];
    char     caller_location[26];
    uint8_t  caller_flags;
    uint16_t caller_security;
    uint16_t caller_screen_length;
    uint16_t caller_time_left;
    uint8_t  caller_ansi;
    char     caller_handle[36];
    uint8_t  caller_screen_width;
    char     caller_sex;
    uint8_t  caller_avatar;
    uint8_t  caller_rip;
    uint8_t  caller_wants_chat;
    char     chat_reason[78];

    /* Caller record fields that the drop-file formats fill */
    char     caller_password[16];
    char     caller_phone_home[16];
    char     caller_phone_data[16];
    char     caller_last_date[9];
    uint16_t caller_record_number;
    uint32_t caller_total_calls;
    char     caller_birth_date[9];
    char     caller_comment[80];
    char     caller_callsign[12];
    uint16_t caller_minutes_used;

    /* Session and kit behaviour */
    uint8_t  drop_file_kind;
    uint8_t  extended_info;
    uint16_t node;
    uint32_t always_clear_screen;
    uint32_t force_local;
    uint32_t chat_active;
    uint16_t last_error;
    uint8_t  last_key_local;
    uint16_t input_queue_size;
    uint16_t max_time;
    uint16_t time_withheld;
    uint32_t remote_keyboard_enabled;
    int16_t  current_attribute;
    char     color_delimiter;
    char     color_names[12][33];
    uint32_t inactivity_disabled;
    uint16_t inactivity_seconds;
    uint16_t inactivity_warning_seconds;
    uint16_t disable_flags;
    char     modem_exit_command[80];
    char     program_name[40];
    char     program_version[40];
    uint32_t silent_mode;
    ODTexts  texts;
    uint8_t  chat_colours[2];
    int32_t  cmd_show;
    uint8_t  sysop_next;     /* the sysop wants the line next */
} ODControl;
#pragma pack(pop)

/* disable_flags bits */
#define OD_DISABLE_TIME_LIMIT 4

extern ODControl od_control;

/* The door control block, or null (ODERR_GENERALFAIL) once the session has
 * ended. Never starts the kit. */
ODControl *od_control_get(void);

/* ---- start-up and exit ---- */

/* Starts the session: reads the drop file, opens the caller's line, starts
 * the local screen, the kernel and the local display. Success shows as
 * od_control running (eODLifecycleState OD_STATE_RUNNING); a second call
 * does nothing. What cannot start (no drop file, no line, no memory) shows
 * its message and ends the process with exit code 0. A failure of the
 * kernel or the local display leaves ODERR_GENERALFAIL and the kit not
 * started: the next call tries again. After od_exit: ODERR_GENERALFAIL. */
void od_init(void);

/* Ends the session and the process with error_level: writes the drop file
 * back, hangs up (term_call non-zero) or hands the line back, tears the kit
 * down. When the kernel ended the session, its reason is the error level.
 * Returns only when another od_exit is running, or when called before a
 * start-up that then did not complete: the exit is carried out when one
 * does. */
void od_exit(int error_level, int term_call);

/* ---- command line ---- */

/* Applies the door's command-line options (Windows quoting) to od_control;
 * call it before od_init. Null or no memory: nothing applied, last_error
 * ODERR_PARAM or ODERR_NOMEMORY. An option missing its argument ends the
 * process with exit code 1, as does -HELP after showing the options. Never
 * starts the kit. */
void   od_parse_cmd_line(const char *command_line);

/* The program's own options, shown by -HELP after the kit's (lines
 * separated by '\n'; the text is kept, not copied). Null: the kit's only. */
void   od_set_cmd_line_help(const char *program_options);

/* Splits command_line as Windows splits a process command line. Returns an
 * argument vector of *argc elements and a null after them; element 0 is
 * this program's path, the line's words follow (at most 4096 elements in
 * all). The caller owns the vector and releases it with od_free_cmd_line.
 * Null with *argc 0 on failure: ODERR_PARAM (a null argument),
 * ODERR_NOMEMORY, ODERR_GENERALFAIL (the session has ended). Never starts
 * the kit. */
char **od_split_cmd_line(const char *command_line, int *argc);

/* Releases a vector od_split_cmd_line returned; null does nothing. Any
 * time, even after the session has ended; never fails. */
void   od_free_cmd_line(char **argv);

/* ---- output ---- */
/* Lets the compiler check od_printf's arguments against its format. */
#if defined(__MINGW32__)
#define OD_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define OD_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define OD_PRINTF_FORMAT
#endif

/* Output goes to the caller and to the local screen. A caller without ANSI
 * or AVATAR gets plain text: colour and cursor calls then fail with
 * ODERR_NOGRAPHICS. A broken line is not reported here (od_carrier, and the
 * kernel ends the session). */

/* size bytes as they are, to the caller; to the local screen as well when
 * local_echo is non-zero. size < 0, or a null buffer: ODERR_PARAM. */
void od_disp(const char *buffer, int size, int local_echo);
/* A NUL-terminated text; null: ODERR_PARAM. */
void od_disp_str(const char *text);
/* One byte (the low 8 bits of ch). */
void od_putch(int ch);
/* value times times (0: nothing); AVATAR callers get one repeat code. */
void od_repeat(char value, uint8_t times);
/* Formatted text in which `colour words` (od_control.color_delimiter, the
 * words as od_color_config reads them) change the colour. 1 when sent; 0
 * with ODERR_PARAM (null format), ODERR_NOMEMORY or ODERR_GENERALFAIL. */
int  od_printf(const char *format, ...) OD_PRINTF_FORMAT;
/* Clears the screen and homes the cursor, unless the caller asked not to
 * have it cleared and always_clear_screen is 0. */
void od_clr_scr(void);
/* Clears from the cursor to the end of the line. */
void od_clr_line(void);
/* Colours by PC colour numbers: the attribute background * 16 + foreground
 * (-1 leaves it unchanged; outside 0-255: ODERR_PARAM). */
void od_set_color(int foreground, int background);
/* A text attribute 0-255 (-1 leaves it unchanged; other values:
 * ODERR_PARAM). */
void od_set_attrib(int attribute);
/* Moves the cursor to a 1-based row and column. 1 when sent; 0 with
 * ODERR_PARAM (off the screen) or ODERR_NOGRAPHICS. */
int  od_set_cursor(int row, int column);
/* The cursor's 1-based position into whichever of row and column is not
 * null. 1, or 0 with ODERR_PARAM when both are null. */
int  od_get_cursor(int *row, int *column);
/* The attribute a description such as "bright white on blue" names (the
 * words of od_control.color_names, any case; unknown words are skipped):
 * 7 for one naming nothing or a null one (ODERR_PARAM); 0 when refused. */
uint8_t od_color_config(const char *description);

/* ---- input ---- */
typedef enum { EVENT_CHARACTER = 0, EVENT_EXTENDED_KEY = 1 } tODInputEventType;

typedef struct {
    uint32_t EventType;   /* tODInputEventType */
    uint32_t bFromRemote; /* 0 when the key came from the local keyboard */
    uint8_t  chKeyPress;  /* character, or extended key code */
} tODInputEvent;

/* Extended key codes (PC scan codes; second byte of a doorway code). */
#define OD_KEY_F1     59
#define OD_KEY_F10    68
#define OD_KEY_HOME   71
#define OD_KEY_UP     72
#define OD_KEY_PGUP   73
#define OD_KEY_LEFT   75
#define OD_KEY_RIGHT  77
#define OD_KEY_END    79
#define OD_KEY_DOWN   80
#define OD_KEY_PGDN   81
#define OD_KEY_INSERT 82
#define OD_KEY_DELETE 83
#define OD_KEY_F11   133
#define OD_KEY_F12   134

#define GETIN_NORMAL 0x0000
#define GETIN_RAW    0x0001
#define GETIN_NOCTRL 0x0002
#define OD_NO_TIMEOUT 0xFFFFFFFFu

/* Input waits run the kernel and the local display; they end early, with
 * their failure value, when the session ends. */

/* The next key byte (a cursor or function key comes as 0 then its code, see
 * OD_KEY_). With wait 0 it does not wait: 0 when no key is there. A line
 * feed is never a key of its own. od_control.last_key_local tells whether
 * the key came from the local keyboard. */
char od_get_key(int wait);
/* 1 when a key is waiting, else 0. */
int  od_key_pending(void);
/* Drops every key waiting, in the queue and on the caller's line. */
void od_clear_keybuffer(void);
/* The next input event, decoding ANSI/VT escape sequences and doorway codes
 * into EVENT_EXTENDED_KEY (GETIN_RAW: no decoding; GETIN_NOCTRL: control
 * keys such as Ctrl-E stay characters). Waits up to timeout_ms (OD_NO_TIMEOUT:
 * without limit). 1 with *event filled; 0 at the time-out, when the session
 * ends, or with ODERR_PARAM for a null event. */
int  od_get_input(tODInputEvent *event, uint32_t timeout_ms, uint16_t flags);
/* As od_get_input, until a deadline on the session clock (seconds and
 * milliseconds 0-999; other milliseconds: ODERR_PARAM). 0 at once when the
 * deadline has passed. */
int  od_get_input_until(tODInputEvent *event, uint32_t deadline_seconds,
                        int deadline_milliseconds, uint16_t flags);
/* Reads a line into buffer (at least max_length + 1 bytes), echoing it and
 * keeping keys from minimum to maximum, with backspace, until Enter. The
 * text is NUL-terminated, also when the session ends while reading. A null
 * buffer, max_length < 1 or minimum > maximum: ODERR_PARAM, buffer
 * untouched. */
void od_input_str(char *buffer, int max_length, unsigned char minimum, unsigned char maximum);
/* Waits for one of the keys in allowed (letters in either case) and
 * returns it as written in allowed; 0 when the session ends, or with
 * ODERR_PARAM for null. */
char od_get_answer(const char *allowed);

/* ---- connection ---- */
/* 1 when the caller's line has carrier. 0 without it, or with
 * ODERR_NOREMOTE in a local session, or ODERR_GENERALFAIL when the line
 * cannot be asked. */
int         od_carrier(void);
/* Raises (non-zero) or drops DTR; dropping it on a socket closes the
 * connection. A local session: ODERR_NOREMOTE; a line with no DTR to set
 * (standard I/O, a Door32 library, raising it on a socket):
 * ODERR_GENERALFAIL. */
void        od_set_dtr(int high);
/* Chooses the serial port (0 = COM1) before od_init; never starts the kit.
 * 1, or 0 with ODERR_PARAM (after start-up, or outside 0-255). */
int         od_set_port(int port);
/* The door's own flag that the caller's terminal takes 8-bit text, as last
 * set by od_set_user_8bit (0 at first); the kit does not read it. Never
 * starts the kit. */
int         od_get_user_8bit(void);
void        od_set_user_8bit(int eight_bit);
/* The caller's identity, stable across calls of one caller to one BBS:
 * "record:name" for drop files with a user record number, ":name" for the
 * others and for local sessions, the BBS's user id for a BBSDev session;
 * "" when there is none or the call failed. The text lives in the kit and
 * is replaced by the next call. */
const char *od_get_user_id(void);

/* ---- housekeeping ---- */
/* Runs one kernel pass (carrier, time, inactivity, the sysop's requests);
 * the input and output calls do so themselves. */
void od_kernel(void);
/* Pauses, serving the kernel and the local display; 0 gives up the rest of
 * the time slice. Ends early when the session ends. */
void od_sleep(uint32_t milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* DOORKIT_H */
