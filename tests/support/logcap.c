/* LD_PRELOAD shim that captures syslog(3) messages in a file, for hosts
 * without a syslog daemon. Each message becomes one line
 *
 *     PRIORITY<TAB>MESSAGE<LF>
 *
 * with the bare priority (0-7) and newlines, carriage returns and
 * backslashes in the message escaped as \n, \r and \\. The file is named by
 * the environment variable KELV_LOG_CAPTURE; without it messages are dropped.
 * The mask set by setlogmask(3) is honoured.
 *
 * Built with LOGCAP_STAMP (the benchmarks' logstamp.so), each line begins
 * with the CLOCK_MONOTONIC time of the call in nanoseconds and a tab, so a
 * harness learns when a line was logged without polling for it; that build
 * also takes itself out of LD_PRELOAD, so the commands the daemon runs do not
 * load it and cost what they cost without it.
 *
 * Thread safe: every line goes out in one write(2) on an O_APPEND descriptor,
 * so lines from concurrent threads never interleave. The descriptor is
 * opened once per process and kept; it is O_CLOEXEC, so children do not
 * inherit it. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

enum { max_line = 8192 };

static atomic_int log_mask = 0xff;
static atomic_int capture_fd = -1;

#ifdef LOGCAP_STAMP
__attribute__((constructor)) static void leave_preload(void) {
  unsetenv("LD_PRELOAD");
}
#endif

static int open_capture(void) {
  int fd = atomic_load(&capture_fd);
  if (fd >= 0) return fd;
  const char* path = getenv("KELV_LOG_CAPTURE");
  if (path == NULL || *path == '\0') return -1;
  fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  int expected = -1;
  if (!atomic_compare_exchange_strong(&capture_fd, &expected, fd)) {
    close(fd); /* another thread was first */
    fd = expected;
  }
  return fd;
}

static void capture(int priority, const char* format, va_list args) {
  int saved_errno = errno; /* for %m, and callers must not see ours */
#ifdef LOGCAP_STAMP
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
#endif
  int pri = LOG_PRI(priority);
  if ((LOG_MASK(pri) & atomic_load(&log_mask)) == 0) return;
  int fd = open_capture();
  if (fd < 0) {
    errno = saved_errno;
    return;
  }

  char message[max_line];
  errno = saved_errno;
  int n = vsnprintf(message, sizeof message, format, args);
  if (n < 0) n = 0;
  if (n >= (int)sizeof message) n = sizeof message - 1;

  char line[2 * max_line + 48];
#ifdef LOGCAP_STAMP
  size_t len =
      (size_t)snprintf(line, sizeof line, "%lld\t%d\t",
                       (long long)now.tv_sec * 1000000000LL + now.tv_nsec, pri);
#else
  size_t len = (size_t)snprintf(line, sizeof line, "%d\t", pri);
#endif
  for (int i = 0; i < n; ++i) {
    char c = message[i];
    if (c == '\n' || c == '\r' || c == '\\') {
      line[len++] = '\\';
      line[len++] = c == '\n' ? 'n' : c == '\r' ? 'r' : '\\';
    } else {
      line[len++] = c;
    }
  }
  line[len++] = '\n';
  ssize_t written = write(fd, line, len);
  (void)written;
  errno = saved_errno;
}

void openlog(const char* ident, int option, int facility) {
  (void)ident;
  (void)option;
  (void)facility;
}

void closelog(void) {}

int setlogmask(int mask) {
  if (mask == 0) return atomic_load(&log_mask);
  return atomic_exchange(&log_mask, mask);
}

void vsyslog(int priority, const char* format, va_list args) {
  capture(priority, format, args);
}

void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  capture(priority, format, args);
  va_end(args);
}

void __vsyslog_chk(int priority, int flag, const char* format, va_list args) {
  (void)flag;
  capture(priority, format, args);
}

void __syslog_chk(int priority, int flag, const char* format, ...) {
  (void)flag;
  va_list args;
  va_start(args, format);
  capture(priority, format, args);
  va_end(args);
}
