// Scripted behaviours of rc(8) for the fuzz targets that run whole commands:
// one byte of the input picks how every service answers.
#ifndef KELV_TESTS_FUZZ_RC_MODES_H_
#define KELV_TESTS_FUZZ_RC_MODES_H_

#include <errno.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/fuzz/fuzz_check.h"
#include "tests/unit/fake_env.h"

namespace kelv {

enum class rc_mode {
  nothing_runs,  // onestatus: not running; restart fails
  all_running,   // onestatus: running as this process
  starts,        // not running until restarted, then running
  not_enabled,   // restart answers with the not-enabled marker
  pipe_fails,    // open_service fails with EMFILE
  count
};

inline rc_mode pick_mode(unsigned char byte) {
  return static_cast<rc_mode>(byte % static_cast<int>(rc_mode::count));
}

// Scripts env for mode. Every command's words are checked on the way in
// (check_service_words), its name also by check_name when one is given.
inline void script_rc(
    fake_env& env, rc_mode mode,
    std::function<void(const std::string&)> check_name = nullptr) {
  const pid_t self = getpid();
  env.add_live_pid(self);
  auto running = [self](const std::string& name) {
    return rc_response{
        name + " is running as pid " + std::to_string(self) + ".\n", 0};
  };
  fake_env* e = &env;
  env.set_command_hook([e, mode, running, check_name](const std::string& name,
                                                      const std::string& verb) {
    check_service_words(name, verb);
    if (check_name) check_name(name);
    switch (mode) {
      case rc_mode::all_running:
        e->queue_response(name, verb,
                          verb == "onestatus" ? running(name)
                                              : rc_response{"Starting.\n", 0});
        break;
      case rc_mode::starts:
        if (verb == "restart") {
          e->queue_response(name, "restart", {"Starting " + name + ".\n", 0});
          e->queue_response(name, "onestatus", running(name));
        }
        break;
      case rc_mode::not_enabled:
        if (verb == "restart") {
          e->queue_response(name, "restart",
                            {"Cannot 'restart' " + name + ". Set " + name +
                                 "_enable to YES in /etc/rc.conf.\n",
                             0});
        }
        break;
      default:
        break;
    }
  });
  env.set_unscripted({"not running.\n", exit_status(1)});
  if (mode == rc_mode::pipe_fails) env.set_open_error(EMFILE);
}

}  // namespace kelv

#endif  // KELV_TESTS_FUZZ_RC_MODES_H_
