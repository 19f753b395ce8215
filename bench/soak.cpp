// A long run of the program against the simulated adapter: AutoRepeat for a while with busy,
// NAK and arbitration loss injected now and then and /INT toggling, then many link openings
// and closings. Reports messages sent, resident memory and open descriptors at the start and
// end, and every message the adapter saw out of turn (lost, or sent twice). Needs a display
// (run under xvfb-run). Usage: soak [minutes] [link cycles]
#include "gui_callbacks.h"
#include "gui_create.h"
#include "gui_manipulate.h"
#include "main.h"
#include "watchdog.h"

#include "tavrosim/pty_simulator.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace {

constexpr int ROWS = 20;

long residentKb() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            in >> kb;
            return kb;
        }
        in.ignore(1 << 12, '\n');
    }
    return -1;
}

int openDescriptors() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count - 3; // ".", ".." and the directory's own descriptor
}

void pumpFor(gint64 us) {
    const gint64 end = g_get_monotonic_time() + us;
    while (g_get_monotonic_time() < end)
        g_main_context_iteration(nullptr, TRUE);
}

bool pumpUntil(bool (*done)(), gint64 us) {
    const gint64 end = g_get_monotonic_time() + us;
    while (!done() && g_get_monotonic_time() < end)
        g_main_context_iteration(nullptr, TRUE);
    return done();
}

bool linkOpen() {
    return getButtonMode() == 1;
}
bool linkClosed() {
    return getButtonMode() == 0 && PORT_DESCRIPTOR == -1;
}

// The transfer command each row sends; every row's is different, so the adapter's log
// tells which row went out.
std::string rowCommand(int row) {
    char text[16];
    if (row % 5 == 0)
        std::snprintf(text, sizeof text, "/r%d\r", row / 5);
    else
        std::snprintf(text, sizeof text, "/t~%02X\r", row);
    return text;
}

// Follows the adapter's log: the row after each completion, NAK or arbitration loss, the
// same row after a busy reply.
struct SequenceCheck {
    std::map<std::string, int> rows;
    int expected = 1;
    long transfers = 0;
    long out_of_turn = 0;

    SequenceCheck() {
        for (int row = 1; row <= ROWS; ++row)
            rows[rowCommand(row)] = row;
    }
    void take(const std::vector<tavrosim::Received> &log) {
        for (const auto &entry : log) {
            const auto found = rows.find(entry.bytes);
            if (found == rows.end())
                continue;
            ++transfers;
            if (found->second != expected) {
                ++out_of_turn;
                std::fprintf(stderr, "out of turn: row %d sent, row %d expected\n", found->second,
                             expected);
            }
            expected = found->second;
            if (entry.reply.rfind("I81", 0) != 0)
                expected = expected % ROWS + 1;
        }
    }
};

} // namespace

int main(int argc, char *argv[]) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int cycles = argc > 2 ? std::atoi(argv[2]) : 500;

    tavrosim::PtySimulator sim(tavrosim::Variant::Solx);
    sim.start();
    sim.startThread();
    if (!std::freopen("/dev/null", "w", stdout)) // the traces are not the point here
        return 1;
    configureWatchdog();
    buildMainWindow(&argc, &argv);
    // Keeps the blocking iterations from sleeping past the end of a measurement.
    g_timeout_add(
        50, [](gpointer) -> gboolean { return TRUE; }, nullptr);

    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry), sim.slavePath().c_str());
    setOptionMonitor(1);
    gui_open(nullptr, nullptr);
    if (!pumpUntil(linkOpen, 3 * G_USEC_PER_SEC)) {
        std::fprintf(stderr, "the link did not open\n");
        return 1;
    }
    for (int row = 1; row <= ROWS; ++row) {
        if (row % 5 == 0)
            continue;
        char data[8];
        std::snprintf(data, sizeof data, "%02X,", row);
        selectRowNumber(row);
        setRow(row, "4E", "W", data, 1, 0);
    }
    for (int row = 5; row <= ROWS; row += 5) {
        std::string data;
        for (int i = 0; i < row / 5; ++i)
            data += "FF,";
        selectRowNumber(row);
        setRow(row, "A0", "R", data.c_str(), 1, 0);
    }
    filled_rows = ROWS;
    setAutorepeatCheckbox(1);
    sim.takeReceived();

    SequenceCheck check;
    gui_send(nullptr, nullptr);
    pumpFor(2 * G_USEC_PER_SEC); // warm up before the first measurement
    check.take(sim.takeReceived());
    const long rss_start = residentKb();
    const int fds_start = openDescriptors();

    const gint64 end = g_get_monotonic_time() + gint64(minutes * 60 * G_USEC_PER_SEC);
    int step = 0;
    bool interrupt = false;
    int stopped_runs = 0;
    while (g_get_monotonic_time() < end) {
        pumpFor(G_USEC_PER_SEC / 5);
        check.take(sim.takeReceived());
        ++step;
        if (step % 10 == 0) { // every 2 s one bus event
            const tavrosim::Fault faults[] = {tavrosim::Fault::Busy, tavrosim::Fault::Nak,
                                              tavrosim::Fault::ArbitrationLost};
            sim.failNext(faults[(step / 10) % 3]);
        }
        if (step % 15 == 0) { // every 3 s /INT changes
            interrupt = !interrupt;
            sim.setInterrupt(interrupt);
        }
        if (getSendMode() == 0) { // something ended the run: say so, and go on
            ++stopped_runs;
            gui_send(nullptr, nullptr);
        }
    }
    gui_stop(nullptr, nullptr);
    pumpFor(G_USEC_PER_SEC / 2);
    check.take(sim.takeReceived());
    const long rss_end = residentKb();
    const int fds_end = openDescriptors();

    std::fprintf(stderr,
                 "AutoRepeat run: %.1f min, %ld messages sent, %ld out of turn "
                 "(lost or sent twice), %d runs ended early\n",
                 minutes, check.transfers, check.out_of_turn, stopped_runs);
    std::fprintf(stderr, "  resident memory: %ld kB at start, %ld kB at end\n", rss_start, rss_end);
    std::fprintf(stderr, "  open descriptors: %d at start, %d at end\n", fds_start, fds_end);

    // Many openings and closings of the link.
    const long cycle_rss_start = residentKb();
    const int cycle_fds_start = openDescriptors();
    int failed = 0;
    for (int i = 0; i < cycles; ++i) {
        gui_close(nullptr, nullptr);
        if (!pumpUntil(linkClosed, 3 * G_USEC_PER_SEC))
            ++failed;
        gui_open(nullptr, nullptr);
        if (!pumpUntil(linkOpen, 3 * G_USEC_PER_SEC))
            ++failed;
        sim.takeReceived();
    }
    std::fprintf(stderr, "Link opened and closed %d times: %d failed\n", cycles, failed);
    std::fprintf(stderr, "  resident memory: %ld kB at start, %ld kB at end\n", cycle_rss_start,
                 residentKb());
    std::fprintf(stderr, "  open descriptors: %d at start, %d at end\n", cycle_fds_start,
                 openDescriptors());

    const bool ok = check.out_of_turn == 0 && failed == 0 && fds_end == fds_start &&
                    openDescriptors() == cycle_fds_start;
    std::fprintf(stderr, "%s\n", ok ? "soak passed" : "soak FAILED");
    return ok ? 0 : 1;
}
