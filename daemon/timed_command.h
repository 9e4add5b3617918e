// One run of rc(8)'s `service` command, bounded in time: the command runs in
// a process group of its own, ends when its process exits (not when its
// output reaches end of file), and is stopped when it outlives its limit.
//
// Not thread safe: one thread owns a timed_command from start to finish.
#ifndef KELV_DAEMON_TIMED_COMMAND_H_
#define KELV_DAEMON_TIMED_COMMAND_H_

#include <sys/types.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace kelv {

// After SIGTERM to a command's group that outlived its limit, the group gets
// SIGKILL once this many milliseconds have passed without its exit.
inline constexpr int stop_grace_milliseconds = 1000;

// The argument vector of `service NAME VERB`: "service", NAME, VERB for a
// host service, and "service", "-j", JAIL, NAME, VERB for NAME@JAIL. Nothing
// else is ever passed. REQUIRES: the name passed acceptable_service_name.
std::vector<std::string> service_command_words(const std::string& name,
                                               const char* verb);

class timed_command {
  struct passkey {
    explicit passkey() = default;
  };

 public:
  // Starts `service NAME VERB` (found on PATH, no shell; the words of
  // service_command_words), with its standard
  // output on a pipe when capture is true, else on the daemon's. Returns 0
  // with *out set, or the error number of the failed call; a command that
  // cannot be found gives *out null and 0 (the caller reads it as the shell's
  // status 127 << 8).
  static int start(const std::string& name, const char* verb, bool capture,
                   unsigned limit_seconds, std::unique_ptr<timed_command>* out);

  // For start() only (the key is private).
  timed_command(passkey, pid_t pid, unique_fd output, unique_fd exits,
                const timespec& deadline);
  ~timed_command();
  timed_command(const timed_command&) = delete;
  timed_command& operator=(const timed_command&) = delete;

  // Appends what the command writes to *buffer, waiting for at least one
  // byte. Returns false once no more will come: the command exited and what
  // it left in the pipe has been read, or it was stopped at its limit, or
  // nothing is captured.
  bool read_more(std::string* buffer);

  // Closes the pipe, waits for the command until its limit (stopping it
  // then) and reaps it. Returns its wait status, or -1 when it was stopped
  // or could not be waited for. Later calls return the same.
  int finish();

  bool timed_out() const { return timed_out_; }

 private:
  // Milliseconds left until the deadline (0 once it has passed).
  int millis_left() const;
  // Collects the exit event, if it has come, and reaps the process.
  void take_exit();
  // Reads what is left in the pipe without blocking, then closes it.
  void drain_output(std::string* buffer);
  // Waits for the exit event at most ms milliseconds (-1: no limit).
  bool wait_exit(int ms);
  void stop_group();

  pid_t pid_;
  unique_fd output_;  // the pipe's read end; invalid once drained or closed
  unique_fd exits_;   // a queue with the process's exit watch
  timespec deadline_;
  bool reaped_ = false;
  bool timed_out_ = false;
  int status_ = -1;
};

}  // namespace kelv

#endif  // KELV_DAEMON_TIMED_COMMAND_H_
