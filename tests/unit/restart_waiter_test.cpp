#include "daemon/restart_waiter.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "daemon/retry_queue.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/test_monitor.h"

namespace kelv {
namespace {

const char not_running[] = "ntpd is not running.\n";

class RestartWaiterTest : public ::testing::Test {
 protected:
  RestartWaiterTest() {
    env_.add_live_pid(getpid());
    env_.set_default("ntpd", "onestatus", {not_running, exit_status(1)});
    env_.set_default("ntpd", "restart", {"", exit_status(1)});
    monitor_.add("ntpd");
  }

  static rc_response running() {
    return {"ntpd is running as pid " + std::to_string(getpid()) + ".\n", 0};
  }

  // Starts a waiter for ntpd (recorded, not yet running) and runs it inline.
  void run_waiter() {
    ASSERT_EQ(0, spawn_restart_waiter(monitor_.state, "ntpd",
                                      monitor_.generation_of("ntpd")));
    ASSERT_EQ(1, env_.recorded_threads());
    env_.run_threads();
    EXPECT_TRUE(monitor_.lock_free());
  }

  // Runs `change` with the lock taken after the n-th ten-second sleep.
  void after_sleep(int n, std::function<void(monitor_state&)> change) {
    env_.set_sleep_hook([this, n, change, count = 0](unsigned) mutable {
      if (++count != n) return;
      mutex_guard hold(monitor_.state.lock);
      change(monitor_.state);
    });
  }

  fake_env env_;
  scoped_env installed_{env_};
  test_monitor monitor_{true};
};

// Seven polls ten seconds apart, the waiter's own restart at 70 s, then six
// attempts from the queue a minute apart; the service stays registered.
TEST_F(RestartWaiterTest, ServiceThatNeverComesBack) {
  run_waiter();
  for (int pass = 0; pass < 10 && !monitor_.state.retry_queue.empty(); ++pass) {
    ASSERT_TRUE(retry_worker_pass(monitor_.state));
  }
  const std::string failed =
      " 3 Service: ntpd could not be restarted. If any retry attempts exist, "
      "a retry will be attempted.";
  std::vector<std::string> expected = {
      "70" + failed,
      "70 5 Service: ntpd was submitted to the restart queue. First retry in "
      "60 seconds.",
  };
  for (int left = 4, t = 130; left >= 0; --left, t += 60) {
    std::string at = std::to_string(t);
    expected.push_back(at + " 5 Retrying service: ntpd.");
    expected.push_back(at + failed);
    expected.push_back(at + " 3 Retry failed for ntpd, " +
                       std::to_string(left) + " attempts remaining.");
  }
  expected.push_back("430 5 Retrying service: ntpd.");
  expected.push_back("430" + failed);
  expected.push_back("430 3 Retries exhausted for ntpd.");
  expected.push_back(
      "430 3 An administrator should review and consider removing and "
      "re-adding ntpd to monitoring.");
  EXPECT_EQ(expected, env_.log_lines());
  EXPECT_EQ(7, env_.command_count("ntpd", "onestatus"));
  EXPECT_EQ(7, env_.command_count("ntpd", "restart"));
  EXPECT_EQ(std::vector<unsigned>(7, 10), env_.sleeps());
  EXPECT_TRUE(monitor_.state.retry_queue.empty());
  EXPECT_NE(nullptr, find_service(monitor_.state, "ntpd"));
}

TEST_F(RestartWaiterTest, ServiceThatComesBackIsWatchedNotRestarted) {
  env_.queue_response("ntpd", "onestatus", {not_running, exit_status(1)});
  env_.queue_response("ntpd", "onestatus", {"", 0});
  env_.queue_response("ntpd", "onestatus", running());
  run_waiter();
  EXPECT_EQ(std::vector<std::string>{"20 6 Service: ntpd was restarted, but "
                                     "not by me."},
            env_.log_lines());
  EXPECT_EQ(0, env_.command_count("ntpd", "restart"));
  EXPECT_EQ(std::vector<pid_t>{getpid()},
            find_service(monitor_.state, "ntpd")->pids);
}

TEST_F(RestartWaiterTest, PidsThatCannotBeWatchedEndTheWait) {
  close(monitor_.state.kq);
  monitor_.state.kq = -1;
  env_.set_default("ntpd", "onestatus", running());
  run_waiter();
  EXPECT_EQ((std::vector<std::string>{
                "0 3 Registering kq event failed: Bad file descriptor",
                "0 3 Could not monitor service."}),
            env_.log_lines());
  EXPECT_EQ(0, env_.command_count("ntpd", "restart"));
}

TEST_F(RestartWaiterTest, RemovalEndsTheWaitWithoutARestart) {
  const struct {
    int sleep;
    const char* line;
  } cases[] = {
      {2,
       "20 3 Service: ntpd was removed from monitoring while I was waiting "
       "for it to restart."},
      // After the last sleep the message has no colon.
      {7,
       "70 3 Service ntpd was removed from monitoring while I was waiting for "
       "it to restart."},
  };
  for (const auto& c : cases) {
    fake_env env;
    scoped_env installed(env);
    env.set_default("ntpd", "onestatus", {not_running, exit_status(1)});
    test_monitor monitor;
    monitor.add("ntpd");
    env.set_sleep_hook([&, count = 0](unsigned) mutable {
      if (++count != c.sleep) return;
      mutex_guard hold(monitor.state.lock);
      unlink_service(monitor.state, "ntpd");
    });
    ASSERT_EQ(0, spawn_restart_waiter(monitor.state, "ntpd",
                                      monitor.generation_of("ntpd")));
    env.run_threads();
    EXPECT_EQ(std::vector<std::string>{c.line}, env.log_lines());
    EXPECT_EQ(c.sleep, env.command_count("ntpd", "onestatus"));
    EXPECT_EQ(0, env.command_count("ntpd", "restart"));
  }
}

// The probe runs without the lock; the record it was for is gone when it
// ends (disabled, or disabled and enabled again): the waiter stops and leaves
// a newer record of the name alone.
TEST_F(RestartWaiterTest, RecordReplacedDuringAProbeEndsTheWait) {
  for (bool re_added : {false, true}) {
    SCOPED_TRACE(re_added ? "re-added" : "removed");
    fake_env env;
    scoped_env installed(env);
    env.add_live_pid(getpid());
    env.set_default("ntpd", "onestatus", running());
    test_monitor monitor(true);
    monitor.add("ntpd");
    const uint64_t generation = monitor.generation_of("ntpd");
    service_entry* newer = nullptr;
    env.set_command_hook([&](const std::string&, const std::string&) {
      mutex_guard hold(monitor.state.lock);
      unlink_service(monitor.state, "ntpd");
      if (re_added) newer = &monitor.add("ntpd", {55});
    });
    ASSERT_EQ(0, spawn_restart_waiter(monitor.state, "ntpd", generation));
    env.run_threads();
    EXPECT_EQ(std::vector<std::string>{"0 3 Service: ntpd was removed from "
                                       "monitoring while I was waiting for it "
                                       "to restart."},
              env.log_lines());
    EXPECT_EQ(1, env.command_count("ntpd", "onestatus"));
    if (re_added) {
      EXPECT_EQ(std::vector<pid_t>{55}, newer->pids);
    }
  }
}

TEST_F(RestartWaiterTest, OwnRestartSucceeds) {
  for (int poll = 0; poll < waiter_polls; ++poll) {
    env_.queue_response("ntpd", "onestatus", {not_running, exit_status(1)});
  }
  env_.set_default("ntpd", "onestatus", running());
  env_.set_default("ntpd", "restart", {"", 0});
  run_waiter();
  EXPECT_EQ(std::vector<std::string>{"70 5 Service: ntpd was restarted."},
            env_.log_lines());
  EXPECT_TRUE(monitor_.state.retry_queue.empty());
}

TEST_F(RestartWaiterTest, OwnRestartBusyIsNotQueued) {
  after_sleep(7, [](monitor_state& state) {
    find_service(state, "ntpd")->restarting = 1;
  });
  run_waiter();
  EXPECT_EQ((std::vector<std::string>{
                "70 5 Service: ntpd was already restarting and will not be "
                "restarted now.",
                "70 5 Service: ntpd is already restarting. A retry will not be "
                "scheduled at this time."}),
            env_.log_lines());
  EXPECT_TRUE(monitor_.state.retry_queue.empty());
}

TEST_F(RestartWaiterTest, ServiceVanishingDuringOwnRestartCannotBeQueued) {
  env_.set_command_hook([this](const std::string&, const std::string& verb) {
    if (verb != "restart") return;
    mutex_guard hold(monitor_.state.lock);
    unlink_service(monitor_.state, "ntpd");
  });
  run_waiter();
  EXPECT_EQ((std::vector<std::string>{
                "70 5 Service: ntpd is no longer registered after restart "
                "attempt.",
                "70 5 Service: ntpd is no longer registered. A retry will not "
                "be scheduled.",
                "70 3 Service: ntpd could not be scheduled  for retry"}),
            env_.log_lines());
}

TEST_F(RestartWaiterTest, FailedCreationLogsNothing) {
  env_.set_create_error(EAGAIN);
  EXPECT_EQ(-1, spawn_restart_waiter(monitor_.state, "ntpd",
                                     monitor_.generation_of("ntpd")));
  EXPECT_EQ(0, env_.recorded_threads());
  EXPECT_EQ(0, env_.detach_count());
  EXPECT_TRUE(env_.log_lines().empty());
}

TEST_F(RestartWaiterTest, FailedDetachStillRunsTheWaiter) {
  env_.set_detach_error(EINVAL);
  env_.set_default("ntpd", "onestatus", running());
  mutex_guard hold(monitor_.state.lock);  // callers hold the lock
  EXPECT_EQ(0, spawn_restart_waiter(monitor_.state, "ntpd",
                                    monitor_.generation_of("ntpd")));
  hold.unlock();
  env_.run_threads();
  EXPECT_EQ((std::vector<std::string>{
                "0 3 Could not detach restart thread.",
                "0 6 Service: ntpd was restarted, but not by me."}),
            env_.log_lines());
}

// A real detached thread that waits for the caller's lock before its poll.
TEST_F(RestartWaiterTest, RealThreadPollsOnceTheCallerReleasesTheLock) {
  env_.set_real_threads(true);
  env_.set_default("ntpd", "onestatus", running());
  {
    mutex_guard hold(monitor_.state.lock);
    ASSERT_EQ(0, spawn_restart_waiter(monitor_.state, "ntpd",
                                      monitor_.generation_of("ntpd")));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0, env_.command_count("ntpd", "onestatus"));
  }
  for (int i = 0; i < 500 && env_.log_lines().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(std::vector<std::string>{"0 6 Service: ntpd was restarted, but "
                                     "not by me."},
            env_.log_lines());
  // The message is logged with the lock held; wait for the thread to drop it.
  mutex_guard hold(monitor_.state.lock);
}

}  // namespace
}  // namespace kelv
