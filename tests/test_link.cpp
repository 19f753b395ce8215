// Opening and closing the link against the simulator, and what the program does with the
// replies and lines it did not ask for.
#include "support.h"

#include <fcntl.h>
#include <sys/resource.h>

using tavrosim::Variant;

TEST(Link, OpensFromAnyRateTheAdapterWasLeftAt) {
    // Variant, the rate it was left at, the rate chosen, the monitor, and the commands as they
    // arrived ("R" a reset), each at the host's line rate.
    const std::string resets = "R@115200 R@57600 R@19200 ";
    const struct {
        Variant variant;
        int left_at, rate;
        bool monitor;
        std::string commands;
    } cases[] = {{Variant::Sol, 19200, 19200, false, "/f0@19200 /h1@19200 /iFE@19200 /o@19200 "},
                 {Variant::Solx, 57600, 19200, false,
                  "/K2@19200 /b0@19200 /f0@19200 /h1@19200 /iFE@19200 /n0@19200 /o@19200 "},
                 {Variant::Dyn, 115200, 57600, true,
                  "/K2@19200 /b1@19200 /f0@57600 /h1@57600 /iFE@57600 /n1@57600 /o@57600 "},
                 {Variant::Solx, 19200, 115200, true,
                  "/K2@19200 /b2@19200 /f0@115200 /h1@115200 /iFE@115200 /n1@115200 /o@115200 "}};
    for (const auto &c : cases) {
        SimLink link(c.variant, c.left_at);
        baudrate_value = c.rate;
        setOptionMonitor(c.monitor);
        gui_open(nullptr, nullptr);
        ASSERT_TRUE(pumpUntil([] { return getButtonMode() == 1; })) << statusText();
        EXPECT_EQ(statusText(), "Connected.  I2C link is now open.");
        EXPECT_FALSE(GTK_WIDGET_IS_SENSITIVE(serial_port));
        EXPECT_TRUE(GTK_WIDGET_IS_SENSITIVE(button_send));
        std::string seen;
        for (const auto &r : link.sim.received())
            seen += (r.bytes[0] == '\x12' ? "R" : r.bytes.substr(0, r.bytes.size() - 1)) + "@" +
                    std::to_string(r.rate) + " ";
        EXPECT_EQ(seen, resets + c.commands);

        link.sim.clearReceived();
        ASSERT_TRUE(link.close());
        EXPECT_EQ(statusText(), "Link Closed");
        EXPECT_EQ(SERIAL_CALLBACK_ID, 0u);
        EXPECT_TRUE(GTK_WIDGET_IS_SENSITIVE(button_open));
        EXPECT_EQ(link.wire(), (std::vector<std::string>{"/c\r", std::string(3, '\x12')}));
    }
}

TEST(Link, SilentAdapterTimesOutAndOpenLinkStartsAfresh) {
    SimLink link;
    link.sim.setSilent(true);
    ErrorBoxCloser closer;
    gui_open(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }));
    EXPECT_EQ(getButtonMode(), 0);
    const int stale = getPortDescriptor();
    const guint stale_watch = SERIAL_CALLBACK_ID;
    EXPECT_GE(stale, 0); // left open and watched

    link.sim.setSilent(false);
    EXPECT_TRUE(link.open());
    EXPECT_EQ(closer.texts().size(), 1u);
    EXPECT_TRUE(stale == getPortDescriptor() || fcntl(stale, F_GETFD) == -1)
        << "the earlier opening's descriptor leaked";
    EXPECT_EQ(g_main_context_find_source_by_id(nullptr, stale_watch), nullptr); // and its watch
    EXPECT_TRUE(link.close());
}

TEST(Link, LinesNobodyAskedFor) {
    SimLink link;
    ASSERT_TRUE(link.open());
    startWatchdog(); // every line that comes stops it, whatever its code
    link.sim.requestSlaveTransmit();
    EXPECT_TRUE(pumpUntil([] { return statusText() == "Recieved slave transmit complete."; }));
    EXPECT_EQ(link.wire(), std::vector<std::string>{"/sHello, World!\r"});
    link.sim.deliverFromMaster({1, 2});
    EXPECT_TRUE(pumpUntil([] { return statusText() == "Recieved data from a master, ignoring."; }));
    EXPECT_EQ(WATCHDOG, 0);

    // A line of unknown code is shown, as valid text however noisy, and re-arms the
    // watchdog; a read completion whose bytes are not hex digits leaves the row alone.
    putRow(1, "A0", "R", "FF,FF,");
    putRow(2, "4E", "W", "01,");
    for (const std::string line : {"/X\xf2", "/MRC \xff\xfe 0A", "/MRC 0A 1Z"}) {
        selectRowNumber(1);
        stopWatchdog();
        dispatchReply(line);
        EXPECT_TRUE(g_utf8_validate(statusText().c_str(), -1, nullptr)) << line;
        EXPECT_EQ(statusText().substr(0, 2), line.substr(0, 2));
        EXPECT_EQ(row(1), "1|A0|R|FF,FF,|1|1") << line;
        EXPECT_EQ(WATCHDOG, 1) << line;
    }
    stopWatchdog();
    selectRowNumber(1);
    dispatchReply("/MTC"); // a stray write reply on a read row keeps the row's bytes
    EXPECT_EQ(row(1), "1|A0|R|FF,FF,|1|1");
    // A write completion carries no data: whatever follows its code, it completes the write.
    dispatchReply("/MTC x\xc3z");
    EXPECT_EQ(statusText(), "Write completed successfully");
    EXPECT_EQ(WATCHDOG, 0);
    EXPECT_TRUE(link.close());
}

// A refused command (during a send) closes the link as Close Link does; an adapter gone closes
// it at once. Either way nothing keeps polling the port: half a second of main loop costs
// little.
TEST(Link, InvalidCommandOrVanishedAdapterClosesTheLinkWithoutSpinning) {
    auto cpu_ms = [] {
        rusage used{};
        getrusage(RUSAGE_SELF, &used);
        return used.ru_utime.tv_sec * 1000.0 + used.ru_utime.tv_usec / 1000.0;
    };
    for (const bool vanish : {false, true}) {
        SimLink link(vanish ? Variant::Dyn : Variant::Solx);
        ASSERT_TRUE(link.open());
        ErrorBoxCloser closer;
        putRow(1, "A0", "W", "00,");
        if (vanish) {
            link.sim.vanish();
        } else {
            link.sim.failNext(tavrosim::Fault::Invalid);
            gui_send(nullptr, nullptr);
        }
        ASSERT_TRUE(
            pumpUntil([&] { return getPortDescriptor() == -1 && !closer.texts().empty(); }));
        EXPECT_EQ(closer.texts()[0],
                  vanish
                      ? "Lost the connection to the Tavro!\n\nThe serial port hung up or failed: "
                        "the adapter may have been unplugged or switched off.  The link is "
                        "closed.\n\nCheck cables, power and serial port, then open the link again."
                      : "Invalid command.  Make sure you have selected the correct device!");
        EXPECT_EQ(getButtonMode(), 0);
        EXPECT_EQ(getSendMode(), 0);
        EXPECT_EQ(SERIAL_CALLBACK_ID, 0u);
        EXPECT_TRUE(pumpUntil([] { return statusText() == "Link Closed"; })) << statusText();
        if (!vanish) {
            EXPECT_EQ(link.wire().back(), std::string(3, '\x12'));
        }
        const double before = cpu_ms();
        pump(500);
        EXPECT_LT(cpu_ms() - before, 150.0) << vanish;
    }
}
