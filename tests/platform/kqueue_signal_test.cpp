// A kevent wait and signals: it sleeps through the ones that are ignored and
// through a stop and continue of the process, as it does where kqueue is
// native. (EINTR after a handler is in kqueue_test.cpp.)
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/event.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include "gtest/gtest.h"
#include "test_pipe.h"

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

using kelv_platform_test::test_fd;
using kelv_platform_test::test_pipe;

int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// The state letter of a process in /proc: 'S' asleep, 'T' stopped.
char state_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  size_t name_end = stat.rfind(')');
  return name_end != std::string::npos && name_end + 2 < stat.size()
             ? stat[name_end + 2]
             : '?';
}

bool await_state(pid_t pid, char state) {
  for (int tries = 0; tries < 20000; ++tries) {
    if (state_of(pid) == state) return true;
    usleep(500);
  }
  return false;
}

// A stop and continue of the process while it waits in kevent, from a
// watched child: the stopper.
struct stop_case {
  const char* what;
  int timeout_ms;          // -1: no timeout
  int continue_after_ms;   // from the start of the wait
  bool exits_on_continue;  // else the stopper lives on until the wait ends
  int expected;            // what kevent returns
};

constexpr int stopper_code = 7;

// Stops the waiter once it sleeps in kevent, continues it continue_after_ms
// after the wait began, and tells the waiter when it did.
[[noreturn]] void stop_and_continue(pid_t waiter, const stop_case& c,
                                    int from_waiter, int to_waiter) {
  int64_t began = 0;
  if (read(from_waiter, &began, sizeof began) != sizeof began) _exit(100);
  if (!await_state(waiter, 'S')) _exit(101);
  kill(waiter, SIGSTOP);
  if (!await_state(waiter, 'T')) _exit(102);
  int64_t left = began + c.continue_after_ms - monotonic_ms();
  if (left > 0) usleep(static_cast<useconds_t>(left * 1000));
  int64_t continued = monotonic_ms();
  kill(waiter, SIGCONT);
  if (write(to_waiter, &continued, sizeof continued) != sizeof continued) {
    _exit(103);
  }
  if (!c.exits_on_continue) {
    char byte;
    while (read(from_waiter, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  _exit(stopper_code);
}

// Runs in a process of its own, the one stopped. Returns what went wrong, or
// nothing.
std::string wait_through_a_stop(const stop_case& c) {
  alarm(60);  // a wait that never ends kills the process
  test_pipe to_stopper, from_stopper;
  pid_t waiter = getpid();
  pid_t stopper = fork();
  if (stopper < 0) return "fork failed";
  if (stopper == 0) {
    to_stopper.write_end.reset();
    from_stopper.read_end.reset();
    stop_and_continue(waiter, c, to_stopper.read_end.get(),
                      from_stopper.write_end.get());
  }
  to_stopper.read_end.reset();
  from_stopper.write_end.reset();
  test_fd kq(kqueue());
  struct kevent change {};
  EV_SET(&change, static_cast<uintptr_t>(stopper), EVFILT_PROC,
         EV_ADD | EV_ENABLE | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  std::string failed;
  if (kevent(kq.get(), &change, 1, nullptr, 0, nullptr) != 0) {
    failed = std::string("watch: ") + strerror(errno);
  }
  int64_t began = monotonic_ms();
  if (write(to_stopper.write_end.get(), &began, sizeof began) != sizeof began) {
    failed = "cannot reach the stopper";
  }
  timespec limit{c.timeout_ms / 1000, (c.timeout_ms % 1000) * 1000000L};
  struct kevent event {};
  int got = failed.empty() ? kevent(kq.get(), nullptr, 0, &event, 1,
                                    c.timeout_ms < 0 ? nullptr : &limit)
                           : -2;
  int error = errno;
  int64_t returned = monotonic_ms();
  int64_t continued = -1;
  if (read(from_stopper.read_end.get(), &continued, sizeof continued) !=
      sizeof continued) {
    continued = -1;
  }
  to_stopper.write_end.reset();  // lets a stopper that lives on exit
  int status = -1;
  waitpid(stopper, &status, 0);
  if (!failed.empty()) return failed;
  if (status != W_EXITCODE(stopper_code, 0)) {
    return "the stopper failed, status " + std::to_string(status);
  }
  if (got != c.expected) {
    return "kevent returned " + std::to_string(got) +
           (got < 0 ? std::string(": ") + strerror(error) : "");
  }
  if (got == 1 && (event.ident != static_cast<uintptr_t>(stopper) ||
                   event.data != W_EXITCODE(stopper_code, 0))) {
    return "the event is not the stopper's exit";
  }
  // Here the timeout passed while the process was stopped: the wait ends at
  // once, whatever was left of it at the stop.
  if (got == 0 && returned - continued > 1000) {
    return "the wait went on " + std::to_string(returned - continued) +
           " ms after the continue, past its timeout";
  }
  return "";
}

// The stopped process is a child of the test's, so gtest itself is never
// stopped, nor taken by an interactive shell for a job stopped at the
// terminal.
TEST(kevent_wait, sleeps_through_a_stop_and_continue) {
  const stop_case cases[] = {
      {"no timeout, the watched exit after the continue", -1, 300, true, 1},
      {"a timeout that passes while stopped", 2000, 3000, false, 0},
  };
  for (const stop_case& c : cases) {
    SCOPED_TRACE(c.what);
    test_pipe report;
    pid_t waiter = fork();
    ASSERT_LE(0, waiter);
    if (waiter == 0) {
      report.read_end.reset();
      std::string failed = wait_through_a_stop(c);
      ssize_t written =
          write(report.write_end.get(), failed.data(), failed.size());
      _exit(written == static_cast<ssize_t>(failed.size()) ? 0 : 1);
    }
    report.write_end.reset();
    std::string failed;
    char buf[256];
    ssize_t got;
    while ((got = read(report.read_end.get(), buf, sizeof buf)) != 0) {
      if (got > 0) failed.append(buf, static_cast<size_t>(got));
      if (got < 0 && errno != EINTR) break;
    }
    int status = -1;
    waitpid(waiter, &status, 0);
    EXPECT_EQ(0, status);
    EXPECT_EQ("", failed);
  }
}

}  // namespace
