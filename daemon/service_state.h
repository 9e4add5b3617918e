// What kelv is doing with one service, for the operator: its state, since
// when, and what happened to it (exits, restarts). Kept on the service's
// record by the code that changes things, under the lock.
#ifndef KELV_DAEMON_SERVICE_STATE_H_
#define KELV_DAEMON_SERVICE_STATE_H_

#include <stdint.h>
#include <time.h>

#include "common/detail_format.h"

namespace kelv {

enum class exit_cause { none, signal, status };

struct service_report {
  service_state state = service_state::no_pid;
  time_t since = 0;       // wall clock: when it entered `state`
  uint64_t exits = 0;     // exit events seen
  uint64_t restarts = 0;  // restart commands kelv ran
  uint64_t restarts_succeeded = 0;
  uint64_t restarts_failed = 0;
  time_t last_exit_time = 0;  // wall clock; meaningful when cause != none
  exit_cause last_exit_cause = exit_cause::none;
  int last_exit_value = 0;  // the signal number or the exit status
};

// Moves report to `state`; the time changes only when the state does.
void enter_state(service_report& report, service_state state);

// Records an exit event: a signal number or an exit status.
void note_exit(service_report& report, exit_cause cause, int value);

}  // namespace kelv

#endif  // KELV_DAEMON_SERVICE_STATE_H_
