// The daemon's real environment: `service` run without a shell, the kernel's
// clock, pthreads and syslog.
#include <errno.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "daemon/system_env.h"
#include "daemon/timed_command.h"

namespace kelv {
namespace {

// The status the shell gives a command it cannot find or run.
constexpr int command_not_found_status = 127 << 8;

// A spawned `service` whose standard output is read through a pipe, in
// pieces cut as fgets cuts them. A command that could not be found has no
// process: empty output and the shell's status.
class spawned_output : public command_output {
 public:
  explicit spawned_output(std::unique_ptr<timed_command> command)
      : command_(std::move(command)) {}

  bool read_piece(char* buf, int size) override {
    if (size < 2) return false;
    const size_t room = static_cast<size_t>(size - 1);
    for (;;) {
      size_t newline = pending_.find('\n', taken_);
      size_t available = pending_.size() - taken_;
      size_t length = 0;
      if (newline != std::string::npos && newline - taken_ < room) {
        length = newline - taken_ + 1;
      } else if (available >= room) {
        length = room;
      } else if (command_ != nullptr && !ended_ &&
                 command_->read_more(&pending_)) {
        continue;
      } else {
        ended_ = true;
        length = available;
      }
      if (length == 0) return false;
      memcpy(buf, pending_.data() + taken_, length);
      buf[length] = '\0';
      taken_ += length;
      if (taken_ == pending_.size()) {
        pending_.clear();
        taken_ = 0;
      }
      return true;
    }
  }

  int close() override {
    if (command_ == nullptr) return command_not_found_status;
    return command_->finish();
  }

  bool timed_out() const override {
    return command_ != nullptr && command_->timed_out();
  }

 private:
  std::unique_ptr<timed_command> command_;
  std::string pending_;  // read from the pipe, not yet handed out
  size_t taken_ = 0;     // bytes of pending_ already handed out
  bool ended_ = false;
};

class real_system_env : public system_env {
 public:
  int run_service(const std::string& name, const char* verb,
                  unsigned limit_seconds, bool* timed_out) override {
    *timed_out = false;
    std::unique_ptr<timed_command> command;
    int error =
        timed_command::start(name, verb, false, limit_seconds, &command);
    if (error != 0) {
      errno = error;
      return -1;
    }
    if (command == nullptr) return command_not_found_status;
    int status = command->finish();
    *timed_out = command->timed_out();
    return status;
  }

  std::unique_ptr<command_output> open_service(
      const std::string& name, const char* verb,
      unsigned limit_seconds) override {
    std::unique_ptr<timed_command> command;
    int error = timed_command::start(name, verb, true, limit_seconds, &command);
    if (error != 0) {
      errno = error;
      return nullptr;
    }
    return std::make_unique<spawned_output>(std::move(command));
  }

  bool process_exists(pid_t pid) override { return getsid(pid) != -1; }

  int monotonic_now(timespec* now) override {
    return clock_gettime(CLOCK_MONOTONIC, now);
  }

  time_t wall_now() override { return time(nullptr); }

  void sleep_seconds(unsigned seconds) override {
    // A handled signal (SIGPIPE) cuts sleep short; the pause still has to last.
    while (seconds > 0) seconds = sleep(seconds);
  }

  int cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) override {
    return pthread_cond_wait(cond, mutex);
  }

  int cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                     const timespec* deadline) override {
    return pthread_cond_timedwait(cond, mutex, deadline);
  }

  int create_thread(pthread_t* thread, void* (*body)(void*),
                    void* arg) override {
    return pthread_create(thread, nullptr, body, arg);
  }

  int detach_thread(pthread_t thread) override {
    return pthread_detach(thread);
  }

  void log(int priority, const char* format, va_list args) override {
    vsyslog(priority, format, args);
  }
};

std::atomic<system_env*> installed{nullptr};

}  // namespace

system_env& real_env() {
  static real_system_env env;
  return env;
}

system_env& current_env() {
  system_env* env = installed.load(std::memory_order_acquire);
  return env != nullptr ? *env : real_env();
}

void set_current_env(system_env* env) {
  installed.store(env, std::memory_order_release);
}

}  // namespace kelv
