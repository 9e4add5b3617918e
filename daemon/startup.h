// The daemon's start-up: options, checks, resources and threads, in a fixed
// order, then the start-up pass and the exit-event loop.
#ifndef KELV_DAEMON_STARTUP_H_
#define KELV_DAEMON_STARTUP_H_

namespace kelv {

inline constexpr const char daemon_version[] = "1.3";

// Exit statuses of the daemon.
inline constexpr int exit_usage = 64;   // -V, usage errors
inline constexpr int exit_failure = 1;  // fatal errors, shutdown by signal

// Runs the daemon. Returns only the exit status of an early end (-V, usage);
// otherwise the process ends through the shutdown sequence or a fatal error.
int run_daemon(int argc, char** argv);

}  // namespace kelv

#endif  // KELV_DAEMON_STARTUP_H_
