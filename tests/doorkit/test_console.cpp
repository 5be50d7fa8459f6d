// The local console's portable half: the sysop's keys and Alt-commands as
// terminals send them, the drawing (only what changed, CP437 as UTF-8) and
// the layout with the frame window's status texts.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>

#include "ODConsole.h"
#include "ODKrnl.h"

namespace {

struct Decoded {
    size_t used;
    int command;
    uint16_t key;
};

Decoded Decode(const std::string &bytes, bool final = true)
{
    tODConsoleInput input;
    size_t used = ODConsoleDecode((const uint8_t *)bytes.data(), bytes.size(), final ? 1 : 0, &input);
    return {used, input.nCommand, input.wKey};
}

tODKrnlUIState State()
{
    tODKrnlUIState s;
    memset(&s, 0, sizeof s);
    strcpy(s.szCallerName, "Ann Example");
    strcpy(s.szCallerLocation, "Anytown");
    s.wNode = 3;
    s.nTimeLeft = 42;
    s.bKeyboardOn = 1;
    s.bRunning = 1;
    return s;
}

std::string Row(const tODConsoleCanvas &canvas, int row)
{
    std::string text;
    for (int column = 0; column < canvas.nColumns; column++) text += (char)(canvas.aCells[row][column] & 0xFF);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string Render(const tODConsoleCanvas *previous, const tODConsoleCanvas &next)
{
    static char buffer[OD_CONSOLE_RENDER_MAX];
    size_t length = ODConsoleRender(previous, &next, buffer, sizeof buffer);
    return std::string(buffer, length);
}

}  // namespace

TEST(ConsoleKeys, AltLettersAreTheFrameWindowsCommands)
{
    struct {
        const char *bytes;
        int command;
    } cases[] = {{"\x1b" "c", kODConsoleChat},     {"\x1b" "K", kODConsoleKeyboard}, {"\x1bn", kODConsoleSysopNext},
                 {"\x1bh", kODConsoleHangup},       {"\x1bL", kODConsoleLockout},     {"\x1bx", kODConsoleExitToBBS},
                 {"\x1bi", kODConsoleInactivity}};
    for (const auto &c : cases) {
        Decoded d = Decode(c.bytes);
        EXPECT_EQ(d.used, 2u) << c.bytes;
        EXPECT_EQ(d.command, c.command) << c.bytes;
        EXPECT_EQ(d.key, 0) << c.bytes;
    }
    // Other Alt keys mean nothing, and are not typed into the game.
    Decoded d = Decode("\x1bq");
    EXPECT_EQ(d.used, 2u);
    EXPECT_EQ(d.command, kODConsoleNoCommand);
    EXPECT_EQ(d.key, 0);
}

TEST(ConsoleKeys, TimeCommandsOnModifiedArrowsAsTerminalsSendThem)
{
    EXPECT_EQ(Decode("\x1b[1;3A").command, kODConsoleAddFive);
    EXPECT_EQ(Decode("\x1b[1;2A").command, kODConsoleAddOne);
    EXPECT_EQ(Decode("\x1b[1;3B").command, kODConsoleSubtractFive);
    EXPECT_EQ(Decode("\x1b[1;2B").command, kODConsoleSubtractOne);
    // Meta sent as an ESC prefix.
    Decoded d = Decode("\x1b\x1b[A");
    EXPECT_EQ(d.used, 4u);
    EXPECT_EQ(d.command, kODConsoleAddFive);
    EXPECT_EQ(Decode("\x1b\x1bOB").command, kODConsoleSubtractFive);
}

TEST(ConsoleKeys, PlainKeysGoToTheGameAsScanCodesOrCharacters)
{
    EXPECT_EQ(Decode("a").key, 'a');
    EXPECT_EQ(Decode("\r").key, 13);
    EXPECT_EQ(Decode("\x7f").key, 8);  // the backspace key
    EXPECT_EQ(Decode("\x1b[A").key, 72 << 8);
    EXPECT_EQ(Decode("\x1bOD").key, 75 << 8);
    EXPECT_EQ(Decode("\x1b[3~").key, 83 << 8);
    EXPECT_EQ(Decode("\x1b[15~").key, 63 << 8);
    EXPECT_EQ(Decode("\x1b[24~").key, 134 << 8);
    EXPECT_EQ(Decode("\x1b[5;5~").key, 73 << 8);  // Ctrl+Page Up: still Page Up
    // F1 is the frame's help, which the system does not have.
    Decoded f1 = Decode("\x1bOP");
    EXPECT_EQ(f1.used, 3u);
    EXPECT_EQ(f1.key, 0);
    EXPECT_EQ(f1.command, kODConsoleNoCommand);
    // UTF-8 from the sysop's terminal becomes the CP437 character.
    Decoded e = Decode("\xc3\xa9x");
    EXPECT_EQ(e.used, 2u);
    EXPECT_EQ(e.key, 0x82);
    EXPECT_EQ(Decode("\xe2\x96\x91").key, 0xB0);
    EXPECT_EQ(Decode("\xe2\x82\xac").key, 0);  // the euro sign has no CP437 form
}

TEST(ConsoleKeys, IncompleteSequencesWaitAndALoneEscapeIsEscape)
{
    EXPECT_EQ(Decode("\x1b", false).used, 0u);
    EXPECT_EQ(Decode("\x1b[1;", false).used, 0u);
    EXPECT_EQ(Decode("\xc3", false).used, 0u);
    Decoded escape = Decode("\x1b", true);
    EXPECT_EQ(escape.used, 1u);
    EXPECT_EQ(escape.key, 27);
    // An unfinished sequence that will not finish is dropped whole.
    EXPECT_EQ(Decode("\x1b[12", true).used, 4u);
    // A control byte inside one ends it there.
    EXPECT_EQ(Decode("\x1b[\x01", true).used, 2u);
    EXPECT_EQ(Decode("\x1b[12", true).key, 0);
}

TEST(ConsoleKeys, AnyBytesAreTakenWithoutOverrun)
{
    std::mt19937 random(7);
    for (int round = 0; round < 2000; round++) {
        std::string bytes;
        int length = 1 + (int)(random() % 40);
        for (int i = 0; i < length; i++) {
            int pick = (int)(random() % 6);
            bytes += pick == 0 ? '\x1b' : pick == 1 ? '[' : pick == 2 ? ';' : (char)(random() & 0xFF);
        }
        size_t offset = 0;
        int steps = 0;
        while (offset < bytes.size()) {
            tODConsoleInput input;
            size_t used =
                ODConsoleDecode((const uint8_t *)bytes.data() + offset, bytes.size() - offset, 1, &input);
            ASSERT_GT(used, 0u);
            ASSERT_LE(used, bytes.size() - offset);
            offset += used;
            ASSERT_LT(++steps, 100);
        }
    }
}

TEST(ConsoleDrawing, CP437ShowsAsItsUnicodeGlyphs)
{
    char out[4];
    ASSERT_EQ(ODConsoleCP437ToUTF8(0xC9, out), 3);
    EXPECT_EQ(std::string(out, 3), "\xe2\x95\x94");  // double top-left corner
    ASSERT_EQ(ODConsoleCP437ToUTF8(0x01, out), 3);
    EXPECT_EQ(std::string(out, 3), "\xe2\x98\xba");  // the smiling face
    ASSERT_EQ(ODConsoleCP437ToUTF8(0x82, out), 2);
    EXPECT_EQ(std::string(out, 2), "\xc3\xa9");
    ASSERT_EQ(ODConsoleCP437ToUTF8('A', out), 1);
    EXPECT_EQ(out[0], 'A');
    // Typed back on the sysop's terminal, each glyph is its own byte again.
    for (int b = 32; b < 256; b++) {
        if (b == 127) continue;
        int n = ODConsoleCP437ToUTF8((uint8_t)b, out);
        uint32_t cp = n == 1 ? (uint8_t)out[0]
                    : n == 2 ? ((uint32_t)(out[0] & 0x1F) << 6 | (out[1] & 0x3F))
                             : ((uint32_t)(out[0] & 0x0F) << 12 | (uint32_t)(out[1] & 0x3F) << 6 | (out[2] & 0x3F));
        EXPECT_EQ(ODConsoleUnicodeToCP437(cp), b) << b;
    }
}

TEST(ConsoleDrawing, OnlyTheCellsThatChangedAreDrawnAgain)
{
    tODConsoleCanvas before;
    tODKrnlUIState state = State();
    uint16_t cells[80 * 25];
    for (uint16_t &cell : cells) cell = 0x0720;
    ODConsoleCompose(&before, 27, 80, cells, 0, 0, 0, &state, nullptr);
    std::string full = Render(nullptr, before);
    EXPECT_NE(full.find("\x1b[2J"), std::string::npos);
    EXPECT_NE(full.find("Ann Example of Anytown in local mode"), std::string::npos);

    tODConsoleCanvas after = before;
    cells[5 * 80 + 10] = 0x1EC9;  // yellow on blue, a box corner, row 6 column 11
    ODConsoleCompose(&after, 27, 80, cells, 0, 0, 0, &state, nullptr);
    std::string diff = Render(&before, after);
    EXPECT_EQ(diff.find("\x1b[2J"), std::string::npos);
    EXPECT_NE(diff.find("\x1b[6;11H"), std::string::npos);
    EXPECT_NE(diff.find("\x1b[0;93;44m\xe2\x95\x94"), std::string::npos);
    EXPECT_LT(diff.size(), 60u);
    // Nothing changed: nothing but the cursor's state is sent.
    EXPECT_LT(Render(&after, after).size(), 20u);
}

TEST(ConsoleDrawing, BlinkAndTheCaretFollowThePicture)
{
    tODConsoleCanvas canvas;
    tODKrnlUIState state = State();
    uint16_t cells[80 * 25];
    for (uint16_t &cell : cells) cell = 0x0720;
    cells[0] = 0x8F41;
    ODConsoleCompose(&canvas, 27, 80, cells, 4, 7, 1, &state, nullptr);
    std::string text = Render(nullptr, canvas);
    EXPECT_NE(text.find("\x1b[0;97;40;5mA"), std::string::npos);
    EXPECT_NE(text.find("\x1b[5;8H\x1b[?25h"), std::string::npos);
}

TEST(ConsoleLayout, StatusBelowThePictureWithTheFrameWindowsTexts)
{
    tODConsoleCanvas canvas;
    tODKrnlUIState state = State();
    state.bRemote = 1;
    state.dwSpeed = 38400;
    state.bWantsChat = 1;
    strcpy(state.szChatReason, "need help");
    state.bKeyboardOn = 0;
    uint16_t cells[80 * 25];
    for (uint16_t &cell : cells) cell = 0x0720;
    cells[24 * 80] = 0x0700 | 'Z';
    ODConsoleCompose(&canvas, 30, 100, cells, 0, 0, 0, &state, nullptr);
    EXPECT_EQ(canvas.nRows, 27);
    EXPECT_EQ(canvas.nColumns, 80);
    EXPECT_EQ(Row(canvas, 24), "Z");  // all 25 rows of the picture
    std::string status = Row(canvas, 25);
    EXPECT_EQ(status.find(" Ann Example of Anytown at 38400bps (Reason"), 0u) << status;
    char part1[200];
    ODConsoleStatusPart1(&state, part1, sizeof part1);
    EXPECT_STREQ(part1, "Ann Example of Anytown at 38400bps (Reason for chat: \"need help\")");
    EXPECT_NE(status.find("42 min. | Node 3"), std::string::npos) << status;
    EXPECT_NE(status.find("KBD-OFF"), std::string::npos) << status;
    EXPECT_NE(Row(canvas, 26).find("Alt+ C chat"), std::string::npos);
}

TEST(ConsoleLayout, SmallTerminalKeepsTheTopOfThePictureAndTheStatus)
{
    tODConsoleCanvas canvas;
    tODKrnlUIState state = State();
    uint16_t cells[80 * 25];
    for (int i = 0; i < 80 * 25; i++) cells[i] = (uint16_t)(0x0700 | ('A' + i / 80));
    ODConsoleCompose(&canvas, 24, 80, cells, 0, 0, 1, &state, nullptr);
    EXPECT_EQ(canvas.nRows, 24);
    EXPECT_EQ(Row(canvas, 0), std::string(80, 'A'));
    EXPECT_EQ(Row(canvas, 22), std::string(80, 'W'));
    EXPECT_NE(Row(canvas, 23).find("in local mode"), std::string::npos);
    // A question of two lines takes the rows above the bottom.
    ODConsoleCompose(&canvas, 24, 80, cells, 0, 0, 1, &state, "first line\nsecond line (Y/N)");
    EXPECT_EQ(Row(canvas, 22), " first line");
    EXPECT_EQ(Row(canvas, 23), " second line (Y/N)");
}

TEST(ConsoleLayout, QuestionsAndHelpAreTheFrameWindowsTexts)
{
    EXPECT_STREQ(ODConsoleConfirmation(kODConsoleHangup),
                 "You are about to disconnect this user. Do you wish to proceed?");
    EXPECT_STREQ(ODConsoleConfirmation(kODConsoleLockout),
                 "You are about to lock out this user. Do you wish to proceed?");
    EXPECT_STREQ(ODConsoleConfirmation(kODConsoleExitToBBS),
                 "You are about to terminate this session and return the user to the BBS.\nDo you wish to proceed?");
    EXPECT_EQ(ODConsoleConfirmation(kODConsoleChat), nullptr);
    EXPECT_STREQ(ODConsoleHelpText(kODConsoleExitToBBS), "Exits the door without hanging up.");
    EXPECT_STREQ(ODConsoleHelpText(kODConsoleAddFive), "Increases the user's time remaining by five minutes.");
}
