// Fuzz target: the reply framer alone, without the window. The adapter's bytes go in, in
// reads of any size; every line that comes out must be a run of the bytes that went in (NULs
// and skipped "*" aside), non-empty, without a line end, and within the reply buffer, whose
// line being collected must stay terminated.
//
// Input layout:
//   byte 0    n, the number of split bytes (0-31)
//   n bytes   the sizes of the first n reads (0-255)
//   the rest  the adapter's bytes; past the last split byte they come in reads of 255
#include "reply_framer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t BUFFER_SIZE = 255; // the program's reply buffer

std::vector<std::string> lines;
void collect(void *, const std::string &line, bool) {
    lines.push_back(line);
}

void check(bool condition, const char *what, const std::string &detail) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_framer: %s: \"%s\"\n", what, detail.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t splits = std::min<std::size_t>(data[0] % 32, size - 1);
    const auto *bytes = reinterpret_cast<const char *>(data + 1 + splits);
    const std::size_t length = size - 1 - splits;

    std::vector<char> buffer(BUFFER_SIZE, 'x');
    int count = 0;
    int between = 1;
    ReplyFramer framer(buffer.data(), buffer.size(), count, between);
    lines.clear();
    std::size_t at = 0;
    for (std::size_t read = 0; at < length; ++read) {
        const std::size_t piece =
            std::min(read < splits ? data[1 + read] : BUFFER_SIZE, length - at);
        framer.feed(bytes + at, piece, collect, nullptr);
        at += piece;
        // The line being collected is terminated in the buffer; with none, the buffer keeps
        // the last complete line.
        check(count >= 0 && std::size_t(count) < BUFFER_SIZE &&
                  (count == 0 || std::strlen(buffer.data()) == std::size_t(count)),
              "the line being collected is not terminated", std::to_string(count));
        check(between == 0 || between == 1, "framing state", std::to_string(between));
    }

    // NULs are skipped anywhere, and so are "*" at the start of a read between replies, even
    // while text without a "/" waits: lines are runs of the input but for those two.
    auto stripped = [](std::string text) {
        text.erase(
            std::remove_if(text.begin(), text.end(), [](char c) { return c == '\0' || c == '*'; }),
            text.end());
        return text;
    };
    const std::string input = stripped(std::string(bytes, length));
    const std::size_t line_ends =
        std::count(input.begin(), input.end(), '\r') + std::count(input.begin(), input.end(), '\n');
    check(lines.size() <= line_ends, "more lines than line ends", std::to_string(lines.size()));
    for (const std::string &line : lines) {
        check(!line.empty() && line.size() < BUFFER_SIZE, "line length", line);
        check(line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos,
              "a line end or NUL inside a line", line);
        check(input.find(stripped(line)) != std::string::npos, "a line that never came", line);
    }
    return 0;
}
