// tavro-sim: a Tavro adapter on a pseudo-terminal, for trying and testing the program
// without hardware. See --help.

#include "tavrosim/control.h"
#include "tavrosim/pty_simulator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tavrosim;

constexpr int kStdinPollMs = 100; // how often the control loop notices that the pty vanished
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kMaxUsbLatencyMs = 1000;

volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void onStopSignal(int) {
    g_stopSignal = 1;
}

struct Options {
    Variant variant = Variant::Solx;
    int rate = kResetRate;
    std::string link;
    unsigned seed = 1;
    Timing timing = Timing::Instant;
    int usbLatencyMs = 0;
    bool chatty = false;
    bool trace = true;
    bool quitOnEof = false;
    std::vector<std::string> controls; // fault options, as control commands
};

void printHelp() {
    std::printf("Usage: tavro-sim [OPTIONS]\n"
                "Simulates a Tavro I2C bus adapter (variants Sol, Solx, Dyn) on a\n"
                "pseudo-terminal. The first line printed is the path of the serial port to\n"
                "open; trace lines follow.\n"
                "On the bus: a 256-byte EEPROM at A0 (the first byte written sets its address\n"
                "pointer) and an 8-bit port at 4E; other addresses answer /SNA.\n"
                "Bytes written at a line rate other than the adapter's are ignored, and what\n"
                "the adapter sends while the rates differ is lost.\n"
                "\n"
                "Options:\n"
                "  --variant sol|solx|dyn  adapter variant (default solx); Sol lacks /K, /b\n"
                "                          and /n and runs at 19200 only\n"
                "  --rate N                listening rate at start of a Solx or Dyn (default\n"
                "                          19200; also 57600 or 115200, as left by an earlier\n"
                "                          session); it returns to 19200 on reset\n"
                "  --timing instant|real   instant (default): bytes pass at once; real: each\n"
                "                          byte takes 10 bit times at its rate, both ways, a\n"
                "                          transfer its I2C bus time, and a byte from the\n"
                "                          program counts at the rate its line has when the\n"
                "                          byte has finished arriving\n"
                "  --usb-latency MS        hold what the adapter sends as a USB serial chip\n"
                "                          does: until MS ms after the first held byte, or 62\n"
                "                          bytes\n"
                "  --chatty                send CR, LF and '*' between replies now and then,\n"
                "                          and answer a reset with the line \"Tavro ready\"\n"
                "  --link PATH             make PATH a symbolic link to the port (an existing\n"
                "                          symbolic link is replaced, any other file is not);\n"
                "                          removed on exit\n"
                "  --busy N | --arb N | --nak N | --invalid N\n"
                "                          the first N transfers answer /I81, /I83, /SNA or\n"
                "                          /I8F\n"
                "  --silent                start without replying\n"
                "  --int                   start with /INT asserted (reported as /NSA when the\n"
                "                          program switches the monitor on)\n"
                "  --delay MS              hold back everything the adapter sends by MS\n"
                "                          milliseconds\n"
                "  --seed N                seed of the noise generator and the chatter\n"
                "                          (default 1)\n"
                "  --chip ADDRESS=FILE     add a chip built from the register map FILE at the\n"
                "                          7-bit ADDRESS (repeatable; it replaces a chip\n"
                "                          there)\n"
                "  --quiet                 no trace lines\n"
                "  --quit-on-eof           exit at the end of standard input (default: keep\n"
                "                          running)\n"
                "  --help                  this text\n"
                "  --version               the version\n"
                "\n"
                "Commands on standard input, one per line:\n"
                "%s"
                "\n"
                "Output lines (each flushed): the port path first, then\n"
                "  rx RATE \"BYTES\" [-> /REPLY | ignored]\n"
                "                          a command, the host line rate it came at\n"
                "  tx RATE \"BYTES\"         bytes sent to the program\n"
                "  drop RATE \"BYTES\" (REASON)\n"
                "                          bytes lost: rates differ or port closed\n"
                "  link up | link down | vanished\n"
                "                          the program opened or closed the port\n"
                "  sim: TEXT               answers to commands and messages\n"
                "\n"
                "Runs until SIGINT, SIGTERM, \"quit\" or \"vanish\".\n",
                controlHelp());
}

void printLine(const std::string &line) {
    // Several threads print: keep each line whole, and flush it for readers on a pipe.
    flockfile(stdout);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    funlockfile(stdout);
}

void printMessage(const std::string &text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        printLine("sim: " + text.substr(start, end - start));
        start = end + 1;
    }
}

std::optional<long> number(const std::string &text) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 0)
        return std::nullopt;
    return value;
}

// Returns nullopt after printing a message when the arguments are wrong.
std::optional<Options> parseArguments(int argc, char **argv) {
    Options options;
    std::optional<long> rate;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            hasValue = true;
        }
        auto needValue = [&]() -> bool {
            if (!hasValue && i + 1 < argc) {
                value = argv[++i];
                hasValue = true;
            }
            if (!hasValue)
                std::fprintf(stderr, "tavro-sim: %s needs a value\n", arg.c_str());
            return hasValue;
        };

        if (arg == "--help" || arg == "-h") {
            printHelp();
            std::exit(0);
        } else if (arg == "--version") {
            std::printf("tavro-sim %s\n", TAVRO_SIM_VERSION);
            std::exit(0);
        } else if (arg == "--variant") {
            if (!needValue())
                return std::nullopt;
            auto variant = parseVariant(value);
            if (!variant) {
                std::fprintf(stderr, "tavro-sim: unknown variant '%s'\n", value.c_str());
                return std::nullopt;
            }
            options.variant = *variant;
        } else if (arg == "--rate") {
            if (!needValue())
                return std::nullopt;
            rate = number(value);
            if (!rate) {
                std::fprintf(stderr, "tavro-sim: bad rate '%s'\n", value.c_str());
                return std::nullopt;
            }
        } else if (arg == "--link") {
            if (!needValue())
                return std::nullopt;
            options.link = value;
        } else if (arg == "--busy" || arg == "--arb" || arg == "--nak" || arg == "--invalid" ||
                   arg == "--delay") {
            if (!needValue())
                return std::nullopt;
            options.controls.push_back(arg.substr(2) + " " + value);
        } else if (arg == "--chip") {
            if (!needValue())
                return std::nullopt;
            options.controls.push_back("chip " + value);
        } else if (arg == "--silent") {
            options.controls.push_back("silent");
        } else if (arg == "--int") {
            options.controls.push_back("int on");
        } else if (arg == "--seed") {
            if (!needValue())
                return std::nullopt;
            auto seed = number(value);
            if (!seed) {
                std::fprintf(stderr, "tavro-sim: bad seed '%s'\n", value.c_str());
                return std::nullopt;
            }
            options.seed = static_cast<unsigned>(*seed);
        } else if (arg == "--timing") {
            if (!needValue())
                return std::nullopt;
            if (value != "instant" && value != "real") {
                std::fprintf(stderr, "tavro-sim: timing is instant or real, not '%s'\n",
                             value.c_str());
                return std::nullopt;
            }
            options.timing = value == "real" ? Timing::Real : Timing::Instant;
        } else if (arg == "--usb-latency") {
            if (!needValue())
                return std::nullopt;
            auto ms = number(value);
            if (!ms || *ms > kMaxUsbLatencyMs) {
                std::fprintf(stderr, "tavro-sim: bad USB latency '%s' (0 to %d ms)\n",
                             value.c_str(), kMaxUsbLatencyMs);
                return std::nullopt;
            }
            options.usbLatencyMs = static_cast<int>(*ms);
        } else if (arg == "--chatty") {
            options.chatty = true;
        } else if (arg == "--quiet") {
            options.trace = false;
        } else if (arg == "--quit-on-eof") {
            options.quitOnEof = true;
        } else {
            std::fprintf(stderr, "tavro-sim: unknown option '%s' (try --help)\n", arg.c_str());
            return std::nullopt;
        }
    }

    if (rate) {
        // A Sol runs at 19200 only; a Solx or Dyn can only have been left at a rate "/b"
        // selects.
        if (options.variant == Variant::Sol) {
            std::fprintf(stderr, "tavro-sim: a Sol runs at %d bit/s only; --rate is not for it\n",
                         kResetRate);
            return std::nullopt;
        }
        if (std::find(kBitRates.begin(), kBitRates.end(), *rate) == kBitRates.end()) {
            std::fprintf(stderr, "tavro-sim: rate %ld not possible for this variant\n", *rate);
            return std::nullopt;
        }
        options.rate = static_cast<int>(*rate);
    }
    return options;
}

bool createLink(const std::string &link, const std::string &target) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "tavro-sim: %s exists and is not a symbolic link\n", link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "tavro-sim: cannot create %s: %s\n", link.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

// Removes the link only if it still points at our port: another simulator may own it now.
void removeLink(const std::string &link, const std::string &target) {
    char buffer[256];
    ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target)
        unlink(link.c_str());
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a reader of our output going away must not kill us
}

// Reads control lines from standard input until told to stop. Returns when the simulator
// should end.
void controlLoop(PtySimulator &sim, bool quitOnEof) {
    bool stdinOpen = true;
    std::string pending;
    while (!g_stopSignal && !sim.vanished()) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int ready = ::poll(&pfd, stdinOpen ? 1 : 0, kStdinPollMs);
        if (ready <= 0)
            continue;
        char buffer[512];
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            stdinOpen = false;
            if (quitOnEof)
                return;
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            ControlResult result = runControl(sim, line);
            printMessage(result.ok ? result.message : "error: " + result.message);
            if (result.quit)
                return;
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::optional<Options> options = parseArguments(argc, argv);
    if (!options)
        return kExitUsage;

    try {
        PtySimulator sim(options->variant, options->rate);
        sim.with([&](Adapter &a) {
            a.seedNoise(options->seed);
            a.setChatty(options->chatty);
        });
        sim.setTiming(options->timing);
        sim.setUsbLatency(options->usbLatencyMs);
        sim.start();
        for (const std::string &control : options->controls) {
            ControlResult result = runControl(sim, control);
            if (!result.ok) {
                std::fprintf(stderr, "tavro-sim: %s\n", result.message.c_str());
                return kExitUsage;
            }
        }
        if (!options->link.empty() && !createLink(options->link, sim.slavePath()))
            return kExitFailure;
        installSignalHandlers();
        // The first line tells a waiting reader that the port, the link and the start-up
        // faults are all in place.
        printLine(sim.slavePath());
        if (options->trace)
            sim.setTrace(printLine);

        // The pump thread must not take the stop signals: the control loop polls for them.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        sim.startThread();
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

        controlLoop(sim, options->quitOnEof);
        sim.stop();
        if (!options->link.empty())
            removeLink(options->link, sim.slavePath());
        printMessage(g_stopSignal ? "stopped by signal" : "exiting");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavro-sim: %s\n", e.what());
        return kExitFailure;
    }
    return 0;
}
