// What the adapter's replies mean, once for every door: each reply code with what it reports,
// the status a bus call ends with when it comes instead of the awaited reply, and the words
// that say so. Also the reply deadline and the statuses of a bus call. Pure.
#ifndef SENDRAL_TAVRO_REPLIES_H
#define SENDRAL_TAVRO_REPLIES_H

#include <string>

// How a bus call ended; tavro_bus.h says what each means for the link.
enum class BusStatus {
    Ok,
    NoPort,
    NotTerminal,
    Nak,
    Busy,
    ArbitrationLost,
    Refused,
    TimedOut,
    HungUp,
    Interrupted,
    BadReply,
    PecMismatch,
    Unsupported,
    Invalid,
    Closed,
};

// What a reply line reports, by its code.
enum class ReplyKind {
    Closed,               // "CCC": the bus was closed
    Opened,               // "OCC": the bus was opened
    RateSet,              // "BC0", "BC1", "BC2": the bit-rate command was taken
    WriteDone,            // "MTC": a master transmit completed
    ReadDone,             // "MRC": a master receive completed, its bytes follow
    Nak,                  // "SNA"
    Busy,                 // "I81"
    ArbitrationLost,      // "I83"
    Refused,              // "I8F": the adapter refused a command
    IntAsserted,          // "NSA"
    IntReleased,          // "NSR"
    SlaveTransmitRequest, // "STR": a master wants bytes from the adapter
    SlaveTransmitDone,    // "STC"
    FromMaster,           // "SRC": a master wrote to the adapter
    Unknown,              // any other code
};

struct ReplyMeaning {
    const char *code;
    ReplyKind kind;
    // The status of a transfer that this reply ends in failure; Ok for a reply that ends none.
    BusStatus status;
    const char *words;
};

// The row of a reply code (three characters, as replyCode gives them); the Unknown row, with
// code "", for any code not in the table.
const ReplyMeaning &replyMeaning(const std::string &code);
inline ReplyKind replyKind(const std::string &code) {
    return replyMeaning(code).kind;
}
// A NAK, busy bus, lost arbitration or refused command: the adapter ended the transfer.
bool failsTransfer(ReplyKind kind);

// How long an awaited reply may take, and the same in words for messages.
constexpr int REPLY_DEADLINE_MS = 1000;
extern const char *const REPLY_DEADLINE_TEXT;

#endif
