#include "daemon/retry_queue.h"

#include <errno.h>
#include <stdio.h>

#include "daemon/log.h"
#include "daemon/restart.h"
#include "daemon/system_env.h"

namespace kelv {
namespace {

bool later(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// The entry with the earliest deadline; on a full tie the one nearer the
// head, i.e. queued last. REQUIRES: queue not empty.
retry_list::iterator earliest(retry_list& queue) {
  auto chosen = queue.begin();
  for (auto it = std::next(chosen); it != queue.end(); ++it) {
    if (later(chosen->deadline, it->deadline)) chosen = it;
  }
  return chosen;
}

void log_wait_failure(const char* call, int error) {
  char text[error_text_bytes];
  if (!error_text(error, text, sizeof text)) {
    snprintf(text, sizeof text, "error %d", error);
  }
  log_msg(log_error, "%s failed: %s", call, text);
}

}  // namespace

namespace {

int schedule_retry_of(monitor_state& state, const std::string& name,
                      service_entry* service) {
  if (service == nullptr) {
    log_msg(log_notice,
            "Service: %s is no longer registered. A retry will not be "
            "scheduled.",
            name.c_str());
    return -1;
  }
  if (service->restarting == 1) {
    log_msg(log_notice,
            "Service: %s is already restarting. A retry will not be scheduled "
            "at this time.",
            name.c_str());
    return 0;
  }
  if (find_retry(state, name) != state.retry_queue.end()) {
    enter_state(service->report, service_state::queued);
    log_msg(log_notice, "%s already has a pending retry waiting.",
            name.c_str());
    return 0;
  }
  retry_entry entry;
  entry.name = name;
  entry.interval = retry_interval_seconds;
  entry.retries_left = retry_count;
  if (current_env().monotonic_now(&entry.deadline) != 0) {
    log_msg(log_error, "Could not get monotonic time for service: %s.",
            name.c_str());
    return -1;
  }
  entry.deadline.tv_sec += entry.interval;
  state.retry_queue.push_front(std::move(entry));
  enter_state(service->report, service_state::queued);
  log_msg(log_notice,
          "Service: %s was submitted to the restart queue. First retry in %u "
          "seconds.",
          name.c_str(), static_cast<unsigned>(retry_interval_seconds));
  pthread_cond_signal(&state.retry_cond);
  return 0;
}

}  // namespace

int schedule_retry(monitor_state& state, const std::string& name) {
  return schedule_retry_of(state, name, find_service(state, name));
}

int schedule_retry(monitor_state& state, const std::string& name,
                   uint64_t generation) {
  return schedule_retry_of(state, name, find_service(state, name, generation));
}

bool retry_worker_pass(monitor_state& state) {
  system_env& env = current_env();
  mutex_guard guard(state.lock);

  // Wait until the earliest entry is due. Every wake-up chooses anew: an
  // entry may have been added with an earlier deadline, or removed.
  retry_list::iterator chosen;
  for (;;) {
    while (state.retry_queue.empty()) {
      int error = env.cond_wait(&state.retry_cond, &state.lock);
      if (error != 0) {
        guard.unlock();
        log_wait_failure("pthread_cond_wait", error);
        return false;
      }
    }
    chosen = earliest(state.retry_queue);
    timespec now;
    if (env.monotonic_now(&now) != 0) {
      log_msg(log_error, "Could not get monotonic time.");
      guard.unlock();
      env.sleep_seconds(1);
      return true;
    }
    if (!later(chosen->deadline, now)) break;
    // A copy: the entry may be freed while the wait has released the lock.
    const timespec deadline = chosen->deadline;
    int error = env.cond_timedwait(&state.retry_cond, &state.lock, &deadline);
    if (error != 0 && error != ETIMEDOUT) {
      guard.unlock();
      log_wait_failure("pthread_cond_timedwait", error);
      return false;
    }
  }

  log_msg(log_notice, "Retrying service: %s.", chosen->name.c_str());
  const std::string name = chosen->name;
  int result = restart_service(state, name);

  // The lock was released during the attempt: find the entry again by name.
  bool pause = false;
  auto entry = find_retry(state, name);
  switch (result) {
    case -2:
      log_msg(log_notice,
              "Service: %s was unregistered. Removing restart queue entry for "
              "%s.",
              name.c_str(), name.c_str());
      remove_retry_entry(state, name);
      break;
    case 0:
      log_msg(log_notice, "%s restarted successfully", name.c_str());
      remove_retry_entry(state, name);
      break;
    case 1:
      log_msg(log_notice, "Service: %s was already restarting.", name.c_str());
      if (entry != state.retry_queue.end()) {
        timespec now;
        if (env.monotonic_now(&now) == 0) {
          // A deferral uses no retry and always waits the fixed time.
          entry->deadline = now;
          entry->deadline.tv_sec += retry_deferral_seconds;
        } else {
          log_msg(log_error,
                  "Could not get monotonic clock time to defer retry for "
                  "service: %s.",
                  name.c_str());
          pause = true;
        }
      }
      break;
    default:
      if (entry == state.retry_queue.end()) {
        log_msg(log_notice,
                "Retry entry for service: %s was removed while a restart was "
                "in progress.",
                name.c_str());
      } else if (entry->retries_left == 0) {
        log_msg(log_error, "Retries exhausted for %s.", name.c_str());
        log_msg(log_error,
                "An administrator should review and consider removing and "
                "re-adding %s to monitoring.",
                name.c_str());
        remove_retry_entry(state, name);
      } else {
        // Still queued: the failed attempt left it marked as given up.
        if (service_entry* service = find_service(state, name)) {
          enter_state(service->report, service_state::queued);
        }
        timespec now;
        if (env.monotonic_now(&now) != 0) {
          log_msg(log_error,
                  "Could not get monotonic time to reschedule retry for "
                  "service: %s.",
                  name.c_str());
          pause = true;
        } else {
          --entry->retries_left;
          entry->deadline = now;
          entry->deadline.tv_sec += entry->interval;
          log_msg(log_error, "Retry failed for %s, %u attempts remaining.",
                  name.c_str(), static_cast<unsigned>(entry->retries_left));
        }
      }
      break;
  }
  guard.unlock();
  // An entry whose clock reading failed keeps its deadline and is due again
  // at once; the pause keeps a broken clock from spinning the worker.
  if (pause) env.sleep_seconds(1);
  return true;
}

void* retry_worker(void* arg) {
  monitor_state& state = *static_cast<monitor_state*>(arg);
  while (retry_worker_pass(state)) {
  }
  return nullptr;
}

}  // namespace kelv
