/* doorkit.h -- the door kit's public interface: the door control block and
 * the od_ operations a door program calls. Usable from C and C++.
 *
 * Every od_ operation reports failure through its result (zero, false or -1)
 * and od_control.last_error; none of them prints or throws. */
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

ODControl *od_control_get(void);

/* ---- start-up and exit ---- */
void od_init(void);
void od_exit(int error_level, int term_call);

/* ---- command line ---- */
void   od_parse_cmd_line(const char *command_line);
char **od_split_cmd_line(const char *command_line, int *argc);

/* ---- output ---- */
/* Lets the compiler check od_printf's arguments against its format. */
#if defined(__MINGW32__)
#define OD_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define OD_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define OD_PRINTF_FORMAT
#endif

void od_disp(const char *buffer, int size, int local_echo);
void od_disp_str(const char *text);
void od_putch(int ch);
void od_repeat(char value, uint8_t times);
int  od_printf(const char *format, ...) OD_PRINTF_FORMAT;
void od_clr_scr(void);
void od_clr_line(void);
void od_set_color(int foreground, int background);
void od_set_attrib(int attribute);
int  od_set_cursor(int row, int column);
int  od_get_cursor(int *row, int *column);
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

char od_get_key(int wait);
int  od_key_pending(void);
void od_clear_keybuffer(void);
int  od_get_input(tODInputEvent *event, uint32_t timeout_ms, uint16_t flags);
int  od_get_input_until(tODInputEvent *event, uint32_t deadline_seconds,
                        int deadline_milliseconds, uint16_t flags);
void od_input_str(char *buffer, int max_length, unsigned char minimum, unsigned char maximum);
char od_get_answer(const char *allowed);

/* ---- connection ---- */
int         od_carrier(void);
void        od_set_dtr(int high);
int         od_set_port(int port);
int         od_get_user_8bit(void);
void        od_set_user_8bit(int eight_bit);
const char *od_get_user_id(void);

/* ---- housekeeping ---- */
void od_kernel(void);
void od_sleep(uint32_t milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* DOORKIT_H */
