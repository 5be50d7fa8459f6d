// ansiscreen.h -- a caller's screen for tests: an 80 x 25 grid of CP437
// cells with PC text attributes, fed with the bytes a door sends (ANSI
// escape sequences, CR, LF, BS, TAB) so a test can ask what the caller
// sees at a position and in which colours.
#ifndef ANSISCREEN_H
#define ANSISCREEN_H

#include <stdint.h>

#include <string>
#include <vector>

class AnsiScreen {
public:
    static const int kRows = 25;
    static const int kCols = 80;

    AnsiScreen();

    // Interprets the bytes; sequences may be split across calls.
    void feed(const std::string &bytes);
    void feed(const char *bytes, size_t size);
    void clear();

    // Rows and columns are 1-based, as on the door's screen. Out-of-range
    // positions read as a blank in attribute 7.
    uint8_t ch(int row, int col) const;
    uint8_t attr(int row, int col) const; // bits 0-3 fg, 4-6 bg, 7 blink
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
    // Bytes fed so far.
    size_t bytes_fed() const { return fed_; }

private:
    void put_char(uint8_t c);
    void csi(char final, const std::string &params);
    void sgr(const std::string &params);

    uint8_t cells_[kRows][kCols];
    uint8_t attrs_[kRows][kCols];
    int row_, col_, saved_row_, saved_col_;
    uint8_t attr_;
    enum { kText, kEscape, kCsi, kMusic } state_;
    std::string params_;
    std::string notes_;
    std::vector<std::string> music_;
    int unknown_;
    size_t fed_;
};

#endif
