#include "list_file.h"

#include "data_text.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::string_view LIST_HEADER = "QVT I2C Message List File";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The text up to and including its last comma; "" without a comma.
std::string_view throughLastComma(std::string_view text) {
    const std::size_t comma = text.rfind(',');
    return comma == std::string_view::npos ? std::string_view() : text.substr(0, comma + 1);
}

// The leading hexadecimal digits of text, as a number.
unsigned leadingHex(std::string_view text) {
    unsigned value = 0;
    for (char c : text) {
        const int digit = hexDigitValue(c);
        if (digit < 0)
            break;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

} // namespace

std::string formatListFile(const std::vector<ListMessage> &messages, bool autorepeat,
                           bool sendonint) {
    std::string text = std::string(LIST_HEADER) + " V2\n";
    for (const ListMessage &message : messages) {
        std::array<char, 16> delay{};
        std::snprintf(delay.data(), delay.size(), "%04x", message.delay);
        text += '$';
        text += message.address;
        text += message.rw == "W" ? ",W," : ",R,";
        text += message.stop ? "Y,$" : "N,$";
        text += delay.data();
        text += ',';
        text += message.data;
        text += '\n';
    }
    text += autorepeat ? "AutoRepeat = ON\n" : "AutoRepeat = OFF\n";
    text += sendonint ? "SendOnInt = ON\n" : "SendOnInt = OFF\n";
    text += "End of Sequence\n";
    return text;
}

bool ListFileParser::feed(const char *data, std::size_t length) {
    std::string_view rest(data, length);
    while (stage_ != Stage::Done && !rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view piece = rest.substr(0, end);
        if (!overlong_) {
            const std::size_t room = MAX_LINE_KEPT - pending_.size();
            pending_.append(piece.substr(0, room));
            overlong_ = piece.size() > room;
        }
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
        line(pending_);
        pending_.clear();
        overlong_ = false;
    }
    return stage_ != Stage::Done;
}

void ListFileParser::finish() {
    if (stage_ != Stage::Done && !pending_.empty())
        line(pending_);
    pending_.clear();
    stage_ = Stage::Done;
}

void ListFileParser::line(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    switch (stage_) {
    case Stage::Header:
        header_ok_ = startsWith(text, LIST_HEADER);
        stage_ = header_ok_ ? Stage::Messages : Stage::Done;
        break;
    case Stage::Messages:
        if (startsWith(text, "$")) {
            message(text);
            break;
        }
        stage_ = Stage::Options;
        option(text);
        break;
    case Stage::Options:
        option(text);
        break;
    case Stage::Done:
        break;
    }
}

void ListFileParser::message(std::string_view text) {
    if (result_.messages.size() >= static_cast<std::size_t>(LIST_ROWS)) {
        ++result_.dropped;
        return;
    }
    ListMessage message;
    message.rw = contains(text, ",W,") ? "W" : "R";
    message.stop = !contains(text, ",N,");
    const std::string_view address = text.substr(1, text.find(',') - 1);
    message.address = std::string(address.substr(0, 2));

    // The delay is the four characters after the first ",$"; a line without them has delay
    // 0 and no data. The data runs from after the comma that follows the delay.
    const std::size_t mark = text.find(",$");
    if (mark != std::string_view::npos && text.size() >= mark + 6) {
        message.delay = leadingHex(text.substr(mark + 2, 4));
        std::string_view data = throughLastComma(text.substr(std::min(text.size(), mark + 7)));
        if (data.size() > MAX_DATA_CHARS)
            data = throughLastComma(data.substr(0, MAX_DATA_CHARS)); // the first 32 groups
        message.data = std::string(data);
    }
    result_.messages.push_back(std::move(message));
}

void ListFileParser::option(std::string_view text) {
    if (startsWith(text, "AutoRepeat"))
        result_.autorepeat = contains(text, "ON") ? 1 : 0;
    else if (startsWith(text, "SendOnInt"))
        result_.sendonint = contains(text, "ON") ? 1 : 0;
    else if (startsWith(text, "End of Sequence"))
        stage_ = Stage::Done;
}

ListFileStatus parseListText(std::string_view text, ListFile &out) {
    ListFileParser parser;
    parser.feed(text.data(), text.size());
    parser.finish();
    out = parser.result();
    return parser.status();
}

ListFileStatus readListFile(std::FILE *in, ListFile &out) {
    ListFileParser parser;
    std::array<char, 4096> buffer{};
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n > 0 && !parser.feed(buffer.data(), n))
            break;
        if (n < buffer.size()) {
            if (std::ferror(in))
                return ListFileStatus::ReadError;
            break;
        }
    }
    parser.finish();
    out = parser.result();
    return parser.status();
}
