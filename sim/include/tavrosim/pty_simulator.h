#pragma once

// An Adapter behind a pseudo-terminal: the program under test opens slavePath() as if it
// were the adapter's serial port. The host's line rate is the slave's termios output speed
// (on Linux, tcgetattr on the master returns the slave's settings), sampled for each chunk
// read, so bytes written at a rate other than the adapter's are ignored and replies sent
// while the rates differ are dropped.
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
    struct Pending {
        Transmission transmission;
        Clock::time_point due;
    };

    bool pump(int timeoutMs);
    void handleInput(const char *data, std::size_t size, int rate);
    void collectOutput();
    Clock::time_point flushDue();
    bool probeLink();
    int lineRateLocked() const;
    void closeMaster();
    void trace(const std::string &line);
    template <typename F> void act(F &&fn);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Adapter adapter_;
    UniqueFd master_;
    std::string slavePath_;
    std::deque<Pending> pending_;
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
