// A monitor_state for unit tests: lock and retry_cond initialised, an
// optional real kqueue, services added in one call, torn down at scope end.
#ifndef KELV_TESTS_UNIT_TEST_MONITOR_H_
#define KELV_TESTS_UNIT_TEST_MONITOR_H_

#include <gtest/gtest.h>
#include <sys/event.h>
#include <unistd.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "daemon/monitor_state.h"

namespace kelv {

struct test_monitor {
  explicit test_monitor(bool with_kqueue = false) {
    const char* what = "";
    int error = init_monitor_sync(state, &what);
    if (error != 0) ADD_FAILURE() << what << " failed: " << error;
    if (with_kqueue) {
      state.kq = kqueue();
      if (state.kq < 0) ADD_FAILURE() << "kqueue failed";
    }
  }
  ~test_monitor() {
    if (state.kq >= 0) close(state.kq);
    pthread_cond_destroy(&state.retry_cond);
    pthread_cond_destroy(&state.startup_cond);
    pthread_mutex_destroy(&state.lock);
  }
  test_monitor(const test_monitor&) = delete;
  test_monitor& operator=(const test_monitor&) = delete;

  // Links a record at the head of the service list, as "enable" does.
  service_entry& add(const std::string& name,
                     std::initializer_list<pid_t> pids = {}) {
    auto entry = std::make_unique<service_entry>();
    entry->name = name;
    entry->pids = pids;
    service_entry& linked = *entry;
    link_service(state, std::move(entry));
    return linked;
  }

  // The generation of the record named `name` (0 when there is none).
  uint64_t generation_of(const std::string& name) {
    service_entry* entry = find_service(state, name);
    return entry != nullptr ? entry->generation : 0;
  }

  // Whether the calling thread could take the lock (it is then released).
  bool lock_free() {
    if (pthread_mutex_trylock(&state.lock) != 0) return false;
    pthread_mutex_unlock(&state.lock);
    return true;
  }

  monitor_state state;
};

}  // namespace kelv

#endif  // KELV_TESTS_UNIT_TEST_MONITOR_H_
