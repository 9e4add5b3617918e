#include "daemon/probes.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/event.h>

#include "daemon/log.h"
#include "daemon/service_command.h"
#include "daemon/system_env.h"

namespace kelv {
namespace {

// One fgets-sized piece of a command's output: at most 2047 bytes.
constexpr int piece_bytes = 2048;
constexpr int start_polls = 11;

// The first word of `piece` (modified) that is a whole base-10 number of at
// least 1 naming a live process, or 0 when no word qualifies.
pid_t first_live_pid(char* piece) {
  char* save = nullptr;
  for (char* word = strtok_r(piece, " .,\t\n", &save); word != nullptr;
       word = strtok_r(nullptr, " .,\t\n", &save)) {
    char* end = nullptr;
    pid_t pid = static_cast<int32_t>(strtoul(word, &end, 10));
    if (end == word || *end != '\0' || pid < 1) continue;
    if (current_env().process_exists(pid)) return pid;
  }
  return 0;
}

}  // namespace

std::unique_ptr<service_entry> new_service(const std::string& name) {
  // The copy of an empty name has length 0, which counts as a failed copy.
  if (name.empty()) {
    char text[error_text_bytes];
    if (error_text(EINVAL, text, sizeof text)) {
      log_msg(log_error, "asprintf for %s failed: %s", name.c_str(), text);
    } else {
      log_msg(log_error, "asprintf for %s failed.", name.c_str());
    }
    return nullptr;
  }
  auto entry = std::make_unique<service_entry>();
  entry->name = name;
  return entry;
}

int service_running(const std::string& name) {
  return clean_status(run_service_command(name, "onestatus")) ? 1 : 0;
}

int probe_pids(const std::string& name, std::vector<pid_t>* pids) {
  pids->clear();
  auto output = open_service_command(name, "onestatus");
  if (output == nullptr) {
    char text[error_text_bytes];
    if (error_text(errno, text, sizeof text)) {
      log_msg(log_error, "popen failed: %s: %s.", name.c_str(), text);
    } else {
      log_msg(log_error, "popen failed for %s.", name.c_str());
    }
    return -1;
  }
  char piece[piece_bytes];
  while (output->read_piece(piece, sizeof piece)) {
    if (strstr(piece, not_enabled_marker) != nullptr) {
      output->close();
      return 1;
    }
    pid_t pid = first_live_pid(piece);
    if (pid != 0) {
      // Only the first qualifying word counts; the rest is not read.
      pids->insert(pids->begin(), pid);
      break;
    }
  }
  if (!clean_status(output->close())) return -1;
  return pids->empty() ? 1 : 0;
}

int refresh_pids(service_entry& entry) {
  return probe_pids(entry.name, &entry.pids);
}

int start_service(service_entry& entry) {
  auto output = open_service_command(entry.name, "restart");
  if (output == nullptr) {
    char text[error_text_bytes];
    if (error_text(errno, text, sizeof text)) {
      log_msg(log_error, "popen failed: %s", text);
    } else {
      log_msg(log_error, "popen failed.");
    }
    return -1;
  }
  char piece[piece_bytes];
  while (output->read_piece(piece, sizeof piece)) {
    if (strstr(piece, not_enabled_marker) != nullptr) {
      output->close();
      return 1;
    }
  }
  if (!clean_status(output->close())) return -1;
  // rc(8) may report success before the daemon has written its pidfile, so
  // the PID is polled for; the pause follows the last poll as well.
  for (int poll = 0; poll < start_polls; ++poll) {
    if (refresh_pids(entry) == 0) {
      note_own_start(entry.throttle);
      return 0;
    }
    current_env().sleep_seconds(1);
  }
  return -1;
}

int watch_service(monitor_state& state, service_entry& entry) {
  for (pid_t pid : entry.pids) {
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(static_cast<intptr_t>(pid)),
           EVFILT_PROC, EV_ADD | EV_ENABLE | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
    if (kevent(state.kq, &change, 1, nullptr, 0, nullptr) == -1) {
      char text[error_text_bytes];
      if (error_text(errno, text, sizeof text)) {
        log_msg(log_error, "Registering kq event failed: %s", text);
      } else {
        log_msg(log_error, "Registering kq event failed");
      }
      return -1;
    }
  }
  return 0;
}

}  // namespace kelv
