#include "daemon/restart.h"

#include <errno.h>
#include <string.h>

#include "daemon/log.h"
#include "daemon/probes.h"
#include "daemon/service_command.h"

namespace kelv {
namespace {

// Runs `service NAME restart` to its end. Returns whether the attempt counts
// as successful; a failure to start it is logged here.
bool run_restart_command(const std::string& name) {
  auto output = open_service_command(name, "restart");
  if (output == nullptr) {
    char text[error_text_bytes];
    if (error_text(errno, text, sizeof text)) {
      log_msg(log_error, "popen failed for service: %s: %s.", name.c_str(),
              text);
    } else {
      log_msg(log_error, "popen failed for service: %s", name.c_str());
    }
    return false;
  }
  char piece[2048];
  while (output->read_piece(piece, sizeof piece)) {
    // rc(8) declined; its status says nothing, the PID refresh will.
    if (strstr(piece, restart_not_enabled_marker) != nullptr) {
      output->close();
      return true;
    }
  }
  return clean_status(output->close());
}

}  // namespace

int restart_service(monitor_state& state, const std::string& name) {
  service_entry* entry = find_service(state, name);
  if (entry == nullptr) {
    log_msg(log_notice,
            "Service: %s is no longer registered. The restart was cancelled.",
            name.c_str());
    return -2;
  }
  if (entry->restarting == 1) {
    log_msg(log_notice,
            "Service: %s was already restarting and will not be restarted "
            "now.",
            name.c_str());
    return 1;
  }
  // The entry may be freed, or replaced by a newer record of the same name,
  // while the lock is released; only the copy and the generation are used
  // afterwards.
  const std::string copy = entry->name;
  const uint64_t generation = entry->generation;
  entry->restarting = 1;
  enter_state(entry->report, service_state::restarting);
  ++entry->report.restarts;
  bool succeeded;
  int probed = -1;
  std::vector<pid_t> pids;
  {
    scoped_unlock unlocked(state.lock);
    succeeded = run_restart_command(copy);
    if (succeeded) probed = probe_pids(copy, &pids);
  }
  entry = find_service(state, copy, generation);
  if (entry == nullptr) {
    log_msg(log_notice,
            "Service: %s is no longer registered after restart attempt.",
            copy.c_str());
    return -2;
  }
  int result = -1;
  if (!succeeded) {
    log_msg(log_error,
            "Service: %s could not be restarted. If any retry attempts exist, "
            "a retry will be attempted.",
            copy.c_str());
  } else {
    entry->pids = std::move(pids);
    if (probed != 0) {
      log_msg(log_error, "Could not get PIDS for service: %s.", copy.c_str());
    } else if (watch_service(state, *entry) != 0) {
      log_msg(log_error, "Could not monitor service: %s.", copy.c_str());
    } else {
      result = 0;
    }
  }
  entry->restarting = 0;
  if (result == 0) {
    note_own_start(entry->throttle);
    ++entry->report.restarts_succeeded;
    enter_state(entry->report, service_state::running);
  } else {
    // Nothing watches it now; a caller that queues it says so.
    ++entry->report.restarts_failed;
    enter_state(entry->report, service_state::given_up);
  }
  return result;
}

}  // namespace kelv
