#include "daemon/event_loop.h"
#include "common/unique_fd.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/event.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "daemon/monitor_state.h"
#include "tests/unit/fake_env.h"

namespace kelv {
namespace {

struct decode_case {
  int status;
  exit_kind kind;
  int value;
};

TEST(EventDecodeTest, WaitStatusKinds) {
  const decode_case cases[] = {
      {0x0000, exit_kind::exited, 0},     {0x0300, exit_kind::exited, 3},
      {0xff00, exit_kind::exited, 255},   {0x000b, exit_kind::signalled, 11},
      {0x008b, exit_kind::signalled, 11},  // core dumped
      {0x0009, exit_kind::signalled, 9},  {0x137f, exit_kind::stopped, 0},
      {0x0013, exit_kind::continued, 0},
  };
  for (const decode_case& c : cases) {
    int value = -1;
    exit_kind kind = decode_wait_status(c.status, &value);
    EXPECT_EQ(c.kind, kind) << std::hex << c.status;
    if (kind == exit_kind::exited || kind == exit_kind::signalled) {
      EXPECT_EQ(c.value, value) << std::hex << c.status;
    }
  }
}

TEST(EventDecodeTest, StopSignalsAreChosenByName) {
  for (int sig : {SIGINT, SIGKILL, SIGTERM, SIGUSR1, SIGUSR2}) {
    EXPECT_TRUE(is_stop_signal(sig)) << sig;
  }
  for (int sig : {SIGSEGV, SIGABRT, SIGHUP, SIGQUIT, 0, 31, 32, 40, -1}) {
    if (sig == SIGUSR2) continue;  // 31 on FreeBSD
    EXPECT_FALSE(is_stop_signal(sig)) << sig;
  }
}

// A real kqueue closed at the end of the test.
struct kqueue_fd : unique_fd {
  kqueue_fd() : unique_fd(kqueue()) {}
};

// The watched processes are this test process itself: a live PID that the
// kqueue can watch and that never exits under the test.
class EventHandleTest : public ::testing::Test {
 protected:
  EventHandleTest() : installed_(env_) {
    const char* what = nullptr;
    EXPECT_EQ(0, init_monitor_sync(state_, &what));
    state_.kq = kq_.get();
    env_.add_live_pid(self_);
  }
  // Recorded waiters own their arguments: let them run out on the virtual
  // clock so nothing is left allocated.
  ~EventHandleTest() override { env_.run_threads(); }

  service_entry& add(const std::string& name, pid_t pid) {
    auto entry = std::make_unique<service_entry>();
    entry->name = name;
    entry->pids.push_back(pid);
    service_entry& ref = *entry;
    link_service(state_, std::move(entry));
    return ref;
  }

  // rc answers for a service that restarts cleanly and then runs as self_.
  void restartable(const std::string& name) {
    env_.set_default(name, "restart", {"Starting " + name + ".\n", 0});
    env_.set_default(
        name, "onestatus",
        {name + " is running as pid " + std::to_string(self_) + ".\n", 0});
  }

  std::vector<std::string> log() const { return env_.log_lines(); }

  const pid_t self_ = getpid();
  fake_env env_;
  scoped_env installed_;
  kqueue_fd kq_;
  monitor_state state_;
};

TEST_F(EventHandleTest, UnknownPidIsDroppedSilently) {
  add("ntpd", 4242);
  handle_exit(state_, 4243, 0x0b);
  handle_exit(state_, intptr_t{4242} + (intptr_t{1} << 32), 0x0b);
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(env_.commands().empty());
  EXPECT_EQ(0, env_.recorded_threads());
}

TEST_F(EventHandleTest, RestartingServiceIsDroppedSilently) {
  add("ntpd", 4242).restarting = 1;
  handle_exit(state_, 4242, 0x0b);
  handle_exit(state_, 4242, 0);
  EXPECT_TRUE(log().empty());
  EXPECT_TRUE(env_.commands().empty());
  EXPECT_EQ(0, env_.recorded_threads());
}

TEST_F(EventHandleTest, StoppedAndContinuedAreIgnored) {
  add("ntpd", 4242);
  handle_exit(state_, 4242, 0x137f);
  handle_exit(state_, 4242, 0x13);
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(0, env_.recorded_threads());
}

TEST_F(EventHandleTest, SharedPidGoesToFirstServiceInListOrder) {
  add("older", 4242);
  add("newer", 4242);  // pushed at the head, so searched first
  handle_exit(state_, 4242, 0);
  EXPECT_EQ((std::vector<std::string>{"0 3 newer exited with status 0",
                                      "0 5 newer waiting for restart."}),
            log());
  EXPECT_EQ(1, env_.recorded_threads());
}

TEST_F(EventHandleTest, ExitsAndStopSignalsTakeTheWaitPath) {
  struct wait_case {
    int status;
    std::string message;
  };
  const wait_case cases[] = {
      {0x0000, "0 3 ntpd exited with status 0"},
      {0x0300, "0 3 ntpd exited with status 3"},
      {SIGTERM, "0 3 ntpd caught signal 15 and exited"},
      {SIGKILL, "0 3 ntpd caught signal 9 and exited"},
      {SIGINT | 0x80, "0 3 ntpd caught signal 2 and exited"},
      {SIGUSR1,
       "0 3 ntpd caught signal " + std::to_string(SIGUSR1) + " and exited"},
      {SIGUSR2,
       "0 3 ntpd caught signal " + std::to_string(SIGUSR2) + " and exited"},
  };
  service_entry& entry = add("ntpd", 4242);
  int threads = 0;
  for (const wait_case& c : cases) {
    env_.clear_log();
    entry.pids = {4242};
    handle_exit(state_, 4242, c.status);
    EXPECT_EQ(
        (std::vector<std::string>{c.message, "0 5 ntpd waiting for restart."}),
        log())
        << std::hex << c.status;
    EXPECT_EQ(++threads, env_.recorded_threads()) << std::hex << c.status;
    // The dead PID is gone at once: never listed, never matched again.
    EXPECT_TRUE(entry.pids.empty()) << std::hex << c.status;
  }
  // The wait path runs no command.
  EXPECT_TRUE(env_.commands().empty());
}

TEST_F(EventHandleTest, OtherSignalsRestartAtOnce) {
  for (int status : {SIGSEGV, SIGSEGV | 0x80, SIGABRT, SIGHUP}) {
    env_.clear_log();
    service_entry& entry = add("sig" + std::to_string(status), 4242);
    std::string name = entry.name;
    restartable(name);
    handle_exit(state_, 4242, status);
    EXPECT_EQ((std::vector<std::string>{"0 3 " + name + " caught signal " +
                                            std::to_string(status & 0x7f) +
                                            " and exited",
                                        "0 5 " + name + " was restarted"}),
              log());
    EXPECT_EQ(1, env_.command_count(name, "restart"));
    // The PID list was rebuilt by the restart.
    EXPECT_EQ(std::vector<pid_t>{self_}, find_service(state_, name)->pids);
  }
  EXPECT_EQ(0, env_.recorded_threads());
  EXPECT_TRUE(state_.retry_queue.empty());
}

TEST_F(EventHandleTest, FailedRestartIsQueuedForRetry) {
  add("ntpd", 4242);
  env_.set_default("ntpd", "restart", {"", exit_status(1)});
  handle_exit(state_, 4242, SIGSEGV);
  std::vector<std::string> lines = log();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("0 3 ntpd caught signal 11 and exited", lines.front());
  EXPECT_EQ(
      "0 5 Service: ntpd was submitted to the restart queue. First retry in "
      "60 seconds.",
      lines.back());
  ASSERT_EQ(1u, state_.retry_queue.size());
  EXPECT_EQ("ntpd", state_.retry_queue.front().name);
}

TEST_F(EventHandleTest, WaiterThatCannotStartFallsBackToRetry) {
  add("ntpd", 4242);
  env_.set_create_error(EAGAIN);
  handle_exit(state_, 4242, SIGTERM);
  EXPECT_EQ(
      (std::vector<std::string>{"0 3 ntpd caught signal 15 and exited",
                                "0 5 Service: ntpd was submitted to the "
                                "restart queue. First retry in 60 seconds."}),
      log());
  EXPECT_EQ(1u, state_.retry_queue.size());
}

TEST_F(EventHandleTest, NoWaiterAndNoRetryLeavesServiceRegistered) {
  add("ntpd", 4242);
  env_.set_create_error(EAGAIN);
  env_.fail_clock(1);
  handle_exit(state_, 4242, 0x0100);
  std::vector<std::string> lines = log();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("0 3 ntpd exited with status 1", lines.front());
  EXPECT_EQ(
      "0 3 ntpd could not be scheduled for a retry. An administrator should  "
      "remove and re-add the service.",
      lines.back());
  EXPECT_TRUE(state_.retry_queue.empty());
  ASSERT_NE(nullptr, find_service(state_, "ntpd"));
  EXPECT_TRUE(find_service(state_, "ntpd")->pids.empty());
}

// The service is disabled while rc(8) restarts it: the loop must not touch
// the discarded record, and the retry finds nothing to queue.
TEST_F(EventHandleTest, ServiceRemovedDuringRestartUsesOnlyTheCopy) {
  add("ntpd", 4242);
  restartable("ntpd");
  env_.set_command_hook([this](const std::string& name, const std::string&) {
    mutex_guard guard(state_.lock);
    unlink_service(state_, name);
  });
  handle_exit(state_, 4242, SIGSEGV);
  std::vector<std::string> lines = log();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("0 3 ntpd caught signal 11 and exited", lines.front());
  EXPECT_EQ(
      "0 3 ntpd could not be scheduled for a retry. An administrator should  "
      "remove and re-add the service.",
      lines.back());
  EXPECT_TRUE(state_.services.empty());
}

TEST_F(EventHandleTest, LockIsFreeAfterEveryOutcome) {
  add("ntpd", 4242);
  handle_exit(state_, 4242, 0);
  handle_exit(state_, 1, 0);
  ASSERT_EQ(0, pthread_mutex_trylock(&state_.lock));
  pthread_mutex_unlock(&state_.lock);
}

}  // namespace
}  // namespace kelv
