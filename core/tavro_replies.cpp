#include "tavro_replies.h"

namespace {

const ReplyMeaning REPLIES[] = {
    {"CCC", ReplyKind::Closed, BusStatus::Ok, "the bus was closed"},
    {"OCC", ReplyKind::Opened, BusStatus::Ok, "the bus was opened"},
    {"BC0", ReplyKind::RateSet, BusStatus::Ok, "the rate was set"},
    {"BC1", ReplyKind::RateSet, BusStatus::Ok, "the rate was set"},
    {"BC2", ReplyKind::RateSet, BusStatus::Ok, "the rate was set"},
    {"MTC", ReplyKind::WriteDone, BusStatus::Ok, "the write completed"},
    {"MRC", ReplyKind::ReadDone, BusStatus::Ok, "the read completed"},
    {"SNA", ReplyKind::Nak, BusStatus::Nak, "the slave did not acknowledge"},
    {"I81", ReplyKind::Busy, BusStatus::Busy, "the bus is busy"},
    {"I83", ReplyKind::ArbitrationLost, BusStatus::ArbitrationLost, "arbitration was lost"},
    {"I8F", ReplyKind::Refused, BusStatus::Refused, "the adapter refused a command as invalid"},
    {"NSA", ReplyKind::IntAsserted, BusStatus::Ok, "/INT was asserted"},
    {"NSR", ReplyKind::IntReleased, BusStatus::Ok, "/INT was released"},
    {"STR", ReplyKind::SlaveTransmitRequest, BusStatus::Ok, "a master asked for bytes"},
    {"STC", ReplyKind::SlaveTransmitDone, BusStatus::Ok, "the bytes went to the master"},
    {"SRC", ReplyKind::FromMaster, BusStatus::Ok, "a master wrote to the adapter"},
};

// Any code not in the table is no awaited reply: it fails a transfer only by not being one.
const ReplyMeaning UNKNOWN = {"", ReplyKind::Unknown, BusStatus::Refused, "unexpected reply"};

} // namespace

const char *const REPLY_DEADLINE_TEXT = "1 s";
static_assert(REPLY_DEADLINE_MS == 1000, "REPLY_DEADLINE_TEXT must say the deadline");

const ReplyMeaning &replyMeaning(const std::string &code) {
    for (const ReplyMeaning &meaning : REPLIES)
        if (code == meaning.code)
            return meaning;
    return UNKNOWN;
}

bool failsTransfer(ReplyKind kind) {
    for (const ReplyMeaning &meaning : REPLIES)
        if (meaning.kind == kind)
            return meaning.status != BusStatus::Ok;
    return false;
}
