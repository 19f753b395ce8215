// Runs a message list over a TavroBus as the program's Send does, without a window: each row
// selects its slave and writes its bytes or reads its count with its own Stop flag; read
// bytes replace the row's data; a row's delay is waited after its reply; a NAK or a lost
// arbitration skips the row and a busy bus retries it, unless the plan stops there. It
// prints nothing: each transfer is handed to a report callback as it completes.
#ifndef SENDRAL_LIST_RUNNER_H
#define SENDRAL_LIST_RUNNER_H

#include "list_file.h"
#include "pacing.h"
#include "tavro_bus.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The wait after a reply before the next message, for a row's delay D: none for 0 to 10 (the
// window's next tick, once the line sets the pace), else ceil(D/10) ticks of 2 ms.
std::chrono::microseconds delayWait(unsigned delay);

// The message a row stands for: its address made two digits ("A" is "0A") and checked, its
// data text as bytes to write or as the count to read. nullopt with error in words when the
// address or the data text is not well formed.
std::optional<I2cMessage> rowMessage(const ListMessage &row, std::string &error);

// How often and on what a list runs.
struct RunPlan {
    int passes = 1;      // 0: until a stop signal (or the stop check)
    bool on_int = false; // each pass waits for an /INT assertion; the monitor is switched on
    bool first_int_only = false; // only the first pass waits (AutoRepeat with Send On /INT)
    bool stop_on_nak = false;
    bool stop_on_busy = false;
    bool stop_on_arb = false;
};

// The plan a list's own flags give, as in the window: AutoRepeat runs until stopped, Send On
// /INT runs on each assertion (both: the first assertion starts an endless run), neither once.
RunPlan planFromFlags(const ListFile &list);

// One message that went out, or that a stop cut short.
struct Transfer {
    int pass = 0; // from 1
    int row = 0;  // from 1
    int address = 0;
    bool read = false;
    std::vector<std::uint8_t> bytes; // written; for a read, those that came (none on failure)
    BusStatus status = BusStatus::Ok;
    std::string detail;                         // what went wrong, in words
    std::chrono::system_clock::time_point sent; // when its commands went out
    double elapsed_s = 0;                       // from the start of the run to then
    double round_trip_ms = 0;                   // to its reply
};

enum class RunEnd {
    Finished,       // every planned pass ran
    StoppedOnEvent, // a NAK, busy bus or lost arbitration the plan stops on
    BadRow,         // a row's address or data is not well formed; nothing of it was sent
    AdapterFailed,  // a refused command, a time-out, a bad reply or a hang-up
    Stopped,        // a stop signal or the stop check
    ReportRefused,  // the report callback returned false
};

struct RunResult {
    RunEnd end = RunEnd::Finished;
    int passes = 0;    // passes begun
    int transfers = 0; // transfers reported
    int failed = 0;    // of those, the ones not Ok
    int row = 0;       // where the run ended, for every end but Finished and Stopped
    std::string detail;
};

// Called for each transfer as it completes; false stops the run (its output went away).
using TransferReport = std::function<bool(const Transfer &)>;

// Runs rows over an open bus as the plan says. Read rows get the bytes read as their data
// text. Leaves the bus open, whatever the end: closing is the caller's (after Stopped or
// AdapterFailed the link's state is in doubt and close() is the one sound next call).
RunResult runList(TavroBus &bus, std::vector<ListMessage> &rows, const RunPlan &plan,
                  const TransferReport &report);

// Reporting: the outcome's word ("ok", "nak", "busy", "arb-lost", "timeout", "refused",
// "bad-reply", "hangup", "interrupted"); the awk-friendly line (seconds since the start,
// pass, row, 7-bit address, w or r, the bytes, the outcome, separated by one space); the
// CSV header and record (RFC 4180: CRLF ends each, ISO 8601 UTC time with microseconds).
const char *outcomeWord(BusStatus status);
std::string transferLine(const Transfer &transfer);
extern const char *const TRANSFER_CSV_HEADER;
std::string transferCsv(const Transfer &transfer);

#endif
