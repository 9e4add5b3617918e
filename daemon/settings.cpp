#include "daemon/settings.h"

#include <err.h>
#include <libutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

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
    err(1, "pidfile_remove");
  }
  end_process(status);
}

void end_process(int status) {
  fflush(nullptr);
  _exit(status);
}

}  // namespace kelv
