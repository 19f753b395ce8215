// Fuzz target: the bodies of request frames as tavro-i2c exec's socket receives them from any
// program of the user's, decoded and then answered by the i2c-dev interface over a bus whose
// link is not open. A body that decodes must encode again to exactly the same bytes, stay
// within the frame bounds, and get an answer of the kernel's form: a result that is a count
// or a known errno, and a payload of the size its request gives.
//
// Input layout: the body of one request frame (the length before it is the input's size).
#include "device.h"
#include "wire.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/i2c-dev.h>

namespace {

void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_i2cdev: %s\n", what);
        std::abort();
    }
}

bool reopen(TavroBus &) {
    return true; // the bus stays closed: every transfer ends as Closed
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace i2cdev;
    const std::optional<Request> request = decodeRequest(data, size);
    if (!request)
        return 0;
    const std::vector<std::uint8_t> frame = encodeRequest(*request);
    check(frame.size() == size + 4 && frameLength(frame.data()) == size &&
              std::memcmp(frame.data() + 4, data, size) == 0,
          "the request does not encode to the bytes it came from");
    check(size <= MAX_FRAME_BODY, "a body over the bound decoded");
    check(request->messages.size() <= MAX_MESSAGES, "too many messages decoded");
    for (const WireMessage &m : request->messages)
        check(m.length <= MAX_MESSAGE_BYTES, "an over-long message decoded");

    TavroBus bus;
    Device device(bus, reopen);
    OpenState state;
    const i2cdev::Reply reply = device.answer(state, *request);
    static const int KNOWN[] = {EINVAL, EOPNOTSUPP, ENOTTY, EBADF, ENODEV};
    bool known = reply.result >= 0;
    for (int error : KNOWN)
        known = known || reply.result == -error;
    check(known, "a result that is neither a count nor a known errno");
    if (reply.result < 0)
        return 0;
    switch (request->op) {
    case Op::Setting:
        check(reply.result == 0 && (request->code == I2C_FUNCS) == (reply.payload.size() == 8),
              "a setting answered with a value or a payload it does not have");
        break;
    case Op::Read:
        check(static_cast<std::size_t>(reply.result) == reply.payload.size(),
              "read() answered with another count than its bytes");
        break;
    default:
        break;
    }
    // The round trip of the reply too.
    const std::vector<std::uint8_t> answer = encodeReply(reply);
    const std::optional<i2cdev::Reply> back = decodeReply(answer.data() + 4, answer.size() - 4);
    check(back && back->result == reply.result && back->payload == reply.payload,
          "a reply does not decode to itself");
    return 0;
}
