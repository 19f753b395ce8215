#include "tavro_link.h"

#include "line_settings.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stop_signal = 0;
// The signal mask while a wait sleeps: the one from before the stop signals were held.
sigset_t wait_mask;
bool holding = false;
int (*stop_check)() = nullptr;

void onStopSignal(int signal) {
    stop_signal = signal;
}

// The framer hands over lines through a plain function: it puts them in the queue of the
// link being fed, so that two links in one process never see each other's replies.
thread_local std::deque<std::string> *feeding = nullptr;

void collectLine(const std::string &line) {
    feeding->push_back(line);
}

// Sleeps in ppoll until fd is ready for events or the deadline; the held signals come in
// only here. Returns ppoll's result, 0 once the deadline has passed.
int waitReady(int fd, short events, Clock::time_point deadline, short &revents) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec timeout{static_cast<time_t>(ns / 1000000000),
                           static_cast<long>(ns % 1000000000)};
    pollfd pfd{fd, events, 0};
    const int ready = ppoll(&pfd, 1, &timeout, holding ? &wait_mask : nullptr);
    revents = pfd.revents;
    return ready;
}

bool isFailureCode(const std::string &code) {
    return code == "SNA" || code == "I81" || code == "I83" || code == "I8F";
}

} // namespace

std::string replyProblem(const Reply &reply) {
    switch (reply.outcome) {
    case Outcome::TimedOut:
        return "no reply from the adapter within 1 s";
    case Outcome::Interrupted:
        return "interrupted";
    case Outcome::HungUp:
        return "the line hung up (adapter unplugged?)";
    case Outcome::Reply:
        break;
    }
    const std::string code = replyCode(reply.line);
    const char *meaning = code == "SNA"   ? "the slave did not acknowledge"
                          : code == "I81" ? "the bus is busy"
                          : code == "I83" ? "arbitration was lost"
                          : code == "I8F" ? "the adapter refused a command as invalid"
                                          : "unexpected reply";
    return std::string(meaning) + " (" + reply.line + ")";
}

void holdStopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        if (action.sa_handler == SIG_IGN)
            continue; // a job started in the background keeps ignoring them
        action = {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
        sigaddset(&stops, signal);
    }
    sigprocmask(SIG_BLOCK, &stops, &wait_mask);
    holding = true;
}

int stopSignal() {
    if (stop_signal == 0 && stop_check != nullptr)
        return stop_check();
    return stop_signal;
}

void setStopCheck(int (*check)()) {
    stop_check = check;
}

TavroLink::TavroLink() : framer_(line_.data(), line_.size(), line_count_, between_replies_) {}

int TavroLink::openPort(const std::string &path, std::string &error) {
    // Only character devices are opened: opening anything else can have effects of its own.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return 1;
    }
    const std::string not_terminal =
        path + " is not a terminal; give the adapter's serial port or the simulator's";
    if (!S_ISCHR(status.st_mode)) {
        error = not_terminal;
        return 2;
    }
    // O_NONBLOCK: a port waiting for carrier cannot stall the open, and every later read and
    // write is bounded by a deadline.
    port_.reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!port_.valid()) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return 1;
    }
    if (!isatty(port_.get())) {
        port_.reset();
        error = not_terminal;
        return 2;
    }
    return 0;
}

Reply TavroLink::open(const LinkSettings &settings) {
    for (int rate : {115200, 57600, 19200}) {
        configure(rate);
        if (auto failed = send(buildReset()))
            return *failed;
    }
    if (settings.variant != Variant::Sol) {
        for (const TavroCommand &command : {buildClock(settings.khz), buildBaud(settings.rate)})
            if (auto failed = send(command))
                return *failed;
        const Reply rate = await({"BC0", "BC1", "BC2"}, Awaiting::OrFailure);
        if (rate.outcome != Outcome::Reply || isFailureCode(replyCode(rate.line)))
            return rate;
    }
    configure(settings.rate);
    std::vector<TavroCommand> commands = {buildSetFlow(0), buildSetFormat(0),
                                          buildSetAddress("FE")};
    if (settings.variant != Variant::Sol)
        commands.push_back(buildIntMonitor(0));
    commands.push_back(buildOpen());
    return exchange(commands, "OCC");
}

Reply TavroLink::exchange(const std::vector<TavroCommand> &commands, const char *code) {
    for (const TavroCommand &command : commands)
        if (auto failed = send(command))
            return *failed;
    return await({code}, Awaiting::OrFailure);
}

Reply TavroLink::close(int wait_ms) {
    Reply closed{Outcome::HungUp, {}};
    if (port_.valid()) {
        const std::optional<Reply> failed = send(buildClose());
        closed = failed ? *failed
                        : await({"CCC"}, Awaiting::Only,
                                Clock::now() + std::chrono::milliseconds(wait_ms));
    }
    abandon();
    return closed;
}

void TavroLink::abandon() {
    if (!port_.valid())
        return;
    send(buildReset());
    port_.reset();
}

std::optional<Reply> TavroLink::send(const TavroCommand &command) {
    for (const std::string &piece : command.pieces)
        if (auto failed = writeAll(piece))
            return failed;
    if (!command.error_line.empty())
        std::fputs(command.error_line.c_str(), stderr);
    if (command.reset_pause)
        usleep(TAVRO_RESET_PAUSE_US);
    return std::nullopt;
}

std::optional<Reply> TavroLink::writeAll(const std::string &bytes) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(REPLY_DEADLINE_MS);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(port_.get(), bytes.data() + done, bytes.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return Reply{Outcome::HungUp, {}};
        // The line is full, or held by the adapter's XOFF: a signal does not cut a command.
        short revents = 0;
        if (waitReady(port_.get(), POLLOUT, deadline, revents) == 0)
            return Reply{Outcome::TimedOut, {}};
    }
    return std::nullopt;
}

std::optional<Reply> TavroLink::post(const TavroCommand &command) {
    return send(command);
}

Reply TavroLink::awaitLine(const std::vector<std::string> &codes, Clock::time_point deadline) {
    return await(codes, Awaiting::OrStop, deadline);
}

int TavroLink::takeAssertions() {
    const int count = assertions_;
    assertions_ = 0;
    return count;
}

Reply TavroLink::await(const std::vector<std::string> &codes, Awaiting awaiting) {
    return await(codes, awaiting, Clock::now() + std::chrono::milliseconds(REPLY_DEADLINE_MS));
}

Reply TavroLink::await(const std::vector<std::string> &codes, Awaiting awaiting,
                       Clock::time_point deadline) {
    for (;;) {
        while (!lines_.empty()) {
            Reply reply{Outcome::Reply, lines_.front()};
            lines_.pop_front();
            const std::string code = replyCode(reply.line);
            // Counted in every wait: an /INT during a transfer is served after its pass.
            if (code == "NSA")
                ++assertions_;
            if (awaiting == Awaiting::OrFailure && isFailureCode(code))
                return reply;
            for (const std::string &awaited : codes)
                if (code == awaited)
                    return reply;
        }
        if (awaiting != Awaiting::Only && stopSignal() != 0)
            return Reply{Outcome::Interrupted, {}};
        short revents = 0;
        const int ready = waitReady(port_.get(), POLLIN, deadline, revents);
        if (ready == 0 && Clock::now() >= deadline)
            return Reply{Outcome::TimedOut, {}};
        if (ready < 0 && errno != EINTR)
            return Reply{Outcome::HungUp, {}};
        if (ready <= 0)
            continue;
        if (revents & POLLIN) {
            char data[256];
            const ssize_t got = ::read(port_.get(), data, sizeof data);
            if (got > 0) {
                feeding = &lines_;
                framer_.feed(data, static_cast<std::size_t>(got), collectLine);
                feeding = nullptr;
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                return Reply{Outcome::HungUp, {}};
        } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return Reply{Outcome::HungUp, {}};
        }
    }
}

void TavroLink::configure(int rate) {
    termios current{};
    tcgetattr(port_.get(), &current);
    const termios wanted = buildLineSettings(current, rate);
    // Whatever the adapter said before the change is discarded, read or not.
    tcflush(port_.get(), TCIFLUSH);
    tcsetattr(port_.get(), TCSANOW, &wanted);
    lines_.clear();
    line_count_ = 0;
    between_replies_ = 1;
    assertions_ = 0;
}
