// get, set and dump: i2cget's, i2cset's and i2cdump's register access, each transaction
// carried out as I2C messages by the core, with the PEC computed and checked there; and with
// --map, the registers and fields of a register map by name.
#include "bus_status.h"
#include "door.h"
#include "i2c_syntax.h"
#include "register_map.h"

#include <cstdio>

namespace {

// i2c-tools' own words where a script may look for them.
constexpr const char *NO_BLOCK_READ = "Error: Adapter does not have SMBus block read capability\n";

SmbusKind kindOf(char letter) {
    switch (letter) {
    case 'w':
    case 'W':
        return SmbusKind::WordData;
    case 'c':
        return SmbusKind::Byte;
    case 's':
        return SmbusKind::BlockData;
    case 'i':
        return SmbusKind::I2cBlockData;
    default:
        return SmbusKind::ByteData;
    }
}

// One SMBus transaction; data carries a write's bytes in and a read's bytes out.
BusResult smbus(TavroBus &bus, int address, SmbusKind kind, bool read, int command, bool pec,
                std::vector<std::uint8_t> &data, int length = 0) {
    SmbusTransaction transaction;
    transaction.address = address;
    transaction.kind = kind;
    transaction.read = read;
    transaction.command = static_cast<std::uint8_t>(command);
    transaction.pec = pec;
    transaction.length = length;
    if (!read)
        transaction.data = data;
    return bus.smbus(transaction, data);
}

// A byte or a word (low byte first) as one number.
int valueOf(const std::vector<std::uint8_t> &data) {
    return data.size() >= 2 ? data[0] | data[1] << 8 : data.empty() ? 0 : data[0];
}

std::vector<std::uint8_t> bytesOf(int value, SmbusKind kind) {
    if (kind == SmbusKind::WordData)
        return {static_cast<std::uint8_t>(value & 0xff), static_cast<std::uint8_t>(value >> 8)};
    if (kind == SmbusKind::ByteData)
        return {static_cast<std::uint8_t>(value)};
    return {};
}

std::string hex(const char *format, int value, int width = 2) {
    char text[32];
    std::snprintf(text, sizeof text, format, width, value);
    return text;
}

// A register number, 0x00-0xff, or a usage error naming what it is.
std::optional<int> parseRegister(const std::string &text, const char *what, std::string &error) {
    const std::optional<long> value = parseNumber(text, 0xff);
    if (!value)
        error = std::string(what) + " '" + text + "' is not a number in 0x00-0xff";
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

std::string pecLine(bool pec) {
    return pec ? "PEC is added to every transaction and checked.\n" : "";
}

} // namespace

// Without --map: i2c-tools' own arguments.
static int runRegisterGet(const Options &options) {
    const std::vector<std::string> &args = options.args;
    if (args.empty() || args.size() > 4)
        return usageError("get takes CHIP [REGISTER [MODE [LENGTH]]]");
    std::string error;
    const std::optional<int> address = parseChipAddress(args[0], options.all_addresses, error);
    if (!address)
        return usageError("chip address " + error);
    std::optional<int> reg;
    I2cMode mode{'b', false};
    if (args.size() >= 2 && !(reg = parseRegister(args[1], "register", error)))
        return usageError(error);
    if (args.size() < 2)
        mode.letter = 'c'; // no register: a plain one-byte read
    if (args.size() >= 3) {
        const std::optional<I2cMode> given = parseMode(args[2], "bwcsi", "bwcs");
        if (!given)
            return usageError("mode '" + args[2] + "' is b, w, c, s or i, with p for PEC (not i)");
        mode = *given;
    }
    int length = SMBUS_BLOCK_MAX;
    if (args.size() == 4) {
        const std::optional<long> given = parseNumber(args[3], SMBUS_BLOCK_MAX);
        if (mode.letter != 'i' || !given || *given < 1)
            return usageError("LENGTH '" + args[3] + "' is for mode i only, 1 to 32");
        length = static_cast<int>(*given);
    }
    if (const int status = checkPort(options))
        return status;
    if (mode.letter == 's') {
        std::fputs(NO_BLOCK_READ, stderr);
        return EXIT_FAILED;
    }
    if (!options.yes && mode.pec && *address >= 0x50 && *address <= 0x57) {
        std::fputs("WARNING! This program can confuse your I2C bus, cause data loss and worse!\n"
                   "STOP! 0x50-0x57 is where memory modules keep their EEPROM, an I2C device\n"
                   "that takes the PEC byte for data: PEC reads are not made there on request.\n",
                   stderr);
        return 0;
    }
    const bool writes_first = mode.letter == 'c' && reg;
    std::string plan = "I will read from the bus of the " +
                       std::string(variantName(options.link.variant)) + " on " + options.port +
                       ",\nchip address " + hex("0x%0*x", *address) + ", " +
                       (reg ? "data address " + hex("0x%0*x", *reg) : "current data address");
    plan += mode.letter == 'i'
                ? ", " + std::to_string(length) + " bytes using read I2C block data.\n"
            : writes_first       ? ", using write byte/read byte.\n"
            : mode.letter == 'c' ? ", using read byte.\n"
            : mode.letter == 'w' ? ", using read word data.\n"
                                 : ", using read byte data.\n";
    if (writes_first && mode.pec)
        plan = "WARNING! Many chips take a written byte with PEC for a register write.\n" + plan;
    if (!userAgrees(options, plan + pecLine(mode.pec), !(writes_first && mode.pec)))
        return 0;
    TavroBus bus;
    int status = 0;
    if (!openBus(bus, options, status))
        return status;
    std::vector<std::uint8_t> data;
    BusResult result;
    if (writes_first) {
        result = smbus(bus, *address, SmbusKind::Byte, false, *reg, mode.pec, data);
        // As i2cget, a failed write of the register is reported and the read still made.
        if (!result.ok() && !linkInDoubt(result.status)) {
            reportFailure("writing the register", result);
            std::fputs("Warning - write failed\n", stderr);
        }
    }
    if (!linkInDoubt(result.status))
        result = smbus(bus, *address, kindOf(mode.letter), true, reg.value_or(0), mode.pec, data,
                       length);
    if (!result.ok()) {
        reportFailure("reading", result);
        if (result.status != BusStatus::Interrupted)
            std::fputs("Error: Read failed\n", stderr);
        status = failureStatus(result, EXIT_USAGE); // i2cget's status for a failed read
    } else {
        const std::string text = mode.letter == 'i'   ? readBytesLine(data)
                                 : mode.letter == 'w' ? hex("0x%0*x\n", valueOf(data), 4)
                                                      : hex("0x%0*x\n", valueOf(data));
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
    return closeBus(bus, options, status);
}

static int runRegisterSet(const Options &options) {
    const std::vector<std::string> &args = options.args;
    if (args.size() < 2)
        return usageError("set takes CHIP REGISTER [VALUE]... [MODE]");
    std::string error;
    const std::optional<int> address = parseChipAddress(args[0], options.all_addresses, error);
    if (!address)
        return usageError("chip address " + error);
    const std::optional<int> reg = parseRegister(args[1], "register", error);
    if (!reg)
        return usageError(error);
    I2cMode mode{'c', false};
    std::vector<std::string> values;
    if (args.size() == 3) {
        if (const auto short_write = parseMode(args[2], "c", "c")) {
            mode = *short_write;
        } else {
            mode.letter = 'b';
            values = {args[2]};
        }
    } else if (args.size() > 3) {
        const std::optional<I2cMode> given = parseMode(args.back(), "bwsi", "bws");
        if (!given)
            return usageError("mode '" + args.back() +
                              "' is c, b, w, i or s, with p for PEC (not i)");
        mode = *given;
        values.assign(args.begin() + 2, args.end() - 1);
    }
    const bool block = mode.letter == 's' || mode.letter == 'i';
    if (!block && values.size() > 1)
        return usageError("modes b and w take one VALUE; i and s one per byte");
    if (block && values.size() > static_cast<std::size_t>(SMBUS_BLOCK_MAX))
        return usageError("a block write takes 1 to 32 VALUEs");
    const long limit = mode.letter == 'w' ? 0xffff : 0xff;
    std::vector<std::uint8_t> bytes;
    int value = -1;
    for (const std::string &text : values) {
        const std::optional<long> parsed = parseNumber(text, limit);
        if (!parsed)
            return usageError("VALUE '" + text + "' is not a number in 0-" +
                              hex("0x%0*x", int(limit)));
        value = static_cast<int>(*parsed);
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    // A short write (mode c) sends the REGISTER byte alone: that byte is its value, and what
    // -m masks, as i2cset does for a chip of one register such as a port expander.
    if (mode.letter == 'c')
        value = *reg;
    int mask = 0;
    if (!options.mask.empty()) {
        if (block)
            return usageError("-m needs a mode with one value: c, b or w");
        const std::optional<long> parsed = parseNumber(options.mask, limit);
        if (!parsed || *parsed == 0)
            return usageError("-m '" + options.mask + "' is not a mask in 0x01-" +
                              hex("0x%0*x", int(limit)));
        mask = static_cast<int>(*parsed);
    }
    if (block && options.readback)
        return usageError("-r reads back a byte or a word, not a block");
    if (const int status = checkPort(options))
        return status;
    const int width = mode.letter == 'w' ? 4 : 2;
    const bool dimm = *address >= 0x50 && *address <= 0x57;
    std::string plan = dimm ? "DANGEROUS! 0x50-0x57 is where memory modules keep their EEPROM:\n"
                              "a write there can make a computer's memory unusable.\n"
                            : "";
    plan += "I will write to the bus of the " + std::string(variantName(options.link.variant)) +
            " on " + options.port + ",\nchip address " + hex("0x%0*x", *address) + ", ";
    if (mode.letter != 'c')
        plan += "data address " + hex("0x%0*x", *reg) + ", ";
    if (block) {
        plan += "data";
        for (std::uint8_t byte : bytes)
            plan += hex(" 0x%0*x", byte);
        plan += mode.letter == 's' ? ", mode smbus block.\n" : ", mode i2c block.\n";
    } else {
        plan += "data " + hex("0x%0*x", value, width) + (mask ? " (masked)" : "") +
                (mode.letter == 'w' ? ", mode word.\n" : ", mode byte.\n");
    }
    if (!userAgrees(options, plan + pecLine(mode.pec), !dimm))
        return 0;
    TavroBus bus;
    int status = 0;
    if (!openBus(bus, options, status))
        return status;
    const SmbusKind kind = kindOf(mode.letter);
    std::vector<std::uint8_t> data;
    BusResult result;
    if (mask) {
        // As i2cset, the old value is read without PEC.
        result = smbus(bus, *address, kind, true, *reg, false, data);
        if (!result.ok()) {
            reportFailure("reading the old value", result);
            std::fputs("Error: Failed to read old value\n", stderr);
            return closeBus(bus, options, failureStatus(result, EXIT_FAILED));
        }
        const int old = valueOf(data);
        value = (value & mask) | (old & ~mask & (mode.letter == 'w' ? 0xffff : 0xff));
        if (!options.yes) {
            std::fprintf(stderr, "Old value 0x%0*x, write mask 0x%0*x, will write 0x%0*x\n", width,
                         old, width, mask, width, value);
            if (!askToContinue(true))
                return closeBus(bus, options, 0);
        }
    }
    data = block ? bytes : bytesOf(value, kind);
    result = smbus(bus, *address, kind, false, mode.letter == 'c' ? value : *reg, mode.pec, data);
    if (!result.ok()) {
        reportFailure("writing", result);
        if (result.status != BusStatus::Interrupted)
            std::fputs("Error: Write failed\n", stderr);
        return closeBus(bus, options, failureStatus(result, EXIT_FAILED));
    }
    if (options.readback) {
        // As i2cset, the value is read back without PEC; a short write reads the chip's byte
        // and compares it with the byte written.
        result = smbus(bus, *address, kind, true, *reg, false, data);
        const int expected = value;
        std::string line;
        if (linkInDoubt(result.status)) {
            reportFailure("reading back", result);
            status = failureStatus(result, EXIT_FAILED);
        } else if (!result.ok()) {
            reportFailure("reading back", result);
            line = "Warning - readback failed\n";
        } else if (valueOf(data) != expected) {
            line = "Warning - data mismatch - wrote " + hex("0x%0*x", expected, width) +
                   ", read back " + hex("0x%0*x", valueOf(data), width) + "\n";
        } else {
            line = "Value " + hex("0x%0*x", expected, width) + " written, readback matched\n";
        }
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    return closeBus(bus, options, status);
}

namespace {

struct DumpPlan {
    int address = 0;
    I2cMode mode;
    int bank = 0;
    int bank_register = 0x4e;
    int first = 0x00;
    int last = 0xff;
};

// Reads the arguments of dump into plan; -1 when sound, else the exit status.
int parseDump(const Options &options, DumpPlan &plan) {
    const std::vector<std::string> &args = options.args;
    if (args.empty() || args.size() > 4)
        return usageError("dump takes CHIP [MODE [BANK [BANKREG]]]");
    std::string error;
    const std::optional<int> address = parseChipAddress(args[0], options.all_addresses, error);
    if (!address)
        return usageError("chip address " + error);
    plan.address = *address;
    if (args.size() >= 2) {
        const std::optional<I2cMode> mode = parseMode(args[1], "bwWsci", "bwsc");
        if (!mode)
            return usageError("mode '" + args[1] + "' is b, w, W, s, c or i, with p for PEC " +
                              "(not W and i)");
        plan.mode = *mode;
    } else {
        std::fputs("No mode given: reading byte data (mode b)\n", stderr);
    }
    const char letter = plan.mode.letter;
    if (args.size() >= 3) {
        // For mode s the "bank" is the block's command code.
        const std::optional<long> bank = parseNumber(args[2], letter == 's' ? 0xff : 15);
        if (letter == 'i' || !bank)
            return usageError("BANK '" + args[2] + "' is 0-15 (mode s: a command 0x00-0xff; " +
                              "mode i: none)");
        plan.bank = static_cast<int>(*bank);
    }
    if (args.size() == 4) {
        const std::optional<int> reg = parseRegister(args[3], "BANKREG", error);
        if (letter == 's' || !reg)
            return usageError(letter == 's' ? "mode s takes no BANKREG" : error);
        plan.bank_register = *reg;
    }
    if (!options.range.empty()) {
        const auto range = parseRegisterRange(options.range);
        if (!range)
            return usageError("-r '" + options.range + "' is not FIRST-LAST in 0x00-0xff");
        if (letter == 's' || (letter == 'W' && (range->first % 2 != 0 || range->second % 2 == 0)))
            return usageError(letter == 's' ? "-r is not for mode s"
                                            : "mode W needs an even FIRST and an odd LAST");
        plan.first = range->first;
        plan.last = range->second;
    }
    return -1;
}

// Reads the cells of one row; false when the link is in doubt, with result saying why.
bool readRow(TavroBus &bus, const DumpPlan &plan, int row, int width, DumpCells &cells,
             BusResult &result) {
    const char letter = plan.mode.letter;
    for (int r = std::max(row, plan.first); r < row + width && r <= plan.last; ++r) {
        if (letter == 'i' || (letter == 'W' && r % 2 != 0))
            continue; // read already
        std::vector<std::uint8_t> data;
        result = smbus(bus, plan.address, kindOf(letter), true, r, plan.mode.pec, data);
        if (linkInDoubt(result.status))
            return false;
        const int value = result.ok() ? valueOf(data) : DUMP_UNREAD;
        cells[static_cast<std::size_t>(r)] = letter == 'W' && value >= 0 ? value & 0xff : value;
        if (letter == 'W')
            cells[static_cast<std::size_t>(r + 1)] = value >= 0 ? value >> 8 : DUMP_UNREAD;
    }
    return true;
}

// Reads the registers in I2C blocks of 32, as i2cdump does; false with result on a failure.
bool readBlocks(TavroBus &bus, const DumpPlan &plan, DumpCells &cells, BusResult &result) {
    for (int r = plan.first; r <= plan.last; r += SMBUS_BLOCK_MAX) {
        std::vector<std::uint8_t> data;
        result = smbus(bus, plan.address, SmbusKind::I2cBlockData, true, r, false, data,
                       SMBUS_BLOCK_MAX);
        if (!result.ok())
            return false;
        for (std::size_t k = 0; k < data.size() && r + k < cells.size(); ++k)
            cells[r + k] = data[k];
    }
    return true;
}

} // namespace

static int runRegisterDump(const Options &options) {
    DumpPlan plan;
    if (const int status = parseDump(options, plan); status >= 0)
        return status;
    if (const int status = checkPort(options))
        return status;
    const char letter = plan.mode.letter;
    if (letter == 's') {
        std::fputs(NO_BLOCK_READ, stderr);
        return EXIT_FAILED;
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "I will probe the bus of the %s on %s, address 0x%x, mode %s\n",
                  variantName(options.link.variant), options.port.c_str(), plan.address,
                  letter == 'i'   ? "i2c block"
                  : letter == 'c' ? "byte consecutive read"
                  : letter == 'b' ? "byte"
                                  : "word");
    std::string question = text + pecLine(plan.mode.pec);
    if (letter == 'W')
        question += "Only probing even register addresses.\n";
    if (plan.bank) {
        std::snprintf(text, sizeof text, "Probing bank %d using bank register 0x%02x.\n", plan.bank,
                      plan.bank_register);
        question += text;
    }
    if (!options.range.empty()) {
        std::snprintf(text, sizeof text, "Probe range limited to 0x%02x-0x%02x.\n", plan.first,
                      plan.last);
        question += text;
    }
    if (!userAgrees(options, question, true))
        return 0;
    TavroBus bus;
    int status = 0;
    if (!openBus(bus, options, status))
        return status;
    const bool pec = plan.mode.pec;
    std::vector<std::uint8_t> data;
    BusResult result;
    int old_bank = 0;
    if (plan.bank) {
        // The bank sits in the low bits of its register; the high bits are kept.
        result = smbus(bus, plan.address, SmbusKind::ByteData, true, plan.bank_register, pec, data);
        old_bank = valueOf(data);
        data = {static_cast<std::uint8_t>(plan.bank | (old_bank & 0xf0))};
        if (result.ok())
            result =
                smbus(bus, plan.address, SmbusKind::ByteData, false, plan.bank_register, pec, data);
        if (!result.ok()) {
            reportFailure("switching the bank", result);
            if (result.status != BusStatus::Interrupted)
                std::fputs("Error: Bank switching failed\n", stderr);
            return closeBus(bus, options, failureStatus(result, EXIT_FAILED));
        }
    }
    DumpCells cells;
    cells.fill(DUMP_UNREAD);
    const char *failed = nullptr;
    if (letter == 'i' && !readBlocks(bus, plan, cells, result))
        failed = "Error: Block read failed, return code %d\n";
    data.clear();
    if (letter == 'c' &&
        !(result = smbus(bus, plan.address, SmbusKind::Byte, false, plan.first, pec, data)).ok())
        failed = "Error: Write start address failed, return code %d\n";
    if (failed) {
        reportFailure("reading", result);
        if (result.status != BusStatus::Interrupted)
            std::fprintf(stderr, failed, -busErrno(result.status));
        return closeBus(bus, options, failureStatus(result, EXIT_FAILED));
    }
    const bool words = letter == 'w';
    const int width = words ? 8 : 16;
    std::fputs((words ? dumpWordHeader() : dumpByteHeader()).c_str(), stdout);
    for (int row = plan.first / width * width; row <= plan.last; row += width) {
        if (!readRow(bus, plan, row, width, cells, result)) {
            std::fflush(stdout);
            char what[32];
            std::snprintf(what, sizeof what, "reading register 0x%02x", row);
            reportFailure(what, result);
            return closeBus(bus, options, failureStatus(result, EXIT_FAILED));
        }
        const std::string line = words ? dumpWordRow(row, cells, plan.first, plan.last)
                                       : dumpByteRow(row, cells, plan.first, plan.last);
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    if (plan.bank) {
        data = {static_cast<std::uint8_t>(old_bank)};
        result =
            smbus(bus, plan.address, SmbusKind::ByteData, false, plan.bank_register, pec, data);
        if (!result.ok()) {
            reportFailure("switching the bank back", result);
            status = failureStatus(result, EXIT_FAILED);
        }
    }
    return closeBus(bus, options, status);
}

// get, set and dump with --map: registers and fields by name, each register read or written
// whole in one transaction, as the core's register map lays out its bytes.
namespace {

// The map and what the arguments name on it; a failed step sets status.
struct MapRequest {
    std::optional<RegisterMap> map;
    int address = 0;
    MapTarget target;
    std::string name;
    std::optional<std::uint64_t> value; // set's
    int status = -1;
};

// A map refused as it was read: no usage hint, the map's own words with its line.
int mapError(const std::string &message) {
    std::fprintf(stderr, "tavro-i2c: %s\n", message.c_str());
    return EXIT_USAGE;
}

// Reads the map and the address (the map's own when the arguments leave it out); names are
// the arguments left for the subcommand.
bool readMapRequest(const Options &options, std::size_t names, const char *usage,
                    MapRequest &request, std::vector<std::string> &rest) {
    const std::vector<std::string> &args = options.args;
    if (args.size() != names && args.size() != names + 1) {
        request.status = usageError(usage);
        return false;
    }
    std::string error;
    request.map = loadRegisterMap(options.map, error);
    if (!request.map) {
        request.status = mapError(error);
        return false;
    }
    const bool given = args.size() == names + 1;
    if (!given && !request.map->address) {
        request.status = usageError(options.map + " gives no address: CHIP is needed");
        return false;
    }
    const std::string text = given ? args[0] : hex("0x%0*x", *request.map->address);
    const std::optional<int> address = parseChipAddress(text, options.all_addresses, error);
    if (!address) {
        request.status = usageError("chip address " + error);
        return false;
    }
    request.address = *address;
    rest.assign(args.begin() + (given ? 1 : 0), args.end());
    return true;
}

bool findTarget(const std::string &name, MapRequest &request) {
    std::string error;
    const std::optional<MapTarget> target = findMapTarget(*request.map, name, error);
    if (!target) {
        request.status = usageError(error);
        return false;
    }
    request.target = *target;
    request.name = name;
    return true;
}

std::string registerWords(const MapRequest &request, const MapRegister &reg) {
    return "register " + reg.name + " (" + registerAddressText(*request.map, reg) + ", " +
           std::to_string(reg.size) + (reg.size == 1 ? " byte)" : " bytes)");
}

std::string mapPlan(const Options &options, const MapRequest &request, const char *verb) {
    return std::string("I will ") + verb + " the bus of the " + variantName(options.link.variant) +
           " on " + options.port + ", chip address " + hex("0x%0*x", request.address) + ",\n" +
           registerWords(request, *request.target.reg);
}

// Reads the register whole; false after saying why, with status set.
bool readMapRegister(TavroBus &bus, const Options &options, MapRequest &request,
                     const MapRegister &reg, std::uint64_t &value, const char *what) {
    std::vector<I2cMessage> messages = registerReadMessages(*request.map, reg, request.address);
    const BusResult result = bus.transfer(messages);
    if (!result.ok()) {
        reportFailure(std::string(what) + " " + reg.name, result);
        request.status = closeBus(bus, options, failureStatus(result, EXIT_FAILED));
        return false;
    }
    value = registerValue(*request.map, messages.back().data);
    return true;
}

// What get prints for the target, read from its register's value.
std::string targetText(const MapTarget &target, std::uint64_t value) {
    return target.field ? fieldText(*target.field, fieldRaw(*target.field, value))
                        : registerText(*target.reg, value);
}

int runMapGet(const Options &options) {
    MapRequest request;
    std::vector<std::string> rest;
    if (!readMapRequest(options, 1, "get --map FILE takes [CHIP] NAME", request, rest) ||
        !findTarget(rest[0], request))
        return request.status;
    if (const std::string refusal = readRefusal(request.target); !refusal.empty())
        return mapError(refusal);
    if (const int status = checkPort(options))
        return status;
    if (!userAgrees(options, mapPlan(options, request, "read from") + ".\n", true))
        return 0;
    TavroBus bus;
    int status = 0;
    if (!openBus(bus, options, status))
        return status;
    std::uint64_t value = 0;
    if (!readMapRegister(bus, options, request, *request.target.reg, value, "reading"))
        return request.status;
    std::printf("%s\n", targetText(request.target, value).c_str());
    std::fflush(stdout);
    return closeBus(bus, options, 0);
}

int runMapSet(const Options &options) {
    MapRequest request;
    std::vector<std::string> rest;
    if (!readMapRequest(options, 2, "set --map FILE takes [CHIP] NAME VALUE", request, rest) ||
        !findTarget(rest[0], request))
        return request.status;
    if (!options.mask.empty())
        return usageError("-m is not for --map: name a field to keep the other bits");
    const MapTarget &target = request.target;
    if (const std::string refusal = writeRefusal(target); !refusal.empty())
        return mapError(refusal);
    std::string error;
    request.value = parseTargetValue(target, rest[1], error);
    if (!request.value)
        return mapError(error);
    if (const int status = checkPort(options))
        return status;
    std::string plan = mapPlan(options, request, "write to");
    plan += target.field ? ",\nfield " + target.field->name + " = " +
                               fieldText(*target.field, *request.value) +
                               " (the register is read, modified and written).\n"
                         : " = " + registerText(*target.reg, *request.value) + ".\n";
    if (!userAgrees(options, plan, true))
        return 0;
    TavroBus bus;
    int status = 0;
    if (!openBus(bus, options, status))
        return status;
    const MapRegister &reg = *target.reg;
    std::uint64_t value = *request.value;
    if (target.field) {
        std::uint64_t old = 0;
        if (!readMapRegister(bus, options, request, reg, old, "reading"))
            return request.status;
        value = withField(*target.field, old, value);
    }
    I2cMessage message = registerWriteMessage(*request.map, reg, request.address, value);
    const BusResult result = bus.transfer(message, true);
    if (!result.ok()) {
        reportFailure("writing " + reg.name, result);
        return closeBus(bus, options, failureStatus(result, EXIT_FAILED));
    }
    if (options.readback) {
        std::uint64_t back = 0;
        if (!readMapRegister(bus, options, request, reg, back, "reading back"))
            return request.status;
        const std::string wrote = targetText(target, value), read = targetText(target, back);
        const std::string line = wrote == read ? "Value " + wrote + " written, readback matched\n"
                                               : "Warning - data mismatch - wrote " + wrote +
                                                     ", read back " + read + "\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    return closeBus(bus, options, status);
}

int runMapDump(const Options &options) {
    MapRequest request;
    std::vector<std::string> rest;
    if (!readMapRequest(options, 0, "dump --map FILE takes [CHIP]", request, rest))
        return request.status;
    if (!options.range.empty())
        return usageError("-r is not for --map: the map lists the registers");
    if (const int status = checkPort(options))
        return status;
    const RegisterMap &map = *request.map;
    if (!userAgrees(options,
                    "I will read every readable register of " + map.device + " in " + options.map +
                        " from the bus of the " + variantName(options.link.variant) + " on " +
                        options.port + ", chip address " + hex("0x%0*x", request.address) + ".\n",
                    true))
        return 0;
    TavroBus bus;
    int status = 0;
    if (!openBus(bus, options, status))
        return status;
    std::printf("%s at 0x%02x\n", map.device.c_str(), request.address);
    for (const MapRegister &reg : map.registers) {
        if (!reg.readable())
            continue;
        std::vector<I2cMessage> messages = registerReadMessages(map, reg, request.address);
        const BusResult result = bus.transfer(messages);
        if (linkInDoubt(result.status)) {
            std::fflush(stdout);
            reportFailure("reading " + reg.name, result);
            return closeBus(bus, options, failureStatus(result, EXIT_FAILED));
        }
        // As dump's XX: a register that could not be read is shown so, and the rest are read.
        const std::optional<std::uint64_t> value =
            result.ok() ? std::optional<std::uint64_t>(registerValue(map, messages.back().data))
                        : std::nullopt;
        std::fputs(registerDumpText(map, reg, value).c_str(), stdout);
        std::fflush(stdout);
    }
    return closeBus(bus, options, status);
}

} // namespace

int runGet(const Options &options) {
    return options.map.empty() ? runRegisterGet(options) : runMapGet(options);
}

int runSet(const Options &options) {
    return options.map.empty() ? runRegisterSet(options) : runMapSet(options);
}

int runDump(const Options &options) {
    return options.map.empty() ? runRegisterDump(options) : runMapDump(options);
}
