// The daemon's shared registry: the watched services with their PIDs, the
// retry queue, and the one lock that guards all of it.
//
// Thread safety: every read or write of `services`, of `retry_queue` and of
// any field of a record in them happens with `lock` held. `lock` is the only
// lock and is not recursive. `kq` is written once before any worker thread
// exists and is read-only afterwards.
#ifndef KELV_DAEMON_MONITOR_STATE_H_
#define KELV_DAEMON_MONITOR_STATE_H_

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "daemon/crash_throttle.h"
#include "daemon/service_state.h"

namespace kelv {

// One watched service. Created only by new_service; linked into `services`
// only once its probes have succeeded.
struct service_entry {
  std::string name;         // the rc(8) name, never changed after creation
  int restarting = 0;       // 1 while restart_service runs its command
  std::vector<pid_t> pids;  // the PID list in list order; at most one PID
  // Set when the record is linked, never reused: a thread that released the
  // lock tells by it whether the record it finds again is the one it left,
  // or a newer one of the same name (disabled and enabled meanwhile).
  uint64_t generation = 0;
  service_report report;    // what the operator is shown
  crash_throttle throttle;  // quick deaths after kelv's own (re)starts
};

// One pending retry of a service whose restart failed.
struct retry_entry {
  std::string name;
  uint32_t interval = 0;      // seconds from a failed attempt to the next
  uint32_t retries_left = 0;  // failed attempts that may still be rescheduled
  timespec deadline{};        // CLOCK_MONOTONIC
};

// Both lists grow at the head (push_front) and are searched from the head.
struct monitor_state {
  std::list<std::unique_ptr<service_entry>> services;
  std::list<retry_entry> retry_queue;
  pthread_mutex_t lock;
  pthread_cond_t retry_cond;  // its clock is CLOCK_MONOTONIC
  // The start-up pass runs its commands without the lock; requests wait for
  // its end on startup_cond, so that they are served after it as before.
  bool startup_pass_running = false;
  pthread_cond_t startup_cond;
  uint64_t last_generation = 0;
  int enable_workers = 0;  // threads serving an "enable" now
  pthread_t control_thread{};
  pthread_t retry_thread{};
  int kq = -1;
};

using service_list = std::list<std::unique_ptr<service_entry>>;
using retry_list = std::list<retry_entry>;

// The first service whose name equals `name` as a whole string, or null.
// REQUIRES: lock held. The pointer is stale once lock has been released.
service_entry* find_service(monitor_state& state, const std::string& name);

// The service named `name` whose generation is `generation`, or null when
// that record is gone (also when a newer one of the name took its place).
// REQUIRES: lock held.
service_entry* find_service(monitor_state& state, const std::string& name,
                            uint64_t generation);

// The first service (in list order) whose PID list holds `pid`, or null.
// REQUIRES: lock held.
service_entry* find_service_by_pid(monitor_state& state, pid_t pid);

// The first retry entry named `name`, or retry_queue.end(). REQUIRES: lock.
retry_list::iterator find_retry(monitor_state& state, const std::string& name);

// Pushes a fresh, probed record at the head of `services` and gives it the
// next generation. REQUIRES: lock.
void link_service(monitor_state& state, std::unique_ptr<service_entry> entry);

// Unlinks the service named `name` and frees it with its PID list. Returns
// false when no such service is registered. REQUIRES: lock held.
bool unlink_service(monitor_state& state, const std::string& name);

// Removes the retry entry named `name`, if there is one: unlinks it, frees it
// and signals retry_cond. Returns whether an entry was removed.
// REQUIRES: lock held.
bool remove_retry_entry(monitor_state& state, const std::string& name);

// Marks the record of that name and generation, if it is still there, as
// given up: nothing watches it until it is enabled again. REQUIRES: lock.
void mark_given_up(monitor_state& state, const std::string& name,
                   uint64_t generation);

// Removes pid from entry's PID list, if it is there.
void forget_pid(service_entry& entry, pid_t pid);

// Waits until the start-up pass has ended. REQUIRES: lock held.
void wait_for_startup_pass(monitor_state& state);

// Ends the start-up pass and wakes whoever waits for it. REQUIRES: lock.
void end_startup_pass(monitor_state& state);

// Initialises lock (default attributes), retry_cond (CLOCK_MONOTONIC) and
// startup_cond.
// Returns 0, or the error number with *what naming the call that failed.
int init_monitor_sync(monitor_state& state, const char** what);

// Holds a mutex for its scope. lock() and unlock() let a holder release it in
// the middle of a unit of work and take it back.
class mutex_guard {
 public:
  explicit mutex_guard(pthread_mutex_t& mutex) : mutex_(mutex) { lock(); }
  ~mutex_guard() {
    if (held_) unlock();
  }
  mutex_guard(const mutex_guard&) = delete;
  mutex_guard& operator=(const mutex_guard&) = delete;
  void lock() {
    pthread_mutex_lock(&mutex_);
    held_ = true;
  }
  void unlock() {
    held_ = false;
    pthread_mutex_unlock(&mutex_);
  }

 private:
  pthread_mutex_t& mutex_;
  bool held_ = false;
};

// Releases a mutex that the caller holds for its scope and takes it back.
class scoped_unlock {
 public:
  explicit scoped_unlock(pthread_mutex_t& mutex) : mutex_(mutex) {
    pthread_mutex_unlock(&mutex_);
  }
  ~scoped_unlock() { pthread_mutex_lock(&mutex_); }
  scoped_unlock(const scoped_unlock&) = delete;
  scoped_unlock& operator=(const scoped_unlock&) = delete;

 private:
  pthread_mutex_t& mutex_;
};

}  // namespace kelv

#endif  // KELV_DAEMON_MONITOR_STATE_H_
