// The daemon's signal handling. The handlers only note the signal; a
// dedicated thread then logs SIGPIPE or runs the shutdown sequence, so the
// logger and the allocator are never entered from a signal context.
#ifndef KELV_DAEMON_SIGNALS_H_
#define KELV_DAEMON_SIGNALS_H_

namespace kelv {

// Installs pipe_handler for SIGPIPE and shutdown_handler for SIGHUP, SIGINT,
// SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGUSR1 and SIGUSR2, and
// starts the thread that acts on them. Start-up failures end the process.
void install_signal_handlers();

}  // namespace kelv

#endif  // KELV_DAEMON_SIGNALS_H_
