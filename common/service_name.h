// Service names as kelv hands them to rc(8)'s `service` command. A name is
// either a plain rc(8) name, a service of the host, or NAME@JAIL: the rc(8)
// service NAME inside the jail JAIL (a jail name or JID), split at the last
// "@". Pure functions of the name; safe from any thread.
#ifndef KELV_COMMON_SERVICE_NAME_H_
#define KELV_COMMON_SERVICE_NAME_H_

#include <string_view>

namespace kelv {

// What a name asks rc(8) about: service is NAME, and jail is JAIL when jailed
// (empty on the host). A name with "@" is always jailed, even when a part is
// empty: check_service_name refuses such names.
struct service_name_parts {
  std::string_view service;
  std::string_view jail;
  bool jailed = false;
};

constexpr service_name_parts split_service_name(std::string_view name) {
  const size_t at = name.rfind('@');
  if (at == std::string_view::npos) return {name, {}, false};
  return {name.substr(0, at), name.substr(at + 1), true};
}

// Why `service` must not be given a name, in the order they are checked.
enum class name_problem {
  none,
  option,       // the name (NAME) starts with "-": read as an option
  path,         // a "/" anywhere: run as the path of an rc script
  control,      // a control byte (0x01-0x1f, 0x7f) anywhere
  no_service,   // NAME@JAIL with an empty NAME
  no_jail,      // NAME@JAIL with an empty JAIL
  jail_option,  // NAME@JAIL whose JAIL starts with "-"
};

constexpr bool is_control_byte(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// The first problem of the name. A plain name is checked as it always was
// (an empty one passes here; making its record refuses it); of NAME@JAIL,
// NAME and JAIL are each checked like a plain name, and neither may be
// empty.
constexpr name_problem check_service_name(std::string_view name) {
  if (!name.empty() && name[0] == '-') return name_problem::option;
  if (name.find('/') != std::string_view::npos) return name_problem::path;
  for (char c : name) {
    if (is_control_byte(c)) return name_problem::control;
  }
  const service_name_parts parts = split_service_name(name);
  if (!parts.jailed) return name_problem::none;
  if (parts.service.empty()) return name_problem::no_service;
  if (parts.jail.empty()) return name_problem::no_jail;
  if (parts.jail[0] == '-') return name_problem::jail_option;
  return name_problem::none;
}

}  // namespace kelv

#endif  // KELV_COMMON_SERVICE_NAME_H_
