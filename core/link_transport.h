// Where a link's bytes go: a serial device on this machine, or a serial port that a server
// such as ser2net shares over the network with RFC 2217 (rfc2217://HOST:PORT). The link
// waits on the descriptor itself, so that its deadlines and stop signals work alike for both.
#ifndef SENDRAL_LINK_TRANSPORT_H
#define SENDRAL_LINK_TRANSPORT_H

#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>

class LinkTransport {
  public:
    virtual ~LinkTransport() = default;
    // The descriptor to wait on, for input and for room to write.
    virtual int fd() const = 0;
    // The adapter's line settings at rate (raw 8N1, XON/XOFF both ways), taking effect after
    // the bytes written before; what the adapter sent and was not yet read is discarded.
    virtual void setRate(int rate) = 0;
    // Takes up to size bytes for the adapter: the count taken (0 when the line is full), or
    // -1 with errno. With size 0, only moves on what an earlier call left unsent.
    virtual ssize_t write(const char *data, std::size_t size) = 0;
    // Whether bytes taken by write have not yet gone out.
    virtual bool unsent() const { return false; }
    // The adapter's bytes: their count, 0 at the end of the connection, or -1 with errno
    // (EAGAIN: nothing for the adapter's reader yet).
    virtual ssize_t read(char *data, std::size_t size) = 0;
};

// What a port name names.
struct PortName {
    enum Kind { Device, Rfc2217, Invalid } kind = Device;
    std::string host; // for Rfc2217, without the brackets of an IPv6 address
    int port = 0;
    std::string why; // for Invalid
};

// A path is a Device; rfc2217://HOST:PORT (HOST a name, an IPv4 address or a bracketed IPv6
// address; PORT 1 to 65535) is Rfc2217; any other URL is Invalid, saying why.
PortName parsePortName(const std::string &text);

// Opens the port: 0 with transport set; 1 when it cannot be opened, with the system's errno
// in error_number; 2 when the name is no port the link can use (nothing was opened or sent).
// error says why. A serial device gets back the line settings it had when the transport is
// destroyed.
int openTransport(const std::string &name, std::unique_ptr<LinkTransport> &transport,
                  std::string &error, int &error_number);

#endif
