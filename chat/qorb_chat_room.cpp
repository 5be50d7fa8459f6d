/* qorb_chat_room.cpp -- the full-screen chat room. It never touches the
 * network: it draws the shared lines and counts under guard and queues what
 * the caller types for the worker. All output goes through the door kit. */
#include "doorkit.h"
#include "qorb_chat.h"
#include "qorb_chat_int.h"

#include <stdio.h>
#include <string.h>

#define ROOM_INPUT_MAX 160

/* A local session has no carrier to lose; od_carrier reports none there.
 * A session the kit has stopped (time used up, sysop hang-up) refuses
 * od_control_get: the room must leave then, or it spins through the short
 * grace the game has for its exit steps, which then never run. */
static int room_online(void)
{
    if (!od_control_get()) return 0;
    return od_control.remote_bps == 0 || od_carrier();
}

static int room_rows(int length)
{
    if (length == 0) return 24;
    if (length < 24) return 24;
    if (length > 36) return 36;
    return length;
}

static void draw_input(int *row, int w, const char *input, int length)
{
    /* The kit addresses only the rows of its own screen; a taller caller
     * gets the input where a 24-row caller has it rather than wherever the
     * cursor happened to be. */
    if (!od_set_cursor(*row, 1)) {
        *row = 22;
        od_set_cursor(*row, 1);
    }
    od_set_attrib(11);
    const char *shown = length >= w - 1 ? input + (length - (w - 2)) : input;
    od_printf("> %-*.*s", w - 2, w - 2, shown);
    od_set_cursor(*row, length >= w - 1 ? w + 1 : length + 3);
}

static void enqueue(const char *input)
{
    qc_entry entry;
    snprintf(entry.text, sizeof entry.text, "%s", input);
    if (!random_id(entry.event)) return;
    qc_lock();
    if (qc.queued < QC_QUEUE)
        qc.queue[qc.queued++] = entry;
    else
        add_line("Message queue full; wait for delivery and try again.");
    qc_unlock();
}

void qorb_chat_room(void)
{
    int w = qc_display_width(od_control.caller_screen_width);
    int rows = room_rows(od_control.caller_screen_length);
    if (!qc.active) return;

    qc_lock();
    qc.in_chat = 1;
    qc_unlock();
    qc_wake();

    od_clr_scr();
    od_set_cursor(1, 1);
    od_set_attrib(11);
    od_disp_str("Q-ORB SHARED GAME LOBBY");
    od_set_cursor(3, 1);
    od_set_attrib(7);
    od_disp_str("Enter sends | /who shows counts | /quit or Esc returns to game");

    char input[ROOM_INPUT_MAX + 1] = "";
    int length = 0, dirty = 1, input_row = rows - 2;
    /* No counter value can stand for "nothing drawn yet": a reply may move
     * it onto any guess before the first pass. */
    uint32_t seen = 0;
    int full = 1;
    static char lines[QC_LINES][QC_LINE_SIZE];

    while (room_online()) {
        int redrawn = 0;
        qc_lock();
        uint32_t generation = qc.generation;
        int count = qc.line_count;
        char counts[160];
        int draw = full || generation != seen;
        if (draw) {
            memcpy(lines, qc.lines, sizeof lines);
            if (qc.online)
                snprintf(counts, sizeof counts, "%d players online | %d BBSes | %d in chat",
                         qc.players, qc.bbses, qc.chatting);
            else
                snprintf(counts, sizeof counts, "%s",
                         "Hub unavailable - reconnecting. Messages wait for delivery.");
        }
        qc_unlock();
        if (draw) {
            od_set_cursor(2, 1);
            od_set_attrib(14);
            od_printf("%-*.*s", w, w, counts);
            od_set_attrib(7);
            for (int i = 0; i < QC_LINES; i++) {
                od_set_cursor(5 + i, 1);
                od_printf("%-*.*s", w, w, i < count ? lines[i] : "");
            }
            redrawn = 1;
        }
        if (redrawn || dirty) draw_input(&input_row, w, input, length);

        tODInputEvent event;
        seen = generation;
        full = 0;
        dirty = 0;
        if (!od_get_input(&event, 100, GETIN_NORMAL)) continue;
        /* The kit decodes the DEL byte most terminals send for backspace
         * as the Delete key; either edits the line. */
        int key = event.chKeyPress;
        if (event.EventType == EVENT_EXTENDED_KEY && key == OD_KEY_DELETE)
            key = 127;
        else if (event.EventType != EVENT_CHARACTER)
            continue;
        if (key == 27) break;
        if (key == 13 || key == 10) {
            if (strcmp(input, "/quit") == 0) break;
            if (strcmp(input, "/who") == 0)
                full = 1;
            else if (length > 0)
                enqueue(input);
            input[0] = '\0';
            length = 0;
            dirty = 1;
        } else if (key == 8 || key == 127) {
            if (length > 0) {
                int was = length;
                input[--length] = '\0';
                if (was < w - 1)
                    od_disp_str("\b \b");
                else
                    dirty = 1;
            }
        } else if (key >= 0x20 && key <= 0x7E && key != '`' && length < ROOM_INPUT_MAX) {
            input[length++] = (char)key;
            input[length] = '\0';
            if (length < w - 1) {
                char echo[2] = {(char)key, '\0'};
                od_disp_str(echo);
            } else {
                dirty = 1;
            }
        }
    }

    qc_lock();
    qc.in_chat = 0;
    qc_unlock();
    qc_wake();
}
