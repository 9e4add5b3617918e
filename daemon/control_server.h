// The control server thread: owns the control socket and carries out
// "enable", "disable", "status", "detail" and "shutdown". Connections are
// taken one at a time; an "enable", whose rc(8) probes may take their whole
// time limit, is served on a thread of its own (a few at once), so that the
// others are answered meanwhile.
#ifndef KELV_DAEMON_CONTROL_SERVER_H_
#define KELV_DAEMON_CONTROL_SERVER_H_

#include "daemon/monitor_state.h"

namespace kelv {

// Carries out one received request (NUL-terminated, modified in place) and
// writes its reply to fd. Waits for the end of the start-up pass first. Runs
// rc(8) commands without state.lock, takes it to look at or change the
// lists, and sends replies without it. "shutdown" ends the process.
void serve_request(monitor_state& state, int fd, char* request);

// Thread body; arg is the monitor_state. Never returns: a fatal socket error
// ends the process with status 1.
void* control_server(void* arg);

}  // namespace kelv

#endif  // KELV_DAEMON_CONTROL_SERVER_H_
