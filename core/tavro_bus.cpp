#include "tavro_bus.h"

#include "data_text.h"
#include "reply_framer.h"

#include <cstdio>

namespace {

std::string hexByte(const char *format, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

BusResult failure(BusStatus status, std::string detail) {
    return BusResult{status, std::move(detail), 0};
}

} // namespace

std::string adapterAddress(int address) {
    return hexByte("%02X", static_cast<unsigned>(address) << 1);
}

std::string transmitArgument(const std::vector<std::uint8_t> &bytes) {
    std::string argument;
    for (std::uint8_t byte : bytes)
        argument += hexByte("~%02X", byte);
    return argument;
}

std::optional<std::vector<std::uint8_t>> readReplyBytes(const std::string &text, int count) {
    if (text.size() != GROUP_CHARS * static_cast<std::size_t>(count) || !readBytesWellFormed(text))
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t g = 0; g < text.size(); g += GROUP_CHARS)
        bytes.push_back(static_cast<std::uint8_t>(hexDigitValue(text[g + 1]) * 16 +
                                                  hexDigitValue(text[g + 2])));
    return bytes;
}

BusStatus replyStatus(const Reply &reply) {
    switch (reply.outcome) {
    case Outcome::TimedOut:
        return BusStatus::TimedOut;
    case Outcome::Interrupted:
        return BusStatus::Interrupted;
    case Outcome::HungUp:
        return BusStatus::HungUp;
    case Outcome::BadCommand:
        return BusStatus::Invalid;
    case Outcome::Reply:
        break;
    }
    // An awaited reply that stands here all the same (a completion of the wrong kind) is no
    // answer the call can take.
    const BusStatus status = replyMeaning(replyCode(reply.line)).status;
    return status == BusStatus::Ok ? BusStatus::Refused : status;
}

TavroBus::~TavroBus() {
    if (open_)
        close();
}

BusResult TavroBus::open(const std::string &port, const LinkSettings &settings) {
    if (open_)
        close();
    const SettingsProblem problem = checkLinkSettings(settings);
    if (problem.field != SettingsProblem::Field::None)
        return failure(BusStatus::Invalid, problem.words);
    std::string error;
    if (const int failed = link_.openPort(port, error)) {
        BusResult result = failure(failed == 2 ? BusStatus::NotTerminal : BusStatus::NoPort, error);
        result.system_errno = link_.portErrno();
        return result;
    }
    const Reply opened = link_.open(settings);
    if (opened.is(ReplyKind::Opened)) {
        open_ = true;
        return {};
    }
    link_.abandon();
    return failure(replyStatus(opened), replyProblem(opened));
}

BusResult TavroBus::transfer(I2cMessage &message, bool stop) {
    if (!open_)
        return failure(BusStatus::Closed, "the link is not open");
    const int size = message.read ? message.length : static_cast<int>(message.data.size());
    if (size < 0 || size > TAVRO_MAX_MESSAGE_BYTES || message.address < 0 || message.address > 0x7f)
        return failure(BusStatus::Invalid, "a message moves 0 to 251 bytes, to a 7-bit address");
    const ReplyKind done = message.read ? ReplyKind::ReadDone : ReplyKind::WriteDone;
    const Reply reply =
        link_.exchange({buildSelectSlave(adapterAddress(message.address)),
                        message.read ? buildMRx(message.length, stop)
                                     : buildMTx(transmitArgument(message.data), stop)},
                       done);
    // A line the framer had to cut may have lost anything: the bytes, or a tail of garbage.
    if (reply.outcome == Outcome::Reply && reply.cut)
        return failure(BusStatus::BadReply, "the reply is longer than any the adapter sends (" +
                                                reply.line.substr(0, 40) + "...)");
    if (!reply.is(done))
        return failure(replyStatus(reply), replyProblem(reply));
    if (!message.read)
        return {};
    auto bytes = readReplyBytes(replyText(reply.line), message.length);
    if (!bytes)
        return failure(BusStatus::BadReply, "the reply does not hold the " +
                                                std::to_string(message.length) +
                                                " bytes asked for (" + reply.line + ")");
    message.data = std::move(*bytes);
    return {};
}

BusResult TavroBus::transfer(std::vector<I2cMessage> &messages) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        BusResult result = transfer(messages[i], i + 1 == messages.size());
        if (!result.ok()) {
            result.message = i;
            return result;
        }
    }
    return {};
}

BusResult TavroBus::smbus(const SmbusTransaction &transaction, std::vector<std::uint8_t> &data) {
    data.clear();
    std::string error;
    std::vector<I2cMessage> messages = smbusMessages(transaction, error);
    if (messages.empty())
        return failure(smbusSupported(transaction.kind, transaction.read) ? BusStatus::Invalid
                                                                          : BusStatus::Unsupported,
                       error);
    BusResult result = transfer(messages);
    if (!result.ok())
        return result;
    if (!smbusResult(transaction, messages, data)) {
        data.clear(); // bytes that fail their check are no result
        return failure(BusStatus::PecMismatch, "the PEC byte read does not match the data");
    }
    return {};
}

BusResult TavroBus::close(int wait_ms) {
    if (!open_)
        return failure(BusStatus::Closed, "the link is not open");
    open_ = false;
    const Reply closed = link_.close(wait_ms);
    if (closed.is(ReplyKind::Closed))
        return {};
    return failure(replyStatus(closed), replyProblem(closed));
}

void TavroBus::abandon() {
    if (!open_)
        return;
    open_ = false;
    link_.abandon();
}
