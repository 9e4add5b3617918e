// The daemon's real environment: `service` run without a shell, the kernel's
// clock, pthreads and syslog.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>

#include "common/unique_fd.h"
#include "daemon/system_env.h"

extern char** environ;

namespace kelv {
namespace {

// The status the shell gives a command it cannot find or run.
constexpr int command_not_found_status = 127 << 8;

// A spawned `service` whose standard output is read through a pipe. Owns the
// stream and the child, and waits for the child when closed or destroyed.
class spawned_output : public command_output {
 public:
  spawned_output(FILE* stream, pid_t pid) : stream_(stream), pid_(pid) {}
  ~spawned_output() override {
    if (stream_ != nullptr || pid_ > 0) close();
  }
  spawned_output(const spawned_output&) = delete;
  spawned_output& operator=(const spawned_output&) = delete;

  bool read_piece(char* buf, int size) override {
    if (stream_ == nullptr) return false;
    return fgets(buf, size, stream_) != nullptr;
  }

  int close() override {
    int result = 0;
    if (stream_ != nullptr) {
      if (fclose(stream_) != 0) result = -1;
      stream_ = nullptr;
    }
    if (pid_ <= 0) {
      pid_ = 0;
      return result == 0 ? command_not_found_status : -1;
    }
    int status = 0;
    pid_t waited;
    do {
      waited = waitpid(pid_, &status, 0);
    } while (waited == -1 && errno == EINTR);
    pid_ = 0;
    if (waited == -1 || result == -1) return -1;
    return status;
  }

 private:
  FILE* stream_;
  pid_t pid_;
};

// posix_spawn attributes that give the command the default signal dispositions
// and an empty signal mask, whatever the calling thread has.
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
    posix_spawnattr_setflags(&attr_,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
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

// Starts `service NAME VERB`. Returns the spawn error number (0 on success).
int spawn_service(pid_t* pid, const std::string& name, const char* verb,
                  const posix_spawn_file_actions_t* actions) {
  static const spawn_attributes attributes;
  std::string name_arg = name;
  std::string verb_arg = verb;
  char service_arg[] = "service";
  char* argv[] = {service_arg, name_arg.data(), verb_arg.data(), nullptr};
  return posix_spawnp(pid, "service", actions, attributes.get(), argv, environ);
}

class real_system_env : public system_env {
 public:
  int run_service(const std::string& name, const char* verb) override {
    pid_t pid = 0;
    int error = spawn_service(&pid, name, verb, nullptr);
    if (error != 0) {
      if (command_missing(error)) return command_not_found_status;
      errno = error;
      return -1;
    }
    int status = 0;
    pid_t waited;
    do {
      waited = waitpid(pid, &status, 0);
    } while (waited == -1 && errno == EINTR);
    return waited == -1 ? -1 : status;
  }

  std::unique_ptr<command_output> open_service(const std::string& name,
                                               const char* verb) override {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == -1) return nullptr;
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);
    spawn_actions actions;
    posix_spawn_file_actions_adddup2(actions.get(), write_end.get(),
                                     STDOUT_FILENO);
    pid_t pid = 0;
    int error = spawn_service(&pid, name, verb, actions.get());
    if (error != 0 && !command_missing(error)) {
      errno = error;
      return nullptr;
    }
    if (error != 0) pid = 0;
    ::close(write_end.release());
    FILE* stream = fdopen(read_end.get(), "r");
    if (stream == nullptr) {
      int saved = errno;
      if (pid > 0) {
        ::close(read_end.release());  // the command sees the pipe closed
        waitpid(pid, nullptr, 0);
      }
      errno = saved;
      return nullptr;
    }
    read_end.release();
    return std::make_unique<spawned_output>(stream, pid);
  }

  bool process_exists(pid_t pid) override { return getsid(pid) != -1; }

  int monotonic_now(timespec* now) override {
    return clock_gettime(CLOCK_MONOTONIC, now);
  }

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
