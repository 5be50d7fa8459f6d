// The command line: option parsing into od_control, splitting, quoting.
#include <gtest/gtest.h>

#include "doorkit.h"
#include "ODCmdLn.h"
#include "ODInEx.h"

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

using Args = std::vector<std::string>;

// Parses the arguments as if they followed the program name.
void Parse(const Args &args)
{
    std::vector<char *> argv;
    static char program[] = "door";
    argv.push_back(program);
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ODParseCommandLineArguments((int)args.size() + 1, argv.data());
}

// od_split_cmd_line, as strings; element 0 (the program) dropped.
Args Split(const std::string &line, int *count_out = nullptr)
{
    int argc = -1;
    char **argv = od_split_cmd_line(line.c_str(), &argc);
    EXPECT_NE(argv, nullptr);
    if (count_out) *count_out = argc;
    Args result;
    if (!argv) return result;
    EXPECT_EQ(argv[argc], nullptr);
    for (int i = 1; i < argc; i++) result.push_back(argv[i]);
    od_free_cmd_line(argv);
    return result;
}

std::u16string Wide(const std::string &bytes)
{
    std::u16string w;
    for (unsigned char c : bytes) w += (char16_t)c;
    return w;
}

// The kit's own splitter on an ASCII line.
Args SplitPortable(const std::string &line)
{
    std::u16string w = Wide(line);
    std::vector<tODWideChar> units(w.begin(), w.end());
    units.push_back(0);
    int argc = -1;
    tODWideChar **argv = ODCmdLnSplitPortable(units.data(), &argc, nullptr);
    EXPECT_NE(argv, nullptr);
    Args result;
    if (!argv) return result;
    for (int i = 0; i < argc; i++) {
        std::string s;
        for (const tODWideChar *p = argv[i]; *p; p++) s += (char)(unsigned char)*p;
        result.push_back(s);
    }
    free(argv);
    return result;
}

std::string Quote(const Args &args)
{
    std::vector<const char *> pointers;
    for (const std::string &a : args) pointers.push_back(a.c_str());
    char *line = ODCmdLnQuoteArgs((int)pointers.size(), pointers.data());
    EXPECT_NE(line, nullptr);
    std::string result = line ? line : "";
    free(line);
    return result;
}

// Sends what the statement prints on standard output to standard error,
// where a death test can see it.
void StdoutToStderr()
{
    fflush(stdout);
    dup2(fileno(stderr), fileno(stdout));
}

}  // namespace

// ---- settings ----

TEST(CmdLineParse, ALineWithoutOptionsStillSetsAnsiAndAnHour)
{
    od_parse_cmd_line("");
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    EXPECT_EQ((int)od_control.caller_time_left, 60);
    EXPECT_EQ(bParsedCmdLine, 1);
    EXPECT_EQ((int)od_control.force_local, 0);
    EXPECT_EQ((int)wPreSetInfo, 0);
    EXPECT_EQ(dwODPresetPort, OD_NO_PRESET_PORT);
    EXPECT_EQ(bODInitialized, 0);  // parsing never starts the kit
}

TEST(CmdLineParse, EveryOptionReachesItsField)
{
    od_parse_cmd_line("-L -B 38400 -P COM2 -N 3 -MAXTIME 30 -ADDRESS 3f8 -IRQ 4 -NOFOSSIL -NOFIFO "
                      "-D /bbs/node3/door.sys -TIMELEFT 45 -SECURITY 100 -HANDLE 77 -SILENT "
                      "-CP437UTF8 -STDIO -CONFIG door.cfg -PERSONALITY Fancy -USERNAME Ada Lovelace "
                      "-LOCATION London, UK -BBSNAME The Analytical Engine -G 0");
    ODControl c = od_control;
    EXPECT_EQ((int)c.force_local, 1);
    EXPECT_EQ((uint64_t)c.remote_bps, 38400u);
    EXPECT_EQ((int)c.com_port, 1);
    EXPECT_EQ((int)c.node, 3);
    EXPECT_EQ((int)c.max_time, 30);
    EXPECT_EQ((int)c.port_address, 0x3f8);
    EXPECT_EQ((int)c.port_irq, 4);
    EXPECT_EQ((int)c.no_fossil, 1);
    EXPECT_EQ((int)c.no_fifo, 1);
    EXPECT_STREQ(c.drop_path, "/bbs/node3/door.sys");
    EXPECT_EQ((int)c.caller_time_left, 45);
    EXPECT_EQ((int)c.caller_security, 100);
    EXPECT_EQ((uint64_t)c.open_handle, 77u);
    EXPECT_EQ((int)c.handle_is_socket, 0);
    EXPECT_EQ((int)c.silent_mode, 1);
    EXPECT_EQ((int)c.remote_utf8, 1);
    EXPECT_EQ(bODUseStdio, 1);
    EXPECT_STREQ(c.caller_name, "Ada Lovelace");
    EXPECT_STREQ(c.caller_location, "London, UK");
    EXPECT_STREQ(c.system_name, "The Analytical Engine");
    EXPECT_EQ((int)c.caller_ansi, 0);
    EXPECT_EQ((int)wPreSetInfo, OD_PRESET_BPS | OD_PRESET_PORT);
    EXPECT_EQ(dwODPresetPort, 1u);
    EXPECT_EQ((int)c.last_error, 0);
}

TEST(CmdLineParse, KeywordsIgnoreCaseAndTakeEitherLeader)
{
    struct {
        const char *argument;
        int option;
    } cases[] = {
        {"-C", kODParamConfig},        {"/config", kODParamConfig},   {"-ConfigFile", kODParamConfig},
        {"-cfgfile", kODParamConfig},  {"-CFG", kODParamConfig},      {"/l", kODParamLocal},
        {"-Local", kODParamLocal},     {"-b", kODParamBPS},           {"-bps", kODParamBPS},
        {"/BAUD", kODParamBPS},        {"-p", kODParamPort},          {"-port", kODParamPort},
        {"-n", kODParamNode},          {"/Node", kODParamNode},       {"-?", kODParamHelp},
        {"/h", kODParamHelp},          {"-help", kODParamHelp},       {"-personality", kODParamPersonality},
        {"-maxtime", kODParamMaxTime}, {"-address", kODParamAddress}, {"-irq", kODParamIRQ},
        {"-nofossil", kODParamNoFossil}, {"-nofifo", kODParamNoFIFO}, {"-dropfile", kODParamDropFile},
        {"/d", kODParamDropFile},      {"-username", kODParamUserName}, {"-timeleft", kODParamTimeLeft},
        {"-security", kODParamSecurity}, {"-location", kODParamLocation}, {"-graphics", kODParamGraphics},
        {"-g", kODParamGraphics},      {"-bbsname", kODParamBBSName}, {"-handle", kODParamHandle},
        {"/Socket", kODParamSocket},   {"-silent", kODParamSilent},   {"-cp437utf8", kODParamCP437UTF8},
        {"-stdio", kODParamStdio},     {"/STDIO", kODParamStdio},
        {"-", kODParamOther},          {"/", kODParamOther},          {"-LOCALE", kODParamOther},
        {"--local", kODParamOther},    {"-\xC9", kODParamOther},      {"local", kODParamNotOption},
        {"", kODParamNotOption},       {"\\L", kODParamNotOption},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ODGetCommandLineParameter(c.argument), c.option) << c.argument;
}

TEST(CmdLineParse, PortTakesAComNameOrANumber)
{
    Parse({"-P", "COM2"});
    EXPECT_EQ((int)od_control.com_port, 1);
    Parse({"-P", "com1"});
    EXPECT_EQ((int)od_control.com_port, 0);
    EXPECT_EQ(dwODPresetPort, 0u);
    Parse({"/port", "1"});
    EXPECT_EQ((int)od_control.com_port, 1);
    EXPECT_EQ(dwODPresetPort, 1u);
    Parse({"-P", "Com10"});
    EXPECT_EQ((int)od_control.com_port, 9);
    Parse({"-P", "COM0"});  // no port at all
    EXPECT_EQ((int)od_control.com_port, 0xFFFF);
    EXPECT_EQ((int)wPreSetInfo, OD_PRESET_PORT);
}

TEST(CmdLineParse, NumbersReadLikeAtolAndNeverOverflow)
{
    Parse({"-N", "3abc", "-SECURITY", "  42", "-B", "99999999999", "-TIMELEFT", "-7"});
    EXPECT_EQ((int)od_control.node, 3);
    EXPECT_EQ((int)od_control.caller_security, 42);
    EXPECT_EQ((uint64_t)od_control.remote_bps, 2147483647u);  // saturated, never wrapped to zero
    EXPECT_EQ((int)od_control.caller_time_left, 0xFFF9);
    Parse({"-ADDRESS", "0x2F8", "-IRQ", "x", "-MAXTIME", "-99999999999999999999"});
    EXPECT_EQ((int)od_control.port_address, 0x2f8);
    EXPECT_EQ((int)od_control.port_irq, 0);
    EXPECT_EQ((int)od_control.max_time, 0);  // INT32_MIN, low 16 bits
}

TEST(CmdLineParse, DropPathIsCutAtItsField)
{
    std::string path(200, 'p');
    Parse({"-D", path});
    EXPECT_EQ(strlen(od_control.drop_path), 59u);
    EXPECT_EQ(std::string(od_control.drop_path), path.substr(0, 59));
}

// ---- words ----

TEST(CmdLineWords, WordsJoinUntilTheNextOption)
{
    od_parse_cmd_line("-USERNAME Ada  King   Lovelace -NODE 3");
    EXPECT_STREQ(od_control.caller_name, "Ada King Lovelace");
    EXPECT_EQ((int)od_control.node, 3);
    od_parse_cmd_line("/location \"Bristol, UK\" /n 4");
    EXPECT_STREQ(od_control.caller_location, "Bristol, UK");
    EXPECT_EQ((int)od_control.node, 4);
}

TEST(CmdLineWords, EachFieldIsCutAtItsLimitAndLaterWordsAreStillConsumed)
{
    Parse({"-USERNAME", std::string(30, 'a'), "bbbbbbbbbb", "cccc", "-N", "7"});
    EXPECT_EQ(std::string(od_control.caller_name), std::string(30, 'a') + " bbbb");
    EXPECT_EQ((int)od_control.node, 7);
    Parse({"-LOCATION", std::string(40, 'l'), "more"});
    EXPECT_EQ(std::string(od_control.caller_location), std::string(25, 'l'));
    Parse({"-BBSNAME", std::string(39, 'b'), "x", "-L"});
    EXPECT_EQ(std::string(od_control.system_name), std::string(39, 'b'));
    EXPECT_EQ((int)od_control.force_local, 1);
    // A word that exactly fills the field leaves no room for a separator.
    Parse({"-USERNAME", std::string(34, 'n'), "x"});
    EXPECT_EQ(std::string(od_control.caller_name), std::string(34, 'n') + " ");
}

TEST(CmdLineWords, AnOptionRightAfterLeavesTheFieldEmpty)
{
    strcpy(od_control.caller_name, "Previous");
    Parse({"-USERNAME", "-LOCAL"});
    EXPECT_STREQ(od_control.caller_name, "");
    EXPECT_EQ((int)od_control.force_local, 1);
    strcpy(od_control.system_name, "Old BBS");
    Parse({"-BBSNAME", "/N", "2"});
    EXPECT_STREQ(od_control.system_name, "");
    EXPECT_EQ((int)od_control.node, 2);
}

// ---- graphics ----

TEST(CmdLineGraphics, ZeroOrNTurnsAnsiOffAnythingElseNumericOn)
{
    Parse({"-G", "0"});
    EXPECT_EQ((int)od_control.caller_ansi, 0);
    Parse({"-G", "N", "-N", "5"});
    EXPECT_EQ((int)od_control.caller_ansi, 0);
    EXPECT_EQ((int)od_control.node, 5);
    Parse({"-GRAPHICS", "1"});
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    Parse({"-G", "0", "-g"});  // last element: on, and parsing ends
    EXPECT_EQ((int)od_control.caller_ansi, 1);
}

TEST(CmdLineGraphics, ANumberIsLeftAsANonOptionAndOtherWordsAreConsumed)
{
    Parse({"-G", "1", "-L"});
    EXPECT_EQ((int)od_control.caller_ansi, 1);
    EXPECT_EQ((int)od_control.force_local, 1);
    Parse({"-G", "-NOFIFO"});  // read as zero and consumed with the -G
    EXPECT_EQ((int)od_control.caller_ansi, 0);
    EXPECT_EQ((int)od_control.no_fifo, 0);
}

// ---- handles ----

TEST(CmdLineHandle, SocketAcceptsAPlusAndSetsTheSocketFlag)
{
    od_parse_cmd_line("-SOCKET +123");
    EXPECT_EQ((uint64_t)od_control.open_handle, 123u);
    EXPECT_EQ((int)od_control.handle_is_socket, 1);
    EXPECT_EQ((int)od_control.last_error, 0);
    Parse({"-HANDLE", "18446744073709551615"});
    EXPECT_EQ((uint64_t)od_control.open_handle, UINT64_MAX);
}

TEST(CmdLineHandle, AnythingButStrictDecimalIsRefusedAndParsingGoesOn)
{
    const char *bad[] = {"18446744073709551616", "99999999999999999999999", "12a", "+", "",
                         "-5", " 12", "12 ", "++1", "0x10", "\xB3"};
    for (const char *value : bad) {
        od_control.open_handle = 42;
        od_control.handle_is_socket = 0;
        od_control.last_error = 0;
        Parse({"-SOCKET", value, "-N", "9"});
        EXPECT_EQ((int)od_control.last_error, ODERR_PARAM) << value;
        EXPECT_EQ((uint64_t)od_control.open_handle, 42u) << value;
        EXPECT_EQ((int)od_control.handle_is_socket, 0) << value;
        EXPECT_EQ((int)od_control.node, 9) << value;
        od_control.node = 0;
    }
}

TEST(CmdLineHandle, AHandleDoesNotClaimToBeASocket)
{
    od_parse_cmd_line("-HANDLE 0000000000000000000000000000000000000000012");
    EXPECT_EQ((uint64_t)od_control.open_handle, 12u);
    EXPECT_EQ((int)od_control.handle_is_socket, 0);
}

// ---- other programs' options, missing parameters ----

TEST(CmdLineParse, UnknownOptionsAreIgnoredAndTheirWordSkipped)
{
    od_parse_cmd_line("-FOO bar -PERSONALITY Wildcat -N 2 stray /X");
    EXPECT_EQ((int)od_control.node, 2);
    EXPECT_EQ((int)od_control.last_error, 0);
    EXPECT_STREQ(od_control.caller_name, "");
}

TEST(CmdLineParseDeathTest, AMissingParameterEndsTheProcessWithCodeOne)
{
    const char *options[] = {"-C", "-B", "/P", "-N", "-MAXTIME", "-ADDRESS", "-IRQ", "-D",
                             "-TIMELEFT", "-SECURITY", "-HANDLE", "-SOCKET", "-USERNAME",
                             "/location", "-BBSNAME"};
    for (const char *option : options) {
        std::string line = std::string("-L ") + option;
        std::string expected = std::string("^Missing parameter for option: ") + option + "\r\r?\n$";
        EXPECT_EXIT(
            {
                StdoutToStderr();
                od_parse_cmd_line(line.c_str());
            },
            ::testing::ExitedWithCode(1), expected)
            << option;
    }
}

// ---- session state ----

TEST(CmdLineParse, NothingHappensOnceTheSessionIsPastRunning)
{
    eODLifecycleState = OD_STATE_EXITING;
    od_parse_cmd_line("-N 4");
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
    EXPECT_EQ((int)od_control.node, 0);
    EXPECT_EQ(bParsedCmdLine, 0);
    od_control.last_error = 0;
    int argc = 7;
    EXPECT_EQ(od_split_cmd_line("a b", &argc), nullptr);
    EXPECT_EQ(argc, 0);
    EXPECT_EQ((int)od_control.last_error, ODERR_GENERALFAIL);
}

// A vector split while running can still be released after the session
// has ended (the leak checker sees one that is not).
TEST(CmdLineParse, ASplitVectorIsReleasedAfterTheSessionEnded)
{
    int argc = 0;
    char **argv = od_split_cmd_line("-N 4 \"two words\"", &argc);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(argc, 4);
    eODLifecycleState = OD_STATE_EXITING;
    od_control.last_error = 0;
    od_free_cmd_line(argv);
    od_free_cmd_line(nullptr);
    EXPECT_EQ((int)od_control.last_error, 0);
}

TEST(CmdLineParse, NullLineIsABadParameter)
{
    od_parse_cmd_line(nullptr);
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
    EXPECT_EQ(bParsedCmdLine, 0);
    int argc = 5;
    EXPECT_EQ(od_split_cmd_line(nullptr, &argc), nullptr);
    EXPECT_EQ(argc, 0);
    od_control.last_error = 0;
    EXPECT_EQ(od_split_cmd_line("x", nullptr), nullptr);
    EXPECT_EQ((int)od_control.last_error, ODERR_PARAM);
}

// ---- splitting ----

TEST(CmdLineSplit, AnEmptyLineGivesOnlyTheProgramName)
{
    int argc = -1;
    char **argv = od_split_cmd_line("", &argc);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(argc, 1);
    ASSERT_NE(argv[0], nullptr);
    EXPECT_NE(std::string(argv[0]).find("doorkit_tests"), std::string::npos) << argv[0];
    EXPECT_EQ(argv[1], nullptr);
    od_free_cmd_line(argv);
    EXPECT_EQ(Split("   \t  "), Args{});
}

TEST(CmdLineSplit, QuotesBackslashesAndBlanks)
{
    struct {
        const char *line;
        Args expected;
    } cases[] = {
        {"one \"two words\" three", {"one", "two words", "three"}},
        {"a\\\"b", {"a\"b"}},
        {"  \t lead\ttab  trail \t ", {"lead", "tab", "trail"}},
        {"a\\\\b c\\d", {"a\\\\b", "c\\d"}},              // backslashes alone are literal
        {"a\\\\\"b c\"", {"a\\b c"}},                     // even run: half, then a quote
        {"a\\\\\\\"b c", {"a\\\"b", "c"}},                // odd run: half, then a literal quote
        {"\"a\\\\\"", {"a\\"}},                           // run closing a quoted word
        {"\"in \"\"side\"", {"in \"side"}},              // doubled quote: one quote, quotes end
        {"\"in \"\"side\" x", {"in \"side x"}},          // ... so the next quote opens again
        {"\"a\"\" b", {"a\"", "b"}},
        {"\"\"", {""}},
        {"\"\" \"\"", {"", ""}},
        {"a\"\"b", {"ab"}},
        {"a\"\"\"b", {"a\"b"}},
        {"\"\"\"\"", {"\""}},
        {"\"a b", {"a b"}},                               // unclosed quote runs to the end
        {"x\"y z\"w", {"xy zw"}},
        {"\\\\\\", {"\\\\\\"}},
        {"\\\"", {"\""}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Split(c.line), c.expected) << c.line;
        EXPECT_EQ(SplitPortable(std::string("x ") + c.line),
                  [&] { Args a{"x"}; a.insert(a.end(), c.expected.begin(), c.expected.end()); return a; }())
            << c.line;
    }
}

TEST(CmdLineSplit, TheProgramNameSlotFollowsItsOwnRule)
{
    // Only the kit's splitter is asked here: a leading blank is an empty name.
    EXPECT_EQ(SplitPortable(" a b"), (Args{"", "a", "b"}));
    EXPECT_EQ(SplitPortable("\ta"), (Args{"", "a"}));
    EXPECT_EQ(SplitPortable("  "), (Args{""}));
    EXPECT_EQ(SplitPortable(""), Args{});
    EXPECT_EQ(SplitPortable("prog a"), (Args{"prog", "a"}));
}

TEST(CmdLineSplit, NoMoreThan4096Elements)
{
    std::string line;
    for (int i = 0; i < 5000; i++) line += "w" + std::to_string(i) + " ";
    int argc = 0;
    Args args = Split(line, &argc);
    EXPECT_EQ(argc, OD_MAX_ARGS);
    ASSERT_EQ(args.size(), (size_t)OD_MAX_ARGS - 1);
    EXPECT_EQ(args.back(), "w4094");

    Args direct = SplitPortable(line);
    ASSERT_EQ(direct.size(), (size_t)OD_MAX_ARGS);
    EXPECT_EQ(direct.back(), "w4095");

    // Parsing such a line stops at the cap without harm.
    od_parse_cmd_line((line + " -N 3").c_str());
    EXPECT_EQ((int)od_control.node, 0);
}

TEST(CmdLineSplit, AVeryLongWordComesBackWhole)
{
    std::string word(4 * 1024 * 1024, 'w');
    word[12345] = 'q';
    Args args = Split("-USERNAME " + word + " tail");
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[1], word);
    od_parse_cmd_line(("-USERNAME " + word + " -N 6").c_str());
    EXPECT_EQ(strlen(od_control.caller_name), 35u);
    EXPECT_EQ((int)od_control.node, 6);
}

int exits_seen = 0;
jmp_buf after_exit;
[[noreturn]] void RecordExit(int)
{
    exits_seen++;
    longjmp(after_exit, 1);
}

// The kit's exit never returns: the hook jumps back here instead.
void ParseCountingExits(int argc, char **argv)
{
    if (setjmp(after_exit) == 0) ODParseCommandLineArguments(argc, argv);
}

// Random bytes heavy in separators, quotes, backslashes and option leaders.
// Most rounds go through the kit's splitter directly; every 25th through
// od_split_cmd_line (on Windows that loads the system's splitter each time).
TEST(CmdLineSplit, HostileLinesNeverOverrun)
{
    // A missing parameter would end the process; here it is only counted.
    pfODProcessExit = RecordExit;
    std::mt19937 random(20240229);
    const char alphabet[] = " \t\"\\-/aN0+";
    for (int round = 0; round < 3000; round++) {
        std::string line(random() % 200, ' ');
        for (char &c : line) {
            unsigned pick = random() % 4;
            c = pick == 0 ? (char)(1 + random() % 255) : alphabet[random() % (sizeof alphabet - 1)];
            if (c == '?' || c == 'h' || c == 'H') c = 'x';  // no help boxes
        }
        Args args = SplitPortable("x " + line);
        ASSERT_GE(args.size(), 1u);
        ASSERT_LE(args.size(), (size_t)OD_MAX_ARGS);
        size_t total = 0;
        std::vector<char *> argv;
        for (std::string &a : args) {
            total += a.size();
            argv.push_back(&a[0]);
        }
        // Splitting only ever drops separators, quotes and escapes.
        EXPECT_LE(total, line.size() + 1) << line;
        argv.push_back(nullptr);
        ParseCountingExits((int)args.size(), argv.data());

        if (round % 25 == 0) {
            int argc = -1;
            char **split = od_split_cmd_line(line.c_str(), &argc);
            ASSERT_NE(split, nullptr) << line;
            ASSERT_GE(argc, 1);
            EXPECT_EQ(split[argc], nullptr);
            ParseCountingExits(argc, split);
            od_free_cmd_line(split);
        }
    }
    EXPECT_GT(exits_seen, 0);  // the fuzz did reach the fatal path
}

// ---- quoting ----

TEST(CmdLineQuote, QuotesOnlyWhatNeedsIt)
{
    EXPECT_EQ(Quote({"plain", "C:\\dir\\", "-N"}), "plain C:\\dir\\ -N");
    EXPECT_EQ(Quote({"two words"}), "\"two words\"");
    EXPECT_EQ(Quote({""}), "\"\"");
    EXPECT_EQ(Quote({"a b\\"}), "\"a b\\\\\"");
    EXPECT_EQ(Quote({"say \"hi\""}), "\"say \\\"hi\\\"\"");
    EXPECT_EQ(Quote({"\\\"", "tab\there"}), "\"\\\\\\\"\" \"tab\there\"");
    EXPECT_EQ(Quote({}), "");
}

TEST(CmdLineQuote, QuotedArgumentsSplitBackExactly)
{
    std::mt19937 random(1957);
    const char alphabet[] = " \t\"\\ab";
    for (int round = 0; round < 3000; round++) {
        Args args(1 + random() % 6);
        for (std::string &a : args) {
            a.resize(random() % 8);
            for (char &c : a) c = alphabet[random() % (sizeof alphabet - 1)];
        }
        std::string line = Quote(args);
        if (round % 25 == 0) {
            EXPECT_EQ(Split(line), args) << line;
        }
        Args with_name{"x"};
        with_name.insert(with_name.end(), args.begin(), args.end());
        EXPECT_EQ(SplitPortable("x " + line), with_name) << line;
        EXPECT_EQ(SplitPortable(line), args) << line;  // as the Linux process line is read
    }
}
