#include "tests/unit/fake_env.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace kelv {
namespace {

template <typename F>
std::shared_ptr<std::function<F>> share(std::function<F> hook) {
  if (!hook) return nullptr;
  return std::make_shared<std::function<F>>(std::move(hook));
}

}  // namespace

// Hands out the scripted output like fgets would read it from a pipe.
class fake_env::fake_output : public command_output {
 public:
  fake_output(fake_env& env, rc_response response, unsigned limit)
      : env_(env), response_(std::move(response)), limit_(limit) {}

  bool read_piece(char* buf, int size) override {
    const std::string& text = response_.output;
    if (size < 2) return false;
    if (pos_ >= text.size()) {
      stop_if_hung();
      return false;
    }
    size_t limit = std::min(text.size() - pos_, static_cast<size_t>(size - 1));
    size_t newline = text.find('\n', pos_);
    size_t length = newline != std::string::npos && newline - pos_ < limit
                        ? newline - pos_ + 1
                        : limit;
    memcpy(buf, text.data() + pos_, length);
    buf[length] = '\0';
    pos_ += length;
    env_.count_piece();
    return true;
  }

  int close() override {
    stop_if_hung();
    return timed_out_ ? -1 : response_.status;
  }

  bool timed_out() const override { return timed_out_; }

 private:
  // A hung command is stopped once its limit has passed on the clock.
  void stop_if_hung() {
    if (!response_.hangs || timed_out_) return;
    env_.advance(limit_);
    timed_out_ = true;
  }

  fake_env& env_;
  rc_response response_;
  unsigned limit_;
  size_t pos_ = 0;
  bool timed_out_ = false;
};

fake_env::fake_env() = default;

void fake_env::queue_response(const std::string& name, const std::string& verb,
                              rc_response response) {
  std::lock_guard<std::mutex> hold(mu_);
  queued_[{name, verb}].push_back(std::move(response));
}

void fake_env::set_default(const std::string& name, const std::string& verb,
                           rc_response response) {
  std::lock_guard<std::mutex> hold(mu_);
  defaults_[{name, verb}] = std::move(response);
}

void fake_env::set_unscripted(rc_response response) {
  std::lock_guard<std::mutex> hold(mu_);
  unscripted_ = std::move(response);
}

void fake_env::set_command_hook(
    std::function<void(const std::string&, const std::string&)> hook) {
  std::lock_guard<std::mutex> hold(mu_);
  command_hook_ = share(std::move(hook));
}

void fake_env::set_open_error(int error) {
  std::lock_guard<std::mutex> hold(mu_);
  open_error_ = error;
}

std::vector<std::string> fake_env::commands() const {
  std::lock_guard<std::mutex> hold(mu_);
  return commands_;
}

int fake_env::command_count(const std::string& name,
                            const std::string& verb) const {
  std::lock_guard<std::mutex> hold(mu_);
  return static_cast<int>(
      std::count(commands_.begin(), commands_.end(), name + " " + verb));
}

int fake_env::pieces_read() const {
  std::lock_guard<std::mutex> hold(mu_);
  return pieces_read_;
}

void fake_env::count_piece() {
  std::lock_guard<std::mutex> hold(mu_);
  ++pieces_read_;
}

std::vector<unsigned> fake_env::limits() const {
  std::lock_guard<std::mutex> hold(mu_);
  return limits_;
}

rc_response fake_env::start_command(const std::string& name, const char* verb,
                                    unsigned limit_seconds) {
  hook_ptr<void(const std::string&, const std::string&)> hook;
  {
    std::lock_guard<std::mutex> hold(mu_);
    commands_.push_back(name + " " + verb);
    limits_.push_back(limit_seconds);
    hook = command_hook_;
  }
  if (hook) (*hook)(name, verb);
  std::lock_guard<std::mutex> hold(mu_);
  auto key = std::make_pair(name, std::string(verb));
  auto queued = queued_.find(key);
  if (queued != queued_.end() && !queued->second.empty()) {
    rc_response response = std::move(queued->second.front());
    queued->second.pop_front();
    return response;
  }
  auto fallback = defaults_.find(key);
  return fallback != defaults_.end() ? fallback->second : unscripted_;
}

int fake_env::run_service(const std::string& name, const char* verb,
                          unsigned limit_seconds, bool* timed_out) {
  rc_response response = start_command(name, verb, limit_seconds);
  *timed_out = response.hangs;
  if (response.hangs) {
    advance(limit_seconds);
    return -1;
  }
  return response.status;
}

std::unique_ptr<command_output> fake_env::open_service(const std::string& name,
                                                       const char* verb,
                                                       unsigned limit_seconds) {
  rc_response response = start_command(name, verb, limit_seconds);
  int error;
  {
    std::lock_guard<std::mutex> hold(mu_);
    error = open_error_;
  }
  if (error != 0) {
    errno = error;
    return nullptr;
  }
  return std::make_unique<fake_output>(*this, std::move(response),
                                       limit_seconds);
}

void fake_env::add_live_pid(pid_t pid) {
  std::lock_guard<std::mutex> hold(mu_);
  live_pids_.insert(pid);
}

void fake_env::remove_live_pid(pid_t pid) {
  std::lock_guard<std::mutex> hold(mu_);
  live_pids_.erase(pid);
}

bool fake_env::process_exists(pid_t pid) {
  std::lock_guard<std::mutex> hold(mu_);
  return live_pids_.count(pid) != 0;
}

timespec fake_env::now() const {
  std::lock_guard<std::mutex> hold(mu_);
  return now_;
}

void fake_env::set_now(timespec now) {
  std::lock_guard<std::mutex> hold(mu_);
  now_ = now;
}

void fake_env::advance(time_t seconds) {
  std::lock_guard<std::mutex> hold(mu_);
  now_.tv_sec += seconds;
}

void fake_env::fail_clock(int count, int after) {
  std::lock_guard<std::mutex> hold(mu_);
  clock_failures_ = count;
  clock_good_before_failure_ = after;
}

std::vector<unsigned> fake_env::sleeps() const {
  std::lock_guard<std::mutex> hold(mu_);
  return sleeps_;
}

void fake_env::set_real_clock(bool real) {
  std::lock_guard<std::mutex> hold(mu_);
  real_clock_ = real;
}

void fake_env::set_real_waits(bool real) {
  std::lock_guard<std::mutex> hold(mu_);
  real_waits_ = real;
}

void fake_env::set_wait_hook(std::function<int()> hook) {
  std::lock_guard<std::mutex> hold(mu_);
  wait_hook_ = share(std::move(hook));
}

void fake_env::set_timedwait_hook(
    std::function<int(const timespec& deadline)> hook) {
  std::lock_guard<std::mutex> hold(mu_);
  timedwait_hook_ = share(std::move(hook));
}

std::vector<timespec> fake_env::timedwait_deadlines() const {
  std::lock_guard<std::mutex> hold(mu_);
  return deadlines_;
}

int fake_env::monotonic_now(timespec* now) {
  std::lock_guard<std::mutex> hold(mu_);
  if (clock_good_before_failure_ > 0) {
    --clock_good_before_failure_;
  } else if (clock_failures_ > 0) {
    --clock_failures_;
    errno = EINVAL;
    return -1;
  }
  if (real_clock_) return clock_gettime(CLOCK_MONOTONIC, now);
  *now = now_;
  return 0;
}

time_t fake_env::wall_now() {
  std::lock_guard<std::mutex> hold(mu_);
  return wall_start + (now_.tv_sec - start_seconds);
}

void fake_env::set_sleep_hook(std::function<void(unsigned seconds)> hook) {
  std::lock_guard<std::mutex> hold(mu_);
  sleep_hook_ = share(std::move(hook));
}

void fake_env::sleep_seconds(unsigned seconds) {
  bool real;
  hook_ptr<void(unsigned)> hook;
  {
    std::lock_guard<std::mutex> hold(mu_);
    sleeps_.push_back(seconds);
    real = real_clock_;
    if (!real) now_.tv_sec += seconds;
    hook = sleep_hook_;
  }
  if (real) sleep(seconds);
  if (hook) (*hook)(seconds);
}

int fake_env::cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  bool real;
  hook_ptr<int()> hook;
  {
    std::lock_guard<std::mutex> hold(mu_);
    real = real_waits_;
    hook = wait_hook_;
  }
  if (real) return pthread_cond_wait(cond, mutex);
  return hook ? (*hook)() : EINVAL;
}

int fake_env::cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                             const timespec* deadline) {
  bool real;
  hook_ptr<int(const timespec&)> hook;
  {
    std::lock_guard<std::mutex> hold(mu_);
    deadlines_.push_back(*deadline);
    real = real_waits_;
    hook = timedwait_hook_;
    if (!real && !hook) {
      // Nobody else can signal a single-threaded test: the wait times out.
      if (deadline->tv_sec > now_.tv_sec ||
          (deadline->tv_sec == now_.tv_sec &&
           deadline->tv_nsec > now_.tv_nsec)) {
        now_ = *deadline;
      }
      return ETIMEDOUT;
    }
  }
  if (real) return pthread_cond_timedwait(cond, mutex, deadline);
  return (*hook)(*deadline);
}

void fake_env::set_real_threads(bool real) {
  std::lock_guard<std::mutex> hold(mu_);
  real_threads_ = real;
}

void fake_env::set_create_error(int error) {
  std::lock_guard<std::mutex> hold(mu_);
  create_error_ = error;
}

void fake_env::set_detach_error(int error) {
  std::lock_guard<std::mutex> hold(mu_);
  detach_error_ = error;
}

int fake_env::recorded_threads() const {
  std::lock_guard<std::mutex> hold(mu_);
  return static_cast<int>(recorded_.size());
}

int fake_env::detach_count() const {
  std::lock_guard<std::mutex> hold(mu_);
  return detaches_;
}

void fake_env::run_threads() {
  for (;;) {
    std::pair<void* (*)(void*), void*> next;
    {
      std::lock_guard<std::mutex> hold(mu_);
      if (recorded_.empty()) return;
      next = recorded_.front();
      recorded_.pop_front();
    }
    next.first(next.second);
  }
}

int fake_env::create_thread(pthread_t* thread, void* (*body)(void*),
                            void* arg) {
  std::lock_guard<std::mutex> hold(mu_);
  if (create_error_ != 0) return create_error_;
  if (real_threads_) return pthread_create(thread, nullptr, body, arg);
  recorded_.emplace_back(body, arg);
  *thread = pthread_t{};
  return 0;
}

int fake_env::detach_thread(pthread_t thread) {
  std::lock_guard<std::mutex> hold(mu_);
  ++detaches_;
  if (detach_error_ != 0) return detach_error_;
  return real_threads_ ? pthread_detach(thread) : 0;
}

void fake_env::log(int priority, const char* format, va_list args) {
  char text[4096];
  vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> hold(mu_);
  log_.push_back(
      {static_cast<long>(now_.tv_sec - start_seconds), priority, text});
}

std::vector<log_record> fake_env::log_records() const {
  std::lock_guard<std::mutex> hold(mu_);
  return log_;
}

std::vector<std::string> fake_env::log_lines() const {
  std::vector<std::string> lines;
  for (const log_record& record : log_records()) {
    lines.push_back(std::to_string(record.seconds) + " " +
                    std::to_string(record.priority) + " " + record.text);
  }
  return lines;
}

std::vector<std::string> fake_env::log_texts() const {
  std::vector<std::string> texts;
  for (const log_record& record : log_records()) texts.push_back(record.text);
  return texts;
}

void fake_env::clear_log() {
  std::lock_guard<std::mutex> hold(mu_);
  log_.clear();
}

}  // namespace kelv
