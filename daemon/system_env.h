// The seam between the daemon's logic and the system: running the rc(8)
// `service` command, asking whether a process exists, the monotonic clock,
// sleeping, condition waits, starting threads and logging.
//
// Production code reaches the system only through current_env(); unit tests
// install a fake with a scripted rc and a virtual clock (set_current_env), so
// the daemon's real logic runs without waiting real minutes.
//
// Thread safety: an implementation is called from every daemon thread at once.
#ifndef KELV_DAEMON_SYSTEM_ENV_H_
#define KELV_DAEMON_SYSTEM_ENV_H_

#include <pthread.h>
#include <stdarg.h>
#include <sys/types.h>
#include <time.h>

#include <memory>
#include <string>

namespace kelv {

// The standard output of a running `service` command, read like popen(3),
// except that the output ends when the command's process exits: a process it
// started that keeps the pipe open does not hold the reader.
class command_output {
 public:
  virtual ~command_output() = default;
  // Reads the next piece into buf like fgets(buf, size, ...): at most
  // size - 1 bytes, up to and including a newline, NUL-terminated. Returns
  // false at the end of the output (the command exited and what it left in
  // the pipe is read), on a read error, or when its time limit stopped it.
  virtual bool read_piece(char* buf, int size) = 0;
  // Closes the pipe and waits for the command, at most until its time limit.
  // Returns its wait status (as pclose does), or -1 when the close or the
  // wait failed or the time limit stopped it.
  virtual int close() = 0;
  // Whether the command outlived its time limit and was stopped.
  virtual bool timed_out() const = 0;
};

class system_env {
 public:
  virtual ~system_env() = default;

  // Every command runs in a process group of its own. When it has not
  // ended limit_seconds after its start, its group is sent SIGTERM, then
  // SIGKILL a moment later, and it is reaped.

  // Runs `service NAME VERB` with the daemon's standard output and waits for
  // it. The name is one argument, byte for byte; no shell is involved.
  // Returns the wait status (as system(3) does), or -1 with errno set; -1
  // with *timed_out set when the time limit stopped it.
  virtual int run_service(const std::string& name, const char* verb,
                          unsigned limit_seconds, bool* timed_out) = 0;

  // Starts `service NAME VERB` with its standard output on a pipe. Returns
  // null with errno set when the pipe or the process cannot be made. A
  // command that cannot be found is not a failure here: it reads as empty
  // output and a close status of 127 << 8, as with the shell.
  virtual std::unique_ptr<command_output> open_service(
      const std::string& name, const char* verb, unsigned limit_seconds) = 0;

  // Whether a process with this ID exists (getsid does not fail).
  virtual bool process_exists(pid_t pid) = 0;

  // Reads CLOCK_MONOTONIC. Returns 0, or -1 with errno set.
  virtual int monotonic_now(timespec* now) = 0;

  // Reads the wall clock (time(3)), for what operators are shown.
  virtual time_t wall_now() = 0;

  virtual void sleep_seconds(unsigned seconds) = 0;

  // pthread_cond_wait and pthread_cond_timedwait (deadline on the condition
  // variable's clock, CLOCK_MONOTONIC). Return 0 or an error number.
  // REQUIRES: mutex held by the caller.
  virtual int cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) = 0;
  virtual int cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                             const timespec* deadline) = 0;

  // pthread_create with default attributes, and pthread_detach. Return 0 or
  // an error number.
  virtual int create_thread(pthread_t* thread, void* (*body)(void*),
                            void* arg) = 0;
  virtual int detach_thread(pthread_t thread) = 0;

  // Hands a formatted message to the system log at a bare priority.
  virtual void log(int priority, const char* format, va_list args) = 0;
};

// The environment in use; the real system unless a test installed another.
system_env& current_env();

// Installs env as current_env() (null restores the real system). For tests;
// call it while no daemon thread runs.
void set_current_env(system_env* env);

// The real system: posix_spawnp of `service` found on PATH, getsid,
// clock_gettime, sleep, pthreads and vsyslog.
system_env& real_env();

}  // namespace kelv

#endif  // KELV_DAEMON_SYSTEM_ENV_H_
