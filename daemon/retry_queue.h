// The retry queue: services whose restart failed, tried again on the
// monotonic clock by the retry_worker thread.
#ifndef KELV_DAEMON_RETRY_QUEUE_H_
#define KELV_DAEMON_RETRY_QUEUE_H_

#include <stdint.h>

#include <string>

#include "daemon/monitor_state.h"

namespace kelv {

inline constexpr uint32_t retry_interval_seconds = 60;
inline constexpr uint32_t retry_count = 5;
inline constexpr time_t retry_deferral_seconds = 60;

// Queues a retry of the registered service `name` one interval from now.
// Returns 0 when queued or when none is needed (being restarted, already
// queued); -1 when not registered or memory or the clock failed.
// REQUIRES: state.lock held; it is never released.
int schedule_retry(monitor_state& state, const std::string& name);

// The same for the record of that generation only: a newer record of the
// name (disabled and enabled meanwhile) counts as not registered.
int schedule_retry(monitor_state& state, const std::string& name,
                   uint64_t generation);

// One pass of the worker: waits for the earliest entry to come due, attempts
// it and reschedules or removes it. Returns false when a condition wait failed
// and the worker must end. REQUIRES: state.lock not held.
bool retry_worker_pass(monitor_state& state);

// Thread body; arg is the monitor_state. Runs passes until one fails.
void* retry_worker(void* arg);

}  // namespace kelv

#endif  // KELV_DAEMON_RETRY_QUEUE_H_
