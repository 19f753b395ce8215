#include "server.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace i2cdev {

namespace {

// A client that does not take its replies is not read from once this much waits for it.
constexpr std::size_t OUT_LIMIT = 1 << 20;

} // namespace

Server::~Server() {
    shutDown();
}

bool Server::listen(const std::string &path, std::string &error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "the socket's path is too long: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0) {
        error = "cannot serve the bus on " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

void Server::shutDown() {
    for (Client &client : clients_)
        ::close(client.fd);
    clients_.clear();
    if (listener_ >= 0) {
        ::close(listener_);
        ::unlink(path_.c_str());
        listener_ = -1;
    }
}

void Server::accept() {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()) {
        ::close(fd);
        return;
    }
    clients_.push_back(Client{fd, {}, {}, {}});
}

bool Server::readFrom(Client &client) {
    std::uint8_t chunk[16384];
    const ssize_t got = ::recv(client.fd, chunk, sizeof chunk, 0);
    if (got == 0)
        return false;
    if (got < 0)
        return errno == EAGAIN || errno == EINTR;
    client.in.insert(client.in.end(), chunk, chunk + got);
    // Every whole request that has come is answered, in order.
    while (client.in.size() >= 4) {
        const std::uint32_t length = frameLength(client.in.data());
        if (length > MAX_FRAME_BODY)
            return false;
        if (client.in.size() < 4 + std::size_t{length})
            break;
        const std::optional<Request> request = decodeRequest(client.in.data() + 4, length);
        if (!request)
            return false;
        client.in.erase(client.in.begin(), client.in.begin() + 4 + length);
        const std::vector<std::uint8_t> reply = encodeReply(device_.answer(client.state, *request));
        client.out.insert(client.out.end(), reply.begin(), reply.end());
        if (!writeTo(client))
            return false;
    }
    return true;
}

bool Server::writeTo(Client &client) {
    while (!client.out.empty()) {
        const ssize_t sent =
            ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0)
            return errno == EAGAIN || errno == EINTR;
        client.out.erase(client.out.begin(), client.out.begin() + sent);
    }
    return true;
}

void Server::serve(int wake, const std::function<bool()> &onWake) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({{wake, POLLIN, 0}, {listener_, POLLIN, 0}});
        for (const Client &client : clients_)
            fds.push_back({client.fd,
                           static_cast<short>((client.out.size() < OUT_LIMIT ? POLLIN : 0) |
                                              (client.out.empty() ? 0 : POLLOUT)),
                           0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        if ((fds[0].revents & POLLIN) && !onWake())
            return;
        auto at = fds.begin() + 2;
        for (auto client = clients_.begin(); client != clients_.end(); ++at) {
            bool keep = true;
            if (at->revents & POLLOUT)
                keep = writeTo(*client);
            if (keep && (at->revents & (POLLIN | POLLHUP | POLLERR)))
                keep = readFrom(*client);
            if (keep) {
                ++client;
            } else {
                ::close(client->fd);
                client = clients_.erase(client);
            }
        }
        if (fds[1].revents & POLLIN)
            accept();
    }
}

} // namespace i2cdev
