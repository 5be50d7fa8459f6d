// The command line on Windows: the kit's own splitter against the system's
// CommandLineToArgvW, code-page conversions, and the message boxes.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODCmdLn.h"
#include "ODInEx.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

namespace {

using WArgs = std::vector<std::wstring>;

WArgs SystemSplit(const std::wstring &line)
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(line.c_str(), &argc);
    EXPECT_NE(argv, nullptr);
    WArgs result;
    for (int i = 0; argv && i < argc; i++) result.push_back(argv[i]);
    LocalFree(argv);
    return result;
}

WArgs KitSplit(const std::wstring &line)
{
    int argc = 0;
    tODWideChar **argv = ODCmdLnSplitPortable(line.c_str(), &argc, nullptr);
    EXPECT_NE(argv, nullptr);
    WArgs result;
    for (int i = 0; argv && i < argc; i++) result.push_back(argv[i]);
    free(argv);
    return result;
}

std::string Show(const std::wstring &w)
{
    std::string s = "[";
    for (wchar_t c : w) s += c == L'\t' ? std::string("\\t") : std::string(1, (char)c);
    return s + "]";
}

std::string Show(const WArgs &args)
{
    std::string s;
    for (const std::wstring &a : args) s += Show(a) + " ";
    return s;
}

// Tricky lines from a fixed seed: quotes, backslash runs, blanks and tabs.
std::vector<std::wstring> RandomLines(unsigned seed, int count)
{
    std::mt19937 random(seed);
    const wchar_t alphabet[] = L"  \t\"\"\\\\\\ab";
    std::vector<std::wstring> lines;
    for (int i = 0; i < count; i++) {
        std::wstring line(random() % 24, L' ');
        for (wchar_t &c : line) c = alphabet[random() % (sizeof alphabet / sizeof alphabet[0] - 1)];
        lines.push_back(line);
    }
    return lines;
}

const wchar_t *kFixedLines[] = {
    L"one \"two words\" three", L"a\\\"b", L"  \t lead\ttab  trail \t ", L"a\\\\b c\\d",
    L"a\\\\\"b c\"", L"a\\\\\\\"b c", L"\"a\\\\\"", L"\"in \"\"side\" x", L"\"\"", L"\"\" \"\"",
    L"a\"\"b", L"a\"\"\"b", L"\"\"\"\"", L"\"\"\"\"\"", L"\"\"\"\"\"\"", L"\"a b", L"x\"y z\"w",
    L"\\\\\\", L"\\\"", L"\"\\\"\"", L"\"a\"\"\"b\"", L"\\\\\\\\\"\"\"a", L"\t", L"\"\t\"", L"a\\",
    L"\"a\\\"\"\"b c\"", L"\"\"a\"\"", L"\\\\\\\\\\\"\"\"\"\"", L"C:\\Program Files\\door\\ \"C:\\x y\\\\\"",
};

}  // namespace

TEST(CmdLineWin32, TheKitSplitsArgumentsAsTheSystemDoes)
{
    std::vector<std::wstring> lines(std::begin(kFixedLines), std::end(kFixedLines));
    std::vector<std::wstring> random = RandomLines(20250101, 4000);
    lines.insert(lines.end(), random.begin(), random.end());
    int disagreements = 0;
    for (const std::wstring &body : lines) {
        // As the kit splits a given line: behind a dummy program name.
        std::wstring line = L"x " + body;
        WArgs system = SystemSplit(line), kit = KitSplit(line);
        if (system != kit && disagreements++ < 20)
            ADD_FAILURE() << "line " << Show(line) << "\n system: " << Show(system) << "\n kit:    " << Show(kit);
    }
    EXPECT_EQ(disagreements, 0);
}

TEST(CmdLineWin32, TheProgramNameSlotAgreesWhenItHoldsNoQuote)
{
    int compared = 0;
    int disagreements = 0;
    for (const std::wstring &line : RandomLines(777, 4000)) {
        if (line.empty()) continue;  // the system answers with the program's own path
        size_t first_blank = line.find_first_of(L" \t");
        if (line.substr(0, first_blank).find(L'"') != std::wstring::npos) continue;
        compared++;
        WArgs system = SystemSplit(line), kit = KitSplit(line);
        if (system != kit && disagreements++ < 20)
            ADD_FAILURE() << "line " << Show(line) << "\n system: " << Show(system) << "\n kit:    " << Show(kit);
    }
    EXPECT_GT(compared, 1000);
    EXPECT_EQ(disagreements, 0);
}

// Where the program name itself holds quotes or backslash-quote runs, the
// system reads it by a rule of its own (up to the next quote, or the next
// blank, with no escapes); the kit applies its argument rules there too.
// These cases pin both answers down; the kit never splits a given line
// there (it puts a dummy name first).
TEST(CmdLineWin32, TheProgramNameSlotDiffersOnlyWhereTheSystemHasItsOwnRule)
{
    struct {
        const wchar_t *line;
        WArgs system, kit;
    } cases[] = {
        {L"\"abc\"def ghi", {L"abc", L"def", L"ghi"}, {L"abcdef", L"ghi"}},
        {L"a\\\"b c", {L"a\\\"b", L"c"}, {L"a\"b", L"c"}},
        {L"\"a b\\\" c", {L"a b\\", L"c"}, {L"a b\" c"}},
        {L"\"C:\\Program Files\\door.exe\" -L", {L"C:\\Program Files\\door.exe", L"-L"},
         {L"C:\\Program Files\\door.exe", L"-L"}},
        {L" x", {L"", L"x"}, {L"", L"x"}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(SystemSplit(c.line), c.system) << Show(c.line);
        EXPECT_EQ(KitSplit(c.line), c.kit) << Show(c.line);
    }
}

TEST(CmdLineWin32, TheSystemSplitterIsUsedWhenShell32HasOne)
{
    int argc = 0;
    void *token = nullptr;
    tODWideChar **argv = ODWindowsCommandLineToArgv(L"x \"a b\" c", &argc, &token);
    ASSERT_NE(argv, nullptr);
    EXPECT_NE(token, nullptr);
    ASSERT_EQ(argc, 3);
    EXPECT_EQ(std::wstring(argv[1]), L"a b");
    ODWindowsCommandLineFree(argv, token);
}

TEST(CmdLineWin32, ElementZeroIsTheProgramAsTheSystemSplitsIt)
{
    WArgs system = SystemSplit(GetCommandLineW());
    ASSERT_FALSE(system.empty());
    int argc = 0;
    char **argv = od_split_cmd_line("-L", &argc);
    ASSERT_NE(argv, nullptr);
    std::wstring name;
    for (const char *p = argv[0]; *p; p++) name += (wchar_t)(unsigned char)*p;
    EXPECT_EQ(name, system[0]);
    od_free_cmd_line(argv);
}

TEST(CmdLineWin32, BytesOfTheCodePageComeBackUnchanged)
{
    // Every byte the system code page maps to a character and back.
    std::string kept;
    for (int b = 0x21; b < 256; b++) {
        if (b == '"' || b == '\\') continue;
        char in[2] = {(char)b, 0}, out[8] = {};
        wchar_t wide[4] = {};
        if (MultiByteToWideChar(CP_ACP, 0, in, -1, wide, 4) == 2 &&
            WideCharToMultiByte(CP_ACP, 0, wide, -1, out, sizeof out, nullptr, nullptr) == 2 &&
            out[0] == in[0])
            kept += (char)b;
    }
    ASSERT_GE(kept.size(), 90u);
    int argc = 0;
    char **argv = od_split_cmd_line(("a " + kept + " \"" + kept + " z\"").c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(argc, 4);
    EXPECT_EQ(std::string(argv[2]), kept);
    EXPECT_EQ(std::string(argv[3]), kept + " z");
    od_free_cmd_line(argv);
}

// With no display a message box returns at once (the first one of a run may
// take seconds while Wine tries to start its desktop). With one, a watcher
// thread in the dying process finds the box, checks its title and text, and
// presses OK; a box that says anything else ends the process with code 99.
struct BoxWatch {
    std::string title, text;
};

BOOL CALLBACK FindOurBox(HWND window, LPARAM found)
{
    DWORD pid = 0;
    char class_name[16] = {};
    GetWindowThreadProcessId(window, &pid);
    GetClassNameA(window, class_name, sizeof class_name);
    if (pid != GetCurrentProcessId() || strcmp(class_name, "#32770") != 0) return TRUE;
    *(HWND *)found = window;
    return FALSE;
}

DWORD WINAPI WatchForBox(void *argument)
{
    const BoxWatch *watch = (const BoxWatch *)argument;
    for (;;) {
        HWND box = nullptr;
        EnumWindows(FindOurBox, (LPARAM)&box);
        if (box && IsWindowVisible(box)) {
            char title[256] = {}, text[4096] = {};
            GetWindowTextA(box, title, sizeof title);
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
            if (watch->title != title || watch->text != text) ExitProcess(99);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(20);
    }
}

void ExpectBox(const std::string &title, const std::string &text)
{
    static BoxWatch watch;
    watch.title = title;
    watch.text = text;
    CloseHandle(CreateThread(nullptr, 0, WatchForBox, &watch, 0, nullptr));
}

TEST(CmdLineWin32DeathTest, HelpEndsWithCodeOne)
{
    strcpy(od_control.program_name, "GRIMBY - Almanac");
    EXPECT_EXIT(
        {
            ExpectBox("GRIMBY - Almanac Command Line Options", ODCmdLnHelpText());
            od_parse_cmd_line("-N 1 /?");
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(CmdLineWin32DeathTest, FatalStartUpErrorEndsWithCodeZero)
{
    strcpy(od_control.program_name, "GRIMBY - Almanac");
    EXPECT_EXIT(
        {
            ExpectBox("GRIMBY - Almanac", "Unable to read door information (drop) file.");
            ODInitError("Unable to read door information (drop) file.");
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            ExpectBox("GRIMBY - Almanac", "Unable to use provided serial port handle.\n"
                                          "Use the -HELP command line option for help, or -LOCAL for local mode.");
            od_parse_cmd_line("-L");
            ODInitError("Unable to use provided serial port handle.");
        },
        ::testing::ExitedWithCode(0), "");
}
