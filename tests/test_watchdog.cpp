// The tick sources' grid and idle silence, and the reply watchdog's timing and time-out.
#include "gui_callbacks.h"
#include "gui_fixture.h"
#include "gui_manipulate.h"
#include "main.h"
#include "pty_pair.h"
#include "serial.h"
#include "watchdog.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<gint64> tick_times;
bool tick_wanted = true;

gboolean recordTick() {
    tick_times.push_back(g_get_monotonic_time());
    return TRUE;
}
bool tickWanted() {
    return tick_wanted;
}

// The main context's wake-up for its next iteration, in ms (-1: none).
int nextWakeup() {
    GMainContext *context = g_main_context_default();
    gint priority = 0;
    g_main_context_acquire(context);
    g_main_context_prepare(context, &priority);
    gint timeout = -2;
    GPollFD fds[16];
    g_main_context_query(context, priority, &timeout, fds, 16);
    g_main_context_check(context, priority, fds, 0);
    g_main_context_release(context);
    return timeout;
}

const char *const TIMED_OUT_STATUS =
    "Timed out.  Check pull-ups, slave device, cables, power, adapter type, serial port, etc.";

// Milliseconds from now until the armed watchdog gives up.
double msUntilTimeout() {
    const gint64 start = g_get_monotonic_time();
    pumpUntil([] { return WATCHDOG == 0; }, 3000);
    return double(g_get_monotonic_time() - start) / 1000.0;
}

} // namespace

TEST(GridSource, TicksFallOnAFixedGrid) {
    tick_times.clear();
    const guint tag = addGridSource(2000, recordTick, nullptr);
    pump(300);
    g_source_remove(tag);
    ASSERT_GE(tick_times.size(), 120u); // 150 grid points in 300 ms
    int on_grid = 0;
    for (gint64 t : tick_times)
        on_grid += (t - gridOrigin()) % 2000 < 1200;
    EXPECT_GE(on_grid * 10, int(tick_times.size()) * 9) << "ticks drift off the grid";
    // However late one tick ran, the next is the next grid point: never two in one period.
    for (std::size_t i = 1; i < tick_times.size(); ++i)
        EXPECT_NE((tick_times[i] - gridOrigin()) / 2000, (tick_times[i - 1] - gridOrigin()) / 2000);
}

TEST(GridSource, AnIdleSourceAsksForNoWakeup) {
    tick_times.clear();
    tick_wanted = false;
    const guint tag = addGridSource(2000, recordTick, tickWanted);
    EXPECT_EQ(nextWakeup(), -1);
    pump(50);
    EXPECT_TRUE(tick_times.empty());

    tick_wanted = true;
    const gint64 woken = g_get_monotonic_time();
    const int wait = nextWakeup();
    EXPECT_GE(wait, 0);
    EXPECT_LE(wait, 2);
    pumpUntil([] { return !tick_times.empty(); }, 100);
    ASSERT_FALSE(tick_times.empty());
    // The first tick after waking is the next grid point, not a burst of missed ones.
    EXPECT_LE(tick_times[0] - woken, 3000);
    EXPECT_LT((tick_times[0] - gridOrigin()) % 2000, 1200);
    g_source_remove(tag);
}

TEST(Watchdog, TimesOutNineToTenTicksAfterArming) {
    ensureMainWindow();
    configureWatchdog();
    StdoutCapture out;
    ErrorBoxCloser closer;
    pump(37); // arm somewhere between two ticks
    startWatchdog();
    const double elapsed = msUntilTimeout();
    EXPECT_GE(elapsed, 900.0);
    EXPECT_LE(elapsed, 1030.0);
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }, 1000));
    EXPECT_EQ(closer.texts()[0],
              "Communication time-out detected!\n\nPossible conditions:\n1.  I2C clock line (SCL) "
              "is low (clock-stretch in progress)\n2.  Adapter not responding\n\nCheck I2C "
              "pull-ups, slave device, cables, power, adapter type, serial port, etc.");
    pump(20);
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(status)), TIMED_OUT_STATUS);
    EXPECT_EQ(out.count("Timed out!\n"), 1);
    EXPECT_EQ(out.count("Alert!\a\n"), 1);
    // Disarmed ticks change nothing.
    pump(1200);
    EXPECT_EQ(closer.texts().size(), 1u);
    EXPECT_EQ(WT, 0);
}

TEST(Watchdog, RepliesStopItAndUnknownLinesRearmIt) {
    ensureMainWindow();
    configureWatchdog();
    PtyPair pty;
    ASSERT_EQ(openSerial(pty.slavePath().c_str()), 1);
    configureSerial(19200);
    SERIAL_CALLBACK_ID = watchSerial(PORT_DESCRIPTOR);
    ErrorBoxCloser closer;

    // A reply 850 ms after arming is in time.
    startWatchdog();
    pump(850);
    pty.write("/STC\r\n");
    pump(600);
    EXPECT_TRUE(closer.texts().empty());
    EXPECT_EQ(WATCHDOG, 0);
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(status)), "Recieved slave transmit complete.");

    // A line of no known code 800 ms in starts the count afresh.
    startWatchdog();
    pump(800);
    pty.write("/XYZ\r");
    ASSERT_TRUE(pumpUntil(
        [] { return g_strcmp0(gtk_entry_get_text(GTK_ENTRY(status)), "/XYZ") == 0; }, 500));
    const double elapsed = msUntilTimeout();
    EXPECT_GE(elapsed, 880.0);
    EXPECT_LE(elapsed, 1030.0);
    ASSERT_TRUE(pumpUntil([&] { return closer.texts().size() == 1; }, 1000));
    g_source_remove(SERIAL_CALLBACK_ID);
    SERIAL_CALLBACK_ID = 0;
    closeSerial();
}

TEST(Watchdog, TimeOutWhileOpenClosesTheLink) {
    ensureMainWindow();
    configureWatchdog();
    PtyPair pty;
    ASSERT_EQ(openSerial(pty.slavePath().c_str()), 1);
    configureSerial(19200);
    SERIAL_CALLBACK_ID = watchSerial(PORT_DESCRIPTOR);
    setButtonMode(1);
    ErrorBoxCloser closer;

    gui_close(nullptr, nullptr); // the adapter never confirms
    EXPECT_EQ(pty.read(300, 3), "/c\r");
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }, 2000));
    pump(50);
    EXPECT_EQ(getButtonMode(), 0);
    EXPECT_EQ(PORT_DESCRIPTOR, -1);
    EXPECT_EQ(SERIAL_CALLBACK_ID, 0u);
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(status)), TIMED_OUT_STATUS);
    EXPECT_EQ(pty.read(300, 3), std::string("\x12\x12\x12")); // reset, no close command
}

TEST(Watchdog, TimeOutDuringOpeningLeavesThePortOpen) {
    ensureMainWindow();
    configureWatchdog();
    PtyPair pty;
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry), pty.slavePath().c_str());
    ErrorBoxCloser closer;

    gui_open(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }, 2000));
    pump(50);
    EXPECT_EQ(getButtonMode(), 0);
    EXPECT_TRUE(GTK_WIDGET_IS_SENSITIVE(button_open));
    EXPECT_GE(PORT_DESCRIPTOR, 0);
    EXPECT_NE(SERIAL_CALLBACK_ID, 0u);
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(status)), TIMED_OUT_STATUS);
}

TEST(Watchdog, KeepsCountingWhileAMessageBoxIsOpen) {
    ensureMainWindow();
    configureWatchdog();
    int boxes_seen = 0;
    // The first box arms the watchdog; its time-out box must still come on top of it.
    g_timeout_add(
        10,
        [](gpointer data) -> gboolean {
            auto *seen = static_cast<int *>(data);
            auto dialogs = openDialogs();
            if (dialogs.size() == 1 && *seen == 0) {
                *seen = 1;
                startWatchdog();
            } else if (dialogs.size() == 2) {
                *seen = 2;
                for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it)
                    gtk_dialog_response(GTK_DIALOG(*it), GTK_RESPONSE_OK);
                return FALSE;
            }
            return TRUE;
        },
        &boxes_seen);
    const guint guard = g_timeout_add(
        3000,
        [](gpointer) -> gboolean {
            for (GtkWidget *d : openDialogs())
                gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
            return TRUE;
        },
        nullptr);
    showError("First box.");
    pumpUntil([&] { return openDialogs().empty(); }, 2000);
    g_source_remove(guard);
    EXPECT_EQ(boxes_seen, 2);
}
