// Fuzz target: tavro-i2c's one parser for numbers, addresses, modes, register ranges and
// i2ctransfer's messages, and the dump rows it prints. The input is split at newlines into
// arguments; every parser reads every argument, and the messages parser all of them.
// Whatever is accepted must lie within its limits, and printed rows keep their width.
#include "i2c_syntax.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool condition, const char *what, const std::string &detail) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_syntax: %s: \"%s\"\n", what, detail.c_str());
        std::abort();
    }
}

void checkOne(const std::string &arg, bool all) {
    if (const auto value = parseNumber(arg, 0xffff)) {
        check(*value >= 0 && *value <= 0xffff, "number out of its limit", arg);
        // A number read is the number written: the same value in another notation.
        char text[32];
        std::snprintf(text, sizeof text, "0x%lx", *value);
        check(parseNumber(text, 0xffff) == value, "number does not read back", arg);
    }
    std::string error;
    if (const auto address = parseChipAddress(arg, all, error))
        check(*address >= (all ? 0 : I2C_FIRST_REGULAR) &&
                  *address <= (all ? I2C_LAST_ADDRESS : I2C_LAST_REGULAR),
              "address out of range", arg);
    else
        check(!error.empty(), "refused address without a reason", arg);
    if (const auto mode = parseMode(arg, "bwWsci", "bwsc"))
        check(std::string("bwWsci").find(mode->letter) != std::string::npos &&
                  (!mode->pec || std::string("bwsc").find(mode->letter) != std::string::npos) &&
                  arg.size() == 1u + mode->pec,
              "mode not one of those allowed", arg);
    if (const auto range = parseRegisterRange(arg))
        check(range->first >= 0 && range->first <= range->second && range->second <= 0xff,
              "register range out of order", arg);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool all = data[0] & 1;
    std::vector<std::string> args;
    std::string arg;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == '\n') {
            args.push_back(arg);
            arg.clear();
        } else {
            arg += static_cast<char>(data[i]);
        }
    }
    args.push_back(arg);
    for (const std::string &a : args)
        checkOne(a, all);

    std::string error;
    const std::vector<DescribedMessage> messages = parseMessages(args, all, error);
    check(!messages.empty() || !error.empty(), "no messages and no reason", error);
    for (const DescribedMessage &m : messages) {
        check(m.length >= 0 && m.length <= TAVRO_MAX_MESSAGE_BYTES, "message length", m.desc);
        check(m.address >= 0 && m.address <= (all ? I2C_LAST_ADDRESS : I2C_LAST_REGULAR),
              "message address", m.desc);
        check(m.read ? m.data.empty() : int(m.data.size()) == m.length, "message data", m.desc);
    }

    // The input's bytes as dump cells, some unread: rows keep i2cdump's width.
    DumpCells cells;
    for (std::size_t i = 0; i < cells.size(); ++i)
        cells[i] = i < size ? (data[i] == 'X' ? DUMP_UNREAD : data[i]) : 0;
    const int first = data[0];
    const int last = size > 1 ? std::max<int>(first, data[1]) : 0xff;
    const int row = size > 2 ? data[2] : 0;
    check(dumpByteRow(row & 0xf0, cells, first, last).size() == 72, "byte row width", "");
    check(dumpWordRow(row & 0xf8, cells, first, last).size() == 45, "word row width", "");
    return 0;
}
