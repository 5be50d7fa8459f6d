/* daily.cpp -- the daily challenge's tables, the once-a-day guard shared by
 * every node (daily-lock file and reservation directory) and its outcomes. */
#include "daily.h"

#include <stdio.h>
#include <string.h>

#include "scores_io.h"
#include "profile.h"
#include "run.h"
#include "season.h"
#include "storage.h"

char daily_reservation[160];
int  daily_reserved;

const char *const daily_chapters[DAILY_OCTOBER_DAYS] = {
    "THE CANDY TAX",       "WHISPERS IN THE HAY", "MIDNIGHT MILE",       "WITCHES' RECEIPT",
    "THE SCARECROW'S EYES", "DEAD RADIO",         "ROTTEN APPLES",       "GHOST IN THE TRUNK",
    "THE BONE MARKET",     "FIVE BLACK CATS",     "THE EMPTY PORCH",     "CORNFIELD SIGNAL",
    "THE MISSING FARMER",  "CANDLE THIEF",        "SALT IN THE WIND",    "THE RUSTED GATE",
    "PUMPKIN FEVER",       "THE CRYING WELL",     "THE HEADLESS DRIVER", "HOLLOW FOOTSTEPS",
    "THE GRAVEYARD SHIFT", "FROSTBITE HARVEST",   "THE BROKEN MIRROR",   "THE LAST MATCH",
    "THE HUNGRY ROAD",     "CROW'S JUDGMENT",     "THE HAUNTED AUCTION", "THE CIDER CURSE",
    "THE LANTERN KEEPER",  "THE BLACK HARVEST",   "ALL HALLOWS' EVE",
};

const char *const daily_decisions[DAILY_OCTOBER_DAYS] = {
    "PAY THE TOLL",     "FOLLOW THE VOICE", "CROSS THE MILE",   "SIGN THE BILL",
    "FACE THE EYES",    "TUNE THE RADIO",   "DIG THE ROOTS",    "OPEN THE TRUNK",
    "BARGAIN FOR BONES", "CROSS THE CATS",  "ENTER THE PORCH",  "TRACE THE SIGNAL",
    "FIND THE FARMER",  "CHASE THE THIEF",  "BRAVE THE WIND",   "UNLOCK THE GATE",
    "CURE THE FEVER",   "ANSWER THE WELL",  "TAKE THE RIDE",    "STOP THE STEPS",
    "PUNCH THE CLOCK",  "BREAK THE FROST",  "FACE THE MIRROR",  "STRIKE THE MATCH",
    "CROSS THE ROAD",   "PLEAD YOUR CASE",  "RAISE YOUR BID",   "BREAK THE CURSE",
    "FOLLOW THE LIGHT", "REAP THE HARVEST", "CHALLENGE GRIMBY",
};

/* Each event is drawn from row 7 at width 39 and must end above the choice
 * at row 12, so none runs past five lines. */
const char *const daily_events[DAILY_OCTOBER_DAYS] = {
    "A skeletal collector demands candy or your shadow. Choose what to surrender.",
    "Voices whisper your name from inside the hay bales. One of them sounds like home.",
    "The road ahead grows a mile longer every minute. Something runs beside the car.",
    "A witch slides a receipt under your door. Every line on it is a year of your life.",
    "The scarecrow at the crossroads has new glass eyes. They follow you wherever you go.",
    "The dead car radio crackles awake and reads out tomorrow's obituaries. Yours is next.",
    "Every apple in the orchard rotted overnight. Something under the trees drinks the sap.",
    "A ghost pounds from inside your trunk. The lock is already open.",
    "A night market sells bones by the pound. The merchant swears one of them is yours.",
    "Five black cats sit across the road in a perfect line. None of them blinks.",
    "A porch light burns beside a full candy bowl. Nobody has lived here for forty years.",
    "A flashlight blinks from deep in the corn: three short, three long, three short.",
    "The farmer who sold you the pumpkin is gone. His empty boots still stand in the field.",
    "Someone is stealing every candle in town. Each house goes dark behind the thief.",
    "A howling wind strips the salt lines from every doorstep. The ghosts are coming in.",
    "A rusted gate blocks the only road out of the cemetery. It screams when touched.",
    "Pumpkin fever spreads through town. Skin turns orange and smiles grow far too wide.",
    "A child cries at the bottom of the old well. The well was filled in years ago.",
    "A hearse pulls up beside you. The driver has no head, but he holds the door open.",
    "Footsteps follow you down every street. When you stop, they take one more step.",
    "The cemetery needs a night watchman. The time clock already holds your card.",
    "A black frost creeps across the fields. Whatever it touches stops moving for good.",
    "A broken mirror hangs in the town square. In every shard your reflection smiles.",
    "The power is out and you hold one last match. Something breathes in the dark.",
    "The road out of town has opened a mouth. Cars that cross it never reach the far side.",
    "A court of crows gathers on the power lines. They have found you guilty already.",
    "The old hall holds an auction of haunted things. Tonight the lot for sale is your name.",
    "The fair's cider turns whoever drinks it into straw. You already had a sip.",
    "An old man with a lantern waves you toward the marsh. His feet never touch the ground.",
    "The last field ripens with black pumpkins. Every one of them has a screaming face.",
    "At midnight, Grimby demands the last light. The whole town goes dark.",
};

const char *const daily_results[DAILY_OCTOBER_DAYS] = {
    "The collector counts your coins twice.",
    "The voice leads you to a hollow where something has waited for you all night.",
    "You floor it. The mile ends at last, but the runner kept pace the whole way.",
    "The witch stamps your soul PAID.",
    "You stare back until one glass eye cracks and rolls away into the corn.",
    "You twist the dial until the announcer screams and the signal dies.",
    "Your shovel strikes a knot of roots that bleeds black cider.",
    "The ghost bursts out shrieking and leaves a cold key in the spare tire.",
    "The merchant takes your price and wraps a finger bone in old newspaper.",
    "Each cat crosses your path in turn. Your luck curdles like milk.",
    "The boards groan under your weight and the front door opens by itself.",
    "The signal ends at a flashlight tied to a scarecrow's hand, still warm.",
    "You find the farmer in the barn loft, whispering the names of the harvest.",
    "You corner the thief in an alley. It is made of melted wax.",
    "You walk into the gale and pour new salt along the edge of town.",
    "The lock gives with a shriek that wakes every grave behind it.",
    "You brew the cure from seeds and ash. It burns all the way down.",
    "You call down the well. Something answers in your own voice.",
    "The hearse drives through three walls and drops you at the cemetery gate.",
    "You spin around and stamp your foot. The footsteps flee and drop something.",
    "The clock punches your card at midnight. The dead clock in beside you.",
    "You smash the frost with a shovel and the ice screams back at you.",
    "Your reflection steps out of the glass and tries to take your place.",
    "The match flares and shows a face an inch from yours.",
    "You sprint across as the asphalt snaps shut behind your heels.",
    "The crows caw their verdict and peck their fee from your hands.",
    "Your bid wins. The auctioneer hands you a small box that ticks.",
    "You pour the cursed cider on the roots and the straw falls from your hands.",
    "The light leads you deep into the marsh, then winks out.",
    "Your scythe sings through the field. The faces fall silent one by one.",
    "The last light burns inside your chest.",
};

const char *const daily_safe_results[DAILY_OCTOBER_DAYS] = {
    "You leave candy on the fence. The collector accepts the offering.",
    "You plug your ears with wax and walk on past the bales.",
    "You pull over and wait for the moon. By moonrise the road is one mile again.",
    "You tear the receipt along the dotted line and burn the pieces in salt.",
    "You keep your head down and cross the field behind a row of sunflowers.",
    "You pull the radio's fuse and drive the rest of the way in silence.",
    "You leave the orchard to its rot and take the road around it.",
    "You tie the trunk shut with rope and let the ghost knock all the way home.",
    "You walk the long way around the stalls and buy nothing at all.",
    "You take the back alley and the cats lose interest in you.",
    "You take one candy from the bowl and back slowly down the steps.",
    "You answer the signal from the road and let it come to you.",
    "You pin a note to his door and leave the field to the sheriff.",
    "You lock your own candles in a tin box and keep them lit.",
    "You shutter the windows and wait for the wind to tire itself out.",
    "You climb the cemetery wall where the ivy hides a gap.",
    "You wrap a scarf over your face and stay clear of the sick.",
    "You drop a coin into the well and the crying stops.",
    "You wave the driver on and take the long road home.",
    "You keep to the middle of the road, under the streetlights.",
    "You leave the card in the rack and let the dead keep their own hours.",
    "You wait by the bonfire until the sun melts the frost away.",
    "You cover the mirror with a sheet and walk past without looking.",
    "You keep the match dry and feel your way along the wall.",
    "You follow the railroad tracks and leave the road to starve.",
    "You scatter bread crumbs and the court adjourns to eat.",
    "You slip out of the hall before the gavel falls.",
    "You drink only well water until the curse wears off.",
    "You thank the keeper and stay on the boardwalk.",
    "You salt a ring around the field and leave it to rot alone.",
    "You guard a small flame until the town bells ring again.",
};

const char *const daily_omens[DAILY_OMENS] = {
    "A trail of footprints ends at a locked gate.",
    "A messenger drops a sealed map and vanishes.",
    "The lights blink in a pattern you recognize.",
    "A missing key hangs beyond a broken bridge.",
    "The wind repeats a warning from yesterday.",
    "A hidden door opens beneath your feet.",
    "A rival offers a shortcut for a price.",
    "Your reflection points toward a secret passage.",
};

int daily_reservation_name(char *out, unsigned size, const char *profile, int stamp)
{
    if (!out || size == 0) return 0;
    out[0] = 0;
    if (!profile || !profile[0]) return 0;
    size_t stem = strlen(profile);
    const char *dot = strrchr(profile, '.');
    if (dot) stem = (size_t)(dot - profile);
    int n = snprintf(out, size, "%.*s-%d.running", (int)stem, profile, stamp);
    if (n < 0 || (unsigned)n >= size) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

/* One daily-lock line: the profile file name, a tab, the stamp. */
static int daily_lock_line_matches(const char *line, const char *profile, int stamp)
{
    const char *tab = strchr(line, '\t');
    if (!tab || tab == line) return 0;
    size_t name_length = (size_t)(tab - line);
    if (name_length != strlen(profile) || memcmp(line, profile, name_length) != 0) return 0;
    long value = 0;
    if (!tsv_parse_int(tab + 1, &value, 0)) return 0;
    return value == stamp;
}

int daily_already_played(const char *profile, int stamp)
{
    if (!profile || !profile[0]) return 0;
    FILE *in = tsv_fopen(DAILY_LOCK_FILE);
    if (!in) return 0;
    tsv_reader reader;
    tsv_open(&reader, in);
    char line[TSV_LINE_MAX];
    int found = 0;
    int status;
    while (!found && (status = tsv_next(&reader, line, sizeof line)) != TSV_END)
        found = status == TSV_LINE && daily_lock_line_matches(line, profile, stamp);
    fclose(in);
    return found;
}

int daily_reserve(void)
{
    if (!profile_path[0] || !storage_ok) return 0;
    char name[sizeof daily_reservation];
    if (!daily_reservation_name(name, sizeof name, profile_path, season_stamp)) return 0;
    if (daily_reserved) {
        /* Kept after a run whose daily mark failed: it keeps the caller out
         * of that day, and only that day -- a visit that lasts past
         * midnight lets go of it (the directory stays, barring that day). */
        if (strcmp(name, daily_reservation) == 0) return 0;
        daily_reserved = 0;
    }
    memcpy(daily_reservation, name, sizeof name);
    if (!write_lock_take()) {
        daily_reservation[0] = 0;
        return 0;
    }
    /* The check and the creation under one hold of the lock: a node that
     * finishes the caller's daily writes its daily-lock line before it
     * removes its reservation, so one of the two is always there to see. */
    if (!daily_already_played(profile_path, season_stamp) &&
        storage_make_dir(daily_reservation) == STORAGE_DIR_CREATED)
        daily_reserved = 1;
    write_lock_release();
    if (!daily_reserved) daily_reservation[0] = 0;
    return daily_reserved;
}

void daily_release(void)
{
    if (daily_reserved && daily_reservation[0]) storage_remove_dir(daily_reservation);
    daily_reservation[0] = 0;
    daily_reserved = 0;
}

int daily_mark_played(void)
{
    if (!profile_path[0]) return 0;
    if (!write_lock_take()) return 0;
    int ok = 1;
    if (!daily_already_played(profile_path, season_stamp)) {
        char line[200];
        int n = snprintf(line, sizeof line, "%s\t%d\n", profile_path, season_stamp);
        ok = n > 0 && (size_t)n < sizeof line && tsv_append(DAILY_LOCK_FILE, line, (size_t)n);
    }
    write_lock_release();
    return ok;
}

static int daily_cap(int value)
{
    return value > 100 ? 100 : value;
}

const char *daily_risky_outcome(int k)
{
    switch (k) {
    case 0:
        coins += 12;
        score += 100;
        return "MFT130O4L8E.G.C";
    case 1:
        hp -= 10;
        score += 160;
        return "MFT120O3L16C<G>C";
    case 2:
        energy -= 14;
        keys += 1;
        score += 140;
        return "MFT220O5L32G>C";
    case 3:
        blade_upgrade += 2;
        score += 120;
        return "MFT175O4L16CEG";
    case 4:
        clues += 1;
        score += 110;
        return "MFT220O5L32G>C";
    }
    return nullptr;
}

void daily_safe_outcome(void)
{
    hp = daily_cap(hp + 6);
    energy = daily_cap(energy + 8);
    score += 25;
}

static int daily_row(int d)
{
    int i = (d - 1) % DAILY_OCTOBER_DAYS;
    return i < 0 ? i + DAILY_OCTOBER_DAYS : i;
}

int daily_october_outcome(int d)
{
    return (13 * daily_row(d) + 7) % 5;
}

int daily_month_outcome(int d, int month_index, int year)
{
    int k = (d + month_index + year) % 5;
    return k < 0 ? k + 5 : k;
}

const char *daily_omen(int d, int month_index)
{
    int n = ((d - 1) / 4 + month_index) % DAILY_OMENS;
    if (n < 0) n += DAILY_OMENS;
    return daily_omens[n];
}
