#include "reply_framer.h"

void ReplyFramer::feed(const char *data, std::size_t length, LineHandler on_line, void *context) {
    bool in_segment = false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = data[i];
        if (c == '\0')
            continue; // noise: a reply that follows in the same read must not be lost
        if (c == '\r' || c == '\n') {
            in_segment = false;
            // A line end completes any collected text, even at the start of a read: a
            // reply whose CR comes in the next read has still arrived.
            if (count_ > 0) {
                count_ = 0;
                between_ = 1;
                const bool cut = cut_;
                cut_ = false;
                on_line(context, std::string(buffer_), cut);
            }
            continue;
        }
        if (!in_segment) {
            if (between_ && c == '*')
                continue;
            in_segment = true;
            if (between_ && c == '/') {
                count_ = 0; // text collected without a leading "/" is dropped
                between_ = 0;
            }
        }
        if (count_ == 0)
            cut_ = false; // a line starts afresh
        if (static_cast<std::size_t>(count_) + 1 < size_) {
            buffer_[count_] = c;
            ++count_;
            buffer_[count_] = '\0';
        } else {
            cut_ = true;
        }
    }
}

std::string replyCode(const std::string &line) {
    return line.size() > 1 ? line.substr(1, 3) : std::string();
}

std::string replyText(const std::string &line) {
    return line.size() > 4 ? line.substr(4) : std::string();
}
