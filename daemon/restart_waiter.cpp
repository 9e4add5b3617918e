#include "daemon/restart_waiter.h"

#include <memory>

#include "daemon/log.h"
#include "daemon/probes.h"
#include "daemon/restart.h"
#include "daemon/retry_queue.h"
#include "daemon/system_env.h"

namespace kelv {
namespace {

void log_removed(const std::string& name) {
  log_msg(log_error,
          "Service: %s was removed from monitoring while I was waiting for it "
          "to restart.",
          name.c_str());
}

}  // namespace

int spawn_restart_waiter(monitor_state& state, const std::string& name,
                         uint64_t generation) {
  auto args =
      std::make_unique<waiter_args>(waiter_args{&state, name, generation});
  pthread_t thread;
  if (current_env().create_thread(&thread, restart_waiter, args.get()) != 0) {
    return -1;
  }
  args.release();  // the thread owns the block now and frees it
  if (current_env().detach_thread(thread) != 0) {
    log_msg(log_error, "Could not detach restart thread.");
  }
  return 0;
}

void* restart_waiter(void* arg) {
  std::unique_ptr<waiter_args> args(static_cast<waiter_args*>(arg));
  monitor_state& state = *args->state;
  const std::string& name = args->name;
  const uint64_t generation = args->generation;

  // Give an outside hand (an administrator, rc(8)) time to bring the service
  // back before restarting it ourselves. The probe runs without the lock, and
  // the record is looked up anew before and after it: it may be removed or
  // replaced meanwhile.
  for (int poll = 0; poll < waiter_polls; ++poll) {
    {
      mutex_guard guard(state.lock);
      if (find_service(state, name, generation) == nullptr) {
        guard.unlock();
        log_removed(name);
        return nullptr;
      }
    }
    std::vector<pid_t> pids;
    int probed = probe_pids(name, &pids);
    {
      mutex_guard guard(state.lock);
      service_entry* entry = find_service(state, name, generation);
      if (entry == nullptr) {
        guard.unlock();
        log_removed(name);
        return nullptr;
      }
      entry->pids = std::move(pids);
      if (probed == 0) {
        if (watch_service(state, *entry) == 0) {
          enter_state(entry->report, service_state::running);
          log_msg(log_info, "Service: %s was restarted, but not by me.",
                  entry->name.c_str());
        } else {
          enter_state(entry->report, service_state::given_up);
          log_msg(log_error, "Could not monitor service.");
        }
        return nullptr;
      }
    }
    current_env().sleep_seconds(waiter_poll_seconds);
  }

  mutex_guard guard(state.lock);
  if (find_service(state, name, generation) == nullptr) {
    log_msg(log_error,
            "Service %s was removed from monitoring while I was waiting for it "
            "to restart.",
            name.c_str());
    return nullptr;
  }
  if (restart_service(state, name) == 0) {
    log_msg(log_notice, "Service: %s was restarted.", name.c_str());
  } else if (schedule_retry(state, name, generation) == -1) {
    mark_given_up(state, name, generation);
    log_msg(log_error, "Service: %s could not be scheduled  for retry",
            name.c_str());
  }
  return nullptr;
}

}  // namespace kelv
