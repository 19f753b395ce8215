// A pseudo-terminal pair for tests that play the adapter's side by hand.
#ifndef SENDRAL_TEST_PTY_PAIR_H
#define SENDRAL_TEST_PTY_PAIR_H

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include <glib.h>

class PtyPair {
  public:
    PtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        slave_ = ptsname(master_);
    }
    ~PtyPair() { close(master_); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    int master() const { return master_; }
    const std::string &slavePath() const { return slave_; }

    // What the program wrote, gathered for up to timeout_ms or until want bytes came.
    std::string read(int timeout_ms, std::size_t want = SIZE_MAX) {
        std::string got;
        const gint64 end = g_get_monotonic_time() + gint64(timeout_ms) * 1000;
        while (got.size() < want) {
            const gint64 left = (end - g_get_monotonic_time()) / 1000;
            if (left <= 0)
                break;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, int(left)) <= 0 || !(p.revents & POLLIN))
                break;
            char buffer[512];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.append(buffer, std::size_t(n));
        }
        return got;
    }
    void write(const std::string &bytes) {
        if (::write(master_, bytes.data(), bytes.size()) < 0)
            perror("pty write");
    }
    // The line settings the program gave its side (a master sees the pair's termios).
    termios settings() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }

  private:
    int master_;
    std::string slave_;
};

#endif
