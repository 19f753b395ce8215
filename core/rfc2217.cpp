#include "rfc2217.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace telnet;

namespace {

// How long a server may take to answer the COM-PORT-OPTION (it opens its port first), how
// long a refusal may follow that answer, and the pause before trying again.
constexpr int SETTLE_MS = 1000;
constexpr int REFUSAL_MS = 20;
constexpr int BUSY_RETRY_MS = 50;
// The time a port gets to send the last bytes before a rate change once the server has them.
constexpr int DRAIN_MS = 20;

bool agreedOurs(unsigned char option) {
    return option == BINARY || option == SGA || option == COM_PORT;
}

bool agreedTheirs(unsigned char option) {
    return option == BINARY || option == SGA;
}

void say(std::string &answer, unsigned char verb, unsigned char option) {
    answer += static_cast<char>(IAC);
    answer += static_cast<char>(verb);
    answer += static_cast<char>(option);
}

std::string byteValue(unsigned value) {
    return std::string(1, static_cast<char>(value));
}

} // namespace

std::string TelnetDecoder::greeting() {
    std::string requests;
    for (unsigned char option : {COM_PORT, BINARY, SGA}) {
        ours_[option] = Option::WantYes;
        say(requests, WILL, option);
    }
    for (unsigned char option : {BINARY, SGA}) {
        theirs_[option] = Option::WantYes;
        say(requests, DO, option);
    }
    return requests;
}

void TelnetDecoder::negotiate(unsigned char verb, unsigned char option, std::string &answer) {
    const bool asks_us = verb == DO || verb == DONT;
    Option &state = asks_us ? ours_[option] : theirs_[option];
    const bool on = verb == DO || verb == WILL;
    if (on) {
        if (state == Option::Yes)
            return;
        if (state == Option::WantYes) {
            state = Option::Yes; // the answer to our own request
            return;
        }
        const bool agreed = asks_us ? agreedOurs(option) : agreedTheirs(option);
        state = agreed ? Option::Yes : Option::No;
        say(answer, asks_us ? (agreed ? WILL : WONT) : (agreed ? DO : DONT), option);
        return;
    }
    if (asks_us && option == COM_PORT)
        com_port_refused_ = true;
    if (state == Option::Yes)
        say(answer, asks_us ? WONT : DONT, option);
    state = Option::No; // a refusal of a request of ours is not answered
}

void TelnetDecoder::command(unsigned char byte) {
    if (byte == SB) {
        sub_.clear();
        state_ = State::Sub;
    } else if (byte >= WILL && byte <= DONT) {
        verb_ = byte;
        state_ = State::Verb;
    } else {
        state_ = State::Data; // NOP, data mark, break, go ahead...: nothing to do
    }
}

void TelnetDecoder::feed(const unsigned char *bytes, std::size_t size, std::string &data,
                         std::string &answer) {
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = bytes[i];
        switch (state_) {
        case State::Data:
            if (byte == IAC)
                state_ = State::Iac;
            else
                data += static_cast<char>(byte);
            break;
        case State::Iac:
            if (byte == IAC) {
                data += static_cast<char>(byte);
                state_ = State::Data;
            } else {
                command(byte);
            }
            break;
        case State::Verb:
            negotiate(verb_, byte, answer);
            state_ = State::Data;
            break;
        case State::Sub:
            if (byte == IAC)
                state_ = State::SubIac;
            else if (sub_.size() < MAX_SUBNEGOTIATION)
                sub_ += static_cast<char>(byte);
            break;
        case State::SubIac:
            if (byte == IAC) {
                if (sub_.size() < MAX_SUBNEGOTIATION)
                    sub_ += static_cast<char>(byte);
                state_ = State::Sub;
            } else {
                // IAC SE ends it; any other command after IAC ends it as well, and is obeyed.
                sub_done_ = sub_;
                if (sub_.size() >= 2 && static_cast<unsigned char>(sub_[0]) == COM_PORT &&
                    static_cast<unsigned char>(sub_[1]) == SET_BAUDRATE + 100)
                    ++rate_answers_;
                sub_.clear();
                if (byte == SE)
                    state_ = State::Data;
                else
                    command(byte);
            }
            break;
        }
    }
}

std::string telnetEscape(const char *data, std::size_t size) {
    std::string escaped;
    escaped.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        escaped += data[i];
        if (static_cast<unsigned char>(data[i]) == IAC)
            escaped += data[i];
    }
    return escaped;
}

std::string comPortCommand(unsigned char command, const std::string &value) {
    std::string text = {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(COM_PORT),
                        static_cast<char>(command)};
    text += telnetEscape(value.data(), value.size());
    text += static_cast<char>(IAC);
    text += static_cast<char>(SE);
    return text;
}

std::string lineCommands(int rate, bool with_format) {
    std::string commands;
    if (with_format) {
        commands += comPortCommand(SET_DATASIZE, byteValue(8));
        commands += comPortCommand(SET_PARITY, byteValue(PARITY_NONE));
        commands += comPortCommand(SET_STOPSIZE, byteValue(STOPSIZE_1));
        commands += comPortCommand(SET_CONTROL, byteValue(CONTROL_XONXOFF));
    }
    const auto bits = static_cast<unsigned>(rate);
    commands +=
        comPortCommand(SET_BAUDRATE, byteValue(bits >> 24 & 0xff) + byteValue(bits >> 16 & 0xff) +
                                         byteValue(bits >> 8 & 0xff) + byteValue(bits & 0xff));
    commands += comPortCommand(PURGE_DATA, byteValue(PURGE_SERVER_RECEIVED));
    return commands;
}

namespace {

// One connection to the first address of host that takes it, by deadline.
int connectOnce(const std::string &host, int port, const std::string &name,
                std::chrono::steady_clock::time_point deadline, UniqueFd &connected,
                std::string &error, int &error_number) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
        error_number = resolved == EAI_SYSTEM ? errno : ENOENT;
        error = "cannot open " + name + ": " +
                (resolved == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(resolved));
        return 1;
    }
    int failure = ECONNREFUSED;
    UniqueFd socket;
    for (const addrinfo *a = found; a != nullptr && !socket.valid(); a = a->ai_next) {
        socket.reset(
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!socket.valid()) {
            failure = errno;
            continue;
        }
        int result = ::connect(socket.get(), a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        while (result == EINPROGRESS || result == EINTR) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd pfd{socket.get(), POLLOUT, 0};
            const int ready = left.count() <= 0 ? 0 : poll(&pfd, 1, static_cast<int>(left.count()));
            if (ready == 0) {
                result = ETIMEDOUT;
            } else if (ready > 0) {
                socklen_t length = sizeof result;
                getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &result, &length);
            }
        }
        if (result != 0) {
            failure = result;
            socket.reset();
        }
    }
    freeaddrinfo(found);
    if (!socket.valid()) {
        error_number = failure;
        error = "cannot open " + name + ": " + std::strerror(failure);
        return 1;
    }
    connected = std::move(socket);
    return 0;
}

} // namespace

int Rfc2217Transport::connect(const std::string &host, int port, const std::string &name,
                              int deadline_ms, std::unique_ptr<LinkTransport> &transport,
                              std::string &error, int &error_number) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(deadline_ms);
    for (;;) {
        UniqueFd socket;
        if (const int failed = connectOnce(host, port, name, deadline, socket, error, error_number))
            return failed;
        // Commands are a few bytes each and their order is their timing: none may wait.
        const int on = 1;
        setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::unique_ptr<Rfc2217Transport> opened(new Rfc2217Transport(socket.release()));
        opened->out_ = opened->decoder_.greeting();
        opened->flush();
        if (opened->admitted()) {
            transport = std::move(opened);
            return 0;
        }
        // ser2net turns a client away while it still closes the port after the last one.
        if (steady_clock::now() + milliseconds(BUSY_RETRY_MS) >= deadline) {
            error_number = ECONNRESET;
            error = "cannot open " + name + ": the server closed the connection (port in use?)";
            return 1;
        }
        usleep(BUSY_RETRY_MS * 1000);
    }
}

bool Rfc2217Transport::admitted() {
    using namespace std::chrono;
    const auto settled = steady_clock::now() + milliseconds(SETTLE_MS);
    // The server's answer to the COM-PORT-OPTION, then a moment for a refusal that follows it.
    for (auto until = settled; steady_clock::now() < until;) {
        pollfd pfd{socket_.get(), POLLIN, 0};
        const auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
        if (poll(&pfd, 1, static_cast<int>(left < 0 ? 0 : left)) <= 0)
            continue;
        std::string discarded; // a banner or the server's words: none of it is the adapter's
        const ssize_t got = receive(discarded);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (decoder_.comPortAnswered() && until == settled)
            until = steady_clock::now() + milliseconds(REFUSAL_MS);
    }
    return true; // a silent server is left to the reply deadline
}

bool Rfc2217Transport::flush() {
    while (!out_.empty()) {
        const ssize_t sent = ::send(socket_.get(), out_.data(), out_.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            out_.erase(0, static_cast<std::size_t>(sent));
            continue;
        }
        return sent < 0 && (errno == EAGAIN || errno == EINTR);
    }
    return true;
}

void Rfc2217Transport::setRate(int rate) {
    // ser2net obeys a setting while it parses what it read from the network, before it writes
    // the data read with it to the port: a change must come in a later read than the data
    // before it. The server's answer to a question sent after the data tells that it has
    // read them (the question is a SET-BAUDRATE of 0, which changes nothing).
    if (written_since_change_) {
        out_ += comPortCommand(SET_BAUDRATE, std::string(4, '\0'));
        ++rates_asked_;
        flush();
        awaitRateAnswers();
        // The server has the data now, and the port still has to send them: the same time
        // as a local port gets between its last bytes and the change.
        usleep(DRAIN_MS * 1000);
    }
    out_ += lineCommands(rate, !formatted_);
    ++rates_asked_;
    formatted_ = true;
    written_since_change_ = false;
    // What came before the change is dropped, as a serial line's flush drops it.
    std::string discarded;
    while (receive(discarded) > 0)
        discarded.clear();
    flush();
}

void Rfc2217Transport::awaitRateAnswers() {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(SETTLE_MS);
    while (decoder_.rateAnswers() < rates_asked_) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd pfd{socket_.get(), POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) < 0)
            return; // a server that does not answer is left to the reply deadline
        std::string discarded;
        const ssize_t got = receive(discarded);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
            return; // the hang-up shows at the next read
    }
}

ssize_t Rfc2217Transport::write(const char *data, std::size_t size) {
    if (!flush())
        return -1;
    if (!out_.empty() || size == 0)
        return 0;
    out_ = telnetEscape(data, size);
    written_since_change_ = true;
    if (!flush())
        return -1;
    return static_cast<ssize_t>(size);
}

ssize_t Rfc2217Transport::receive(std::string &bytes, std::size_t size) {
    unsigned char raw[512];
    const ssize_t got = ::read(socket_.get(), raw, size < sizeof raw ? size : sizeof raw);
    if (got <= 0)
        return got;
    // A reply comes in pieces as the adapter sends it; a server that holds each piece until
    // the last is acknowledged (Nagle) must not wait for a delayed acknowledgement. Linux
    // drops the quick mode again by itself, so it is renewed at each read.
    const int on = 1;
    setsockopt(socket_.get(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    std::string answer;
    decoder_.feed(raw, static_cast<std::size_t>(got), bytes, answer);
    if (!answer.empty()) {
        out_ += answer;
        flush();
    }
    return got;
}

ssize_t Rfc2217Transport::read(char *data, std::size_t size) {
    std::string bytes;
    const ssize_t got = receive(bytes, size);
    if (got <= 0)
        return got;
    if (bytes.empty()) {
        errno = EAGAIN;
        return -1;
    }
    std::memcpy(data, bytes.data(), bytes.size()); // never more than was read
    return static_cast<ssize_t>(bytes.size());
}
