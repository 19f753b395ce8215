// The device served over a Unix socket: each connection is one open of /dev/i2c-N, with its
// own address and flags, and the requests of all of them are answered one at a time.
#ifndef TAVRO_I2CDEV_SERVER_H
#define TAVRO_I2CDEV_SERVER_H

#include "device.h"

#include <functional>
#include <list>
#include <string>

namespace i2cdev {

class Server {
  public:
    explicit Server(Device &device) : device_(device) {}
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Listens on path (in a folder only this user can enter); false with error set.
    bool listen(const std::string &path, std::string &error);
    // Serves until wake is readable and onWake() returns false. Connections from another
    // user are closed unheard.
    void serve(int wake, const std::function<bool()> &onWake);
    // Closes every connection and the listening socket; the socket's file is removed.
    void shutDown();

  private:
    struct Client {
        int fd;
        OpenState state;
        std::vector<std::uint8_t> in, out;
    };
    void accept();
    // False when the connection is done with: closed, broken or malformed.
    bool readFrom(Client &client);
    bool writeTo(Client &client);

    Device &device_;
    int listener_ = -1;
    std::string path_;
    std::list<Client> clients_;
};

} // namespace i2cdev

#endif
