// An owned file descriptor, closed on every path that leaves its scope.
#pragma once

#include <unistd.h>

#include <utility>

namespace geos {

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Closes the descriptor held, if any, and holds `fd` instead. The result
  // of the close is not looked at.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }

  // Closes the descriptor held and returns whether the close succeeded; a
  // failed close of a written file means its data may not have arrived.
  // Holds nothing afterwards, whatever the result.
  [[nodiscard]] bool close() noexcept { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_ = -1;
};

}  // namespace geos
