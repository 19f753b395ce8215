// Fuzz target: whatever the adapter sends, in reads of any size, through the program's own
// reply framing (the input watch's serial_callback, handleSerialData over SERIAL_BUFFER_IN
// and SERIAL_BUFFER_IN_PTR) and dispatch, with the main window built and a list loaded. The
// port is one end of a socket pair; the harness plays the adapter at the other end, and
// stands in for time with the pacing tick and the watchdog's time-out.
//
// Input layout:
//   byte 0    options 0-7: AutoRepeat, beep on busy / arb. loss / NAK / /INT, stop on busy /
//             arb. loss / NAK
//   byte 1    bit 0 /INT monitor, bit 1 send on /INT, bits 2-3 messages in the list (0, 1, 7
//             or 50), bit 4 link open, bit 5 a run in progress awaiting its reply, bits 6-7
//             the variant
//   byte 2    bits 0-5 the row the cursor starts on, bit 6 the line hangs up after the last
//             read
//   byte 3    n, the number of split bytes (0-31)
//   n bytes   one per read: bits 0-4 its length, bit 5 pacing ticks run before it, bit 6 an
//             awaited reply times out before it, bit 7 it arrives while an error box is
//             open, if one opens before it is due
//   the rest  the adapter's bytes; past the last split byte they come in reads of 255
#include "fuzz_support.h"

#include "gui_callbacks.h"
#include "gui_manipulate.h"
#include "main.h"
#include "serial.h"
#include "watchdog.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

int program_end = -1; // PORT_DESCRIPTOR while the link is open
int adapter_end = -1;

std::string repeated(const std::string &text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

// The list's messages, repeated over its rows: writes and reads, with and without Stop, a
// read of the most bytes a row holds, a one-digit address and one the sender refuses.
const RowText MESSAGES[] = {{"A0", "W", "00,10,", true, 100},
                            {"A0", "R", "12,34,56,78,", true, 0},
                            {"4E", "W", "01,", false, 30},
                            {"4E", "R", "FF,FF,", true, 0},
                            {"4E", "R", repeated("FF,", 32), true, 0},
                            {"E", "W", "", true, 0},
                            {"A1", "R", "FF,", true, 0}};
constexpr int MESSAGE_COUNT = sizeof MESSAGES / sizeof MESSAGES[0];

struct Read {
    std::size_t at;
    std::size_t size;
    bool ticks;
    bool time_out;
    bool nested;
};

const std::uint8_t *payload = nullptr;
std::vector<Read> reads;
std::size_t next_read = 0;
int nesting = 0;

// 1 to 24 bytes one by one, then coarser up to a whole read.
std::size_t readLength(std::uint8_t split) {
    static const std::size_t LONG[] = {32, 48, 64, 96, 128, 192, 254, SERIAL_BUFFER_SIZE};
    const std::size_t v = split & 0x1f;
    return v < 24 ? v + 1 : LONG[v - 24];
}

void drainAdapterSide() {
    char sink[4096];
    while (recv(adapter_end, sink, sizeof sink, 0) > 0) {
    }
}

// The pacing ticks that would pass before the next read: until a message goes out or the
// tick has nothing more to do.
void runTicks() {
    for (int i = 0; i < 500 && SEND_DATA && (ALLOW_SEND || DO_ROW_RESET); ++i)
        gui_send_message(nullptr);
}

// The awaited reply does not come: the watchdog's last tick hands over to its time-out.
void timeOut() {
    if (!WATCHDOG)
        return;
    stopWatchdog();
    watchdogTimeout();
}

void deliver(const Read &read) {
    if (read.time_out)
        timeOut();
    if (read.ticks)
        runTicks();
    if (PORT_DESCRIPTOR < 0) {
        // A reply or a time-out closed the link; what follows comes after the user opened
        // it again.
        PORT_DESCRIPTOR = program_end;
        gui_open_success();
    }
    drainAdapterSide();
    if (read.size == 0)
        return;
    const ssize_t sent = send(adapter_end, payload + read.at, read.size, MSG_NOSIGNAL);
    FUZZ_CHECK(sent == static_cast<ssize_t>(read.size), "socket pair refused the bytes");
    FUZZ_CHECK(serial_callback(nullptr, G_IO_IN, nullptr), "the read failed");
}

// An error box is open: the real program would frame the next read in its nested loop.
void onDialog(GtkWidget *) {
    if (nesting >= 4 || next_read >= reads.size() || !reads[next_read].nested)
        return;
    ++nesting;
    deliver(reads[next_read++]);
    --nesting;
}

// Brings the framing back to "between replies" through its own rules (the flag is private
// to it): a pending "/STC" line ended by a line feed, which only sets the status text.
void resetFraming() {
    PORT_DESCRIPTOR = program_end;
    std::strcpy(SERIAL_BUFFER_IN.data(), "/STC");
    SERIAL_BUFFER_IN_PTR = 4;
    FUZZ_CHECK(send(adapter_end, "\n", 1, MSG_NOSIGNAL) == 1, "socket pair");
    handleSerialData();
    SERIAL_BUFFER_IN.fill('\0');
    SERIAL_BUFFER_IN_PTR = 0;
}

void resetProgram(std::uint8_t options, std::uint8_t state, std::uint8_t start_row) {
    resetFraming();
    stopWatchdog();
    for (std::size_t i = 0; i < 8; ++i)
        selectedOptions[i] = (options >> i) & 1;
    selectedOptions[8] = state & 1;
    selectedOptions[9] = (state >> 1) & 1;
    selectDevice(std::min(state >> 6, 2));

    static const int FILLED[] = {0, 1, MESSAGE_COUNT, LIST_ROWS};
    const int filled = FILLED[(state >> 2) & 3];
    for (int n = 1; n <= LIST_ROWS; ++n)
        putRow(n, n <= filled ? MESSAGES[(n - 1) % MESSAGE_COUNT] : RowText{});
    setFilledCount(filled);

    ALLOW_SEND = 0;
    SEND_DATA = 0;
    SEND_DELAY = 0;
    DO_ROW_RESET = 0;
    INT_NEEDS_HANDLING = 0;
    selectRowNumber(filled > 0 ? 1 + (start_row & 0x3f) % filled : 1);
    NO_MORE_ROWS = 0;
    setButtonMode((state >> 4) & 1);
    setIntMode(0);
    if (((state >> 5) & 1) && filled > 0) {
        gui_send_start();
        setSendMode(1);
        startWatchdog();
    } else {
        gui_send_stop();
        setSendMode(0);
    }
    setStatus("");
}

bool validUtf8(const std::string &text) {
    return g_utf8_validate(text.c_str(), -1, nullptr);
}

void checkInvariants() {
    const char *buffer = SERIAL_BUFFER_IN.data();
    FUZZ_CHECK(std::memchr(buffer, '\0', SERIAL_BUFFER_IN.size()) != nullptr, "");
    FUZZ_CHECK(SERIAL_BUFFER_IN_PTR >= 0 && SERIAL_BUFFER_IN_PTR <= 254,
               std::to_string(SERIAL_BUFFER_IN_PTR));
    FUZZ_CHECK(SERIAL_BUFFER_IN_PTR == 0 ||
                   std::strlen(buffer) == static_cast<std::size_t>(SERIAL_BUFFER_IN_PTR),
               "the count does not match the text collected");

    FUZZ_CHECK(filled_rows >= 0 && filled_rows <= LIST_ROWS, std::to_string(filled_rows));
    FUZZ_CHECK(current_row >= 1 && current_row <= LIST_ROWS, std::to_string(current_row));
    GtkTreePath *path = gtk_tree_model_get_path(MODEL, &current_iter);
    const int cursor = gtk_tree_path_get_indices(path)[0] + 1;
    gtk_tree_path_free(path);
    FUZZ_CHECK(cursor == current_row, std::to_string(cursor) + " " + std::to_string(current_row));

    for (int n = 1; n <= LIST_ROWS; ++n) {
        const RowText row = readRow(n);
        const std::string where = "row " + std::to_string(n) + ": " + row.data;
        FUZZ_CHECK(row.address.size() <= 2 && row.rw.size() <= 1 && row.data.size() <= 96, where);
        FUZZ_CHECK(row.data.size() % 3 == 0, where);
        for (std::size_t g = 2; g < row.data.size(); g += 3)
            FUZZ_CHECK(row.data[g] == ',', where);
        FUZZ_CHECK(validUtf8(row.data), where);
        if (n > filled_rows)
            FUZZ_CHECK(row.address.empty() && row.rw.empty() && row.data.empty(), where);
    }
    FUZZ_CHECK(validUtf8(gtk_entry_get_text(GTK_ENTRY(status))), "status text");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzBuildWindow();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        fuzzFail("socketpair", __FILE__, __LINE__, "");
    // Neither side may block: the harness reads back everything the program writes.
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    program_end = pair[0];
    adapter_end = pair[1];
    setDialogHook(onDialog);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 4)
        return 0;
    resetProgram(data[0], data[1], data[2]);
    const std::size_t splits = std::min<std::size_t>(data[3] % 32, size - 4);
    const std::uint8_t *split = data + 4;
    payload = data + 4 + splits;
    const std::size_t length = size - 4 - splits;

    reads.clear();
    next_read = 0;
    std::size_t at = 0;
    for (std::size_t i = 0; at < length || i < splits; ++i) {
        const std::uint8_t s = i < splits ? split[i] : 0;
        const std::size_t n =
            std::min(i < splits ? readLength(s) : SERIAL_BUFFER_SIZE, length - at);
        reads.push_back({at, n, (s & 0x20) != 0, (s & 0x40) != 0, (s & 0x80) != 0});
        at += n;
    }
    while (next_read < reads.size())
        deliver(reads[next_read++]);
    if (data[2] & 0x40) {
        // The adapter is unplugged: the watch reports the hang-up and removes itself.
        FUZZ_CHECK(!serial_callback(nullptr, G_IO_HUP, nullptr), "the hang-up went unnoticed");
        FUZZ_CHECK(PORT_DESCRIPTOR == -1, "the port stays open after a hang-up");
    }

    checkInvariants();
    settleMainLoop();
    drainAdapterSide();
    return 0;
}
