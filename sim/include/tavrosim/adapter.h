#pragma once

// The adapter's side of the serial protocol and the I2C bus behind it, as pure logic:
// bytes from the host go in together with the rate the host's line ran at, and the
// bytes the adapter sends come out tagged with the rate it sends them at.

#include "tavrosim/map_chip.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tavrosim {

enum class Variant { Sol, Solx, Dyn };

// Listening rate after a reset, whatever the variant.
constexpr int kResetRate = 19200;
// Rates selected by "/b0", "/b1", "/b2".
constexpr std::array<int, 3> kBitRates = {19200, 57600, 115200};
// I2C clocks in kHz selected by "/K0" to "/K3", and the clock after a reset.
constexpr std::array<int, 4> kClocksKhz = {23, 86, 100, 400};
constexpr int kResetClockKhz = 100;

// Slaves on the simulated bus (8-bit write addresses, as "/d" takes them).
constexpr std::uint8_t kEepromAddress = 0xA0; // 256 bytes, pointer with auto-increment
constexpr std::uint8_t kPortAddress = 0x4E;   // 8-bit latch: writes set it, reads return it
constexpr std::size_t kEepromSize = 256;

// Largest "/r" count and longest command line the adapter accepts; beyond: "/I8F".
constexpr int kMaxReceiveCount = 256;
constexpr std::size_t kMaxCommandLength = 1024;
// The received log keeps only the most recent entries.
constexpr std::size_t kReceivedLogLimit = 10000;

// Faults that can be forced on the next transfers ("/t", "/*t", "/r", "/*r" on an open bus).
enum class Fault {
    Busy,            // "/I81"
    ArbitrationLost, // "/I83"
    Nak,             // "/SNA"
    Invalid,         // "/I8F"
};

// One command from the host as it came over the line: a command up to and including its CR,
// a reset (three DC2), or a fragment cut off by a change of the host's line rate.
struct Received {
    std::string bytes;       // raw bytes, XON/XOFF removed
    int rate = 0;            // host line rate they arrived at; 0 = B0 or a rate the model lacks
    bool understood = false; // arrived at the adapter's listening rate and complete, so decoded
    std::string reply;       // reply line it produced, without line end ("" = none), whether
                             // or not it reached the host (silence, rate mismatch)
};

// Bytes the adapter puts on the line and the rate it sends them at. The host reads them only
// if its line runs at that rate.
struct Transmission {
    std::string bytes;
    int rate = 0;
    int busMicros = 0; // time the transfer this reply ends took on the I2C bus
};

class Adapter {
  public:
    // `rate`: listening rate at power-up. A Solx or Dyn returns to kResetRate on every reset
    // (pass another rate to model one left at that rate by an earlier session); a Sol's rate
    // is fixed at `rate`.
    explicit Adapter(Variant variant, int rate = kResetRate);

    // Bytes from the host, sent while its line ran at `lineRate` (0 = unknown). Bytes at a
    // rate other than the adapter's are garbage to it: ignored, and they discard any partly
    // received command.
    void receive(std::string_view bytes, int lineRate);

    // Everything the adapter sent since the last call, oldest first.
    std::vector<Transmission> takeOutput();

    // --- faults and events ---
    // The next `count` transfers (after those already queued) answer with `fault`.
    void failNext(Fault fault, int count = 1);
    void clearFaults();
    // While silent the adapter still acts on commands but sends no replies and no events.
    void setSilent(bool silent);
    // Sets the /INT line; a change is reported ("/NSA", "/NSR") only while the monitor is on.
    // Switching the monitor on ("/n1") while /INT is asserted reports "/NSA" at once.
    void setInterrupt(bool asserted);
    // Sends "/STR"; the next "/s..." from the host is answered with "/STC".
    void requestSlaveTransmit();
    // Sends "/SRC" followed by " HH" for each byte, as "/MRC" does.
    void deliverFromMaster(const std::vector<std::uint8_t> &data);
    // Line disturbances, sent even while silent: `count` random characters (printable except
    // '/', plus '*', CR and LF; never XON/XOFF), or "/XYZ" + 400 characters + CRLF.
    void sendNoise(std::size_t count);
    void sendOverlongLine();
    void seedNoise(unsigned seed) { random_.seed(seed); }
    // While chatty the adapter now and then sends CR, LF and "*" before a reply, and answers
    // a reset with a short line that is no reply ("Tavro ready"). Uses the noise generator.
    void setChatty(bool chatty) { chatty_ = chatty; }

    // --- state ---
    Variant variant() const { return variant_; }
    int rate() const { return rate_; }
    bool busOpen() const { return busOpen_; }
    bool monitorOn() const { return monitor_; }
    bool interruptAsserted() const { return interrupt_; }
    bool silent() const { return silent_; }
    bool chatty() const { return chatty_; }
    int clockKhz() const { return clockKhz_; }
    bool slaveTransmitRequested() const { return slaveTransmitPending_; }
    std::size_t faultsQueued() const { return faults_.size(); }
    // Transfer commands decoded so far (well-formed or not, bus open or not).
    int transfers() const { return transfers_; }
    // Log of received commands, oldest first (at most kReceivedLogLimit).
    const std::deque<Received> &received() const { return received_; }
    // Total number of log entries ever made, including those dropped from the log.
    std::size_t receivedTotal() const { return receivedTotal_; }
    void clearReceived() { received_.clear(); }
    std::array<std::uint8_t, kEepromSize> &eeprom() { return eeprom_; }
    std::uint8_t port() const { return port_; }
    // Puts a chip built from a register map at the 8-bit address, in place of what was there.
    void addChip(std::uint8_t address, MapChip chip) { chips_.insert_or_assign(address, chip); }

  private:
    void reset();
    void finishEntry(std::string reply);
    std::string execute(std::string_view line);
    std::string transmit(std::string_view arg);
    std::string receiveFromSlave(std::string_view arg);
    std::string takeFault();
    int busMicros(std::size_t bytes) const;
    std::string chatter();
    void say(const std::string &code, int busMicros = 0);

    Variant variant_;
    int fixedRate_;
    int rate_;
    bool busOpen_ = false;
    bool monitor_ = false;
    bool interrupt_ = false;
    bool silent_ = false;
    bool chatty_ = false;
    int clockKhz_ = kResetClockKhz;
    int lastBusMicros_ = 0; // bus time of the command being executed
    bool slaveTransmitPending_ = false;
    std::uint8_t slave_ = 0;
    std::optional<int> switchRateTo_;
    std::deque<Fault> faults_;
    int transfers_ = 0;

    Received entry_; // the command being received
    int dc2Run_ = 0;
    bool overflow_ = false;

    std::deque<Received> received_;
    std::size_t receivedTotal_ = 0;
    std::vector<Transmission> output_;

    std::array<std::uint8_t, kEepromSize> eeprom_{};
    std::uint8_t eepromPointer_ = 0;
    std::uint8_t port_ = 0xFF;
    std::map<std::uint8_t, MapChip> chips_;
    std::mt19937 random_{1};
};

// "sol", "solx", "dyn" and back; nullopt for anything else.
std::optional<Variant> parseVariant(std::string_view name);
const char *variantName(Variant variant);

} // namespace tavrosim
