// The command line on Linux: help and fatal messages on the standard
// streams, bytes kept intact, and the process line rebuilt from
// /proc/self/cmdline in a real child process.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODCmdLn.h"
#include "ODInEx.h"
#include "testdir.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

const char kChildVariable[] = "GRIMBY_CMDLINE_CHILD";

// Length-prefixed records, so any byte survives.
void PutRecord(std::string *out, const std::string &record)
{
    *out += std::to_string(record.size()) + ":" + record;
}

Args GetRecords(const std::string &bytes)
{
    Args records;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t colon = bytes.find(':', at);
        if (colon == std::string::npos) break;
        size_t length = std::stoul(bytes.substr(at, colon - at));
        records.push_back(bytes.substr(colon + 1, length));
        at = colon + 1 + length;
    }
    return records;
}

// In the child (this same program, started with kChildVariable naming an
// output file): the process line as the kit rebuilds and splits it, then
// element 0 of od_split_cmd_line, then the process ends before any test.
struct ChildMode {
    ChildMode()
    {
        const char *path = getenv(kChildVariable);
        if (!path) return;
        std::string out;
        char *line = ODCmdLnProcessLine();
        tODWideChar *wide = line ? ODCmdLnToWide(line) : nullptr;
        int argc = 0;
        void *token = nullptr;
        tODWideChar **pieces = wide ? ODWindowsCommandLineToArgv(wide, &argc, &token) : nullptr;
        for (int i = 0; pieces && i < argc; i++) {
            std::string element(ODCmdLnFromWide(pieces[i], nullptr, 0), '\0');
            ODCmdLnFromWide(pieces[i], &element[0], element.size());
            element.pop_back();
            PutRecord(&out, element);
        }
        int count = 0;
        char **vector = od_split_cmd_line("", &count);
        PutRecord(&out, vector && vector[0] ? vector[0] : "<none>");
        od_free_cmd_line(vector);
        if (pieces) ODWindowsCommandLineFree(pieces, token);
        free(wide);
        free(line);
        FILE *f = fopen(path, "wb");
        if (f) {
            fwrite(out.data(), 1, out.size(), f);
            fclose(f);
        }
        _exit(f ? 0 : 3);
    }
} child_mode;

// Starts this program again with exactly these argv elements (argv[0]
// included) and returns what the child recorded.
Args RunChild(const Args &argv, const TestDir &dir)
{
    std::string out_path = dir.path("child.out");
    std::string variable = std::string(kChildVariable) + "=" + out_path;
    std::vector<char *> child_argv;
    for (const std::string &a : argv) child_argv.push_back(const_cast<char *>(a.c_str()));
    child_argv.push_back(nullptr);
    std::vector<char *> child_env;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, kChildVariable, sizeof kChildVariable - 1) != 0) child_env.push_back(*e);
    child_env.push_back(const_cast<char *>(variable.c_str()));
    child_env.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        execve("/proc/self/exe", child_argv.data(), child_env.data());
        _exit(127);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return GetRecords(dir.read("child.out"));
}

// An exact text as a POSIX extended regular expression.
std::string Exactly(const std::string &text)
{
    std::string regex = "^";
    for (char c : text) {
        if (strchr("\\.^$|?*+()[]{}", c)) regex += '\\';
        regex += c;
    }
    return regex + "$";
}

void StdoutToStderr()
{
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

}  // namespace

TEST(CmdLinePosixDeathTest, HelpPrintsTheTitleAndTextAndExitsWithOne)
{
    strcpy(od_control.program_name, "GRIMBY - Almanac");
    std::string expected = std::string("GRIMBY - Almanac Command Line Options\n\n") + ODCmdLnHelpText() + "\n";
    for (const char *line : {"-?", "-N 2 /h -L", "-HELP"})
        EXPECT_EXIT(
            {
                StdoutToStderr();
                od_parse_cmd_line(line);
            },
            ::testing::ExitedWithCode(1), Exactly(expected))
            << line;
    // The text itself: the note, an empty line, one line per option.
    std::string help = ODCmdLnHelpText();
    EXPECT_EQ(help.rfind("(Note that some options can be overriden by configuration or drop files.)\n\n-C x", 0), 0u);
    EXPECT_NE(help.find("\n-SOCKET x\t- Provides an already open TCP/IP socket descriptor.\n"
                        "-STDIO\t\t- Caller is on standard input and output (a pseudo-terminal).\n"
                        "-SILENT\t\t- Operate"),
              std::string::npos);
    EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 25);
}

TEST(CmdLinePosixDeathTest, FatalStartUpErrorsGoToStandardErrorWithCodeZero)
{
    strcpy(od_control.program_name, "GRIMBY - Almanac");
    EXPECT_EXIT(ODInitError("Unable to read door information (drop) file."), ::testing::ExitedWithCode(0),
                Exactly("Unable to read door information (drop) file.\n"));
    EXPECT_EXIT(
        {
            od_parse_cmd_line("-N 2");
            ODInitError("No UART at specified port address, cannot continue.\n");
        },
        ::testing::ExitedWithCode(0),
        Exactly("No UART at specified port address, cannot continue.\n\n"
                "Use the -HELP command line option for help, or -LOCAL for local mode.\n"));
}

TEST(CmdLinePosix, EveryByteValueSurvivesQuotingAndSplitting)
{
    Args args;
    std::string all;
    for (int b = 1; b < 256; b++) all += (char)b;
    args.push_back(all);
    std::mt19937 random(31337);
    for (int i = 0; i < 300; i++) {
        std::string a(random() % 12, '\0');
        for (char &c : a) c = (char)(1 + random() % 255);
        args.push_back(a);
    }
    std::vector<const char *> pointers;
    for (const std::string &a : args) pointers.push_back(a.c_str());
    char *line = ODCmdLnQuoteArgs((int)pointers.size(), pointers.data());
    ASSERT_NE(line, nullptr);
    int argc = 0;
    char **argv = od_split_cmd_line(line, &argc);
    free(line);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(argc, (int)args.size() + 1);
    for (int i = 1; i < argc; i++) EXPECT_EQ(std::string(argv[i]), args[i - 1]) << i;
    od_free_cmd_line(argv);

    // And a name in CP437 box characters reaches the field untouched.
    od_parse_cmd_line("-USERNAME \xC9\xCD\xBB Caf\xC3\xA9");
    EXPECT_STREQ(od_control.caller_name, "\xC9\xCD\xBB Caf\xC3\xA9");
}

TEST(CmdLinePosix, TheProcessLineIsRebuiltFromTheKernelsArgv)
{
    TestDir dir;
    Args argv = {"/odd dir/\"prog\" \\", "", " ", "\t", "a b", "\"", "\\", "\\\\\"", "trailing\\",
                 "in\\side", "\xff\x80\xc3\xa9", "-N", "/L", "x\ny", "\"\"", "\\\"a b\\\"",
                 std::string(100000, 'L')};
    std::mt19937 random(4242);
    for (int i = 0; i < 200; i++) {
        std::string a(random() % 10, '\0');
        for (char &c : a) c = (char)(1 + random() % 255);
        argv.push_back(a);
    }
    Args got = RunChild(argv, dir);
    ASSERT_EQ(got.size(), argv.size() + 1);
    for (size_t i = 0; i < argv.size(); i++) EXPECT_EQ(got[i], argv[i]) << i;
    EXPECT_EQ(got.back(), argv[0]);  // od_split_cmd_line's element 0

    // An empty program name, and one that starts with a blank.
    Args bare = {"", "x"};
    got = RunChild(bare, dir);
    EXPECT_EQ(got, (Args{"", "x", ""}));
    Args blank = {" lead", "-L"};
    got = RunChild(blank, dir);
    EXPECT_EQ(got, (Args{" lead", "-L", " lead"}));
}

TEST(CmdLinePosix, ElementZeroIsTheRunningProgram)
{
    std::ifstream f("/proc/self/cmdline", std::ios::binary);
    std::string first;
    std::getline(f, first, '\0');
    int argc = 0;
    char **argv = od_split_cmd_line("-L", &argc);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(std::string(argv[0]), first);
    od_free_cmd_line(argv);
}
