#include "i2c_syntax.h"

#include "data_text.h"
#include "smbus.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

std::string hexByte(const char *format, unsigned value) {
    char text[16];
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
        // The adapter must be told the count before the read starts.
        error = named + "the adapter cannot read a length the slave chooses ('?'): give the "
                        "count, as in r4";
        return false;
    }
    const std::optional<long> length = parseNumber(length_text, 0xffff);
    if (!length) {
        error = named + "the length after r or w is not a number";
        return false;
    }
    if (*length > TAVRO_MAX_MESSAGE_BYTES) {
        error = named + "more than " + std::to_string(TAVRO_MAX_MESSAGE_BYTES) +
                " bytes in a message (the adapter's limit)";
        return false;
    }
    if (at != std::string::npos) {
        std::string address_error;
        const std::optional<int> address =
            parseChipAddress(arg.substr(at + 1), all_addresses, address_error);
        if (!address) {
            error = named + "the address after @ " + address_error;
            return false;
        }
        last_address = *address;
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

std::optional<int> parseChipAddress(const std::string &text, bool all_addresses,
                                    std::string &error) {
    const std::optional<long> address = parseNumber(text, LONG_MAX);
    const long last = all_addresses ? I2C_LAST_ADDRESS : I2C_LAST_REGULAR;
    const long first = all_addresses ? 0 : I2C_FIRST_REGULAR;
    if (!address) {
        error = "'" + text + "' is not a number";
        return std::nullopt;
    }
    if (*address < first || *address > last) {
        error = "'" + text + "' is out of range (" + hexByte("0x%02x", first) + "-" +
                hexByte("0x%02x", last) + ")";
        // The commonest slip: an 8-bit address from a data sheet.
        if (*address <= 0xff && *address % 2 == 0 && *address / 2 >= first && *address / 2 <= last)
            error += "; addresses are 7-bit here: " + hexByte("0x%02x", *address) +
                     " as an 8-bit address is " + hexByte("0x%02x", *address / 2);
        return std::nullopt;
    }
    return static_cast<int>(*address);
}

std::optional<I2cMode> parseMode(const std::string &text, const std::string &allowed,
                                 const std::string &pec_allowed) {
    if (text.empty() || text.size() > 2 || allowed.find(text[0]) == std::string::npos)
        return std::nullopt;
    I2cMode mode;
    mode.letter = text[0];
    if (text.size() == 2) {
        if (text[1] != 'p' || pec_allowed.find(text[0]) == std::string::npos)
            return std::nullopt;
        mode.pec = true;
    }
    return mode;
}

std::optional<std::pair<int, int>> parseRegisterRange(const std::string &text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const std::optional<long> first = parseNumber(text.substr(0, dash), 0xff);
    const std::optional<long> last = parseNumber(text.substr(dash + 1), 0xff);
    if (!first || !last || *last < *first)
        return std::nullopt;
    return std::make_pair(static_cast<int>(*first), static_cast<int>(*last));
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

std::string functionalityList(const std::string &port) {
    // What the adapter carries out as I2C messages, from the one place that knows.
    struct Entry {
        const char *name;
        SmbusKind kind;
        bool read;
    };
    static const Entry entries[] = {
        {"SMBus Quick Command", SmbusKind::Quick, false},
        {"SMBus Send Byte", SmbusKind::Byte, false},
        {"SMBus Receive Byte", SmbusKind::Byte, true},
        {"SMBus Write Byte", SmbusKind::ByteData, false},
        {"SMBus Read Byte", SmbusKind::ByteData, true},
        {"SMBus Write Word", SmbusKind::WordData, false},
        {"SMBus Read Word", SmbusKind::WordData, true},
        {"SMBus Process Call", SmbusKind::ProcessCall, false},
        {"SMBus Block Write", SmbusKind::BlockData, false},
        {"SMBus Block Read", SmbusKind::BlockData, true},
        {"SMBus Block Process Call", SmbusKind::BlockProcessCall, false},
    };
    auto line = [](const char *name, bool yes) {
        char text[64];
        std::snprintf(text, sizeof text, "%-32s %s\n", name, yes ? "yes" : "no");
        return std::string(text);
    };
    std::string list = "Functionalities implemented by " + port + ":\n" + line("I2C", true);
    for (const Entry &entry : entries)
        list += line(entry.name, smbusSupported(entry.kind, entry.read));
    // PEC is computed in software, so every SMBus transaction above can carry it.
    list += line("SMBus PEC", true);
    list += line("I2C Block Write", smbusSupported(SmbusKind::I2cBlockData, false));
    list += line("I2C Block Read", smbusSupported(SmbusKind::I2cBlockData, true));
    return list;
}

std::string dumpByteHeader() {
    return "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
}

std::string dumpByteRow(int row, const DumpCells &cells, int first, int last) {
    std::string hex = hexByte("%02x: ", static_cast<unsigned>(row));
    std::string text;
    for (int r = row; r < row + 16; ++r) {
        const int cell = cells[static_cast<std::size_t>(r)];
        if (r < first || r > last) {
            hex += "   ";
            text += ' ';
        } else if (cell < 0) {
            hex += "XX ";
            text += 'X';
        } else {
            hex += hexByte("%02x ", static_cast<unsigned>(cell));
            // The text column shows printable ASCII; 00 and ff, the usual fill, as dots.
            text += cell == 0x00 || cell == 0xff ? '.'
                    : cell < 32 || cell >= 127   ? '?'
                                                 : static_cast<char>(cell);
        }
    }
    return hex + "   " + text + "\n";
}

std::string dumpWordHeader() {
    return "     0,8  1,9  2,a  3,b  4,c  5,d  6,e  7,f\n";
}

std::string dumpWordRow(int row, const DumpCells &cells, int first, int last) {
    std::string line = hexByte("%02x: ", static_cast<unsigned>(row));
    for (int r = row; r < row + 8; ++r) {
        const int cell = cells[static_cast<std::size_t>(r)];
        char text[8];
        if (r < first || r > last)
            std::snprintf(text, sizeof text, "     ");
        else if (cell < 0)
            std::snprintf(text, sizeof text, "XXXX ");
        else
            std::snprintf(text, sizeof text, "%04x ", static_cast<unsigned>(cell & 0xffff));
        line += text;
    }
    return line + "\n";
}
