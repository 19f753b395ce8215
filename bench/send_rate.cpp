// Sends a long list with delay 0 to the simulated adapter on a pseudo-terminal for a while
// and reports messages per second against the tick-limited rate (one message per 2 ms
// tick, 500 per second). Needs a display (run under xvfb-run).
#include "gui_callbacks.h"
#include "gui_create.h"
#include "gui_manipulate.h"
#include "main.h"
#include "watchdog.h"

#include "tavrosim/pty_simulator.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void pumpFor(gint64 us) {
    const gint64 end = g_get_monotonic_time() + us;
    while (g_get_monotonic_time() < end)
        g_main_context_iteration(nullptr, TRUE);
}

} // namespace

int main(int argc, char *argv[]) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    tavrosim::PtySimulator sim(tavrosim::Variant::Solx);
    sim.start();
    sim.startThread();

    std::FILE *quiet = std::freopen("/dev/null", "w", stdout); // traces are not the point here
    (void)quiet;
    configureWatchdog();
    buildMainWindow(&argc, &argv);
    // Keeps the blocking iterations above from sleeping past the end of a measurement.
    g_timeout_add(
        100, [](gpointer) -> gboolean { return TRUE; }, nullptr);

    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry), sim.slavePath().c_str());
    gui_open(nullptr, nullptr);
    const gint64 give_up = g_get_monotonic_time() + 3 * G_USEC_PER_SEC;
    while (getButtonMode() == 0 && g_get_monotonic_time() < give_up)
        g_main_context_iteration(nullptr, TRUE);
    if (getButtonMode() == 0) {
        std::fprintf(stderr, "the link did not open\n");
        return 1;
    }

    for (int n = 1; n <= LIST_ROWS; ++n) {
        selectRowNumber(n);
        setRow(n, "4E", n % 2 ? "W" : "R", n % 2 ? "A5," : "FF,", 1, 0);
    }
    filled_rows = LIST_ROWS;
    setAutorepeatCheckbox(1);

    gui_send(nullptr, nullptr);
    pumpFor(G_USEC_PER_SEC / 2); // settle
    const int first = sim.transfers();
    const gint64 start = g_get_monotonic_time();
    pumpFor(gint64(seconds) * G_USEC_PER_SEC);
    const double elapsed = double(g_get_monotonic_time() - start) / G_USEC_PER_SEC;
    const int sent = sim.transfers() - first;
    gui_stop(nullptr, nullptr);

    const double rate = sent / elapsed;
    std::fprintf(stderr, "messages sent: %d in %.2f s\n", sent, elapsed);
    std::fprintf(stderr, "rate: %.1f messages/s = %.1f%% of the tick-limited 500/s\n", rate,
                 rate / 5.0);
    return 0;
}
