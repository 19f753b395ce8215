#include "serial.h"

#include "gui_callbacks.h"
#include "gui_manipulate.h"
#include "main.h"
#include "tavro_replies.h"
#include "watchdog.h"
#include "Tavro.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The port's descriptor; PORT_DESCRIPTOR mirrors it for the rest of the program.
UniqueFd port;

// Whether requestLowLatency switched the port's driver to low latency, which closing undoes.
bool low_latency_set = false;

// Sets or clears the driver's low-latency flag; false where the driver has no such flags.
bool setLowLatency(int fd, bool on) {
    serial_struct settings{};
    if (ioctl(fd, TIOCGSERIAL, &settings) != 0)
        return false;
    if (((settings.flags & ASYNC_LOW_LATENCY) != 0) == on)
        return false; // nothing to change, nor to undo
    settings.flags ^= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &settings) == 0;
}

// The framing is between replies (1) or inside a reply whose line end has not come (0).
int read_prelim = 1;

ReplyFramer &programFramer() {
    static ReplyFramer framer(SERIAL_BUFFER_IN.data(), SERIAL_BUFFER_IN.size(),
                              SERIAL_BUFFER_IN_PTR, read_prelim);
    return framer;
}

void storePort(const char *name) {
    if (serial_port_count >= MAX_SERIAL_PORTS)
        return;
    PortName &entry = serial_ports[static_cast<std::size_t>(serial_port_count)];
    std::snprintf(entry.data(), entry.size(), "%s", name);
    ++serial_port_count;
}

// Every complete line stops the watchdog before it is dispatched; the framer has left it in
// SERIAL_BUFFER_IN, cut to its size as the window's buffer has always been.
void onLine(void *, const std::string &, bool) {
    stopWatchdog();
    handleReply();
}

// A received line as status text. Line noise brings any bytes, and GTK takes UTF-8 only:
// other bytes make it warn, and cut or misdraw the text.
std::string statusText(const std::string &line) {
    gchar *valid = g_utf8_make_valid(line.data(), static_cast<gssize>(line.size()));
    std::string text(valid);
    g_free(valid);
    return text;
}

} // namespace

int openSerial(const char *path) {
    // O_NONBLOCK so that a port waiting for carrier cannot stall the program;
    // configureSerial clears it for the link.
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    closeSerial(); // an earlier port, with its driver setting given back
    port.reset(fd);
    PORT_DESCRIPTOR = port.get();
    return fd >= 0 ? 1 : 0;
}

int closeSerial() {
    releaseLowLatency();
    int result = port.reset();
    PORT_DESCRIPTOR = -1;
    return result;
}

void requestLowLatency() {
    if (port.valid() && !low_latency_set)
        low_latency_set = setLowLatency(port.get(), true);
}

void releaseLowLatency() {
    if (low_latency_set && port.valid())
        setLowLatency(port.get(), false); // best effort, as the request was
    low_latency_set = false;
}

int configureSerial(int rate) {
    // No O_ASYNC: on Linux it would make this process the terminal's owner and the first
    // reply would raise SIGIO, which kills the program. The input watch notices input.
    fcntl(PORT_DESCRIPTOR, F_SETFL, 0);
    termios current{};
    tcgetattr(PORT_DESCRIPTOR, &current);
    const termios wanted = buildLineSettings(current, rate);
    tcflush(PORT_DESCRIPTOR, TCIFLUSH);
    return tcsetattr(PORT_DESCRIPTOR, TCSANOW, &wanted);
}

int writeSerial(const char *text) {
    const std::size_t length = std::strlen(text);
    if (length == 0)
        return 1;
    const ssize_t written = ::write(PORT_DESCRIPTOR, text, length);
    return written >= 0 && static_cast<std::size_t>(written) == length ? 1 : 0;
}

void detectPorts() {
    serial_port_count = 0;
    for (const char *prefix : {"/dev/ttyS", "/dev/ttyUSB", "/dev/tts/", "/dev/usb/tts/"})
        detectSpecificPorts(prefix);
}

void detectSpecificPorts(const char *prefix) {
    for (int number = 0; number <= 9; ++number) {
        char name[PORT_NAME_SIZE];
        std::snprintf(name, sizeof name, "%s%d", prefix, number);
        std::printf("Checking %s...", name);
        std::fflush(stdout);
        if (openSerial(name)) {
            std::printf(" opens!\n");
            storePort(name);
            closeSerial();
        } else {
            std::printf("\n");
        }
        std::fflush(stdout);
    }
}

int getNumDetectedPorts() {
    return serial_port_count;
}

const char *getDetectedPort(int index) {
    if (index < 0 || index >= serial_port_count)
        return "";
    return serial_ports[static_cast<std::size_t>(index)].data();
}

int getPortDescriptor() {
    return PORT_DESCRIPTOR;
}

guint watchSerial(int fd) {
    GIOChannel *channel = g_io_channel_unix_new(fd);
    const guint tag = g_io_add_watch(channel, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                     serial_callback, nullptr);
    g_io_channel_unref(channel);
    return tag;
}

gboolean serial_callback(GIOChannel *, GIOCondition condition, gpointer) {
    bool alive = true;
    if (condition & G_IO_IN)
        alive = handleSerialData();
    if (!alive || (condition & (G_IO_HUP | G_IO_ERR))) {
        gui_link_lost();
        return FALSE;
    }
    return TRUE;
}

bool handleSerialData() {
    char data[SERIAL_BUFFER_SIZE + 1];
    const ssize_t got = ::read(PORT_DESCRIPTOR, data, SERIAL_BUFFER_SIZE);
    if (got < 0)
        return errno == EAGAIN || errno == EINTR;
    data[got] = '\0';
    programFramer().feed(data, static_cast<std::size_t>(got), onLine, nullptr);
    return true;
}

void handleReply() {
    dispatchReply(std::string(SERIAL_BUFFER_IN.data()));
}

void dispatchReply(const std::string &line) {
    const std::string text = replyText(line);
    const ReplyKind kind = replyKind(replyCode(line));

    if (kind == ReplyKind::Closed) {
        gui_close_success();
    } else if (kind == ReplyKind::Opened) {
        gui_open_success();
    } else if (kind == ReplyKind::RateSet) {
        gui_baud_success();
    } else if (kind == ReplyKind::WriteDone ||
               (kind == ReplyKind::ReadDone && readBytesWellFormed(text))) {
        // Only a read's completion carries bytes; a write's completes whatever follows it.
        gui_send_success(text.c_str(), kind == ReplyKind::ReadDone);
    } else if (kind == ReplyKind::Nak) {
        gui_handle_nak();
    } else if (kind == ReplyKind::Busy) {
        gui_handle_busy();
    } else if (kind == ReplyKind::ArbitrationLost) {
        gui_handle_arbloss();
    } else if (kind == ReplyKind::IntAsserted) {
        gui_handle_int();
    } else if (kind == ReplyKind::IntReleased) {
        gui_handle_intrelease();
    } else if (kind == ReplyKind::Refused) {
        setStatus("Invalid command");
        showError("Invalid command.  Make sure you have selected the correct device!");
        gui_close(nullptr, nullptr);
    } else if (kind == ReplyKind::SlaveTransmitRequest) {
        setStatus("Recieved slave transmit request!  Sending filler data and continuing.");
        Tavro_STx("Hello, World!");
    } else if (kind == ReplyKind::SlaveTransmitDone) {
        setStatus("Recieved slave transmit complete.");
    } else if (kind == ReplyKind::FromMaster) {
        setStatus("Recieved data from a master, ignoring.");
    } else {
        // An unknown or garbled line may precede the awaited reply; keep waiting for it
        // afresh.
        setStatus(statusText(line).c_str());
        startWatchdog();
    }
}
