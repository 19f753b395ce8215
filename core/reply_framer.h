// The framing of the adapter's reply lines, apart from the read: bytes of successive reads go
// in, complete lines come out. Pure: no toolkit; the program and tavro-i2c share it.
#ifndef SENDRAL_REPLY_FRAMER_H
#define SENDRAL_REPLY_FRAMER_H

#include <cstddef>
#include <string>

// Lines start with "/" and end with CR or LF; CR, LF and "*" between replies are skipped. A
// line keeps its first size - 1 characters; the rest up to its line end is dropped. A NUL
// (a UART break, line noise) is skipped. The buffer, the count and the between-replies flag live
// outside, so that the program keeps them in its process-wide state.
class ReplyFramer {
  public:
    // Called with each complete line, which also stays in the buffer until the next line
    // starts, and whether the line lost characters to the buffer's size. The handler may run
    // a nested main loop that feeds the framer again: the line is a copy and the framer's
    // state is consistent at each call. context is the one given to feed.
    using LineHandler = void (*)(void *context, const std::string &line, bool cut);

    ReplyFramer(char *buffer, std::size_t size, int &count, int &between_replies)
        : buffer_(buffer), size_(size), count_(count), between_(between_replies) {}
    void feed(const char *data, std::size_t length, LineHandler on_line, void *context);

  private:
    char *buffer_;
    std::size_t size_;
    int &count_;
    int &between_;
    bool cut_ = false; // the line being collected has lost characters
};

// The three characters after a reply line's first (fewer for a short line), and the text
// from its fifth character on.
std::string replyCode(const std::string &line);
std::string replyText(const std::string &line);

#endif
