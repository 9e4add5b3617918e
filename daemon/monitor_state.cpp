#include "daemon/monitor_state.h"

#include "daemon/system_env.h"

namespace kelv {

service_entry* find_service(monitor_state& state, const std::string& name) {
  for (auto& entry : state.services) {
    if (entry->name == name) return entry.get();
  }
  return nullptr;
}

service_entry* find_service(monitor_state& state, const std::string& name,
                            uint64_t generation) {
  service_entry* entry = find_service(state, name);
  if (entry == nullptr || entry->generation != generation) return nullptr;
  return entry;
}

service_entry* find_service_by_pid(monitor_state& state, pid_t pid) {
  for (auto& entry : state.services) {
    for (pid_t watched : entry->pids) {
      if (watched == pid) return entry.get();
    }
  }
  return nullptr;
}

retry_list::iterator find_retry(monitor_state& state, const std::string& name) {
  for (auto it = state.retry_queue.begin(); it != state.retry_queue.end();
       ++it) {
    if (it->name == name) return it;
  }
  return state.retry_queue.end();
}

void link_service(monitor_state& state, std::unique_ptr<service_entry> entry) {
  entry->generation = ++state.last_generation;
  enter_state(entry->report, entry->pids.empty() ? service_state::no_pid
                                                 : service_state::running);
  state.services.push_front(std::move(entry));
}

void mark_given_up(monitor_state& state, const std::string& name,
                   uint64_t generation) {
  service_entry* entry = find_service(state, name, generation);
  if (entry != nullptr) enter_state(entry->report, service_state::given_up);
}

void forget_pid(service_entry& entry, pid_t pid) {
  std::erase(entry.pids, pid);
}

void wait_for_startup_pass(monitor_state& state) {
  while (state.startup_pass_running) {
    if (current_env().cond_wait(&state.startup_cond, &state.lock) != 0) {
      return;  // nothing better to do than serve the request now
    }
  }
}

void end_startup_pass(monitor_state& state) {
  state.startup_pass_running = false;
  pthread_cond_broadcast(&state.startup_cond);
}

bool unlink_service(monitor_state& state, const std::string& name) {
  for (auto it = state.services.begin(); it != state.services.end(); ++it) {
    if ((*it)->name == name) {
      state.services.erase(it);
      return true;
    }
  }
  return false;
}

bool remove_retry_entry(monitor_state& state, const std::string& name) {
  auto it = find_retry(state, name);
  if (it == state.retry_queue.end()) return false;
  state.retry_queue.erase(it);
  pthread_cond_signal(&state.retry_cond);
  return true;
}

int init_monitor_sync(monitor_state& state, const char** what) {
  int rc = pthread_mutex_init(&state.lock, nullptr);
  if (rc != 0) {
    *what = "pthread_mutex_init";
    return rc;
  }
  pthread_condattr_t attr;
  rc = pthread_condattr_init(&attr);
  if (rc != 0) {
    *what = "pthread_condattr_init";
    return rc;
  }
  rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  if (rc != 0) {
    pthread_condattr_destroy(&attr);
    *what = "pthread_condattr_setclock";
    return rc;
  }
  rc = pthread_cond_init(&state.retry_cond, &attr);
  pthread_condattr_destroy(&attr);
  if (rc != 0) {
    *what = "pthread_cond_init";
    return rc;
  }
  rc = pthread_cond_init(&state.startup_cond, nullptr);
  if (rc != 0) {
    *what = "pthread_cond_init";
    return rc;
  }
  return 0;
}

}  // namespace kelv
