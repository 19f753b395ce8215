#include "tavro_commands.h"

#include "data_text.h"

#include <algorithm>
#include <cstdio>

namespace {

TavroCommand traced(const char *trace) {
    TavroCommand c;
    c.traces.emplace_back(trace);
    return c;
}

// The command letter, then the digit of value's place among codes and CR. A value not among
// them has already sent the letter; it is reported on standard output as what.
template <std::size_t N>
TavroCommand coded(const char *trace, const char *letter, int value,
                   const std::array<int, N> &codes, const char *what) {
    TavroCommand c = traced(trace);
    c.pieces.emplace_back(letter);
    const auto at = std::find(codes.begin(), codes.end(), value);
    if (at != codes.end()) {
        c.pieces.push_back(std::to_string(at - codes.begin()) + "\r");
        return c;
    }
    char line[96];
    std::snprintf(line, sizeof line, "ERROR, %s = %d.  Please report this to QVT.\n", what, value);
    c.error_line = line;
    return c;
}

// Fills a two-character address into a template such as "/i??\r", letter case kept.
std::string withAddress(const char *prefix, const std::string &address) {
    return std::string(prefix) + address.substr(0, 2) + "\r";
}

} // namespace

TavroCommand buildReset() {
    TavroCommand c = traced("Resetting...");
    c.pieces.emplace_back(3, TAVRO_DC2);
    c.reset_pause = true;
    return c;
}

TavroCommand buildSetFormat(int format) {
    if (format == 0) {
        TavroCommand c = traced("Setting incoming data to be restricted to hex only...");
        c.pieces.emplace_back("/h1\r");
        return c;
    }
    if (format == 1) {
        TavroCommand c = traced("Setting incoming data to be hex or ascii...");
        c.pieces.emplace_back("/h0\r");
        return c;
    }
    return traced("Bad format argument.");
}

TavroCommand buildSetFlow(int flow) {
    if (flow == 0) {
        TavroCommand c = traced("Setting software flow control...");
        c.pieces.emplace_back("/f0\r");
        return c;
    }
    if (flow == 1) {
        TavroCommand c = traced("Setting hardware flow control...");
        c.pieces.emplace_back("/f1\r");
        return c;
    }
    return traced("Bad flow control argument.");
}

TavroCommand buildSetAddress(const std::string &address) {
    TavroCommand c = traced("Setting our own address...");
    if (!validateAddress(address.c_str()))
        c.traces.emplace_back("Bad address.");
    else
        c.pieces.push_back(withAddress("/i", address));
    return c;
}

TavroCommand buildSelectSlave(const std::string &address) {
    TavroCommand c = traced("Selecting a slave...");
    if (!validateAddress(address.c_str()))
        c.traces.emplace_back("Bad slave address.");
    else
        c.pieces.push_back(withAddress("/d", address));
    return c;
}

TavroCommand buildOpen() {
    TavroCommand c = traced("Opening the I2C bus...");
    c.pieces.emplace_back("/o\r");
    return c;
}

TavroCommand buildClose() {
    TavroCommand c = traced("Closing the I2C bus...");
    c.pieces.emplace_back("/c\r");
    return c;
}

TavroCommand buildBaud(int rate) {
    return coded("Setting the baud rate...", "/b", rate, TAVRO_RATES, "baud rate");
}

TavroCommand buildClock(int khz) {
    return coded("Setting the I2C clock speed...", "/K", khz, TAVRO_CLOCKS_KHZ, "clock speed");
}

TavroCommand buildIntMonitor(int on) {
    TavroCommand c = traced("Setting interrupt monitor mode\n");
    c.pieces.emplace_back(on ? "/n1\r" : "/n0\r");
    return c;
}

TavroCommand buildQueryIntMon() {
    TavroCommand c = traced("Requesting interrupt information\n");
    c.pieces.emplace_back("/n\r");
    return c;
}

TavroCommand buildMTx(const std::string &data, int stop) {
    TavroCommand c = traced("Sending data to a slave...");
    c.pieces.emplace_back(stop ? "/t" : "/*t");
    c.pieces.push_back(data);
    c.pieces.emplace_back("\r");
    return c;
}

TavroCommand buildMRx(int count, int stop) {
    TavroCommand c = traced("Recieving data from a slave...");
    if (count < 0 || count > TAVRO_MAX_READ) {
        c.traces.emplace_back("Number of bytes to read is out of range.");
        return c;
    }
    // Written as the transmit command is: the form, the argument and CR, one write each.
    c.pieces.emplace_back(stop ? "/r" : "/*r");
    c.pieces.push_back(std::to_string(count));
    c.pieces.emplace_back("\r");
    return c;
}

TavroCommand buildSTx(const std::string &data) {
    TavroCommand c = traced("Sending data to a master...");
    c.pieces.emplace_back("/s");
    c.pieces.push_back(data);
    c.pieces.emplace_back("\r");
    return c;
}

const char *const BAD_ADDRESS_TEXT =
    "Badly formed slave address.  The slave address must be a one or two digit even hex number.";

int validateAddress(const char *address) {
    // The characters go to the adapter as they stand, so they must be hexadecimal digits
    // themselves: "%x" alone would also pass "2z", "+2" or " 4".
    int value = 0;
    int digits = 0;
    for (; digits < 2 && address[digits] != '\0'; ++digits) {
        const int digit = hexDigitValue(address[digits]);
        if (digit < 0)
            return 0;
        value = value * 16 + digit;
    }
    return digits > 0 && value <= 0xFE && value % 2 == 0 ? 1 : 0;
}
