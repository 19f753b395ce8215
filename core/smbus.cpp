#include "smbus.h"

namespace {

std::uint8_t addressByte(int address, bool read) {
    return static_cast<std::uint8_t>(address << 1 | (read ? 1 : 0));
}

I2cMessage writeMessage(int address, std::vector<std::uint8_t> bytes) {
    I2cMessage message;
    message.address = address;
    message.length = static_cast<int>(bytes.size());
    message.data = std::move(bytes);
    return message;
}

I2cMessage readMessage(int address, int length) {
    I2cMessage message;
    message.address = address;
    message.read = true;
    message.length = length;
    return message;
}

// The data bytes a write of this kind needs; -1 for a block (1 to 32).
int writeDataSize(SmbusKind kind) {
    switch (kind) {
    case SmbusKind::Quick:
    case SmbusKind::Byte:
        return 0;
    case SmbusKind::ByteData:
        return 1;
    case SmbusKind::WordData:
    case SmbusKind::ProcessCall:
        return 2;
    default:
        return -1;
    }
}

// The bytes of a read, before the PEC byte.
int readSize(const SmbusTransaction &t) {
    switch (t.kind) {
    case SmbusKind::Quick:
        return 0;
    case SmbusKind::Byte:
    case SmbusKind::ByteData:
        return 1;
    case SmbusKind::WordData:
    case SmbusKind::ProcessCall:
        return 2;
    default:
        return t.length;
    }
}

bool carriesPec(const SmbusTransaction &t) {
    // As in the kernel: a quick command has no byte to protect, and an I2C block is no
    // SMBus transaction.
    return t.pec && t.kind != SmbusKind::Quick && t.kind != SmbusKind::I2cBlockData;
}

bool readsBack(const SmbusTransaction &t) {
    return t.kind == SmbusKind::ProcessCall || (t.read && t.kind != SmbusKind::Quick);
}

} // namespace

std::uint8_t smbusCrc8(std::uint8_t crc, const std::uint8_t *bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint8_t>(crc & 0x80 ? crc << 1 ^ 0x07 : crc << 1);
    }
    return crc;
}

bool smbusSupported(SmbusKind kind, bool read) {
    return kind != SmbusKind::BlockProcessCall && !(kind == SmbusKind::BlockData && read);
}

std::vector<I2cMessage> smbusMessages(const SmbusTransaction &t, std::string &error) {
    if (!smbusSupported(t.kind, t.read)) {
        error = "the adapter cannot read a block whose length the slave chooses";
        return {};
    }
    const bool writes = !t.read || t.kind == SmbusKind::ProcessCall;
    const int size = writeDataSize(t.kind);
    if (writes && size >= 0 && static_cast<int>(t.data.size()) != size) {
        error = "the transaction takes " + std::to_string(size) + " data bytes";
        return {};
    }
    if (writes && size < 0 && (t.data.empty() || t.data.size() > SMBUS_BLOCK_MAX)) {
        error = "a block holds 1 to 32 bytes";
        return {};
    }
    if (t.read && t.kind == SmbusKind::I2cBlockData &&
        (t.length < 1 || t.length > SMBUS_BLOCK_MAX)) {
        error = "a block read asks for 1 to 32 bytes";
        return {};
    }
    if (t.kind == SmbusKind::Quick)
        return {t.read ? readMessage(t.address, 0) : writeMessage(t.address, {})};
    if (t.kind == SmbusKind::Byte && t.read)
        return {readMessage(t.address, 1 + carriesPec(t))};

    // Reads write only the command code; the data of a write follow it.
    std::vector<std::uint8_t> out = {t.command};
    if (writes && t.kind == SmbusKind::BlockData)
        out.push_back(static_cast<std::uint8_t>(t.data.size()));
    if (writes && t.kind != SmbusKind::Byte)
        out.insert(out.end(), t.data.begin(), t.data.end());
    if (!readsBack(t)) {
        if (carriesPec(t)) {
            const std::uint8_t head = addressByte(t.address, false);
            out.push_back(smbusCrc8(smbusCrc8(0, &head, 1), out.data(), out.size()));
        }
        return {writeMessage(t.address, std::move(out))};
    }
    return {writeMessage(t.address, std::move(out)),
            readMessage(t.address, readSize(t) + carriesPec(t))};
}

bool smbusResult(const SmbusTransaction &t, const std::vector<I2cMessage> &messages,
                 std::vector<std::uint8_t> &data) {
    data.clear();
    if (!readsBack(t) || messages.empty())
        return true;
    const I2cMessage &read = messages.back();
    const auto size = static_cast<std::size_t>(readSize(t));
    if (read.data.size() < size + carriesPec(t))
        return false;
    data.assign(read.data.begin(), read.data.begin() + static_cast<std::ptrdiff_t>(size));
    if (!carriesPec(t))
        return true;
    // The CRC covers every byte on the bus, the address bytes of both messages included.
    std::uint8_t crc = 0;
    for (const I2cMessage &message : messages) {
        const std::uint8_t head = addressByte(message.address, message.read);
        crc = smbusCrc8(crc, &head, 1);
        crc = smbusCrc8(crc, message.data.data(), message.read ? size : message.data.size());
    }
    return crc == read.data[size];
}
