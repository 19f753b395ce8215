#include "tavrosim/pty_simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace tavrosim {

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr int kThreadStepMs = 20; // longest wait of the pump thread: bounds the delay of stop()
constexpr int kClosedNapMs = 10;  // pause between retries while the program has the port closed
constexpr int kWriteRetryMs = 5;  // when the pty is full because the program is not reading
constexpr std::size_t kReadChunk = 4096;
constexpr int kVanishWaitMs = 1000;
constexpr long long kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr long long kNanosPerSecond = 1000000000;

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

// The wait until `when` for ppoll: real timing needs better than poll's milliseconds.
timespec timeUntil(std::chrono::steady_clock::time_point when) {
    const auto left = std::clamp<nanoseconds>(when - std::chrono::steady_clock::now(),
                                              nanoseconds(0), std::chrono::seconds(1));
    return {static_cast<time_t>(left.count() / kNanosPerSecond),
            static_cast<long>(left.count() % kNanosPerSecond)};
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
    UniqueFd wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake)
        fail("eventfd");
    wake_ = std::move(wake);
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
    // An adapter takes each byte as it arrives; a thread starved by a loaded machine would
    // take a reset at the rate the host set after it. Real-time priority, where the system
    // allows it, keeps the reading prompt (the thread mostly sleeps in poll).
    sched_param priority{};
    priority.sched_priority = 1;
    pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &priority);
}

void PtySimulator::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wakePump();
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
        pollfd pfd[2];
        Clock::time_point until;
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
            const auto next = advance();
            if (!first && Clock::now() >= deadline)
                return false;
            until = std::min(deadline, next);
            // Only the pump closes the master, so the descriptors stay valid while unlocked.
            pfd[0] = {master_.get(), POLLIN, 0};
            pfd[1] = {wake_.get(), POLLIN, 0};
        }
        const timespec wait = timeUntil(until);
        if (::ppoll(pfd, 2, &wait, nullptr) <= 0)
            continue;
        if (pfd[1].revents & POLLIN) {
            std::uint64_t count;
            if (::read(pfd[1].fd, &count, sizeof count) < 0) {
                // Already drained: nothing to do.
            }
        }
        if (pfd[0].revents == 0)
            continue;

        std::unique_lock lock(mutex_);
        probeLink(); // so that a trace shows the port opening before what came through it
        bool gotInput = false;
        while (pfd[0].revents & POLLIN) {
            char buffer[kReadChunk];
            ssize_t n = ::read(pfd[0].fd, buffer, sizeof buffer);
            if (n > 0) {
                queueInput(buffer, static_cast<std::size_t>(n));
                advance();
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
            const auto next = advance();
            lock.unlock();
            std::this_thread::sleep_for(std::min<Clock::duration>(
                {milliseconds(kClosedNapMs), deadline - Clock::now(), next - Clock::now()}));
        }
    }
}

void PtySimulator::queueInput(const char *data, std::size_t size) {
    // The host's line sends byte after byte; the rate now is the best guess of their pace.
    const Clock::duration each = byteTime(lineRateLocked());
    Clock::time_point finish = std::max(Clock::now(), hostWireFree_);
    for (std::size_t i = 0; i < size; ++i) {
        finish += each;
        incoming_.push_back({data[i], finish});
    }
    hostWireFree_ = finish;
}

PtySimulator::Clock::time_point PtySimulator::advance() {
    if (!master_) {
        incoming_.clear();
        pending_.clear();
        usbHeld_.clear();
        toHost_.clear();
        return Clock::time_point::max();
    }
    const auto now = Clock::now();
    if (!incoming_.empty() && incoming_.front().due <= now) {
        // Taken at the rate the line has now that they have arrived, not when they were read.
        std::string bytes;
        Clock::time_point arrived;
        while (!incoming_.empty() && incoming_.front().due <= now) {
            bytes += incoming_.front().byte;
            arrived = incoming_.front().due;
            incoming_.pop_front();
        }
        handleInput(bytes, lineRateLocked(), arrived);
        changed_.notify_all();
    }
    auto next = incoming_.empty() ? Clock::time_point::max() : incoming_.front().due;
    next = std::min(next, sendOnWire(now));
    next = std::min(next, passUsb(now));
    return std::min(next, writeToHost());
}

void PtySimulator::handleInput(const std::string &bytes, int rate, Clock::time_point at) {
    const std::size_t before = adapter_.receivedTotal();
    adapter_.receive(bytes, rate);
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
    collectOutput(at);
}

void PtySimulator::collectOutput(Clock::time_point at) {
    for (Transmission &t : adapter_.takeOutput()) {
        auto due = at + replyDelay_;
        if (timing_ == Timing::Real)
            due += std::chrono::microseconds(t.busMicros);
        Pending p;
        p.transmission = std::move(t);
        p.due = due;
        pending_.push_back(std::move(p));
    }
}

PtySimulator::Clock::time_point PtySimulator::sendOnWire(Clock::time_point now) {
    while (!pending_.empty()) {
        Pending &p = pending_.front();
        if (!p.started) {
            p.started = true;
            p.start = std::max(p.due, adapterWireFree_);
            p.byteTime = byteTime(p.transmission.rate);
        }
        const std::size_t size = p.transmission.bytes.size();
        std::size_t finished = 0;
        if (now >= p.start)
            finished = p.byteTime.count() == 0
                           ? size
                           : std::min<std::size_t>(size, (now - p.start) / p.byteTime);
        if (finished > p.done)
            leaveWire(p, finished);
        if (p.done < size)
            return p.start + p.byteTime * static_cast<long>(p.done + 1);
        adapterWireFree_ = p.start + p.byteTime * static_cast<long>(size);
        const std::string rate = std::to_string(p.transmission.rate);
        if (!p.sent.empty())
            trace("tx " + rate + " \"" + escapeBytes(p.sent) + "\"");
        if (!p.dropped.empty())
            trace("drop " + rate + " \"" + escapeBytes(p.dropped) + "\" (" + p.why + ")");
        pending_.pop_front();
    }
    return Clock::time_point::max();
}

void PtySimulator::leaveWire(Pending &p, std::size_t upTo) {
    const std::size_t from = p.done;
    const std::string part = p.transmission.bytes.substr(from, upTo - from);
    p.done = upTo;
    const int lineRate = lineRateLocked();
    if (!probeLink() || lineRate != p.transmission.rate) {
        // Nobody listening, or the host would read garbage: the bytes are lost.
        if (p.why.empty())
            p.why = linkUp_ ? "line at " + std::to_string(lineRate) : "link down";
        p.dropped += part;
        return;
    }
    p.sent += part;
    if (usbLatency_.count() == 0) {
        toHost_ += part;
        return;
    }
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (usbHeld_.empty())
            usbFirst_ = p.start + p.byteTime * static_cast<long>(from + i + 1);
        usbHeld_ += part[i];
        if (usbHeld_.size() == kUsbPacketBytes) {
            toHost_ += usbHeld_;
            usbHeld_.clear();
        }
    }
}

PtySimulator::Clock::time_point PtySimulator::passUsb(Clock::time_point now) {
    if (usbHeld_.empty())
        return Clock::time_point::max();
    const auto release = usbFirst_ + usbLatency_;
    if (now < release)
        return release;
    toHost_ += usbHeld_;
    usbHeld_.clear();
    return Clock::time_point::max();
}

PtySimulator::Clock::time_point PtySimulator::writeToHost() {
    while (!toHost_.empty()) {
        if (!probeLink()) {
            trace("drop " + std::to_string(lineRateLocked()) + " \"" + escapeBytes(toHost_) +
                  "\" (link down)");
            toHost_.clear();
            break;
        }
        ssize_t n = ::write(master_.get(), toHost_.data(), toHost_.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // The program is not reading and the pty is full: retry on the next step.
            return Clock::now() + milliseconds(kWriteRetryMs);
        }
        toHost_.erase(0, static_cast<std::size_t>(n));
    }
    return Clock::time_point::max();
}

PtySimulator::Clock::duration PtySimulator::byteTime(int rate) const {
    if (timing_ != Timing::Real || rate <= 0)
        return Clock::duration::zero();
    return nanoseconds(kBitsPerByte * kNanosPerSecond / rate);
}

void PtySimulator::wakePump() {
    if (!wake_)
        return;
    const std::uint64_t one = 1;
    if (::write(wake_.get(), &one, sizeof one) < 0) {
        // The counter is full, so the pump is being woken anyway.
    }
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
    advance(); // drops everything queued
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
    collectOutput(Clock::now());
    advance();
    wakePump(); // what is now on its way may be due before the pump's next look
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

void PtySimulator::setTiming(Timing timing) {
    std::lock_guard lock(mutex_);
    timing_ = timing;
}

void PtySimulator::setUsbLatency(int ms) {
    std::lock_guard lock(mutex_);
    usbLatency_ = milliseconds(std::max(ms, 0));
    wakePump();
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
    wakePump();
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
