#include "daemon/retry_queue.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/fake_env.h"
#include "tests/unit/test_monitor.h"

namespace kelv {
namespace {

constexpr time_t t0 = fake_env::start_seconds;

class RetryQueueTest : public ::testing::Test {
 protected:
  RetryQueueTest() {
    env_.add_live_pid(getpid());
    env_.set_unscripted({"", exit_status(1)});
  }

  // Lets every restart of `name` succeed with our own (watchable) PID.
  void restarts_succeed(const std::string& name) {
    env_.set_default(name, "restart", {"", 0});
    env_.set_default(name, "onestatus",
                     {"running as pid " + std::to_string(getpid()) + ".\n", 0});
  }

  int schedule(const std::string& name) {
    mutex_guard hold(monitor_.state.lock);
    return schedule_retry(monitor_.state, name);
  }

  // Read directly: the worker runs inline, so no other thread touches it.
  retry_list& queue() { return monitor_.state.retry_queue; }

  // Runs restart hooks with the lock taken, as another thread would.
  void on_restart(std::function<void(monitor_state&)> change) {
    env_.set_command_hook(
        [this, change](const std::string&, const std::string& verb) {
          if (verb != "restart") return;
          mutex_guard hold(monitor_.state.lock);
          change(monitor_.state);
        });
  }

  fake_env env_;
  scoped_env installed_{env_};
  test_monitor monitor_{true};
};

TEST_F(RetryQueueTest, ScheduleQueuesOneEntryOneIntervalAhead) {
  monitor_.add("ntpd");
  env_.set_now({t0, 123});
  EXPECT_EQ(0, schedule("ntpd"));
  EXPECT_EQ(0, schedule("ntpd"));
  ASSERT_EQ(1u, queue().size());
  const retry_entry& entry = queue().front();
  EXPECT_EQ("ntpd", entry.name);
  EXPECT_EQ(60u, entry.interval);
  EXPECT_EQ(5u, entry.retries_left);
  EXPECT_EQ(t0 + 60, entry.deadline.tv_sec);
  EXPECT_EQ(123, entry.deadline.tv_nsec);
  EXPECT_EQ((std::vector<std::string>{
                "0 5 Service: ntpd was submitted to the restart queue. First "
                "retry in 60 seconds.",
                "0 5 ntpd already has a pending retry waiting."}),
            env_.log_lines());
}

TEST_F(RetryQueueTest, ScheduleDeclines) {
  const struct {
    bool registered;
    int restarting;
    bool clock_fails;
    int result;
    const char* message;
  } cases[] = {
      {false, 0, false, -1,
       "5 Service: ntpd is no longer registered. A retry will not be "
       "scheduled."},
      {true, 1, false, 0,
       "5 Service: ntpd is already restarting. A retry will not be scheduled "
       "at this time."},
      {true, 0, true, -1, "3 Could not get monotonic time for service: ntpd."},
  };
  for (const auto& c : cases) {
    fake_env env;
    scoped_env installed(env);
    test_monitor monitor;
    if (c.registered) monitor.add("ntpd").restarting = c.restarting;
    if (c.clock_fails) env.fail_clock(1);
    mutex_guard hold(monitor.state.lock);
    EXPECT_EQ(c.result, schedule_retry(monitor.state, "ntpd")) << c.message;
    EXPECT_TRUE(monitor.state.retry_queue.empty()) << c.message;
    EXPECT_EQ(std::vector<std::string>{std::string("0 ") + c.message},
              env.log_lines());
  }
}

TEST_F(RetryQueueTest, WorkerWaitsForTheDeadlineAndRemovesOnSuccess) {
  monitor_.add("ntpd");
  restarts_succeed("ntpd");
  ASSERT_EQ(0, schedule("ntpd"));
  env_.clear_log();
  EXPECT_TRUE(retry_worker_pass(monitor_.state));
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(1u, env_.timedwait_deadlines().size());
  EXPECT_EQ((std::vector<std::string>{"60 5 Retrying service: ntpd.",
                                      "60 5 ntpd restarted successfully"}),
            env_.log_lines());
}

TEST_F(RetryQueueTest, DeadlineEqualToNowIsDue) {
  monitor_.add("ntpd");
  restarts_succeed("ntpd");
  queue().push_front({"ntpd", 60, 5, env_.now()});
  EXPECT_TRUE(retry_worker_pass(monitor_.state));
  EXPECT_TRUE(env_.timedwait_deadlines().empty());
  EXPECT_EQ(1, env_.command_count("ntpd", "restart"));
}

// A signalled wait chooses again, so an entry queued meanwhile with an
// earlier deadline is served first; the wait gets the chosen deadline.
TEST_F(RetryQueueTest, NewEarlierEntryIsServedFirst) {
  monitor_.add("late");
  monitor_.add("early");
  restarts_succeed("early");
  ASSERT_EQ(0, schedule("late"));
  env_.set_timedwait_hook([this](const timespec&) {
    timespec soon = env_.now();
    soon.tv_sec += 10;
    queue().push_front({"early", 60, 5, soon});
    env_.set_timedwait_hook(nullptr);
    return 0;
  });
  EXPECT_TRUE(retry_worker_pass(monitor_.state));
  std::vector<timespec> waits = env_.timedwait_deadlines();
  ASSERT_EQ(2u, waits.size());
  EXPECT_EQ(t0 + 60, waits[0].tv_sec);
  EXPECT_EQ(t0 + 10, waits[1].tv_sec);
  EXPECT_EQ("10 5 Retrying service: early.", env_.log_lines()[1]);
  ASSERT_EQ(1u, queue().size());
  EXPECT_EQ("late", queue().front().name);
}

TEST_F(RetryQueueTest, IdenticalDeadlinesServeTheLaterQueuedFirst) {
  monitor_.add("first");
  monitor_.add("second");
  ASSERT_EQ(0, schedule("first"));
  ASSERT_EQ(0, schedule("second"));
  env_.clear_log();
  EXPECT_TRUE(retry_worker_pass(monitor_.state));
  EXPECT_TRUE(retry_worker_pass(monitor_.state));
  std::vector<std::string> texts = env_.log_texts();
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ("Retrying service: second.", texts[0]);
  EXPECT_EQ("Retrying service: first.", texts[3]);
}

TEST_F(RetryQueueTest, BusyServiceIsDeferredSixtySecondsWithoutUsingARetry) {
  monitor_.add("ntpd").restarting = 1;
  queue().push_front({"ntpd", 60, 3, {t0 + 60, 0}});
  env_.set_now({t0 + 60, 250});
  EXPECT_TRUE(retry_worker_pass(monitor_.state));
  ASSERT_EQ(1u, queue().size());
  EXPECT_EQ(3u, queue().front().retries_left);
  EXPECT_EQ(t0 + 120, queue().front().deadline.tv_sec);
  EXPECT_EQ(250, queue().front().deadline.tv_nsec);
  EXPECT_EQ((std::vector<std::string>{
                "60 5 Retrying service: ntpd.",
                "60 5 Service: ntpd was already restarting and will not be "
                "restarted now.",
                "60 5 Service: ntpd was already restarting."}),
            env_.log_lines());
}

TEST_F(RetryQueueTest, DisableDuringTheAttemptLeavesNothingToRemove) {
  monitor_.add("ntpd");
  ASSERT_EQ(0, schedule("ntpd"));
  on_restart([](monitor_state& state) {
    unlink_service(state, "ntpd");
    remove_retry_entry(state, "ntpd");
  });
  env_.clear_log();
  EXPECT_TRUE(retry_worker_pass(monitor_.state));
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ((std::vector<std::string>{
                "Retrying service: ntpd.",
                "Service: ntpd is no longer registered after restart attempt.",
                "Service: ntpd was unregistered. Removing restart queue entry "
                "for ntpd."}),
            env_.log_texts());
}

// Disabled and enabled again during the attempt: the attempt was for the old
// record, which is gone; the newer one is neither queued nor marked.
TEST_F(RetryQueueTest, ReAddedDuringTheAttemptNeitherRemovesNorReschedules) {
  const struct {
    int restart_status;
    const char* last;
  } cases[] = {
      {exit_status(1),
       "Service: ntpd was unregistered. Removing restart queue entry for "
       "ntpd."},
      {0,
       "Service: ntpd was unregistered. Removing restart queue entry for "
       "ntpd."},
  };
  for (const auto& c : cases) {
    fake_env env;
    scoped_env installed(env);
    test_monitor monitor(true);
    env.add_live_pid(getpid());
    env.set_default("ntpd", "restart", {"", c.restart_status});
    env.set_default("ntpd", "onestatus", {std::to_string(getpid()) + "\n", 0});
    monitor.add("ntpd");
    monitor.state.retry_queue.push_front({"ntpd", 60, 5, env.now()});
    env.set_command_hook([&](const std::string&, const std::string& verb) {
      if (verb != "restart") return;
      mutex_guard hold(monitor.state.lock);
      unlink_service(monitor.state, "ntpd");
      remove_retry_entry(monitor.state, "ntpd");
      monitor.add("ntpd");
    });
    EXPECT_TRUE(retry_worker_pass(monitor.state));
    EXPECT_TRUE(monitor.state.retry_queue.empty());
    EXPECT_EQ(c.last, env.log_texts().back());
    EXPECT_EQ(0, find_service(monitor.state, "ntpd")->restarting);
  }
}

TEST_F(RetryQueueTest, ClockFailuresPauseAndKeepTheEntry) {
  monitor_.add("ntpd");
  const timespec due = env_.now();
  const struct {
    bool busy;
    int good_readings;  // readings that succeed before the one that fails
    const char* message;
  } cases[] = {
      {false, 0, "Could not get monotonic time."},
      {false, 1,
       "Could not get monotonic time to reschedule retry for service: ntpd."},
      {true, 1,
       "Could not get monotonic clock time to defer retry for service: "
       "ntpd."},
  };
  for (const auto& c : cases) {
    fake_env env;
    scoped_env installed(env);
    env.set_now(due);
    find_service(monitor_.state, "ntpd")->restarting = c.busy ? 1 : 0;
    queue().clear();
    queue().push_front({"ntpd", 60, 5, due});
    env.fail_clock(1, c.good_readings);
    EXPECT_TRUE(retry_worker_pass(monitor_.state)) << c.message;
    std::vector<std::string> texts = env.log_texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), c.message), texts.end())
        << c.message;
    EXPECT_EQ(std::vector<unsigned>{1}, env.sleeps()) << c.message;
    ASSERT_EQ(1u, queue().size());
    EXPECT_EQ(5u, queue().front().retries_left);
    EXPECT_EQ(due.tv_sec, queue().front().deadline.tv_sec);
  }
}

TEST_F(RetryQueueTest, FailedWaitsEndTheWorker) {
  // Nothing signals a single-threaded test: the untimed wait fails (EINVAL).
  EXPECT_FALSE(retry_worker_pass(monitor_.state));
  monitor_.add("ntpd");
  ASSERT_EQ(0, schedule("ntpd"));
  env_.set_timedwait_hook([](const timespec&) { return EPERM; });
  EXPECT_FALSE(retry_worker_pass(monitor_.state));
  EXPECT_EQ(1u, queue().size());
  EXPECT_TRUE(monitor_.lock_free());
  std::vector<std::string> texts = env_.log_texts();
  EXPECT_EQ("pthread_cond_wait failed: Invalid argument", texts.front());
  EXPECT_EQ("pthread_cond_timedwait failed: Operation not permitted",
            texts.back());
}

// The production wiring, in real time: the real clock, a condition variable
// on CLOCK_MONOTONIC, a real worker thread and a stand-in `service` on PATH.
class RetryWorkerRealTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kelv-retry-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    std::ofstream script(dir_ + "/service");
    script << "#!/bin/sh\necho \"$1 $2\" >> \"" << dir_ << "/calls\"\nexit 1\n";
    script.close();
    chmod((dir_ + "/service").c_str(), 0755);
    const char* path = getenv("PATH");
    old_path_ = path ? path : "";
    setenv("PATH", (dir_ + ":" + old_path_).c_str(), 1);
  }
  void TearDown() override {
    if (started_) {
      pthread_cancel(worker_);
      pthread_join(worker_, nullptr);
    }
    setenv("PATH", old_path_.c_str(), 1);
    unlink((dir_ + "/service").c_str());
    unlink((dir_ + "/calls").c_str());
    rmdir(dir_.c_str());
  }

  void start_worker() {
    ASSERT_EQ(0,
              pthread_create(&worker_, nullptr, retry_worker, &monitor_.state));
    started_ = true;
  }

  // Polls `done` under the lock for up to five seconds.
  bool eventually(std::function<bool()> done) {
    for (int i = 0; i < 500; ++i) {
      {
        mutex_guard hold(monitor_.state.lock);
        if (done()) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string calls() {
    std::ifstream in(dir_ + "/calls");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  test_monitor monitor_;
  std::string dir_;
  std::string old_path_;
  pthread_t worker_{};
  bool started_ = false;
};

TEST_F(RetryWorkerRealTimeTest, ServesADueEntryAndReschedulesTheFailure) {
  timespec now;
  ASSERT_EQ(0, clock_gettime(CLOCK_MONOTONIC, &now));
  monitor_.add("svc");
  monitor_.state.retry_queue.push_front({"svc", 60, 5, now});
  start_worker();
  ASSERT_TRUE(eventually(
      [&] { return monitor_.state.retry_queue.front().retries_left == 4; }));
  EXPECT_EQ("svc restart\n", calls());
  mutex_guard hold(monitor_.state.lock);
  EXPECT_GE(monitor_.state.retry_queue.front().deadline.tv_sec,
            now.tv_sec + 60);
}

TEST_F(RetryWorkerRealTimeTest, InsertionWakesAnIdleWorker) {
  fake_env env;
  scoped_env installed(env);
  env.set_real_clock(true);
  env.set_real_waits(true);
  monitor_.add("svc");
  start_worker();
  // The idle worker waits without a limit; queueing must wake it into the
  // timed wait for the new entry.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(0u, env.timedwait_deadlines().size());
  {
    mutex_guard hold(monitor_.state.lock);
    ASSERT_EQ(0, schedule_retry(monitor_.state, "svc"));
  }
  EXPECT_TRUE(
      eventually([&] { return env.timedwait_deadlines().size() == 1; }));
  // Removal wakes it too; with the queue empty it waits without a limit.
  {
    mutex_guard hold(monitor_.state.lock);
    ASSERT_TRUE(remove_retry_entry(monitor_.state, "svc"));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(1u, env.timedwait_deadlines().size());
  pthread_cancel(worker_);
  pthread_join(worker_, nullptr);
  started_ = false;
}

}  // namespace
}  // namespace kelv
