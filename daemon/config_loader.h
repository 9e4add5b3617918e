// The start-up pass over the configuration file: every listed service is
// put under watch, and started first when it does not run.
#ifndef KELV_DAEMON_CONFIG_LOADER_H_
#define KELV_DAEMON_CONFIG_LOADER_H_

#include "daemon/monitor_state.h"

namespace kelv {

// Reads settings().config_path once and registers its services. Runs the
// rc(8) commands without state.lock and takes it to look up and link each
// record. Always ends with "Monitoring processes...", then ends the start-up
// pass (end_startup_pass).
void load_config(monitor_state& state);

}  // namespace kelv

#endif  // KELV_DAEMON_CONFIG_LOADER_H_
