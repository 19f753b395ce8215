#include "i2c_syntax.h"

#include "data_text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

std::string hexByte(const char *format, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The next byte of a write whose bytes a suffix fills in.
std::uint8_t nextFill(std::uint8_t value, char suffix) {
    switch (suffix) {
    case '+':
        return static_cast<std::uint8_t>(value + 1);
    case '-':
        return static_cast<std::uint8_t>(value - 1);
    case 'p': {
        // i2ctransfer's 8-bit generator, so that a seed gives the same bytes as there:
        // 0p is 0x00, 0x50, 0xb0, ...
        const auto mixed = static_cast<std::uint8_t>((value ^ 27) + 13);
        return static_cast<std::uint8_t>(mixed << 1 | mixed >> 7);
    }
    default:
        return value;
    }
}

bool isFillSuffix(char c) {
    return c == '=' || c == '+' || c == '-' || c == 'p';
}

// Reads DESC into message; false with error set when it is malformed.
bool parseDesc(const std::string &arg, bool all_addresses, int &last_address,
               DescribedMessage &message, std::string &error) {
    const std::string named = "'" + arg + "': ";
    if (arg.empty() || (arg[0] != 'r' && arg[0] != 'w')) {
        error = named + "a message starts with r or w, as in r4 or w2@0x50";
        return false;
    }
    const std::size_t at = arg.find('@');
    const std::string length_text = arg.substr(1, at == std::string::npos ? at : at - 1);
    if (length_text == "?") {
        error = named + "the adapter cannot read a length the slave chooses ('?')";
        return false;
    }
    const std::optional<long> length = parseNumber(length_text, 0xffff);
    if (!length) {
        error = named + "the length after r or w is not a number";
        return false;
    }
    if (*length > I2C_MAX_MESSAGE_BYTES) {
        error = named + "more than 32 bytes in a message (the adapter's limit)";
        return false;
    }
    if (at != std::string::npos) {
        const std::optional<long> address = parseNumber(arg.substr(at + 1), LONG_MAX);
        const long last = all_addresses ? I2C_LAST_ADDRESS : I2C_LAST_REGULAR;
        const long first = all_addresses ? 0 : I2C_FIRST_REGULAR;
        if (!address) {
            error = named + "the address after @ is not a number";
            return false;
        }
        if (*address < first || *address > last) {
            error = named + "address out of range (" + hexByte("0x%02x", first) + "-" +
                    hexByte("0x%02x", last) + ")";
            if (*address <= 0xff && *address % 2 == 0 && *address / 2 >= first &&
                *address / 2 <= last)
                error += "; addresses are 7-bit here: " + hexByte("0x%02x", *address) +
                         " as an 8-bit address is " + hexByte("0x%02x", *address / 2);
            return false;
        }
        last_address = static_cast<int>(*address);
    } else if (last_address < 0) {
        error = named + "no address given; the first message needs one, as in w1@0x50";
        return false;
    }
    message.read = arg[0] == 'r';
    message.length = static_cast<int>(*length);
    message.address = last_address;
    message.desc = arg;
    return true;
}

} // namespace

std::optional<long> parseNumber(const std::string &text, long limit) {
    // strtol alone would also take a sign, leading blanks and an empty text.
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > limit)
        return std::nullopt;
    return value;
}

std::vector<DescribedMessage> parseMessages(const std::vector<std::string> &args,
                                            bool all_addresses, std::string &error) {
    std::vector<DescribedMessage> messages;
    DescribedMessage message;
    bool in_data = false;
    int last_address = -1;
    for (const std::string &arg : args) {
        if (!in_data) {
            message = DescribedMessage{};
            if (!parseDesc(arg, all_addresses, last_address, message, error))
                return {};
            in_data = !message.read && message.length > 0;
            if (!in_data)
                messages.push_back(message);
            continue;
        }
        const char suffix = arg.size() > 1 && isFillSuffix(arg.back()) ? arg.back() : '\0';
        const std::optional<long> value =
            parseNumber(suffix ? arg.substr(0, arg.size() - 1) : arg, 0xff);
        if (!value) {
            error = "'" + arg + "': not a data byte (0 to 0xff, with an optional suffix " +
                    "=, +, - or p)";
            return {};
        }
        auto byte = static_cast<std::uint8_t>(*value);
        message.data.push_back(byte);
        while (suffix && static_cast<int>(message.data.size()) < message.length) {
            byte = nextFill(byte, suffix);
            message.data.push_back(byte);
        }
        if (static_cast<int>(message.data.size()) == message.length) {
            messages.push_back(message);
            in_data = false;
        }
    }
    if (in_data) {
        error = "'" + message.desc + "': the message needs " + std::to_string(message.length) +
                " data bytes, " + std::to_string(message.data.size()) + " given";
        return {};
    }
    if (messages.empty())
        error = "no message given, as in w1@0x50 0x00 r4";
    return messages;
}

std::string gridHeader() {
    return "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
}

std::string gridRowStart(int row) {
    return hexByte("%02x: ", static_cast<unsigned>(row));
}

std::string gridCell(int address, GridCell cell) {
    switch (cell) {
    case GridCell::Present:
        return hexByte("%02x ", static_cast<unsigned>(address));
    case GridCell::Absent:
        return "-- ";
    case GridCell::Blank:
        break;
    }
    return "   ";
}

std::string readBytesLine(const std::vector<std::uint8_t> &bytes) {
    std::string line;
    for (std::uint8_t byte : bytes)
        line += hexByte(line.empty() ? "0x%02x" : " 0x%02x", byte);
    return line.empty() ? line : line + "\n";
}

std::string messageLine(int index, const I2cMessage &message) {
    std::string line = "msg " + std::to_string(index) + ": addr " +
                       hexByte("0x%02x", static_cast<unsigned>(message.address)) +
                       (message.read ? ", read" : ", write") + ", len " +
                       std::to_string(message.length);
    if (!message.data.empty())
        line += ", buf " + readBytesLine(message.data);
    return line.back() == '\n' ? line : line + "\n";
}
