// The reply watchdog: its count, what a reply or an unknown line does to it, and the time-out
// with its message box, which must not stop the count.
#include "support.h"

namespace {

const char *const TIMED_OUT =
    "Timed out.  Check pull-ups, slave device, cables, power, adapter type, serial port, etc.";

// Runs the watchdog's tick by hand; returns whether it is still armed.
bool ticks(int n) {
    for (int i = 0; i < n; ++i)
        handleWatchdog();
    return WATCHDOG != 0;
}

} // namespace

TEST(Watchdog, TimesOutOnTheTenthTickAfterTheLastArming) {
    ensureMainWindow();
    StdoutCapture out;
    ErrorBoxCloser closer;
    startWatchdog();
    EXPECT_TRUE(ticks(5));
    startWatchdog(); // counts afresh
    EXPECT_TRUE(ticks(9));
    EXPECT_FALSE(ticks(1));
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }));
    EXPECT_EQ(closer.texts()[0],
              "Communication time-out detected!\n\nPossible conditions:\n1.  I2C clock line (SCL) "
              "is low (clock-stretch in progress)\n2.  Adapter not responding\n\nCheck I2C "
              "pull-ups, slave device, cables, power, adapter type, serial port, etc.");
    ASSERT_TRUE(pumpUntil([] { return statusText() == TIMED_OUT; }));
    EXPECT_EQ(out.count("Timed out!\n"), 1);
    EXPECT_EQ(out.count("Alert!\a\n"), 1);
    EXPECT_FALSE(ticks(20)); // disarmed ticks change nothing
    pump(50);
    EXPECT_EQ(closer.texts().size(), 1u);

    // On the real clock the ten ticks of 100 ms take at least 0.9 s.
    const gint64 start = g_get_monotonic_time();
    startWatchdog();
    ASSERT_TRUE(pumpUntil([] { return WATCHDOG == 0; }));
    EXPECT_GE(g_get_monotonic_time() - start, 850000);
}

TEST(Watchdog, RepliesStopItAndUnknownLinesArmItAfresh) {
    SimLink link;
    ASSERT_TRUE(link.open());
    startWatchdog();
    ticks(5);
    link.sim.deliverFromMaster({});
    ASSERT_TRUE(pumpUntil([] { return statusText() == "Recieved data from a master, ignoring."; }));
    EXPECT_EQ(WATCHDOG, 0);

    startWatchdog();
    ticks(8);
    link.sim.sendOverlongLine(); // a line of no known code
    ASSERT_TRUE(pumpUntil([] { return statusText().substr(0, 4) == "/XYZ"; }));
    EXPECT_EQ(WATCHDOG, 1);
    EXPECT_LT(WT, 5); // counting afresh
    stopWatchdog();
}

TEST(Watchdog, TimeOutWhileOpenClosesTheLink) {
    SimLink link;
    ASSERT_TRUE(link.open());
    link.sim.setSilent(true);
    ErrorBoxCloser closer;
    gui_close(nullptr, nullptr); // the adapter never confirms
    ASSERT_TRUE(pumpUntil([] { return statusText() == TIMED_OUT; }));
    EXPECT_EQ(getButtonMode(), 0);
    EXPECT_EQ(getPortDescriptor(), -1);
    EXPECT_EQ(SERIAL_CALLBACK_ID, 0u);
    EXPECT_EQ(link.wire(), (std::vector<std::string>{"/c\r", std::string(3, '\x12')}));
}

TEST(Watchdog, KeepsCountingWhileAMessageBoxIsOpen) {
    ensureMainWindow();
    // The first box arms the watchdog; the time-out's box must still come on top of it.
    int boxes_seen = 0;
    g_timeout_add(
        10,
        [](gpointer data) -> gboolean {
            auto *seen = static_cast<int *>(data);
            const auto dialogs = openDialogs();
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
    // Should the time-out box never come, the first box is closed after 5 s all the same.
    const guint guard = g_timeout_add(
        5000,
        [](gpointer) -> gboolean {
            for (GtkWidget *d : openDialogs())
                gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
            return TRUE;
        },
        nullptr);
    showError("First box.");
    pumpUntil([] { return openDialogs().empty(); });
    g_source_remove(guard);
    EXPECT_EQ(boxes_seen, 2);
}
