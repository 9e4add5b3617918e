// The daemon's process-wide settings and its shutdown sequence.
//
// Thread safety: the settings are written by the main thread during start-up,
// before any other thread exists, and are read-only afterwards.
#ifndef KELV_DAEMON_SETTINGS_H_
#define KELV_DAEMON_SETTINGS_H_

#include <string>

struct pidfh;

namespace kelv {

inline constexpr const char default_config_path[] = "/usr/local/etc/kelv.conf";
inline constexpr const char default_pidfile_path[] = "/var/run/kelv.pid";

struct daemon_settings {
  std::string config_path;
  std::string socket_path;
  std::string pidfile_path;  // empty: the platform's default pidfile
  pidfh* pidfile_handle = nullptr;
};

daemon_settings& settings();

// Logs "kelv shutdown requested.", removes the socket file and the pidfile and
// ends the process with `status` (1 from a signal, 0 from the control
// command). Safe to call from any thread, but not from a signal handler.
[[noreturn]] void run_shutdown_sequence(int status);

// Ends the process with `status` at once, without flushing shared streams and
// without running static destructors under the feet of the other threads.
[[noreturn]] void end_process(int status);

// Writes "PROGNAME: WHAT: ERROR TEXT" to the standard error descriptor, as
// err(3) would, and ends the process like end_process. For fatal errors once
// other threads exist.
[[noreturn]] void end_process_with_error(int status, int error,
                                         const char* what);

}  // namespace kelv

#endif  // KELV_DAEMON_SETTINGS_H_
