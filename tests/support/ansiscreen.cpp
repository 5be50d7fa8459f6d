// ansiscreen.cpp -- the test model of a caller's ANSI screen.
#include "ansiscreen.h"

#include <stdlib.h>
#include <string.h>

AnsiScreen::AnsiScreen(int rows, int cols, unsigned modes)
    : rows_(rows), cols_(cols), modes_(modes), cells_((size_t)rows * cols), attrs_((size_t)rows * cols),
      unknown_(0), fed_(0)
{
    clear();
    saved_row_ = saved_col_ = 0;
    state_ = kText;
}

void AnsiScreen::clear()
{
    attr_ = 0x07;
    for (int r = 0; r < rows_; r++) blank(r, 0);
    row_ = col_ = 0;
}

// Blanks a row from a column on, in the current colours.
void AnsiScreen::blank(int row, int from_col)
{
    for (int c = from_col; c < cols_; c++) {
        cells_[(size_t)row * cols_ + c] = ' ';
        attrs_[(size_t)row * cols_ + c] = attr_;
    }
}

void AnsiScreen::feed(const std::string &bytes)
{
    feed(bytes.data(), bytes.size());
}

void AnsiScreen::feed(const char *bytes, size_t size)
{
    fed_ += size;
    for (size_t i = 0; i < size; i++) {
        uint8_t c = (uint8_t)bytes[i];
        switch (state_) {
        case kText:
            if (c == 0x1B) {
                state_ = kEscape;
            } else if ((modes_ & kAvatar) && (c == 0x16 || c == 0x19)) {
                state_ = kAvatarCode;
                params_.assign(1, (char)c);
            } else {
                put_char(c);
            }
            break;
        case kEscape:
            if (c == '[') {
                state_ = kCsi;
                params_.clear();
            } else {
                unknown_++;
                state_ = kText;
            }
            break;
        case kCsi:
            if (c == '|' && params_.empty()) {
                state_ = kMusic;
                notes_.clear();
            } else if (c >= 0x40 && c <= 0x7E) {
                csi((char)c, params_);
                state_ = kText;
            } else if (params_.size() < 64) {
                params_ += (char)c;
            }
            break;
        case kMusic:
            if (c == 0x0E) {
                music_.push_back(notes_);
                state_ = kText;
            } else {
                notes_ += (char)c;
            }
            break;
        case kAvatarCode: {
            params_ += (char)c;
            // ^Y char count; ^V ^A attr; ^V ^G; ^V ^H row col.
            size_t need = 3;
            if (params_[0] == 0x16) {
                uint8_t op = (uint8_t)params_[1];
                need = op == 0x01 ? 3 : op == 0x08 ? 4 : 2;
            }
            if (params_.size() >= need) {
                avatar(params_);
                state_ = kText;
            }
            break;
        }
        }
    }
}

void AnsiScreen::line_feed()
{
    if (row_ < rows_ - 1) {
        row_++;
        return;
    }
    if (!(modes_ & kWrapAndScroll)) return;
    cells_.erase(cells_.begin(), cells_.begin() + cols_);
    cells_.insert(cells_.end(), (size_t)cols_, ' ');
    attrs_.erase(attrs_.begin(), attrs_.begin() + cols_);
    attrs_.insert(attrs_.end(), (size_t)cols_, attr_);
}

void AnsiScreen::put_char(uint8_t c)
{
    bool wrap = (modes_ & kWrapAndScroll) != 0;
    switch (c) {
    case '\r':
        col_ = 0;
        return;
    case '\n':
        line_feed();
        return;
    case '\b':
        if (col_ > 0) col_--;
        return;
    case '\t':
        col_ = (col_ / 8 + 1) * 8;
        if (col_ > cols_ - 1) {
            if (wrap) {
                col_ = 0;
                line_feed();
            } else {
                col_ = cols_ - 1;
            }
        }
        return;
    case 0x07: // bell
    case 0x0F: // SI after music
        return;
    case 0x0C: // form feed clears, as a plain or AVATAR terminal does
        for (int r = 0; r < rows_; r++) blank(r, 0);
        row_ = col_ = 0;
        return;
    default:
        break;
    }
    if (col_ >= cols_) {
        col_ = 0;
        if (row_ < rows_ - 1) row_++;
    }
    cells_[(size_t)row_ * cols_ + col_] = c;
    attrs_[(size_t)row_ * cols_ + col_] = attr_;
    col_++;
    if (wrap && col_ >= cols_) {
        col_ = 0;
        line_feed();
    }
}

void AnsiScreen::avatar(const std::string &code)
{
    if (code[0] == 0x19) {
        for (int n = 0; n < (uint8_t)code[2]; n++) put_char((uint8_t)code[1]);
        return;
    }
    switch (code[1]) {
    case 0x01: attr_ = (uint8_t)code[2]; break;
    case 0x07: blank(row_, col_); break;
    case 0x08:
        row_ = (uint8_t)code[2] - 1;
        col_ = (uint8_t)code[3] - 1;
        clamp_cursor();
        break;
    default: unknown_++; break;
    }
}

void AnsiScreen::clamp_cursor()
{
    if (row_ < 0) row_ = 0;
    if (row_ > rows_ - 1) row_ = rows_ - 1;
    if (col_ < 0) col_ = 0;
    if (col_ > cols_ - 1) col_ = cols_ - 1;
}

static int param_at(const std::string &params, int index, int fallback)
{
    int i = 0;
    size_t start = 0;
    for (;;) {
        size_t end = params.find(';', start);
        if (i == index) {
            std::string p = params.substr(start, end == std::string::npos ? std::string::npos
                                                                         : end - start);
            return p.empty() ? fallback : atoi(p.c_str());
        }
        if (end == std::string::npos) return fallback;
        start = end + 1;
        i++;
    }
}

void AnsiScreen::csi(char final, const std::string &params)
{
    int n = param_at(params, 0, 1);
    switch (final) {
    case 'H':
    case 'f':
        row_ = param_at(params, 0, 1) - 1;
        col_ = param_at(params, 1, 1) - 1;
        break;
    case 'A': row_ -= n; break;
    case 'B': row_ += n; break;
    case 'C': col_ += n; break;
    case 'D': col_ -= n; break;
    case 'J':
        if (param_at(params, 0, 0) == 2) {
            for (int r = 0; r < rows_; r++) blank(r, 0);
        } else {
            unknown_++;
        }
        break;
    case 'K':
        if (col_ < cols_) blank(row_, col_);
        break;
    case 'm':
        sgr(params);
        break;
    case 's':
        saved_row_ = row_;
        saved_col_ = col_;
        break;
    case 'u':
        row_ = saved_row_;
        col_ = saved_col_;
        break;
    default:
        unknown_++;
        break;
    }
    clamp_cursor();
}

void AnsiScreen::sgr(const std::string &params)
{
    // ANSI colour numbers to PC colour numbers (their order differs).
    static const uint8_t pc[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    size_t start = 0;
    for (;;) {
        size_t end = params.find(';', start);
        std::string item = params.substr(start, end == std::string::npos ? std::string::npos
                                                                         : end - start);
        int p = item.empty() ? 0 : atoi(item.c_str());
        if (p == 0)
            attr_ = 0x07;
        else if (p == 1)
            attr_ |= 0x08;
        else if (p == 5)
            attr_ |= 0x80;
        else if (p == 22)
            attr_ &= (uint8_t)~0x08;
        else if (p >= 30 && p <= 37)
            attr_ = (uint8_t)((attr_ & 0xF8) | pc[p - 30]);
        else if (p >= 40 && p <= 47)
            attr_ = (uint8_t)((attr_ & 0x8F) | (pc[p - 40] << 4));
        else
            unknown_++;
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

uint8_t AnsiScreen::ch(int row, int col) const
{
    if (row < 1 || row > rows_ || col < 1 || col > cols_) return ' ';
    return cells_[(size_t)(row - 1) * cols_ + col - 1];
}

uint8_t AnsiScreen::attr(int row, int col) const
{
    if (row < 1 || row > rows_ || col < 1 || col > cols_) return 0x07;
    return attrs_[(size_t)(row - 1) * cols_ + col - 1];
}

std::string AnsiScreen::text(int row, int col, int len) const
{
    std::string out;
    if (len < 0) len = cols_ - col + 1;
    for (int i = 0; i < len; i++) out += (char)ch(row, col + i);
    return out;
}

std::string AnsiScreen::line(int row) const
{
    std::string out = text(row, 1);
    size_t end = out.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : out.substr(0, end + 1);
}

bool AnsiScreen::find(const std::string &needle, int *row, int *col) const
{
    for (int r = 1; r <= rows_; r++) {
        size_t at = text(r, 1).find(needle);
        if (at != std::string::npos) {
            if (row) *row = r;
            if (col) *col = (int)at + 1;
            return true;
        }
    }
    return false;
}

void AnsiScreen::halves(int row, int col, int *upper, int *lower) const
{
    uint8_t c = ch(row, col), a = attr(row, col);
    int f = a & 0x0F, b = (a >> 4) & 0x07;
    *upper = *lower = -1;
    if (c == ' ' || c == 0 || c == 255) {
        *upper = *lower = b;
    } else if (c == 0xDB) {
        *upper = *lower = f;
    } else if (c == 0xDF) {
        *upper = f;
        *lower = b;
    } else if (c == 0xDC) {
        *upper = b;
        *lower = f;
    }
}
