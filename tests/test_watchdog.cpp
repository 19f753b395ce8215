// The reply watchdog: its count, the time-out with its message box (which must not stop the
// count), and the link it closes.
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

TEST(Watchdog, KeepsCountingWhileItsOwnBoxIsOpen) {
    ensureMainWindow();
    // Armed again inside the time-out's box, it must time out on top of it. (Were the second
    // box not to come, the tests' check for forgotten dialogs would close the first in 10 s.)
    whenDialogOpens([](GtkWidget *) { startWatchdog(); });
    bool both = false;
    const guint closer = g_timeout_add(
        5,
        [](gpointer both) -> gboolean {
            const auto dialogs = openDialogs();
            *static_cast<bool *>(both) |= dialogs.size() == 2;
            for (auto it = dialogs.rbegin(); dialogs.size() == 2 && it != dialogs.rend(); ++it)
                gtk_dialog_response(GTK_DIALOG(*it), GTK_RESPONSE_OK);
            return TRUE;
        },
        &both);
    startWatchdog();
    pumpUntil([&] { return both && openDialogs().empty(); }, 15000);
    g_source_remove(closer);
    EXPECT_TRUE(both);
}
