// e2e_play.h -- what the end-to-end tests share: a BBS site of their own
// (a private copy of GRIMBY with its data directory, and the node
// directories), the launcher started on it, and a caller's moves through
// the game's screens, decided from what the screen shows.
#ifndef E2E_PLAY_H
#define E2E_PLAY_H

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "launcher_process.h"
#include "telnet_client.h"
#include "testdir.h"

// A door directory of the test's own: GRIMBY keeps "data/" beside the
// program, so every test runs its own copy (a symlink would resolve to the
// build directory and share its data).
struct E2ESite {
    TestDir dir;
    std::string door;  // the copy of GRIMBY
    std::string nodes; // the launcher's node directories
    E2ESite();
    std::string data(const std::string &name) const { return dir.read("door/data/" + name); }
    bool has_data(const std::string &name) const { return dir.exists("door/data/" + name); }
    // The names of the files in door/data.
    std::vector<std::string> data_files() const;
    // Starts the launcher on this site with the extra arguments.
    bool Launch(LauncherProcess &launcher, const std::vector<std::string> &args);
};

std::string LauncherProgram();
std::string GameProgram();

// Waits for the text; on time-out records a failure with the screen.
bool Expect(TelnetClient &client, const std::string &text, int timeout_ms = 10000);

// The music question: answers silent (after testing the melody when asked).
bool AnswerMusic(TelnetClient &client, bool test_melody = false);
// Creates a survivor (handle, F, class 1 to 5) and waits for the lobby.
bool CreateSurvivor(TelnetClient &client, const std::string &handle, char class_key = '2');
// From a new connection to the lobby as a new caller.
bool ReachLobbyAsNewCaller(TelnetClient &client, const std::string &handle, char class_key = '2');
// Waits for the lobby (passing October's opening question).
bool AtLobby(TelnetClient &client, int timeout_ms = 10000);
// The words of the month: "CANDY" or "TOKENS", "SANITY" or "HEALTH".
std::string CoinWord(const AnsiScreen &screen);
std::string HealthWord(const AnsiScreen &screen);
// Waits for a guardian's fight screen.
bool AtGuardian(TelnetClient &client);

// Sends a key and waits for the door's answer to be drawn.
void Press(TelnetClient &client, const std::string &key);

// Sends each step's keys and waits for its text (a failure is recorded
// with the screen); false at the first text that does not come.
bool Steps(TelnetClient &client, std::initializer_list<std::pair<std::string, std::string>> steps);
// From the lobby into the first stage of a story: its menu on screen.
bool EnterFirstStage(TelnetClient &client);

// The riddle on the screen: the digit of the right answer, or 0 when the
// riddle is not one the tests know.
char RiddleAnswer(const AnsiScreen &screen);

// The value after a label on the status line ("TOKENS 25"), -1 if absent.
int StatusValue(const AnsiScreen &screen, const std::string &label);
// The filled cells (0 to 14) of the bar on the row that starts with label.
int BarCells(const AnsiScreen &screen, const std::string &label);

enum FightEnd { kFightWon, kFightLost, kFightUndecided };
// Fights the guardian on screen, deciding each move from the screen: the
// readied trunk item first, then throws while tokens last, strikes, and a
// taunt when too exhausted. Bounded; ends at the victory screen (after its
// Continue) or the defeat's final screen.
FightEnd FightGuardian(TelnetClient &client, bool item_readied, int max_moves = 90);

// After a run's last guardian: through the completion screens (and the
// Halloween finale) to the final screen; returns the final score shown and
// the stage reached, -1 when the final screen did not come.
int FinishRun(TelnetClient &client, int *stage_reached = nullptr);
// Plays the story's stages from the stage menu on screen to the final
// screen, fighting each guardian; returns as FinishRun.
int PlayStoryToTheEnd(TelnetClient &client, int *stage_reached);

#endif
