// The installer's engine in process under Wine, carrying the very resources
// GRIMBY-SETUP carries: installs, re-runs and upgrades with their backups,
// the faults a door directory can hold, and update mode rolled back from a
// failure at every entry in turn.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "setup.h"
#include "testdir.h"

namespace {

std::string Embedded(int index)
{
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(SETUP_RESOURCE_BASE + index), MAKEINTRESOURCEA(10));
    if (!found) return "";
    const char *bytes = (const char *)LockResource(LoadResource(nullptr, found));
    return std::string(bytes, SizeofResource(nullptr, found));
}

std::string Target(const TestDir &dir, int index)
{
    return dir.root() + "\\" + setup_files[index].path;
}

// Every file under root, by relative path, with its bytes.
void Snapshot(const std::string &root, const std::string &relative, std::map<std::string, std::string> *out)
{
    WIN32_FIND_DATAA found;
    HANDLE walk = FindFirstFileA((root + "\\" + relative + "*").c_str(), &found);
    if (walk == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*out)[relative + name + "\\"] = "";
            Snapshot(root, relative + name + "\\", out);
        } else {
            (*out)[relative + name] = TestReadFile(root + "\\" + relative + name);
        }
    } while (FindNextFileA(walk, &found));
    FindClose(walk);
}

std::map<std::string, std::string> Snapshot(const TestDir &dir)
{
    std::map<std::string, std::string> out;
    Snapshot(dir.root(), "", &out);
    return out;
}

// The paths that differ between two snapshots ("" when none): binaries
// make a poor failure message.
std::string Changed(const std::map<std::string, std::string> &now, const std::map<std::string, std::string> &was)
{
    std::string out;
    for (const auto &file : now) {
        auto old = was.find(file.first);
        if (old == was.end()) out += "+" + file.first + " ";
        else if (old->second != file.second) out += "~" + file.first + " ";
    }
    for (const auto &file : was)
        if (!now.count(file.first)) out += "-" + file.first + " ";
    return out;
}

// Runs install_file over the whole table: "" or the first failure's text.
std::string InstallAll(const std::string &dir)
{
    char error[SETUP_ERROR_SIZE];
    for (int i = 0; i < SETUP_FILE_COUNT; i++)
        if (!install_file(dir.c_str(), i, error)) return error;
    return "";
}

std::vector<std::string> messages;
int Capture(const char *text, const char *caption, unsigned type)
{
    messages.push_back(std::string(caption) + ": " + text);
    EXPECT_EQ(type & MB_ICONMASK, (unsigned)MB_ICONERROR);
    return IDOK;
}

class SetupEngine : public ::testing::Test {
protected:
    TestDir door;
    void SetUp() override
    {
        messages.clear();
        setup_message_hook = Capture;
        setup_before_install_hook = nullptr;
    }
    void TearDown() override
    {
        setup_message_hook = nullptr;
        setup_before_install_hook = nullptr;
    }
};

TEST_F(SetupEngine, InstallsOnceThenBacksUpOnlyWhatChangedAndNeverTouchesPreservedFiles)
{
    ASSERT_EQ(InstallAll(door.root()), "");
    for (int i = 0; i < SETUP_FILE_COUNT; i++) EXPECT_EQ(TestReadFile(Target(door, i)), Embedded(i)) << i;
    auto installed = Snapshot(door);
    EXPECT_EQ(installed.size(), 30u);  // 28 files, and the folders docs and hub

    // An identical re-run writes nothing and backs up nothing.
    ASSERT_EQ(InstallAll(door.root()), "");
    EXPECT_EQ(Changed(Snapshot(door), installed), "");

    TestWriteFile(Target(door, 11), "install guide of an older release");
    TestWriteFile(Target(door, 1), "{\"bbs_name\": \"Sysop's own\"}");
    TestWriteFile(Target(door, 26), "the updater already there");
    ASSERT_EQ(InstallAll(door.root()), "");
    EXPECT_EQ(TestReadFile(Target(door, 11)), Embedded(11));
    EXPECT_EQ(TestReadFile(Target(door, 11) + ".previous"), "install guide of an older release");
    EXPECT_EQ(TestReadFile(Target(door, 1)), "{\"bbs_name\": \"Sysop's own\"}");
    EXPECT_EQ(TestReadFile(Target(door, 26)), "the updater already there");
    EXPECT_FALSE(door.exists("grimby.json.previous"));
    EXPECT_FALSE(door.exists("GRIMBY-UPDATE.exe.previous"));

    TestWriteFile(Target(door, 11), "a second older guide");
    ASSERT_EQ(InstallAll(door.root()), "");
    EXPECT_EQ(TestReadFile(Target(door, 11) + ".previous.001"), "a second older guide");
    EXPECT_EQ(TestReadFile(Target(door, 11) + ".previous"), "install guide of an older release");

    // Every backup name taken (one of them by a directory): the file stays
    // as it was and no temporary file is left.
    for (unsigned n = 2; n <= 999; n++) {
        char name[32];
        snprintf(name, sizeof name, ".previous.%03u", n);
        if (n == 500)
            CreateDirectoryA((Target(door, 11) + name).c_str(), nullptr);
        else
            TestWriteFile(Target(door, 11) + name, "b");
    }
    TestWriteFile(Target(door, 11), "a third older guide");
    char error[SETUP_ERROR_SIZE];
    EXPECT_FALSE(install_file(door.root().c_str(), 11, error));
    EXPECT_STREQ(error, "Too many existing backups for docs\\INSTALL.txt");
    EXPECT_EQ(TestReadFile(Target(door, 11)), "a third older guide");
    EXPECT_EQ(Snapshot(door).size(), installed.size() + 1000);  // .previous, .001 to .999
}

TEST_F(SetupEngine, AFaultLeavesTheTargetAsItWasAndNoTemporaryFile)
{
    ASSERT_EQ(InstallAll(door.root()), "");
    char error[SETUP_ERROR_SIZE];

    // The game holding itself open, as a running GRIMBY.exe does.
    TestWriteFile(Target(door, 0), "the running game");
    auto before = Snapshot(door);
    HANDLE held = CreateFileA(Target(door, 0).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(install_file(door.root().c_str(), 0, error));
    EXPECT_STREQ(error, "Cannot install GRIMBY.exe (error 32). Close running game first.");
    CloseHandle(held);
    EXPECT_EQ(Changed(Snapshot(door), before), "");

    // A folder the release needs is a file.
    TestDir other;
    other.write("hub", "not a folder");
    EXPECT_FALSE(install_file(other.root().c_str(), 4, error));
    EXPECT_STREQ(error, "Cannot create directory for hub\\sync.example.json (error 267)");
    EXPECT_EQ(other.read("hub"), "not a folder");

    // A path one character too long names the file it was for.
    std::string deep = door.root() + "\\" + std::string(259 - door.root().size() - 1 - 20, 'd');
    EXPECT_FALSE(install_file(deep.c_str(), 9, error));
    EXPECT_STREQ(error, "Installation path too long for docs\\ENROLLMENT-DEPLOYMENT.txt");
    EXPECT_EQ(GetFileAttributesA(deep.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The update mode's door directory: an older release in place, the
// marker, and one file of the sysop's own.
void OlderRelease(const TestDir &door, bool with_updater)
{
    for (int i = 0; i < SETUP_FILE_COUNT; i++) {
        if (i == 26 && !with_updater) continue;
        if (i == 9 || i == 24) continue;  // new in this release
        door.write(std::string(setup_files[i].path), "older " + std::to_string(i));
    }
    door.write(".grimby-maintenance", "");
    door.write("data\\story.tsv", "scores\n");
}

std::map<std::string, std::string> WithoutBackups(std::map<std::string, std::string> files)
{
    for (auto it = files.begin(); it != files.end();)
        it = it->first.rfind("update-backup-", 0) == 0 ? files.erase(it) : std::next(it);
    return files;
}

int failing_at = -1;
int FailAt(const char *dir, int index, char *error)
{
    if (index != failing_at) return 1;
    snprintf(error, SETUP_ERROR_SIZE, "injected at %d", index);
    // A real fault where there is a file to hold: the running game's grip.
    std::string path = std::string(dir) + "\\" + setup_files[index].path;
    static char real[SETUP_ERROR_SIZE];
    if (setup_files[index].preserve) return 0;
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 0;
    int ok = install_file(dir, index, real);
    CloseHandle(held);
    snprintf(error, SETUP_ERROR_SIZE, "%s", real);
    return ok;
}

TEST_F(SetupEngine, UpdateModeRollsBackEveryEntryBeforeAFailureAtAnyEntry)
{
    setup_before_install_hook = FailAt;
    for (failing_at = 0; failing_at < SETUP_FILE_COUNT; failing_at++) {
        SCOPED_TRACE("failing at entry " + std::to_string(failing_at));
        TestDir older;
        OlderRelease(older, failing_at % 2 == 0);
        auto before = Snapshot(older);
        messages.clear();
        EXPECT_EQ(setup_update(("\"" + older.root() + "\"").c_str()), 1);
        EXPECT_EQ(Changed(WithoutBackups(Snapshot(older)), before), "");
        ASSERT_EQ(messages.size(), 1u);
        if (failing_at == 1 || failing_at == 9 || failing_at == 24 || failing_at == 26)
            EXPECT_EQ(messages[0], "GRIMBY update failed: injected at " + std::to_string(failing_at));
        else
            EXPECT_EQ(messages[0], std::string("GRIMBY update failed: Cannot install ") + setup_files[failing_at].path +
                                       " (error 32). Close running game first.");
    }
}

TEST_F(SetupEngine, UpdateModeInstallsEverythingOrRefusesWithoutItsPreconditions)
{
    OlderRelease(door, true);
    std::string quoted = "\"" + door.root() + "\"";
    DeleteFileA((door.root() + "\\.grimby-maintenance").c_str());
    auto before = Snapshot(door);
    EXPECT_EQ(setup_update(quoted.c_str()), 1);  // no marker
    door.write(".grimby-maintenance", "");
    DeleteFileA((door.root() + "\\grimby.json").c_str());
    EXPECT_EQ(setup_update(quoted.c_str()), 1);  // not an installation
    door.mkdir("grimby.json");
    EXPECT_EQ(setup_update(quoted.c_str()), 1);
    RemoveDirectoryA((door.root() + "\\grimby.json").c_str());
    door.write("grimby.json", "older 1");
    EXPECT_EQ(setup_update(std::string(161, 'x').c_str()), 1);
    EXPECT_EQ(setup_update("\""), 1);
    EXPECT_EQ(Snapshot(door).size(), before.size() + 1);  // the marker, back again
    EXPECT_TRUE(messages.empty());

    EXPECT_EQ(setup_update(door.root().c_str()), 0);
    for (int i = 0; i < SETUP_FILE_COUNT; i++)
        EXPECT_EQ(TestReadFile(Target(door, i)), setup_files[i].preserve ? "older " + std::to_string(i) : Embedded(i))
            << i;
    EXPECT_EQ(door.read("data\\story.tsv"), "scores\n");
    EXPECT_TRUE(door.exists(".grimby-maintenance"));  // the updater's to remove
    EXPECT_TRUE(messages.empty());
}

}  // namespace
