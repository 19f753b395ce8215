// The i2c-dev interface for the bus behind a Tavro adapter, as Linux's i2c-dev gives it for an
// adapter that moves plain I2C messages with the SMBus emulated on top: each request from a
// program answered with the return value and errno the kernel would give.
#ifndef TAVRO_I2CDEV_DEVICE_H
#define TAVRO_I2CDEV_DEVICE_H

#include "tavro_bus.h"
#include "wire.h"

#include <cstdint>
#include <functional>

namespace i2cdev {

// What one open of the device sets for itself (the kernel keeps it with the open file, so
// descriptors that share the open share it).
struct OpenState {
    unsigned address = 0;
    bool ten_bit = false;
    bool pec = false;
};

// The functionality bits (I2C_FUNCS) of the adapter.
std::uint64_t functionality();

class Device {
  public:
    // bus: an open link; reopen is called, with the bus closed, when a failure leaves the
    // link's state in doubt, and says whether the link is open again.
    Device(TavroBus &bus, bool (*reopen)(TavroBus &)) : bus_(bus), reopen_(reopen) {}

    Reply answer(OpenState &state, const Request &request);
    // False once the link failed and could not be opened again: every transfer is refused.
    bool linkUp() const { return link_up_; }

  private:
    std::int64_t setting(OpenState &state, std::uint32_t code, std::uint64_t value,
                         std::vector<std::uint8_t> &payload);
    std::int64_t rdwr(const std::vector<WireMessage> &wire, std::vector<std::uint8_t> &payload);
    std::int64_t smbus(const OpenState &state, const Request &request,
                       std::vector<std::uint8_t> &payload);
    // One transaction on the bus, retried after a lost arbitration as the kernel does.
    BusResult carryOut(const std::function<BusResult()> &transaction);
    std::int64_t failed(const BusResult &result);

    TavroBus &bus_;
    bool (*reopen_)(TavroBus &);
    bool link_up_ = true;
    // The adapter's settings, shared by every open as in the kernel.
    unsigned retries_ = 0;
    unsigned timeout_ms_ = 1000;
};

} // namespace i2cdev

#endif
