// The one way the daemon runs rc(8)'s `service` command. The name goes to the
// command as one argument, never through a shell; a name that `service` would
// read as an option or a path is refused here, before anything runs.
//
// Thread safe: holds no state of its own.
#ifndef KELV_DAEMON_SERVICE_COMMAND_H_
#define KELV_DAEMON_SERVICE_COMMAND_H_

#include <memory>
#include <string>

#include "daemon/system_env.h"

namespace kelv {

// Whether `service` takes `name` as a plain service name: it does not start
// with '-' (an option) and holds no '/' (a path). A refused name is logged at
// priority 3.
bool acceptable_service_name(const std::string& name);

// Runs `service NAME VERB` and waits for it. Returns its wait status, or -1
// when the name is refused or the command could not be run.
int run_service_command(const std::string& name, const char* verb);

// Starts `service NAME VERB` with its standard output on a pipe. Returns null
// with errno set (EINVAL for a refused name) when nothing was started.
std::unique_ptr<command_output> open_service_command(const std::string& name,
                                                     const char* verb);

}  // namespace kelv

#endif  // KELV_DAEMON_SERVICE_COMMAND_H_
