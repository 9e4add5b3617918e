// rc(8) commands that outlive their time limit, on the virtual clock: each
// is stopped, logged once, and read by its caller as a failed command.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/event_loop.h"
#include "daemon/probes.h"
#include "daemon/service_command.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/test_monitor.h"

namespace kelv {
namespace {

class CommandLimitsTest : public ::testing::Test {
 protected:
  CommandLimitsTest() { env_.add_live_pid(self_); }

  rc_response running() const {
    return {"ntpd is running as pid " + std::to_string(self_) + ".\n", 0};
  }
  static rc_response hung(std::string output = "") {
    return {std::move(output), 0, true};
  }

  const pid_t self_ = getpid();
  fake_env env_;
  scoped_env installed_{env_};
};

TEST_F(CommandLimitsTest, ProbesAndActionsHaveTheirOwnLimits) {
  EXPECT_EQ(10u, command_limit_seconds("onestatus"));
  EXPECT_EQ(120u, command_limit_seconds("restart"));
  env_.set_default("ntpd", "onestatus", running());
  env_.set_default("ntpd", "restart", {"", 0});
  service_entry entry;
  entry.name = "ntpd";
  EXPECT_EQ(0, start_service(entry));
  EXPECT_EQ(1, service_running("ntpd"));
  EXPECT_EQ((std::vector<std::string>{"ntpd restart", "ntpd onestatus",
                                      "ntpd onestatus"}),
            env_.commands());
  EXPECT_EQ((std::vector<unsigned>{120, 10, 10}), env_.limits());
}

// Whatever a stopped command printed before its limit, and whatever status
// it was stopped with, it counts as failed.
TEST_F(CommandLimitsTest, StoppedProbeReadsAsFailed) {
  const struct {
    const char* what;
    int (*probe)();
    int expected;
  } cases[] = {
      {"service_running", [] { return service_running("ntpd"); }, 0},
      {"refresh_pids",
       [] {
         service_entry entry;
         entry.name = "ntpd";
         int result = refresh_pids(entry);
         EXPECT_TRUE(entry.pids.empty());
         return result;
       },
       -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    env_.clear_log();
    env_.set_default("ntpd", "onestatus", hung("ntpd is running as pid.\n"));
    timespec before = env_.now();
    EXPECT_EQ(c.expected, c.probe());
    EXPECT_EQ(before.tv_sec + 10, env_.now().tv_sec);
    EXPECT_EQ(std::vector<std::string>{"service ntpd onestatus did not "
                                       "finish within 10 seconds; stopped "
                                       "it."},
              env_.log_texts());
    EXPECT_EQ(3, env_.log_records().at(0).priority);
  }
}

TEST_F(CommandLimitsTest, StoppedStartPollsNoMore) {
  env_.set_default("ntpd", "restart", hung("Starting ntpd.\n"));
  service_entry entry;
  entry.name = "ntpd";
  EXPECT_EQ(-1, start_service(entry));
  EXPECT_EQ(0, env_.command_count("ntpd", "onestatus"));
  EXPECT_EQ(std::vector<std::string>{"120 3 service ntpd restart did not "
                                     "finish within 120 seconds; stopped it."},
            env_.log_lines());
}

// The line names the command as it ran, jail and all.
TEST_F(CommandLimitsTest, StoppedJailedCommandNamesItsJail) {
  env_.set_default("ntpd@web1", "restart", hung());
  service_entry entry;
  entry.name = "ntpd@web1";
  EXPECT_EQ(-1, start_service(entry));
  EXPECT_EQ(std::vector<std::string>{"120 3 service -j web1 ntpd restart did "
                                     "not finish within 120 seconds; stopped "
                                     "it."},
            env_.log_lines());
}

// A crash whose restart never ends: stopped after 120 s and queued, and the
// lock is free again for the next event.
TEST_F(CommandLimitsTest, StoppedRestartGoesToTheRetryQueue) {
  test_monitor monitor(true);
  monitor.add("ntpd", {4242});
  env_.set_default("ntpd", "restart", hung());
  handle_exit(monitor.state, 4242, SIGSEGV);
  EXPECT_EQ(
      (std::vector<std::string>{
          "0 3 ntpd caught signal 11 and exited",
          "120 3 service ntpd restart did not finish within 120 seconds; "
          "stopped it.",
          "120 3 Service: ntpd could not be restarted. If any retry attempts "
          "exist, a retry will be attempted.",
          "120 5 Service: ntpd was submitted to the restart queue. First "
          "retry in 60 seconds."}),
      env_.log_lines());
  ASSERT_EQ(1u, monitor.state.retry_queue.size());
  EXPECT_EQ(0, find_service(monitor.state, "ntpd")->restarting);
  EXPECT_TRUE(find_service(monitor.state, "ntpd")->pids.empty());
  EXPECT_TRUE(monitor.lock_free());
}

}  // namespace
}  // namespace kelv
