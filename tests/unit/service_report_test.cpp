// What the operator is shown of a service, on the virtual clock: its state
// and counters through a crash, a wait, the retry queue, a give-up and a
// re-arm, and the detailed listing that carries them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/control_server.h"
#include "daemon/detail_listing.h"
#include "daemon/event_loop.h"
#include "daemon/retry_queue.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/serve_on_pair.h"
#include "tests/unit/test_monitor.h"

namespace kelv {
namespace {

constexpr time_t wall0 = fake_env::wall_start;

std::string reply(unsigned char status, const std::string& text) {
  return std::string(1, static_cast<char>(status)) + text + "\x04";
}
std::string reply_ok() { return reply(0, "Monitoring service.\n"); }

class ServiceReportTest : public ::testing::Test {
 protected:
  ServiceReportTest() {
    env_.add_live_pid(self_);
    env_.set_default("ntpd", "onestatus", running());
    env_.set_default("ntpd", "restart", {"Starting ntpd.\n", 0});
  }
  ~ServiceReportTest() override { env_.run_threads(); }

  rc_response running() const {
    return {"ntpd is running as pid " + std::to_string(self_) + ".\n", 0};
  }
  void rc_down() {
    env_.set_default("ntpd", "onestatus", {"ntpd is not running.\n", 256});
    env_.set_default("ntpd", "restart", {"", 256});
  }

  const service_report& report() {
    return find_service(monitor_.state, "ntpd")->report;
  }
  std::string state_word() { return service_state_word(report().state); }

  // Serves one request and returns the reply's text, frame included.
  std::string serve(const std::string& request) {
    return serve_on_pair(monitor_.state, request);
  }

  std::string detail() {
    mutex_guard hold(monitor_.state.lock);
    return format_detail(monitor_.state);
  }

  const pid_t self_ = getpid();
  fake_env env_;
  scoped_env installed_{env_};
  test_monitor monitor_{true};
};

TEST_F(ServiceReportTest, CrashRestartedAtOnce) {
  EXPECT_EQ(reply_ok(), serve("enable:ntpd"));
  EXPECT_EQ("running", state_word());
  EXPECT_EQ(wall0, report().since);
  env_.advance(30);
  handle_exit(monitor_.state, self_, SIGSEGV);
  EXPECT_EQ("running", state_word());
  EXPECT_EQ(1u, report().exits);
  EXPECT_EQ(1u, report().restarts);
  EXPECT_EQ(1u, report().restarts_succeeded);
  EXPECT_EQ(0u, report().restarts_failed);
  EXPECT_EQ(exit_cause::signal, report().last_exit_cause);
  EXPECT_EQ(SIGSEGV, report().last_exit_value);
  EXPECT_EQ(wall0 + 30, report().last_exit_time);
}

// An exit, the wait for an outside hand, the queue's six attempts, then the
// give-up; "enable" watches it again and keeps the counters.
TEST_F(ServiceReportTest, WaitQueueGiveUpAndReArm) {
  EXPECT_EQ(reply_ok(), serve("enable:ntpd"));
  rc_down();
  handle_exit(monitor_.state, self_, 3 << 8);
  EXPECT_EQ("waiting", state_word());
  EXPECT_EQ(exit_cause::status, report().last_exit_cause);
  EXPECT_EQ(3, report().last_exit_value);
  EXPECT_EQ(reply(1, "Service already registered.\n"), serve("enable:ntpd"));

  env_.run_threads();  // seven polls, then its own restart fails at 70 s
  EXPECT_EQ("queued", state_word());
  EXPECT_EQ(wall0 + 70, report().since);
  EXPECT_EQ("kelv-detail 1\nkelv_pid " + std::to_string(self_) +
                "\nservice queued 1765000070 1 1 1 1765000000 status:3 5 "
                "1765000130 - ntpd\nend 1\n",
            detail());
  EXPECT_EQ(reply(1, "Service already registered.\n"), serve("enable:ntpd"));

  for (int pass = 0; pass < 6; ++pass) {
    ASSERT_TRUE(retry_worker_pass(monitor_.state));
    EXPECT_EQ(pass < 5 ? "queued" : "given-up", state_word()) << pass;
  }
  EXPECT_TRUE(monitor_.state.retry_queue.empty());
  EXPECT_EQ(7u, report().restarts);
  EXPECT_EQ(7u, report().restarts_failed);

  // Given up: nothing watches it, so "enable" takes it up again.
  env_.set_default("ntpd", "onestatus", running());
  env_.set_default("ntpd", "restart", {"Starting ntpd.\n", 0});
  env_.clear_log();
  EXPECT_EQ(reply_ok(), serve("enable:ntpd"));
  EXPECT_EQ("running", state_word());
  EXPECT_EQ(std::vector<pid_t>{self_},
            find_service(monitor_.state, "ntpd")->pids);
  EXPECT_EQ(1u, report().exits);
  EXPECT_EQ(7u, report().restarts);
  EXPECT_EQ(std::vector<std::string>{"ntpd is monitored again."},
            env_.log_texts());
  // And it is watched for real: its next crash is restarted.
  handle_exit(monitor_.state, self_, SIGSEGV);
  EXPECT_EQ(8u, report().restarts);
  EXPECT_EQ("running", state_word());
}

// A jail that stops running is an ordinary failure for its services: the
// queue, the give-up, and "enable" once the jail is back. Every log line
// carries the full name, so it names the jail.
TEST_F(ServiceReportTest, JailThatIsGoneQueuesGivesUpAndReArmsWhenBack) {
  const std::string name = "ntpd@web1";
  env_.set_default(name, "onestatus", running());
  env_.set_default(name, "restart", {"Starting ntpd.\n", 0});
  EXPECT_EQ(reply_ok(), serve("enable:" + name));
  // The jail is gone: `service -j` finds no jail and fails.
  env_.set_default(name, "onestatus", {"", exit_status(1)});
  env_.set_default(name, "restart", {"", exit_status(1)});
  env_.clear_log();
  handle_exit(monitor_.state, self_, SIGSEGV);
  service_report& jailed = find_service(monitor_.state, name)->report;
  EXPECT_EQ(service_state::queued, jailed.state);
  for (int pass = 0; pass < 6; ++pass) {
    ASSERT_TRUE(retry_worker_pass(monitor_.state));
  }
  EXPECT_EQ(service_state::given_up, jailed.state);
  EXPECT_EQ(7u, jailed.restarts_failed);
  for (const std::string& text : env_.log_texts()) {
    EXPECT_NE(std::string::npos, text.find(name)) << text;
  }
  EXPECT_EQ(7, env_.command_count(name, "restart"));
  EXPECT_EQ(0, env_.command_count("ntpd", "restart"));

  env_.set_default(name, "onestatus", running());
  env_.clear_log();
  EXPECT_EQ(reply_ok(), serve("enable:" + name));
  EXPECT_EQ(service_state::running, jailed.state);
  EXPECT_EQ(std::vector<std::string>{name + " is monitored again."},
            env_.log_texts());
}

TEST_F(ServiceReportTest, ReArmThatCannotStartStaysGivenUp) {
  monitor_.add("ntpd");
  {
    mutex_guard hold(monitor_.state.lock);
    mark_given_up(monitor_.state, "ntpd", monitor_.generation_of("ntpd"));
  }
  rc_down();
  EXPECT_EQ(reply(1, "Could not start service.\n"), serve("enable:ntpd"));
  EXPECT_EQ("given-up", state_word());
}

TEST_F(ServiceReportTest, RestartThatCannotBeQueuedIsGivenUp) {
  EXPECT_EQ(reply_ok(), serve("enable:ntpd"));
  rc_down();
  env_.fail_clock(1);  // schedule_retry cannot read the clock
  handle_exit(monitor_.state, self_, SIGABRT);
  EXPECT_EQ("given-up", state_word());
  EXPECT_EQ(1u, report().restarts_failed);
}

TEST_F(ServiceReportTest, DetailListsEveryServiceInListOrder) {
  monitor_.add("idle");
  monitor_.add("two words \"q\" \\", {self_});
  EXPECT_EQ("kelv-detail 1\nkelv_pid " + std::to_string(self_) +
                "\nservice running 1765000000 0 0 0 - - - - " +
                std::to_string(self_) +
                " two words \"q\" \\\n"
                "service no-pid 1765000000 0 0 0 - - - - - idle\nend 2\n",
            detail());
  EXPECT_EQ(std::string(1, '\0') + detail() + "\x04", serve("detail:"));
}

}  // namespace
}  // namespace kelv
