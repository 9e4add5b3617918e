#include "daemon/probes.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/unit/fake_env.h"
#include "tests/unit/test_monitor.h"

namespace kelv {
namespace {

class ProbesTest : public ::testing::Test {
 protected:
  fake_env env_;
  scoped_env installed_{env_};
  test_monitor monitor_;
};

service_entry make_entry(const std::string& name,
                         std::vector<pid_t> pids = {}) {
  service_entry entry;
  entry.name = name;
  entry.pids = std::move(pids);
  return entry;
}

struct pid_case {
  const char* output;
  int status;
  std::vector<pid_t> live;
  int result;
  std::vector<pid_t> pids;
};

std::string show(const std::string& text) {
  std::string shown;
  for (char c : text)
    shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  return shown.size() > 60
             ? shown.substr(0, 30) + "..." + shown.substr(shown.size() - 20)
             : shown;
}

TEST_F(ProbesTest, RefreshPidsTakesTheFirstLiveWholeNumber) {
  const std::string long_line = std::string(2045, 'x') + " 812\n";
  const pid_case cases[] = {
      {"up 812.\n", 0, {812}, 0, {812}},
      {"pids 812 915\n", 0, {812, 915}, 0, {812}},
      {"ntpd is running as pid 812,915.\n", 0, {812, 915}, 0, {812}},
      {"pid 99 then 812\n", 0, {812}, 0, {812}},
      {"pid 99\nnow\t812\n", 0, {812}, 0, {812}},
      {"0 -5 12ab abc\n", 0, {0, -5, 12}, 1, {}},
      {"not running\n", 0, {}, 1, {}},
      {"", 0, {}, 1, {}},
      {"no number\n", exit_status(1), {}, -1, {}},
      // A PID with a status that is not clean stays recorded.
      {"pid 812\n", exit_status(1), {812}, -1, {812}},
      {"pid 812\n", 0x80, {812}, 0, {812}},
      {"pid 812\n", -1, {812}, -1, {812}},
      // The marker wins over a PID on the same line.
      {"812 ntpd_enable to YES in /etc/rc.conf\n", 0, {812}, 1, {}},
      // After a PID the rest is not read, so a later marker is never seen.
      {"812\nset ntpd_enable to YES in rc.conf\n",
       exit_status(1),
       {812},
       -1,
       {812}},
      // Lines are read in 2047-byte pieces: "812" is cut into "8" and "12".
      {long_line.c_str(), 0, {812, 12}, 0, {12}},
  };
  for (const pid_case& c : cases) {
    fake_env env;
    scoped_env installed(env);
    env.set_default("ntpd", "onestatus", {c.output, c.status});
    for (pid_t pid : c.live) env.add_live_pid(pid);
    service_entry entry = make_entry("ntpd", {4242});
    EXPECT_EQ(c.result, refresh_pids(entry)) << show(c.output);
    EXPECT_EQ(c.pids, entry.pids) << show(c.output);
    EXPECT_TRUE(env.log_lines().empty()) << show(c.output);
  }
}

TEST_F(ProbesTest, RefreshPidsStopsReadingAtThePid) {
  env_.set_default("ntpd", "onestatus", {"a\n812\nb\nc\n", 0});
  env_.add_live_pid(812);
  service_entry entry = make_entry("ntpd");
  EXPECT_EQ(0, refresh_pids(entry));
  EXPECT_EQ(2, env_.pieces_read());
}

TEST_F(ProbesTest, RefreshPidsEmptiesTheListEvenWhenThePipeFails) {
  env_.set_open_error(EMFILE);
  service_entry entry = make_entry("ntpd", {812});
  EXPECT_EQ(-1, refresh_pids(entry));
  EXPECT_TRUE(entry.pids.empty());
  EXPECT_EQ(std::vector<std::string>{"0 3 popen failed: ntpd: Too many open "
                                     "files."},
            env_.log_lines());
}

TEST_F(ProbesTest, ServiceRunningLooksOnlyAtACleanStatus) {
  const struct {
    int status;
    int running;
  } cases[] = {{0, 1}, {0x80, 1}, {exit_status(1), 0}, {-1, 0}, {0x81, 0}};
  for (const auto& c : cases) {
    env_.queue_response("ntpd", "onestatus", {"ignored 812\n", c.status});
    EXPECT_EQ(c.running, service_running("ntpd")) << "status " << c.status;
  }
  EXPECT_EQ(5, env_.command_count("ntpd", "onestatus"));
}

TEST_F(ProbesTest, StartServiceGivesUpAfterElevenPollsAndElevenPauses) {
  env_.set_default("ntpd", "restart", {"Starting ntpd.\n", 0});
  env_.set_default("ntpd", "onestatus", {"ntpd is not running.\n", 0});
  service_entry entry = make_entry("ntpd");
  EXPECT_EQ(-1, start_service(entry));
  EXPECT_EQ(11, env_.command_count("ntpd", "onestatus"));
  EXPECT_EQ(std::vector<unsigned>(11, 1), env_.sleeps());
  EXPECT_EQ(fake_env::start_seconds + 11, env_.now().tv_sec);
  EXPECT_TRUE(env_.log_lines().empty());
}

TEST_F(ProbesTest, StartServiceReturnsOnceAPollFindsThePid) {
  env_.set_default("ntpd", "restart", {"Starting ntpd.\n", 0x80});
  env_.queue_response("ntpd", "onestatus", {"not yet\n", exit_status(1)});
  env_.queue_response("ntpd", "onestatus", {"not yet\n", 0});
  env_.queue_response("ntpd", "onestatus", {"running as pid 812.\n", 0});
  env_.add_live_pid(812);
  service_entry entry = make_entry("ntpd");
  EXPECT_EQ(0, start_service(entry));
  EXPECT_EQ(std::vector<pid_t>{812}, entry.pids);
  EXPECT_EQ(std::vector<unsigned>(2, 1), env_.sleeps());
}

TEST_F(ProbesTest, StartServiceStopsBeforePollingWhenRcDeclines) {
  const struct {
    rc_response restart;
    int result;
  } cases[] = {
      {{"Cannot 'restart' ntpd. Set ntpd_enable to YES in /etc/rc.conf\n"
        "more\n",
        exit_status(1)},
       1},
      {{"failed\n", exit_status(1)}, -1},
      {{"", -1}, -1},
  };
  for (const auto& c : cases) {
    fake_env env;
    scoped_env installed(env);
    env.set_default("ntpd", "restart", c.restart);
    service_entry entry = make_entry("ntpd");
    EXPECT_EQ(c.result, start_service(entry)) << show(c.restart.output);
    EXPECT_EQ(std::vector<std::string>{"ntpd restart"}, env.commands());
    EXPECT_TRUE(env.sleeps().empty());
    EXPECT_TRUE(env.log_lines().empty());
  }
}

TEST_F(ProbesTest, StartServiceLogsAPipeThatCannotOpen) {
  env_.set_open_error(EAGAIN);
  service_entry entry = make_entry("ntpd");
  EXPECT_EQ(-1, start_service(entry));
  EXPECT_EQ(std::vector<std::string>{"0 3 popen failed: Resource temporarily "
                                     "unavailable"},
            env_.log_lines());
}

TEST_F(ProbesTest, WatchServiceWithoutPidsRegistersNothing) {
  service_entry entry = make_entry("ntpd");
  // kq -1: any registration would fail and log.
  EXPECT_EQ(0, watch_service(monitor_.state, entry));
  EXPECT_TRUE(env_.log_lines().empty());
}

TEST_F(ProbesTest, WatchServiceReportsARefusedRegistration) {
  service_entry entry = make_entry("ntpd", {getpid()});
  EXPECT_EQ(-1, watch_service(monitor_.state, entry));
  EXPECT_EQ(std::vector<std::string>{"0 3 Registering kq event failed: Bad "
                                     "file descriptor"},
            env_.log_lines());
}

TEST_F(ProbesTest, WatchServiceRegistersALivePid) {
  test_monitor with_kq(true);
  service_entry entry = make_entry("ntpd", {getpid()});
  EXPECT_EQ(0, watch_service(with_kq.state, entry));
  service_entry gone = make_entry("gone", {999999});
  EXPECT_EQ(-1, watch_service(with_kq.state, gone));
}

TEST_F(ProbesTest, NewServiceCopiesTheNameAndRefusesAnEmptyOne) {
  auto entry = new_service("ntpd");
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ("ntpd", entry->name);
  EXPECT_EQ(0, entry->restarting);
  EXPECT_TRUE(entry->pids.empty());

  // Whatever errno held before, the refusal names the real reason.
  errno = ENOMEM;
  EXPECT_EQ(nullptr, new_service(""));
  EXPECT_EQ(std::vector<std::string>{"0 3 asprintf for  failed: Invalid "
                                     "argument"},
            env_.log_lines());
}

// A name that `service` would read as an option or a path never reaches it.
TEST_F(ProbesTest, HostileNamesRunNoCommand) {
  const struct {
    const char* name;
    const char* refusal;
  } cases[] = {
      {"-R", "Refusing service name -R: it would be read as an option."},
      {"-e", "Refusing service name -e: it would be read as an option."},
      {"a/b", "Refusing service name a/b: it would be read as a path."},
      {"/etc/rc.d/x",
       "Refusing service name /etc/rc.d/x: it would be read "
       "as a path."},
  };
  for (const auto& c : cases) {
    fake_env env;
    scoped_env installed(env);
    env.set_unscripted({"pid 812\n", 0});
    env.add_live_pid(812);
    service_entry entry = make_entry(c.name);
    EXPECT_EQ(0, service_running(c.name)) << c.name;
    EXPECT_EQ(-1, refresh_pids(entry)) << c.name;
    EXPECT_EQ(-1, start_service(entry)) << c.name;
    EXPECT_TRUE(env.commands().empty()) << c.name;
    std::vector<std::string> texts = env.log_texts();
    ASSERT_EQ(5u, texts.size()) << c.name;
    EXPECT_EQ(c.refusal, texts[0]);
    EXPECT_EQ(std::string("popen failed: ") + c.name + ": Invalid argument.",
              texts[2]);
    EXPECT_EQ("popen failed: Invalid argument", texts[4]);
  }
}

}  // namespace
}  // namespace kelv
