#include "wire.h"

#include <cstring>

namespace i2cdev {

namespace {

template <typename T> void put(std::vector<std::uint8_t> &out, T value) {
    std::uint8_t bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

// Reads fields off a body; once a read runs past its end every later read fails too.
class Reader {
  public:
    Reader(const std::uint8_t *data, std::size_t size) : data_(data), left_(size) {}
    template <typename T> bool get(T &value) {
        if (left_ < sizeof value)
            return ok_ = false;
        std::memcpy(&value, data_, sizeof value);
        data_ += sizeof value;
        left_ -= sizeof value;
        return ok_;
    }
    bool bytes(std::vector<std::uint8_t> &out, std::size_t count) {
        if (left_ < count)
            return ok_ = false;
        out.assign(data_, data_ + count);
        data_ += count;
        left_ -= count;
        return ok_;
    }
    bool finished() const { return ok_ && left_ == 0; }

  private:
    const std::uint8_t *data_;
    std::size_t left_;
    bool ok_ = true;
};

std::vector<std::uint8_t> framed(std::vector<std::uint8_t> body) {
    std::vector<std::uint8_t> frame;
    frame.reserve(4 + body.size());
    put(frame, static_cast<std::uint32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// The bytes that follow a message's header: a write's data, or the length byte of a read
// whose length the slave sends.
std::size_t carried(const WireMessage &m) {
    if (!(m.flags & FLAG_READ))
        return m.length;
    return (m.flags & FLAG_RECV_LEN) && m.length > 0 ? 1 : 0;
}

} // namespace

std::vector<std::uint8_t> encodeRequest(const Request &r) {
    std::vector<std::uint8_t> body;
    put(body, static_cast<std::uint8_t>(r.op));
    switch (r.op) {
    case Op::Setting:
        put(body, r.code);
        put(body, r.value);
        break;
    case Op::Rdwr:
        put(body, static_cast<std::uint32_t>(r.messages.size()));
        for (const WireMessage &m : r.messages) {
            put(body, m.address);
            put(body, m.flags);
            put(body, m.length);
            body.insert(body.end(), m.data.begin(), m.data.begin() + carried(m));
        }
        break;
    case Op::Smbus:
        put(body, r.read_write);
        put(body, r.command);
        put(body, r.size);
        body.insert(body.end(), r.block.begin(), r.block.end());
        break;
    case Op::Read:
        put(body, r.value);
        break;
    case Op::Write:
        put(body, static_cast<std::uint32_t>(r.bytes.size()));
        body.insert(body.end(), r.bytes.begin(), r.bytes.end());
        break;
    }
    return framed(std::move(body));
}

std::optional<Request> decodeRequest(const std::uint8_t *body, std::size_t size) {
    if (size > MAX_FRAME_BODY)
        return std::nullopt;
    Reader in(body, size);
    Request r;
    std::uint8_t op = 0;
    in.get(op);
    r.op = static_cast<Op>(op);
    switch (r.op) {
    case Op::Setting:
        in.get(r.code);
        in.get(r.value);
        break;
    case Op::Rdwr: {
        std::uint32_t count = 0;
        if (!in.get(count) || count == 0 || count > MAX_MESSAGES)
            return std::nullopt;
        r.messages.resize(count);
        for (WireMessage &m : r.messages) {
            in.get(m.address);
            in.get(m.flags);
            in.get(m.length);
            if (m.length > MAX_MESSAGE_BYTES || !in.bytes(m.data, carried(m)))
                return std::nullopt;
        }
        break;
    }
    case Op::Smbus: {
        std::vector<std::uint8_t> block;
        in.get(r.read_write);
        in.get(r.command);
        in.get(r.size);
        if (in.bytes(block, SMBUS_DATA_BYTES))
            std::memcpy(r.block.data(), block.data(), SMBUS_DATA_BYTES);
        break;
    }
    case Op::Read:
        if (in.get(r.value) && r.value > MAX_MESSAGE_BYTES)
            return std::nullopt;
        break;
    case Op::Write: {
        std::uint32_t count = 0;
        if (!in.get(count) || count > MAX_MESSAGE_BYTES)
            return std::nullopt;
        in.bytes(r.bytes, count);
        break;
    }
    default:
        return std::nullopt;
    }
    if (!in.finished())
        return std::nullopt;
    return r;
}

std::vector<std::uint8_t> encodeReply(const Reply &reply) {
    std::vector<std::uint8_t> body;
    put(body, reply.result);
    body.insert(body.end(), reply.payload.begin(), reply.payload.end());
    return framed(std::move(body));
}

std::optional<Reply> decodeReply(const std::uint8_t *body, std::size_t size) {
    Reader in(body, size);
    Reply reply;
    if (!in.get(reply.result) || !in.bytes(reply.payload, size - sizeof reply.result))
        return std::nullopt;
    return reply;
}

std::uint32_t frameLength(const std::uint8_t *head) {
    std::uint32_t length;
    std::memcpy(&length, head, sizeof length);
    return length;
}

} // namespace i2cdev
