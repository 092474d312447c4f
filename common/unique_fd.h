// An owned file descriptor, closed when its owner goes.
//
// Thread safety: none; like any owner, it belongs to one thread at a time.
#pragma once

#include <unistd.h>

namespace orvala {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closing reports the last deferred write error on some file systems, so
  // a file whose contents matter is closed by hand and the answer checked.
  bool Close() { return ::close(Release()) == 0; }

 private:
  int fd_ = -1;
};

}  // namespace orvala
