// The message record's sizes and the data text it holds: two hexadecimal digits and a comma
// per byte. Turns data text into what the adapter is sent, and the adapter's read replies
// back into data text. Pure: no toolkit, no state.
#ifndef SENDRAL_DATA_TEXT_H
#define SENDRAL_DATA_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

constexpr int LIST_ROWS = 50;
constexpr std::size_t MAX_DATA_BYTES = 32;
constexpr std::size_t GROUP_CHARS = 3;                               // "HH,"
constexpr std::size_t MAX_DATA_CHARS = GROUP_CHARS * MAX_DATA_BYTES; // 96
// Buffers of one record, each with its NUL.
constexpr std::size_t ADDRESS_SIZE = 3; // two address characters
constexpr std::size_t RW_SIZE = 2;      // "R" or "W"
constexpr std::size_t DATA_SIZE = MAX_DATA_CHARS + 1;

// The value of a hexadecimal digit of either case; -1 for any other character.
int hexDigitValue(char c);
inline bool isHexDigit(char c) {
    return hexDigitValue(c) >= 0;
}

// The transmit text of a write, as long as the data text: each group's comma gives way to
// a "~" before it, so "0A,FF," becomes "~0A~FF" and an incomplete "0A,F," becomes "~0A~F".
std::string transmitText(std::string_view data);
// The byte count of a read row: its whole groups.
int readCount(std::string_view data);
// Whether every group of a data text starts with two hexadecimal digits.
bool dataTextValid(std::string_view data);

// Whether the text after a read reply's code is read bytes: each whole group a separator and
// two hexadecimal digits.
bool readBytesWellFormed(std::string_view reply_text);
// The data text of a read reply: "HH," for each whole group, at most MAX_DATA_BYTES of them.
std::string readDataText(std::string_view reply_text);

#endif
