// detect and transfer: i2cdetect's probes and i2ctransfer's messages on the adapter's bus.
#include "door.h"
#include "i2c_syntax.h"

#include <climits>
#include <cstdio>

namespace {

// i2cdetect's choice where neither -q nor -r is given: a quick write can corrupt some EEPROMs
// (at 0x50-0x5f) and is ignored by some chips at 0x30-0x37, so those are read instead.
bool probesByReading(char probe, int address) {
    if (probe != 'a')
        return probe == 'r';
    return (address >= 0x30 && address <= 0x37) || (address >= 0x50 && address <= 0x5f);
}

// Reads FIRST and LAST into first and last (which hold the widest range); -1 when sound,
// else the exit status.
int parseProbeRange(const std::vector<std::string> &args, int &first, int &last) {
    if (args.empty())
        return -1;
    if (args.size() != 2)
        return usageError("detect takes FIRST and LAST together, or neither");
    const char *names[] = {"FIRST", "LAST"};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::optional<long> value = parseNumber(args[i], LONG_MAX);
        const int from = first; // LAST lies from the new FIRST on
        if (!value || *value < from || *value > last) {
            char range[16];
            std::snprintf(range, sizeof range, "0x%02x-0x%02x", from, last);
            return usageError(std::string(names[i]) + " '" + args[i] + "' is not an address in " +
                              range);
        }
        (i == 0 ? first : last) = static_cast<int>(*value);
    }
    return -1;
}

} // namespace

int runDetect(const Options &options) {
    if (options.functionality) {
        if (!options.args.empty())
            return usageError("-F takes no FIRST and LAST");
        if (const int status = checkPort(options))
            return status;
        std::fputs(functionalityList(options.port).c_str(), stdout);
        return 0;
    }
    int first = options.all_addresses ? 0 : I2C_FIRST_REGULAR;
    int last = options.all_addresses ? I2C_LAST_ADDRESS : I2C_LAST_REGULAR;
    if (const int status = parseProbeRange(options.args, first, last); status >= 0)
        return status;
    if (const int status = checkPort(options))
        return status;
    char plan[256];
    std::snprintf(plan, sizeof plan,
                  "I will probe the bus of the %s on %s%s.\n"
                  "I will probe address range 0x%02x-0x%02x.\n",
                  variantName(options.link.variant), options.port.c_str(),
                  options.probe == 'q'   ? " using quick write commands"
                  : options.probe == 'r' ? " using receive byte commands"
                                         : "",
                  first, last);
    if (!userAgrees(options, plan, true))
        return 0;
    TavroBus bus;
    int status = 0;
    if (!openBus(bus, options, status))
        return status;
    std::fputs(gridHeader().c_str(), stdout);
    for (int row = 0; row < 0x80 && status == 0; row += 16) {
        std::fputs(gridRowStart(row).c_str(), stdout);
        for (int address = row; address < row + 16 && status == 0; ++address) {
            std::fflush(stdout);
            if (address < first || address > last) {
                std::fputs(gridCell(address, GridCell::Blank).c_str(), stdout);
                continue;
            }
            SmbusTransaction probe;
            probe.address = address;
            probe.read = probesByReading(options.probe, address);
            probe.kind = probe.read ? SmbusKind::Byte : SmbusKind::Quick;
            std::vector<std::uint8_t> data;
            const BusResult result = bus.smbus(probe, data);
            if (result.ok() || result.status == BusStatus::Nak) {
                std::fputs(
                    gridCell(address, result.ok() ? GridCell::Present : GridCell::Absent).c_str(),
                    stdout);
                continue;
            }
            std::fputs("\n", stdout);
            std::fflush(stdout);
            status = failureStatus(result, EXIT_FAILED);
            char what[32];
            std::snprintf(what, sizeof what, "probing 0x%02x", address);
            reportFailure(what, result);
        }
        if (status == 0)
            std::fputs("\n", stdout);
        std::fflush(stdout);
    }
    return closeBus(bus, options, status);
}

int runTransfer(const Options &options) {
    std::string error;
    const std::vector<DescribedMessage> described =
        parseMessages(options.args, options.all_addresses, error);
    if (described.empty())
        return usageError(error);
    if (const int status = checkPort(options))
        return status;
    std::string plan = std::string("I will send the following messages to the bus of the ") +
                       variantName(options.link.variant) + " on " + options.port + ":\n";
    for (std::size_t i = 0; i < described.size(); ++i)
        plan += messageLine(static_cast<int>(i), described[i]);
    if (!userAgrees(options, plan, false))
        return 0;
    TavroBus bus;
    int status = 0;
    if (!openBus(bus, options, status))
        return status;
    std::vector<I2cMessage> messages(described.begin(), described.end());
    const BusResult result = bus.transfer(messages);
    if (!result.ok()) {
        status = failureStatus(result, EXIT_FAILED);
        const DescribedMessage &failed = described[result.message];
        // A DESC without "@" names its carried-over address here.
        char address[16] = "";
        if (failed.desc.find('@') == std::string::npos)
            std::snprintf(address, sizeof address, ", addr 0x%02x", failed.address);
        reportFailure("msg " + std::to_string(result.message) + " (" + failed.desc + address + ")",
                      result);
    } else {
        // As i2ctransfer, the bytes read are printed once the whole transaction went through;
        // with -v every message is, with its bytes.
        std::string output;
        for (std::size_t i = 0; i < messages.size(); ++i)
            output += options.verbose    ? messageLine(static_cast<int>(i), messages[i])
                      : messages[i].read ? readBytesLine(messages[i].data)
                                         : "";
        std::fputs(output.c_str(), stdout);
        std::fflush(stdout);
    }
    return closeBus(bus, options, status);
}
