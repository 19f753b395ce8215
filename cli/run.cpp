#include "run.h"

#include "i2c_syntax.h"
#include "list_file.h"
#include "list_runner.h"
#include "tavro_bus.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Whether both paths name one file: the same inode, or, where neither exists yet, the
// same name.
bool sameFile(const std::string &a, const std::string &b) {
    struct stat first = {};
    struct stat second = {};
    if (::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0)
        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    std::error_code first_error, second_error;
    const std::filesystem::path first_name = std::filesystem::weakly_canonical(a, first_error);
    const std::filesystem::path second_name = std::filesystem::weakly_canonical(b, second_error);
    return first_error || second_error ? a == b : first_name == second_name;
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
    // The window shows the list it read; here each line its rules skipped or read in a way
    // the user may not expect is told, before anything is asked or sent.
    for (const ListNote &note : list.notes)
        std::fprintf(stderr, "tavro-i2c: %s:%d: %s\n", path.c_str(), note.line, note.why.c_str());
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
    "       tavro-i2c run [-y] COMMON [--once | --count N | --forever] [--on-int]\n"
    "                     [--stop-on nak,busy,arb] [--strict] [--log FILE]\n"
    "                     [--save FILE] LIST.iml\n";

const char *const RUN_HELP =
    "run sends a message list saved from the window, as its Send does. Without\n"
    "options its AutoRepeat and Send On /INT flags decide; --once, --count N,\n"
    "--forever and --on-int (once per /INT assertion) override them. A NAK or lost\n"
    "arbitration skips the message and a busy bus retries it after 20 ms, unless\n"
    "--stop-on names it. Lines of the list that the window's reader skips, or reads\n"
    "otherwise than written, are named first; --strict then sends nothing. One line\n"
    "per transfer: SECONDS PASS ROW ADDRESS w|r [BYTES...] OUTCOME. --log FILE\n"
    "writes them as CSV (- for standard output), --save FILE the list with the\n"
    "bytes read; both are checked before anything is sent. A file name that begins\n"
    "with -- is written ./--NAME.\n";

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
        } else if (arg == "--strict") {
            options.strict = true;
        } else if (takeValue(args, i, "--count", value, error)) {
            const std::optional<long> count = parseNumber(value, MAX_COUNT);
            if (error.empty() && (!count || *count < 1))
                error = "--count " + value + ": the count is a number from 1";
            options.count = static_cast<int>(count.value_or(0));
            ++repeats;
        } else if (takeValue(args, i, "--stop-on", value, error)) {
            if (error.empty())
                error = stopOn(value, options);
        } else if (takeValue(args, i, "--log", value, error) ||
                   takeValue(args, i, "--save", value, error)) {
            // "--log --once" is far likelier a forgotten name than a file called "--once".
            const std::string name = arg.rfind("--log", 0) == 0 ? "--log" : "--save";
            if (error.empty() && value.rfind("--", 0) == 0)
                error = name + " " + value + ": a file name that begins with -- needs ./ " +
                        "before it (./" + value + ")";
            (name == "--log" ? options.log : options.save) = value;
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
    if (!options.log.empty() && options.log != "-" && sameFile(path, options.log))
        return usageError("--log " + options.log +
                          " is the list itself: give the log a file "
                          "of its own");
    if (!options.log.empty() && options.log != "-" && !options.save.empty() &&
        sameFile(options.log, options.save))
        return usageError("--log " + options.log + " and --save " + options.save +
                          " name one file: give the log a file of its own");
    ListFile list;
    if (const int status = readList(path, list))
        return status;
    if (!list.notes.empty() && options.strict) {
        std::fprintf(stderr,
                     "tavro-i2c: %s: not every line reads as written, which --strict "
                     "refuses; nothing was sent\n",
                     path.c_str());
        return EXIT_USAGE;
    }
    if (!list.notes.empty() && !options.save.empty() && sameFile(path, options.save)) {
        std::fprintf(stderr,
                     "tavro-i2c: --save %s: saving the list over itself would lose "
                     "the lines above; nothing was sent\n",
                     options.save.c_str());
        return EXIT_USAGE;
    }
    // Both files are checked before the first byte goes out, with nothing changed: a run
    // that could not keep its record or its result is not started.
    const std::pair<const std::string &, bool> targets[] = {{options.log, false},
                                                            {options.save, true}};
    for (const auto &[target, is_list] : targets) {
        if (target.empty() || (!is_list && target == "-"))
            continue;
        if (const std::string why = whyNotWritable(target, is_list); !why.empty()) {
            std::fprintf(stderr, "tavro-i2c: %s %s: %s; nothing was sent\n",
                         is_list ? "--save" : "--log", target.c_str(), why.c_str());
            return EXIT_USAGE;
        }
    }
    const RunPlan plan = planOf(options, list);
    if (plan.on_int && link.link.variant == Variant::Sol)
        return usageError(options.on_int ? "--on-int: the Tavro/Sol has no /INT monitor (-d)"
                                         : path + " runs on /INT (its Send On /INT is on), which "
                                                  "the Tavro/Sol lacks: give --once, --count N "
                                                  "or --forever");
    if (const int status = checkPort(link))
        return status;

    const std::string plan_text = "I will send the " + std::to_string(list.messages.size()) +
                                  " messages of " + path + " to the bus on " + link.port + ", " +
                                  planWords(plan) + ".\n";
    if (!userAgrees(link, plan_text, false))
        return 0;
    TavroBus bus;
    int status = 0;
    if (!openBus(bus, link, status))
        return status;
    // Opened once the link is open and the user agreed: a run that does not start leaves an
    // old log as it was.
    File log_file;
    std::FILE *log = nullptr;
    if (options.log == "-") {
        log = stdout;
    } else if (!options.log.empty()) {
        // Appended to, after one emptying now: a rotation that cuts the log while the run
        // goes on (copytruncate, ": > run.csv") leaves no hole of NUL bytes at its head.
        const int fd =
            ::open(options.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
        log_file.reset(fd < 0 ? nullptr : ::fdopen(fd, "a"));
        if (!log_file) {
            const int error = errno;
            if (fd >= 0)
                ::close(fd);
            std::fprintf(stderr, "tavro-i2c: cannot open the log %s: %s\n", options.log.c_str(),
                         std::strerror(error));
            return closeBus(bus, link, EXIT_USAGE);
        }
        log = log_file.get();
    }
    if (log && !emit(log, TRANSFER_CSV_HEADER)) {
        std::fprintf(stderr, "tavro-i2c: writing the log %s: %s\n", options.log.c_str(),
                     std::strerror(errno));
        return closeBus(bus, link, EXIT_FAILED);
    }

    bool log_failed = false;
    int log_error = 0;
    const RunResult result = runList(bus, list.messages, plan, [&](const Transfer &transfer) {
        // A log that cannot be written ends the run: a test without its record is void.
        log_failed = log && !emit(log, transferCsv(transfer));
        log_error = log_failed ? errno : 0;
        return !log_failed && (log == stdout || emit(stdout, transferLine(transfer)));
    });
    status = result.end == RunEnd::Finished && result.failed == 0 ? 0 : EXIT_FAILED;
    tellEnd(result);
    if (log_failed && log != stdout)
        std::fprintf(stderr, "tavro-i2c: writing the log %s: %s\n", options.log.c_str(),
                     std::strerror(log_error));
    status = closeBus(bus, link, status);
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
            if (status == 0)
                status = EXIT_FAILED;
        }
    }
    return status;
}
