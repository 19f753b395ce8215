#include "data_text.h"

#include <algorithm>

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string transmitText(std::string_view data) {
    // An incomplete group must reach the adapter as it is, to be refused there: dropped, a
    // write of "A," would address the slave with no byte and be reported as done.
    std::string transmit(data.size(), '~');
    for (std::size_t i = 0; i < data.size(); ++i)
        if (i % GROUP_CHARS != 0)
            transmit[i] = data[i - 1];
    return transmit;
}

int readCount(std::string_view data) {
    return static_cast<int>(data.size() / GROUP_CHARS);
}

bool dataTextValid(std::string_view data) {
    for (std::size_t i = 0; i < data.size(); i += GROUP_CHARS)
        if (i + 1 >= data.size() || !isHexDigit(data[i]) || !isHexDigit(data[i + 1]))
            return false;
    return true;
}

bool readBytesWellFormed(std::string_view reply_text) {
    for (std::size_t g = 0; g + GROUP_CHARS <= reply_text.size(); g += GROUP_CHARS)
        if (!isHexDigit(reply_text[g + 1]) || !isHexDigit(reply_text[g + 2]))
            return false;
    return true;
}

std::string readDataText(std::string_view reply_text) {
    const std::size_t groups = std::min(reply_text.size() / GROUP_CHARS, MAX_DATA_BYTES);
    std::string data;
    for (std::size_t g = 0; g < groups; ++g) {
        data += reply_text.substr(g * GROUP_CHARS + 1, 2);
        data += ',';
    }
    return data;
}
