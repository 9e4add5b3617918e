#include "daemon/startup.h"

#include <err.h>
#include <errno.h>
#include <libutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/event.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "common/getopt_order.h"
#include "common/protocol.h"
#include "daemon/config_loader.h"
#include "daemon/control_server.h"
#include "daemon/event_loop.h"
#include "daemon/log.h"
#include "daemon/monitor_state.h"
#include "daemon/retry_queue.h"
#include "daemon/settings.h"
#include "daemon/signals.h"

namespace kelv {
namespace {

constexpr char usage_text[] =
    "usage: kelv\noptions:\n\t-V   Show version info.\n\t-d   Daemonize.\n"
    "\t-v   Verbosity, use multiple times.\n\t-p P Use pidfile P.\n"
    "\t-s S Use socket S.\n\t-c C Use config file C.\n";

struct startup_options {
  bool detach = false;
  unsigned verbosity = 1;
  bool have_config = false;
  bool have_socket = false;
};

// An option's value, which must not be empty.
std::string copy_option(const char* value) {
  if (value[0] == '\0') {
    errno = EINVAL;
    err(1, "asprintf");
  }
  return value;
}

// Reads the options. Returns false after -V or a usage error, with *status
// set to the exit status.
bool read_options(int argc, char** argv, startup_options& options,
                  int* status) {
  int option;
  while ((option = getopt(argc, argv, KELV_GETOPT_IN_ORDER "Vdvfp:s:c:")) !=
         -1) {
    switch (option) {
      case 'V':
        fprintf(stderr, "kelv version %s\n", daemon_version);
        *status = exit_usage;
        return false;
      case 'd':
        options.detach = true;
        break;
      case 'v':
        ++options.verbosity;
        break;
      case 'f':
        break;
      case 'p':
        settings().pidfile_path = copy_option(optarg);
        break;
      case 's':
        settings().socket_path = copy_option(optarg);
        options.have_socket = true;
        break;
      case 'c':
        settings().config_path = copy_option(optarg);
        options.have_config = true;
        break;
      default:
        fputs(usage_text, stderr);
        *status = exit_usage;
        return false;
    }
  }
  return true;
}

int log_mask_for(unsigned verbosity) {
  if (verbosity >= 3) return 255;
  if (verbosity == 2) return 127;
  return 63;
}

// Refuses to start over any file at the pidfile path, also a stale one.
void check_pidfile(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0)
    errx(1, "A pidfile exists: %s, not starting.", path.c_str());
  if (errno != ENOENT) err(1, "Unable to stat pidfile: %s", path.c_str());
}

void remove_old_socket(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) {
    if (unlink(path.c_str()) == -1) err(1, "Deleting old socket.");
  } else if (errno != ENOENT) {
    err(1, "Unable to stat socket: %s.", path.c_str());
  }
}

void check_config(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) return;
  warnx("Configuration file: %s, does not exist. Services need added manually.",
        path.c_str());
  log_msg(log_notice,
          "Configuration file: %s not found, no services will be added during "
          "start up.",
          path.c_str());
}

}  // namespace

int run_daemon(int argc, char** argv) {
  daemon_settings& config = settings();
  startup_options options;
  int status = 0;
  if (!read_options(argc, argv, options, &status)) return status;

  setlogmask(log_mask_for(options.verbosity));

  if (!options.have_socket) config.socket_path = default_socket_path;
  if (!options.have_config) config.config_path = default_config_path;

  check_pidfile(config.pidfile_path.empty() ? default_pidfile_path
                                            : config.pidfile_path);
  remove_old_socket(config.socket_path);
  check_config(config.config_path);

  config.pidfile_handle = pidfile_open(
      config.pidfile_path.empty() ? nullptr : config.pidfile_path.c_str(), 0644,
      nullptr);
  if (config.pidfile_handle == nullptr) err(1, "pidfile_open");

  if (options.detach && daemon(0, 0) == -1) err(1, "daemon");

  if (pidfile_write(config.pidfile_handle) == -1) err(1, "pidfile_write");

  // Lives as long as the process: the main thread never leaves this function.
  static monitor_state state;
  state.kq = kqueue();
  if (state.kq == -1) err(1, "kqueue");

  const char* what = nullptr;
  int rc = init_monitor_sync(state, &what);
  if (rc != 0) errc(1, rc, "%s", what);

  install_signal_handlers();

  log_msg(log_notice, "Starting ...");

  // Requests wait for the end of the start-up pass.
  state.startup_pass_running = true;
  // Other threads run from here on: a fatal error must not run destructors.
  rc = pthread_create(&state.control_thread, nullptr, control_server, &state);
  if (rc != 0) end_process_with_error(1, rc, "pthread_create");
  rc = pthread_create(&state.retry_thread, nullptr, retry_worker, &state);
  if (rc != 0) end_process_with_error(1, rc, "pthread_create retry_worker");

  load_config(state);
  event_loop(state);
}

}  // namespace kelv
