// Sending the list against the simulator: a pass, AutoRepeat, Stop, the delays, the bus
// events and their options, and /INT.
#include "support.h"

#include <cstring>
#include <dlfcn.h>

// Messages (slave selects and transfers) written to the port while the main loop was
// dispatching the serial input watch: sent from inside the reply handler. (The simulator's
// thread runs no main loop.)
static int sent_from_reply_handler = 0;

extern "C" ssize_t write(int fd, const void *data, size_t size) {
    static const auto next =
        reinterpret_cast<ssize_t (*)(int, const void *, size_t)>(dlsym(RTLD_NEXT, "write"));
    if (GSource *dispatched = g_main_current_source();
        dispatched != nullptr && fd == PORT_DESCRIPTOR && SERIAL_CALLBACK_ID != 0 &&
        g_source_get_id(dispatched) == SERIAL_CALLBACK_ID && size >= 2 &&
        static_cast<const char *>(data)[1] != '\0' &&
        std::strchr("dtr*", static_cast<const char *>(data)[1]) != nullptr)
        ++sent_from_reply_handler;
    return next(fd, data, size);
}

using tavrosim::Fault;
using Wire = std::vector<std::string>;

namespace {

bool runEnds() {
    return pumpUntil([] { return getSendMode() == 0; });
}

// Sends the list once and waits for the pass to end.
Wire sendOnce(SimLink &link) {
    link.sim.clearReceived();
    gui_send(nullptr, nullptr);
    EXPECT_TRUE(runEnds());
    return link.wire();
}

} // namespace

TEST(Send, OnePassOfWritesAndReads) {
    SimLink link;
    ASSERT_TRUE(link.open());
    putRow(1, "8", "W", "", 0, 0); // nobody answers at 08: the NAK is skipped
    putRow(2, "A0", "W", "00,12,34,56,", 1, 0);
    putRow(3, "A0", "W", "00,", 1, 0);
    putRow(4, "a0", "R", "FF,FF,FF,", 0, 0);
    EXPECT_EQ(sendOnce(link), (Wire{"/d08\r", "/*t\r", "/dA0\r", "/t~00~12~34~56\r", "/dA0\r",
                                    "/t~00\r", "/da0\r", "/*r3\r"}));
    EXPECT_EQ(row(4), "4|a0|R|12,34,56,|0|0"); // the bytes read came back into the row
    EXPECT_EQ(row(2), "2|A0|W|00,12,34,56,|1|0");
    EXPECT_EQ(statusText(), "Read completed successfully");
    EXPECT_EQ(current_row, 1); // the cursor, and so the selection, back on row 1
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(button_send));
    EXPECT_TRUE(GTK_WIDGET_IS_SENSITIVE(button_close));
}

TEST(Send, AutoRepeatWrapsUntilStopWhichRewinds) {
    SimLink link;
    ASSERT_TRUE(link.open());
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "4E", "R", "FF,", 1, 0);
    putRow(3, "4E", "W", "02,", 1, 0);
    setAutorepeatCheckbox(1);
    gui_send(nullptr, nullptr);
    // Stop while row 2's read is out: its reply fills the row and moves the cursor on, but
    // sends nothing; the next tick rewinds.
    ASSERT_TRUE(pumpUntil(
        [&] { return link.sim.transfers() >= 40 && current_row == 2 && SEND_DATA == 0; }));
    gui_stop(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([] { return SEND_DATA == 1 && DO_ROW_RESET == 0; }));
    const int after_stop = link.sim.transfers();
    pump(100); // longer than a frame: the window shows what the run left
    EXPECT_EQ(link.sim.transfers(), after_stop);
    const Wire w = link.wire();
    for (std::size_t i = 0; i + 1 < w.size(); i += 2)
        EXPECT_EQ(w[i + 1], (Wire{"/t~01\r", "/r1\r", "/t~02\r"}[i / 2 % 3]));
    EXPECT_EQ(statusText(), "Read completed successfully");
    EXPECT_EQ(row(2), "2|4E|R|01,|1|0");
    EXPECT_EQ(current_row, 1);
    EXPECT_EQ(highlightedRow(), 1);
}

TEST(Send, EmptyListAndBadAddressAreRefused) {
    SimLink link;
    setOptionMonitor(1);
    ASSERT_TRUE(link.open());
    {
        // An /INT while the bad-address box is open starts the list again, which then runs
        // to the bad row once more.
        setSendonIntCheckbox(1);
        putRow(1, "4E", "W", "01,", 1, 0);
        putRow(2, "FF", "W", "", 1, 0);
        whenDialogOpens([&](GtkWidget *box) {
            link.sim.setInterrupt(true);
            EXPECT_TRUE(pumpUntil([] { return getSendMode() == 1; }));
            gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
            whenDialogOpens([](GtkWidget *again) { gtk_dialog_response(GTK_DIALOG(again), 0); });
        });
        EXPECT_EQ(sendOnce(link), (Wire{"/d4E\r", "/t~01\r", "/d4E\r", "/t~01\r"}));
        setSendonIntCheckbox(0);
        eraseRows();
    }
    ErrorBoxCloser closer;
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }));
    EXPECT_EQ(closer.texts()[0], "You must enter at least one message.");
    EXPECT_EQ(getSendMode(), 0);

    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "FF", "W", "01,", 1, 0);
    putRow(3, "4E", "W", "02,", 1, 0);
    EXPECT_EQ(sendOnce(link), (Wire{"/d4E\r", "/t~01\r"})); // nothing of row 2 went out
    EXPECT_EQ(closer.texts().back(), "Badly formed slave address.  The slave address must be a "
                                     "one or two digit even hex number.");
}

TEST(Send, DelaysAreTakenTenPerTickAndLastTillTheNextRun) {
    ensureMainWindow();
    putRow(2, "4E", "W", "", 1, 0);
    const auto ticksToSend = [] {
        int calls = 0;
        for (; SEND_DATA && calls < 100; ++calls)
            gui_send_message(nullptr);
        return calls;
    };
    // The first message of a run and the one after a reply alike wait for the tick: the reply
    // handler only marks the next message due, and nothing goes out from inside it.
    for (auto [delay, ticks] : {std::pair{0, 1}, {10, 1}, {11, 2}, {100, 10}, {250, 25}}) {
        ALLOW_SEND = SEND_DATA = 1;
        SEND_DELAY = delay;
        selectRowReset();
        setRow(1, "4E", "W", "", 1, delay);
        EXPECT_EQ(ticksToSend(), ticks) << "delay " << delay;
        StdoutCapture out;
        dispatchReply("/MTC");
        EXPECT_EQ(out.count("> "), 0) << "sent inside the reply handler, delay " << delay;
        EXPECT_EQ(SEND_DATA, 1) << "delay " << delay;
        EXPECT_EQ(ticksToSend(), ticks) << "after a reply, delay " << delay;
    }
    gui_handle_busy(); // the retry waits its 10 ticks
    EXPECT_EQ(ticksToSend(), 10);
    gui_send_stop(); // a reply after Stop sends nothing; the next run waits for the last delay
    selectRowReset();
    gui_send_success("", false);
    EXPECT_EQ(SEND_DATA, 1);
    EXPECT_EQ(current_row, 2);
    EXPECT_EQ(SEND_DELAY, 250);

    // Stop on busy leaves the message due after the retry's delay, on the row that failed.
    gui_send_start();
    setOptionStoponBusy(~0);
    gui_handle_busy();
    gui_send_message(nullptr);
    EXPECT_EQ(current_row, 2);
    EXPECT_EQ(SEND_DELAY, 100);
    stopWatchdog();
}

TEST(Send, BusEventsSkipRetryOrStop) {
    SimLink link;
    ASSERT_TRUE(link.open());
    StdoutCapture out;
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "A2", "W", "02,", 1, 0); // nobody answers at A2
    putRow(3, "4E", "W", "03,", 1, 0);
    setOptionBeeponNak(~0);
    EXPECT_EQ(sendOnce(link).size(), 6u); // the NAK is skipped
    EXPECT_EQ(out.count("Alert!\a\n"), 1);
    setOptionStoponNak(~0);
    EXPECT_EQ(sendOnce(link).size(), 4u); // stopped on the failed row
    pump(30);
    EXPECT_EQ(statusText(), "Slave not acknowledging");
    EXPECT_EQ(current_row, 2);
    EXPECT_EQ(highlightedRow(), 2);

    putRow(2, "4E", "W", "02,", 1, 0);
    setOptionBeeponBusy(~0);
    link.sim.failNext(Fault::Busy, 2);
    EXPECT_EQ(sendOnce(link).size(), 10u); // row 1 tried three times
    EXPECT_EQ(out.count("Alert!\a\n"), 4);
    setOptionStoponBusy(~0);
    link.sim.failNext(Fault::Busy);
    EXPECT_EQ(sendOnce(link).size(), 2u);
    // Still due, after the retry's delay.
    EXPECT_EQ(statusText(), "Busy, trying again in 100 ms");
    EXPECT_EQ(SEND_DATA, 1);
    EXPECT_EQ(SEND_DELAY, 100);

    link.sim.failNext(Fault::ArbitrationLost);
    EXPECT_EQ(sendOnce(link).size(), 6u); // skipped
    setOptionStoponArbloss(~0);
    link.sim.failNext(Fault::ArbitrationLost);
    EXPECT_EQ(sendOnce(link).size(), 2u);
    EXPECT_EQ(statusText(), "Lost arbitration, skipping");
    EXPECT_EQ(current_row, 1);
}

TEST(Send, InterruptsShowAndStartTheList) {
    SimLink link;
    setOptionMonitor(1);
    ASSERT_TRUE(link.open());
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "4E", "W", "02,", 1, 0);

    link.sim.setInterrupt(true); // without Send on /INT it is only shown
    ASSERT_TRUE(pumpUntil([] { return statusText() == "Interrupt asserted"; }));
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(label_int_asserted));
    EXPECT_EQ(getSendMode(), 0);
    link.sim.setInterrupt(false);
    ASSERT_TRUE(pumpUntil([] { return GTK_WIDGET_VISIBLE(label_int_released); }));

    // With it, an assertion starts the list, and one during the run sends it once more.
    setSendonIntCheckbox(1);
    link.sim.setReplyDelay(30);
    link.sim.setInterrupt(true);
    ASSERT_TRUE(pumpUntil([] { return getSendMode() == 1; }));
    ASSERT_TRUE(pumpUntil([&] { return !link.wire().empty(); }));
    dispatchReply("/NSA");
    ASSERT_TRUE(pumpUntil([&] { return link.wire().size() >= 8; }));
    ASSERT_TRUE(runEnds());
    EXPECT_EQ(link.wire().size(), 8u);
    EXPECT_EQ(INT_NEEDS_HANDLING, 0);

    // Unticking Monitor sends its command at once; then /INT lines change nothing shown.
    link.sim.clearReceived();
    gui_intmonitor(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return link.wire() == Wire{"/n0\r"}; }));
    setStatus("unchanged");
    dispatchReply("/NSA");
    EXPECT_EQ(statusText(), "unchanged");
    dispatchReply("/NSR");
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(label_int_asserted));
    gui_intmonitor(nullptr, nullptr); // ticking it again sends its command as well
    EXPECT_TRUE(pumpUntil([&] { return link.wire() == Wire{"/n0\r", "/n1\r"}; }));
}

TEST(Send, NoMessageGoesOutBeforeTheTickAfterItsPredecessorsReply) {
    SimLink link; // answers at once
    ASSERT_TRUE(link.open());
    Wire pass;
    for (int n = 1; n <= LIST_ROWS; ++n) {
        char data[8];
        std::snprintf(data, sizeof data, "%02X,", n);
        putRow(n, "4E", "W", data, 1, 0);
        pass.insert(pass.end(), {"/d4E\r", "/t~" + std::string(data, 2) + "\r"});
    }
    // Row 1 is busy, then not acknowledged on its retry: both moves on wait for the tick too.
    link.sim.failNext(Fault::Busy);
    link.sim.failNext(Fault::Nak);
    pass.insert(pass.begin(), {"/d4E\r", "/t~01\r"});
    sent_from_reply_handler = 0;
    const gint64 start = g_get_monotonic_time();
    EXPECT_EQ(sendOnce(link), pass);
    const gint64 took = g_get_monotonic_time() - start;
    EXPECT_EQ(sent_from_reply_handler, 0);
    // Each message goes out from a tick of its own, and the ticks fall on a 2 ms grid, each on
    // a later grid point than the last: n messages span more than n - 2 periods.
    EXPECT_GT(took, gint64(pass.size() / 2 - 2) * 2000);
}

TEST(Send, LinesBehindACompletionInOneReadLeaveTheNextCommandGuarded) {
    SimLink link;
    setOptionMonitor(1);
    ASSERT_TRUE(link.open());
    link.sim.setInterrupt(true);
    ASSERT_TRUE(pumpUntil([] { return statusText() == "Interrupt asserted"; }));
    putRow(1, "4E", "W", "01,", 1, 0);
    putRow(2, "4E", "W", "02,", 1, 0);
    ErrorBoxCloser closer;
    // A latency timer holds row 1's completion until the /NSR has joined it, so that both
    // come in one read; after that the adapter answers nothing.
    link.sim.setUsbLatency(500); // well inside the 0.9 s that row 1 may wait
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return link.sim.transfers() == 1; }));
    link.sim.setInterrupt(false);
    link.sim.setSilent(true);
    ASSERT_TRUE(pumpUntil([&] { return link.sim.transfers() == 2; }));
    const gint64 sent = g_get_monotonic_time();
    EXPECT_EQ(getSendMode(), 1);
    // The /NSR stopped no watchdog of row 2's: the time-out comes about 1 s after it went.
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }));
    const gint64 waited = g_get_monotonic_time() - sent;
    EXPECT_EQ(closer.texts()[0].substr(0, 33), "Communication time-out detected!\n");
    EXPECT_GE(waited, 850000);
    EXPECT_LT(waited, 2000000);
    // The time-out took the link down with a reset.
    ASSERT_TRUE(pumpUntil([] { return getButtonMode() == 0; }));
    EXPECT_EQ(link.wire(), (Wire{"/d4E\r", "/t~01\r", "/d4E\r", "/t~02\r", "\x12\x12\x12"}));
}
