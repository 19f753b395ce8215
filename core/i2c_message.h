// One I2C message as every door gives it to the link: a 7-bit address, the direction and the
// bytes. Pure data.
#ifndef SENDRAL_I2C_MESSAGE_H
#define SENDRAL_I2C_MESSAGE_H

#include <cstdint>
#include <vector>

// The most bytes one message moves. A read's count is the adapter's own limit; a write is
// held to the same, which keeps its command line ("/t" and "~HH" per byte) well within what
// the adapter takes.
constexpr int TAVRO_MAX_MESSAGE_BYTES = 251;

struct I2cMessage {
    int address = 0; // 7-bit
    bool read = false;
    int length = 0;                 // a read's byte count
    std::vector<std::uint8_t> data; // a write's bytes; after a read, the bytes it returned
};

#endif
