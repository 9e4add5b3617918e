#include "daemon/monitor_state.h"

namespace kelv {

service_entry* find_service(monitor_state& state, const std::string& name) {
  for (auto& entry : state.services) {
    if (entry->name == name) return entry.get();
  }
  return nullptr;
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
  state.services.push_front(std::move(entry));
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
  return 0;
}

}  // namespace kelv
