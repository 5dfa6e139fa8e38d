// A file descriptor closed with its owner, for files kept open from one change to the next.
#pragma once

#include <unistd.h>

#include <utility>

namespace varnindex {

class KeptFd {
 public:
  KeptFd() = default;
  explicit KeptFd(int fd) : fd_(fd) {}
  ~KeptFd() { Reset(); }
  KeptFd(KeptFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  KeptFd& operator=(KeptFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  KeptFd(const KeptFd&) = delete;
  KeptFd& operator=(const KeptFd&) = delete;

  int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace varnindex
