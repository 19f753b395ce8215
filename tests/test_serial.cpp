// The serial line on a real pseudo-terminal: the settings as the other side sees them, no
// signal from a reply, the reset's pause, and one descriptor owned.
#include "support.h"

#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>

// While fake_ports is set, every /dev/ttyS and /dev/ttyUSB name opens (as /dev/null): twenty
// ports that open, twice what the port table holds.
static bool fake_ports = false;

extern "C" int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (fake_ports &&
        (g_str_has_prefix(path, "/dev/ttyS") || g_str_has_prefix(path, "/dev/ttyUSB")))
        path = "/dev/null";
    static const auto next =
        reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(RTLD_NEXT, "open"));
    return next(path, flags, mode);
}

namespace {

// The far end of a pseudo-terminal, where the adapter would be.
struct FarEnd {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    std::string path = (grantpt(master), unlockpt(master), ptsname(master));
    ~FarEnd() { close(master); }
    termios settings() const {
        termios t{};
        tcgetattr(master, &t);
        return t;
    }
    std::string read() const {
        char buffer[256];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, std::size_t(n)) : "";
    }
};

} // namespace

TEST(SerialLine, SettingsAsTheAdapterSideSeesThemAndNoSignal) {
    FarEnd pty;
    ASSERT_EQ(openSerial(pty.path.c_str()), 1);
    for (auto [rate, code] : {std::pair{19200, B19200}, {57600, B57600}, {115200, B115200}}) {
        EXPECT_EQ(configureSerial(rate), 0);
        const termios t = pty.settings();
        EXPECT_EQ(cfgetospeed(&t), code);
        EXPECT_EQ(cfgetispeed(&t), code);
        EXPECT_EQ(t.c_cflag & (CSIZE | CREAD | CLOCAL | PARENB | CSTOPB | CRTSCTS),
                  tcflag_t(CS8 | CREAD | CLOCAL));
        EXPECT_EQ(t.c_iflag, tcflag_t(IXON | IXOFF | IXANY));
        EXPECT_EQ(t.c_oflag, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(std::string({char(t.c_cc[VMIN]), char(t.c_cc[VTIME]), char(t.c_cc[VSTART]),
                               char(t.c_cc[VSTOP])}),
                  std::string({0, 0, 17, 19}));
    }
    configureSerial(9600); // a rate the adapter does not know gets the hang-up code
    termios t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B0));

    // Unread input goes at each line change; a reply raises no signal (O_ASYNC would).
    configureSerial(19200);
    ASSERT_EQ(write(pty.master, "stale\r\n", 7), 7);
    ASSERT_TRUE(pumpUntil([] {
        pollfd p{getPortDescriptor(), POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }));
    configureSerial(19200);
    ASSERT_EQ(write(pty.master, "/OCC\r\n", 6), 6);
    char buffer[64];
    ASSERT_TRUE(pumpUntil([&] { return read(getPortDescriptor(), buffer, sizeof buffer) > 0; }));
    EXPECT_EQ(std::string(buffer, 4), "/OCC");
    EXPECT_FALSE(fcntl(getPortDescriptor(), F_GETFL) & (O_NONBLOCK | O_ASYNC));

    const gint64 start = g_get_monotonic_time();
    Tavro_reset();
    EXPECT_GE(g_get_monotonic_time() - start, 20000); // the adapter's pause after a reset
    EXPECT_EQ(pty.read(), std::string(3, '\x12'));
    closeSerial();
}

TEST(SerialLine, DiscoveryKeepsTheFirstTenAndOneDescriptorIsOwned) {
    // Before any port, a command must not reach descriptor 0 (made a pipe here).
    int pipe_ends[2];
    ASSERT_EQ(pipe2(pipe_ends, O_NONBLOCK), 0);
    dup2(pipe_ends[1], 0);
    gui_intmonitor(nullptr, nullptr);
    char c;
    EXPECT_EQ(read(pipe_ends[0], &c, 1), -1);

    // Discovery probes forty names, closes again what opens, and keeps the first ten of the
    // twenty that open here.
    StdoutCapture out;
    const int free_before = dup(0);
    close(free_before);
    fake_ports = true;
    detectPorts();
    fake_ports = false;
    EXPECT_EQ(out.count("Checking /dev/"), 40);
    EXPECT_EQ(out.count("Checking /dev/usb/tts/9...") + out.count("Checking /dev/ttyS0..."), 2);
    EXPECT_EQ(out.count(" opens!\n"), 20);
    ASSERT_EQ(getNumDetectedPorts(), MAX_SERIAL_PORTS);
    for (int i = 0; i < MAX_SERIAL_PORTS; ++i)
        EXPECT_EQ(std::string(getDetectedPort(i)), "/dev/ttyS" + std::to_string(i));
    EXPECT_EQ(std::string(getDetectedPort(MAX_SERIAL_PORTS)), "");
    EXPECT_EQ(getPortDescriptor(), -1);
    const int free_after = dup(0);
    close(free_after);
    EXPECT_EQ(free_after, free_before) << "a port's descriptor was left open";

    FarEnd first, second;
    ASSERT_EQ(openSerial(first.path.c_str()), 1);
    const int old = getPortDescriptor();
    ASSERT_EQ(openSerial(second.path.c_str()), 1);
    EXPECT_EQ(fcntl(old, F_GETFD), -1) << "the earlier descriptor leaked";
    EXPECT_EQ(closeSerial(), 0);
    EXPECT_EQ(getPortDescriptor(), -1);
    EXPECT_EQ(writeSerial("/o\r"), 0);
    EXPECT_EQ(openSerial("/nonexistent/port"), 0);
    EXPECT_EQ(getPortDescriptor(), -1);
}
