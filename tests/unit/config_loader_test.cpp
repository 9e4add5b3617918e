#include "daemon/config_loader.h"
#include "common/unique_fd.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/event.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "daemon/monitor_state.h"
#include "daemon/settings.h"
#include "tests/unit/fake_env.h"

namespace kelv {
namespace {

using lines = std::vector<std::string>;

// A temp dir holding the configuration file; removed with its contents.
class temp_config {
 public:
  temp_config() {
    char pattern[] = "/tmp/kelv-config-test.XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/kelv.conf";
  }
  ~temp_config() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  temp_config(const temp_config&) = delete;
  temp_config& operator=(const temp_config&) = delete;

  void write(const std::string& content) {
    FILE* file = fopen(path_.c_str(), "w");
    ASSERT_NE(nullptr, file);
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
  }
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

struct kqueue_fd : unique_fd {
  kqueue_fd() : unique_fd(kqueue()) {}
};

// One daemon's worth of state over a fake rc, remade for every table case.
struct world {
  world() : installed(env) {
    const char* what = nullptr;
    EXPECT_EQ(0, init_monitor_sync(state, &what));
  }
  // Recorded waiters own their arguments: let them run out.
  ~world() { env.run_threads(); }
  fake_env env;
  scoped_env installed;
  monitor_state state;
};

// Services run as this test process: a live PID the kqueue can watch.
class ConfigLoaderTest : public ::testing::Test {
 protected:
  ConfigLoaderTest() {
    saved_path_ = settings().config_path;
    settings().config_path = config_.path();
    reset();
  }
  ~ConfigLoaderTest() override { settings().config_path = saved_path_; }

  void reset() {
    w_.reset();
    w_ = std::make_unique<world>();
    w_->state.kq = kq_.get();
    w_->env.add_live_pid(self_);
  }
  fake_env& env() { return w_->env; }
  monitor_state& state() { return w_->state; }

  void running(const std::string& name) {
    env().set_default(name, "onestatus", running_answer(name));
  }
  // Down at the first probe; rc(8) starts it.
  void startable(const std::string& name) {
    env().queue_response(name, "onestatus",
                         {name + " is not running.\n", exit_status(1)});
    env().set_default(name, "onestatus", running_answer(name));
    env().set_default(name, "restart", {"Starting " + name + ".\n", 0});
  }
  void not_enabled(const std::string& name) {
    env().set_default(name, "onestatus",
                      {name + " is not running.\n", exit_status(1)});
    env().set_default(name, "restart",
                      {"Cannot 'restart' " + name + ". Set " + name +
                           "_enable to YES in /etc/rc.conf or use "
                           "'onerestart' instead of 'restart'.\n",
                       0});
  }

  // Runs the pass over `content` and returns the log texts.
  lines load(const std::string& content) {
    config_.write(content);
    load_config(state());
    return env().log_texts();
  }

  lines names() {
    lines result;
    for (const auto& entry : state().services) result.push_back(entry->name);
    return result;
  }

  rc_response running_answer(const std::string& name) const {
    return {name + " is running as pid " + std::to_string(self_) + ".\n", 0};
  }

  const pid_t self_ = getpid();
  kqueue_fd kq_;
  temp_config config_;
  std::unique_ptr<world> w_;
  std::string saved_path_;
};

struct config_case {
  const char* what;
  std::string content;
  lines running;
  lines startable;
  lines not_enabled;
  lines log;       // texts, in order
  lines services;  // the list afterwards, head first
};

TEST_F(ConfigLoaderTest, FileFormatAndBranches) {
  const std::string long_a(2047, 'a');
  const config_case cases[] = {
      {"empty file", "", {}, {}, {}, {"Monitoring processes..."}, {}},
      {"comments skipped",
       "#ntpd\nsshd\n#\n",
       {"sshd", "#ntpd", "#"},
       {},
       {},
       {"sshd has been added.", "sshd is being monitored.",
        "Monitoring processes..."},
       {"sshd"}},
      {"a # after a blank is a name",
       " #x\n",
       {" #x"},
       {},
       {},
       {" #x has been added.", " #x is being monitored.",
        "Monitoring processes..."},
       {" #x"}},
      // The carriage return is a control byte: the name never reaches rc(8).
      {"CRLF and a trailing blank stay in the name",
       "sshd\r\nntpd \n",
       {"sshd", "ntpd"},
       {},
       {},
       {"Refusing service name sshd\\015: it holds a control character.",
        "Refusing service name sshd\\015: it holds a control character.",
        "popen failed: Invalid argument", "sshd\r could not be started.",
        "ntpd  could not be started.", "Monitoring processes..."},
       {}},
      {"file order reversed",
       "a\nb\nc\n",
       {"a", "b", "c"},
       {},
       {},
       {"a has been added.", "a is being monitored.", "b has been added.",
        "b is being monitored.", "c has been added.", "c is being monitored.",
        "Monitoring processes..."},
       {"c", "b", "a"}},
      {"last line without newline",
       "a\nb",
       {"a", "b"},
       {},
       {},
       {"a has been added.", "a is being monitored.", "b has been added.",
        "b is being monitored.", "Monitoring processes..."},
       {"b", "a"}},
      {"long line split at 2047 bytes",
       long_a + "bb\n",
       {long_a, "bb"},
       {},
       {},
       {long_a + " has been added.", long_a + " is being monitored.",
        "bb has been added.", "bb is being monitored.",
        "Monitoring processes..."},
       {"bb", long_a}},
      {"running twice registered once",
       "sshd\nsshd\n",
       {"sshd"},
       {},
       {},
       {"sshd has been added.", "sshd is being monitored.",
        "Monitoring processes..."},
       {"sshd"}},
      {"started, then found running",
       "ntpd\nntpd\n",
       {},
       {"ntpd"},
       {},
       {"ntpd has been added.", "ntpd started from config file.",
        "Monitoring processes..."},
       {"ntpd"}},
      {"not enabled",
       "ntpd\n",
       {},
       {},
       {"ntpd"},
       {"ntpd could not be started. Set ntpd_enable to YES in /etc/rc.conf.",
        "Monitoring processes..."},
       {}},
      {"not enabled in its jail",
       "ntpd@web1\n",
       {},
       {},
       {"ntpd@web1"},
       {"ntpd@web1 could not be started. Set ntpd_enable to YES in "
        "/etc/rc.conf inside jail web1.",
        "Monitoring processes..."},
       {}},
      {"rc fails to start it",
       "ntpd\n",
       {},
       {},
       {},
       {"ntpd could not be started.", "Monitoring processes..."},
       {}},
  };
  for (const config_case& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    for (const std::string& name : c.running) running(name);
    for (const std::string& name : c.startable) startable(name);
    for (const std::string& name : c.not_enabled) not_enabled(name);
    EXPECT_EQ(c.log, load(c.content));
    EXPECT_EQ(c.services, names());
    EXPECT_EQ(static_cast<int>(c.startable.size()), env().recorded_threads());
  }
}

TEST_F(ConfigLoaderTest, MissingFileStillEndsThePass) {
  settings().config_path = config_.path() + ".missing";
  load_config(state());
  EXPECT_EQ((lines{"Opening configuration failed: No such file or directory",
                   "Monitoring processes..."}),
            env().log_texts());
  EXPECT_TRUE(env().commands().empty());
  EXPECT_TRUE(state().services.empty());
}

// An empty line is probed like any name; new_service then refuses it.
TEST_F(ConfigLoaderTest, EmptyLineIsProbedThenRefused) {
  lines log = load("\n");
  EXPECT_EQ(lines{" onestatus"}, env().commands());
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ(0u, log[0].rfind("asprintf for  failed", 0)) << log[0];
  EXPECT_EQ(" could not be built a structure for.", log[1]);
  EXPECT_EQ("Monitoring processes...", log[2]);
  EXPECT_TRUE(state().services.empty());
}

TEST_F(ConfigLoaderTest, RegisteredButDownIsReported) {
  env().queue_response("ntpd", "onestatus", running_answer("ntpd"));
  env().queue_response("ntpd", "onestatus", running_answer("ntpd"));
  env().set_default("ntpd", "onestatus", {"", exit_status(1)});
  EXPECT_EQ((lines{"ntpd has been added.", "ntpd is being monitored.",
                   "ntpd is registered, but not running.",
                   "Monitoring processes..."}),
            load("ntpd\nntpd\n"));
  EXPECT_EQ(0, env().command_count("ntpd", "restart"));
  EXPECT_EQ(lines{"ntpd"}, names());
}

TEST_F(ConfigLoaderTest, RunningWithoutPidIsStillAdded) {
  env().set_default("ntpd", "onestatus", {"ntpd is running.\n", 0});
  EXPECT_EQ((lines{"ntpd has been added.", "ntpd is being monitored.",
                   "Monitoring processes..."}),
            load("ntpd\n"));
  ASSERT_EQ(lines{"ntpd"}, names());
  EXPECT_TRUE(state().services.front()->pids.empty());
}

TEST_F(ConfigLoaderTest, FailedWatchLeavesTheServiceOut) {
  running("a");
  startable("b");
  state().kq = -1;
  lines log = load("a\nb\n");
  ASSERT_EQ(5u, log.size());
  EXPECT_EQ(0u, log[0].rfind("Registering kq event failed", 0)) << log[0];
  EXPECT_EQ("a could not be monitored.", log[1]);
  EXPECT_EQ(0u, log[2].rfind("Registering kq event failed", 0)) << log[2];
  EXPECT_EQ("b could not be monitored.", log[3]);
  EXPECT_EQ("Monitoring processes...", log[4]);
  EXPECT_TRUE(state().services.empty());
  EXPECT_EQ(0, env().recorded_threads());
}

TEST_F(ConfigLoaderTest, FailedWaiterKeepsTheService) {
  startable("ntpd");
  env().set_create_error(EAGAIN);
  EXPECT_EQ((lines{"ntpd has been added.",
                   "ntpd failed to wait for its restart waiter thread to "
                   "start. It is recommended that the service be removed "
                   "and re-added.",
                   "Monitoring processes..."}),
            load("ntpd\n"));
  EXPECT_EQ(lines{"ntpd"}, names());
}

// Control requests and waiters must not see a half-read file.
// rc(8) is asked without the lock: a hung probe of one listed service holds
// up no exit, request or waiter meanwhile.
TEST_F(ConfigLoaderTest, CommandsRunWithoutTheLock) {
  running("a");
  startable("b");
  int commands = 0;
  int unlocked = 0;
  env().set_command_hook([&](const std::string&, const std::string&) {
    ++commands;
    if (pthread_mutex_trylock(&state().lock) == 0) {
      ++unlocked;
      pthread_mutex_unlock(&state().lock);
    }
  });
  load("a\nb\n");
  env().set_command_hook(nullptr);  // the counters die with this test
  EXPECT_LT(0, commands);
  EXPECT_EQ(commands, unlocked);
  ASSERT_EQ(0, pthread_mutex_trylock(&state().lock));
  pthread_mutex_unlock(&state().lock);
}

// Registered by another hand while the pass probed it: one record per name,
// the other one.
TEST_F(ConfigLoaderTest, NameRegisteredDuringItsProbesIsNotAddedTwice) {
  for (bool start : {false, true}) {
    SCOPED_TRACE(start ? "started by the pass" : "running");
    reset();
    if (start) {
      startable("a");
    } else {
      running("a");
    }
    service_entry* other = nullptr;
    env().set_command_hook([&](const std::string&, const std::string& verb) {
      if (other != nullptr || verb != (start ? "restart" : "onestatus")) return;
      if (!start && env().command_count("a", "onestatus") < 2) return;
      auto entry = std::make_unique<service_entry>();
      entry->name = "a";
      other = entry.get();
      mutex_guard hold(state().lock);
      link_service(state(), std::move(entry));
    });
    lines log = load("a\n");
    env().set_command_hook(nullptr);
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(lines{"a"}, names());
    EXPECT_EQ(other, state().services.front().get());
    EXPECT_EQ(lines{"Monitoring processes..."}, log);
    EXPECT_EQ(0, env().recorded_threads());
  }
}

// Requests wait on startup_cond for the end of the pass; the pass ends it.
TEST_F(ConfigLoaderTest, PassEndsTheStartupWait) {
  state().startup_pass_running = true;
  load("");
  EXPECT_FALSE(state().startup_pass_running);
}

}  // namespace
}  // namespace kelv
