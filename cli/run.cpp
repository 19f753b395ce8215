#include "run.h"

#include "i2c_syntax.h"
#include "list_file.h"
#include "list_runner.h"
#include "tavro_bus.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace {

constexpr long MAX_COUNT = 1000000000;

// "--name VALUE" or "--name=VALUE" at args[i]; advances i past what it took.
bool takeValue(const std::vector<char *> &args, std::size_t &i, const std::string &name,
               std::string &value, std::string &error) {
    const std::string arg = args[i];
    if (arg.rfind(name + "=", 0) == 0) {
        value = arg.substr(name.size() + 1);
        if (value.empty())
            error = "option " + name + " needs a value";
        return true;
    }
    if (arg != name)
        return false;
    if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return true;
    }
    value = args[++i];
    return true;
}

std::string stopOn(const std::string &events, RunOptions &options) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = events.find(',', start);
        const std::string word = events.substr(start, comma - start);
        if (word == "nak")
            options.stop_on_nak = true;
        else if (word == "busy")
            options.stop_on_busy = true;
        else if (word == "arb")
            options.stop_on_arb = true;
        else
            return "--stop-on " + events + ": the events are nak, busy and arb, comma-separated";
        if (comma == std::string::npos)
            return "";
        start = comma + 1;
    }
}

RunPlan planOf(const RunOptions &options, const ListFile &list) {
    RunPlan plan = planFromFlags(list);
    if (options.count > 0 || options.forever || options.on_int) {
        plan = RunPlan();
        plan.on_int = options.on_int;
        plan.passes = options.count;
    }
    plan.stop_on_nak = options.stop_on_nak;
    plan.stop_on_busy = options.stop_on_busy;
    plan.stop_on_arb = options.stop_on_arb;
    return plan;
}

std::string planWords(const RunPlan &plan) {
    const std::string times = plan.passes == 0   ? "until Ctrl+C"
                              : plan.passes == 1 ? "once"
                                                 : std::to_string(plan.passes) + " times";
    if (plan.first_int_only)
        return "from the first /INT assertion on, until Ctrl+C";
    return plan.on_int ? "on each /INT assertion, " + times : times;
}

// Writes text and flushes it; false when it did not all go out.
bool emit(std::FILE *out, const std::string &text) {
    return std::fputs(text.c_str(), out) >= 0 && std::fflush(out) == 0;
}

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reads the list; the exit status when it cannot be run, with nothing sent.
int readList(const std::string &path, ListFile &list) {
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        std::fprintf(stderr, "tavro-i2c: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return EXIT_USAGE;
    }
    const ListFileStatus status = readListFile(file.get(), list);
    if (status == ListFileStatus::ReadError) {
        std::fprintf(stderr, "tavro-i2c: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return EXIT_USAGE;
    }
    if (status == ListFileStatus::NotAList) {
        std::fprintf(stderr, "tavro-i2c: %s: Not an QVT I2C Message List file!\n", path.c_str());
        return EXIT_USAGE;
    }
    if (list.messages.empty()) {
        std::fprintf(stderr, "tavro-i2c: %s: the list holds no message; nothing was sent\n",
                     path.c_str());
        return EXIT_USAGE;
    }
    if (list.dropped > 0)
        std::fprintf(stderr,
                     "tavro-i2c: %s: the list holds at most 50 messages: %d message line(s) of "
                     "the file were dropped\n",
                     path.c_str(), list.dropped);
    return 0;
}

// Tells how the run ended, where it did not simply end.
void tellEnd(const RunResult &result) {
    switch (result.end) {
    case RunEnd::Finished:
        if (result.failed > 0)
            std::fprintf(stderr, "tavro-i2c: %d of %d transfers failed\n", result.failed,
                         result.transfers);
        break;
    case RunEnd::BadRow:
        std::fprintf(stderr, "tavro-i2c: row %d: %s\n", result.row, result.detail.c_str());
        break;
    case RunEnd::StoppedOnEvent:
        std::fprintf(stderr, "tavro-i2c: pass %d, row %d: %s; stopped as --stop-on asks\n",
                     result.passes, result.row, result.detail.c_str());
        break;
    case RunEnd::AdapterFailed:
        std::fprintf(stderr, "tavro-i2c: pass %d, row %d: %s\n", result.passes, result.row,
                     result.detail.c_str());
        break;
    case RunEnd::Stopped:
    case RunEnd::ReportRefused:
        break;
    }
}

} // namespace

const char *const RUN_USAGE =
    "       tavro-i2c run [-y] -p PORT [-d VARIANT] [-b RATE] [-c KHZ]\n"
    "                     [--once | --count N | --forever] [--on-int]\n"
    "                     [--stop-on nak,busy,arb] [--log FILE] [--save FILE] LIST.iml\n";

const char *const RUN_HELP =
    "run sends a message list saved from the window, as its Send does. Without options its\n"
    "AutoRepeat and Send On /INT flags decide; --once, --count N, --forever and --on-int\n"
    "(once per /INT assertion) override them. A NAK or lost arbitration skips the message\n"
    "and a busy bus retries it after 20 ms, unless --stop-on names it. One line per\n"
    "transfer: SECONDS PASS ROW ADDRESS w|r [BYTES...] OUTCOME. --log FILE writes them as\n"
    "CSV (- for standard output), --save FILE the list with the bytes read.\n";

std::string takeRunOptions(std::vector<char *> &args, RunOptions &options) {
    std::vector<char *> rest;
    std::string error;
    int repeats = 0; // of --once, --count and --forever
    for (std::size_t i = 0; i < args.size() && error.empty(); ++i) {
        const std::string arg = args[i];
        std::string value;
        if (arg == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<long>(i), args.end());
            break;
        } else if (arg == "--once") {
            options.count = 1;
            ++repeats;
        } else if (arg == "--forever") {
            options.forever = true;
            ++repeats;
        } else if (arg == "--on-int") {
            options.on_int = true;
        } else if (takeValue(args, i, "--count", value, error)) {
            const std::optional<long> count = parseNumber(value, MAX_COUNT);
            if (error.empty() && (!count || *count < 1))
                error = "--count " + value + ": the count is a number from 1";
            options.count = static_cast<int>(count.value_or(0));
            ++repeats;
        } else if (takeValue(args, i, "--stop-on", value, error)) {
            if (error.empty())
                error = stopOn(value, options);
        } else if (takeValue(args, i, "--log", options.log, error) ||
                   takeValue(args, i, "--save", options.save, error)) {
        } else {
            rest.push_back(args[i]);
        }
    }
    if (error.empty() && repeats > 1)
        error = "--once, --count and --forever exclude each other";
    args = rest;
    return error;
}

int runListCommand(const Options &link, const RunOptions &options) {
    if (link.args.size() != 1)
        return usageError("run takes one list file: LIST.iml");
    if (link.all_addresses)
        return usageError("-a is not an option of run: a list's addresses go out as they stand");
    const std::string &path = link.args[0];
    // The log is opened for writing: over the list it would destroy the list it runs.
    struct stat list_status = {};
    struct stat log_status = {};
    if (!options.log.empty() && options.log != "-" && ::stat(path.c_str(), &list_status) == 0 &&
        ::stat(options.log.c_str(), &log_status) == 0 && list_status.st_dev == log_status.st_dev &&
        list_status.st_ino == log_status.st_ino)
        return usageError("--log " + options.log +
                          " is the list itself: give the log a file "
                          "of its own");
    ListFile list;
    if (const int status = readList(path, list))
        return status;
    const RunPlan plan = planOf(options, list);
    if (plan.on_int && link.link.variant == Variant::Sol)
        return usageError(options.on_int ? "--on-int: the Tavro/Sol has no /INT monitor (-d)"
                                         : path + " runs on /INT (its Send On /INT is on), which "
                                                  "the Tavro/Sol lacks: give --once, --count N "
                                                  "or --forever");

    const std::string plan_text = "I will send the " + std::to_string(list.messages.size()) +
                                  " messages of " + path + " to the bus on " + link.port + ", " +
                                  planWords(plan) + ".\n";
    if (!userAgrees(link, plan_text, false))
        return 0;

    // Opened once the user agreed: a declined run leaves an old log as it was.
    File log_file;
    std::FILE *log = nullptr;
    if (options.log == "-") {
        log = stdout;
    } else if (!options.log.empty()) {
        log_file.reset(std::fopen(options.log.c_str(), "w"));
        if (!log_file) {
            std::fprintf(stderr, "tavro-i2c: cannot open the log %s: %s\n", options.log.c_str(),
                         std::strerror(errno));
            return EXIT_USAGE;
        }
        log = log_file.get();
    }
    holdStopSignals();
    TavroBus bus;
    const BusResult opened = bus.open(link.port, link.link);
    if (!opened.ok()) {
        if (opened.status == BusStatus::NotTerminal)
            return usageError(opened.detail);
        if (opened.status == BusStatus::NoPort) {
            std::fprintf(stderr, "tavro-i2c: %s\n", opened.detail.c_str());
            return EXIT_FAILED;
        }
        std::fprintf(stderr, "tavro-i2c: opening the link on %s: %s%s\n", link.port.c_str(),
                     opened.detail.c_str(),
                     opened.status == BusStatus::TimedOut || opened.status == BusStatus::Refused
                         ? "; is the adapter connected and powered, and the variant -d says?"
                         : "");
        return stopSignal() ? 128 + stopSignal() : EXIT_FAILED;
    }
    if (log && !emit(log, TRANSFER_CSV_HEADER)) {
        std::fprintf(stderr, "tavro-i2c: writing the log %s: %s\n", options.log.c_str(),
                     std::strerror(errno));
        bus.close();
        return EXIT_FAILED;
    }

    bool log_failed = false;
    const RunResult result = runList(bus, list.messages, plan, [&](const Transfer &transfer) {
        // A log that cannot be written ends the run: a test without its record is void.
        log_failed = log && !emit(log, transferCsv(transfer));
        return !log_failed && (log == stdout || emit(stdout, transferLine(transfer)));
    });
    const BusResult closed = bus.close();
    int status = result.end == RunEnd::Finished && result.failed == 0 ? 0 : EXIT_FAILED;
    tellEnd(result);
    if (log_failed && log != stdout)
        std::fprintf(stderr, "tavro-i2c: writing the log %s: %s\n", options.log.c_str(),
                     std::strerror(errno));
    if (!closed.ok()) {
        std::fprintf(stderr, "tavro-i2c: closing the link on %s: %s\n", link.port.c_str(),
                     closed.detail.c_str());
        status = EXIT_FAILED;
    }
    if (!options.save.empty()) {
        const std::string text =
            formatListFile(list.messages, list.autorepeat == 1, list.sendonint == 1);
        const SaveResult saved = saveListFile(options.save, text);
        if (saved != SaveResult::Saved) {
            std::fprintf(stderr, "tavro-i2c: %s: %s\n", options.save.c_str(),
                         saved == SaveResult::CantOpen ? "Can't open file for writing!"
                         : saved == SaveResult::Damaged
                             ? "Can't write file!  The list was not saved, and the old list "
                               "could not be put back: the file may be damaged."
                             : "Can't write file!  The list was not saved.");
            status = EXIT_FAILED;
        }
    }
    if (const int signal = stopSignal()) {
        const std::string why = signal == SIGINT
                                    ? std::string("interrupted")
                                    : std::string("stopped by a signal: ") + strsignal(signal);
        std::fprintf(stderr, "tavro-i2c: %s; the link is %s\n", why.c_str(),
                     closed.ok() ? "closed" : "reset");
        return 128 + signal;
    }
    return status;
}
