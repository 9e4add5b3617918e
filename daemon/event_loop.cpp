#include "daemon/event_loop.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <sys/event.h>

#include <new>
#include <string>

#include "daemon/crash_throttle.h"
#include "daemon/log.h"
#include "daemon/restart.h"
#include "daemon/restart_waiter.h"
#include "daemon/retry_queue.h"

namespace kelv {

namespace {

constexpr uint32_t signal_bit(int signal) { return uint32_t{1} << signal; }

// Built from the names, not the numbers: SIGUSR1 and SIGUSR2 are 30 and 31
// on FreeBSD but 10 and 12 on Linux, and the rule must mean the same.
constexpr uint32_t stop_signal_mask = signal_bit(SIGINT) | signal_bit(SIGKILL) |
                                      signal_bit(SIGTERM) |
                                      signal_bit(SIGUSR1) | signal_bit(SIGUSR2);

}  // namespace

exit_kind decode_wait_status(int status, int* value) {
  *value = 0;
  if ((status & 0x7f) == 0x7f) return exit_kind::stopped;
  if (status == 0x13) return exit_kind::continued;
  if ((status & 0x7f) == 0) {
    *value = (status >> 8) & 0xff;
    return exit_kind::exited;
  }
  *value = status & 0x7f;
  return exit_kind::signalled;
}

bool is_stop_signal(int signal) {
  if (signal < 0 || signal > 31) return false;
  return (stop_signal_mask & signal_bit(signal)) != 0;
}

void handle_exit(monitor_state& state, intptr_t pid, int status) {
  mutex_guard guard(state.lock);
  // An identifier outside the PID range names no watched process; narrowing
  // it first could alias a real one.
  if (pid != static_cast<pid_t>(pid)) return;
  service_entry* entry = find_service_by_pid(state, static_cast<pid_t>(pid));
  if (entry == nullptr) return;
  int value = 0;
  const exit_kind kind = decode_wait_status(status, &value);
  // The process is gone: it is never listed again, and once its PID comes
  // round to another process that one is never taken for this service.
  forget_pid(*entry, static_cast<pid_t>(pid));
  if (kind == exit_kind::exited || kind == exit_kind::signalled) {
    note_exit(
        entry->report,
        kind == exit_kind::exited ? exit_cause::status : exit_cause::signal,
        value);
  }
  // The thread restarting it re-arms the watch itself.
  if (entry->restarting != 0) return;

  bool wait_first = false;
  switch (kind) {
    case exit_kind::stopped:
    case exit_kind::continued:
      return;
    case exit_kind::exited:
      log_msg(log_error, "%s exited with status %d", entry->name.c_str(),
              value);
      wait_first = true;
      break;
    case exit_kind::signalled:
      log_msg(log_error, "%s caught signal %d and exited", entry->name.c_str(),
              value);
      wait_first = is_stop_signal(value);
      break;
  }

  // A crash loop is bounded: past the first few quick deaths in a row the
  // service waits in the retry queue instead.
  const bool to_queue = note_death(entry->throttle, !wait_first);
  if (to_queue) {
    log_msg(log_error,
            "%s crashed %u times within a second of its restart; it goes to "
            "the retry queue.",
            entry->name.c_str(), entry->throttle.quick_deaths);
  }

  // restart_service drops the lock while rc(8) runs, so the entry may be gone
  // afterwards; only this copy is used from here on.
  std::string name;
  const uint64_t generation = entry->generation;
  try {
    name = entry->name;
  } catch (const std::bad_alloc&) {
    log_msg(log_error,
            "could not copy service name before attempting to restart "
            "service: %s",
            entry->name.c_str());
    return;
  }
  entry = nullptr;

  if (wait_first) {
    if (spawn_restart_waiter(state, name, generation) == 0) {
      service_entry* waiting = find_service(state, name, generation);
      if (waiting != nullptr) {
        enter_state(waiting->report, service_state::waiting);
      }
      log_msg(log_notice, "%s waiting for restart.", name.c_str());
      return;
    }
  } else if (!to_queue) {
    if (restart_service(state, name) == 0) {
      log_msg(log_notice, "%s was restarted", name.c_str());
      return;
    }
  }
  if (schedule_retry(state, name, generation) != 0) {
    mark_given_up(state, name, generation);
    log_msg(log_error,
            "%s could not be scheduled for a retry. An administrator should  "
            "remove and re-add the service.",
            name.c_str());
  }
}

void event_loop(monitor_state& state) {
  for (;;) {
    struct kevent event {};
    int count = kevent(state.kq, nullptr, 0, &event, 1, nullptr);
    if (count == -1) {
      // EINTR is routine here (SIGPIPE is handled); log it and wait again.
      int saved = errno;
      char text[error_text_bytes];
      if (error_text(saved, text, sizeof text)) {
        log_msg(log_error, "kevent: %s", text);
      } else {
        log_msg(log_error, "kevent: Received error.");
      }
      continue;
    }
    if (count != 1) continue;
    if ((event.fflags & NOTE_EXIT) == 0) continue;
    // The wait status is the low 32 bits of data, read as signed.
    int status = static_cast<int32_t>(static_cast<uint32_t>(event.data));
    handle_exit(state, static_cast<intptr_t>(event.ident), status);
  }
}

}  // namespace kelv
