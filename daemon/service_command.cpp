#include "daemon/service_command.h"

#include <errno.h>

#include "daemon/log.h"

namespace kelv {

bool acceptable_service_name(const std::string& name) {
  // `service` parses its own options first, and a slash makes it run the
  // named file as an rc script: neither may come from a service name.
  if (!name.empty() && name[0] == '-') {
    log_msg(log_error,
            "Refusing service name %s: it would be read as an option.",
            name.c_str());
    return false;
  }
  if (name.find('/') != std::string::npos) {
    log_msg(log_error, "Refusing service name %s: it would be read as a path.",
            name.c_str());
    return false;
  }
  return true;
}

int run_service_command(const std::string& name, const char* verb) {
  if (!acceptable_service_name(name)) {
    errno = EINVAL;
    return -1;
  }
  return current_env().run_service(name, verb);
}

std::unique_ptr<command_output> open_service_command(const std::string& name,
                                                     const char* verb) {
  if (!acceptable_service_name(name)) {
    errno = EINVAL;
    return nullptr;
  }
  return current_env().open_service(name, verb);
}

}  // namespace kelv
