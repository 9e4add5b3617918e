// The start-up pass over the configuration file: every listed service is
// put under watch, and started first when it does not run.
#ifndef KELV_DAEMON_CONFIG_LOADER_H_
#define KELV_DAEMON_CONFIG_LOADER_H_

#include "daemon/monitor_state.h"

namespace kelv {

// Reads settings().config_path once and registers its services. Takes
// state.lock for the whole pass. Always ends with "Monitoring processes...".
void load_config(monitor_state& state);

}  // namespace kelv

#endif  // KELV_DAEMON_CONFIG_LOADER_H_
