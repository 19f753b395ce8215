#pragma once

// A chip on the simulated bus built from a register map: its registers hold their reset
// values, read-only ones ignore writes, and a register pointer of one or two bytes (set by
// the first bytes of a write) steps through them as an EEPROM's address does. Addresses the
// map names no register at hold plain bytes, 0xFF at first, as an erased EEPROM's.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrosim {

class MapChip {
  public:
    // The chip of the map file at path; nullopt with error ("FILE:LINE: what") when the map
    // is refused.
    static std::optional<MapChip> fromFile(const std::string &path, std::string &error);

    // A write transfer's bytes: the pointer first (high byte first), then data from there on.
    void write(const std::vector<std::uint8_t> &bytes);
    // count bytes read from the pointer on.
    std::vector<std::uint8_t> read(int count);

    const std::string &device() const { return device_; }
    std::optional<int> defaultAddress() const { return address_; }

  private:
    struct Register {
        std::vector<std::uint8_t> bytes; // in the order they go over the bus
        bool readOnly = false;
    };
    // The next byte at the pointer, stepping on; the byte is replaced unless value is empty.
    std::uint8_t step(const std::optional<std::uint8_t> &value);

    std::string device_;
    std::optional<int> address_;
    int pointerBytes_ = 1;
    unsigned pointer_ = 0;
    std::size_t offset_ = 0; // within a register wider than a byte
    std::map<unsigned, Register> registers_;
    std::vector<std::uint8_t> memory_;
};

} // namespace tavrosim
