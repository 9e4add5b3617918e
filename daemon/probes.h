// What the daemon asks rc(8) and the kernel about one service: whether it
// runs, its PID, starting it, and a one-shot exit watch on its PID.
//
// Every call but watch_service blocks its thread while a command runs, so
// none of them may be called with state.lock held: they work on names and on
// records the caller owns alone (fresh, unlinked ones). watch_service runs
// no command and needs the lock.
#ifndef KELV_DAEMON_PROBES_H_
#define KELV_DAEMON_PROBES_H_

#include <memory>
#include <string>

#include "daemon/monitor_state.h"

namespace kelv {

// The marker in rc(8)'s output for a service that is not enabled.
inline constexpr const char not_enabled_marker[] = "_enable to YES in";

// A status of system(3) or pclose(3) is clean when it is 0 once bit 0x80 is
// ignored: exactly 0 and 0x80.
inline bool clean_status(int status) { return (status & ~0x80) == 0; }

// A fresh, unlinked record for `name`, or null (logged) when it cannot be
// built; an empty name is refused.
std::unique_ptr<service_entry> new_service(const std::string& name);

// 1 when `service NAME onestatus` ends with a clean status, 0 otherwise.
int service_running(const std::string& name);

// Builds a PID list in *pids from `service NAME onestatus`: 0 a PID was
// recorded; 1 no PID, or the service is not enabled; -1 failure.
int probe_pids(const std::string& name, std::vector<pid_t>* pids);

// probe_pids into the PID list of a record the caller owns alone.
int refresh_pids(service_entry& entry);

// `service NAME restart`, then up to eleven polls a second apart for a PID,
// recorded in entry (a record the caller owns alone): 0 started with its PID
// recorded, and the start noted in its crash throttle; 1 not enabled; -1
// failure.
int start_service(service_entry& entry);

// Registers a one-shot exit watch on state.kq for every PID of entry:
// 0 all watched (also for an empty list); -1 a registration failed (logged).
// REQUIRES: state.lock held when entry is linked.
int watch_service(monitor_state& state, service_entry& entry);

}  // namespace kelv

#endif  // KELV_DAEMON_PROBES_H_
