#include "tavro_link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <poll.h>
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

bool failureReply(const Reply &reply) {
    return reply.outcome == Outcome::Reply && failsTransfer(replyKind(replyCode(reply.line)));
}

const char *const SOL_RATE_WORDS = "the Tavro/Sol runs at 19200 bit/s only";
const char *const SOL_CLOCK_WORDS = "the Tavro/Sol clocks its bus at 100 kHz only";

std::string choices(const int *values, std::size_t count, const char *unit) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i == 0 ? "" : i + 1 == count ? " or " : ", ") + std::to_string(values[i]);
    return text + unit;
}

} // namespace

const char *const VARIANT_CHOICES = "sol, solx or dyn";

std::optional<Variant> variantNamed(const std::string &name) {
    if (name == "sol")
        return Variant::Sol;
    if (name == "solx")
        return Variant::Solx;
    if (name == "dyn")
        return Variant::Dyn;
    return std::nullopt;
}

int defaultRate(Variant variant) {
    return variant == Variant::Sol ? TAVRO_RATES.front() : TAVRO_RATES.back();
}

SettingsProblem checkLinkSettings(const LinkSettings &settings) {
    using Field = SettingsProblem::Field;
    // The Sol takes no rate or clock command: it stays at its reset's.
    const bool sol = settings.variant == Variant::Sol;
    const auto listed = [](const auto &values, int value) {
        return std::find(values.begin(), values.end(), value) != values.end();
    };
    if (sol ? settings.rate != TAVRO_RATES.front() : !listed(TAVRO_RATES, settings.rate))
        return {Field::Rate,
                sol ? SOL_RATE_WORDS
                    : "the rate is " + choices(TAVRO_RATES.data(), TAVRO_RATES.size(), "")};
    if (sol ? settings.khz != 100 : !listed(TAVRO_CLOCKS_KHZ, settings.khz))
        return {Field::Clock, sol ? SOL_CLOCK_WORDS
                                  : "the clock is " + choices(TAVRO_CLOCKS_KHZ.data(),
                                                              TAVRO_CLOCKS_KHZ.size(), " kHz")};
    return {};
}

std::string replyProblem(const Reply &reply) {
    switch (reply.outcome) {
    case Outcome::TimedOut:
        return std::string("no reply from the adapter within ") + REPLY_DEADLINE_TEXT;
    case Outcome::Interrupted:
        return "interrupted";
    case Outcome::HungUp:
        return "the line hung up (adapter unplugged?)";
    case Outcome::BadCommand:
        return reply.line;
    case Outcome::Reply:
        break;
    }
    return std::string(replyMeaning(replyCode(reply.line)).words) + " (" + reply.line + ")";
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

TavroLink::~TavroLink() {
    closePort();
}

void TavroLink::collectLine(void *link, const std::string &line, bool cut) {
    static_cast<TavroLink *>(link)->lines_.push_back(Reply{Outcome::Reply, line, cut});
}

int TavroLink::openPort(const std::string &path, std::string &error) {
    closePort();
    return openTransport(path, port_, error, port_errno_);
}

void TavroLink::closePort() {
    port_.reset(); // a serial device gets back the settings it had
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
        const Reply rate = await({ReplyKind::RateSet}, Awaiting::OrFailure);
        if (rate.outcome != Outcome::Reply || failureReply(rate))
            return rate;
    }
    configure(settings.rate);
    std::vector<TavroCommand> commands = {buildSetFlow(0), buildSetFormat(0),
                                          buildSetAddress("FE")};
    if (settings.variant != Variant::Sol)
        commands.push_back(buildIntMonitor(0));
    commands.push_back(buildOpen());
    return exchange(commands, ReplyKind::Opened);
}

Reply TavroLink::exchange(const std::vector<TavroCommand> &commands, ReplyKind kind) {
    for (const TavroCommand &command : commands)
        if (auto failed = send(command))
            return *failed;
    return await({kind}, Awaiting::OrFailure);
}

Reply TavroLink::close(int wait_ms) {
    Reply closed{Outcome::HungUp, {}};
    if (port_) {
        const std::optional<Reply> failed = send(buildClose());
        closed = failed ? *failed
                        : await({ReplyKind::Closed}, Awaiting::Only,
                                Clock::now() + std::chrono::milliseconds(wait_ms));
    }
    abandon();
    return closed;
}

void TavroLink::abandon() {
    if (!port_)
        return;
    send(buildReset());
    closePort();
}

std::optional<Reply> TavroLink::send(const TavroCommand &command) {
    // A command with an argument out of its table would send only its letter: none of it
    // goes out, and its error line goes back to the caller.
    if (!command.error_line.empty()) {
        std::string error = command.error_line;
        error.erase(error.find_last_not_of('\n') + 1);
        return Reply{Outcome::BadCommand, error};
    }
    for (const std::string &piece : command.pieces)
        if (auto failed = writeAll(piece))
            return failed;
    if (command.reset_pause)
        usleep(TAVRO_RESET_PAUSE_US);
    return std::nullopt;
}

std::optional<Reply> TavroLink::writeAll(const std::string &bytes) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(REPLY_DEADLINE_MS);
    std::size_t done = 0;
    for (;;) {
        const ssize_t written = port_->write(bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno != EINTR)
            return Reply{Outcome::HungUp, {}};
        if (written > 0)
            done += static_cast<std::size_t>(written);
        if (done == bytes.size() && !port_->unsent())
            return std::nullopt;
        if (written > 0)
            continue;
        // The line is full, or held by the adapter's XOFF: a signal does not cut a command.
        short revents = 0;
        if (waitReady(port_->fd(), POLLOUT, deadline, revents) == 0)
            return Reply{Outcome::TimedOut, {}};
    }
}

std::optional<Reply> TavroLink::post(const TavroCommand &command) {
    return send(command);
}

Reply TavroLink::awaitLine(const std::vector<ReplyKind> &kinds, Clock::time_point deadline) {
    return await(kinds, Awaiting::OrStop, deadline);
}

int TavroLink::takeAssertions() {
    const int count = assertions_;
    assertions_ = 0;
    return count;
}

Reply TavroLink::await(const std::vector<ReplyKind> &kinds, Awaiting awaiting) {
    return await(kinds, awaiting, Clock::now() + std::chrono::milliseconds(REPLY_DEADLINE_MS));
}

Reply TavroLink::await(const std::vector<ReplyKind> &kinds, Awaiting awaiting,
                       Clock::time_point deadline) {
    for (;;) {
        while (!lines_.empty()) {
            Reply reply = std::move(lines_.front());
            lines_.pop_front();
            const ReplyKind kind = replyKind(replyCode(reply.line));
            // Counted in every wait: an /INT during a transfer is served after its pass.
            if (kind == ReplyKind::IntAsserted)
                ++assertions_;
            if (awaiting == Awaiting::OrFailure && failsTransfer(kind))
                return reply;
            if (std::find(kinds.begin(), kinds.end(), kind) != kinds.end())
                return reply;
        }
        if (awaiting != Awaiting::Only && stopSignal() != 0)
            return Reply{Outcome::Interrupted, {}};
        short revents = 0;
        const int ready = waitReady(port_->fd(), POLLIN, deadline, revents);
        if (ready == 0 && Clock::now() >= deadline)
            return Reply{Outcome::TimedOut, {}};
        if (ready < 0 && errno != EINTR)
            return Reply{Outcome::HungUp, {}};
        if (ready <= 0)
            continue;
        if (revents & POLLIN) {
            char data[256];
            const ssize_t got = port_->read(data, sizeof data);
            if (got > 0) {
                framer_.feed(data, static_cast<std::size_t>(got), collectLine, this);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                return Reply{Outcome::HungUp, {}};
        } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return Reply{Outcome::HungUp, {}};
        }
    }
}

void TavroLink::configure(int rate) {
    port_->setRate(rate);
    lines_.clear();
    line_count_ = 0;
    between_replies_ = 1;
    assertions_ = 0;
}
