// The control server thread: owns the control socket and carries out
// "enable", "disable", "status" and "shutdown", one connection at a time.
#ifndef KELV_DAEMON_CONTROL_SERVER_H_
#define KELV_DAEMON_CONTROL_SERVER_H_

#include "daemon/monitor_state.h"

namespace kelv {

// Carries out one received request (NUL-terminated, modified in place) and
// writes its reply to fd. Takes state.lock from the dispatch to the last byte
// of the reply. "shutdown" ends the process.
void serve_request(monitor_state& state, int fd, char* request);

// Thread body; arg is the monitor_state. Never returns: a fatal socket error
// ends the process with status 1.
void* control_server(void* arg);

}  // namespace kelv

#endif  // KELV_DAEMON_CONTROL_SERVER_H_
