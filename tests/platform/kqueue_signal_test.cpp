// A kevent wait and the signals that are ignored: kevent sleeps through them,
// as it does where kqueue is native.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/event.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "gtest/gtest.h"

namespace {

// Senders of an ignored signal, called while the calling thread blocks it.
// Each returns a child to reap, or 0.
pid_t exiting_child() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  return child;  // its SIGCHLD is aimed at us
}

pid_t ignored_usr1() {
  kill(getpid(), SIGUSR1);  // aimed at the main thread, that is us
  return 0;
}

// A signal aimed at a thread that blocks it is not dropped though it is
// ignored: it is queued for the process and taken by any other thread, here
// the one in kevent. It must not end the wait.
TEST(kevent_wait, sleeps_through_ignored_signals) {
  struct case_t {
    const char* what;
    int signal;
    void (*disposition)(int);
    pid_t (*send)();
  };
  const case_t cases[] = {
      {"SIGCHLD by default", SIGCHLD, SIG_DFL, exiting_child},
      {"SIGUSR1 set to SIG_IGN", SIGUSR1, SIG_IGN, ignored_usr1},
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.what);
    void (*old)(int) = signal(c.signal, c.disposition);
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
    int got = -2, error = 0;
    std::thread waiter([&got, &error] {
      sigset_t none;
      sigemptyset(&none);
      pthread_sigmask(SIG_SETMASK, &none, nullptr);
      int kq = kqueue();
      struct kevent event {};
      timespec limit{1, 0};
      errno = 0;
      got = kevent(kq, nullptr, 0, &event, 1, &limit);
      error = errno;
      close(kq);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pid_t child = c.send();
    waiter.join();
    if (child > 0) waitpid(child, nullptr, 0);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);  // drops what is pending
    signal(c.signal, old);
    EXPECT_EQ(0, got) << strerror(error);
  }
}

}  // namespace
