#include "daemon/status_listing.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/protocol.h"
#include "daemon/log.h"

namespace kelv {
namespace {

// Appends a formatted line of the listing to *listing; a line that cannot be
// formatted is left out (logged).
__attribute__((format(printf, 2, 3))) void append_line(std::string* listing,
                                                       const char* format,
                                                       ...) {
  char* text = nullptr;
  va_list args;
  va_start(args, format);
  int length = vasprintf(&text, format, args);
  va_end(args);
  if (length < 0) {
    char error[error_text_bytes];
    if (error_text(errno, error, sizeof error)) {
      log_msg(log_error, "asprintf: %s", error);
    } else {
      log_msg(log_error, "asprintf failed.");
    }
    return;
  }
  listing->append(text, static_cast<size_t>(length));
  free(text);
}

}  // namespace

// The status byte goes first: whatever fails below, the listing succeeds.
std::string format_status(monitor_state& state) {
  std::string reply(1, static_cast<char>(status_success));
  append_line(&reply, "The kelv pid is %d.\n", static_cast<int>(getpid()));
  append_line(&reply,
              "%-40s %s\n------------------------------------------"
              "--------\n",
              "process name", "pid");
  for (const auto& entry : state.services) {
    for (pid_t pid : entry->pids) {
      append_line(&reply, "%-40s %d\n", entry->name.c_str(),
                  static_cast<int>(pid));
    }
  }
  reply.push_back(static_cast<char>(end_marker));
  return reply;
}

}  // namespace kelv
