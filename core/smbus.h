// SMBus transactions carried out as plain I2C messages, as the Linux kernel emulates them on
// an adapter that only moves messages: a write of the command code, then a repeated start and
// the read. PEC is the SMBus CRC-8, computed and checked here, never by the adapter. Pure.
#ifndef SENDRAL_SMBUS_H
#define SENDRAL_SMBUS_H

#include "i2c_message.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The most data bytes of an SMBus block.
constexpr int SMBUS_BLOCK_MAX = 32;

enum class SmbusKind {
    Quick,            // the address alone, its read/write bit the only datum
    Byte,             // read: one byte; write: the command code alone
    ByteData,         // one byte at a command code
    WordData,         // two bytes, low byte first, at a command code
    ProcessCall,      // write a word, read a word back, one transaction
    BlockData,        // write: count then bytes; read: the slave says the count
    I2cBlockData,     // bytes at a command code, the count chosen by the master
    BlockProcessCall, // write a block, read a block whose count the slave says
};

struct SmbusTransaction {
    int address = 0; // 7-bit
    bool read = false;
    SmbusKind kind = SmbusKind::ByteData;
    std::uint8_t command = 0;
    // A write's data: a byte, a word low byte first, or a block's bytes (without the count).
    // For ProcessCall the word written.
    std::vector<std::uint8_t> data;
    int length = 0; // bytes an I2cBlockData read asks for: 1 to SMBUS_BLOCK_MAX
    bool pec = false;
};

// CRC-8 with the polynomial x^8 + x^2 + x + 1, continuing from crc.
std::uint8_t smbusCrc8(std::uint8_t crc, const std::uint8_t *bytes, std::size_t count);

// Whether the adapter can carry out the kind in that direction: not where the slave chooses
// the length (BlockData reads and BlockProcessCall).
bool smbusSupported(SmbusKind kind, bool read);

// The messages that carry the transaction out, with the PEC byte appended to a write and
// counted into the last read. Empty with error set when the kind is not supported or the
// data do not fit it (a block of 0 or more than 32 bytes, a byte where a word is due, ...).
std::vector<I2cMessage> smbusMessages(const SmbusTransaction &transaction, std::string &error);

// After the messages went through: the data read (a byte, a word low byte first, or the
// block's bytes; nothing for a write). False when the PEC byte read does not match the CRC
// of what went over the bus.
bool smbusResult(const SmbusTransaction &transaction, const std::vector<I2cMessage> &messages,
                 std::vector<std::uint8_t> &data);

#endif
