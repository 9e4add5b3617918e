// A move-only owner of one file descriptor, closed when the owner goes.
// Not thread-safe; each owner belongs to one thread at a time.
#ifndef KELV_COMMON_UNIQUE_FD_H_
#define KELV_COMMON_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace kelv {

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives up ownership; returns the descriptor (-1 when none was held).
  int release() { return std::exchange(fd_, -1); }

  // Closes the held descriptor, if any, and takes fd. Errors of close are
  // lost here; use close_checked where they matter.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

  // Closes the held descriptor and reports whether close succeeded (errno
  // set on failure). The descriptor is gone either way.
  bool close_checked() { return ::close(release()) == 0; }

 private:
  int fd_ = -1;
};

}  // namespace kelv

#endif  // KELV_COMMON_UNIQUE_FD_H_
