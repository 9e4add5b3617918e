// The main thread's loop over process-exit events.
#ifndef KELV_DAEMON_EVENT_LOOP_H_
#define KELV_DAEMON_EVENT_LOOP_H_

#include <stdint.h>

#include "daemon/monitor_state.h"

namespace kelv {

enum class exit_kind { stopped, continued, exited, signalled };

// Decodes a wait(2) status. *value is the exit code for `exited` and the
// signal number (core-dump bit ignored) for `signalled`.
exit_kind decode_wait_status(int status, int* value);

// Whether a signal stops a service on purpose (SIGINT, SIGKILL, SIGTERM,
// SIGUSR1, SIGUSR2 by name): such an end waits for an outside restart first.
bool is_stop_signal(int signal);

// Handles one exit of `pid` with wait status `status`: finds the service,
// logs, and starts a waiter, restarts or queues a retry.
// REQUIRES: state.lock not held; it is taken for the whole handling.
void handle_exit(monitor_state& state, intptr_t pid, int status);

// Waits on state.kq for exit events and handles them, for ever.
[[noreturn]] void event_loop(monitor_state& state);

}  // namespace kelv

#endif  // KELV_DAEMON_EVENT_LOOP_H_
