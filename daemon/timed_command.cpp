#include "daemon/timed_command.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <sys/event.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "common/service_name.h"

extern char** environ;

namespace kelv {
namespace {

// What is read of the pipe once the command has exited: a process it left
// behind may go on writing, and the reader must not follow it for ever.
constexpr size_t max_drain_bytes = 1 << 20;

// posix_spawn attributes: the default signal dispositions, an empty signal
// mask whatever the calling thread has, and a process group of its own, so
// that a command that outlives its limit can be stopped with everything it
// started in its group.
class spawn_attributes {
 public:
  spawn_attributes() {
    posix_spawnattr_init(&attr_);
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setpgroup(&attr_, 0);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF |
                                         POSIX_SPAWN_SETSIGMASK |
                                         POSIX_SPAWN_SETPGROUP);
  }
  ~spawn_attributes() { posix_spawnattr_destroy(&attr_); }
  spawn_attributes(const spawn_attributes&) = delete;
  spawn_attributes& operator=(const spawn_attributes&) = delete;
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class spawn_actions {
 public:
  spawn_actions() { posix_spawn_file_actions_init(&actions_); }
  ~spawn_actions() { posix_spawn_file_actions_destroy(&actions_); }
  spawn_actions(const spawn_actions&) = delete;
  spawn_actions& operator=(const spawn_actions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

bool command_missing(int error) {
  return error == ENOENT || error == EACCES || error == ENOEXEC ||
         error == ENOTDIR;
}

timespec monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// A queue holding a one-shot exit watch on pid. Returns it, or an invalid
// descriptor with errno set.
unique_fd watch_exit(pid_t pid) {
  unique_fd kq(kqueue());
  if (!kq.valid()) return kq;
  struct kevent change;
  EV_SET(&change, static_cast<uintptr_t>(static_cast<intptr_t>(pid)),
         EVFILT_PROC, EV_ADD | EV_ENABLE | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  if (kevent(kq.get(), &change, 1, nullptr, 0, nullptr) == -1) {
    return unique_fd();
  }
  return kq;
}

}  // namespace

std::vector<std::string> service_command_words(const std::string& name,
                                               const char* verb) {
  const service_name_parts parts = split_service_name(name);
  if (!parts.jailed) return {"service", name, verb};
  return {"service", "-j", std::string(parts.jail), std::string(parts.service),
          verb};
}

int timed_command::start(const std::string& name, const char* verb,
                         bool capture, unsigned limit_seconds,
                         std::unique_ptr<timed_command>* out) {
  out->reset();
  static const spawn_attributes attributes;
  unique_fd read_end;
  unique_fd write_end;
  spawn_actions actions;
  if (capture) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == -1) return errno;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    posix_spawn_file_actions_adddup2(actions.get(), write_end.get(),
                                     STDOUT_FILENO);
  }
  std::vector<std::string> words = service_command_words(name, verb);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  timespec deadline = monotonic_now();
  deadline.tv_sec += limit_seconds;
  pid_t pid = 0;
  int error = posix_spawnp(&pid, "service", capture ? actions.get() : nullptr,
                           attributes.get(), argv.data(), environ);
  if (error != 0) return command_missing(error) ? 0 : error;
  write_end.reset();  // only the command writes to the pipe now

  unique_fd exits = watch_exit(pid);
  if (!exits.valid()) {
    // Nothing could tell us when it ends: stop it rather than guess.
    error = errno;
    killpg(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
    return error;
  }
  *out = std::make_unique<timed_command>(passkey(), pid, std::move(read_end),
                                         std::move(exits), deadline);
  return 0;
}

timed_command::timed_command(passkey, pid_t pid, unique_fd output,
                             unique_fd exits, const timespec& deadline)
    : pid_(pid),
      output_(std::move(output)),
      exits_(std::move(exits)),
      deadline_(deadline) {}

timed_command::~timed_command() { finish(); }

int timed_command::millis_left() const {
  timespec now = monotonic_now();
  int64_t left_ns =
      (static_cast<int64_t>(deadline_.tv_sec) - now.tv_sec) * 1000000000 +
      (deadline_.tv_nsec - now.tv_nsec);
  if (left_ns <= 0) return 0;
  return static_cast<int>(
      std::min<int64_t>((left_ns + 999999) / 1000000, INT_MAX));
}

bool timed_command::wait_exit(int ms) {
  for (;;) {
    timespec timeout{};
    timespec* limit = nullptr;
    if (ms >= 0) {
      timeout.tv_sec = ms / 1000;
      timeout.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
      limit = &timeout;
    }
    struct kevent event {};
    int got = kevent(exits_.get(), nullptr, 0, &event, 1, limit);
    if (got == 1) break;
    if (got == 0) return false;
    // A handled signal (SIGPIPE) cuts the wait short; it goes on, shorter.
    if (errno != EINTR) return false;
    if (ms >= 0) ms = std::max(0, millis_left());
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid_, &status, 0);
  } while (waited == -1 && errno == EINTR);
  reaped_ = true;
  status_ = waited == -1 ? -1 : status;
  return true;
}

void timed_command::take_exit() {
  if (!reaped_) wait_exit(0);
}

void timed_command::stop_group() {
  timed_out_ = true;
  killpg(pid_, SIGTERM);
  if (!wait_exit(stop_grace_milliseconds)) {
    killpg(pid_, SIGKILL);
    wait_exit(-1);
  } else {
    // The command is gone; what it started in its group goes with it.
    killpg(pid_, SIGKILL);
  }
  if (!reaped_) {
    // The queue failed us; the process has had SIGKILL and is reaped all
    // the same.
    while (waitpid(pid_, nullptr, 0) == -1 && errno == EINTR) {
    }
    reaped_ = true;
  }
  status_ = -1;
}

void timed_command::drain_output(std::string* buffer) {
  if (!output_.valid()) return;
  int flags = fcntl(output_.get(), F_GETFL);
  if (flags != -1) fcntl(output_.get(), F_SETFL, flags | O_NONBLOCK);
  size_t taken = 0;
  char chunk[4096];
  while (taken < max_drain_bytes) {
    ssize_t n = read(output_.get(), chunk, sizeof chunk);
    if (n > 0) {
      buffer->append(chunk, static_cast<size_t>(n));
      taken += static_cast<size_t>(n);
      continue;
    }
    if (n == -1 && errno == EINTR) continue;
    break;  // end of file, or nothing more without waiting
  }
  output_.reset();
}

bool timed_command::read_more(std::string* buffer) {
  if (reaped_ || !output_.valid()) {
    output_.reset();
    return false;
  }
  for (;;) {
    int ms = millis_left();
    if (ms == 0) {
      output_.reset();
      stop_group();
      return false;
    }
    pollfd fds[2] = {{output_.get(), POLLIN, 0}, {exits_.get(), POLLIN, 0}};
    int ready = poll(fds, 2, ms);
    if (ready == -1) {
      if (errno == EINTR) continue;
      output_.reset();
      return false;
    }
    if (ready == 0) continue;  // the deadline is checked above
    if (fds[0].revents != 0) {
      char chunk[4096];
      ssize_t n = read(output_.get(), chunk, sizeof chunk);
      if (n > 0) {
        buffer->append(chunk, static_cast<size_t>(n));
        return true;
      }
      if (n == -1 && errno == EINTR) continue;
      if (n == 0 || errno != EAGAIN) {
        // End of file: the command has closed its output, but it ends when
        // its process exits; finish() waits for that.
        output_.reset();
        return false;
      }
    }
    if (fds[1].revents != 0) {
      take_exit();
      if (reaped_) {
        size_t before = buffer->size();
        drain_output(buffer);
        return buffer->size() > before;
      }
    }
  }
}

int timed_command::finish() {
  output_.reset();
  if (!reaped_) {
    int ms = millis_left();
    if (ms == 0 || !wait_exit(ms)) stop_group();
  }
  return status_;
}

}  // namespace kelv
