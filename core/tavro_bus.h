// The I2C bus behind a Tavro adapter, driven synchronously: the library every door but the
// window builds on (tavro-i2c, the list runner, the Python module). One object owns one port.
//
// Every call that may fail returns a BusResult. Its status says what happened:
//   Ok               done; read messages hold their bytes
//   NoPort           the port cannot be opened (it does not exist, is busy, not permitted);
//                    system_errno says why
//   NotTerminal      the path is no serial port: nothing was opened
//   Nak              the slave did not acknowledge ("/SNA")
//   Busy             the bus was busy ("/I81")
//   ArbitrationLost  another master won the bus ("/I83")
//   Refused          the adapter refused a command as invalid ("/I8F")
//   TimedOut         no awaited reply within REPLY_DEADLINE_MS
//   HungUp           the line went away (an unplugged USB adapter)
//   Interrupted      a stop signal (see holdStopSignals) or the stop check ended the wait
//   BadReply         a read's reply did not hold the bytes asked for, or a reply was longer
//                    than any the adapter sends
//   PecMismatch      an SMBus read's PEC byte did not match what went over the bus
//   Unsupported      the transaction needs what the adapter cannot do; nothing was sent
//   Invalid          the request itself is out of bounds (a message, or settings that
//                    checkLinkSettings refuses); nothing was sent
//   Closed           the link is not open; nothing was sent
// After Nak, Busy, ArbitrationLost, BadReply and PecMismatch the link stays open and usable:
// the adapter ended the transfer. After Refused, TimedOut, HungUp and Interrupted the link's
// state is in doubt: the link is still counted open, and close() (or abandon(), when the
// adapter stays silent) is the one sound next call: a late reply could pass for the answer to
// the next transfer. Failures before anything was sent leave the link as it was.
//
// Each bus has its own link and queue of replies, so several may be open in one process; but
// the stop signals and the stop check are the process's. Not thread-safe: a caller with
// threads serialises every call. No call throws.
#ifndef SENDRAL_TAVRO_BUS_H
#define SENDRAL_TAVRO_BUS_H

#include "i2c_message.h"
#include "smbus.h"
#include "tavro_link.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct BusResult {
    BusStatus status = BusStatus::Ok;
    std::string detail;      // in words, with the adapter's reply where there was one
    std::size_t message = 0; // in a transfer: the message that failed
    int system_errno = 0;    // for NoPort: the system's reason

    bool ok() const { return status == BusStatus::Ok; }
};

// The adapter's slave address text for a 7-bit address: 0x50 gives "A0".
std::string adapterAddress(int address);
// The adapter's transmit argument for bytes: "~HH" each.
std::string transmitArgument(const std::vector<std::uint8_t> &bytes);
// The bytes in the text of a read reply (" HH" per byte); nullopt unless exactly count.
std::optional<std::vector<std::uint8_t>> readReplyBytes(const std::string &text, int count);

class TavroBus {
  public:
    TavroBus() = default;
    TavroBus(const TavroBus &) = delete;
    TavroBus &operator=(const TavroBus &) = delete;
    // Closes the link if it is still open.
    ~TavroBus();

    // Opens the port and the link as the program's Open Link does. Invalid for settings that
    // checkLinkSettings refuses (nothing is opened); NoPort or NotTerminal (the port is not
    // kept), or the opening's failure (the adapter is reset and the port closed). On Ok the
    // link is open.
    BusResult open(const std::string &port, const LinkSettings &settings);
    bool isOpen() const { return open_; }

    // One message: selects its slave, then writes its bytes or reads message.length bytes
    // into message.data; with an I2C Stop after it, or a repeated start to follow.
    BusResult transfer(I2cMessage &message, bool stop);
    // The messages as one transaction: a repeated start between them and a Stop after the
    // last. The first failure ends it, with result.message naming the message (counted from
    // 0): the messages before it went over the bus, and it and those after it keep their data.
    BusResult transfer(std::vector<I2cMessage> &messages);
    // An SMBus transaction as I2C messages; data receives what it read (see smbusResult),
    // and is empty after a failure. Unsupported or Invalid when smbusMessages refuses it.
    BusResult smbus(const SmbusTransaction &transaction, std::vector<std::uint8_t> &data);

    // The close command awaiting "CCC" (at most wait_ms), then the reset, whatever came; the
    // port is closed. Ok, or what came instead of "CCC". Closed when the link was not open.
    BusResult close(int wait_ms = REPLY_DEADLINE_MS);
    // For a link whose adapter no longer answers, where close() would only wait out its
    // deadline: the reset alone, awaiting nothing, and the port is closed. Nothing when the
    // link is not open.
    void abandon();

    // The underlying link, for exchanges beyond messages (the /INT monitor).
    TavroLink &link() { return link_; }

  private:
    TavroLink link_;
    bool open_ = false;
};

// The status a reply that is not the awaited one stands for.
BusStatus replyStatus(const Reply &reply);

#endif
