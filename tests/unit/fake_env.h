// A scripted system_env for unit tests: a fake rc(8) `service` command, a set
// of live PIDs, a virtual monotonic clock, condition waits and threads that a
// test drives by hand, and a log that reads back as comparable strings.
//
// Thread safety: every method may be called from any thread. Hooks run
// without the fake's own mutex held, so a hook may block or call the fake.
//
// Typical use:
//   fake_env env;
//   scoped_env installed(env);
//   env.set_default("ntpd", "onestatus", {"ntpd is running as pid 812.\n", 0});
//   env.add_live_pid(812);
#ifndef KELV_TESTS_UNIT_FAKE_ENV_H_
#define KELV_TESTS_UNIT_FAKE_ENV_H_

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "daemon/system_env.h"

namespace kelv {

// What one run of `service NAME VERB` prints and its wait status (as system
// and pclose report it: exit code << 8, or -1).
struct rc_response {
  std::string output;
  int status = 0;
  // The command never ends by itself: its output is read, then its time
  // limit passes on the virtual clock and it is stopped.
  bool hangs = false;
};

inline constexpr int exit_status(int code) { return code << 8; }

// One recorded log call.
struct log_record {
  long seconds;  // virtual seconds since the fake was made
  int priority;
  std::string text;
};

class fake_env : public system_env {
 public:
  // The virtual clock starts at this reading; log times count from it.
  static constexpr time_t start_seconds = 1000;
  // The wall clock reads this at the start and moves with the virtual one.
  static constexpr time_t wall_start = 1765000000;

  fake_env();
  fake_env(const fake_env&) = delete;
  fake_env& operator=(const fake_env&) = delete;

  // --- the scripted rc ---------------------------------------------------
  // Queued responses are used once each, in order; when none is left the
  // default for (name, verb) answers, else `unscripted`.
  void queue_response(const std::string& name, const std::string& verb,
                      rc_response response);
  void set_default(const std::string& name, const std::string& verb,
                   rc_response response);
  // Answer for any command nobody scripted: silent, exit status 1.
  void set_unscripted(rc_response response);
  // Called at the start of every run_service and open_service, before the
  // response is chosen (so it may queue one, or block to hold the command).
  void set_command_hook(
      std::function<void(const std::string& name, const std::string& verb)>
          hook);
  // open_service fails with this errno (0: it does not fail).
  void set_open_error(int error);
  // Every command started so far, as "NAME VERB", in order.
  std::vector<std::string> commands() const;
  int command_count(const std::string& name, const std::string& verb) const;
  // Output pieces handed out by read_piece, over all commands.
  int pieces_read() const;
  // The time limit each command was started with, in order.
  std::vector<unsigned> limits() const;

  // --- processes ---------------------------------------------------------
  void add_live_pid(pid_t pid);
  void remove_live_pid(pid_t pid);

  // --- clock, sleeping and waits -----------------------------------------
  // The virtual clock's current reading.
  timespec now() const;
  void set_now(timespec now);
  void advance(time_t seconds);
  // After `after` more good readings, the next `count` readings of the
  // clock fail with EINVAL.
  void fail_clock(int count, int after = 0);
  // Seconds asked of sleep_seconds, one entry per call.
  std::vector<unsigned> sleeps() const;
  // Called after the virtual clock has moved for a sleep_seconds call, with
  // no lock of the caller's held (a sleeping thread holds none), so it may
  // change shared state as another thread would meanwhile.
  void set_sleep_hook(std::function<void(unsigned seconds)> hook);
  // Use the real CLOCK_MONOTONIC and real sleep instead of the virtual ones.
  void set_real_clock(bool real);
  // Hand condition waits to pthreads instead of simulating them.
  void set_real_waits(bool real);
  // Simulated waits (the default): cond_wait returns the hook's result, or
  // EINVAL without a hook (a single thread would wait for ever). A timed
  // wait calls its hook with the deadline, or else moves the virtual clock to
  // the deadline and returns ETIMEDOUT. Hooks run with the caller's mutex
  // held, as a woken waiter would see it.
  void set_wait_hook(std::function<int()> hook);
  void set_timedwait_hook(std::function<int(const timespec& deadline)> hook);
  // Deadlines passed to cond_timedwait, in order.
  std::vector<timespec> timedwait_deadlines() const;

  // --- threads -----------------------------------------------------------
  // By default create_thread only records (body, arg); run_threads() then
  // runs every recorded body inline, in order (also those recorded meanwhile).
  void set_real_threads(bool real);
  void set_create_error(int error);
  void set_detach_error(int error);
  int recorded_threads() const;
  void run_threads();
  int detach_count() const;

  // --- log ---------------------------------------------------------------
  std::vector<log_record> log_records() const;
  // Each message as "T P text": virtual seconds, priority, text.
  std::vector<std::string> log_lines() const;
  // Only the texts.
  std::vector<std::string> log_texts() const;
  void clear_log();

  // system_env
  int run_service(const std::string& name, const char* verb,
                  unsigned limit_seconds, bool* timed_out) override;
  std::unique_ptr<command_output> open_service(const std::string& name,
                                               const char* verb,
                                               unsigned limit_seconds) override;
  bool process_exists(pid_t pid) override;
  int monotonic_now(timespec* now) override;
  time_t wall_now() override;
  void sleep_seconds(unsigned seconds) override;
  int cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) override;
  int cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                     const timespec* deadline) override;
  int create_thread(pthread_t* thread, void* (*body)(void*),
                    void* arg) override;
  int detach_thread(pthread_t thread) override;
  void log(int priority, const char* format, va_list args) override;

 private:
  class fake_output;
  rc_response start_command(const std::string& name, const char* verb,
                            unsigned limit_seconds);
  void count_piece();

  mutable std::mutex mu_;
  std::map<std::pair<std::string, std::string>, std::deque<rc_response>>
      queued_;
  std::map<std::pair<std::string, std::string>, rc_response> defaults_;
  rc_response unscripted_{"", exit_status(1)};
  // Shared, so a hook with state (a counter) keeps it across calls even
  // while it runs outside mu_.
  template <typename F>
  using hook_ptr = std::shared_ptr<std::function<F>>;
  hook_ptr<void(const std::string&, const std::string&)> command_hook_;
  int open_error_ = 0;
  std::vector<std::string> commands_;
  int pieces_read_ = 0;
  std::vector<unsigned> limits_;

  std::set<pid_t> live_pids_;

  timespec now_{start_seconds, 0};
  int clock_failures_ = 0;
  int clock_good_before_failure_ = 0;
  std::vector<unsigned> sleeps_;
  hook_ptr<void(unsigned)> sleep_hook_;
  bool real_clock_ = false;
  bool real_waits_ = false;
  hook_ptr<int()> wait_hook_;
  hook_ptr<int(const timespec&)> timedwait_hook_;
  std::vector<timespec> deadlines_;

  bool real_threads_ = false;
  int create_error_ = 0;
  int detach_error_ = 0;
  std::deque<std::pair<void* (*)(void*), void*>> recorded_;
  int detaches_ = 0;

  std::vector<log_record> log_;
};

// Installs an environment as current_env() for its scope.
class scoped_env {
 public:
  explicit scoped_env(system_env& env) { set_current_env(&env); }
  ~scoped_env() { set_current_env(nullptr); }
  scoped_env(const scoped_env&) = delete;
  scoped_env& operator=(const scoped_env&) = delete;
};

}  // namespace kelv

#endif  // KELV_TESTS_UNIT_FAKE_ENV_H_
