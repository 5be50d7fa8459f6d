// ansiscreen.h -- a caller's screen for tests: a grid of CP437 cells with
// PC text attributes (80 x 25 unless given), fed with the bytes a door sends
// (ANSI escape sequences, CR, LF, BS, TAB, form feed; AVATAR codes when
// asked) so a test can ask what the caller sees at a position and in which
// colours.
//
// By default the model holds at its edges, as the game's screens expect: a
// character after the last column goes to the start of the next row, and
// nothing scrolls. kWrapAndScroll models the door kit's own picture of the
// caller's screen instead: the cursor wraps as soon as the last column is
// written and a line feed on the last row scrolls.
#ifndef ANSISCREEN_H
#define ANSISCREEN_H

#include <stdint.h>

#include <string>
#include <vector>

class AnsiScreen {
public:
    static const int kRows = 25;
    static const int kCols = 80;

    // Modes, or-ed together.
    static const unsigned kAvatar = 1;        // AVATAR codes (^V, ^Y) are understood
    static const unsigned kWrapAndScroll = 2; // see above

    explicit AnsiScreen(int rows = kRows, int cols = kCols, unsigned modes = 0);

    // Interprets the bytes; sequences may be split across calls.
    void feed(const std::string &bytes);
    void feed(const char *bytes, size_t size);
    // Blank in grey on black, cursor home.
    void clear();

    int rows() const { return rows_; }
    int cols() const { return cols_; }

    // Rows and columns are 1-based, as on the door's screen. Out-of-range
    // positions read as a blank in attribute 7.
    uint8_t ch(int row, int col) const;
    uint8_t attr(int row, int col) const; // bits 0-3 fg, 4-6 bg, 7 blink
    // The character in the low byte, the attribute in the high one (the
    // door kit's cell layout).
    uint16_t cell(int row, int col) const { return (uint16_t)(ch(row, col) | attr(row, col) << 8); }
    int fg(int row, int col) const { return attr(row, col) & 0x0F; }
    int bg(int row, int col) const { return (attr(row, col) >> 4) & 0x07; }

    // len characters from (row, col); the whole rest of the row for -1.
    std::string text(int row, int col, int len = -1) const;
    // The row with trailing blanks removed.
    std::string line(int row) const;
    // First position of text on the screen (row by row); false if absent.
    bool find(const std::string &needle, int *row, int *col) const;

    // What a caller sees in a cell, independent of how it was encoded: the
    // colours of its upper and lower half (-1, -1 for a cell that is not a
    // blank or a block, such as a letter).
    void halves(int row, int col, int *upper, int *lower) const;

    int cursor_row() const { return row_ + 1; }
    int cursor_col() const { return col_ + 1; }
    uint8_t current_attr() const { return attr_; }

    // ANSI music received (the notes between "ESC [ |" and SO), in order.
    const std::vector<std::string> &music() const { return music_; }
    // Sequences the model did not understand, for tests that want none.
    int unknown_sequences() const { return unknown_; }
    // Whether the bytes so far ended inside a sequence.
    bool in_sequence() const { return state_ != kText; }
    // Bytes fed so far.
    size_t bytes_fed() const { return fed_; }

private:
    void put_char(uint8_t c);
    void line_feed();
    void blank(int row, int from_col);
    void clamp_cursor();
    void csi(char final, const std::string &params);
    void sgr(const std::string &params);
    void avatar(const std::string &code);

    int rows_, cols_;
    unsigned modes_;
    std::vector<uint8_t> cells_;
    std::vector<uint8_t> attrs_;
    int row_, col_, saved_row_, saved_col_;
    uint8_t attr_;
    enum { kText, kEscape, kCsi, kMusic, kAvatarCode } state_;
    std::string params_;
    std::string notes_;
    std::vector<std::string> music_;
    int unknown_;
    size_t fed_;
};

#endif
