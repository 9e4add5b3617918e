// The detailed status reply as kelvctl holds it, and its parser: a pure
// function over the reply's text (common/detail_format.h describes it), kept
// apart from the socket so that tests hand it bytes. Thread-compatible.
#ifndef KELV_CLIENT_DETAIL_REPLY_H_
#define KELV_CLIENT_DETAIL_REPLY_H_

#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/detail_format.h"

namespace kelv {

// How a service's process last ended.
struct exit_record {
  int64_t time = 0;  // epoch seconds
  bool by_signal = false;
  int64_t value = 0;  // the signal number when by_signal, else the status
};

// A queued service's place in the retry queue.
struct retry_plan {
  int64_t retries_left = 0;
  int64_t next_retry = 0;  // epoch seconds
};

struct service_detail {
  std::string name;  // raw bytes, never a control byte
  service_state state = service_state::running;
  int64_t since = 0;  // epoch seconds
  int64_t exits = 0;
  int64_t restarts = 0;
  int64_t failed_restarts = 0;
  std::optional<exit_record> last_exit;  // none before the first exit
  std::optional<retry_plan> retry;       // exactly when queued
  std::vector<int64_t> pids;
};

struct detailed_status {
  int64_t kelv_pid = 0;
  std::vector<service_detail> services;  // in the daemon's order
};

// Parses text, the reply's text without its status byte and end marker.
// Returns true and fills *out on success. Returns false for anything but a
// well-formed version-1 reply and sets *error to what is wrong, e.g.
// "line 4: unknown state" (never quoting the reply's bytes); *out may then
// hold part of the reply.
bool parse_detailed_status(std::string_view text, detailed_status* out,
                           std::string* error);

}  // namespace kelv

#endif  // KELV_CLIENT_DETAIL_REPLY_H_
