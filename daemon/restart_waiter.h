// Restart waiters: detached threads that give a service that exited time to
// come back by another hand before restarting it themselves.
#ifndef KELV_DAEMON_RESTART_WAITER_H_
#define KELV_DAEMON_RESTART_WAITER_H_

#include <string>

#include "daemon/monitor_state.h"

namespace kelv {

inline constexpr int waiter_polls = 7;
inline constexpr unsigned waiter_poll_seconds = 10;

// The argument block of one waiter, owned by its thread once created.
struct waiter_args {
  monitor_state* state;  // not owned; lives as long as the process
  std::string name;
  uint64_t generation;  // the record waited for; a newer one is not it
};

// Starts a detached restart_waiter for a copy of `name`, for the record of
// that generation. Returns 0 when the thread was created, -1 otherwise. May
// be called with state.lock held.
int spawn_restart_waiter(monitor_state& state, const std::string& name,
                         uint64_t generation);

// Thread body; arg is a waiter_args that the thread frees.
void* restart_waiter(void* arg);

}  // namespace kelv

#endif  // KELV_DAEMON_RESTART_WAITER_H_
