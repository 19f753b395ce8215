#include "door.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int stoppedStatus() {
    return 128 + stopSignal();
}

// i2c-tools' question; only a "y" (or, where yes is the default, an empty answer) goes on.
bool confirmed(bool yes_by_default) {
    std::fputs(yes_by_default ? "Continue? [Y/n] " : "Continue? [y/N] ", stderr);
    std::fflush(stderr);
    char answer[64];
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    return answer[0] == 'y' || answer[0] == 'Y' || (yes_by_default && answer[0] == '\n');
}

// The text with each line wider than a terminal's 80 columns broken at its last blank that
// fits; a word longer than a line (a port's long path) stays whole.
std::string wrapped(const std::string &text) {
    constexpr std::size_t WIDTH = 79;
    std::string out;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        for (std::size_t cut; line.size() > WIDTH && (cut = line.rfind(' ', WIDTH)) != 0 &&
                              cut != std::string::npos;) {
            out += line.substr(0, cut) + "\n";
            line.erase(0, cut + 1);
        }
        out += line + (end < text.size() ? "\n" : "");
        start = end + 1;
    }
    return out;
}

} // namespace

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

int usageError(const std::string &message) {
    std::fprintf(stderr, "tavro-i2c: %s\nTry 'tavro-i2c --help' for more information.\n",
                 message.c_str());
    return EXIT_USAGE;
}

bool userAgrees(const Options &options, const std::string &plan, bool yes_by_default) {
    if (options.yes)
        return true;
    std::fprintf(stderr,
                 "WARNING! This program can confuse your I2C bus, cause data loss and "
                 "worse!\n%s",
                 wrapped(plan).c_str());
    return askToContinue(yes_by_default);
}

bool askToContinue(bool yes_by_default) {
    if (confirmed(yes_by_default))
        return true;
    std::fputs("Aborting on user request.\n", stderr);
    return false;
}

int checkPort(const Options &options) {
    TavroLink link; // closes the port again as it goes
    std::string error;
    const int status = link.openPort(options.port, error);
    if (status == EXIT_USAGE)
        return usageError(error);
    if (status != 0)
        std::fprintf(stderr, "tavro-i2c: %s\n", error.c_str());
    return status;
}

bool openBus(TavroBus &bus, const Options &options, int &status) {
    holdStopSignals();
    const BusResult opened = bus.open(options.port, options.link);
    if (opened.ok())
        return true;
    status = failureStatus(opened, EXIT_FAILED);
    const std::string variant = variantName(options.link.variant);
    std::string hint;
    if (opened.status == BusStatus::TimedOut)
        hint = "; is the adapter connected and powered, and a " + variant + " (see -d)?";
    else if (opened.status == BusStatus::Refused)
        hint = "; is the adapter a " + variant + " (see -d)?";
    std::fprintf(stderr, "tavro-i2c: opening the link on %s: %s%s\n", options.port.c_str(),
                 opened.detail.c_str(), hint.c_str());
    return false;
}

int closeBus(TavroBus &bus, const Options &options, int status) {
    const BusResult closed = bus.close();
    const bool stopped = stopSignal() != 0;
    if (!closed.ok()) {
        std::fprintf(stderr, "tavro-i2c: closing the link on %s: %s\n", options.port.c_str(),
                     closed.detail.c_str());
        return stopped ? stoppedStatus() : status == 0 ? EXIT_FAILED : status;
    }
    // A reader that went away (dump | head) is ordinary: the link is closed, nothing said.
    if (stopped && stopSignal() != SIGPIPE) {
        const std::string why =
            stopSignal() == SIGINT ? std::string("interrupted")
                                   : std::string("stopped by a signal: ") + strsignal(stopSignal());
        std::fprintf(stderr, "tavro-i2c: %s; the link is closed\n", why.c_str());
    }
    return stopped ? stoppedStatus() : status;
}

int failureStatus(const BusResult &result, int failed) {
    return result.status == BusStatus::Interrupted ? stoppedStatus() : failed;
}

void reportFailure(const std::string &what, const BusResult &result) {
    if (result.status != BusStatus::Interrupted)
        std::fprintf(stderr, "tavro-i2c: %s: %s\n", what.c_str(), result.detail.c_str());
}
