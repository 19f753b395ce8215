// tavro-i2c: i2cdetect, i2ctransfer, i2cget, i2cset and i2cdump for the I2C bus behind a
// Tavro adapter, in their syntax and with their output, so that what works on a kernel I2C
// bus works here; and run, which sends a list saved from the window. This file reads the
// options and hands over to the subcommand.

#include "door.h"
#include "i2c_syntax.h"
#include "run.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

namespace {

// A subcommand: its name, the options of its own (getopt letters), and its work.
struct Command {
    const char *name;
    const char *own_options;
    int (*run)(const Options &);
};

// run's own options, taken out before the shared parser reads the rest.
RunOptions run_options;

int runList(const Options &options) {
    return runListCommand(options, run_options);
}

const Command COMMANDS[] = {
    {"detect", "qrF", runDetect}, {"transfer", "v", runTransfer}, {"get", "", runGet},
    {"set", "m:r", runSet},       {"dump", "r:", runDump},        {"run", "", runList},
    {"exec", "", runExec},
};

void printHelp() {
    std::printf("Usage: tavro-i2c detect [-y] [-a] [-q|-r] COMMON [FIRST LAST]\n"
                "       tavro-i2c detect -F COMMON\n"
                "       tavro-i2c transfer [-f] [-y] [-v] [-a] COMMON DESC [DATA]\n"
                "                          [DESC [DATA]]...\n"
                "       tavro-i2c get [-f] [-y] [-a] COMMON CHIP [REGISTER [MODE [LENGTH]]]\n"
                "       tavro-i2c set [-f] [-y] [-m MASK] [-r] [-a] COMMON CHIP REGISTER\n"
                "                     [VALUE]... [MODE]\n"
                "       tavro-i2c dump [-f] [-y] [-r FIRST-LAST] [-a] COMMON CHIP\n"
                "                      [MODE [BANK [BANKREG]]]\n"
                "       tavro-i2c get [-y] [-a] COMMON --map FILE [CHIP] NAME\n"
                "       tavro-i2c set [-y] [-r] [-a] COMMON --map FILE [CHIP] NAME VALUE\n"
                "       tavro-i2c dump [-y] [-a] COMMON --map FILE [CHIP]\n"
                "%s"
                "       tavro-i2c exec [--bus N] COMMON -- PROGRAM [ARGS...]\n"
                "       tavro-i2c SUBCOMMAND -V | --help | --version\n"
                "COMMON is -p PORT [-d VARIANT] [-b RATE] [-c KHZ].\n"
                "\n"
                "i2cdetect, i2ctransfer, i2cget, i2cset and i2cdump for the I2C bus behind a\n"
                "Tavro adapter on a serial port, without their bus argument. Addresses are\n"
                "7-bit, as in i2c-tools (0x50; the adapter is sent A0).\n"
                "\n"
                "  -p PORT     the adapter's serial port, tavro-sim's pseudo-terminal, or\n"
                "              rfc2217://HOST:PORT where ser2net shares the port (required)\n"
                "  -d VARIANT  sol, solx or dyn (default solx)\n"
                "  -b RATE     bit/s: 19200, 57600 or 115200 (default 115200; sol: 19200 only)\n"
                "  -c KHZ      I2C clock: 23, 86, 100 or 400 (default 100; sol: 100 only)\n"
                "  -y          do not ask for confirmation\n"
                "  -a          allow the addresses 0x00-0x07 and 0x78-0x7f (detect: probe them)\n"
                "  -f          accepted and ignored: there is no kernel driver to bypass\n"
                "  -V          print the version on standard error\n"
                "\n"
                "detect prints i2cdetect's grid for 0x08-0x77, or FIRST to LAST. It reads one\n"
                "byte at 0x30-0x37 and 0x50-0x5f and writes no byte (a quick write) elsewhere;\n"
                "-q writes everywhere, -r reads everywhere. -F lists what the adapter can do.\n"
                "transfer sends the messages in one transaction, a repeated start between\n"
                "them and a Stop after the last. DESC is {r|w}LENGTH[@ADDRESS] (LENGTH 0-251;\n"
                "the address carries over); a write's DATA bytes follow it, and a suffix on\n"
                "the last given byte fills the message: = same, + up, - down, p pseudo-random.\n"
                "The bytes of each read are printed on a line of their own: 0x12 0x34 0x56;\n"
                "-v prints every message.\n"
                "get reads a register: MODE b (byte data, the default), w (word), c (write the\n"
                "register, then read a byte), i (I2C block of LENGTH 1-32 bytes, default 32);\n"
                "no REGISTER reads a byte. set writes one: MODE c (REGISTER is the one byte\n"
                "sent), b, w, i or s (SMBus block), with a VALUE per byte for i and s; -m\n"
                "writes only the bits of MASK (c, b, w), -r reads the value back.\n"
                "dump prints registers 0x00-0xff, or FIRST-LAST: MODE b, w, W (words at even\n"
                "registers), c (consecutive reads) or i (I2C blocks); XX marks a byte that\n"
                "could not be read. BANK 1-15 is written to BANKREG (default 0x4e) first and\n"
                "put back after; BANK 0, the default, leaves it alone.\n"
                "A p after the mode (not for i and W) adds the SMBus PEC, computed and checked\n"
                "here. SMBus block reads (mode s) need the slave to choose the length, which\n"
                "the adapter cannot do: nothing is sent.\n"
                "%s"
                "With --map FILE, a register map (see tavro-register-map(5)), get, set and\n"
                "dump go by name: NAME is REGISTER or REGISTER.FIELD, VALUE a number or a\n"
                "value's name, and CHIP may be left out where the map gives it. get prints a\n"
                "register in hex, a field as its value's name or its number; set reads,\n"
                "modifies and writes a field, keeping the register's other bits; dump prints\n"
                "every readable register with its fields beneath it. A map that does not\n"
                "hold, a read-only register or a value that does not fit exits with 2,\n"
                "nothing sent.\n"
                "exec runs PROGRAM, and all it starts, with the bus as /dev/i2c-N (--bus N,\n"
                "default 0): i2c-tools, smbus2 and other programs for Linux's i2c-dev run\n"
                "unmodified. It says nothing of its own unless the link fails, and exits as\n"
                "PROGRAM did.\n"
                "\n"
                "Examples:\n"
                "  tavro-i2c detect -y -p /dev/ttyUSB0\n"
                "  tavro-i2c transfer -y -p /dev/ttyUSB0 w1@0x50 0x00 r8\n"
                "  tavro-i2c dump -y -p /dev/ttyUSB0 0x50\n"
                "  tavro-i2c set -y -r -p /dev/ttyUSB0 0x50 0x10 0x5a\n"
                "  tavro-i2c get -y -p /dev/ttyUSB0 0x50 0x10 w\n"
                "  tavro-i2c detect -y -p rfc2217://localhost:3001\n"
                "  tavro-i2c set -y -p /dev/ttyUSB0 --map lm75.yaml CONF.SHUTDOWN 1\n"
                "\n"
                "Exit status: as the i2c-tools command: 0 when the work was done (dump: also\n"
                "with XX); 1 on a NAK, a busy bus, a lost arbitration, a wrong PEC, an adapter\n"
                "that does not answer within %s or a port that cannot be opened, but get\n"
                "exits 2 when its read fails; 2 on a usage error, with nothing sent. Ctrl+C\n"
                "closes the link and exits with 130; a reader that goes away (dump | head)\n"
                "closes it quietly, with 141.\n",
                RUN_USAGE, RUN_HELP, REPLY_DEADLINE_TEXT);
}

// Reads the options after the subcommand; -1 when they are sound, else the exit status.
int parseOptions(int argc, char **argv, const Command &command, Options &options) {
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {"map", required_argument, nullptr, 'M'},
                                          {"bus", required_argument, nullptr, 'N'},
                                          {nullptr, 0, nullptr, 0}};
    // exec's options end at its program's name, whose own options are the program's.
    const bool exec = options.command == "exec";
    const std::string letters =
        std::string(exec ? "+" : "") + ":p:d:b:c:yafhV" + command.own_options;
    long rate = -1;
    long khz = -1;
    std::string variant = "solx";
    bool version = false;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, letters.c_str(), long_options, nullptr)) != -1) {
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
        case 'f': // no kernel driver holds a device here
            break;
        case 'V':
            version = true;
            break;
        case 'v':
            options.verbose = true;
            break;
        case 'm':
            options.mask = optarg;
            break;
        case 'F':
        case 'q':
        case 'r':
            if (options.command == "set") {
                options.readback = true;
            } else if (options.command == "dump") {
                options.range = optarg;
            } else if (c == 'F') {
                options.functionality = true;
            } else {
                if (options.probe != 'a' && options.probe != c)
                    return usageError("-q and -r exclude each other");
                options.probe = static_cast<char>(c);
            }
            break;
        case 'M':
            if (command.name != std::string("get") && command.name != std::string("set") &&
                command.name != std::string("dump"))
                return usageError("--map is for get, set and dump");
            options.map = optarg;
            break;
        case 'N': {
            const std::optional<long> bus = parseNumber(optarg, 0xfffff);
            if (!exec || !bus)
                return usageError(exec ? std::string("--bus '") + optarg +
                                             "' is not a bus number in 0-1048575"
                                       : "--bus is for exec only");
            options.bus = static_cast<int>(*bus);
            break;
        }
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
    if (version) {
        std::fprintf(stderr, "tavro-i2c %s version %s\n", command.name, TAVRO_I2C_VERSION);
        return 0;
    }
    options.args.assign(argv + optind, argv + argc);
    const std::optional<Variant> named = variantNamed(variant);
    if (!named)
        return usageError("-d " + variant + ": the variant is " + VARIANT_CHOICES);
    options.link.variant = *named;
    options.link.rate = rate >= 0 ? static_cast<int>(rate) : defaultRate(*named);
    options.link.khz = khz >= 0 ? static_cast<int>(khz) : 100;
    const SettingsProblem problem = checkLinkSettings(options.link);
    if (problem.field != SettingsProblem::Field::None)
        return usageError((problem.field == SettingsProblem::Field::Rate ? "-b: " : "-c: ") +
                          problem.words);
    if (options.functionality && options.probe != 'a')
        return usageError("-F lists what the adapter can do; it takes no -q or -r");
    if (options.port.empty())
        return usageError("the adapter's port is missing: -p PORT");
    return -1;
}

// A field's VALUE may be negative (set --map ... TOS.VALUE -20), which getopt would take for
// options: with --map, such arguments are moved behind a "--", after the other arguments.
void keepNegativeValues(std::vector<char *> &args) {
    static char end_of_options[] = "--";
    if (std::find_if(args.begin(), args.end(), [](const char *arg) {
            return std::strcmp(arg, "--map") == 0 || std::strncmp(arg, "--map=", 6) == 0;
        }) == args.end())
        return;
    std::vector<char *> values;
    for (auto it = args.begin() + 1; it != args.end();) {
        if (std::strcmp(*it, "--") == 0)
            break;
        if ((*it)[0] == '-' && std::isdigit(static_cast<unsigned char>((*it)[1])) &&
            std::strcmp(*(it - 1), "--map") != 0) {
            values.push_back(*it);
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    if (values.empty())
        return;
    if (std::find_if(args.begin(), args.end(),
                     [](const char *arg) { return std::strcmp(arg, "--") == 0; }) == args.end())
        args.push_back(end_of_options);
    args.insert(args.end(), values.begin(), values.end());
}

std::string commandNames() {
    std::string names;
    for (const Command &command : COMMANDS)
        names += std::string(names.empty() ? "" : ", ") + command.name;
    return names;
}

} // namespace

int main(int argc, char **argv) {
    const std::string name = argc > 1 ? argv[1] : "";
    if (name == "--help" || name == "-h") {
        printHelp();
        return 0;
    }
    if (name == "--version") {
        std::printf("tavro-i2c %s\n", TAVRO_I2C_VERSION);
        return 0;
    }
    for (const Command &command : COMMANDS) {
        if (name != command.name)
            continue;
        Options options;
        options.command = name;
        std::vector<char *> args(argv + 1, argv + argc);
        if (name == "run")
            if (const std::string error = takeRunOptions(args, run_options); !error.empty())
                return usageError(error);
        keepNegativeValues(args);
        const int status =
            parseOptions(static_cast<int>(args.size()), args.data(), command, options);
        return status >= 0 ? status : command.run(options);
    }
    return usageError(name.empty() ? "a subcommand is missing: " + commandNames()
                                   : "'" + name + "' is not a subcommand: " + commandNames());
}
