// Descriptor owners for the platform tests, which link the platform layer
// alone: one descriptor, and a close-on-exec pipe.
#ifndef KELV_TESTS_PLATFORM_TEST_PIPE_H_
#define KELV_TESTS_PLATFORM_TEST_PIPE_H_

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace kelv_platform_test {

class test_fd {
 public:
  explicit test_fd(int fd = -1) : fd_(fd) {}
  test_fd(test_fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  test_fd& operator=(test_fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  test_fd(const test_fd&) = delete;
  test_fd& operator=(const test_fd&) = delete;
  ~test_fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

struct test_pipe {
  test_fd read_end, write_end;
  test_pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      read_end = test_fd(fds[0]);
      write_end = test_fd(fds[1]);
    }
  }
};

}  // namespace kelv_platform_test

#endif  // KELV_TESTS_PLATFORM_TEST_PIPE_H_
