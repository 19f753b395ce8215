// tavro-i2c: i2cdetect and i2ctransfer for the I2C bus behind a Tavro adapter, in their syntax
// and with their output, so that what works on a kernel I2C bus works here.

#include "i2c_syntax.h"
#include "run.h"
#include "tavro_bus.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

struct Options {
    std::string command; // "detect" or "transfer"
    std::string port;
    LinkSettings link;
    bool yes = false;
    bool all_addresses = false;
    bool read_probe = false;
    std::vector<std::string> args; // what follows the options
};

const char *variantName(Variant variant) {
    switch (variant) {
    case Variant::Sol:
        return "Tavro/Sol";
    case Variant::Solx:
        return "Tavro/Solx";
    case Variant::Dyn:
        break;
    }
    return "Tavro/Dyn";
}

void printHelp() {
    std::printf(
        "Usage: tavro-i2c detect [-y] [-a] [-r] -p PORT [-d VARIANT] [-b RATE] [-c KHZ]\n"
        "                        [FIRST [LAST]]\n"
        "       tavro-i2c transfer [-y] [-a] -p PORT [-d VARIANT] [-b RATE] [-c KHZ]\n"
        "                          DESC [DATA] [DESC [DATA]]...\n"
        "%s"
        "       tavro-i2c --help | --version\n"
        "\n"
        "i2cdetect and i2ctransfer for the I2C bus behind a Tavro adapter on a serial port.\n"
        "Addresses are 7-bit, as in i2c-tools (0x50; the adapter is sent A0).\n"
        "\n"
        "  -p PORT     the adapter's serial port, or tavro-sim's pseudo-terminal (required)\n"
        "  -d VARIANT  sol, solx or dyn (default solx)\n"
        "  -b RATE     bit/s: 19200, 57600 or 115200 (default 115200; sol: 19200 only)\n"
        "  -c KHZ      I2C clock: 23, 86, 100 or 400 (default 100; sol: 100 only)\n"
        "  -y          do not ask for confirmation\n"
        "  -a          allow the addresses 0x00-0x07 and 0x78-0x7f (detect: probe them)\n"
        "  -r          detect: probe with a one-byte read instead of an empty write\n"
        "\n"
        "detect prints i2cdetect's grid for 0x08-0x77, or FIRST to LAST.\n"
        "transfer sends the messages in one transaction, a repeated start between them and\n"
        "a Stop after the last. DESC is {r|w}LENGTH[@ADDRESS] (LENGTH 0-32; the address\n"
        "carries over); a write's DATA bytes follow it, and a suffix on the last given byte\n"
        "fills the message: = same, + up, - down, p pseudo-random. The bytes of each read\n"
        "are printed on a line of their own: 0x12 0x34 0x56.\n"
        "%s"
        "\n"
        "Examples:\n"
        "  tavro-i2c detect -y -p /dev/ttyUSB0\n"
        "  tavro-i2c transfer -y -p /dev/ttyUSB0 w1@0x50 0x00 r8\n"
        "  tavro-i2c transfer -y -p /dev/ttyUSB0 w17@0x50 0x42 0xff-\n"
        "\n"
        "Exit status: 0 when every message was acknowledged; 1 on a NAK, a busy bus, a lost\n"
        "arbitration, an adapter that does not answer within 1 s or a port that cannot be\n"
        "opened; 2 on a usage error, with nothing sent. Ctrl+C closes the link and exits\n"
        "with 130.\n",
        RUN_USAGE, RUN_HELP);
}

// A usage error: the message and a hint; nothing has been sent.
int usageError(const std::string &message) {
    std::fprintf(stderr, "tavro-i2c: %s\nTry 'tavro-i2c --help' for more information.\n",
                 message.c_str());
    return EXIT_USAGE;
}

bool oneOf(long value, std::initializer_list<long> allowed) {
    for (long v : allowed)
        if (v == value)
            return true;
    return false;
}

// Reads the options after the command; -1 when they are sound, else the exit status.
int parseOptions(int argc, char **argv, Options &options) {
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    long rate = -1;
    long khz = -1;
    std::string variant = "solx";
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":p:d:b:c:yarh", long_options, nullptr)) != -1) {
        switch (c) {
        case 'p':
            options.port = optarg;
            break;
        case 'd':
            variant = optarg;
            break;
        case 'b':
            rate = parseNumber(optarg, 1000000).value_or(0);
            break;
        case 'c':
            khz = parseNumber(optarg, 1000000).value_or(0);
            break;
        case 'y':
            options.yes = true;
            break;
        case 'a':
            options.all_addresses = true;
            break;
        case 'r':
            options.read_probe = true;
            break;
        case 'h':
            printHelp();
            return 0;
        case ':':
            return usageError(std::string("option -") + static_cast<char>(optopt) +
                              " needs a value");
        default:
            return usageError(optopt ? std::string("unknown option -") + static_cast<char>(optopt)
                                     : std::string("unknown option ") + argv[optind - 1]);
        }
    }
    options.args.assign(argv + optind, argv + argc);
    if (variant == "sol")
        options.link.variant = Variant::Sol;
    else if (variant == "dyn")
        options.link.variant = Variant::Dyn;
    else if (variant != "solx")
        return usageError("-d " + variant + ": the variant is sol, solx or dyn");
    const bool sol = options.link.variant == Variant::Sol;
    options.link.rate = rate >= 0 ? static_cast<int>(rate) : sol ? 19200 : 115200;
    options.link.khz = khz >= 0 ? static_cast<int>(khz) : 100;
    if (sol ? options.link.rate != 19200 : !oneOf(options.link.rate, {19200, 57600, 115200}))
        return usageError(sol ? "-b: the Tavro/Sol runs at 19200 bit/s only"
                              : "-b: the rate is 19200, 57600 or 115200");
    if (sol ? options.link.khz != 100 : !oneOf(options.link.khz, {23, 86, 100, 400}))
        return usageError(sol ? "-c: the Tavro/Sol clocks its bus at 100 kHz only"
                              : "-c: the clock is 23, 86, 100 or 400 kHz");
    if (options.port.empty())
        return usageError("the adapter's port is missing: -p PORT");
    if (options.read_probe && options.command != "detect")
        return usageError("-r is an option of detect");
    return -1;
}

// i2cdetect's and i2ctransfer's question; only a "y" (or, where yes is the default, an empty
// answer) goes on.
bool confirmed(bool yes_by_default) {
    std::fputs(yes_by_default ? "Continue? [Y/n] " : "Continue? [y/N] ", stderr);
    std::fflush(stderr);
    char answer[64];
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    return answer[0] == 'y' || answer[0] == 'Y' || (yes_by_default && answer[0] == '\n');
}

// Unless -y was given, shows the plan with i2c-tools' warning and asks; false (after saying
// so) when the user declines.
bool userAgrees(const Options &options, const std::string &plan, bool yes_by_default) {
    if (options.yes)
        return true;
    std::fprintf(stderr,
                 "WARNING! This program can confuse your I2C bus, cause data loss and "
                 "worse!\n%s",
                 plan.c_str());
    if (confirmed(yes_by_default))
        return true;
    std::fputs("Aborting on user request.\n", stderr);
    return false;
}

int stoppedStatus() {
    return 128 + stopSignal();
}

// Opens the link; false after telling why and releasing the port.
bool openLink(TavroLink &link, const Options &options, int &status) {
    holdStopSignals();
    const Reply opened = link.open(options.link);
    if (opened.is("OCC"))
        return true;
    link.abandon();
    status = opened.outcome == Outcome::Interrupted ? stoppedStatus() : EXIT_FAILED;
    const std::string variant = variantName(options.link.variant);
    std::string hint;
    if (opened.outcome == Outcome::TimedOut)
        hint = "; is the adapter connected and powered, and a " + variant + " (see -d)?";
    else if (opened.is("I8F"))
        hint = "; is the adapter a " + variant + " (see -d)?";
    std::fprintf(stderr, "tavro-i2c: opening the link on %s: %s%s\n", options.port.c_str(),
                 replyProblem(opened).c_str(), hint.c_str());
    return false;
}

// Closes the link and gives the exit status: status as it stands, unless the close failed
// or a signal stopped the work.
int closeLink(TavroLink &link, const Options &options, int status) {
    const Reply closed = link.close();
    const bool stopped = stopSignal() != 0;
    if (!closed.is("CCC")) {
        std::fprintf(stderr, "tavro-i2c: closing the link on %s: %s\n", options.port.c_str(),
                     replyProblem(closed).c_str());
        return stopped ? stoppedStatus() : status == 0 ? EXIT_FAILED : status;
    }
    if (stopped) {
        const std::string why =
            stopSignal() == SIGINT ? std::string("interrupted")
                                   : std::string("stopped by a signal: ") + strsignal(stopSignal());
        std::fprintf(stderr, "tavro-i2c: %s; the link is closed\n", why.c_str());
        return stoppedStatus();
    }
    return status;
}

int openPort(TavroLink &link, const Options &options) {
    std::string error;
    const int status = link.openPort(options.port, error);
    if (status == EXIT_USAGE)
        return usageError(error);
    if (status != 0)
        std::fprintf(stderr, "tavro-i2c: %s\n", error.c_str());
    return status;
}

int detect(const Options &options) {
    const int lowest = options.all_addresses ? 0 : I2C_FIRST_REGULAR;
    const int highest = options.all_addresses ? I2C_LAST_ADDRESS : I2C_LAST_REGULAR;
    int first = lowest;
    int last = highest;
    if (options.args.size() > 2)
        return usageError("detect takes at most FIRST and LAST");
    const char *names[] = {"FIRST", "LAST"};
    for (std::size_t i = 0; i < options.args.size(); ++i) {
        const std::optional<long> value = parseNumber(options.args[i], highest);
        const int from = i == 0 ? lowest : first;
        if (!value || *value < from) {
            char range[16];
            std::snprintf(range, sizeof range, "0x%02x-0x%02x", from, highest);
            return usageError(std::string(names[i]) + " '" + options.args[i] +
                              "' is not an address in " + range);
        }
        (i == 0 ? first : last) = static_cast<int>(*value);
    }
    TavroLink link;
    if (const int status = openPort(link, options))
        return status;
    char plan[256];
    std::snprintf(plan, sizeof plan,
                  "Probing can upset some devices.\n"
                  "I will probe the bus of the %s on %s using %s.\n"
                  "I will probe address range 0x%02x-0x%02x.\n",
                  variantName(options.link.variant), options.port.c_str(),
                  options.read_probe ? "one-byte reads" : "empty writes", first, last);
    if (!userAgrees(options, plan, true))
        return 0;
    int status = 0;
    if (!openLink(link, options, status))
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
            const char *code = options.read_probe ? "MRC" : "MTC";
            const Reply probe =
                link.exchange({buildSelectSlave(adapterAddress(address)),
                               options.read_probe ? buildMRx(1, 1) : buildMTx("", 1)},
                              code);
            if (probe.is(code) || probe.is("SNA")) {
                const GridCell cell = probe.is("SNA") ? GridCell::Absent : GridCell::Present;
                std::fputs(gridCell(address, cell).c_str(), stdout);
                continue;
            }
            std::fputs("\n", stdout);
            std::fflush(stdout);
            status = probe.outcome == Outcome::Interrupted ? stoppedStatus() : EXIT_FAILED;
            if (probe.outcome != Outcome::Interrupted)
                std::fprintf(stderr, "tavro-i2c: probing 0x%02x: %s\n", address,
                             replyProblem(probe).c_str());
        }
        if (status == 0)
            std::fputs("\n", stdout);
        std::fflush(stdout);
    }
    return closeLink(link, options, status);
}

int transfer(const Options &options) {
    std::string error;
    const std::vector<DescribedMessage> messages =
        parseMessages(options.args, options.all_addresses, error);
    if (messages.empty())
        return usageError(error);
    TavroLink link;
    if (const int status = openPort(link, options))
        return status;
    std::string plan = std::string("I will send the following messages to the bus of the ") +
                       variantName(options.link.variant) + " on " + options.port + ":\n";
    for (std::size_t i = 0; i < messages.size(); ++i)
        plan += messageLine(static_cast<int>(i), messages[i]);
    if (!userAgrees(options, plan, false))
        return 0;
    int status = 0;
    if (!openLink(link, options, status))
        return status;
    std::string output;
    for (std::size_t i = 0; i < messages.size() && status == 0; ++i) {
        const DescribedMessage &message = messages[i];
        // Stop only after the last message: the others end in a repeated start.
        const int stop = i + 1 == messages.size();
        const char *code = message.read ? "MRC" : "MTC";
        const Reply reply =
            link.exchange({buildSelectSlave(adapterAddress(message.address)),
                           message.read ? buildMRx(message.length, stop)
                                        : buildMTx(transmitArgument(message.data), stop)},
                          code);
        std::string problem;
        if (!reply.is(code)) {
            problem = replyProblem(reply);
        } else if (message.read) {
            const auto bytes = readReplyBytes(replyText(reply.line), message.length);
            if (bytes)
                output += readBytesLine(*bytes);
            else
                problem = "the reply does not hold the " + std::to_string(message.length) +
                          " bytes asked for (" + reply.line + ")";
        }
        if (reply.outcome == Outcome::Interrupted) {
            status = stoppedStatus();
        } else if (!problem.empty()) {
            // A DESC without "@" names its carried-over address here.
            char address[16] = "";
            if (message.desc.find('@') == std::string::npos)
                std::snprintf(address, sizeof address, ", addr 0x%02x", message.address);
            std::fprintf(stderr, "tavro-i2c: msg %zu (%s%s): %s\n", i, message.desc.c_str(),
                         address, problem.c_str());
            status = EXIT_FAILED;
        }
    }
    // As i2ctransfer, the bytes read are printed once the whole transaction went through.
    if (status == 0) {
        std::fputs(output.c_str(), stdout);
        std::fflush(stdout);
    }
    return closeLink(link, options, status);
}

} // namespace

int main(int argc, char **argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h") {
        printHelp();
        return 0;
    }
    if (command == "--version") {
        std::printf("tavro-i2c %s\n", TAVRO_I2C_VERSION);
        return 0;
    }
    if (command != "detect" && command != "transfer" && command != "run")
        return usageError(command.empty()
                              ? "a command is missing: detect, transfer or run"
                              : "'" + command + "' is not a command: detect, transfer or run");
    Options options;
    options.command = command;
    RunOptions run;
    std::vector<char *> args(argv + 1, argv + argc);
    if (const std::string error = command == "run" ? takeRunOptions(args, run) : ""; !error.empty())
        return usageError(error);
    const int status = parseOptions(static_cast<int>(args.size()), args.data(), options);
    if (status >= 0)
        return status;
    if (command == "run")
        return runListCommand(
            {options.port, options.link, options.yes, options.all_addresses, options.args}, run);
    return command == "detect" ? detect(options) : transfer(options);
}
