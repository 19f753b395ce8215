// What passes over the socket between libtavro-i2cdev.so, in the program, and tavro-i2c exec,
// which owns the link: one request frame per i2c-dev call and one reply frame to it. A frame
// is a 32-bit length and that many bytes, in the host's byte order (both ends are on the same
// machine). Pure.
#ifndef TAVRO_I2CDEV_WIRE_H
#define TAVRO_I2CDEV_WIRE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace i2cdev {

// The kernel's own bounds on what one I2C_RDWR may carry: more is refused before anything
// is copied, so no frame needs to be larger.
constexpr std::uint32_t MAX_MESSAGES = 42;
constexpr std::uint32_t MAX_MESSAGE_BYTES = 8192;
// An SMBus call's data: a count byte, 32 block bytes and room for the PEC byte.
constexpr std::size_t SMBUS_DATA_BYTES = 34;
// The largest frame body either way: a full I2C_RDWR of writes.
constexpr std::size_t MAX_FRAME_BODY = 16 + MAX_MESSAGES * (8 + MAX_MESSAGE_BYTES);

enum class Op : std::uint8_t {
    Setting = 1, // an ioctl that sets or asks one value: code and value
    Rdwr = 2,    // I2C_RDWR: messages
    Smbus = 3,   // I2C_SMBUS: read_write, command, size, data
    Read = 4,    // read(): count
    Write = 5,   // write(): bytes
};

struct WireMessage {
    std::uint16_t address = 0;
    std::uint16_t flags = 0;
    std::uint16_t length = 0;
    // A write's bytes; for a read whose length the slave sends, the caller's first byte.
    std::vector<std::uint8_t> data;
};

struct Request {
    Op op = Op::Setting;
    std::uint32_t code = 0;  // Setting: the ioctl number
    std::uint64_t value = 0; // Setting: its argument; Read: the count
    std::vector<WireMessage> messages;
    std::uint8_t read_write = 0; // Smbus
    std::uint8_t command = 0;    // Smbus
    std::uint32_t size = 0;      // Smbus: the transaction kind
    std::array<std::uint8_t, SMBUS_DATA_BYTES> block{};
    std::vector<std::uint8_t> bytes; // Write
};

// The message flags the wire distinguishes (linux/i2c.h).
constexpr std::uint16_t FLAG_READ = 0x0001;
constexpr std::uint16_t FLAG_RECV_LEN = 0x0400;

// Request and reply frames, the length included.
std::vector<std::uint8_t> encodeRequest(const Request &request);
// A request's body (after the length); nullopt when it is malformed or over the bounds.
std::optional<Request> decodeRequest(const std::uint8_t *body, std::size_t size);

struct Reply {
    std::int64_t result = 0; // the call's return value, or -errno
    std::vector<std::uint8_t> payload;
};
std::vector<std::uint8_t> encodeReply(const Reply &reply);
std::optional<Reply> decodeReply(const std::uint8_t *body, std::size_t size);

// The body length a frame's first four bytes announce.
std::uint32_t frameLength(const std::uint8_t *head);

} // namespace i2cdev

#endif
