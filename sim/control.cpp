#include "tavrosim/control.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace tavrosim {

namespace {

constexpr long kMaxCount = 100000; // bounds counts and delays typed by hand
constexpr long kDefaultNoise = 64;

std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start)
            out.emplace_back(line.substr(start, i - start));
    }
    return out;
}

std::optional<long> parseNumber(const std::string &text, int base = 10) {
    if (text.empty())
        return std::nullopt;
    char *end = nullptr;
    long value = std::strtol(text.c_str(), &end, base);
    if (*end != '\0' || value < 0 || value > kMaxCount)
        return std::nullopt;
    return value;
}

// The optional count argument: absent means `fallback`.
std::optional<long> countArgument(const std::vector<std::string> &w, long fallback) {
    if (w.size() == 1)
        return fallback;
    if (w.size() == 2)
        return parseNumber(w[1]);
    return std::nullopt;
}

ControlResult failure(const std::string &message) {
    return {false, false, message};
}

std::string status(PtySimulator &sim) {
    std::string text;
    sim.with([&](Adapter &a) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "variant %s, rate %d, bus %s, monitor %s, /INT %s, faults queued %zu, "
                      "transfers %d%s%s",
                      variantName(a.variant()), a.rate(), a.busOpen() ? "open" : "closed",
                      a.monitorOn() ? "on" : "off", a.interruptAsserted() ? "asserted" : "released",
                      a.faultsQueued(), a.transfers(), a.silent() ? ", silent" : "",
                      a.slaveTransmitRequested() ? ", slave transmit requested" : "");
        text = line;
    });
    text +=
        ", line " + std::to_string(sim.lineRate()) + (sim.linkUp() ? ", link up" : ", link down");
    return text;
}

// "ADDRESS=FILE": a chip built from the map in FILE at the 7-bit ADDRESS (0x48 or 72).
ControlResult addChip(PtySimulator &sim, std::string_view argument) {
    const std::vector<std::string> w = words(argument);
    const std::string text = w.size() == 1 ? w[0] : "";
    const std::size_t eq = text.find('=');
    const std::string address = text.substr(0, eq);
    char *end = nullptr;
    const long value = std::strtol(address.c_str(), &end, 0);
    if (eq == std::string::npos || eq + 1 == text.size() || address.empty() || *end != '\0' ||
        value < 0 || value > 0x7f)
        return failure("usage: chip ADDRESS=FILE (a 7-bit address, 0x00-0x7f, and a map)");
    std::string error;
    std::optional<MapChip> chip = MapChip::fromFile(text.substr(eq + 1), error);
    if (!chip)
        return failure(error);
    const std::string device = chip->device();
    sim.with([&](Adapter &a) { a.addChip(static_cast<std::uint8_t>(value << 1), *chip); });
    char at[8];
    std::snprintf(at, sizeof at, "0x%02lx", value);
    return {true, false, "chip " + device + " at " + at};
}

} // namespace

ControlResult runControl(PtySimulator &sim, std::string_view line) {
    const std::vector<std::string> w = words(line);
    if (w.empty() || w[0][0] == '#')
        return {};
    const std::string &name = w[0];

    static const struct {
        const char *name;
        Fault fault;
    } faults[] = {{"busy", Fault::Busy},
                  {"arb", Fault::ArbitrationLost},
                  {"nak", Fault::Nak},
                  {"invalid", Fault::Invalid}};
    for (const auto &f : faults) {
        if (name != f.name)
            continue;
        auto count = countArgument(w, 1);
        if (!count)
            return failure("usage: " + name + " [N]");
        sim.failNext(f.fault, static_cast<int>(*count));
        return {true, false, "next " + std::to_string(*count) + " transfer(s): " + name};
    }

    if (w.size() == 1) {
        if (name == "clear") {
            sim.with([](Adapter &a) { a.clearFaults(); });
            return {true, false, "faults cleared"};
        }
        if (name == "silent" || name == "speak") {
            sim.setSilent(name == "silent");
            return {true, false, name == "silent" ? "silent" : "speaking"};
        }
        if (name == "str") {
            sim.requestSlaveTransmit();
            return {true, false, "slave transmit requested"};
        }
        if (name == "longline") {
            sim.sendOverlongLine();
            return {true, false, "over-long line sent"};
        }
        if (name == "status")
            return {true, false, status(sim)};
        if (name == "vanish") {
            sim.vanish();
            return {true, true, "vanished"};
        }
        if (name == "quit")
            return {true, true, "quitting"};
        if (name == "help")
            return {true, false, controlHelp()};
    }
    if (name == "int" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        sim.setInterrupt(w[1] == "on");
        return {true, false, w[1] == "on" ? "/INT asserted" : "/INT released"};
    }
    if (name == "src") {
        std::vector<std::uint8_t> data;
        for (std::size_t i = 1; i < w.size(); ++i) {
            auto byte = w[i].size() <= 2 ? parseNumber(w[i], 16) : std::nullopt;
            if (!byte)
                return failure("usage: src [HH ...] (hex bytes)");
            data.push_back(static_cast<std::uint8_t>(*byte));
        }
        sim.deliverFromMaster(data);
        return {true, false, "data from master delivered"};
    }
    if (name == "noise") {
        auto count = countArgument(w, kDefaultNoise);
        if (!count)
            return failure("usage: noise [N]");
        sim.sendNoise(static_cast<std::size_t>(*count));
        return {true, false, std::to_string(*count) + " noise characters sent"};
    }
    if (name == "delay") {
        auto ms = w.size() == 2 ? parseNumber(w[1]) : std::nullopt;
        if (!ms)
            return failure("usage: delay MS");
        sim.setReplyDelay(static_cast<int>(*ms));
        return {true, false, "reply delay " + std::to_string(*ms) + " ms"};
    }
    if (name == "chip")
        return addChip(sim, line.substr(line.find("chip") + 4));
    return failure("unknown command or arguments: " + std::string(line) + " (try: help)");
}

const char *controlHelp() {
    return "  busy [N]      the next N transfers (default 1) answer /I81 (bus busy)\n"
           "  arb [N]       ... answer /I83 (arbitration lost)\n"
           "  nak [N]       ... answer /SNA (slave did not acknowledge)\n"
           "  invalid [N]   ... answer /I8F (invalid command)\n"
           "  clear         forget the queued transfer faults\n"
           "  silent        send no replies or events (commands still take effect)\n"
           "  speak         reply again\n"
           "  int on|off    assert or release /INT (a change is sent, /NSA or /NSR, only\n"
           "                while the monitor is on)\n"
           "  str           request a slave transmit (/STR; /STC follows the program's /s)\n"
           "  src [HH ...]  deliver data from a master (/SRC HH ...)\n"
           "  noise [N]     send N random characters (default 64; printable, '*', CR, LF)\n"
           "  longline      send an over-long line: /XYZ + 400 characters + CRLF\n"
           "  delay MS      hold back everything the adapter sends by MS milliseconds\n"
           "                (0 = none)\n"
           "  chip A=FILE   put a chip built from the register map FILE at 7-bit address A\n"
           "  status        show the adapter's state\n"
           "  vanish        close the pty (the program sees a hang-up) and exit\n"
           "  quit          exit\n"
           "  help          this list\n";
}

} // namespace tavrosim
