#include "daemon/config_loader.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "common/service_name.h"
#include "daemon/log.h"
#include "daemon/probes.h"
#include "daemon/restart_waiter.h"
#include "daemon/settings.h"

namespace kelv {

namespace {

// fgets into this many bytes: a longer line is read on as further names.
constexpr int line_bytes = 2048;

// The second placeholder names what could not be started for the service:
// the thread that would have watched it come up.
constexpr const char waiter_failed_format[] =
    "%s failed to wait for %s to start. It is recommended that the service be "
    "removed and re-added.";
constexpr const char waiter_failed_what[] = "its restart waiter thread";

struct file_closer {
  void operator()(FILE* file) const { fclose(file); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

// Whether a service of this name is registered. Takes the lock.
bool registered(monitor_state& state, const std::string& name) {
  mutex_guard guard(state.lock);
  return find_service(state, name) != nullptr;
}

// Learns the PID of a fresh record if it is still unknown (without the
// lock), then watches it and links it. Returns false when it was not linked:
// the watch failed (logged), or the name was registered meanwhile.
bool watch_and_link(monitor_state& state, std::unique_ptr<service_entry> entry,
                    bool then_wait) {
  // A service whose PID cannot be learned is still registered, with nothing
  // to watch: the refresh's result is not looked at.
  if (entry->pids.empty()) (void)refresh_pids(*entry);
  const std::string name = entry->name;
  mutex_guard guard(state.lock);
  if (find_service(state, name) != nullptr) return false;
  if (watch_service(state, *entry) != 0) {
    log_msg(log_error, "%s could not be monitored.", name.c_str());
    return false;
  }
  log_msg(log_info, "%s has been added.", name.c_str());
  link_service(state, std::move(entry));
  if (!then_wait) {
    log_msg(log_info, "%s is being monitored.", name.c_str());
    return true;
  }
  // The waiter's first poll finds the fresh PID and re-arms the watch, which
  // covers a process that rc(8) replaced right after the start.
  uint64_t generation = state.last_generation;
  if (spawn_restart_waiter(state, name, generation) == 0) {
    log_msg(log_info, "%s started from config file.", name.c_str());
  } else {
    log_msg(log_error, waiter_failed_format, name.c_str(), waiter_failed_what);
  }
  return true;
}

void add_running(monitor_state& state, const std::string& name) {
  if (registered(state, name)) return;
  std::unique_ptr<service_entry> entry = new_service(name);
  if (!entry) {
    log_msg(log_error, "%s could not be built a structure for.", name.c_str());
    return;
  }
  watch_and_link(state, std::move(entry), false);
}

void start_and_add(monitor_state& state, const std::string& name) {
  if (registered(state, name)) {
    log_msg(log_error, "%s is registered, but not running.", name.c_str());
    return;
  }
  std::unique_ptr<service_entry> entry = new_service(name);
  if (!entry) {
    log_msg(log_error, "%s could not be built a structure for.", name.c_str());
    return;
  }
  int started = start_service(*entry);
  if (started < 0) {
    log_msg(log_error, "%s could not be started.", name.c_str());
    return;
  }
  if (started > 0) {
    // NAME@JAIL: the variable to set is NAME's, in the jail's own rc.conf;
    // "nginx@web1_enable" would be no variable at all.
    const service_name_parts parts = split_service_name(name);
    if (parts.jailed) {
      const std::string service(parts.service), jail(parts.jail);
      log_msg(log_error,
              "%s could not be started. Set %s_enable to YES in %cetc/rc.conf "
              "inside jail %s.",
              name.c_str(), service.c_str(), '/', jail.c_str());
    } else {
      log_msg(log_error,
              "%s could not be started. Set %s_enable to YES in %cetc/rc.conf.",
              name.c_str(), name.c_str(), '/');
    }
    return;
  }
  watch_and_link(state, std::move(entry), true);
}

}  // namespace

void load_config(monitor_state& state) {
  unique_file file(fopen(settings().config_path.c_str(), "r"));
  if (!file) {
    int saved = errno;
    char text[error_text_bytes];
    if (error_text(saved, text, sizeof text)) {
      log_msg(log_error, "Opening configuration failed: %s", text);
    } else {
      log_msg(log_error, "Opening configuration failed");
    }
  } else {
    // Each service's commands run without the lock; requests wait for the
    // end of the pass all the same (startup_pass_running).
    char line[line_bytes];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
      // Nothing is trimmed: blanks and a carriage return belong to the name.
      std::string name(line, strcspn(line, "\n"));
      if (!name.empty() && name[0] == '#') continue;
      if (service_running(name) != 0) {
        add_running(state, name);
      } else {
        start_and_add(state, name);
      }
    }
    file.reset();
  }
  log_msg(log_info, "Monitoring processes...");
  mutex_guard guard(state.lock);
  end_startup_pass(state);
}

}  // namespace kelv
