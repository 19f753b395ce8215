// The serial line on a real pseudo-terminal: line settings as the other side sees them,
// the bytes of every command, the reset pause, descriptor ownership and port discovery.
#include "Tavro.h"
#include "gui_fixture.h"
#include "main.h"
#include "pty_pair.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/stat.h>

namespace {

// A scratch folder holding device-like names, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir() {
        char name[] = "/tmp/sendral-ports-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~ScratchDir() {
        const std::string command = "rm -rf '" + path_ + "'";
        if (std::system(command.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << path_;
    }
    const std::string &path() const { return path_; }
    void touch(const std::string &name) { std::ofstream(path_ + "/" + name) << ""; }

  private:
    std::string path_;
};

} // namespace

TEST(SerialLine, SettingsAsTheAdapterSideSeesThem) {
    PtyPair pty;
    ASSERT_EQ(openSerial(pty.slavePath().c_str()), 1);
    EXPECT_GE(PORT_DESCRIPTOR, 0);
    EXPECT_EQ(getPortDescriptor(), PORT_DESCRIPTOR);

    for (auto [rate, code] : {std::pair{19200, B19200}, {57600, B57600}, {115200, B115200}}) {
        EXPECT_EQ(configureSerial(rate), 0);
        const termios t = pty.settings();
        EXPECT_EQ(cfgetospeed(&t), code) << rate;
        EXPECT_EQ(cfgetispeed(&t), code) << rate;
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_TRUE(t.c_cflag & CREAD);
        EXPECT_TRUE(t.c_cflag & CLOCAL);
        EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        EXPECT_EQ(t.c_iflag, tcflag_t(IXON | IXOFF | IXANY));
        EXPECT_EQ(t.c_oflag, tcflag_t(0));
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        EXPECT_EQ(t.c_cc[VSTART], 17);
        EXPECT_EQ(t.c_cc[VSTOP], 19);
    }
    // A rate the adapter does not know gets the hang-up code.
    configureSerial(9600);
    termios t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B0));

    // Opened without waiting for carrier, then blocking and without O_ASYNC for the link.
    const int flags = fcntl(PORT_DESCRIPTOR, F_GETFL);
    EXPECT_FALSE(flags & O_NONBLOCK);
    EXPECT_FALSE(flags & O_ASYNC);
    closeSerial();
}

TEST(SerialLine, ConfigureDiscardsUnreadInput) {
    PtyPair pty;
    ASSERT_EQ(openSerial(pty.slavePath().c_str()), 1);
    configureSerial(19200);
    pty.write("stale answer\r\n");
    g_usleep(20000);
    configureSerial(57600);
    char buffer[64];
    EXPECT_LE(read(PORT_DESCRIPTOR, buffer, sizeof buffer), 0);
    closeSerial();
}

TEST(SerialLine, ReplyOnAConfiguredLineRaisesNoSignal) {
    // With O_ASYNC a reply would raise SIGIO and its default action ends the process.
    PtyPair pty;
    ASSERT_EQ(openSerial(pty.slavePath().c_str()), 1);
    configureSerial(19200);
    pty.write("/OCC\r\n");
    g_usleep(50000);
    char buffer[64];
    EXPECT_EQ(read(PORT_DESCRIPTOR, buffer, sizeof buffer), 6);
    closeSerial();
}

TEST(SerialLine, EveryCommandReachesTheLineInOrder) {
    PtyPair pty;
    ASSERT_EQ(openSerial(pty.slavePath().c_str()), 1);
    configureSerial(115200);
    StdoutCapture out;
    Tavro_setFlow(0);
    Tavro_setFormat(0);
    Tavro_setAddress("FE");
    Tavro_IntMonitor(1);
    Tavro_clock(100);
    Tavro_baud(57600);
    Tavro_open();
    Tavro_selectSlave("A0");
    Tavro_MTx("~01~A5", 1);
    Tavro_MRx(4, 0);
    Tavro_STx("Hello, World!");
    Tavro_QueryIntMon();
    Tavro_close();
    const std::string expected = "/f0\r/h1\r/iFE\r/n1\r/K2\r/b1\r/o\r/dA0\r/t~01~A5\r/*r4\r"
                                 "/sHello, World!\r/n\r/c\r";
    EXPECT_EQ(pty.read(1000, expected.size()), expected);
    EXPECT_EQ(out.count("\n> "), 12); // one trace line per command (13 with the first)
    closeSerial();
}

TEST(SerialLine, ResetSendsThreeDc2AndPauses) {
    PtyPair pty;
    ASSERT_EQ(openSerial(pty.slavePath().c_str()), 1);
    configureSerial(19200);
    const gint64 start = g_get_monotonic_time();
    Tavro_reset();
    EXPECT_GE(g_get_monotonic_time() - start, 20000);
    EXPECT_EQ(pty.read(500, 3), std::string("\x12\x12\x12"));
    closeSerial();
}

TEST(SerialLine, WritesReportWhetherEverythingWentOut) {
    PtyPair pty;
    ASSERT_EQ(openSerial(pty.slavePath().c_str()), 1);
    EXPECT_EQ(writeSerial(""), 1);
    EXPECT_EQ(writeSerial("/o\r"), 1);
    closeSerial();
    // A closed port never aims a write at a descriptor number the system may reuse.
    EXPECT_EQ(PORT_DESCRIPTOR, -1);
    EXPECT_EQ(writeSerial("/o\r"), 0);
}

TEST(SerialLine, OpeningOwnsExactlyOneDescriptor) {
    PtyPair first;
    PtyPair second;
    ASSERT_EQ(openSerial(first.slavePath().c_str()), 1);
    const int old = PORT_DESCRIPTOR;
    ASSERT_EQ(openSerial(second.slavePath().c_str()), 1);
    EXPECT_EQ(fcntl(old, F_GETFD), -1) << "the earlier descriptor leaked";
    EXPECT_EQ(openSerial("/nonexistent/port"), 0);
    EXPECT_EQ(PORT_DESCRIPTOR, -1);
    EXPECT_EQ(closeSerial(), 0);
}

TEST(PortDiscovery, ProbesTenNumbersAndStoresWhatOpens) {
    ScratchDir dir;
    PtyPair pty;
    ASSERT_EQ(symlink(pty.slavePath().c_str(), (dir.path() + "/tty2").c_str()), 0);
    dir.touch("tty7");
    const std::string prefix = dir.path() + "/tty";

    serial_port_count = 0;
    StdoutCapture out;
    detectSpecificPorts(prefix.c_str());
    std::string expected;
    for (int i = 0; i <= 9; ++i) {
        expected += "Checking " + prefix + std::to_string(i) + "...";
        expected += (i == 2 || i == 7) ? " opens!\n" : "\n";
    }
    EXPECT_EQ(out.text(), expected);
    ASSERT_EQ(getNumDetectedPorts(), 2);
    EXPECT_EQ(std::string(getDetectedPort(0)), prefix + "2");
    EXPECT_EQ(std::string(getDetectedPort(1)), prefix + "7");
    EXPECT_STREQ(getDetectedPort(2), "");
    EXPECT_STREQ(getDetectedPort(-1), "");
    // Each port found is closed again at once.
    EXPECT_EQ(PORT_DESCRIPTOR, -1);
}

TEST(PortDiscovery, KeepsTenNamesAndStillPrintsEveryLine) {
    ScratchDir a;
    ScratchDir b;
    for (int i = 0; i <= 9; ++i) {
        a.touch("p" + std::to_string(i));
        b.touch("p" + std::to_string(i));
    }
    serial_port_count = 0;
    StdoutCapture out;
    detectSpecificPorts((a.path() + "/p").c_str());
    detectSpecificPorts((b.path() + "/p").c_str());
    EXPECT_EQ(out.count(" opens!\n"), 20);
    EXPECT_EQ(getNumDetectedPorts(), 10);
    EXPECT_EQ(std::string(getDetectedPort(9)), a.path() + "/p9");
}

TEST(PortDiscovery, ProbesTheFourFamiliesInOrder) {
    StdoutCapture out;
    detectPorts();
    const std::string text = out.text();
    std::vector<std::string> names;
    for (const char *prefix : {"/dev/ttyS", "/dev/ttyUSB", "/dev/tts/", "/dev/usb/tts/"})
        for (int i = 0; i <= 9; ++i)
            names.push_back(std::string("Checking ") + prefix + std::to_string(i) + "...");
    std::size_t at = 0;
    for (const auto &name : names) {
        const std::size_t found = text.find(name, at);
        ASSERT_NE(found, std::string::npos) << name;
        at = found + name.size();
    }
    EXPECT_EQ(out.count("Checking "), 40);
    EXPECT_LE(getNumDetectedPorts(), 10);
}
