/* main.cpp -- the game's entry: start-up order, the caller checks, the music
 * question, the October opening and the lobby loop. The OS entry (main or
 * WinMain) hands over here with the command line. */
#include "doorkit.h"
#include "ODCmdLn.h"
#include "ODExplain.h"
#include "ODPlat.h"
#include "grimby.h"
#include "online.h"
#include "profile.h"
#include "qorb_chat.h"
#include "run.h"
#include "scene.h"
#include "scores.h"
#include "interbbs.h"
#include "screen.h"
#include "season.h"
#include "storage.h"

#include <stdio.h>
#include <string.h>

static const char *const october_opening[10] = {
    "OCTOBER. THE LAST LIGHT OF THE HARVEST.",
    "A ROADSIDE FARM STAND. ONE PERFECT PUMPKIN.",
    "THE FARMER WHISPERS: DON'T TAKE THAT ONE.",
    "YOU PAY ANYWAY. IT ROLLS INTO THE BACK SEAT.",
    "MILES LATER, THE RADIO DIES MID-SONG.",
    "THE SKY TURNS BLACK. THE AIR GOES COLD.",
    "SCRATCH... SCRATCH... FROM BEHIND YOUR SEAT.",
    "TWO YELLOW EYES OPEN IN THE REARVIEW MIRROR.",
    "GRIMBY GRINS. THE DOORS LOCK THEMSELVES.",
    "THE HARVEST HAS TEETH. SURVIVE THE NIGHT.",
};

/* Waits up to ms for a key and returns it, or 0. The wait ends the moment a
 * key arrives, so a polling loop does not add its poll interval to every
 * key the caller types. Keys are those od_get_key gives: the LF that many
 * terminals send after Enter is none, or every Enter would redraw the lobby
 * twice. Cursor and function keys are no lobby key either: they are read
 * decoded, or the escape that begins them would leave the game. */
static int wait_key(uint32_t ms)
{
    tODInputEvent event;
    if (!od_get_input(&event, ms, GETIN_NORMAL)) return 0;
    if (event.EventType != EVENT_CHARACTER || event.chKeyPress == 10) return 0;
    return event.chKeyPress;
}

static int to_upper(int key)
{
    return (key >= 'a' && key <= 'z') ? key - 32 : key;
}

static void exit_steps(void)
{
    qorb_chat_stop();
    if (interbbs_enabled) interbbs_sync_background();
    od_exit(0, 0);
}

static void music_question(void)
{
    header("SYNCTERM ANSI MUSIC");
    put(3, 5, 14, "GRIMBY CAN PLAY ANSI MUSIC NOTES.");
    put(3, 7, 11, "[T] TEST MELODY");
    put(3, 9, 11, "[Y] ENABLE SOUND  [N] SILENT");
    put(3, 12, 7, "Requires ANSI music-capable terminal.");
    put(3, 14, 8, "SyncTERM: enable ANSI music in setup.");
    while (game_online()) {
        int key = od_get_key(1);
        if (key == 0) continue;
        if (key == 'N' || key == 'n') {
            sound_enabled = 0;
            return;
        }
        if (key == 'Y' || key == 'y') {
            sound_enabled = 1;
            return;
        }
        if (key == 'T' || key == 't') {
            sound_enabled = 1;
            play("MFT150O4L8CDEFGAB>C");
            put(3, 19, 14, "Did you hear the scale? Choose Y/N.");
        }
    }
}

static void october_opening_show(void)
{
    header("THE NIGHT IT BEGAN");
    put(3, 6, 14, "WELCOME TO THE HARVEST, SURVIVOR.");
    render_handle(3, 8, display_handle);
    put(3, 11, 11, "[G] GO STRAIGHT TO THE LOBBY");
    put(3, 13, 14, "[W] WATCH THE 60-SECOND OPENING");
    int key = 0;
    while (game_online()) {
        key = od_get_key(1);
        if (key == 'G' || key == 'g' || key == 'W' || key == 'w') break;
        key = 0;
    }
    if (key != 'W' && key != 'w') return;
    play("MFT120O3L8C.E.G.C");
    int skips = 0;
    for (int slide = 0; slide < 10; slide++) {
        if (!game_online()) return;
        const char *title = slide < 4 ? "THE PUMPKIN STAND" : slide < 7 ? "THE ROAD HOME" : "THE AWAKENING";
        header(title);
        grimby_art(47, 4, slide < 7 ? 0 : 2);
        prose(8, slide < 7 ? 14 : 12, october_opening[slide], 39);
        put(3, 19, 8, "Q TWICE: SKIP TO GAME LOBBY");
        for (int poll = 0; poll < 60; poll++) {
            /* A stopped session gives the game only a short grace before
             * the kit ends it: the slide may not spend it, or the exit
             * steps never run. */
            if (!game_online()) return;
            int k = od_get_key(0);
            if (k == 'Q' || k == 'q') {
                if (++skips > 1) return;
            } else if (k != 0) {
                skips = 0;
            }
            od_sleep(100);
        }
    }
}

static void lobby_draw(void)
{
    season_bind();
    int halloween = season_index == 9 && season_day == 31;
    const season_record *month = &seasons[season_index];
    header(halloween ? "A HALLOWEEN NIGHTMARE" : month->title);
    int variant = halloween ? 2 : 0;
    if (season_index == 9) grimby_art(47, 4, variant);
    else seasonal_draw(47, variant);
    if (season_index == 9) {
        put(3, 5, 14, "THE HARVEST HAS TEETH.");
        prose(7, 7, "You brought home a pumpkin. Something else came home with you.", 39);
    } else {
        char name[42];
        snprintf(name, sizeof name, "%.41s", month->name);
        put(3, 5, 14, name);
        prose(7, 7, month->goal, 39);
    }
    put(3, 11, 11, "[S] STORY - 8 MONTHLY STAGES");
    put(3, 13, 14, "[D] DAILY - ONE DATED CHALLENGE");
    put(3, 15, 10, "[H] HALL OF FAME (STORY / DAILY)");
    put(3, 17, 7, "[Q] RETURN TO BBS");
    if (halloween) {
        put(3, 19, 14, "HALLOWEEN: FINAL BOSS, EXTRA DAMAGE!");
    } else {
        char line[80];
        snprintf(line, sizeof line, "%s %02d, %04d UTC - NEW MONTH, NEW STORY", month->name, season_day, season_year);
        line[76] = '\0';
        put(3, 19, 14, line);
    }
    qorb_chat_status(21, 3, 74);
}

/* Whether the UTC date moved on since the lobby was drawn. */
static int lobby_date_changed(void)
{
    int index = season_index, day = season_day, year = season_year;
    season_bind();
    return season_index != index || season_day != day || season_year != year;
}

/* One lobby wait: returns the key that ended it, or 0 when the UTC date
 * changed under a caller who sat through midnight: the lobby is then drawn
 * again for the new day (a new month brings its own campaign). Idle cycles
 * of 8 s, the chat line refreshed each second, and the walking figure
 * between cycles when chat is off. Carrier loss runs the exit steps. */
static int lobby_wait(void)
{
    static const char *const figures[2] = {" /\\_/\\ ", " .-.-. "};
    static const int figure_colours[2] = {8, 7};
    int cycle = 0;
    for (;;) {
        /* The caller sees a poll every 50 ms: a key ends the wait at once,
         * the chat line changes on the second. The kit's wait already
         * watches the line and the clock in slices, so waiting in one call
         * up to whatever is due next saves the lobby a kit call per poll. */
        uint64_t start = ODPlatTickMs();
        for (;;) {
            if (!game_online()) exit_steps();
            uint64_t elapsed = ODPlatTickMs() - start;
            if (elapsed >= 8000) break;
            int chat = qorb_chat_enabled();
            uint64_t due = chat ? (elapsed / 1000 + 1) * 1000 : 8000;
            int key = wait_key((uint32_t)(due - elapsed));
            if (key) return key;
            if (chat && ODPlatTickMs() - start >= due) qorb_chat_status(21, 3, 74);
        }
        if (lobby_date_changed()) return 0;
        if (!qorb_chat_enabled()) {
            for (int column = 4; column <= 36; column += 2) {
                if (!game_online()) break; /* the exit steps come first */
                put(column, 21, figure_colours[cycle & 1], figures[cycle & 1]);
                od_sleep(65);
                put(column, 21, 0, "        ");
            }
            od_set_color(7, 0);
        }
        cycle++;
    }
}

static void lobby(void)
{
    while (game_online()) {
        lobby_draw();
        int key = to_upper(lobby_wait());
        switch (key) {
        case 'C':
            if (qorb_chat_enabled()) qorb_chat_room();
            break;
        case 'H': hall(); break;
        case 'S': run(0); break;
        case 'D': run(1); break;
        case 'Q':
        case 27: exit_steps(); return;
        default: break;
        }
        quit_requested = 0;
    }
    exit_steps();
}

static int console_mode(const char *command_line)
{
    int mode = -1;
    if (strstr(command_line, "--chat-enable")) mode = 1;
    else if (strstr(command_line, "--chat-disable")) mode = 0;
    game_console_open();
    init_storage();
    load_config();
    /* Every fresh install shares the built-in title: offered as the BBS's
     * name on the network, Enter would claim it for everyone. */
    return qorb_chat_config(strcmp(bbs_name, "Q-ORB ONLINE") != 0 ? bbs_name : "", "grimby", mode);
}

/* --explain-dropfile PATH: start-up's reading of the drop file and the
 * other options, printed for the sysop; no connection is opened. */
static int explain_mode(const char *command_line)
{
    int argc = 0;
    char **argv = od_split_cmd_line(command_line, &argc);
    const char *path = nullptr;
    for (int i = 1; argv && i + 1 < argc && !path; i++)
        if (strcmp(argv[i], "--explain-dropfile") == 0) path = argv[i + 1];
    if (!path) {
        game_console_report("usage: GRIMBY --explain-dropfile PATH [the BBS's other options]\n");
        od_free_cmd_line(argv);
        return 1;
    }
    snprintf(od_control.program_name, sizeof od_control.program_name, "%s", "GRIMBY - Almanac");
    od_parse_cmd_line(command_line);
    ODCmdLnSetDropPath(path);
    od_free_cmd_line(argv);
    static char report[16384];
    int ok = ODExplainDropFile(report, sizeof report);
    game_console_report(report);
    return ok ? 0 : 1;
}

int grimby_main(const char *command_line)
{
    if (!command_line) command_line = "";
    if (strstr(command_line, "--explain-dropfile")) return explain_mode(command_line);
    if (strstr(command_line, "--chat-config") || strstr(command_line, "--chat-enable") ||
        strstr(command_line, "--chat-disable"))
        return console_mode(command_line);

    snprintf(od_control.program_name, sizeof od_control.program_name, "%s", "GRIMBY - Almanac");
    snprintf(od_control.program_version, sizeof od_control.program_version, "%s", GRIMBY_VERSION);
    od_control.always_clear_screen = 1;
    od_set_cmd_line_help(
        "GRIMBY's own options (each runs in the console, changes chat.json and exits):\n"
        "--chat-config\t- Asks whether the shared chat is on, shows the hub and lets you change it, "
        "and enrolls this BBS when it holds no credential.\n"
        "--chat-enable\t- Switches the shared chat on, enrolling this BBS when it holds no credential.\n"
        "--chat-disable\t- Switches the shared chat off; callers already in the chat room stay until "
        "they leave it.");
    od_parse_cmd_line(command_line);
    od_init();
    init_storage();

    /* The installer and the updater leave this marker while they replace
     * the release; start-up has already moved to the program directory. */
    FILE *marker = fopen(".grimby-maintenance", "r");
    if (marker) {
        fclose(marker);
        od_disp_str("GRIMBY is being updated. Please return shortly.\r\n");
        od_exit(0, 0);
        return 0;
    }

    load_config();
    season_bind();
    if (interbbs_enabled) interbbs_sync_background();

    const char *identity = od_get_user_id();
    if (!identity || !identity[0]) {
        header("BBS CALLER ID REQUIRED");
        put(3, 7, 12, "No caller identity in BBS drop file.");
        put(3, 9, 14, "Check drop file and door kit setup.");
        waitc();
        od_exit(1, 0);
        return 1;
    }
    profile_set_identity(identity);

    music_question();

    uint32_t now = (uint32_t)ODPlatWallSeconds();
    seasonal_rng_state = now ? now : 1;

    profile_setup();
    if (season_index == 9) october_opening_show();

    qorb_chat_start(player, od_get_user_id(), "grimby");
    lobby();
    return 0;
}
