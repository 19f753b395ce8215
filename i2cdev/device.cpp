#include "device.h"

#include "bus_status.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace i2cdev {

namespace {

// Message flags the adapter cannot honour: it addresses 7-bit slaves and moves whole
// messages, each begun with a start and acknowledged as I2C says.
constexpr std::uint16_t UNABLE_FLAGS = I2C_M_TEN | I2C_M_RECV_LEN | I2C_M_NO_RD_ACK |
                                       I2C_M_IGNORE_NAK | I2C_M_REV_DIR_ADDR | I2C_M_NOSTART |
                                       I2C_M_STOP;

std::uint64_t funcBit(SmbusKind kind, bool read, std::uint64_t bit) {
    return smbusSupported(kind, read) ? bit : 0;
}

// The kind of an SMBus size the emulation takes; nullopt for one the kernel refuses.
std::optional<SmbusKind> kindOf(std::uint32_t size) {
    switch (size) {
    case I2C_SMBUS_QUICK:
        return SmbusKind::Quick;
    case I2C_SMBUS_BYTE:
        return SmbusKind::Byte;
    case I2C_SMBUS_BYTE_DATA:
        return SmbusKind::ByteData;
    case I2C_SMBUS_WORD_DATA:
        return SmbusKind::WordData;
    case I2C_SMBUS_PROC_CALL:
        return SmbusKind::ProcessCall;
    case I2C_SMBUS_BLOCK_DATA:
        return SmbusKind::BlockData;
    case I2C_SMBUS_I2C_BLOCK_BROKEN:
    case I2C_SMBUS_I2C_BLOCK_DATA:
        return SmbusKind::I2cBlockData;
    case I2C_SMBUS_BLOCK_PROC_CALL:
        return SmbusKind::BlockProcessCall;
    default:
        return std::nullopt;
    }
}

} // namespace

std::uint64_t functionality() {
    // Plain I2C, and the SMBus as far as the emulation carries it over plain messages.
    return I2C_FUNC_I2C | I2C_FUNC_SMBUS_PEC |
           funcBit(SmbusKind::Quick, false, I2C_FUNC_SMBUS_QUICK) |
           funcBit(SmbusKind::Byte, true, I2C_FUNC_SMBUS_READ_BYTE) |
           funcBit(SmbusKind::Byte, false, I2C_FUNC_SMBUS_WRITE_BYTE) |
           funcBit(SmbusKind::ByteData, true, I2C_FUNC_SMBUS_READ_BYTE_DATA) |
           funcBit(SmbusKind::ByteData, false, I2C_FUNC_SMBUS_WRITE_BYTE_DATA) |
           funcBit(SmbusKind::WordData, true, I2C_FUNC_SMBUS_READ_WORD_DATA) |
           funcBit(SmbusKind::WordData, false, I2C_FUNC_SMBUS_WRITE_WORD_DATA) |
           funcBit(SmbusKind::ProcessCall, false, I2C_FUNC_SMBUS_PROC_CALL) |
           funcBit(SmbusKind::BlockData, true, I2C_FUNC_SMBUS_READ_BLOCK_DATA) |
           funcBit(SmbusKind::BlockData, false, I2C_FUNC_SMBUS_WRITE_BLOCK_DATA) |
           funcBit(SmbusKind::BlockProcessCall, false, I2C_FUNC_SMBUS_BLOCK_PROC_CALL) |
           funcBit(SmbusKind::I2cBlockData, true, I2C_FUNC_SMBUS_READ_I2C_BLOCK) |
           funcBit(SmbusKind::I2cBlockData, false, I2C_FUNC_SMBUS_WRITE_I2C_BLOCK);
}

Reply Device::answer(OpenState &state, const Request &request) {
    Reply reply;
    switch (request.op) {
    case Op::Setting:
        reply.result = setting(state, request.code, request.value, reply.payload);
        break;
    case Op::Rdwr:
        reply.result = rdwr(request.messages, reply.payload);
        break;
    case Op::Smbus:
        reply.result = smbus(state, request, reply.payload);
        break;
    case Op::Read:
    case Op::Write: {
        // read() and write() are one message to the open's address.
        WireMessage message;
        message.address = static_cast<std::uint16_t>(state.address);
        message.flags = static_cast<std::uint16_t>((request.op == Op::Read ? I2C_M_RD : 0) |
                                                   (state.ten_bit ? I2C_M_TEN : 0));
        message.length = static_cast<std::uint16_t>(request.op == Op::Read ? request.value
                                                                           : request.bytes.size());
        message.data = request.bytes;
        reply.result = rdwr({message}, reply.payload);
        if (reply.result == 1)
            reply.result = message.length;
        break;
    }
    }
    return reply;
}

std::int64_t Device::setting(OpenState &state, std::uint32_t code, std::uint64_t value,
                             std::vector<std::uint8_t> &payload) {
    switch (code) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        // No kernel driver holds an address here, so I2C_SLAVE never finds one busy.
        if (value > 0x3ff || (!state.ten_bit && value > 0x7f))
            return -EINVAL;
        state.address = static_cast<unsigned>(value);
        return 0;
    case I2C_TENBIT:
        state.ten_bit = value != 0;
        return 0;
    case I2C_PEC:
        state.pec = value != 0;
        return 0;
    case I2C_FUNCS: {
        const std::uint64_t funcs = functionality();
        payload.resize(sizeof funcs);
        std::memcpy(payload.data(), &funcs, sizeof funcs);
        return 0;
    }
    case I2C_RETRIES:
        if (value > INT32_MAX)
            return -EINVAL;
        retries_ = static_cast<unsigned>(value);
        return 0;
    case I2C_TIMEOUT:
        // In units of 10 ms, for historical reasons.
        if (value > INT32_MAX)
            return -EINVAL;
        timeout_ms_ = static_cast<unsigned>(value * 10);
        return 0;
    default:
        return -ENOTTY;
    }
}

BusResult Device::carryOut(const std::function<BusResult()> &transaction) {
    if (!link_up_)
        return BusResult{BusStatus::HungUp, "the link has failed", 0};
    const auto start = std::chrono::steady_clock::now();
    BusResult result;
    for (unsigned attempt = 0; attempt <= retries_; ++attempt) {
        result = transaction();
        if (result.status != BusStatus::ArbitrationLost ||
            std::chrono::steady_clock::now() - start > std::chrono::milliseconds(timeout_ms_))
            break;
    }
    if (linkInDoubt(result.status)) {
        // A late reply could pass for the next transfer's: the link starts afresh.
        if (result.status == BusStatus::HungUp)
            bus_.abandon();
        else
            bus_.close();
        link_up_ = result.status != BusStatus::HungUp && reopen_(bus_);
    }
    return result;
}

std::int64_t Device::failed(const BusResult &result) {
    return -busErrno(result.status);
}

std::int64_t Device::rdwr(const std::vector<WireMessage> &wire,
                          std::vector<std::uint8_t> &payload) {
    // The adapter's limits first, as the kernel checks its quirks before the adapter sees
    // the messages; then what the adapter cannot do at all.
    for (const WireMessage &m : wire)
        if (m.length > TAVRO_MAX_MESSAGE_BYTES)
            return -EOPNOTSUPP;
    std::vector<I2cMessage> messages;
    for (const WireMessage &m : wire) {
        if (m.flags & UNABLE_FLAGS)
            return -EOPNOTSUPP;
        if (m.address > 0x7f)
            return -EINVAL;
        I2cMessage message;
        message.address = m.address;
        message.read = (m.flags & I2C_M_RD) != 0;
        message.length = m.length;
        if (!message.read)
            message.data = m.data;
        messages.push_back(std::move(message));
    }
    const BusResult result = carryOut([&] {
        std::vector<I2cMessage> attempt = messages;
        const BusResult r = bus_.transfer(attempt);
        if (r.ok())
            messages = std::move(attempt);
        return r;
    });
    if (!result.ok())
        return failed(result);
    for (const I2cMessage &message : messages)
        if (message.read)
            payload.insert(payload.end(), message.data.begin(), message.data.end());
    return static_cast<std::int64_t>(messages.size());
}

std::int64_t Device::smbus(const OpenState &state, const Request &request,
                           std::vector<std::uint8_t> &payload) {
    const std::optional<SmbusKind> kind = kindOf(request.size);
    if (!kind || (request.read_write != I2C_SMBUS_READ && request.read_write != I2C_SMBUS_WRITE))
        return -EINVAL;
    std::array<std::uint8_t, SMBUS_DATA_BYTES> block = request.block;
    bool read = request.read_write == I2C_SMBUS_READ;
    if (request.size == I2C_SMBUS_I2C_BLOCK_BROKEN && read)
        block[0] = I2C_SMBUS_BLOCK_MAX; // the old call always read a full block
    if (*kind == SmbusKind::ProcessCall || *kind == SmbusKind::BlockProcessCall)
        read = true; // a process call writes, then reads back
    const bool writes_block = !read || *kind == SmbusKind::BlockProcessCall;
    if ((*kind == SmbusKind::BlockData && writes_block) || *kind == SmbusKind::BlockProcessCall ||
        *kind == SmbusKind::I2cBlockData)
        if (block[0] > I2C_SMBUS_BLOCK_MAX)
            return -EINVAL;
    if (!smbusSupported(*kind, read))
        return -EOPNOTSUPP;
    if (state.ten_bit)
        return -EOPNOTSUPP;
    if (state.address > 0x7f)
        return -EINVAL;

    SmbusTransaction t;
    t.address = static_cast<int>(state.address);
    t.read = read;
    t.kind = *kind;
    t.command = request.command;
    t.pec = state.pec;
    const int count = block[0];
    switch (*kind) {
    case SmbusKind::ByteData:
        if (!read)
            t.data = {block[0]};
        break;
    case SmbusKind::WordData:
    case SmbusKind::ProcessCall:
        if (!read || *kind == SmbusKind::ProcessCall)
            t.data = {block[0], block[1]};
        break;
    case SmbusKind::BlockData:
        t.data.assign(block.begin() + 1, block.begin() + 1 + count);
        if (count == 0) {
            // An empty block is its count alone: the same bytes as writing 0 at the command.
            t.kind = SmbusKind::ByteData;
            t.data = {0};
        }
        break;
    case SmbusKind::I2cBlockData:
        if (read)
            t.length = count;
        else
            t.data.assign(block.begin() + 1, block.begin() + 1 + count);
        break;
    default:
        break;
    }

    std::vector<std::uint8_t> data;
    BusResult result;
    if (*kind == SmbusKind::I2cBlockData && count == 0) {
        // No data bytes: the command code alone, with a read of nothing after it to read.
        std::vector<I2cMessage> messages(1 + read);
        messages[0].address = t.address;
        messages[0].data = {t.command};
        messages[0].length = 1;
        if (read) {
            messages[1].address = t.address;
            messages[1].read = true;
        }
        result = carryOut([&] { return bus_.transfer(messages); });
    } else {
        result = carryOut([&] { return bus_.smbus(t, data); });
    }
    if (!result.ok())
        return failed(result);

    payload.assign(block.begin(), block.end());
    switch (*kind) {
    case SmbusKind::Byte:
    case SmbusKind::ByteData:
    case SmbusKind::WordData:
    case SmbusKind::ProcessCall:
        std::copy(data.begin(), data.end(), payload.begin());
        break;
    case SmbusKind::I2cBlockData:
        std::copy(data.begin(), data.end(), payload.begin() + 1);
        break;
    default:
        break;
    }
    return 0;
}

} // namespace i2cdev
