#include "daemon/settings.h"

#include <errno.h>
#include <libutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "daemon/log.h"

namespace kelv {

daemon_settings& settings() {
  static daemon_settings instance;
  return instance;
}

void run_shutdown_sequence(int status) {
  // A signal and the control command may ask at the same moment; one of
  // them ends the process, the other waits for that.
  static std::atomic<bool> started{false};
  if (started.exchange(true)) {
    for (;;) pause();
  }
  log_msg(log_info, "kelv shutdown requested.");
  unlink(settings().socket_path.c_str());
  if (settings().pidfile_handle != nullptr &&
      pidfile_remove(settings().pidfile_handle) == -1) {
    end_process_with_error(1, errno, "pidfile_remove");
  }
  end_process(status);
}

void end_process(int status) {
  // No stream is flushed and no destructor runs: other threads may hold a
  // stream's lock or use the objects, and syslog is unbuffered.
  _exit(status);
}

void end_process_with_error(int status, int error, const char* what) {
  char text[512];
  char line[1024];
  if (!error_text(error, text, sizeof text)) {
    snprintf(text, sizeof text, "error %d", error);
  }
  int length =
      snprintf(line, sizeof line, "%s: %s: %s\n", getprogname(), what, text);
  if (length > 0) {
    // Straight to the descriptor, as err(3) would print it, without taking
    // the lock of stderr's stream.
    size_t size = std::min(static_cast<size_t>(length), sizeof line - 1);
    [[maybe_unused]] ssize_t written = write(STDERR_FILENO, line, size);
  }
  end_process(status);
}

}  // namespace kelv
