// A small RFC 2217 client: telnet with the COM-PORT-OPTION, as ser2net serves a serial port.
// The decoder and the encoders are pure, for the tests and the fuzz target; the transport
// connects and moves the bytes.
#ifndef SENDRAL_RFC2217_H
#define SENDRAL_RFC2217_H

#include "link_transport.h"
#include "unique_fd.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>

namespace telnet {
constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr unsigned char BINARY = 0, SGA = 3, COM_PORT = 44;
// The client's COM-PORT-OPTION commands; the server answers each with the command plus 100.
constexpr unsigned char SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                        SET_CONTROL = 5, PURGE_DATA = 12;
constexpr unsigned char PARITY_NONE = 1, STOPSIZE_1 = 1, CONTROL_XONXOFF = 2,
                        PURGE_SERVER_RECEIVED = 1;
// The longest subnegotiation kept; longer ones are read to their end and cut.
constexpr std::size_t MAX_SUBNEGOTIATION = 64;
} // namespace telnet

// The server's stream, parsed: the serial port's bytes apart from telnet's negotiation, which
// is answered as a binary, character-at-a-time client with the COM-PORT-OPTION: BINARY and
// SGA are agreed both ways, COM-PORT-OPTION on the client's side, anything else refused. An
// option's state changes only on a request that changes it, so no answer loops.
class TelnetDecoder {
  public:
    // Appends the port's bytes to data and the answers the negotiation calls for to answer.
    void feed(const unsigned char *bytes, std::size_t size, std::string &data, std::string &answer);
    // Marks the options the client asks for when it connects; returns those requests.
    std::string greeting();
    // Whether the server refused the COM-PORT-OPTION, so that the bit rate cannot be set.
    bool comPortRefused() const { return com_port_refused_; }
    // Whether the server has answered the client's offer of the COM-PORT-OPTION.
    bool comPortAnswered() const { return ours_[telnet::COM_PORT] != Option::WantYes; }
    // The server's answers to SET-BAUDRATE so far.
    int rateAnswers() const { return rate_answers_; }
    // The last complete subnegotiation, without IAC SB and IAC SE.
    const std::string &lastSubnegotiation() const { return sub_done_; }

  private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    enum class Option : unsigned char { No, WantYes, Yes };
    void negotiate(unsigned char verb, unsigned char option, std::string &answer);
    void command(unsigned char byte);

    State state_ = State::Data;
    unsigned char verb_ = 0;
    std::string sub_, sub_done_;
    std::array<Option, 256> ours_{};   // options this side performs (WILL/WONT)
    std::array<Option, 256> theirs_{}; // options the server performs (DO/DONT)
    bool com_port_refused_ = false;
    int rate_answers_ = 0;
};

// The port's bytes as telnet data: each IAC doubled.
std::string telnetEscape(const char *data, std::size_t size);
// IAC SB COM-PORT-OPTION command value IAC SE, with IACs in the value doubled.
std::string comPortCommand(unsigned char command, const std::string &value);
// The commands for the adapter's line at rate: 8 data bits, no parity, one stop bit and
// XON/XOFF (with_format), the bit rate, and the purge of what the server holds from the port.
std::string lineCommands(int rate, bool with_format);

class Rfc2217Transport : public LinkTransport {
  public:
    // Connects within deadline_ms, again while the server turns the client away. 0 when
    // connected; 1 with error and error_number when the name does not resolve (ENOENT) or
    // no address takes the connection.
    static int connect(const std::string &host, int port, const std::string &name, int deadline_ms,
                       std::unique_ptr<LinkTransport> &transport, std::string &error,
                       int &error_number);
    int fd() const override { return socket_.get(); }
    void setRate(int rate) override;
    ssize_t write(const char *data, std::size_t size) override;
    bool unsent() const override { return !out_.empty(); }
    ssize_t read(char *data, std::size_t size) override;

  private:
    explicit Rfc2217Transport(int socket) : socket_(socket) {}
    // Whether the server kept the connection once it answered the COM-PORT-OPTION: false when
    // it closed it (its port is in use). What it sent meanwhile is not the adapter's.
    bool admitted();
    // Reads, for at most a second, until the server has answered every SET-BAUDRATE.
    void awaitRateAnswers();
    // Sends what is queued, as far as the socket takes it; false on a failed send.
    bool flush();
    // Reads at most size bytes from the socket, adding the port's bytes among them to bytes
    // and answering the negotiation: read's result.
    ssize_t receive(std::string &bytes, std::size_t size = 512);

    UniqueFd socket_;
    std::string out_; // data and commands, in the order they were given
    TelnetDecoder decoder_;
    bool formatted_ = false;
    bool written_since_change_ = false;
    int rates_asked_ = 0; // SET-BAUDRATE commands sent, each answered by ser2net
};

#endif
