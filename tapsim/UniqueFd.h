#pragma once

#include <unistd.h>

#include <utility>

namespace tapsim {

// Owns one file descriptor and closes it at the end of its life unless close() did already.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Closes now so that the caller can see the result; errno tells why when it is -1.
    int close() { return fd_ < 0 ? 0 : ::close(std::exchange(fd_, -1)); }

  private:
    void reset() {
        if (fd_ >= 0) {
            ::close(std::exchange(fd_, -1));
        }
    }

    int fd_ = -1;
};

}  // namespace tapsim
