#include "tavro_commands.h"

#include "data_text.h"

#include <cstdio>

namespace {

TavroCommand traced(const char *trace) {
    TavroCommand c;
    c.traces.emplace_back(trace);
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
    TavroCommand c = traced("Setting the baud rate...");
    c.pieces.emplace_back("/b");
    switch (rate) {
    case 19200:
        c.pieces.emplace_back("0\r");
        break;
    case 57600:
        c.pieces.emplace_back("1\r");
        break;
    case 115200:
        c.pieces.emplace_back("2\r");
        break;
    default: {
        char line[96];
        std::snprintf(line, sizeof line, "ERROR, baud rate = %d.  Please report this to QVT.\n",
                      rate);
        c.error_line = line;
    }
    }
    return c;
}

TavroCommand buildClock(int khz) {
    TavroCommand c = traced("Setting the I2C clock speed...");
    c.pieces.emplace_back("/K");
    switch (khz) {
    case 23:
        c.pieces.emplace_back("0\r");
        break;
    case 86:
        c.pieces.emplace_back("1\r");
        break;
    case 100:
        c.pieces.emplace_back("2\r");
        break;
    case 400:
        c.pieces.emplace_back("3\r");
        break;
    default: {
        char line[96];
        std::snprintf(line, sizeof line, "ERROR, clock speed = %d.  Please report this to QVT.\n",
                      khz);
        c.error_line = line;
    }
    }
    return c;
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
