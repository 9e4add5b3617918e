#include "daemon/control_server.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "daemon/enable_worker.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/serve_on_pair.h"

namespace kelv {
namespace {

std::string reply(unsigned char status, const std::string& text) {
  return std::string(1, static_cast<char>(status)) + text + "\x04";
}

class ControlServerTest : public ::testing::Test {
 protected:
  ControlServerTest() : installed_(env_) {
    const char* what = nullptr;
    EXPECT_EQ(0, init_monitor_sync(state_, &what)) << what;
    state_.kq = kqueue();
    EXPECT_GE(state_.kq, 0);
  }

  ~ControlServerTest() override {
    if (state_.kq >= 0) close(state_.kq);
    pthread_cond_destroy(&state_.retry_cond);
    pthread_cond_destroy(&state_.startup_cond);
    pthread_mutex_destroy(&state_.lock);
  }

  // Serves `request` over a fresh socket pair; returns every byte written
  // back. Also checks that the lock is free again afterwards.
  std::string serve(const std::string& request) {
    std::string reply = serve_on_pair(state_, request);
    EXPECT_EQ(0, pthread_mutex_trylock(&state_.lock)) << "lock left held";
    pthread_mutex_unlock(&state_.lock);
    return reply;
  }

  // A service that runs with this test's own process as its PID, a process
  // the kqueue can really watch.
  void script_running(const std::string& name) {
    env_.add_live_pid(getpid());
    env_.set_default(
        name, "onestatus",
        {name + " is running as pid " + std::to_string(getpid()) + ".\n", 0});
  }

  void add_watched(const std::string& name, std::vector<pid_t> pids) {
    auto entry = std::make_unique<service_entry>();
    entry->name = name;
    entry->pids = std::move(pids);
    link_service(state_, std::move(entry));
  }

  void add_retry(const std::string& name) {
    retry_entry entry;
    entry.name = name;
    state_.retry_queue.push_front(entry);
  }

  std::vector<std::string> watched() const {
    std::vector<std::string> names;
    for (const auto& entry : state_.services) names.push_back(entry->name);
    return names;
  }

  fake_env env_;
  scoped_env installed_;
  monitor_state state_;
};

// Requests that are refused before anything is looked up.
TEST_F(ControlServerTest, MalformedRequestsGetTheirFixedReplies) {
  struct request_case {
    const char* request;
    std::string expected;
  } cases[] = {
      {"", ""},
      {":", ""},
      {"::", ""},
      {"Enable:ntpd", ""},
      {"restart:ntpd", ""},
      {"enable", reply(1, "No service name given.\n")},
      {"enable:", reply(1, "No service name given.\n")},
      {"disable::", reply(1, "No service name given.\n")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, serve(c.request)) << "request: " << c.request;
  }
  EXPECT_TRUE(env_.commands().empty());
  EXPECT_TRUE(env_.log_texts().empty());
}

TEST_F(ControlServerTest, EnableOfRunningServiceWatchesItsPid) {
  script_running("ntpd");
  EXPECT_EQ(reply(0, "Monitoring service.\n"), serve("enable::ntpd:x"));
  ASSERT_EQ(1u, state_.services.size());
  EXPECT_EQ("ntpd", state_.services.front()->name);
  EXPECT_EQ(std::vector<pid_t>{getpid()}, state_.services.front()->pids);
  EXPECT_EQ((std::vector<std::string>{"ntpd onestatus", "ntpd onestatus"}),
            env_.commands());
  EXPECT_EQ(std::vector<std::string>{"0 6 ntpd has been added."},
            env_.log_lines());
}

TEST_F(ControlServerTest, EnableLinksNewServicesAtTheHead) {
  script_running("ntpd");
  script_running("sshd");
  serve("enable:ntpd");
  serve("enable:sshd");
  EXPECT_EQ((std::vector<std::string>{"sshd", "ntpd"}), watched());
}

TEST_F(ControlServerTest, EnableOfWatchedNameAsksRcNothing) {
  add_watched("ntpd", {});
  EXPECT_EQ(reply(1, "Service already registered.\n"), serve("enable:ntpd"));
  EXPECT_TRUE(env_.commands().empty());
  EXPECT_EQ(1u, state_.services.size());
}

TEST_F(ControlServerTest, EnableStartsAStoppedService) {
  script_running("ntpd");
  env_.queue_response("ntpd", "onestatus", {"ntpd is not running.\n", 256});
  env_.set_default("ntpd", "restart", {"Starting ntpd.\n", 0});
  EXPECT_EQ(reply(0, "Monitoring service.\n"), serve("enable:ntpd"));
  EXPECT_EQ((std::vector<std::string>{"ntpd onestatus", "ntpd restart",
                                      "ntpd onestatus"}),
            env_.commands());
  EXPECT_EQ(std::vector<pid_t>{getpid()}, state_.services.front()->pids);
}

TEST_F(ControlServerTest, EnableOfServiceThatWillNotStartChangesNothing) {
  add_watched("sshd", {});
  env_.set_default("ntpd", "onestatus", {"ntpd is not running.\n", 256});
  env_.set_default("ntpd", "restart", {"Starting ntpd.\n", 256});
  EXPECT_EQ(reply(1, "Could not start service.\n"), serve("enable:ntpd"));
  EXPECT_EQ(std::vector<std::string>{"sshd"}, watched());
  EXPECT_TRUE(env_.log_texts().empty());
}

TEST_F(ControlServerTest, EnableWithoutLearnablePidWatchesWithoutRow) {
  env_.set_default("ntpd", "onestatus", {"ntpd is running.\n", 0});
  EXPECT_EQ(reply(0, "Monitoring service.\n"), serve("enable:ntpd"));
  ASSERT_EQ(std::vector<std::string>{"ntpd"}, watched());
  EXPECT_TRUE(state_.services.front()->pids.empty());
  std::string listing = serve("status");
  EXPECT_EQ(std::string::npos, listing.find("ntpd")) << listing;
}

TEST_F(ControlServerTest, EnableThatCannotWatchDiscardsTheEntry) {
  script_running("ntpd");
  close(state_.kq);
  state_.kq = -1;
  EXPECT_EQ(reply(1, "Could not monitor service.\n"), serve("enable:ntpd"));
  EXPECT_TRUE(state_.services.empty());
}

TEST_F(ControlServerTest, DisableRemovesServiceAndItsRetry) {
  add_watched("ntpd", {812});
  add_watched("sshd", {913});
  add_retry("ntpd");
  add_retry("sshd");
  EXPECT_EQ(reply(0, "Service removed.\n"), serve("disable:ntpd"));
  EXPECT_EQ(std::vector<std::string>{"sshd"}, watched());
  ASSERT_EQ(1u, state_.retry_queue.size());
  EXPECT_EQ("sshd", state_.retry_queue.front().name);
  EXPECT_EQ(std::vector<std::string>{"0 6 ntpd has been removed."},
            env_.log_lines());
}

TEST_F(ControlServerTest, DisableOfUnwatchedNameStillDropsItsRetry) {
  add_watched("sshd", {913});
  add_retry("ntpd");
  EXPECT_EQ(reply(1, "Removing service failed: Not found.\n"),
            serve("disable:ntpd"));
  EXPECT_TRUE(state_.retry_queue.empty());
  EXPECT_EQ(std::vector<std::string>{"sshd"}, watched());
  EXPECT_TRUE(env_.log_texts().empty());
}

TEST_F(ControlServerTest, StatusListsEveryPidInListOrder) {
  const std::string header =
      "The kelv pid is " + std::to_string(getpid()) +
      ".\nprocess name                             pid\n"
      "--------------------------------------------------\n";
  EXPECT_EQ(reply(0, header), serve("status:"));

  add_watched("ntpd", {812, 813});
  add_watched("idle", {});
  const std::string long_name(45, 'n');
  add_watched(long_name, {7});
  EXPECT_EQ(reply(0, header + long_name + " 7\n" +
                         "ntpd                                     812\n"
                         "ntpd                                     813\n"),
            serve("status:now"));
  EXPECT_TRUE(env_.commands().empty());
}

// rc(8) is asked without the lock, so a probe that hangs holds up no exit
// event, waiter or retry meanwhile.
TEST_F(ControlServerTest, RcIsAskedWithoutTheLock) {
  script_running("ntpd");
  std::vector<int> trylock_results;
  env_.set_command_hook([&](const std::string&, const std::string&) {
    int rc = pthread_mutex_trylock(&state_.lock);
    if (rc == 0) pthread_mutex_unlock(&state_.lock);
    trylock_results.push_back(rc);
  });
  EXPECT_EQ(reply(0, "Monitoring service.\n"), serve("enable:ntpd"));
  EXPECT_EQ((std::vector<int>{0, 0}), trylock_results);
}

// The start-up pass registered the name while "enable" asked rc(8): one
// record per name, and the request is refused as for any registered name.
TEST_F(ControlServerTest, EnableRacedByAnotherAddIsRefused) {
  script_running("ntpd");
  env_.set_command_hook([&](const std::string&, const std::string& verb) {
    if (verb != "onestatus" || env_.command_count("ntpd", "onestatus") != 2)
      return;
    mutex_guard hold(state_.lock);
    add_watched("ntpd", {});
  });
  EXPECT_EQ(reply(1, "Service already registered.\n"), serve("enable:ntpd"));
  EXPECT_EQ(std::vector<std::string>{"ntpd"}, watched());
  EXPECT_TRUE(env_.log_lines().empty());
}

// A request that comes during the start-up pass is served after it.
TEST_F(ControlServerTest, RequestWaitsForTheStartupPass) {
  env_.set_real_waits(true);
  state_.startup_pass_running = true;
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
  char request[] = "disable:ntpd";
  std::thread server([&] { serve_request(state_, fds[0], request); });
  char buf[64];
  pollfd readable = {fds[1], POLLIN, 0};
  EXPECT_EQ(0, poll(&readable, 1, 200));  // nothing while the pass runs
  {
    mutex_guard hold(state_.lock);
    end_startup_pass(state_);
  }
  server.join();
  ssize_t n = recv(fds[1], buf, sizeof(buf), MSG_DONTWAIT);
  EXPECT_EQ(reply(1, "Removing service failed: Not found.\n"),
            std::string(buf, n > 0 ? n : 0));
  close(fds[0]);
  close(fds[1]);
}

// "enable" goes to a worker thread of its own, a few at a time; the worker
// serves it on the connection it was handed and closes it.
TEST_F(ControlServerTest, EnableIsHandedToAFewWorkers) {
  script_running("ntpd");
  EXPECT_TRUE(is_enable_request("enable:ntpd"));
  EXPECT_TRUE(is_enable_request("::enable"));
  EXPECT_FALSE(is_enable_request("enabled:ntpd"));
  EXPECT_FALSE(is_enable_request("status:"));
  int peers[max_enable_workers + 1];
  for (int i = 0; i <= max_enable_workers; ++i) {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    unique_fd client(fds[0]);
    peers[i] = fds[1];
    bool handed = hand_off_enable(state_, client, "enable:ntpd");
    EXPECT_EQ(i < max_enable_workers, handed) << i;
    EXPECT_EQ(handed, !client.valid()) << i;
  }
  EXPECT_EQ(max_enable_workers, env_.recorded_threads());
  env_.run_threads();
  EXPECT_EQ(0, state_.enable_workers);
  char buf[64];
  ssize_t n = read(peers[0], buf, sizeof buf);
  EXPECT_EQ(reply(0, "Monitoring service.\n"), std::string(buf, n > 0 ? n : 0));
  n = read(peers[1], buf, sizeof buf);
  EXPECT_EQ(reply(1, "Service already registered.\n"),
            std::string(buf, n > 0 ? n : 0));
  for (int peer : peers) close(peer);
}

TEST_F(ControlServerTest, ShutdownRepliesThenExitsWithZero) {
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
  char request[] = "shutdown:now";
  EXPECT_EXIT(serve_request(state_, fds[0], request),
              ::testing::ExitedWithCode(0), "");
  char buf[64];
  ssize_t n = recv(fds[1], buf, sizeof(buf), MSG_DONTWAIT);
  EXPECT_EQ(reply(0, "kelv shutting down.\n"), std::string(buf, n > 0 ? n : 0));
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace kelv
