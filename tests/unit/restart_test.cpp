#include "daemon/restart.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/unit/fake_env.h"
#include "tests/unit/test_monitor.h"

namespace kelv {
namespace {

// A one-way latch between test threads.
class gate {
 public:
  void open() {
    std::lock_guard<std::mutex> hold(mu_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> hold(mu_);
    cv_.wait(hold, [this] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

class RestartTest : public ::testing::Test {
 protected:
  RestartTest() {
    // Our own PID is live and can be watched on the real kqueue.
    env_.add_live_pid(getpid());
    env_.set_default("ntpd", "onestatus", {running_text(), 0});
    env_.set_default("ntpd", "restart", {"Restarting ntpd.\n", 0});
  }

  static std::string running_text() {
    return "ntpd is running as pid " + std::to_string(getpid()) + ".\n";
  }

  // restart_service as a caller makes it: with the lock held.
  int restart(const std::string& name) {
    mutex_guard hold(monitor_.state.lock);
    int result = restart_service(monitor_.state, name);
    EXPECT_FALSE(monitor_.lock_free()) << "lock not held on return";
    return result;
  }

  // Runs restart("ntpd") on a second thread whose restart command blocks
  // until release_ opens; returns once the command has started.
  std::thread start_blocked_restart(int* result) {
    env_.set_command_hook([this](const std::string&, const std::string& verb) {
      if (verb != "restart") return;
      entered_.open();
      release_.wait();
    });
    std::thread worker([this, result] { *result = restart("ntpd"); });
    entered_.wait();
    return worker;
  }

  fake_env env_;
  scoped_env installed_{env_};
  test_monitor monitor_{true};
  gate entered_;
  gate release_;
};

TEST_F(RestartTest, ResultFollowsStatusMarkerAndRefresh) {
  const std::string full =
      "Set ntpd_enable to YES in /usr/local/etc/rc.conf.\n";
  const std::string short_marker = "Set ntpd_enable to YES in /etc/rc.conf\n";
  const std::string could_not =
      "Service: ntpd could not be restarted. If any retry attempts exist, a "
      "retry will be attempted.";
  const std::string no_pids = "Could not get PIDS for service: ntpd.";
  const struct {
    rc_response restart;
    rc_response onestatus;
    int result;
    std::string message;  // empty: none
  } cases[] = {
      {{"Restarting ntpd.\n", 0}, {running_text(), 0}, 0, ""},
      {{"", 0x80}, {running_text(), 0}, 0, ""},
      {{"", -1}, {running_text(), 0}, -1, could_not},
      {{"", exit_status(1)}, {running_text(), 0}, -1, could_not},
      // The full marker disregards the status; the refresh decides.
      {{full + "rest\n", exit_status(1)}, {running_text(), 0}, 0, ""},
      {{full, exit_status(1)}, {"not running\n", 0}, -1, no_pids},
      // The short marker alone is no match: the status decides.
      {{short_marker, exit_status(1)}, {running_text(), 0}, -1, could_not},
      {{short_marker, 0}, {running_text(), 0}, 0, ""},
      {{"", 0}, {"not running\n", 0}, -1, no_pids},
  };
  for (const auto& c : cases) {
    fake_env env;
    scoped_env installed(env);
    env.add_live_pid(getpid());
    env.set_default("ntpd", "restart", c.restart);
    env.set_default("ntpd", "onestatus", c.onestatus);
    service_entry& entry = monitor_.add("ntpd", {77});
    EXPECT_EQ(c.result, restart("ntpd")) << c.restart.output;
    EXPECT_EQ(0, entry.restarting);
    std::vector<std::string> expected;
    if (!c.message.empty()) expected.push_back(c.message);
    EXPECT_EQ(expected, env.log_texts()) << c.restart.output;
    if (c.result == 0) {
      EXPECT_EQ(std::vector<pid_t>{getpid()}, entry.pids);
    }
    // A failed command leaves the PID list alone.
    if (c.message == could_not) {
      EXPECT_EQ(std::vector<pid_t>{77}, entry.pids);
    }
    unlink_service(monitor_.state, "ntpd");
  }
}

TEST_F(RestartTest, UnregisteredNameRunsNoCommand) {
  EXPECT_EQ(-2, restart("ntpd"));
  EXPECT_TRUE(env_.commands().empty());
  EXPECT_EQ(std::vector<std::string>{"0 5 Service: ntpd is no longer "
                                     "registered. The restart was cancelled."},
            env_.log_lines());
}

TEST_F(RestartTest, FailedPipeLogsTwoMessagesInOrder) {
  monitor_.add("ntpd");
  env_.set_open_error(EMFILE);
  EXPECT_EQ(-1, restart("ntpd"));
  EXPECT_EQ((std::vector<std::string>{
                "0 3 popen failed for service: ntpd: Too many open files.",
                "0 3 Service: ntpd could not be restarted. If any retry "
                "attempts exist, a retry will be attempted."}),
            env_.log_lines());
}

TEST_F(RestartTest, FailedWatchIsReported) {
  test_monitor no_kq;
  service_entry& entry = no_kq.add("ntpd");
  mutex_guard hold(no_kq.state.lock);
  EXPECT_EQ(-1, restart_service(no_kq.state, "ntpd"));
  EXPECT_EQ(0, entry.restarting);
  EXPECT_EQ("Could not monitor service: ntpd.", env_.log_texts().back());
}

TEST_F(RestartTest, HostileNameIsRefusedAsAFailedRun) {
  monitor_.add("-R");
  EXPECT_EQ(-1, restart("-R"));
  EXPECT_TRUE(env_.commands().empty());
  EXPECT_EQ((std::vector<std::string>{
                "Refusing service name -R: it would be read as an option.",
                "popen failed for service: -R: Invalid argument.",
                "Service: -R could not be restarted. If any retry attempts "
                "exist, a retry will be attempted."}),
            env_.log_texts());
}

// While the command runs the lock is free, the flag is set, and a second
// restart of the same service is turned away without a command.
TEST_F(RestartTest, SecondCallWhileTheCommandRunsIsBusy) {
  service_entry& entry = monitor_.add("ntpd");
  int result = 99;
  std::thread worker = start_blocked_restart(&result);
  {
    mutex_guard hold(monitor_.state.lock);
    EXPECT_EQ(1, entry.restarting);
    EXPECT_EQ(1, restart_service(monitor_.state, "ntpd"));
  }
  release_.open();
  worker.join();
  EXPECT_EQ(0, result);
  EXPECT_EQ(0, entry.restarting);
  EXPECT_EQ(std::vector<pid_t>{getpid()}, entry.pids);
  EXPECT_EQ(1, env_.command_count("ntpd", "restart"));
  EXPECT_EQ(std::vector<std::string>{"Service: ntpd was already restarting "
                                     "and will not be restarted now."},
            env_.log_texts());
}

TEST_F(RestartTest, RemovalDuringTheCommandGivesMinusTwo) {
  monitor_.add("ntpd");
  int result = 99;
  std::thread worker = start_blocked_restart(&result);
  {
    mutex_guard hold(monitor_.state.lock);
    EXPECT_TRUE(unlink_service(monitor_.state, "ntpd"));
  }
  release_.open();
  worker.join();
  EXPECT_EQ(-2, result);
  EXPECT_EQ(std::vector<std::string>{"0 5 Service: ntpd is no longer "
                                     "registered after restart attempt."},
            env_.log_lines());
}

// Disabled and enabled again while the command ran: the newer record has a
// life of its own (here its own restart runs), and the old restart touches
// none of it.
TEST_F(RestartTest, ReAddedServiceIsLeftToItsOwnRestart) {
  monitor_.add("ntpd");
  int result = 99;
  std::thread worker = start_blocked_restart(&result);
  service_entry* fresh = nullptr;
  {
    mutex_guard hold(monitor_.state.lock);
    unlink_service(monitor_.state, "ntpd");
    fresh = &monitor_.add("ntpd", {55});
    fresh->restarting = 1;
  }
  release_.open();
  worker.join();
  EXPECT_EQ(-2, result);
  EXPECT_EQ(1, fresh->restarting);
  EXPECT_EQ(std::vector<pid_t>{55}, fresh->pids);
  EXPECT_EQ(std::vector<std::string>{"0 5 Service: ntpd is no longer "
                                     "registered after restart attempt."},
            env_.log_lines());
}

}  // namespace
}  // namespace kelv
