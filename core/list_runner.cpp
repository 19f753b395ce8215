#include "list_runner.h"

#include "data_text.h"
#include "tavro_commands.h"

#include <cstdio>
#include <ctime>

namespace {

using Clock = std::chrono::steady_clock;

// How long a wait for an /INT assertion sleeps before it looks at the stop check again.
constexpr std::chrono::milliseconds INT_WAIT_SLICE(1000);

std::string readRowText(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    char group[8];
    for (std::uint8_t byte : bytes) {
        std::snprintf(group, sizeof group, "%02X,", byte);
        text += group;
    }
    return text;
}

std::string byteWords(const std::vector<std::uint8_t> &bytes, const char *separator) {
    std::string text;
    char word[8];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(word, sizeof word, "%s0x%02x", i ? separator : "", bytes[i]);
        text += word;
    }
    return text;
}

// Waits until due, reading what comes (an /INT is counted). Ok, Interrupted or HungUp.
BusStatus waitUntil(TavroLink &link, Clock::time_point due) {
    if (stopSignal() != 0)
        return BusStatus::Interrupted;
    while (Clock::now() < due) {
        const Reply waited = link.awaitLine({}, due);
        if (waited.outcome == Outcome::Interrupted || waited.outcome == Outcome::HungUp)
            return replyStatus(waited);
    }
    return BusStatus::Ok;
}

// Waits for an /INT assertion read in any wait since the last one was taken.
BusStatus waitForAssertion(TavroLink &link) {
    while (link.takeAssertions() == 0) {
        const Reply waited =
            link.awaitLine({ReplyKind::IntAsserted}, Clock::now() + INT_WAIT_SLICE);
        if (waited.outcome == Outcome::Interrupted || waited.outcome == Outcome::HungUp)
            return replyStatus(waited);
    }
    return BusStatus::Ok;
}

bool stopsOn(const RunPlan &plan, BusStatus status) {
    return (status == BusStatus::Nak && plan.stop_on_nak) ||
           (status == BusStatus::Busy && plan.stop_on_busy) ||
           (status == BusStatus::ArbitrationLost && plan.stop_on_arb);
}

RunResult ended(RunResult result, RunEnd end, int row, std::string detail) {
    result.end = end;
    result.row = row;
    result.detail = std::move(detail);
    return result;
}

} // namespace

const char *const TRANSFER_CSV_HEADER =
    "time,elapsed_s,pass,row,address,direction,bytes,outcome,round_trip_ms\r\n";

std::chrono::microseconds delayWait(unsigned delay) {
    constexpr unsigned per_tick = DELAY_PER_TICK;
    if (delay <= per_tick)
        return std::chrono::microseconds(0);
    const unsigned ticks = (delay + per_tick - 1) / per_tick;
    return std::chrono::microseconds(static_cast<long long>(ticks) * PACING_TICK_US);
}

std::optional<I2cMessage> rowMessage(const ListMessage &row, std::string &error) {
    const std::string address = row.address.size() == 1 ? "0" + row.address : row.address;
    if (!validateAddress(address.c_str())) {
        error = BAD_ADDRESS_TEXT;
        return std::nullopt;
    }
    I2cMessage message;
    message.address = (hexDigitValue(address[0]) * 16 + hexDigitValue(address[1])) / 2;
    message.read = row.rw != "W";
    if (message.read) {
        message.length = readCount(row.data);
        return message;
    }
    // The window would send a broken group as it stands and have it refused: nothing of such
    // a row may reach the bus.
    if (!dataTextValid(row.data)) {
        error = "Badly formed data \"" + row.data + "\": each byte is two hex digits and a comma.";
        return std::nullopt;
    }
    for (std::size_t g = 0; g < row.data.size(); g += GROUP_CHARS)
        message.data.push_back(static_cast<std::uint8_t>(hexDigitValue(row.data[g]) * 16 +
                                                         hexDigitValue(row.data[g + 1])));
    return message;
}

RunPlan planFromFlags(const ListFile &list) {
    RunPlan plan;
    plan.on_int = list.sendonint == 1;
    plan.first_int_only = plan.on_int && list.autorepeat == 1;
    plan.passes = list.autorepeat == 1 || plan.on_int ? 0 : 1;
    return plan;
}

RunResult runList(TavroBus &bus, std::vector<ListMessage> &rows, const RunPlan &plan,
                  const TransferReport &report) {
    TavroLink &link = bus.link();
    RunResult result;
    const Clock::time_point start = Clock::now();
    // When the next message may go out: a reply and its row's delay set it.
    Clock::time_point due = start;
    if (plan.on_int) {
        if (std::optional<Reply> failed = link.post(buildIntMonitor(1)))
            return ended(result, RunEnd::AdapterFailed, 0, replyProblem(*failed));
    }
    for (int pass = 1; plan.passes == 0 || pass <= plan.passes; ++pass) {
        if (plan.on_int && (pass == 1 || !plan.first_int_only)) {
            const BusStatus waited = waitForAssertion(link);
            if (waited != BusStatus::Ok)
                return ended(result,
                             waited == BusStatus::Interrupted ? RunEnd::Stopped
                                                              : RunEnd::AdapterFailed,
                             0, replyProblem(Reply{Outcome::HungUp, {}, false}));
        }
        result.passes = pass;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            ListMessage &row = rows[i];
            const int number = static_cast<int>(i) + 1;
            std::string error;
            const std::optional<I2cMessage> message = rowMessage(row, error);
            if (!message)
                return ended(result, RunEnd::BadRow, number, error);
            for (;;) {
                const BusStatus waited = waitUntil(link, due);
                if (waited == BusStatus::Interrupted)
                    return ended(result, RunEnd::Stopped, number, "interrupted");
                if (waited != BusStatus::Ok)
                    return ended(result, RunEnd::AdapterFailed, number,
                                 replyProblem(Reply{Outcome::HungUp, {}, false}));
                Transfer transfer;
                transfer.pass = pass;
                transfer.row = number;
                transfer.address = message->address;
                transfer.read = message->read;
                transfer.sent = std::chrono::system_clock::now();
                const Clock::time_point sent = Clock::now();
                I2cMessage done = *message;
                const BusResult outcome = bus.transfer(done, row.stop);
                const Clock::time_point replied = Clock::now();
                transfer.status = outcome.status;
                transfer.detail = outcome.detail;
                transfer.elapsed_s = std::chrono::duration<double>(sent - start).count();
                transfer.round_trip_ms =
                    std::chrono::duration<double, std::milli>(replied - sent).count();
                if (!done.read || outcome.ok())
                    transfer.bytes = done.data;
                if (done.read && outcome.ok())
                    row.data = readRowText(done.data);
                ++result.transfers;
                result.failed += outcome.ok() ? 0 : 1;
                if (!report(transfer))
                    return ended(result, RunEnd::ReportRefused, number, "the report stopped");
                const BusStatus status = outcome.status;
                if (stopsOn(plan, status))
                    return ended(result, RunEnd::StoppedOnEvent, number, outcome.detail);
                if (status == BusStatus::Busy) {
                    due = replied + delayWait(BUSY_RETRY_DELAY);
                    continue;
                }
                if (status == BusStatus::Interrupted)
                    return ended(result, RunEnd::Stopped, number, outcome.detail);
                if (status != BusStatus::Ok && status != BusStatus::Nak &&
                    status != BusStatus::ArbitrationLost)
                    return ended(result, RunEnd::AdapterFailed, number, outcome.detail);
                due = replied + delayWait(row.delay);
                break;
            }
        }
    }
    return result;
}

const char *outcomeWord(BusStatus status) {
    switch (status) {
    case BusStatus::Ok:
        return "ok";
    case BusStatus::Nak:
        return "nak";
    case BusStatus::Busy:
        return "busy";
    case BusStatus::ArbitrationLost:
        return "arb-lost";
    case BusStatus::TimedOut:
        return "timeout";
    case BusStatus::Refused:
        return "refused";
    case BusStatus::BadReply:
        return "bad-reply";
    case BusStatus::HungUp:
        return "hangup";
    case BusStatus::Interrupted:
        return "interrupted";
    default:
        break;
    }
    return "failed";
}

std::string transferLine(const Transfer &transfer) {
    char head[96];
    std::snprintf(head, sizeof head, "%.6f %d %d 0x%02x %c", transfer.elapsed_s, transfer.pass,
                  transfer.row, transfer.address, transfer.read ? 'r' : 'w');
    std::string line = head;
    if (!transfer.bytes.empty())
        line += " " + byteWords(transfer.bytes, " ");
    return line + " " + outcomeWord(transfer.status) + "\n";
}

std::string transferCsv(const Transfer &transfer) {
    const auto since_epoch = transfer.sent.time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
    const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char when[40];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &utc);
    char record[160];
    // Every field is digits, a word or "0x.." words with spaces: none needs quoting.
    std::snprintf(record, sizeof record, "%s.%06lldZ,%.6f,%d,%d,0x%02x,%c,", when,
                  static_cast<long long>(micros % 1000000), transfer.elapsed_s, transfer.pass,
                  transfer.row, transfer.address, transfer.read ? 'r' : 'w');
    char tail[48];
    std::snprintf(tail, sizeof tail, ",%s,%.3f\r\n", outcomeWord(transfer.status),
                  transfer.round_trip_ms);
    return record + byteWords(transfer.bytes, " ") + tail;
}
