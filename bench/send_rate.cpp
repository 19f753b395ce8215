// AutoRepeat throughput of a 50-message list of one-byte writes with delay 0 against the
// simulated adapter on a pseudo-terminal, the program's CPU per message, and the time the link
// takes to open. First with instant timing, where the window's 2 ms pacing tick sets the pace
// (one message a tick, 500 a second at most): the CPU per message at the tick's rate; then with
// real timing at 19200, 57600 and 115200 bit/s, with and without a USB serial chip's 16 ms
// latency timer, each next to the limit that the line itself sets for that message.
// The CPU is the main thread's: the simulator's thread and the X server are not counted.
// Next to each real timing figure stands what a bare client reaches against the same
// simulator (a blocking write of the message and a read of its reply, nothing else): the
// ceiling that the simulator, the pseudo-terminal and the machine leave to any program.
// Needs a display (run under xvfb-run).
// Usage: send_rate [seconds per figure [bit/s [USB latency ms]]]; a rate picks that one real
// timing figure alone, as a profiler wants it, and "instant" the instant figure alone.
#include "data_text.h"
#include "gui_callbacks.h"
#include "gui_create.h"
#include "gui_manipulate.h"
#include "line_settings.h"
#include "pacing.h"
#include "main.h"
#include "tavro_commands.h"
#include "watchdog.h"

#include "tavrosim/pty_simulator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kBitsPerByte = 10;           // start bit, 8 data bits, stop bit
constexpr double kBusSeconds = 20 / 100e3; // address and data byte with their acknowledges
constexpr const char *kAddress = "4E";
constexpr const char *kData = "A5,";
constexpr const char *kReply = "/MTC\r\n";

struct Figure {
    double opening_ms = 0;
    double per_second = 0;
    double cpu_us = 0; // per message
};

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void pumpFor(gint64 us) {
    const gint64 end = g_get_monotonic_time() + us;
    while (g_get_monotonic_time() < end)
        g_main_context_iteration(nullptr, TRUE);
}

bool pumpUntil(bool (*done)(), gint64 us) {
    const gint64 end = g_get_monotonic_time() + us;
    while (!done() && g_get_monotonic_time() < end)
        g_main_context_iteration(nullptr, TRUE);
    return done();
}

std::size_t commandBytes(const TavroCommand &command) {
    std::size_t bytes = 0;
    for (const std::string &piece : command.pieces)
        bytes += piece.size();
    return bytes;
}

// Bytes on the line per message: the slave select and the write out, the reply back.
std::size_t bytesOut() {
    return commandBytes(buildSelectSlave(kAddress)) +
           commandBytes(buildMTx(transmitText(kData), 1));
}
std::size_t bytesBack() {
    return std::string(kReply).size();
}

// Messages a second that the line allows. Without a latency timer: the bytes both ways and the
// bus time. With one, the reply is held from its first byte for the timer's period, so a round
// trip is the bytes out, the bus time, that first byte and the period.
double lineLimit(int bit_rate, int usb_ms) {
    const double byte_s = double(kBitsPerByte) / bit_rate;
    if (usb_ms == 0)
        return 1 / (double(bytesOut() + bytesBack()) * byte_s + kBusSeconds);
    return 1 / (double(bytesOut() + 1) * byte_s + kBusSeconds + usb_ms / 1000.0);
}

// Opens the link to a fresh simulator, runs the list for `seconds` and closes the link.
Figure measure(tavrosim::Timing timing, int bit_rate, int usb_ms, int seconds) {
    tavrosim::PtySimulator sim(tavrosim::Variant::Solx);
    sim.setTiming(timing);
    sim.setUsbLatency(usb_ms);
    sim.start();
    sim.startThread();
    baudrate_value = bit_rate;
    gtk_entry_set_text(GTK_ENTRY(GTK_COMBO(serial_port)->entry), sim.slavePath().c_str());

    Figure figure;
    const gint64 opening = g_get_monotonic_time();
    gui_open(nullptr, nullptr);
    if (!pumpUntil([] { return getButtonMode() == 1; }, 3 * G_USEC_PER_SEC)) {
        std::fprintf(stderr, "the link did not open at %d bit/s\n", bit_rate);
        std::exit(1);
    }
    figure.opening_ms = double(g_get_monotonic_time() - opening) / 1000.0;

    gui_send(nullptr, nullptr);
    pumpFor(G_USEC_PER_SEC / 2); // settle
    const int first = sim.transfers();
    const double cpu = threadCpuSeconds();
    const gint64 start = g_get_monotonic_time();
    pumpFor(gint64(seconds) * G_USEC_PER_SEC);
    const double elapsed = double(g_get_monotonic_time() - start) / G_USEC_PER_SEC;
    const int messages = sim.transfers() - first;
    figure.per_second = messages / elapsed;
    figure.cpu_us = messages > 0 ? (threadCpuSeconds() - cpu) * 1e6 / messages : 0;
    gui_stop(nullptr, nullptr);
    gui_close(nullptr, nullptr);
    if (!pumpUntil([] { return PORT_DESCRIPTOR == -1; }, 3 * G_USEC_PER_SEC)) {
        std::fprintf(stderr, "the link did not close at %d bit/s\n", bit_rate);
        std::exit(1);
    }
    return figure;
}

// Messages a second of a bare client: the write of the whole message, then reads until its
// reply's line end, for `seconds`.
double clientCeiling(int bit_rate, int usb_ms, int seconds) {
    tavrosim::PtySimulator sim(tavrosim::Variant::Solx, bit_rate);
    sim.setTiming(tavrosim::Timing::Real);
    sim.setUsbLatency(usb_ms);
    sim.start();
    sim.startThread();
    const int fd = open(sim.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios current{};
    tcgetattr(fd, &current);
    const termios wanted = buildLineSettings(current, bit_rate);
    tcsetattr(fd, TCSANOW, &wanted);
    const std::string message = "/o\r";
    const std::string each = "/d" + std::string(kAddress) + "\r/t~" + std::string(kData, 2) + "\r";
    auto transfer = [fd](const std::string &out) {
        if (write(fd, out.data(), out.size()) != ssize_t(out.size()))
            return false;
        for (;;) {
            pollfd ready{fd, POLLIN, 0};
            char buffer[64];
            if (poll(&ready, 1, 1000) != 1)
                return false;
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0 && std::memchr(buffer, '\n', std::size_t(got)) != nullptr)
                return true;
        }
    };
    int messages = 0;
    if (transfer(message)) {
        const gint64 start = g_get_monotonic_time();
        const gint64 end = start + gint64(seconds) * G_USEC_PER_SEC;
        while (g_get_monotonic_time() < end && transfer(each))
            ++messages;
        close(fd);
        return messages / (double(g_get_monotonic_time() - start) / G_USEC_PER_SEC);
    }
    close(fd);
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    const bool instant_only = argc > 2 && std::strcmp(argv[2], "instant") == 0;
    const int only_rate = argc > 2 && !instant_only ? std::atoi(argv[2]) : 0;
    const int only_usb_ms = argc > 3 ? std::atoi(argv[3]) : 0;
    if (!std::freopen("/dev/null", "w", stdout)) // traces are not the point here
        return 1;
    configureWatchdog();
    buildMainWindow(&argc, &argv);
    // Keeps the blocking iterations above from sleeping past the end of a measurement.
    g_timeout_add(
        100, [](gpointer) -> gboolean { return TRUE; }, nullptr);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rb2), TRUE);
    for (int n = 1; n <= LIST_ROWS; ++n) {
        selectRowNumber(n);
        setRow(n, kAddress, "W", kData, 1, 0);
    }
    filled_rows = LIST_ROWS;
    setAutorepeatCheckbox(1);

    if (only_rate == 0) {
        const Figure instant = measure(tavrosim::Timing::Instant, 115200, 0, seconds);
        std::fprintf(
            stderr,
            "instant timing, 115200 bit/s: %.1f messages/s (the tick allows %.0f), %.0f us "
            "of CPU per message; link opened in %.1f ms\n",
            instant.per_second, 1e6 / PACING_TICK_US, instant.cpu_us, instant.opening_ms);
    }

    if (instant_only)
        return 0;
    std::fprintf(stderr,
                 "real timing, a one-byte write with delay 0: %zu bytes out and %zu back per "
                 "message, %d bit times each, and %.1f ms on the bus\n",
                 bytesOut(), bytesBack(), kBitsPerByte, kBusSeconds * 1000);
    std::fprintf(stderr, "%8s  %11s  %10s  %10s  %6s  %12s  %13s  %12s\n", "bit/s", "USB latency",
                 "messages/s", "line limit", "ratio", "bare client", "CPU/message", "link opening");
    for (int bit_rate : {19200, 57600, 115200}) {
        for (int usb_ms : {0, 16}) {
            if (only_rate != 0 && (bit_rate != only_rate || usb_ms != only_usb_ms))
                continue;
            const Figure real = measure(tavrosim::Timing::Real, bit_rate, usb_ms, seconds);
            const double limit = lineLimit(bit_rate, usb_ms);
            const double ceiling = clientCeiling(bit_rate, usb_ms, seconds);
            char latency[16];
            std::snprintf(latency, sizeof latency, usb_ms ? "%d ms" : "none", usb_ms);
            std::fprintf(stderr, "%8d  %11s  %10.1f  %10.1f  %6.2f  %12.2f  %10.0f us  %9.1f ms\n",
                         bit_rate, latency, real.per_second, limit, real.per_second / limit,
                         ceiling / limit, real.cpu_us, real.opening_ms);
        }
    }
    return 0;
}
