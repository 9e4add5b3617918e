// The daemon's logging call and the error texts its messages carry.
// Thread safe: called from every thread.
#ifndef KELV_DAEMON_LOG_H_
#define KELV_DAEMON_LOG_H_

#include <stddef.h>

namespace kelv {

// Syslog priorities the daemon uses.
inline constexpr int log_error = 3;
inline constexpr int log_notice = 5;
inline constexpr int log_info = 6;

// Formats and hands the message to the system log (vsyslog in production)
// through current_env().
void log_msg(int priority, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The platform's text for errnum (strerror_r) in buf. Returns false when no
// text could be had; messages then take their short form.
bool error_text(int errnum, char* buf, size_t size);

// The size of the buffers that receive error texts.
inline constexpr size_t error_text_bytes = 2048;

}  // namespace kelv

#endif  // KELV_DAEMON_LOG_H_
