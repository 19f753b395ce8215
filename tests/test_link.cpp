// Reply framing as byte sequences, dispatch, and opening and closing the link against the
// adapter simulator on a real pseudo-terminal.
#include "gui_callbacks.h"
#include "gui_fixture.h"
#include "gui_manipulate.h"
#include "list_helpers.h"
#include "main.h"
#include "serial.h"
#include "watchdog.h"
#include "Tavro.h"

#include "tavrosim/pty_simulator.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

using tavrosim::PtySimulator;
using tavrosim::Received;
using tavrosim::Variant;

namespace {

// ---- Framing ------------------------------------------------------------------------------

std::vector<std::string> lines;
void collect(const std::string &line) {
    lines.push_back(line);
}

struct Framer {
    char buffer[SERIAL_BUFFER_SIZE] = {};
    int count = 0;
    int between = 1;
    ReplyFramer framer{buffer, sizeof buffer, count, between};
    Framer() { lines.clear(); }
    void feed(const std::string &bytes) { framer.feed(bytes.data(), bytes.size(), collect); }
};

using Lines = std::vector<std::string>;

// ---- The link -----------------------------------------------------------------------------

std::string statusText() {
    return gtk_entry_get_text(GTK_ENTRY(status));
}

void chooseVariant(int variant) {
    GtkWidget *radio[] = {rb1, rb2, rb3};
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio[variant]), TRUE);
}

void choosePort(const std::string &path) {
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry), path.c_str());
}

// Presses Open Link and waits for the link to count as open; returns the time it took.
double openLink(PtySimulator &sim, int variant) {
    ensureMainWindow();
    configureWatchdog();
    chooseVariant(variant);
    choosePort(sim.slavePath());
    const gint64 start = g_get_monotonic_time();
    gui_open(nullptr, nullptr);
    EXPECT_TRUE(pumpUntil([] { return getButtonMode() == 1; }, 3000)) << statusText();
    return double(g_get_monotonic_time() - start) / 1000.0;
}

bool closeLink() {
    gui_close(nullptr, nullptr);
    return pumpUntil([] { return getButtonMode() == 0 && PORT_DESCRIPTOR == -1; }, 3000);
}

// The commands after the resets, as (bytes, line rate) pairs.
std::vector<std::pair<std::string, int>> commandsAfterResets(const std::vector<Received> &log) {
    std::vector<std::pair<std::string, int>> out;
    for (const auto &r : log)
        if (r.bytes.find('\x12') == std::string::npos)
            out.emplace_back(r.bytes, r.rate);
    return out;
}

std::vector<int> resetRates(const std::vector<Received> &log) {
    std::vector<int> rates;
    for (const auto &r : log)
        if (r.bytes == std::string("\x12\x12\x12"))
            rates.push_back(r.rate);
    return rates;
}

struct SimRun {
    PtySimulator sim;
    explicit SimRun(Variant v, int rate = tavrosim::kResetRate) : sim(v, rate) {
        sim.start();
        sim.startThread();
    }
};

} // namespace

TEST(Framing, LinesAcrossAndWithinReads) {
    Framer f;
    f.feed("/MTC\r");
    EXPECT_EQ(lines, Lines{"/MTC"});

    Framer split;
    split.feed("/MT");
    split.feed("C\r");
    EXPECT_EQ(lines, Lines{"/MTC"});

    // A line end that comes in a read of its own still ends the line it belongs to.
    Framer late_end;
    late_end.feed("/MTC");
    late_end.feed("\r\n");
    EXPECT_EQ(lines, Lines{"/MTC"});
    late_end.feed("/MRC 0A\r\n");
    EXPECT_EQ(lines, (Lines{"/MTC", "/MRC 0A"}));

    Framer several;
    several.feed("/OCC\r\n/MTC\r\n");
    EXPECT_EQ(lines, (Lines{"/OCC", "/MTC"}));

    Framer stars;
    stars.feed("**/OCC\r");
    stars.feed("\n*\r\n*/MTC*\r");
    EXPECT_EQ(lines, (Lines{"/OCC", "/MTC*"})); // inside a reply "*" is text

    Framer read_data;
    read_data.feed("/MRC 0A 1B\r");
    EXPECT_EQ(lines, Lines{"/MRC 0A 1B"});
}

TEST(Framing, StrayTextNulAndOverlongLines) {
    // Text without a leading "/" is dropped when a reply starts in a later segment...
    Framer dropped;
    dropped.feed("noise");
    dropped.feed("/OCC\r");
    EXPECT_EQ(lines, Lines{"/OCC"});
    // ...and dispatched as a line of its own when its line end comes first.
    Framer junk;
    junk.feed("junk\r/CCC\r");
    EXPECT_EQ(lines, (Lines{"junk", "/CCC"}));

    // A NUL ends what a read delivers; the line waits for its end.
    Framer nul;
    nul.feed(std::string("/MT\0C\r/OCC\r", 11));
    EXPECT_TRUE(lines.empty());
    nul.feed("C\r");
    EXPECT_EQ(lines, Lines{"/MTC"});

    // A line keeps its first 254 characters; the rest up to its end is dropped.
    Framer longline;
    const std::string body(400, 'x');
    longline.feed("/XYZ" + body.substr(0, 150));
    longline.feed(body.substr(150) + "\r\n/OCC\r\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 254u);
    EXPECT_EQ(lines[0].substr(0, 4), "/XYZ");
    EXPECT_EQ(lines[1], "/OCC");
    EXPECT_EQ(longline.buffer[254], '\0');
}

TEST(Dispatch, UnknownCodesAndUnaskedReplies) {
    ensureMainWindow();
    stopWatchdog();
    dispatchReply("/XYZ");
    EXPECT_EQ(statusText(), "/XYZ");
    EXPECT_EQ(WATCHDOG, 1); // an awaited reply is still awaited, afresh
    EXPECT_EQ(WT, 0);

    stopWatchdog();
    for (const char *line : {"/", "/MT", "x"}) {
        dispatchReply(line);
        EXPECT_EQ(statusText(), line);
    }
    stopWatchdog();
    dispatchReply("/STC");
    EXPECT_EQ(statusText(), "Recieved slave transmit complete.");
    dispatchReply("/SRC 01 02");
    EXPECT_EQ(statusText(), "Recieved data from a master, ignoring.");
    EXPECT_EQ(WATCHDOG, 0);
}

// Line noise can bring any bytes. The status line shows them as valid UTF-8, the only text
// GTK takes, and a completion whose read bytes are not hex digits is garbled: it leaves the
// row alone and the reply is awaited still.
TEST(Dispatch, LineNoiseReachesTheWindowOnlyAsValidText) {
    ensureMainWindow();
    eraseRows();
    putRow(1, "A0", "R", "FF,FF,");
    stopWatchdog();
    for (const std::string line : {"/X\xf2", "/MRC \xff\xfe 0A", "/MRC 0A 1Z", "/MTC x\xc3z"}) {
        selectRowNumber(1);
        dispatchReply(line);
        const std::string shown = statusText();
        EXPECT_TRUE(g_utf8_validate(shown.c_str(), -1, nullptr)) << line;
        EXPECT_EQ(shown.substr(0, 2), line.substr(0, 2));
        EXPECT_EQ(row(1), "1|A0|R|FF,FF,|1|1") << line;
        EXPECT_EQ(current_row, 1) << line;
        EXPECT_EQ(WATCHDOG, 1) << line;
        stopWatchdog();
    }
    EXPECT_EQ(statusText(), "/MTC x\xef\xbf\xbdz");

    // Well-formed bytes still come back, an incomplete last group still ignored.
    dispatchReply("/MRC 0a 1B 7");
    EXPECT_EQ(row(1), "1|A0|R|0a,1B,|1|1");
    EXPECT_EQ(statusText(), "Read completed successfully");
}

TEST(Link, OpeningBytesAndRatesForEachVariant) {
    struct Case {
        Variant variant;
        int radio;
        bool monitor;
        std::vector<std::pair<std::string, int>> commands;
    } cases[] = {
        {Variant::Sol,
         0,
         false,
         {{"/f0\r", 19200}, {"/h1\r", 19200}, {"/iFE\r", 19200}, {"/o\r", 19200}}},
        {Variant::Solx,
         1,
         false,
         {{"/K2\r", 19200},
          {"/b2\r", 19200},
          {"/f0\r", 115200},
          {"/h1\r", 115200},
          {"/iFE\r", 115200},
          {"/n0\r", 115200},
          {"/o\r", 115200}}},
        {Variant::Dyn,
         2,
         true,
         {{"/K2\r", 19200},
          {"/b2\r", 19200},
          {"/f0\r", 115200},
          {"/h1\r", 115200},
          {"/iFE\r", 115200},
          {"/n1\r", 115200},
          {"/o\r", 115200}}},
    };
    ensureMainWindow();
    for (const Case &c : cases) {
        SimRun run(c.variant);
        setOptionMonitor(c.monitor ? 1 : 0);
        const double ms = openLink(run.sim, c.radio);
        std::printf("opening time, variant %d: %.1f ms\n", c.radio, ms);
        EXPECT_EQ(statusText(), "Connected.  I2C link is now open.");
        const auto log = run.sim.received();
        EXPECT_EQ(resetRates(log), (std::vector<int>{115200, 57600, 19200}));
        EXPECT_EQ(commandsAfterResets(log), c.commands);
        EXPECT_EQ(INT_NEEDS_HANDLING, 0);

        ASSERT_TRUE(closeLink());
        EXPECT_EQ(statusText(), "Link Closed");
        EXPECT_EQ(SERIAL_CALLBACK_ID, 0u);
        const auto after = run.sim.received();
        ASSERT_GE(after.size(), 2u);
        EXPECT_EQ(after[after.size() - 2].bytes, "/c\r");
        EXPECT_EQ(after.back().bytes, std::string("\x12\x12\x12"));
    }
}

TEST(Link, OpensFromEveryRateTheAdapterWasLeftAt) {
    for (int left_at : {19200, 57600, 115200}) {
        SimRun run(Variant::Dyn, left_at);
        openLink(run.sim, 2);
        EXPECT_EQ(getButtonMode(), 1) << "adapter left at " << left_at;
        EXPECT_EQ(run.sim.adapterRate(), 115200);
        ASSERT_TRUE(closeLink());
    }
}

TEST(Link, EveryBitRateReplyContinuesTheOpening) {
    ensureMainWindow();
    chooseVariant(1);
    for (int rate : {19200, 57600, 115200}) {
        SimRun run(Variant::Solx);
        chooseVariant(1);
        baudrate_value = rate;
        choosePort(run.sim.slavePath());
        gui_open(nullptr, nullptr);
        EXPECT_TRUE(pumpUntil([] { return getButtonMode() == 1; }, 3000)) << rate;
        EXPECT_EQ(run.sim.lineRate(), rate);
        ASSERT_TRUE(closeLink());
    }
}

TEST(Link, SilentAdapterTimesOutAndOpenLinkStartsAfresh) {
    SimRun run(Variant::Solx);
    ensureMainWindow();
    configureWatchdog();
    run.sim.setSilent(true);
    chooseVariant(1);
    choosePort(run.sim.slavePath());
    ErrorBoxCloser closer;
    gui_open(nullptr, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }, 2500));
    EXPECT_EQ(getButtonMode(), 0);
    EXPECT_GE(PORT_DESCRIPTOR, 0); // left open and watched
    const int stale = PORT_DESCRIPTOR;

    run.sim.setSilent(false);
    gui_open(nullptr, nullptr);
    EXPECT_TRUE(pumpUntil([] { return getButtonMode() == 1; }, 3000));
    EXPECT_EQ(closer.texts().size(), 1u);
    EXPECT_TRUE(stale == PORT_DESCRIPTOR || fcntl(stale, F_GETFD) == -1)
        << "the earlier opening's descriptor leaked";
    ASSERT_TRUE(closeLink());
}

TEST(Link, InvalidCommandClosesTheLinkInEveryState) {
    ensureMainWindow();
    configureWatchdog();
    {
        // Opening a Sol as a Solx: its "/K" is refused.
        SimRun run(Variant::Sol);
        chooseVariant(1);
        choosePort(run.sim.slavePath());
        ErrorBoxCloser closer;
        gui_open(nullptr, nullptr);
        ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }, 3000));
        EXPECT_EQ(closer.texts()[0],
                  "Invalid command.  Make sure you have selected the correct device!");
        EXPECT_TRUE(pumpUntil([] { return PORT_DESCRIPTOR == -1; }, 2000));
        EXPECT_EQ(statusText(), "Link Closed");
    }
    {
        // While open: the adapter refuses a transfer.
        SimRun run(Variant::Solx);
        openLink(run.sim, 1);
        run.sim.failNext(tavrosim::Fault::Invalid);
        ErrorBoxCloser closer;
        Tavro_selectSlave("A0");
        Tavro_MTx("~00", 1);
        ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }, 3000));
        EXPECT_TRUE(pumpUntil([] { return getButtonMode() == 0 && PORT_DESCRIPTOR == -1; }, 2000));
        EXPECT_EQ(run.sim.received().back().bytes, std::string("\x12\x12\x12"));
    }
}

TEST(Link, AnswersASlaveTransmitRequest) {
    SimRun run(Variant::Solx);
    openLink(run.sim, 1);
    run.sim.requestSlaveTransmit();
    EXPECT_TRUE(pumpUntil(
        [&] {
            for (const auto &r : run.sim.received())
                if (r.bytes == "/sHello, World!\r")
                    return true;
            return false;
        },
        2000));
    pumpUntil([&] { return statusText() == "Recieved slave transmit complete."; }, 2000);
    EXPECT_EQ(statusText(), "Recieved slave transmit complete.");
    ASSERT_TRUE(closeLink());
}

TEST(Link, AdapterVanishingClosesTheLinkWithoutSpinning) {
    SimRun run(Variant::Dyn);
    openLink(run.sim, 2);
    ErrorBoxCloser closer;
    run.sim.vanish();
    ASSERT_TRUE(pumpUntil([&] { return !closer.texts().empty(); }, 3000));
    EXPECT_NE(closer.texts()[0].find("Lost the connection to the Tavro"), std::string::npos);
    EXPECT_EQ(getButtonMode(), 0);
    EXPECT_EQ(PORT_DESCRIPTOR, -1);
    EXPECT_EQ(SERIAL_CALLBACK_ID, 0u);
    EXPECT_TRUE(GTK_WIDGET_IS_SENSITIVE(button_open));
    EXPECT_EQ(statusText(), "Link Closed");

    // Nothing keeps polling a dead descriptor.
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    pump(500);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double cpu_ms = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000.0 +
                          (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1000.0;
    EXPECT_LT(cpu_ms, 150.0);
}
