// Restarting a registered service now.
#ifndef KELV_DAEMON_RESTART_H_
#define KELV_DAEMON_RESTART_H_

#include <string>

#include "daemon/monitor_state.h"

namespace kelv {

// The marker of a restart that rc(8) declined because the service is not
// enabled; the whole text, path and full stop included.
inline constexpr const char restart_not_enabled_marker[] =
    "_enable to YES in /usr/local/etc/rc.conf.";

// Runs `service NAME restart` for the registered service `name`, then
// refreshes and watches its PIDs. Returns 0 restarted and watched (the
// restart is noted in the record's crash throttle); 1 another thread is
// restarting it; -1 failed (logged); -2 not registered, at the call or after
// the commands (also when a newer record of the name replaced it: that one is
// left as it is).
// REQUIRES: state.lock held. It is released while the commands run and held
// again on return, so every pointer into the lists taken before the call is
// stale afterwards; `name` must be the caller's own copy.
int restart_service(monitor_state& state, const std::string& name);

}  // namespace kelv

#endif  // KELV_DAEMON_RESTART_H_
