#include "daemon/service_command.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "common/service_name.h"
#include "daemon/log.h"
#include "daemon/timed_command.h"

namespace kelv {
namespace {

// The name with each control byte written as \ooo, as vis(1) -o shows it,
// so that the log line stays one line of plain text.
std::string visible_name(const std::string& name) {
  std::string shown;
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\%03o", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

// Names the command as it ran: for NAME@JAIL that is "service -j JAIL NAME
// VERB", so the line says which jail's rc(8) did not answer.
void log_stopped(const std::string& name, const char* verb, unsigned limit) {
  std::string command;
  for (const std::string& word : service_command_words(name, verb)) {
    if (!command.empty()) command += ' ';
    command += word;
  }
  log_msg(log_error, "%s did not finish within %u seconds; stopped it.",
          command.c_str(), limit);
}

// Reports, once, a command that its time limit stopped; such a command
// closes as a failure whatever status it was stopped with.
class limited_output : public command_output {
 public:
  limited_output(std::unique_ptr<command_output> inner, std::string name,
                 const char* verb, unsigned limit)
      : inner_(std::move(inner)),
        name_(std::move(name)),
        verb_(verb),
        limit_(limit) {}

  bool read_piece(char* buf, int size) override {
    if (inner_->read_piece(buf, size)) return true;
    note_stop();
    return false;
  }

  int close() override {
    int status = inner_->close();
    note_stop();
    return inner_->timed_out() ? -1 : status;
  }

  bool timed_out() const override { return inner_->timed_out(); }

 private:
  void note_stop() {
    if (logged_ || !inner_->timed_out()) return;
    logged_ = true;
    log_stopped(name_, verb_, limit_);
  }

  std::unique_ptr<command_output> inner_;
  std::string name_;
  const char* verb_;
  unsigned limit_;
  bool logged_ = false;
};

}  // namespace

unsigned command_limit_seconds(const char* verb) {
  return strcmp(verb, "onestatus") == 0 ? probe_limit_seconds
                                        : action_limit_seconds;
}

bool acceptable_service_name(const std::string& name) {
  // `service` parses its own options first, and a slash makes it run the
  // named file as an rc script: neither may come from a service name. A
  // control byte would break every line-based place a name goes to: the
  // configuration file, the listings and the reply's end marker (0x04).
  // NAME@JAIL becomes `service -j JAIL NAME`: each part must be there, and
  // the jail must not be read as an option either.
  const char* why = nullptr;
  switch (check_service_name(name)) {
    case name_problem::none:
      return true;
    case name_problem::option:
      why = "it would be read as an option";
      break;
    case name_problem::path:
      why = "it would be read as a path";
      break;
    case name_problem::control:
      log_msg(log_error,
              "Refusing service name %s: it holds a control character.",
              visible_name(name).c_str());
      return false;
    case name_problem::no_service:
      why = "it names no service before the \"@\"";
      break;
    case name_problem::no_jail:
      why = "it names no jail after the \"@\"";
      break;
    case name_problem::jail_option:
      why = "its jail would be read as an option";
      break;
  }
  log_msg(log_error, "Refusing service name %s: %s.", name.c_str(), why);
  return false;
}

int run_service_command(const std::string& name, const char* verb) {
  if (!acceptable_service_name(name)) {
    errno = EINVAL;
    return -1;
  }
  unsigned limit = command_limit_seconds(verb);
  bool timed_out = false;
  int status = current_env().run_service(name, verb, limit, &timed_out);
  if (timed_out) {
    log_stopped(name, verb, limit);
    errno = ETIMEDOUT;
    return -1;
  }
  return status;
}

std::unique_ptr<command_output> open_service_command(const std::string& name,
                                                     const char* verb) {
  if (!acceptable_service_name(name)) {
    errno = EINVAL;
    return nullptr;
  }
  unsigned limit = command_limit_seconds(verb);
  auto output = current_env().open_service(name, verb, limit);
  if (output == nullptr) return nullptr;
  return std::make_unique<limited_output>(std::move(output), name, verb, limit);
}

}  // namespace kelv
