// e2e_play.cpp -- the end-to-end tests' site, launcher and caller moves.
#include "e2e_play.h"

#include <gtest/gtest.h>

#include <ctype.h>
#include <stdlib.h>

#include <filesystem>

namespace fs = std::filesystem;

std::string LauncherProgram()
{
    return std::string(GRIMBY_BINARY_DIR) + "/grimby-launch";
}

std::string GameProgram()
{
    return std::string(GRIMBY_BINARY_DIR) + "/game/GRIMBY";
}

E2ESite::E2ESite()
{
    door = dir.mkdir("door") + "/GRIMBY";
    nodes = dir.path("nodes");
    std::error_code ec;
    fs::copy_file(GameProgram(), door, fs::copy_options::overwrite_existing, ec);
    EXPECT_FALSE(ec) << "cannot copy " << GameProgram() << ": " << ec.message();
    fs::permissions(door, fs::perms::owner_all, fs::perm_options::add, ec);
}

std::vector<std::string> E2ESite::data_files() const
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir.path("door/data"), ec))
        names.push_back(entry.path().filename().string());
    return names;
}

bool E2ESite::Launch(LauncherProcess &launcher, const std::vector<std::string> &args)
{
    std::vector<std::string> all = {"--door", door, "--nodes", nodes};
    all.insert(all.end(), args.begin(), args.end());
    bool ok = launcher.Start(LauncherProgram(), all);
    EXPECT_TRUE(ok) << "the launcher did not start:\n" << launcher.output();
    return ok;
}

bool Expect(TelnetClient &client, const std::string &text, int timeout_ms)
{
    bool seen = client.WaitFor(text, timeout_ms);
    EXPECT_TRUE(seen) << "waited for \"" << text << "\"; the screen shows:\n" << client.Dump();
    return seen;
}

void Press(TelnetClient &client, const std::string &key)
{
    client.Type(key);
    client.WaitAnswer();
}

bool Steps(TelnetClient &client, std::initializer_list<std::pair<std::string, std::string>> steps)
{
    for (const auto &step : steps) {
        client.Type(step.first);
        if (!Expect(client, step.second)) return false;
    }
    return true;
}

bool EnterFirstStage(TelnetClient &client)
{
    return Steps(client, {{"s", "[C] CONTINUE     [Q] BACK TO LOBBY"}, {"c", "[1] EXPLORE    [2] PUZZLE"}});
}

bool AnswerMusic(TelnetClient &client, bool test_melody)
{
    if (!Expect(client, "[Y] ENABLE SOUND  [N] SILENT")) return false;
    if (test_melody) {
        client.Type("t");
        if (!Expect(client, "Did you hear the scale? Choose Y/N.")) return false;
    }
    client.Type("n");
    return true;
}

bool CreateSurvivor(TelnetClient &client, const std::string &handle, char class_key)
{
    if (!Expect(client, "CHOOSE YOUR SURVIVOR")) return false;
    client.Type(handle + "\r");
    if (!Expect(client, "[Y] YES, KEEP IT")) return false;
    client.Type("y");
    if (!Expect(client, "CHOOSE M / F")) return false;
    client.Type("f");
    if (!Expect(client, "CHOOSE YOUR CLASS")) return false;
    client.Type(std::string(1, class_key));
    return AtLobby(client);
}

bool AtLobby(TelnetClient &client, int timeout_ms)
{
    // In October the first way into the lobby passes the opening's question.
    int seen = client.WaitForAny({"[S] STORY - 8 MONTHLY STAGES", "[G] GO STRAIGHT TO THE LOBBY"}, timeout_ms);
    if (seen == 1) client.Type("g");
    return Expect(client, "[S] STORY - 8 MONTHLY STAGES", timeout_ms) && Expect(client, "[Q] RETURN TO BBS");
}

std::string CoinWord(const AnsiScreen &screen)
{
    return StatusValue(screen, "CANDY") >= 0 ? "CANDY" : "TOKENS";
}

std::string HealthWord(const AnsiScreen &screen)
{
    return BarCells(screen, "SANITY") >= 0 ? "SANITY" : "HEALTH";
}

bool AtGuardian(TelnetClient &client)
{
    bool seen = client.WaitForEither("THE GUARDIAN BLOCKS YOUR PATH!", "THE HARVEST IS HUNGRY!") >= 0;
    EXPECT_TRUE(seen) << "no guardian on the screen:\n" << client.Dump();
    if (seen) client.WaitQuiet();
    return seen;
}

int FinishRun(TelnetClient &client, int *stage_reached)
{
    int row, col;
    for (int step = 0; step < 4; step++) {
        // The Halloween finale's choices come between the last guardian
        // and the final screen.
        int seen = client.WaitForAny({"FINAL SCORE:", "CAMPAIGN COMPLETE", "[1] CLIMB THE STEEPLE",
                                      "[1] PROTECT THE CANDLE", "HALLOWEEN - DAWN BREAKS"});
        if (seen < 0) break;
        if (seen == 0) {
            client.WaitQuiet();
            client.screen().find("FINAL SCORE:", &row, &col);
            std::string line = client.screen().line(row);
            size_t reached = line.find("BOSS REACHED: ");
            if (stage_reached && reached != std::string::npos) *stage_reached = atoi(line.c_str() + reached + 14);
            return atoi(line.c_str() + col - 1 + 12);
        }
        Press(client, seen == 1 || seen == 4 ? "c" : "1");
    }
    ADD_FAILURE() << "the run did not reach its final screen:\n" << client.Dump();
    return -1;
}

bool ReachLobbyAsNewCaller(TelnetClient &client, const std::string &handle, char class_key)
{
    return AnswerMusic(client) && CreateSurvivor(client, handle, class_key);
}

namespace {

std::string Squeeze(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// The riddle's words as the caller reads them, rows joined, art excluded.
std::string RiddleText(const AnsiScreen &screen)
{
    std::string text;
    for (int row = 6; row <= 11; row++) text += " " + screen.text(row, 1, 44);
    return Squeeze(text);
}

}  // namespace

char RiddleAnswer(const AnsiScreen &screen)
{
    // What a caller knows: the thing each riddle describes.
    static const struct {
        const char *riddle, *answer;
    } known[] = {
        {"I turn in a lock but have no engine.", "KEY"},
        {"I show the way but never travel.", "MAP"},
        {"I have a voice but no mouth.", "BELL"},
        {"I show your face but have no eyes.", "MIRROR"},
        {"I carry stories between two covers.", "BOOK"},
        {"I carry a flame through the dark.", "LANTERN"},
        {"I buy supplies but cannot eat.", "COIN"},
        {"I count the hours but never sleep.", "CLOCK"},
        {"A face carved by hand, a heart made of fire.", "LANTERN"},
        {"Two lights approach, yet no driver is there.", "GHOST CAR"},
        {"The garage door demands the tool that turns bolts.", "WRENCH"},
        {"Which way does the corn lean when there is no wind?", "AWAY"},
        {"The crypt inscription: what remains after flesh?", "BONE"},
        {"The judge has no eyes, but watches from a post.", "SCARECROW"},
        {"The Rot King fears one thing that helps plants grow.", "SALT"},
        {"Grimby's throne burns with a flame that has no heat.", "GHOSTLIGHT"},
    };
    std::string text = RiddleText(screen);
    const char *answer = nullptr;
    for (const auto &k : known)
        if (text.find(k.riddle) != std::string::npos) answer = k.answer;
    if (!answer) return 0;
    // The option line: "[1] A [2] B [3] C", with any spacing.
    for (int row = 6; row <= 16; row++) {
        std::string line = Squeeze(screen.text(row, 1, 44));
        if (line.find("[1] ") == std::string::npos || line.find("[3] ") == std::string::npos) continue;
        for (char digit = '1'; digit <= '3'; digit++) {
            size_t at = line.find(std::string("[") + digit + "] ");
            if (at == std::string::npos) continue;
            at += 4;
            size_t end = line.find(" [", at);
            std::string option = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (option == answer) return digit;
        }
    }
    return 0;
}

int StatusValue(const AnsiScreen &screen, const std::string &label)
{
    int row, col;
    if (!screen.find("STAGE ", &row, &col)) return -1;
    std::string line = screen.line(row);
    size_t at = line.find(" " + label + " ");
    if (at == std::string::npos) return -1;
    return atoi(line.c_str() + at + label.size() + 2);
}

int BarCells(const AnsiScreen &screen, const std::string &label)
{
    for (int row = 1; row <= AnsiScreen::kRows; row++) {
        if (screen.text(row, 3, (int)label.size()) != label) continue;
        int cells = 0;
        for (int col = 14; col <= 27; col++) cells += screen.ch(row, col) == 0xDB;
        return cells;
    }
    return -1;
}

FightEnd FightGuardian(TelnetClient &client, bool item_readied, int max_moves)
{
    int row, col;
    for (int move = 0; move < max_moves; move++) {
        const AnsiScreen &screen = client.screen();
        if (screen.find("THE MONSTER FALLS!", &row, &col)) {
            client.Type("c");
            return kFightWon;
        }
        if (screen.find("FINAL SCORE:", &row, &col)) return kFightLost;
        if (client.closed()) return kFightUndecided;
        std::string key;
        int tokens = StatusValue(screen, "TOKENS");
        if (tokens < 0) tokens = StatusValue(screen, "CANDY");
        if (screen.find("TOO EXHAUSTED!", &row, &col)) key = "5";
        else if (item_readied) {
            key = "4";
            item_readied = false;
        } else if (tokens >= 3) key = "2";
        else key = "1";
        Press(client, key);
    }
    return kFightUndecided;
}

int PlayStoryToTheEnd(TelnetClient &client, int *stage_reached)
{
    for (int stage = 0; stage < 8; stage++) {
        int seen = client.WaitForAny({"[4] BOSS", "FINAL SCORE:", "CAMPAIGN COMPLETE", "[1] CLIMB THE STEEPLE"});
        if (seen < 0) break;
        if (seen > 0) return FinishRun(client, stage_reached);
        client.Type("4");
        if (!AtGuardian(client)) break;
        if (FightGuardian(client, false) == kFightUndecided) break;
        // The next stage's menu (or the end of the run) replaces the victory.
        client.WaitQuiet();
    }
    return FinishRun(client, stage_reached);
}
