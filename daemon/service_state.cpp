#include "daemon/service_state.h"

#include "daemon/system_env.h"

namespace kelv {

void enter_state(service_report& report, service_state state) {
  if (report.state == state && report.since != 0) return;
  report.state = state;
  report.since = current_env().wall_now();
}

void note_exit(service_report& report, exit_cause cause, int value) {
  ++report.exits;
  report.last_exit_time = current_env().wall_now();
  report.last_exit_cause = cause;
  report.last_exit_value = value;
}

}  // namespace kelv
