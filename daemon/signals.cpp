#include "daemon/signals.h"

#include <err.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "daemon/log.h"
#include "daemon/settings.h"

namespace kelv {
namespace {

// Written by the handlers (one byte per signal), read by the signal thread.
int signal_pipe[2] = {-1, -1};

void note_signal(int signal) {
  int saved = errno;
  unsigned char number = static_cast<unsigned char>(signal);
  // A full pipe drops the byte; the thread already has work queued.
  [[maybe_unused]] ssize_t written = write(signal_pipe[1], &number, 1);
  errno = saved;
}

extern "C" void pipe_handler(int signal) { note_signal(signal); }
extern "C" void shutdown_handler(int signal) { note_signal(signal); }

void* signal_thread(void*) {
  for (;;) {
    unsigned char number = 0;
    ssize_t got = read(signal_pipe[0], &number, 1);
    if (got != 1) continue;  // EINTR: a handler ran on this thread
    if (number == SIGPIPE) {
      log_msg(log_error, "Received broken pipe.");
    } else {
      run_shutdown_sequence(1);
    }
  }
  return nullptr;
}

}  // namespace

void install_signal_handlers() {
  if (pipe2(signal_pipe, O_CLOEXEC) == -1) err(1, "pipe");
  int flags = fcntl(signal_pipe[1], F_GETFL);
  if (flags == -1 || fcntl(signal_pipe[1], F_SETFL, flags | O_NONBLOCK) == -1)
    err(1, "fcntl");
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, signal_thread, nullptr);
  if (rc != 0) errc(1, rc, "pthread_create signal_thread");
  pthread_detach(thread);

  signal(SIGPIPE, pipe_handler);
  const int terminating[] = {SIGHUP,  SIGINT,    SIGALRM, SIGTERM, SIGXCPU,
                             SIGXFSZ, SIGVTALRM, SIGUSR1, SIGUSR2};
  for (int number : terminating) signal(number, shutdown_handler);
}

}  // namespace kelv
