// The one way the daemon runs rc(8)'s `service` command. The name goes to the
// command as one argument (NAME@JAIL as `-j JAIL NAME`), never through a
// shell; a name that `service` would read as an option or a path is refused
// here, before anything runs.
//
// Thread safe: holds no state of its own.
#ifndef KELV_DAEMON_SERVICE_COMMAND_H_
#define KELV_DAEMON_SERVICE_COMMAND_H_

#include <memory>
#include <string>

#include "daemon/system_env.h"

namespace kelv {

// How long an rc(8) command may run before it is stopped: a probe
// (onestatus) and an action (start, restart).
inline constexpr unsigned probe_limit_seconds = 10;
inline constexpr unsigned action_limit_seconds = 120;

// The limit for `service NAME VERB`.
unsigned command_limit_seconds(const char* verb);

// Whether `service` takes `name` as a plain service name: it does not start
// with '-' (an option), holds no '/' (a path) and no control byte (0x01-0x1f,
// 0x7f). Of NAME@JAIL (common/service_name.h), NAME and JAIL are each held to
// that, and neither may be empty. A refused name is logged at priority 3,
// with the reason.
bool acceptable_service_name(const std::string& name);

// Runs `service NAME VERB` and waits for it, within its time limit. Returns
// its wait status, or -1 when the name is refused, the command could not be
// run or its time limit stopped it (logged at priority 3).
int run_service_command(const std::string& name, const char* verb);

// Starts `service NAME VERB` with its standard output on a pipe. Returns null
// with errno set (EINVAL for a refused name) when nothing was started. The
// output ends when the command exits; a command stopped at its time limit
// is logged at priority 3 and closes with -1.
std::unique_ptr<command_output> open_service_command(const std::string& name,
                                                     const char* verb);

}  // namespace kelv

#endif  // KELV_DAEMON_SERVICE_COMMAND_H_
