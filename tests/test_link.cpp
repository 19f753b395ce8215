// Opening and closing the link against the simulator, and what the program does with the
// replies and lines it did not ask for.
#include "support.h"

#include <fcntl.h>
#include <sys/resource.h>

using tavrosim::Variant;

namespace {

struct Opening {
    Variant variant;
    int left_at, rate;
    bool monitor;
};

class OpeningTest : public ::testing::TestWithParam<Opening> {};

} // namespace

TEST_P(OpeningTest, FromAnyRateTheAdapterWasLeftAt) {
    const Opening c = GetParam();
    SimLink link(c.variant, c.left_at);
    baudrate_value = c.rate;
    setOptionMonitor(c.monitor);
    const gint64 start = g_get_monotonic_time();
    gui_open(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([] { return getButtonMode() == 1; })) << statusText();
    std::printf("opening took %.1f ms\n", double(g_get_monotonic_time() - start) / 1000);
    EXPECT_EQ(statusText(), "Connected.  I2C link is now open.");
    EXPECT_FALSE(GTK_WIDGET_IS_SENSITIVE(serial_port));
    EXPECT_TRUE(GTK_WIDGET_IS_SENSITIVE(button_send));

    const std::string reset(3, '\x12');
    std::vector<std::pair<std::string, int>> expected = {
        {reset, 115200}, {reset, 57600}, {reset, 19200}};
    if (c.variant != Variant::Sol) {
        expected.push_back({"/K2\r", 19200});
        expected.push_back({c.rate == 19200   ? "/b0\r"
                            : c.rate == 57600 ? "/b1\r"
                                              : "/b2\r",
                            19200});
    }
    for (const char *command : {"/f0\r", "/h1\r", "/iFE\r"})
        expected.push_back({command, c.rate});
    if (c.variant != Variant::Sol)
        expected.push_back({c.monitor ? "/n1\r" : "/n0\r", c.rate});
    expected.push_back({"/o\r", c.rate});
    std::vector<std::pair<std::string, int>> seen;
    for (const auto &r : link.sim.received())
        seen.push_back({r.bytes, r.rate});
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(link.sim.adapterRate(), c.rate);

    link.sim.clearReceived();
    ASSERT_TRUE(link.close());
    EXPECT_EQ(statusText(), "Link Closed");
    EXPECT_EQ(SERIAL_CALLBACK_ID, 0u);
    EXPECT_TRUE(GTK_WIDGET_IS_SENSITIVE(button_open));
    EXPECT_EQ(link.wire(), (std::vector<std::string>{"/c\r", reset}));
}

INSTANTIATE_TEST_SUITE_P(Link, OpeningTest,
                         ::testing::Values(Opening{Variant::Sol, 19200, 19200, false},
                                           Opening{Variant::Solx, 57600, 19200, false},
                                           Opening{Variant::Dyn, 115200, 57600, true},
                                           Opening{Variant::Solx, 19200, 115200, true}),
                         [](const ::testing::TestParamInfo<Opening> &info) {
                             return std::string(tavrosim::variantName(info.param.variant)) +
                                    std::to_string(info.param.left_at) + "to" +
                                    std::to_string(info.param.rate);
                         });

TEST(Link, SilentAdapterTimesOutAndOpenLinkStartsAfresh) {
    SimLink link;
    link.sim.setSilent(true);
    ErrorBoxCloser closer;
    gui_open(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }));
    EXPECT_EQ(getButtonMode(), 0);
    const int stale = getPortDescriptor();
    EXPECT_GE(stale, 0); // left open and watched

    link.sim.setSilent(false);
    EXPECT_TRUE(link.open());
    EXPECT_EQ(closer.texts().size(), 1u);
    EXPECT_TRUE(stale == getPortDescriptor() || fcntl(stale, F_GETFD) == -1)
        << "the earlier opening's descriptor leaked";
}

TEST(Link, InvalidCommandClosesTheLink) {
    ErrorBoxCloser closer;
    {
        SimLink sol(Variant::Sol); // opened as a Solx: its "/K" is refused
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
        gui_open(nullptr, nullptr);
        ASSERT_TRUE(pumpUntil([] { return getPortDescriptor() == -1; }));
        EXPECT_EQ(closer.texts().at(0),
                  "Invalid command.  Make sure you have selected the correct device!");
    }
    SimLink link;
    ASSERT_TRUE(link.open());
    link.sim.failNext(tavrosim::Fault::Invalid);
    putRow(1, "A0", "W", "00,");
    gui_send(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([] { return getButtonMode() == 0 && getPortDescriptor() == -1; }));
    EXPECT_EQ(link.wire().back(), std::string(3, '\x12'));
    EXPECT_EQ(getSendMode(), 0);
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
    // watchdog; a completion whose read bytes are not hex digits leaves the row alone.
    putRow(1, "A0", "R", "FF,FF,");
    for (const std::string line : {"/X\xf2", "/MRC \xff\xfe 0A", "/MRC 0A 1Z", "/MTC x\xc3z"}) {
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
}

TEST(Link, AdapterVanishingClosesTheLinkWithoutSpinning) {
    SimLink link(Variant::Dyn);
    ASSERT_TRUE(link.open());
    ErrorBoxCloser closer;
    link.sim.vanish();
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }));
    EXPECT_NE(closer.texts()[0].find("Lost the connection to the Tavro"), std::string::npos);
    EXPECT_EQ(getButtonMode(), 0);
    EXPECT_EQ(getPortDescriptor(), -1);
    EXPECT_EQ(SERIAL_CALLBACK_ID, 0u);
    EXPECT_EQ(statusText(), "Link Closed");

    // Nothing keeps polling the dead descriptor: half a second of main loop costs little.
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    pump(500);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT((after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000.0 +
                  (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1000.0,
              150.0);
}
