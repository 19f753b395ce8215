// Sending the list against the simulator: runs, AutoRepeat, Stop, delays, bus events, /INT,
// and the pacing tick's silence while idle.
#include "gui_callbacks.h"
#include "gui_fixture.h"
#include "gui_manipulate.h"
#include "main.h"
#include "serial.h"
#include "watchdog.h"

#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

using tavrosim::Fault;
using tavrosim::PtySimulator;
using tavrosim::Variant;

namespace {

std::string statusText() {
    return gtk_entry_get_text(GTK_ENTRY(status));
}

void putRow(int n, const char *address, const char *rw, const char *data, int stop, int delay) {
    selectRowNumber(n);
    setRow(n, address, rw, data, stop, delay);
    if (n > filled_rows)
        filled_rows = n;
}

struct RowText {
    std::string address, rw, data;
    int stop = 0, delay = 0;
};

RowText row(int n) {
    selectRowNumber(n);
    int num = 0;
    char address[ADDRESS_SIZE], rw[RW_SIZE], data[DATA_SIZE];
    RowText r;
    getRow(&num, address, rw, data, &r.stop, &r.delay);
    r.address = address;
    r.rw = rw;
    r.data = data;
    return r;
}

int selectedRow() {
    GtkTreeModel *model = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_selection_get_selected(sel, &model, &iter))
        return 0;
    guint number = 0;
    gtk_tree_model_get(model, &iter, 0, &number, -1);
    return int(number);
}

// An open link to a simulated Solx with its /INT monitor as asked.
class SendTest : public ::testing::Test {
  protected:
    PtySimulator sim{Variant::Solx};

    void SetUp() override {
        ensureMainWindow();
        configureWatchdog();
        sim.start();
        sim.startThread();
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
        gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry), sim.slavePath().c_str());
    }
    // The "Monitor" check box: first in the frame of the /INT column.
    static GtkWidget *monitorBox() {
        GList *column = gtk_container_get_children(GTK_CONTAINER(interrupt_monitor_control));
        GtkWidget *frame = GTK_WIDGET(column->data);
        g_list_free(column);
        GList *inner = gtk_container_get_children(GTK_CONTAINER(gtk_bin_get_child(GTK_BIN(frame))));
        GtkWidget *monitor = GTK_WIDGET(inner->data);
        g_list_free(inner);
        return monitor;
    }
    void open(bool monitor = false) {
        if (monitor)
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(monitorBox()), TRUE);
        gui_open(nullptr, nullptr);
        ASSERT_TRUE(pumpUntil([] { return getButtonMode() == 1; }, 3000)) << statusText();
        sim.clearReceived();
    }
    // The transfer commands the adapter received since the link opened, in order.
    std::vector<std::string> wire() {
        std::vector<std::string> out;
        for (const auto &r : sim.received())
            out.push_back(r.bytes);
        return out;
    }
    bool runEnds(int ms = 3000) {
        return pumpUntil([] { return getSendMode() == 0; }, ms);
    }
};

using Wire = std::vector<std::string>;

} // namespace

TEST_F(SendTest, TwoMessagesFromSendToTheButtonsReturn) {
    open();
    putRow(1, "A0", "W", "00,10,20,", 1, 0);
    putRow(2, "A0", "R", "FF,FF,", 0, 0);
    gui_send(nullptr, nullptr);
    EXPECT_EQ(getSendMode(), 1);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(wire(), (Wire{"/dA0\r", "/t~00~10~20\r", "/dA0\r", "/*r2\r"}));
    EXPECT_EQ(row(2).rw, "R");
    EXPECT_EQ(row(2).data.size(), 6u);
    EXPECT_EQ(row(1).data, "00,10,20,"); // a write row is left as it was
    EXPECT_EQ(statusText(), "Read completed successfully");
    EXPECT_EQ(selectedRow(), 1);
    EXPECT_EQ(current_row, 1);
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(button_send));
    EXPECT_TRUE(GTK_WIDGET_IS_SENSITIVE(button_close));
}

TEST_F(SendTest, ReadDataComesBackIntoTheRow) {
    open();
    putRow(1, "A0", "W", "00,12,34,56,", 1, 0);
    putRow(2, "A0", "W", "00,", 1, 0); // pointer back to 00
    putRow(3, "A0", "R", "FF,FF,FF,", 1, 0);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(row(3).data, "12,34,56,");
    EXPECT_EQ(wire().back(), "/r3\r");
}

TEST_F(SendTest, AutoRepeatWrapsUntilStop) {
    open();
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "4E", "R", "FF,", 1, 0);
    setAutorepeatCheckbox(1);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return sim.transfers() >= 7; }, 3000));
    EXPECT_EQ(getSendMode(), 1);
    gui_stop(nullptr, nullptr);
    pump(100);
    const int after_stop = sim.transfers();
    pump(200);
    EXPECT_EQ(sim.transfers(), after_stop);
    const Wire w = wire();
    for (std::size_t i = 0; i + 3 < w.size(); i += 4) {
        EXPECT_EQ(w[i + 1], "/t~01\r");
        EXPECT_EQ(w[i + 3], "/r1\r");
    }
    EXPECT_EQ(current_row, 1); // rewound at the tick after Stop
    EXPECT_EQ(row(2).data, "01,");
}

TEST_F(SendTest, StopWhileAReadIsOutstanding) {
    open();
    putRow(1, "4E", "W", "5A,", 1, 0);
    putRow(2, "4E", "R", "FF,FF,", 1, 0);
    putRow(3, "4E", "W", "00,", 1, 0);
    sim.setReplyDelay(150);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !wire().empty() && wire().back() == "/r2\r"; }, 3000));
    gui_stop(nullptr, nullptr);
    EXPECT_EQ(getSendMode(), 0);
    ASSERT_TRUE(pumpUntil([] { return statusText() == "Read completed successfully"; }, 2000));
    pump(50);
    EXPECT_EQ(current_row, 1); // the reply moved the cursor on; the next tick rewound it
    EXPECT_EQ(row(2).data, "5A,5A,");
    EXPECT_EQ(wire().back(), "/r2\r"); // row 3 never went out
    EXPECT_EQ(DO_ROW_RESET, 0);
}

TEST_F(SendTest, OneDigitAddressAndStoplessForms) {
    open();
    putRow(1, "E", "W", "", 0, 0);
    putRow(2, "4e", "W", "0a,ff,", 0, 0);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(wire(), (Wire{"/d0E\r", "/*t\r", "/d4e\r", "/*t~0a~ff\r"}));
    EXPECT_EQ(statusText(), "Write completed successfully");
}

TEST_F(SendTest, EmptyListAndBadAddressAreRefused) {
    open();
    ErrorBoxCloser closer;
    gui_send(nullptr, nullptr);
    pumpUntil([&] { return !closer.texts().empty(); }, 1000);
    ASSERT_EQ(closer.texts().size(), 1u);
    EXPECT_EQ(closer.texts()[0], "You must enter at least one message.");
    EXPECT_EQ(getSendMode(), 0);

    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "FF", "W", "01,", 1, 0);
    putRow(3, "4E", "W", "02,", 1, 0);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return closer.texts().size() == 2; }, 2000));
    EXPECT_EQ(closer.texts()[1], "Badly formed slave address.  The slave address must be a one "
                                 "or two digit even hex number.");
    EXPECT_TRUE(runEnds());
    pump(50);
    EXPECT_EQ(wire(), (Wire{"/d4E\r", "/t~01\r"})); // nothing of row 2 went out
}

TEST(Pacing, DelayIsTakenTenPerTick) {
    ensureMainWindow();
    putRow(1, "4E", "W", "", 1, 0);
    for (auto [delay, ticks] : {std::pair{0, 1}, {10, 1}, {11, 2}, {100, 10}, {250, 25}}) {
        ALLOW_SEND = 1;
        SEND_DATA = 1;
        SEND_DELAY = delay;
        selectRowReset();
        int calls = 0;
        while (SEND_DATA && calls < 100) {
            gui_send_message(nullptr);
            ++calls;
        }
        EXPECT_EQ(calls, ticks) << "delay " << delay;
    }
    stopWatchdog();
}

TEST_F(SendTest, LeftoverDelayWaitsAtTheNextSend) {
    open();
    putRow(1, "4E", "W", "01,", 1, 250);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(SEND_DELAY, 250);
    sim.clearReceived();
    const gint64 start = g_get_monotonic_time();
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !wire().empty(); }, 2000));
    const double ms = double(g_get_monotonic_time() - start) / 1000.0;
    EXPECT_GE(ms, 46.0); // 25 ticks of 2 ms
    EXPECT_LT(ms, 200.0);
    runEnds();
}

TEST_F(SendTest, NakSkipsOrStops) {
    open();
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "A2", "W", "02,", 1, 0); // nobody answers at A2
    putRow(3, "4E", "W", "03,", 1, 0);
    StdoutCapture out;
    setOptionBeeponNak(~0);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(wire(), (Wire{"/d4E\r", "/t~01\r", "/dA2\r", "/t~02\r", "/d4E\r", "/t~03\r"}));
    EXPECT_EQ(row(2).data, "02,");
    EXPECT_EQ(out.count("Alert!\a\n"), 1);

    // With stop on NAK the run ends on the failed row; the next Send starts at row 1.
    setOptionStoponNak(~0);
    sim.clearReceived();
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    pump(30);
    EXPECT_EQ(statusText(), "Slave not acknowledging");
    EXPECT_EQ(selectedRow(), 2);
    EXPECT_EQ(current_row, 2);
    EXPECT_EQ(wire().size(), 4u);
    EXPECT_EQ(out.count("Alert!\a\n"), 2);
    putRow(2, "4E", "W", "02,", 1, 0);
    selectRowNumber(2);
    sim.clearReceived();
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(wire().size(), 6u);
    EXPECT_EQ(wire()[1], "/t~01\r");
}

TEST_F(SendTest, NakOnTheLastMessageEndsThePass) {
    open();
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "A2", "W", "01,", 1, 0); // nobody at A2
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(statusText(), "Slave not acknowledging");
    EXPECT_EQ(selectedRow(), 1);
}

TEST_F(SendTest, BusyRetriesOrStops) {
    open();
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "4E", "W", "02,", 1, 0);
    StdoutCapture out;
    setOptionBeeponBusy(~0);
    sim.failNext(Fault::Busy, 3);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    // Row 1 went out four times (slave select included), then row 2.
    EXPECT_EQ(wire(), (Wire{"/d4E\r", "/t~01\r", "/d4E\r", "/t~01\r", "/d4E\r", "/t~01\r", "/d4E\r",
                            "/t~01\r", "/d4E\r", "/t~02\r"}));
    EXPECT_EQ(out.count("Alert!\a\n"), 3);

    setOptionStoponBusy(~0);
    sim.failNext(Fault::Busy);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(statusText(), "Busy, trying again in 100 ms");
    EXPECT_EQ(SEND_DATA, 1);
    EXPECT_EQ(SEND_DELAY, 100);
    EXPECT_EQ(out.count("Alert!\a\n"), 4);
}

TEST_F(SendTest, ArbitrationLossSkipsOrStops) {
    open();
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "4E", "W", "02,", 1, 0);
    sim.failNext(Fault::ArbitrationLost);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(wire().size(), 4u);

    setOptionStoponArbloss(~0);
    sim.clearReceived();
    sim.failNext(Fault::ArbitrationLost);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(statusText(), "Lost arbitration, skipping");
    EXPECT_EQ(wire().size(), 2u);
    EXPECT_EQ(current_row, 1);
}

TEST_F(SendTest, InterruptStartsTheListWhenAsked) {
    open(true);
    EXPECT_EQ(getOptionMonitor(), 1);
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "4E", "W", "02,", 1, 0);
    putRow(3, "4E", "W", "03,", 1, 0);

    // Without Send on /INT the assertion is shown only.
    sim.setInterrupt(true);
    ASSERT_TRUE(pumpUntil([] { return statusText() == "Interrupt asserted"; }, 2000));
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(label_int_asserted));
    EXPECT_EQ(INT_NEEDS_HANDLING, 1);
    EXPECT_EQ(getSendMode(), 0);
    sim.setInterrupt(false);
    ASSERT_TRUE(pumpUntil([] { return statusText() == "Interrupt released"; }, 2000));
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(label_int_released));

    setSendonIntCheckbox(1);
    sim.clearReceived();
    sim.setInterrupt(true);
    ASSERT_TRUE(pumpUntil([] { return getSendMode() == 1; }, 2000));
    EXPECT_EQ(INT_NEEDS_HANDLING, 0);
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(wire().size(), 6u);
}

TEST_F(SendTest, InterruptDuringARunRunsTheListOnceMore) {
    open(true);
    setSendonIntCheckbox(1);
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "4E", "W", "02,", 1, 0);
    sim.setReplyDelay(30);
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !wire().empty(); }, 2000));
    dispatchReply("/NSA"); // asserted while the run is shown
    EXPECT_EQ(INT_NEEDS_HANDLING, 1);
    ASSERT_TRUE(pumpUntil([&] { return wire().size() >= 8; }, 3000));
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(wire().size(), 8u);
    EXPECT_EQ(INT_NEEDS_HANDLING, 0);
}

TEST_F(SendTest, InterruptWithAnEmptyListOrTheMonitorOff) {
    open(true);
    setSendonIntCheckbox(1);
    dispatchReply("/NSA");
    EXPECT_EQ(statusText(), "Interrupt asserted");
    EXPECT_EQ(INT_NEEDS_HANDLING, 1); // pending: nothing to send
    EXPECT_EQ(getSendMode(), 0);

    // Turning the monitor off sends the command at once.
    setOptionMonitor(1);
    gui_intmonitor(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !wire().empty() && wire().back() == "/n0\r"; }, 3000));
    setStatus("unchanged");
    dispatchReply("/NSA");
    EXPECT_EQ(statusText(), "unchanged");
    EXPECT_EQ(INT_NEEDS_HANDLING, 0);
    setIntMode(1);
    dispatchReply("/NSR");
    EXPECT_EQ(statusText(), "Interrupt released");
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(label_int_asserted)); // label untouched with the monitor off
}

namespace {
int short_waits = 0;
GPollFunc default_poll = nullptr;
// Counts the main loop's sleeps of 1 to 3 ms: the mark of a tick that keeps running. Other
// wake-ups (X events from other windows, GTK's redraws) do not count.
gint countingPoll(GPollFD *fds, guint n, gint timeout) {
    if (timeout >= 1 && timeout <= 3)
        ++short_waits;
    return default_poll(fds, n, timeout);
}
} // namespace

TEST(Pacing, TheIdleProgramSleeps) {
    ensureMainWindow();
    configureWatchdog();
    pump(300); // let the window settle
    default_poll = g_main_context_get_poll_func(nullptr);
    g_main_context_set_poll_func(nullptr, countingPoll);
    short_waits = 0;
    // A 100 ms guard keeps the blocking iterations below from waiting for ever.
    const guint guard = g_timeout_add(
        100, [](gpointer) -> gboolean { return TRUE; }, nullptr);
    const gint64 end = g_get_monotonic_time() + 500000;
    while (g_get_monotonic_time() < end)
        g_main_context_iteration(nullptr, TRUE); // blocks until a source wants to run
    g_source_remove(guard);
    g_main_context_set_poll_func(nullptr, default_poll);
    // A free-running 2 ms tick would sleep this way 250 times here.
    EXPECT_LT(short_waits, 5);

    // A run in progress does wake the loop on the tick.
    ALLOW_SEND = 1;
    SEND_DATA = 1;
    SEND_DELAY = 1000000; // counts down without ever sending
    g_main_context_set_poll_func(nullptr, countingPoll);
    short_waits = 0;
    const gint64 busy_end = g_get_monotonic_time() + 200000;
    while (g_get_monotonic_time() < busy_end)
        g_main_context_iteration(nullptr, TRUE);
    g_main_context_set_poll_func(nullptr, default_poll);
    EXPECT_GT(short_waits, 50);
    ALLOW_SEND = 0;
    SEND_DATA = 0;
}
