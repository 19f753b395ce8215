// The serial line to the adapter: opening, line settings, writing, port discovery, and the
// framing of the adapter's reply lines with their dispatch by reply code.
#ifndef SENDRAL_SERIAL_H
#define SENDRAL_SERIAL_H

#include <glib.h>
#include <termios.h>

#include <cstddef>
#include <string>

// Owns one file descriptor and closes it when replaced or destroyed; move-only.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Gives up ownership; returns the descriptor.
    int release() noexcept;
    // Closes the owned descriptor (if any) and takes fd; returns close's result, 0 if none.
    int reset(int fd = -1) noexcept;

  private:
    int fd_;
};

// Opens path for reading and writing, not as controlling terminal and without waiting for
// carrier. Returns 1 and makes it the port (closing a port opened before), or returns 0
// and leaves PORT_DESCRIPTOR at -1 with no port open.
int openSerial(const char *path);
// Closes the port; returns close's result (0 when no port was open). PORT_DESCRIPTOR
// becomes -1 so that nothing can write to a descriptor number the system reuses.
int closeSerial();
// The line settings for rate (19200, 57600 or 115200; any other rate gets B0), built from
// the attributes read from the line: raw 8N1, XON/XOFF both ways, reads return at once.
termios buildLineSettings(const termios &current, int rate);
// Clears the file status flags (blocking, no O_ASYNC), applies buildLineSettings(rate) at
// once and discards unread input. Returns tcsetattr's result.
int configureSerial(int rate);
// Writes text without its NUL in one write call. Returns 1 if every byte was written,
// else 0; nothing is retried.
int writeSerial(const char *text);
// Probes /dev/ttyS, /dev/ttyUSB, /dev/tts/ and /dev/usb/tts/ with 0 to 9, printing a
// "Checking %s..." line for each; stores the first 10 that open.
void detectPorts();
// Probes prefix0 to prefix9, appending what opens to the table while it has room.
void detectSpecificPorts(const char *prefix);
int getNumDetectedPorts();
// The name stored at index (0-based, below the count); "" for any other index.
const char *getDetectedPort(int index);
int getPortDescriptor();

// Installs the main loop's watch for input, hang-up and error on fd, calling
// serial_callback; returns the watch's tag. The channel's reference is dropped at once,
// so the watch owns it.
guint watchSerial(int fd);

// The reply framing, apart from the read: bytes of successive reads go in, complete reply
// lines come out. Lines start with "/" and end with CR or LF; CR, LF and "*" between
// replies are skipped. A line keeps its first 254 characters; the rest up to its line end
// is dropped. A NUL ends a read's data.
class ReplyFramer {
  public:
    // Called with each complete line; it may run a nested main loop that feeds the framer
    // again, so the line is a copy and the framer's state is consistent at each call.
    using LineHandler = void (*)(const std::string &line);

    ReplyFramer(char *buffer, std::size_t size, int &count, int &between_replies)
        : buffer_(buffer), size_(size), count_(count), between_(between_replies) {}
    void feed(const char *data, std::size_t length, LineHandler on_line);

  private:
    char *buffer_;
    std::size_t size_;
    int &count_;
    int &between_;
};

// The input watch's callback: reads what has arrived and dispatches complete lines. On a
// hang-up, an error condition or a failed read the adapter is gone: the link is taken
// down (gui_link_lost) and the watch removed.
gboolean serial_callback(GIOChannel *source, GIOCondition condition, gpointer data);
// Reads once from the port and frames what was read. Returns false when the read failed
// for good (anything but EAGAIN or EINTR).
bool handleSerialData();
// Dispatches the complete line in SERIAL_BUFFER_IN by its three-character reply code.
void handleReply();
// Dispatches the given complete line.
void dispatchReply(const std::string &line);

#endif
