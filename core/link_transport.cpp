#include "link_transport.h"

#include "line_settings.h"
#include "rfc2217.h"
#include "unique_fd.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A connection that takes longer than this is told like a port that cannot be opened.
constexpr int CONNECT_DEADLINE_MS = 5000;

class SerialTransport : public LinkTransport {
  public:
    SerialTransport(int fd, const termios &found) : port_(fd), found_(found) {}
    ~SerialTransport() override { tcsetattr(port_.get(), TCSANOW, &found_); }
    int fd() const override { return port_.get(); }
    void setRate(int rate) override {
        termios current{};
        tcgetattr(port_.get(), &current);
        const termios wanted = buildLineSettings(current, rate);
        // Whatever the adapter said before the change is discarded, read or not.
        tcflush(port_.get(), TCIFLUSH);
        tcsetattr(port_.get(), TCSANOW, &wanted);
    }
    ssize_t write(const char *data, std::size_t size) override {
        const ssize_t written = ::write(port_.get(), data, size);
        return written < 0 && errno == EAGAIN ? 0 : written;
    }
    ssize_t read(char *data, std::size_t size) override { return ::read(port_.get(), data, size); }

  private:
    UniqueFd port_;
    termios found_;
};

int openDevice(const std::string &path, std::unique_ptr<LinkTransport> &transport,
               std::string &error, int &error_number) {
    // Only character devices are opened: opening anything else can have effects of its own.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error_number = errno;
        error = "cannot open " + path + ": " + std::strerror(error_number);
        return 1;
    }
    const std::string not_terminal =
        path + " is not a terminal; give the adapter's serial port or the simulator's";
    if (!S_ISCHR(status.st_mode)) {
        error = not_terminal;
        return 2;
    }
    // O_NONBLOCK: a port waiting for carrier cannot stall the open, and every later read and
    // write is bounded by a deadline.
    UniqueFd port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!port.valid()) {
        error_number = errno;
        error = "cannot open " + path + ": " + std::strerror(error_number);
        return 1;
    }
    termios found{};
    if (tcgetattr(port.get(), &found) != 0) {
        error = not_terminal;
        return 2;
    }
    transport = std::make_unique<SerialTransport>(port.release(), found);
    return 0;
}

PortName invalid(const std::string &text, const std::string &why) {
    PortName name;
    name.kind = PortName::Invalid;
    name.why = text + ": " + why;
    return name;
}

} // namespace

PortName parsePortName(const std::string &text) {
    const std::size_t separator = text.find("://");
    if (separator == std::string::npos)
        return PortName{};
    std::string scheme = text.substr(0, separator);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string form = "give rfc2217://HOST:PORT";
    if (scheme == "socket")
        return invalid(text, "raw TCP cannot change the line's bit rate, as opening the link "
                             "must; serve the port with RFC 2217 (ser2net's telnet(rfc2217)) "
                             "and " +
                                 form);
    if (scheme != "rfc2217")
        return invalid(text, "not a serial port; " + form + " for a port on another machine");
    const std::string rest = text.substr(separator + 3);
    PortName name;
    name.kind = PortName::Rfc2217;
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos)
            return invalid(text, "the IPv6 address lacks its ']'; " + form);
        name.host = rest.substr(1, close - 1);
        colon = close + 1;
        if (colon < rest.size() && rest[colon] != ':')
            return invalid(text, "':' and the port must follow the address; " + form);
    } else {
        colon = rest.rfind(':');
        name.host = rest.substr(0, std::min(colon, rest.size()));
        if (name.host.find(':') != std::string::npos)
            return invalid(text, "an IPv6 address goes in brackets: rfc2217://[ADDRESS]:PORT");
    }
    if (name.host.empty())
        return invalid(text, "the host is missing; " + form);
    if (colon >= rest.size() || colon + 1 == rest.size())
        return invalid(text, "the port is missing; " + form);
    const std::string port = rest.substr(colon + 1);
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; }))
        return invalid(text, "the port must be a number from 1 to 65535");
    name.port = std::stoi(port);
    if (name.port < 1 || name.port > 65535)
        return invalid(text, "the port must be a number from 1 to 65535");
    return name;
}

int openTransport(const std::string &name, std::unique_ptr<LinkTransport> &transport,
                  std::string &error, int &error_number) {
    transport.reset();
    error_number = 0;
    const PortName port = parsePortName(name);
    switch (port.kind) {
    case PortName::Device:
        return openDevice(name, transport, error, error_number);
    case PortName::Rfc2217:
        return Rfc2217Transport::connect(port.host, port.port, name, CONNECT_DEADLINE_MS, transport,
                                         error, error_number);
    case PortName::Invalid:
        break;
    }
    error = port.why;
    return 2;
}
