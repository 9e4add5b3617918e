#include "daemon/crash_throttle.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/event_loop.h"
#include "daemon/retry_queue.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/serve_on_pair.h"
#include "tests/unit/test_monitor.h"

namespace kelv {
namespace {

constexpr long ns_per_ms = 1000000;

// Moves the virtual clock on by ms milliseconds.
void advance_ms(fake_env& env, long ms) {
  timespec now = env.now();
  long ns = now.tv_nsec + ms * ns_per_ms;
  now.tv_sec += ns / 1000000000;
  now.tv_nsec = ns % 1000000000;
  env.set_now(now);
}

// One step of a service's life: kelv (re)started it (or not), it ran for
// `ms`, then died by a crash or another way.
struct step {
  bool own_start;
  long ms;
  bool crash;
  bool to_queue;   // expected
  unsigned count;  // expected run of quick deaths afterwards
};

void run_steps(const std::vector<step>& steps, fake_env& env) {
  crash_throttle throttle;
  int i = 0;
  for (const step& s : steps) {
    if (s.own_start) note_own_start(throttle);
    advance_ms(env, s.ms);
    EXPECT_EQ(s.to_queue, note_death(throttle, s.crash)) << "step " << i;
    EXPECT_EQ(s.count, throttle.quick_deaths) << "step " << i;
    ++i;
  }
}

TEST(CrashThrottleTest, FiveQuickCrashesAreRestartedThenEachIsQueued) {
  fake_env env;
  scoped_env installed(env);
  run_steps({{true, 50, true, false, 1},
             {true, 999, true, false, 2},
             {true, 0, true, false, 3},
             {true, 50, true, false, 4},
             {true, 50, true, false, 5},
             {true, 50, true, true, 6},
             {true, 50, true, true, 7},
             {true, 999, true, true, 8}},
            env);
}

TEST(CrashThrottleTest, RunIsEndedByAnythingButAQuickCrash) {
  fake_env env;
  scoped_env installed(env);
  const step quick = {true, 50, true, false, 1};
  struct reset_case {
    const char* what;
    step death;
  };
  const reset_case cases[] = {
      {"a run of exactly a second", {true, 1000, true, false, 0}},
      {"a longer run", {true, 60000, true, false, 0}},
      {"an exit or stop signal, however soon", {true, 10, false, false, 0}},
      // The start is used up by the death before: the run is unknown.
      {"a crash with no start of kelv's since the last death",
       {false, 10, true, false, 0}},
  };
  for (const reset_case& c : cases) {
    SCOPED_TRACE(c.what);
    step again = quick;  // counts from one again
    run_steps({quick,
               {true, 50, true, false, 2},
               {true, 50, true, false, 3},
               {true, 50, true, false, 4},
               {true, 50, true, false, 5},
               c.death,
               again},
              env);
  }
}

TEST(CrashThrottleTest, NoClockReadingMeansNoQuickDeath) {
  fake_env env;
  scoped_env installed(env);
  crash_throttle throttle;
  throttle.quick_deaths = 5;
  env.fail_clock(1);  // at the start
  note_own_start(throttle);
  EXPECT_FALSE(note_death(throttle, true));
  EXPECT_EQ(0u, throttle.quick_deaths);

  throttle.quick_deaths = 5;
  note_own_start(throttle);
  env.fail_clock(1);  // at the death
  EXPECT_FALSE(note_death(throttle, true));
  EXPECT_EQ(0u, throttle.quick_deaths);
}

// The whole path: the exit handling, the retry queue and the control
// server, for a service whose process (this test process, watchable and
// never really ending) crashes right after every start.
class CrashLoopTest : public ::testing::Test {
 protected:
  CrashLoopTest() {
    env_.add_live_pid(self_);
    env_.set_default("loop", "restart", {"Starting loop.\n", 0});
    env_.set_default(
        "loop", "onestatus",
        {"loop is running as pid " + std::to_string(self_) + ".\n", 0});
  }
  ~CrashLoopTest() override { env_.run_threads(); }

  // "enable" of a stopped service: kelv starts it.
  void enable() {
    env_.queue_response("loop", "onestatus", {"loop is not running.\n", 256});
    ASSERT_EQ(std::string("\0Monitoring service.\n\x04", 22),
              serve_on_pair(monitor_.state, "enable:loop"));
  }

  // The process runs ms milliseconds, then dies by signal sig. Returns the
  // log lines it caused.
  std::vector<std::string> crash_after(long ms, int sig = SIGSEGV) {
    advance_ms(env_, ms);
    env_.clear_log();
    handle_exit(monitor_.state, self_, sig);
    return env_.log_texts();
  }

  // n crashes ms after each start, each restarted at once.
  void restarted(int n, long ms) {
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(restarted_lines, crash_after(ms)) << "crash " << i + 1;
    }
  }

  std::vector<std::string> queued_lines(unsigned count) const {
    return {"loop caught signal 11 and exited",
            "loop crashed " + std::to_string(count) +
                " times within a second of its restart; it goes to the "
                "retry queue.",
            "Service: loop was submitted to the restart queue. First retry "
            "in 60 seconds."};
  }

  service_entry& entry() { return *find_service(monitor_.state, "loop"); }

  const std::vector<std::string> restarted_lines = {
      "loop caught signal 11 and exited", "loop was restarted"};
  const pid_t self_ = getpid();
  fake_env env_;
  scoped_env installed_{env_};
  test_monitor monitor_{true};
};

TEST_F(CrashLoopTest, SixthQuickCrashGoesToTheQueueAndItsRestartCounts) {
  enable();
  restarted(5, 50);
  EXPECT_EQ(queued_lines(6), crash_after(50));
  EXPECT_EQ(6, env_.command_count("loop", "restart"));  // start + 5
  ASSERT_EQ(1u, monitor_.state.retry_queue.size());
  EXPECT_TRUE(entry().pids.empty());
  EXPECT_EQ(service_state::queued, entry().report.state);
  EXPECT_EQ(6u, entry().report.exits);
  EXPECT_EQ(5u, entry().report.restarts);

  // A minute later the queue restarts it: that is kelv's own restart too,
  // so the next quick crash is the seventh, and queued again, once.
  ASSERT_TRUE(retry_worker_pass(monitor_.state));
  EXPECT_TRUE(monitor_.state.retry_queue.empty());
  EXPECT_EQ(service_state::running, entry().report.state);
  EXPECT_EQ(queued_lines(7), crash_after(50));
  ASSERT_EQ(1u, monitor_.state.retry_queue.size());
  EXPECT_EQ(5u, monitor_.state.retry_queue.front().retries_left);
  EXPECT_EQ(7u, entry().report.exits);
  EXPECT_EQ(6u, entry().report.restarts);

  // After a run of a second it is restarted at once, and five more quick
  // crashes are too.
  ASSERT_TRUE(retry_worker_pass(monitor_.state));
  restarted(1, 1000);
  restarted(5, 999);
  EXPECT_EQ(queued_lines(6), crash_after(999));
}

TEST_F(CrashLoopTest, DisableAndEnableForgetTheCount) {
  enable();
  restarted(5, 50);
  ASSERT_EQ(std::string("\0Service removed.\n\x04", 19),
            serve_on_pair(monitor_.state, "disable:loop"));
  enable();
  restarted(5, 50);
  EXPECT_EQ(queued_lines(6), crash_after(50));

  // Disabled while queued: the entry and the count go with it.
  ASSERT_EQ(std::string("\0Service removed.\n\x04", 19),
            serve_on_pair(monitor_.state, "disable:loop"));
  EXPECT_TRUE(monitor_.state.retry_queue.empty());
  enable();
  restarted(5, 50);
  EXPECT_EQ(queued_lines(6), crash_after(50));
}

TEST_F(CrashLoopTest, StopSignalsNeverCountAndEndTheRun) {
  enable();
  restarted(5, 50);
  EXPECT_EQ((std::vector<std::string>{"loop caught signal 15 and exited",
                                      "loop waiting for restart."}),
            crash_after(50, SIGTERM));
  // The waiter polls on the virtual clock, finds the service back and
  // watches it; that start was not kelv's, so no crash after it is quick.
  env_.run_threads();
  restarted(1, 50);
  restarted(5, 50);
  EXPECT_EQ(queued_lines(6), crash_after(50));
}

}  // namespace
}  // namespace kelv
