// The release material a sysop reads: every file the installer carries
// from release/ is there, CP437-clean and true to the code it describes.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testdir.h"

namespace {

const std::string kRelease = GRIMBY_SOURCE_DIR "/release/";

// The table the installer embeds, as the build reads it.
std::vector<std::string> ReleaseFiles()
{
    std::string cmake = TestReadFile(GRIMBY_SOURCE_DIR "/setup/release_files.cmake");
    std::string list = cmake.substr(cmake.find("set(GRIMBY_RELEASE_FILES") + 24);
    list = list.substr(0, list.find(')'));
    std::istringstream words(list);
    std::vector<std::string> files;
    for (std::string word; words >> word;) files.push_back(word);
    return files;
}

std::string Windows(std::string path)
{
    for (char &c : path)
        if (c == '/') c = '\\';
    return path;
}

}  // namespace

TEST(ReleaseMaterial, EveryCarriedFileIsThereCleanAndAgreesWithTheInstallersTable)
{
    std::vector<std::string> files = ReleaseFiles();
    ASSERT_EQ(files.size(), 28u);
    // The table in the engine names the same paths in the same order.
    std::string table = TestReadFile(GRIMBY_SOURCE_DIR "/setup/setup_table.cpp");
    size_t at = 0;
    for (const std::string &file : files) {
        std::string entry = "{\"" + std::regex_replace(Windows(file), std::regex("\\\\"), "\\\\") + "\", ";
        size_t found = table.find(entry, at);
        EXPECT_NE(found, std::string::npos) << file << " out of order or missing in setup_table.cpp";
        if (found != std::string::npos) at = found;
    }
    std::set<std::string> carried;
    for (const std::string &file : files) {
        carried.insert(Windows(file));
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".exe") == 0) continue;
        std::string text = TestReadFile(kRelease + file);
        EXPECT_FALSE(text.empty()) << file;
        for (unsigned char c : text)
            if (!(c >= 32 && c < 127) && c != '\r' && c != '\n') {
                ADD_FAILURE() << file << " has byte " << int(c);
                break;
            }
        // Notepad on older Windows shows a bare line feed as nothing.
        if (file.find(".txt") != std::string::npos || file == "README.md" || file == "FILE_ID.DIZ") {
            EXPECT_EQ(std::regex_search(text, std::regex("[^\r]\n")), false) << file << " has a bare LF";
        }
    }
    // Every file a document points the sysop to is one the release has, or
    // one the programs make.
    std::set<std::string> made = {"data\\interbbs-outbox.tsv", "data\\interbbs-story.tsv", "data\\interbbs-daily.tsv",
                                  "hub\\sync.json",           "hub\\sync-windows-error.log", "hub\\config-error.log",
                                  "hub\\sync-checkpoint.txt", "data\\.grimby-write.lock",    "data\\.grimby-write.guard",
                                  "docs\\*.txt"};
    std::regex named("(docs|hub|data)\\\\[A-Za-z0-9.*_-]+\\.[a-z]+|[A-Z][A-Z-]+\\.exe");
    for (const std::string &file : files) {
        std::string text = TestReadFile(kRelease + file);
        for (std::sregex_iterator it(text.begin(), text.end(), named), end; it != end; ++it) {
            std::string name = it->str();
            if (name.find('\\') == std::string::npos) {
                bool known = carried.count(name) || carried.count("hub\\" + name) || name == "GRIMBY-SETUP.exe";
                EXPECT_TRUE(known) << file << " names " << name;
            } else {
                EXPECT_TRUE(carried.count(name) || made.count(name)) << file << " names " << name;
            }
        }
    }
}

TEST(ReleaseMaterial, SettingsVersionAndDescriptionSayWhatTheCodeDoes)
{
    std::string version = TestReadFile(kRelease + "release.version");
    EXPECT_TRUE(std::regex_match(version, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version;
    std::string number = version.substr(0, version.size() - 1);

    // FILE_ID.DIZ: at most 10 lines of 45 characters, naming this version.
    std::string diz = TestReadFile(kRelease + "FILE_ID.DIZ");
    std::istringstream lines(diz);
    int count = 0;
    for (std::string line; std::getline(lines, line); count++) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        EXPECT_LE(line.size(), 45u) << line;
    }
    // A test build adds one line of its own.
    EXPECT_LE(count, 9);
    EXPECT_NE(diz.find("v" + number), std::string::npos);
    EXPECT_NE(TestReadFile(kRelease + "README.md").find(number), std::string::npos);
    EXPECT_NE(TestReadFile(kRelease + "docs/STATUS.txt").find("Release " + number + "."), std::string::npos);

    // Score sharing is off until the sysop turns it on; the example
    // credential is no working one.
    std::string config = TestReadFile(kRelease + "grimby.json");
    EXPECT_TRUE(std::regex_search(config, std::regex("\"score_sharing\"\\s*:\\s*\\{\\s*\"enabled\"\\s*:\\s*false")));
    std::string example = TestReadFile(kRelease + "hub/sync.example.json");
    EXPECT_NE(example.find("\"secret\": \"REPLACE-"), std::string::npos);

    // The door's options and error levels, as the door kit and the game
    // have them.
    std::string install = TestReadFile(kRelease + "docs/INSTALL.txt");
    std::string help = TestReadFile(GRIMBY_SOURCE_DIR "/doorkit/ODCmdLn.cpp");
    for (const char *option : {"-D ", "-N ", "-SOCKET", "-P)", "-HELP", "-L "}) {
        EXPECT_NE(install.find(option), std::string::npos) << option;
        std::string bare = std::regex_replace(std::string(option), std::regex("[ )]"), "");
        EXPECT_TRUE(help.find("\n    \"" + bare) != std::string::npos || help.find(" " + bare + "\\t") != std::string::npos)
            << bare << " is no door option";
    }
    for (const char *level : {"  1  carrier lost", "  2  sysop hang-up", "  3  the caller's time ran out",
                              "  4  inactivity", "  5  the sysop returned the caller"})
        EXPECT_NE(install.find(level), std::string::npos) << level;
    // The installer's and the updater's texts the documents quote.
    std::string setup = TestReadFile(GRIMBY_SOURCE_DIR "/setup/setup_window.cpp") +
                        TestReadFile(GRIMBY_SOURCE_DIR "/setup/setup_engine.cpp") +
                        TestReadFile(GRIMBY_SOURCE_DIR "/setup/setup_update.cpp");
    for (const char *text : {"Choose an install directory.", "grimby.json is a directory, not a configuration file.",
                             "Too many existing backups for %s", "Close running game first.",
                             "Enter a BBS name and domain without quotes or backslashes.",
                             "Update failed and rollback was incomplete", "GRIMBY update failed",
                             "update-backup-%lu-%lu", "--chat-enable", "--test-connection", "--gui-setup"})
        EXPECT_NE(setup.find(text), std::string::npos) << text;
}
