// A file descriptor with one owner, closed when replaced or destroyed; move-only.
#ifndef SENDRAL_UNIQUE_FD_H
#define SENDRAL_UNIQUE_FD_H

#include <unistd.h>

class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Gives up ownership; returns the descriptor.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the owned descriptor (if any) and takes fd; returns close's result, 0 if none.
    int reset(int fd = -1) noexcept {
        int result = 0;
        if (fd_ >= 0 && fd_ != fd)
            result = ::close(fd_);
        fd_ = fd;
        return result;
    }

  private:
    int fd_;
};

#endif
