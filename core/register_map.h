// Register maps: one chip's registers and their bit fields by name, read from a YAML file
// written by hand from a datasheet, and the bytes that read and write them on the bus.
// tavro-i2c, the Python module and tavro-sim share this one reader and these rules. Pure:
// nothing is printed, no call throws; a refused map comes back as "FILE:LINE: what".
#ifndef SENDRAL_REGISTER_MAP_H
#define SENDRAL_REGISTER_MAP_H

#include "i2c_message.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A map file larger than this is refused unread: a chip's map is a few kilobytes.
constexpr std::size_t REGISTER_MAP_MAX_FILE = 1 << 20;
// The widest register, in bytes: its value fits a 64-bit number.
constexpr int REGISTER_MAX_BYTES = 8;

enum class RegisterAccess { ReadOnly, ReadWrite, WriteOnly };

// A named value of a field, as the field's raw bits.
struct FieldValue {
    std::string name;
    std::uint64_t raw = 0;
};

struct MapField {
    std::string name;
    std::string description;
    int line = 0;
    int high = 0; // bit numbers in the register's value, 0 the least significant
    int low = 0;
    bool is_signed = false; // two's complement over the field's bits
    double scale = 0;       // 0: not scaled
    std::string unit;
    std::vector<FieldValue> values; // in the file's order

    int width() const { return high - low + 1; }
};

struct MapRegister {
    std::string name;
    std::string description;
    int line = 0;
    unsigned address = 0; // the register pointer's value
    int size = 1;         // bytes
    RegisterAccess access = RegisterAccess::ReadWrite;
    std::optional<std::uint64_t> reset;
    std::vector<MapField> fields; // in the file's order

    bool readable() const { return access != RegisterAccess::WriteOnly; }
    bool writable() const { return access != RegisterAccess::ReadOnly; }
};

struct RegisterMap {
    std::string file; // as given, for messages
    std::string device;
    std::optional<int> address;         // 7-bit default address
    int pointer_bytes = 1;              // the register pointer's width, sent high byte first
    bool little_endian = false;         // byte order of registers wider than a byte
    std::vector<MapRegister> registers; // in the file's order
};

// Reads a map from text; file names it in the error ("FILE:LINE: what").
std::optional<RegisterMap> parseRegisterMap(const std::string &text, const std::string &file,
                                            std::string &error);
// Reads the file at path (at most REGISTER_MAP_MAX_FILE bytes) and parses it.
std::optional<RegisterMap> loadRegisterMap(const std::string &path, std::string &error);

// What a NAME of "REGISTER" or "REGISTER.FIELD" stands for; field is null for a register.
struct MapTarget {
    const MapRegister *reg = nullptr;
    const MapField *field = nullptr;
};
std::optional<MapTarget> findMapTarget(const RegisterMap &map, const std::string &name,
                                       std::string &error);

// Why the target cannot be read or written as asked, or "" when it can. A field of a
// write-only register cannot be written either: its other bits cannot be read to keep them.
std::string readRefusal(const MapTarget &target);
std::string writeRefusal(const MapTarget &target);

// VALUE for a set of the target: a named value of the field, or a number that fits the
// register or the field (signed fields: their signed range). The raw bits, or nullopt with
// error saying why.
std::optional<std::uint64_t> parseTargetValue(const MapTarget &target, const std::string &text,
                                              std::string &error);

// The register pointer's bytes, high byte first.
std::vector<std::uint8_t> registerPointer(const RegisterMap &map, const MapRegister &reg);
// One transaction reading the register whole: its pointer written, a repeated start, and a
// read of its bytes.
std::vector<I2cMessage> registerReadMessages(const RegisterMap &map, const MapRegister &reg,
                                             int address);
// One message writing the register whole: its pointer, then its bytes in the map's order.
I2cMessage registerWriteMessage(const RegisterMap &map, const MapRegister &reg, int address,
                                std::uint64_t value);
// A register's bytes as they go over the bus, and back.
std::vector<std::uint8_t> registerBytes(const RegisterMap &map, const MapRegister &reg,
                                        std::uint64_t value);
std::uint64_t registerValue(const RegisterMap &map, const std::vector<std::uint8_t> &bytes);

// A field's raw bits within a register value, and the value with them replaced.
std::uint64_t fieldRaw(const MapField &field, std::uint64_t register_value);
std::uint64_t withField(const MapField &field, std::uint64_t register_value, std::uint64_t raw);
// The field's number: sign-extended for a signed field.
std::int64_t fieldNumber(const MapField &field, std::uint64_t raw);
// The named value the raw bits have, or null.
const FieldValue *fieldValueName(const MapField &field, std::uint64_t raw);

// As get prints them: a register in hex of its width ("0x1234"); a field by its value's
// name, else the number, a scaled field followed by its scaled value and unit ("200 (25 °C)").
std::string registerText(const MapRegister &reg, std::uint64_t value);
std::string fieldText(const MapField &field, std::uint64_t raw);
// A register address in hex of the pointer's width ("0x01", "0x0ff0").
std::string registerAddressText(const RegisterMap &map, const MapRegister &reg);

// dump's lines for one register: "NAME  0xADDR = 0xVALUE" with names padded to the map's
// longest, then each field indented beneath it; value null: read failed, "XX" and no fields.
std::string registerDumpText(const RegisterMap &map, const MapRegister &reg,
                             const std::optional<std::uint64_t> &value);

#endif
