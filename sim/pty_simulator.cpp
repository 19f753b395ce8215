#include "tavrosim/pty_simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace tavrosim {

namespace {

using std::chrono::milliseconds;

constexpr int kThreadStepMs = 20; // longest wait of the pump thread: bounds the delay of stop()
constexpr int kClosedNapMs = 10;  // pause between retries while the program has the port closed
constexpr int kWriteRetryMs = 5;  // when the pty is full because the program is not reading
constexpr std::size_t kReadChunk = 4096;
constexpr int kVanishWaitMs = 1000;

struct SpeedRate {
    speed_t speed;
    int rate;
};
constexpr SpeedRate kSpeeds[] = {
    {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

[[noreturn]] void fail(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int millisUntil(std::chrono::steady_clock::time_point when) {
    auto left = std::chrono::ceil<milliseconds>(when - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

} // namespace

int rateFromSpeed(unsigned speed) {
    for (const SpeedRate &s : kSpeeds)
        if (s.speed == speed)
            return s.rate;
    return 0;
}

unsigned speedFromRate(int rate) {
    for (const SpeedRate &s : kSpeeds)
        if (s.rate == rate)
            return s.speed;
    return B0;
}

std::string escapeBytes(const std::string &bytes) {
    std::string text;
    for (char c : bytes) {
        auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (u >= 0x20 && u < 0x7F) {
            text += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            text += hex;
        }
    }
    return text;
}

PtySimulator::PtySimulator(Variant variant, int rate) : adapter_(variant, rate) {}

PtySimulator::~PtySimulator() {
    stop();
}

void PtySimulator::start() {
    std::lock_guard lock(mutex_);
    UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master)
        fail("posix_openpt");
    if (grantpt(master.get()) != 0)
        fail("grantpt");
    if (unlockpt(master.get()) != 0)
        fail("unlockpt");
    char name[128];
    if (ptsname_r(master.get(), name, sizeof name) != 0)
        fail("ptsname");
    // A slave that was never opened does not hang up the master, so writes would queue for
    // the program's first open. Opening and closing it once makes "not open" look the same
    // before the first open as after a close.
    UniqueFd probe(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!probe)
        fail("open pty slave");
    probe.reset();
    master_ = std::move(master);
    slavePath_ = name;
    linkUp_ = false;
}

bool PtySimulator::poll(int timeoutMs) {
    return pump(timeoutMs);
}

void PtySimulator::startThread() {
    std::lock_guard lock(mutex_);
    if (threadRunning_)
        return;
    stopping_ = false;
    threadRunning_ = true;
    thread_ = std::thread([this] {
        for (;;) {
            pump(kThreadStepMs);
            std::lock_guard lock(mutex_);
            if (stopping_ || vanished_)
                return;
        }
    });
}

void PtySimulator::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(mutex_);
    threadRunning_ = false;
    stopping_ = false;
}

bool PtySimulator::pump(int timeoutMs) {
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    for (bool first = true;; first = false) {
        int fd;
        int waitMs;
        {
            std::unique_lock lock(mutex_);
            if (vanishRequested_ && !vanished_)
                closeMaster();
            if (stopping_)
                return false;
            if (vanished_ || !master_) {
                // Nothing to pump, but take the time so that waiting loops do not spin.
                lock.unlock();
                std::this_thread::sleep_for(milliseconds(millisUntil(deadline)));
                return false;
            }
            const auto nextDue = flushDue();
            if (!first && Clock::now() >= deadline)
                return false;
            waitMs = millisUntil(std::min(deadline, nextDue));
            fd = master_.get();
        }
        // Only the pump closes the master, so `fd` stays valid while unlocked.
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, waitMs);
        if (ready <= 0)
            continue;

        std::unique_lock lock(mutex_);
        probeLink(); // so that a trace shows the port opening before what came through it
        bool gotInput = false;
        while (pfd.revents & POLLIN) {
            char buffer[kReadChunk];
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                // The rate the bytes were written at: the program changes it between
                // resets, so sample it for every chunk, right after reading.
                handleInput(buffer, static_cast<std::size_t>(n), lineRateLocked());
                gotInput = true;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break; // EAGAIN: drained; EIO: the slave is closed (seen by probeLink)
            }
        }
        const bool up = probeLink();
        if (gotInput) {
            changed_.notify_all();
            return true;
        }
        if (!up) {
            // The program has the port closed: poll would return at once, so nap instead.
            lock.unlock();
            std::this_thread::sleep_for(
                milliseconds(std::min(kClosedNapMs, millisUntil(deadline))));
        }
    }
}

void PtySimulator::handleInput(const char *data, std::size_t size, int rate) {
    const std::size_t before = adapter_.receivedTotal();
    adapter_.receive(std::string_view(data, size), rate);
    const auto &log = adapter_.received();
    const std::size_t added = std::min(adapter_.receivedTotal() - before, log.size());
    for (auto it = log.end() - static_cast<std::ptrdiff_t>(added); it != log.end(); ++it) {
        std::string line = "rx " + std::to_string(it->rate) + " \"" + escapeBytes(it->bytes) + "\"";
        if (!it->understood)
            line += " ignored";
        else if (!it->reply.empty())
            line += " -> /" + it->reply;
        trace(line);
    }
    collectOutput();
    flushDue();
}

void PtySimulator::collectOutput() {
    const auto due = Clock::now() + replyDelay_;
    for (Transmission &t : adapter_.takeOutput())
        pending_.push_back({std::move(t), due});
}

PtySimulator::Clock::time_point PtySimulator::flushDue() {
    if (!master_) {
        pending_.clear();
        return Clock::time_point::max();
    }
    while (!pending_.empty()) {
        Pending &front = pending_.front();
        if (front.due > Clock::now())
            return front.due;
        std::string &bytes = front.transmission.bytes;
        const int lineRate = lineRateLocked();
        if (!probeLink() || lineRate != front.transmission.rate) {
            // Nobody listening, or the host would read garbage: the bytes are lost.
            std::string why = linkUp_ ? "line at " + std::to_string(lineRate) : "link down";
            trace("drop " + std::to_string(front.transmission.rate) + " \"" + escapeBytes(bytes) +
                  "\" (" + why + ")");
            pending_.pop_front();
            continue;
        }
        ssize_t n = ::write(master_.get(), bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // The program is not reading and the pty is full: retry on the next step.
            return Clock::now() + milliseconds(kWriteRetryMs);
        }
        trace("tx " + std::to_string(front.transmission.rate) + " \"" +
              escapeBytes(bytes.substr(0, static_cast<std::size_t>(n))) + "\"");
        bytes.erase(0, static_cast<std::size_t>(n));
        if (bytes.empty())
            pending_.pop_front();
    }
    return Clock::time_point::max();
}

bool PtySimulator::probeLink() {
    bool up = false;
    if (master_) {
        pollfd pfd{master_.get(), 0, 0};
        up = ::poll(&pfd, 1, 0) >= 0 && !(pfd.revents & (POLLHUP | POLLERR));
    }
    if (up != linkUp_) {
        linkUp_ = up;
        trace(up ? "link up" : "link down");
    }
    return up;
}

int PtySimulator::lineRateLocked() const {
    termios settings{};
    if (!master_ || tcgetattr(master_.get(), &settings) != 0)
        return 0;
    return rateFromSpeed(cfgetospeed(&settings));
}

void PtySimulator::closeMaster() {
    master_.reset();
    pending_.clear();
    vanished_ = true;
    linkUp_ = false;
    trace("vanished");
    changed_.notify_all();
}

void PtySimulator::trace(const std::string &line) {
    if (trace_)
        trace_(line);
}

template <typename F> void PtySimulator::act(F &&fn) {
    std::lock_guard lock(mutex_);
    fn(adapter_);
    collectOutput();
    flushDue();
    changed_.notify_all();
}

void PtySimulator::failNext(Fault fault, int count) {
    act([&](Adapter &a) { a.failNext(fault, count); });
}

void PtySimulator::setSilent(bool silent) {
    act([&](Adapter &a) { a.setSilent(silent); });
}

void PtySimulator::setInterrupt(bool asserted) {
    act([&](Adapter &a) { a.setInterrupt(asserted); });
}

void PtySimulator::requestSlaveTransmit() {
    act([](Adapter &a) { a.requestSlaveTransmit(); });
}

void PtySimulator::deliverFromMaster(const std::vector<std::uint8_t> &data) {
    act([&](Adapter &a) { a.deliverFromMaster(data); });
}

void PtySimulator::sendNoise(std::size_t count) {
    act([&](Adapter &a) { a.sendNoise(count); });
}

void PtySimulator::sendOverlongLine() {
    act([](Adapter &a) { a.sendOverlongLine(); });
}

void PtySimulator::with(const std::function<void(Adapter &)> &fn) {
    act(fn);
}

void PtySimulator::setReplyDelay(int ms) {
    std::lock_guard lock(mutex_);
    replyDelay_ = milliseconds(std::max(ms, 0));
}

void PtySimulator::vanish() {
    std::unique_lock lock(mutex_);
    vanishRequested_ = true;
    if (!threadRunning_) {
        if (!vanished_)
            closeMaster();
        return;
    }
    // The pump thread may be polling the master: let it close it.
    changed_.wait_for(lock, milliseconds(kVanishWaitMs), [this] { return vanished_; });
}

std::vector<Received> PtySimulator::received() const {
    std::lock_guard lock(mutex_);
    return {adapter_.received().begin(), adapter_.received().end()};
}

void PtySimulator::clearReceived() {
    std::lock_guard lock(mutex_);
    adapter_.clearReceived();
}

std::vector<Received> PtySimulator::takeReceived() {
    std::lock_guard lock(mutex_);
    std::vector<Received> taken(adapter_.received().begin(), adapter_.received().end());
    adapter_.clearReceived();
    return taken;
}

int PtySimulator::transfers() const {
    std::lock_guard lock(mutex_);
    return adapter_.transfers();
}

int PtySimulator::adapterRate() const {
    std::lock_guard lock(mutex_);
    return adapter_.rate();
}

int PtySimulator::lineRate() const {
    std::lock_guard lock(mutex_);
    return lineRateLocked();
}

bool PtySimulator::linkUp() const {
    std::lock_guard lock(mutex_);
    return linkUp_;
}

bool PtySimulator::vanished() const {
    std::lock_guard lock(mutex_);
    return vanished_;
}

bool PtySimulator::waitUntil(const std::function<bool()> &cond, int timeoutMs) {
    constexpr milliseconds kStep(10);
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    for (;;) {
        if (cond())
            return true;
        const auto now = Clock::now();
        if (now >= deadline)
            return false;
        const auto step = std::min<Clock::duration>(deadline - now, kStep);
        std::unique_lock lock(mutex_);
        if (threadRunning_) {
            changed_.wait_for(lock, step);
        } else {
            lock.unlock();
            pump(static_cast<int>(std::chrono::ceil<milliseconds>(step).count()));
        }
    }
}

void PtySimulator::setTrace(std::function<void(const std::string &)> trace) {
    std::lock_guard lock(mutex_);
    trace_ = std::move(trace);
}

} // namespace tavrosim
