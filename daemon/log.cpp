#include "daemon/log.h"

#include <stdarg.h>
#include <string.h>

#include "daemon/system_env.h"

namespace kelv {

void log_msg(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  current_env().log(priority, format, args);
  va_end(args);
}

namespace {

// strerror_r comes in two shapes: the XSI one returns an int, the GNU one a
// pointer that may or may not be buf.
[[maybe_unused]] bool take_text(int rc, char*, size_t) { return rc == 0; }
[[maybe_unused]] bool take_text(char* text, char* buf, size_t size) {
  if (text == nullptr) return false;
  if (text != buf) {
    size_t length = strnlen(text, size - 1);
    memcpy(buf, text, length);
    buf[length] = '\0';
  }
  return true;
}

}  // namespace

bool error_text(int errnum, char* buf, size_t size) {
  if (size == 0) return false;
  return take_text(strerror_r(errnum, buf, size), buf, size);
}

}  // namespace kelv
