// Fuzz target: the telnet parser of rfc2217:// ports, alone. What a server sends goes in, in
// reads of any size; the port's bytes and the answers must not depend on how the stream was
// split, the answers must be whole negotiations and never more than the requests, and the
// port's bytes, escaped as telnet data, must come back unchanged and unanswered.
//
// Input layout:
//   byte 0    n, the number of split bytes (0-31)
//   n bytes   the sizes of the first n reads (0-255)
//   the rest  the server's bytes; past the last split byte they come in one read
#include "rfc2217.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition, const char *what, const std::string &detail) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_telnet: %s (%zu bytes)\n", what, detail.size());
        std::abort();
    }
}

struct Parsed {
    std::string data, answer;
    bool refused;
};

Parsed parse(const std::string &stream, const std::uint8_t *sizes, std::size_t splits) {
    TelnetDecoder decoder;
    decoder.greeting();
    Parsed parsed;
    const auto *bytes = reinterpret_cast<const unsigned char *>(stream.data());
    std::size_t at = 0;
    for (std::size_t read = 0; at < stream.size(); ++read) {
        const std::size_t piece =
            std::min<std::size_t>(read < splits ? sizes[read] : stream.size(), stream.size() - at);
        decoder.feed(bytes + at, piece, parsed.data, parsed.answer);
        at += piece;
        check(decoder.lastSubnegotiation().size() <= telnet::MAX_SUBNEGOTIATION,
              "a subnegotiation beyond its limit", decoder.lastSubnegotiation());
    }
    parsed.refused = decoder.comPortRefused();
    return parsed;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t splits = std::min<std::size_t>(data[0] % 32, size - 1);
    const std::string stream(reinterpret_cast<const char *>(data + 1 + splits), size - 1 - splits);

    const Parsed whole = parse(stream, nullptr, 0);
    const Parsed split = parse(stream, data + 1, splits);
    check(split.data == whole.data && split.answer == whole.answer &&
              split.refused == whole.refused,
          "the result depends on the reads", stream);
    check(whole.data.size() <= stream.size(), "more bytes out than in", whole.data);

    const std::size_t requests = std::count(stream.begin(), stream.end(), '\xff');
    check(whole.answer.size() % 3 == 0 && whole.answer.size() <= 3 * requests,
          "answers beyond the requests", whole.answer);
    for (std::size_t i = 0; i < whole.answer.size(); i += 3) {
        const auto verb = static_cast<unsigned char>(whole.answer[i + 1]);
        check(static_cast<unsigned char>(whole.answer[i]) == telnet::IAC && verb >= telnet::WILL &&
                  verb <= telnet::DONT,
              "an answer that is no negotiation", whole.answer);
    }

    const Parsed echoed = parse(telnetEscape(stream.data(), stream.size()), data + 1, splits);
    check(echoed.data == stream && echoed.answer.empty(), "escaped data did not come back", stream);
    return 0;
}
