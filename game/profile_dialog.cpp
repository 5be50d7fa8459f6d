/* profile_dialog.cpp -- the screens of the caller's profile: welcome back,
 * handle entry with its colour preview, gender and class, and the one-line
 * report of a failed save. The logic they call lives in profile.cpp. */
#include "profile.h"

#include "doorkit.h"
#include "screen.h"

#include <stdio.h>
#include <string.h>

/* The caller is still there. A local session has no carrier to hold (the
 * kit answers "no remote connection"), and must not end at once for it. */
static int profile_online(void)
{
    od_control.last_error = 0;
    if (od_carrier()) return 1;
    return od_control.last_error == ODERR_NOREMOTE;
}

/* The next typed character; 0 once the caller is gone. Keys come decoded,
 * so a cursor or function key is one ignored event instead of bytes such as
 * "[C" that would type into the handle or answer a prompt. The Delete event
 * is also what a terminal's 127 backspace decodes to. */
static int profile_read_key(void)
{
    tODInputEvent event;
    while (profile_online()) {
        if (!od_get_input(&event, 1000, GETIN_NORMAL)) continue;
        if (event.EventType == EVENT_EXTENDED_KEY) {
            if (event.chKeyPress == OD_KEY_DELETE) return 8;
            continue;
        }
        if (event.chKeyPress) return (unsigned char)event.chKeyPress;
    }
    return 0;
}

/* Waits for one of the allowed letters or digits, either case; returns it
 * in upper case, or 0 once the caller is gone. */
static int profile_choice(const char *allowed)
{
    for (;;) {
        int key = profile_read_key();
        if (!key) return 0;
        if (key >= 'a' && key <= 'z') key -= 'a' - 'A';
        if (strchr(allowed, key)) return key;
    }
}

static int profile_welcome_back(void)
{
    header("WELCOME BACK");
    put(3, 5, 14, "YOUR SURVIVOR PROFILE WAS FOUND:");
    render_handle(4, 8, display_handle);
    put(3, 11, 11, "[C] CONTINUE WITH THIS SURVIVOR");
    put(3, 13, 7, "[N] CREATE A NEW SURVIVOR");
    return profile_choice("CN");
}

static void profile_colour_key(void)
{
    header("CHOOSE YOUR SURVIVOR");
    put(3, 4, 14, "PIPE COLOR KEY - TYPE CODES");
    put(3, 5, 14, "INTO YOUR HANDLE:");
    for (int n = 1; n <= 15; n++) {
        char code[8];
        snprintf(code, sizeof code, "|%02d", n);
        put((n - 1) % 5 * 8 + 3, (n - 1) / 5 * 2 + 6, n, code);
    }
    put(3, 13, 7, "Up to 24 visible characters; color codes");
    put(3, 14, 7, "do not count.");
    put(3, 15, 11, "Example: |04Nig|01ht|04Jar");
    put(3, 17, 11, "> ");
    od_set_cursor(17, 5);
}

/* Reads the handle line into entry; 0 if the caller left meanwhile. */
static int profile_read_handle(char *entry)
{
    entry[0] = '\0';
    for (;;) {
        int key = profile_read_key();
        if (!key) return 0;
        const char *echo;
        int done = handle_input_key(entry, key, &echo);
        if (echo) od_disp_str(echo);
        if (done) break;
    }
    if (!entry[0]) strcpy(entry, "TRAVELER");
    return 1;
}

/* Handle entry and preview until the caller keeps one; 0 if they left. */
static int profile_choose_handle(void)
{
    for (;;) {
        char entry[HANDLE_INPUT_MAX + 1];
        profile_colour_key();
        if (!profile_read_handle(entry)) return 0;
        header("HANDLE PREVIEW");
        put(3, 6, 14, "YOUR NAME WILL LOOK LIKE THIS:");
        render_handle(5, 9, entry);
        put(3, 13, 11, "[Y] YES, KEEP IT    [N] CHANGE IT");
        int key = profile_choice("YN");
        if (!key) return 0;
        if (key == 'Y') {
            snprintf(display_handle, sizeof display_handle, "%s", entry);
            make_plain_handle(display_handle);
            return 1;
        }
    }
}

static int profile_choose_gender(void)
{
    header("SURVIVOR IDENTITY");
    put(3, 6, 14, "CHOOSE M / F (COSMETIC ONLY)");
    int key = profile_choice("MF");
    if (!key) return 0;
    gender = key == 'F' ? 1 : 0;
    return 1;
}

static int profile_choose_class(void)
{
    header("CHOOSE YOUR CLASS");
    put(3, 5, 11, "[1] CARVER     +4 carving damage");
    put(3, 7, 10, "[2] WARDEN     +20 starting sanity");
    put(3, 9, 14, "[3] ALCHEMIST  +12 starting candy");
    put(3, 11, 13, "[4] SCOUT      +15 starting stamina");
    put(3, 13, 15, "[5] MEDIUM     +1 starting clue");
    int key = profile_choice("12345");
    if (!key) return 0;
    player_class = key - '1';
    return 1;
}

void profile_setup(void)
{
    int had_profile = profile_load(profile_path);
    if (had_profile && profile_welcome_back() != 'N') return;

    /* A creation the caller did not finish saves nothing: a caller who
     * asked for a new survivor and hung up keeps the old one, and a new
     * caller who hung up is asked again next time instead of being greeted
     * as a half-made survivor. */
    char kept_handle[sizeof display_handle];
    int kept_gender = gender, kept_class = player_class;
    strcpy(kept_handle, display_handle);

    int complete = profile_choose_handle() && profile_choose_gender() && profile_choose_class();
    if (!complete) {
        strcpy(display_handle, kept_handle);
        make_plain_handle(display_handle);
        gender = kept_gender;
        player_class = kept_class;
        return;
    }
    make_plain_handle(display_handle);
    if (profile_save(profile_path)) return;
    if (!profile_online()) return;
    header("PROFILE SAVE ERROR");
    put(3, 7, 12, "Profile save failed: check the caller ID");
    put(3, 8, 12, "and the data directory permissions.");
    waitc();
}
