// Process-exit watches against real processes: our children, and processes
// whose parent is another of our processes, so their status is never ours to
// wait for. Statuses of the latter need the process-events connector (root).
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/event.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "kqueue_testing.h"
#include "test_pipe.h"

namespace {

using kelv_platform_test::test_fd;
using kelv_platform_test::test_pipe;

// How a watched process ends: exit code, or the signal it dies of.
struct ending {
  const char* name;
  int exit_code;
  int signal;
  int status;  // what wait(2) reports
};

constexpr ending endings[] = {
    {"exit 3", 3, 0, 0x300},
    {"exit 139", 139, 0, 0x8b00},
    {"SIGSEGV", 0, SIGSEGV, SIGSEGV},
    {"SIGKILL", 0, SIGKILL, SIGKILL},
};

[[noreturn]] void end_as(const ending& e) {
  if (e.signal == 0) _exit(e.exit_code);
  prctl(PR_SET_DUMPABLE, 0);  // no core dump, so the status is the bare signal
  signal(e.signal, SIG_DFL);
  raise(e.signal);
  _exit(100);
}

// A process that ends as told once go() is called (or the test goes away).
// As a non-child it is the child of a helper of ours that reaps it once
// release_parent() is called, and then exits.
class subject {
 public:
  subject(bool own_child, const ending& e) : own_child_(own_child) {
    test_pipe pid_pipe;
    forked_ = fork();
    if (forked_ == 0) {
      go_.write_end.reset();
      reap_.write_end.reset();
      if (own_child) wait_and_end(e);
      pid_t pid = fork();
      if (pid == 0) wait_and_end(e);
      if (write(pid_pipe.write_end.get(), &pid, sizeof pid) != sizeof pid) {
        _exit(1);
      }
      char c;
      while (read(reap_.read_end.get(), &c, 1) < 0 && errno == EINTR) {
      }
      waitpid(pid, nullptr, 0);
      _exit(0);
    }
    go_.read_end.reset();
    reap_.read_end.reset();
    pid_ = forked_;
    pid_pipe.write_end.reset();
    if (!own_child && forked_ > 0 &&
        read(pid_pipe.read_end.get(), &pid_, sizeof pid_) != sizeof pid_) {
      pid_ = -1;
    }
  }
  subject(const subject&) = delete;
  subject& operator=(const subject&) = delete;
  ~subject() { reap(); }

  pid_t pid() const { return pid_; }
  void go() { go_.write_end.reset(); }
  void release_parent() { reap_.write_end.reset(); }

  // Lets the subject end and waits until it is reaped. Returns its status
  // when it is our child, else -1.
  int reap() {
    go();
    release_parent();
    if (forked_ <= 0) return -1;
    int status = -1;
    while (waitpid(forked_, &status, 0) < 0 && errno == EINTR) {
    }
    forked_ = -1;
    return own_child_ ? status : -1;
  }

 private:
  [[noreturn]] void wait_and_end(const ending& e) {
    char c;
    while (read(go_.read_end.get(), &c, 1) < 0 && errno == EINTR) {
    }
    end_as(e);
  }

  bool own_child_;
  test_pipe go_, reap_;
  pid_t forked_ = -1;
  pid_t pid_ = -1;
};

// 0, or the errno of a failed registration.
int add_watch(int kq, pid_t pid, int times = 1) {
  std::vector<struct kevent> changes(times);
  for (auto& change : changes) {
    EV_SET(&change, static_cast<uintptr_t>(static_cast<intptr_t>(pid)),
           EVFILT_PROC, EV_ADD | EV_ENABLE | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
  }
  return kevent(kq, changes.data(), times, nullptr, 0, nullptr) == 0 ? 0
                                                                     : errno;
}

class KqueueTest : public ::testing::Test {
 protected:
  ~KqueueTest() override { close(kq_); }

  int watch(pid_t pid, int times = 1) { return add_watch(kq_, pid, times); }

  // The next event, or nothing within ms milliseconds (-1: no limit).
  std::optional<struct kevent> next_event(long ms) {
    timespec limit{ms / 1000, (ms % 1000) * 1000000};
    struct kevent ev {};
    int n = kevent(kq_, nullptr, 0, &ev, 1, ms < 0 ? nullptr : &limit);
    EXPECT_LE(0, n) << strerror(errno);
    if (n != 1) return std::nullopt;
    EXPECT_EQ(EVFILT_PROC, ev.filter);
    EXPECT_TRUE(ev.fflags & NOTE_EXIT);
    return ev;
  }

  int kq_ = kqueue();
};

struct connector_ignored {
  connector_ignored() { kelv::testing::ignore_exit_connector(true); }
  ~connector_ignored() { kelv::testing::ignore_exit_connector(false); }
};

TEST_F(KqueueTest, ReportsTheWaitStatusOfChildrenAndOtherProcesses) {
  ASSERT_LE(0, kq_) << strerror(errno);
  for (bool own_child : {true, false}) {
    if (!own_child && geteuid() != 0) {
      GTEST_SKIP() << "statuses of other processes need root";
    }
    for (const ending& e : endings) {
      SCOPED_TRACE(std::string(e.name) + (own_child ? ", child" : ", other"));
      subject s(own_child, e);
      ASSERT_LT(0, s.pid());
      ASSERT_EQ(0, watch(s.pid()));
      s.go();
      // Fully gone before we look: the status can only be the connector's.
      if (!own_child) s.reap();
      auto ev = next_event(5000);
      ASSERT_TRUE(ev);
      EXPECT_EQ(static_cast<uintptr_t>(s.pid()), ev->ident);
      EXPECT_EQ(e.status, ev->data);
      if (own_child) {
        EXPECT_EQ(e.status, s.reap());
      }
    }
  }
}

// The fallback when the connector cannot be had: waitid for our child,
// leaving it to be reaped by its waiter; /proc for a zombie; else 0.
TEST_F(KqueueTest, WithoutTheConnectorOnlyChildrenAndZombiesHaveAStatus) {
  connector_ignored ignored;
  struct fallback_case {
    const char* name;
    bool own_child;
    bool reaped_before_wait;
    int status;
  } cases[] = {
      {"child", true, false, 0x300},
      {"zombie of another parent", false, false, 0x300},
      {"reaped by another parent", false, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    subject s(c.own_child, endings[0]);
    ASSERT_EQ(0, watch(s.pid()));
    s.go();
    if (c.reaped_before_wait) s.reap();
    auto ev = next_event(5000);
    ASSERT_TRUE(ev);
    EXPECT_EQ(c.status, ev->data);
    if (c.own_child) {
      EXPECT_EQ(0x300, s.reap());
    }
  }
}

TEST_F(KqueueTest, RegisteringAProcessThatDoesNotExistFailsWithEsrch) {
  subject gone(true, endings[0]);
  pid_t gone_pid = gone.pid();
  gone.reap();
  for (pid_t pid : {gone_pid, pid_t{0}, pid_t{-1}, pid_t{INT_MAX}}) {
    EXPECT_EQ(ESRCH, watch(pid)) << pid;
  }
}

// One-shot, and registering a watched PID again keeps the one watch.
TEST_F(KqueueTest, AProcessWatchedTwiceGivesOneEventOnce) {
  subject s(true, endings[0]);
  ASSERT_EQ(0, watch(s.pid()));
  ASSERT_EQ(0, watch(s.pid(), 2));
  s.go();
  auto ev = next_event(5000);
  ASSERT_TRUE(ev);
  EXPECT_EQ(static_cast<uintptr_t>(s.pid()), ev->ident);
  EXPECT_FALSE(next_event(300));
  EXPECT_EQ(0x300, s.reap());
}

TEST_F(KqueueTest, AWaitWithoutTimeoutSeesWatchesOtherThreadsRegister) {
  std::optional<struct kevent> seen;
  std::thread waiter([&] { seen = next_event(-1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  subject s(true, endings[2]);
  ASSERT_EQ(0, watch(s.pid()));
  s.go();
  waiter.join();
  ASSERT_TRUE(seen);
  EXPECT_EQ(static_cast<uintptr_t>(s.pid()), seen->ident);
  EXPECT_EQ(SIGSEGV, seen->data);
}

void on_signal(int) {}

// With or without SA_RESTART, as with kevent: its wait is never restarted
// after a handler.
TEST_F(KqueueTest, ASignalInterruptsTheWaitWithEintr) {
  for (int flags : {0, SA_RESTART}) {
    SCOPED_TRACE(flags == 0 ? "no flags" : "SA_RESTART");
    struct sigaction action {};
    struct sigaction old {};
    action.sa_handler = on_signal;
    action.sa_flags = flags;
    sigaction(SIGUSR1, &action, &old);
    std::atomic<bool> done = false;
    int result = 0, err = 0;
    std::thread waiter([&] {
      timespec limit{2, 0};
      struct kevent ev {};
      result = kevent(kq_, nullptr, 0, &ev, 1, &limit);
      err = errno;
      done = true;
    });
    // Keep signalling: one may land before the wait begins.
    while (!done) {
      pthread_kill(waiter.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    waiter.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(EINTR, err);
  }
}

TEST_F(KqueueTest, OnlyAQueueDescriptorIsAQueue) {
  EXPECT_TRUE(fcntl(kq_, F_GETFD) & FD_CLOEXEC);
  test_fd not_a_queue(open("/dev/null", O_RDONLY | O_CLOEXEC));
  for (int fd : {-1, not_a_queue.get(), 1 << 20}) {
    struct kevent ev {};
    EXPECT_EQ(-1, kevent(fd, nullptr, 0, &ev, 1, nullptr)) << fd;
    EXPECT_EQ(EBADF, errno) << fd;
  }
}

// Each watch holds a descriptor; without one the registration fails and
// nothing else is lost.
TEST_F(KqueueTest, RunningOutOfDescriptorsFailsTheRegistrationCleanly) {
  subject s(true, endings[0]);
  // No member calls while descriptors run out: the sanitizers' checks of
  // them need descriptors too.
  int kq = kq_;
  pid_t pid = s.pid();
  rlimit old{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
  rlimit low = old;
  low.rlim_cur = 256;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
  std::vector<test_fd> filler;
  for (int fd; (fd = dup(0)) >= 0;) filler.emplace_back(fd);
  int err = add_watch(kq, pid);
  filler.pop_back();
  int retried = add_watch(kq, pid);
  filler.clear();
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(EMFILE, err);
  ASSERT_EQ(0, retried);
  s.go();
  auto ev = next_event(5000);
  ASSERT_TRUE(ev);
  EXPECT_EQ(0x300, ev->data);
}

}  // namespace
