#include "tavrosim/adapter.h"

#include "data_text.h"

#include <cstdio>

namespace tavrosim {

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kDc2 = 0x12;
constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr int kResetLength = 3; // DC2 DC2 DC2
constexpr std::size_t kOverlongFill = 400;
// An I2C byte takes 9 clocks (8 bits and the acknowledge); start and stop take one each.
constexpr int kClocksPerByte = 9;
constexpr int kStartStopClocks = 2;
constexpr const char *kResetAnswer = "Tavro ready\r\n";

constexpr const char *kInvalid = "I8F";

// Two hex characters, nothing else.
std::optional<std::uint8_t> parseHexByte(std::string_view s) {
    if (s.size() != 2 || hexDigitValue(s[0]) < 0 || hexDigitValue(s[1]) < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(hexDigitValue(s[0]) * 16 + hexDigitValue(s[1]));
}

// A single digit in [0, limit).
std::optional<int> parseDigit(std::string_view s, int limit) {
    if (s.size() != 1 || s[0] < '0' || s[0] >= '0' + limit)
        return std::nullopt;
    return s[0] - '0';
}

std::string hexGroups(const std::vector<std::uint8_t> &data) {
    std::string text;
    char group[4];
    for (std::uint8_t b : data) {
        std::snprintf(group, sizeof group, " %02X", b);
        text += group;
    }
    return text;
}

const char *faultCode(Fault fault) {
    switch (fault) {
    case Fault::Busy:
        return "I81";
    case Fault::ArbitrationLost:
        return "I83";
    case Fault::Nak:
        return "SNA";
    case Fault::Invalid:
        break;
    }
    return kInvalid;
}

} // namespace

Adapter::Adapter(Variant variant, int rate) : variant_(variant), fixedRate_(rate), rate_(rate) {}

void Adapter::receive(std::string_view bytes, int lineRate) {
    for (char c : bytes) {
        // The host's line does software flow control; those characters are not data.
        if (c == kXon || c == kXoff)
            continue;
        // A change of the host's rate turns the rest of a command into garbage.
        if (!entry_.bytes.empty() && entry_.rate != lineRate) {
            entry_.understood = false;
            finishEntry("");
        }
        if (entry_.bytes.empty()) {
            if (c == kCr || c == kLf)
                continue; // stray line ends between commands
            entry_.rate = lineRate;
            entry_.understood = lineRate == rate_;
            overflow_ = false;
        }
        // The log keeps the start of an over-long line; the adapter just notes the overflow.
        if (entry_.bytes.size() < kMaxCommandLength + 1)
            entry_.bytes += c;
        else
            overflow_ = true;

        dc2Run_ = c == kDc2 ? dc2Run_ + 1 : 0;
        if (dc2Run_ == kResetLength) {
            if (entry_.understood)
                reset();
            finishEntry("");
        } else if (c == kCr) {
            std::string reply;
            if (entry_.understood) {
                std::string_view line(entry_.bytes);
                line.remove_suffix(1);
                lastBusMicros_ = 0;
                reply = execute(line);
                if (!reply.empty())
                    say(reply, lastBusMicros_);
                // "/b" answers at the old rate and only then listens at the new one.
                if (switchRateTo_) {
                    rate_ = *switchRateTo_;
                    switchRateTo_.reset();
                }
            }
            finishEntry(reply);
        }
    }
}

std::vector<Transmission> Adapter::takeOutput() {
    std::vector<Transmission> out;
    out.swap(output_);
    return out;
}

void Adapter::failNext(Fault fault, int count) {
    for (int i = 0; i < count; ++i)
        faults_.push_back(fault);
}

void Adapter::clearFaults() {
    faults_.clear();
}

void Adapter::setSilent(bool silent) {
    silent_ = silent;
}

void Adapter::setInterrupt(bool asserted) {
    if (asserted == interrupt_)
        return; // the adapter reports changes of the line, not its level
    interrupt_ = asserted;
    if (monitor_)
        say(asserted ? "NSA" : "NSR");
}

void Adapter::requestSlaveTransmit() {
    slaveTransmitPending_ = true;
    say("STR");
}

void Adapter::deliverFromMaster(const std::vector<std::uint8_t> &data) {
    say("SRC" + hexGroups(data));
}

void Adapter::sendNoise(std::size_t count) {
    // Printable characters except '/', which would start a reply line, and the line
    // characters the adapter may send between replies anyway.
    static constexpr std::string_view alphabet =
        " !\"#$%&'()*+,-.0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
        "abcdefghijklmnopqrstuvwxyz{|}~***\r\n";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string noise;
    for (std::size_t i = 0; i < count; ++i)
        noise += alphabet[pick(random_)];
    output_.push_back({std::move(noise), rate_});
}

void Adapter::sendOverlongLine() {
    std::string line = "/XYZ";
    for (std::size_t i = 0; i < kOverlongFill; ++i)
        line += static_cast<char>('A' + i % 26);
    line += "\r\n";
    output_.push_back({std::move(line), rate_});
}

void Adapter::reset() {
    busOpen_ = false;
    monitor_ = false;
    slaveTransmitPending_ = false;
    slave_ = 0;
    clockKhz_ = kResetClockKhz;
    if (variant_ != Variant::Sol)
        rate_ = kResetRate;
    if (chatty_ && !silent_)
        output_.push_back({kResetAnswer, rate_});
}

void Adapter::finishEntry(std::string reply) {
    entry_.reply = std::move(reply);
    received_.push_back(std::move(entry_));
    ++receivedTotal_;
    if (received_.size() > kReceivedLogLimit)
        received_.pop_front();
    entry_ = Received{};
    dc2Run_ = 0;
}

std::string Adapter::execute(std::string_view line) {
    if (overflow_ || line.size() < 2 || line[0] != '/')
        return kInvalid;
    std::string_view command = line.substr(1);
    const bool withoutStop = command[0] == '*';
    if (withoutStop)
        command.remove_prefix(1);
    if (command.empty())
        return kInvalid;
    const char op = command[0];
    const std::string_view arg = command.substr(1);
    if (withoutStop && op != 't' && op != 'r')
        return kInvalid;
    const bool extended = variant_ != Variant::Sol;

    switch (op) {
    case 'K': {
        auto index = extended ? parseDigit(arg, static_cast<int>(kClocksKhz.size())) : std::nullopt;
        if (!index)
            return kInvalid;
        clockKhz_ = kClocksKhz[*index];
        return "";
    }
    case 'b': {
        auto index = extended ? parseDigit(arg, static_cast<int>(kBitRates.size())) : std::nullopt;
        if (!index)
            return kInvalid;
        switchRateTo_ = kBitRates[*index];
        return "BC" + std::string(arg);
    }
    case 'f':
    case 'h':
        return parseDigit(arg, 2) ? "" : kInvalid;
    case 'i':
        return parseHexByte(arg) ? "" : kInvalid;
    case 'n':
        if (!extended)
            return kInvalid;
        if (arg.empty())
            return interrupt_ ? "NSA" : "NSR";
        if (auto on = parseDigit(arg, 2)) {
            const bool switchedOn = *on == 1 && !monitor_;
            monitor_ = *on == 1;
            // The monitor reports changes only: tell the host at once what it missed.
            return switchedOn && interrupt_ ? "NSA" : "";
        }
        return kInvalid;
    case 'o':
        if (!arg.empty())
            return kInvalid;
        busOpen_ = true;
        return "OCC";
    case 'c':
        if (!arg.empty())
            return kInvalid;
        busOpen_ = false;
        return "CCC";
    case 'd': {
        auto address = parseHexByte(arg);
        if (!address || (*address & 1))
            return kInvalid;
        slave_ = *address;
        return "";
    }
    case 't':
        ++transfers_;
        return transmit(arg);
    case 'r':
        ++transfers_;
        return receiveFromSlave(arg);
    case 's':
        if (!slaveTransmitPending_)
            return "";
        slaveTransmitPending_ = false;
        return "STC";
    default:
        return kInvalid;
    }
}

std::string Adapter::transmit(std::string_view arg) {
    std::vector<std::uint8_t> data;
    for (; !arg.empty(); arg.remove_prefix(3)) {
        auto byte =
            arg.size() >= 3 && arg[0] == '~' ? parseHexByte(arg.substr(1, 2)) : std::nullopt;
        if (!byte)
            return kInvalid;
        data.push_back(*byte);
    }
    if (!busOpen_)
        return kInvalid;
    if (!faults_.empty())
        return takeFault();

    if (const auto chip = chips_.find(slave_); chip != chips_.end()) {
        chip->second.write(data);
    } else if (slave_ == kEepromAddress) {
        if (!data.empty()) {
            eepromPointer_ = data[0];
            for (std::size_t i = 1; i < data.size(); ++i)
                eeprom_[eepromPointer_++] = data[i];
        }
    } else if (slave_ == kPortAddress) {
        if (!data.empty())
            port_ = data.back();
    } else {
        lastBusMicros_ = busMicros(1); // the address byte, not acknowledged
        return "SNA";
    }
    lastBusMicros_ = busMicros(1 + data.size());
    return "MTC";
}

std::string Adapter::receiveFromSlave(std::string_view arg) {
    if (arg.empty() || arg.size() > 4)
        return kInvalid;
    int count = 0;
    for (char c : arg) {
        if (c < '0' || c > '9')
            return kInvalid;
        count = count * 10 + (c - '0');
    }
    if (count > kMaxReceiveCount || !busOpen_)
        return kInvalid;
    if (!faults_.empty())
        return takeFault();

    std::vector<std::uint8_t> data;
    if (const auto chip = chips_.find(slave_); chip != chips_.end()) {
        data = chip->second.read(count);
    } else if (slave_ == kEepromAddress) {
        for (int i = 0; i < count; ++i)
            data.push_back(eeprom_[eepromPointer_++]);
    } else if (slave_ == kPortAddress) {
        data.assign(static_cast<std::size_t>(count), port_);
    } else {
        lastBusMicros_ = busMicros(1);
        return "SNA";
    }
    lastBusMicros_ = busMicros(1 + data.size());
    return "MRC" + hexGroups(data);
}

std::string Adapter::takeFault() {
    Fault fault = faults_.front();
    faults_.pop_front();
    return faultCode(fault);
}

int Adapter::busMicros(std::size_t bytes) const {
    const auto clocks = static_cast<long>(kClocksPerByte * bytes + kStartStopClocks);
    return static_cast<int>(clocks * 1000 / clockKhz_);
}

std::string Adapter::chatter() {
    // About one reply in three is preceded by one to three of these characters.
    static constexpr std::string_view kBetweenReplies = "\r\n*";
    if (!chatty_ || random_() % 3 != 0)
        return "";
    std::string text(1 + random_() % 3, ' ');
    for (char &c : text)
        c = kBetweenReplies[random_() % kBetweenReplies.size()];
    return text;
}

void Adapter::say(const std::string &code, int busMicros) {
    if (!silent_)
        output_.push_back({chatter() + "/" + code + "\r\n", rate_, busMicros});
}

std::optional<Variant> parseVariant(std::string_view name) {
    if (name == "sol")
        return Variant::Sol;
    if (name == "solx")
        return Variant::Solx;
    if (name == "dyn")
        return Variant::Dyn;
    return std::nullopt;
}

const char *variantName(Variant variant) {
    switch (variant) {
    case Variant::Sol:
        return "sol";
    case Variant::Solx:
        return "solx";
    case Variant::Dyn:
        break;
    }
    return "dyn";
}

} // namespace tavrosim
