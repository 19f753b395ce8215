#pragma once

// An Adapter behind a pseudo-terminal: the program under test opens slavePath() as if it
// were the adapter's serial port. The host's line rate is the slave's termios output speed
// (on Linux, tcgetattr on the master returns the slave's settings), sampled when a byte has
// finished arriving, so bytes written at a rate other than the adapter's are ignored and
// replies sent while the rates differ are dropped.
//
// Instant timing (the default) passes bytes at once. Real timing keeps a serial line's time:
// each byte takes 10 bit times at its rate in both directions, and a transfer its I2C bus
// time before its reply. A byte from the host counts at the rate the line has when it would
// have finished arriving, so a byte written just before a rate change is taken at the new
// rate however the simulator's reads fall.
//
// The simulator holds no slave descriptor of its own, so while the program has the port
// closed the master reports a hang-up; the simulator then naps and retries, keeps its state,
// and drops what the adapter sends (a real line loses it too). Termios settings persist
// across the program closing and reopening the port, as on a real serial port.
//
// Two ways to run it: call poll() from the owning thread, or startThread() to pump in the
// background. All public methods may be called from any thread while the pump thread runs.

#include "tavrosim/adapter.h"
#include "tavrosim/unique_fd.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrosim {

enum class Timing { Instant, Real };

// A USB serial chip passes what it holds on at once when this many bytes wait.
constexpr std::size_t kUsbPacketBytes = 62;

class PtySimulator {
  public:
    explicit PtySimulator(Variant variant = Variant::Solx, int rate = kResetRate);
    ~PtySimulator(); // stops the pump thread and closes the master
    PtySimulator(const PtySimulator &) = delete;
    PtySimulator &operator=(const PtySimulator &) = delete;

    // Creates the pseudo-terminal. Throws std::system_error on failure.
    void start();
    // Path of the slave side, e.g. "/dev/pts/3"; empty before start().
    const std::string &slavePath() const { return slavePath_; }

    // Pumps for up to `timeoutMs`: returns true as soon as a chunk of input has been handled,
    // false on time-out. Not to be used while the pump thread runs.
    bool poll(int timeoutMs);
    // Pumps in a background thread until stop(), vanish() or destruction.
    void startThread();
    void stop();

    // --- faults and events (see Adapter) ---
    void failNext(Fault fault, int count = 1);
    void setSilent(bool silent);
    void setInterrupt(bool asserted);
    void requestSlaveTransmit();
    void deliverFromMaster(const std::vector<std::uint8_t> &data);
    void sendNoise(std::size_t count);
    void sendOverlongLine();
    // Holds back everything the adapter sends by `ms` (0 = none).
    void setReplyDelay(int ms);
    // Instant (the default) or Real, for bytes read or sent from now on.
    void setTiming(Timing timing);
    // Models a USB serial chip's latency timer: what reaches it from the adapter is held until
    // `ms` have passed since the first held byte, or until kUsbPacketBytes wait (0 = none).
    void setUsbLatency(int ms);
    // Closes the master, so the program sees a hang-up as with an unplugged adapter.
    // The simulator is finished afterwards.
    void vanish();
    // Runs `fn` on the adapter under the simulator's lock; what it makes the adapter send
    // goes out as usual. `fn` must not call back into the simulator.
    void with(const std::function<void(Adapter &)> &fn);

    // --- observation ---
    std::vector<Received> received() const;
    void clearReceived();
    // The log so far, emptied in the same step, so that a long run can drain it without
    // losing what arrives in between.
    std::vector<Received> takeReceived();
    int transfers() const;
    int adapterRate() const;
    // The host's current line rate (0 = B0 or a rate the model lacks, or vanished).
    int lineRate() const;
    // Whether the program has the slave side open, as of the last pump step.
    bool linkUp() const;
    bool vanished() const;
    // Waits until `cond` (which may call the observation methods) is true; false on time-out.
    // Without the pump thread it pumps while waiting.
    bool waitUntil(const std::function<bool()> &cond, int timeoutMs);
    // Receives one line per received command, sent or dropped transmission and link change.
    // Called under the simulator's lock, possibly on the pump thread; must not call back.
    void setTrace(std::function<void(const std::string &)> trace);

  private:
    using Clock = std::chrono::steady_clock;
    // A byte from the host and when it has finished arriving.
    struct Incoming {
        char byte;
        Clock::time_point due;
    };
    // A transmission of the adapter; it goes on the wire once the bytes before it are out.
    struct Pending {
        Transmission transmission;
        Clock::time_point due; // earliest start
        bool started = false;
        Clock::time_point start{};
        Clock::duration byteTime{};
        std::size_t done = 0; // bytes that have left the wire
        std::string sent, dropped, why;
    };

    bool pump(int timeoutMs);
    // Stamps bytes just read with the time each finishes arriving.
    void queueInput(const char *data, std::size_t size);
    // Does everything due by now: bytes in to the adapter, bytes out along the wire, the USB
    // chip and the master. Returns when something is due next. Called under the lock.
    Clock::time_point advance();
    // Bytes that have arrived at `at` go to the adapter; its output is queued from `at` on.
    void handleInput(const std::string &bytes, int rate, Clock::time_point at);
    void collectOutput(Clock::time_point at);
    // The front transmissions' bytes that have left the wire by `now` go on; returns when
    // the next byte will have.
    Clock::time_point sendOnWire(Clock::time_point now);
    void leaveWire(Pending &p, std::size_t upTo);
    Clock::time_point passUsb(Clock::time_point now);
    Clock::time_point writeToHost();
    // 10 bit times at `rate` with real timing, else zero.
    Clock::duration byteTime(int rate) const;
    // Makes a pump waiting in ppoll look again.
    void wakePump();
    bool probeLink();
    int lineRateLocked() const;
    void closeMaster();
    void trace(const std::string &line);
    template <typename F> void act(F &&fn);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Adapter adapter_;
    UniqueFd master_;
    UniqueFd wake_; // eventfd: tells a waiting pump that there is new work
    std::string slavePath_;
    Timing timing_ = Timing::Instant;
    std::deque<Incoming> incoming_;
    Clock::time_point hostWireFree_{};
    std::deque<Pending> pending_;
    Clock::time_point adapterWireFree_{};
    std::chrono::milliseconds usbLatency_{0};
    std::string usbHeld_;
    Clock::time_point usbFirst_{};
    std::string toHost_; // passed on, not yet written to the master
    std::chrono::milliseconds replyDelay_{0};
    bool linkUp_ = false;
    bool vanishRequested_ = false;
    bool vanished_ = false;
    bool stopping_ = false;
    bool threadRunning_ = false;
    std::thread thread_;
    std::function<void(const std::string &)> trace_;
};

// Rate in bits/s for a termios speed constant; 0 for B0 and rates the model lacks.
int rateFromSpeed(unsigned speed);
// Termios speed constant for a rate; 0 (B0) if the model lacks it.
unsigned speedFromRate(int rate);
// Bytes made readable for traces: printable as is, '\\' doubled, CR as "\r", LF as "\n",
// others as "\xHH".
std::string escapeBytes(const std::string &bytes);

} // namespace tavrosim
