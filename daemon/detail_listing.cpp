#include "daemon/detail_listing.h"

#include <inttypes.h>
#include <stdio.h>
#include <unistd.h>

#include "common/detail_format.h"
#include "daemon/system_env.h"

namespace kelv {
namespace {

std::string number(long long value) { return std::to_string(value); }

std::string last_cause(const service_report& report) {
  switch (report.last_exit_cause) {
    case exit_cause::none:
      return "-";
    case exit_cause::signal:
      return "signal:" + std::to_string(report.last_exit_value);
    case exit_cause::status:
      return "status:" + std::to_string(report.last_exit_value);
  }
  return "-";
}

std::string pid_list(const std::vector<pid_t>& pids) {
  if (pids.empty()) return "-";
  std::string text;
  for (pid_t pid : pids) {
    if (!text.empty()) text += ',';
    text += std::to_string(pid);
  }
  return text;
}

// The wall-clock time of a monotonic deadline, to the second.
std::string wall_time_of(const timespec& deadline) {
  timespec now{};
  if (current_env().monotonic_now(&now) != 0) return "-";
  time_t left = deadline.tv_sec - now.tv_sec;
  if (deadline.tv_nsec > now.tv_nsec) ++left;  // never earlier than it is
  if (left < 0) left = 0;
  return number(current_env().wall_now() + left);
}

}  // namespace

std::string format_detail(monitor_state& state) {
  std::string text = std::string(detail_version_word) + " " +
                     std::to_string(detail_version) + "\n";
  text += std::string(detail_pid_word) + " " + number(getpid()) + "\n";
  size_t count = 0;
  for (const auto& entry : state.services) {
    const service_report& report = entry->report;
    std::string retries_left = "-";
    std::string next_retry = "-";
    if (report.state == service_state::queued) {
      auto retry = find_retry(state, entry->name);
      if (retry != state.retry_queue.end()) {
        retries_left = number(retry->retries_left);
        next_retry = wall_time_of(retry->deadline);
      }
    }
    text += detail_service_word;
    text += ' ';
    text += service_state_word(report.state);
    text += ' ' + number(report.since);
    text += ' ' + number(static_cast<long long>(report.exits));
    text += ' ' + number(static_cast<long long>(report.restarts));
    text += ' ' + number(static_cast<long long>(report.restarts_failed));
    text += ' ' + (report.last_exit_cause == exit_cause::none
                       ? std::string("-")
                       : number(report.last_exit_time));
    text += ' ' + last_cause(report);
    text += ' ' + retries_left;
    text += ' ' + next_retry;
    text += ' ' + pid_list(entry->pids);
    text += ' ' + entry->name + "\n";
    ++count;
  }
  text += std::string(detail_end_word) + " " +
          number(static_cast<long long>(count)) + "\n";
  return text;
}

}  // namespace kelv
