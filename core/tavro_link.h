// A link to a Tavro adapter driven synchronously: the same opening sequence as the program's
// Open Link, then one exchange at a time, each awaited reply with a deadline, and at the end
// the close command and the reset.
#ifndef TAVRO_I2C_LINK_H
#define TAVRO_I2C_LINK_H

#include "i2c_message.h"
#include "link_transport.h"
#include "reply_framer.h"
#include "tavro_commands.h"
#include "tavro_replies.h"

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class Variant { Sol, Solx, Dyn };

struct LinkSettings {
    Variant variant = Variant::Solx;
    int rate = 115200; // bit/s of the line once the link is open
    int khz = 100;     // the I2C clock
};

// The variant named "sol", "solx" or "dyn"; nullopt for any other name.
std::optional<Variant> variantNamed(const std::string &name);
extern const char *const VARIANT_CHOICES; // "sol, solx or dyn"
// The rate a variant's link runs at unless told otherwise.
int defaultRate(Variant variant);
// How long a close after a stop (Ctrl+C) waits for "CCC": the user is waiting, and the reset
// that follows puts the adapter in order whether or not it answered.
constexpr int STOP_CLOSE_WAIT_MS = 50;

// Which of the settings an adapter of their variant cannot take, and why in words: "the rate
// is 19200, 57600 or 115200". None when all are sound.
struct SettingsProblem {
    enum class Field { None, Rate, Clock } field = Field::None;
    std::string words;
};
SettingsProblem checkLinkSettings(const LinkSettings &settings);

// How a wait for a reply ended: with a reply line, or without one. BadCommand: a command
// could not be built from its argument, and nothing of it was sent.
enum class Outcome { Reply, TimedOut, Interrupted, HungUp, BadCommand };

struct Reply {
    Outcome outcome = Outcome::TimedOut;
    // The reply line from its "/", for Outcome::Reply; the command's error, for BadCommand.
    std::string line;
    // The line was longer than any reply and lost its end: it cannot be taken as sent.
    bool cut = false;

    bool is(ReplyKind kind) const {
        return outcome == Outcome::Reply && replyKind(replyCode(line)) == kind;
    }
};

// What a reply that is not the awaited one means, in the words of the adapter's reply: "the
// slave did not acknowledge (/SNA)", "no reply from the adapter within 1 s", ...
std::string replyProblem(const Reply &reply);

// From this call on, SIGINT, SIGTERM, SIGHUP and SIGPIPE (unless ignored) no longer end the
// process: they are held while commands go out and end the wait for a reply instead, so that
// the link can be closed (a reader of the output that went away must not leave the bus open).
// stopSignal() tells which came, 0 if none.
void holdStopSignals();
int stopSignal();
// A further source of stops, for a host whose own signal handling must stay in place (an
// interpreter): check is called whenever a wait wakes, and a non-zero result ends the wait
// as a stop signal does and is what stopSignal() returns. nullptr removes it.
void setStopCheck(int (*check)());

class TavroLink {
  public:
    TavroLink();
    // Gives the port back its line settings, if it is still open.
    ~TavroLink();
    TavroLink(const TavroLink &) = delete;
    TavroLink &operator=(const TavroLink &) = delete;

    // Opens the port: a serial device, or rfc2217://HOST:PORT. 0 when open; 1 when it cannot
    // be opened and 2 when it is no port (not a terminal, a malformed or raw TCP URL), with
    // error saying so. A serial device's line settings found are put back when it is closed,
    // so that a terminal named by mistake stays usable.
    int openPort(const std::string &path, std::string &error);
    // The system's errno of the last openPort that could not open its port; 0 otherwise.
    int portErrno() const { return port_errno_; }
    // The opening sequence: resets at 115200, 57600 and 19200 bit/s; for Solx and Dyn the
    // clock and bit-rate commands awaiting "BC0/1/2"; at the chosen rate the flow control,
    // data format, own address, for Solx and Dyn the /INT monitor off, and the bus open
    // awaiting "OCC". Returns the "OCC" reply, or what came instead.
    Reply open(const LinkSettings &settings);
    // Sends the commands, then awaits the reply of that kind, or a NAK, busy bus, lost
    // arbitration or refused command. Other lines (unasked events, late replies) are skipped.
    Reply exchange(const std::vector<TavroCommand> &commands, ReplyKind kind);
    // The close command awaiting "CCC" for at most wait_ms (a signal does not cut this wait
    // short), then the reset whatever came; the port is closed. Returns the "CCC" reply, or
    // what came instead.
    Reply close(int wait_ms = REPLY_DEADLINE_MS);
    // After an opening that failed: only the reset, and the port is closed.
    void abandon();

    // Sends a command that has no reply of its own (the /INT monitor mode). nullopt once
    // written; else the failed write's outcome (TimedOut, HungUp, BadCommand).
    std::optional<Reply> post(const TavroCommand &command);
    // Reads lines until one of the kinds, the deadline (TimedOut), a stop signal
    // (Interrupted) or a hang-up; other lines are skipped. With no kinds, an interruptible
    // wait that still reads what comes.
    Reply awaitLine(const std::vector<ReplyKind> &kinds,
                    std::chrono::steady_clock::time_point deadline);
    // The /INT assertions ("NSA") read since the last call, in any wait of this link;
    // the count restarts at 0.
    int takeAssertions();

  private:
    std::optional<Reply> send(const TavroCommand &command);
    std::optional<Reply> writeAll(const std::string &bytes);
    // OrFailure: a NAK, busy bus, lost arbitration or refused command ends the wait too, and
    // so does a stop signal. Only: just the codes end it, as when closing, where a late reply
    // to an interrupted transfer may still come. OrStop: the codes or a stop signal.
    enum class Awaiting { OrFailure, Only, OrStop };
    Reply await(const std::vector<ReplyKind> &kinds, Awaiting awaiting);
    Reply await(const std::vector<ReplyKind> &kinds, Awaiting awaiting,
                std::chrono::steady_clock::time_point deadline);
    void configure(int rate);
    // Puts back the line settings found at opening, and closes the port.
    void closePort();
    static void collectLine(void *link, const std::string &line, bool cut);

    std::unique_ptr<LinkTransport> port_;
    int port_errno_ = 0;
    // Room for the longest reply: "/MRC" and " HH" for each of the most bytes a read takes.
    std::array<char, 4 + 3 * TAVRO_MAX_MESSAGE_BYTES + 1> line_{};
    int line_count_ = 0;
    int between_replies_ = 1;
    int assertions_ = 0;
    ReplyFramer framer_;
    std::deque<Reply> lines_; // framed, not yet taken: this link's own
};

#endif
