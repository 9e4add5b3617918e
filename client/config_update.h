// Recording an enable or disable in the daemon's configuration file (one
// service name per line, "#" comment lines), so that the change holds at the
// daemon's next start. "enable" appends the names; "disable" rewrites the
// file without the lines that equal a name, through a temporary file beside
// it that replaces it in one rename. Updates by clients running at the same
// time are serialised with an advisory lock on the file, so none is lost.
// Failures are warnings on standard error; nothing here ends the process.
// Thread-safe: each call opens and locks the file by itself, so calls from
// several threads or processes on the same path are serialised like clients.
#ifndef KELV_CLIENT_CONFIG_UPDATE_H_
#define KELV_CLIENT_CONFIG_UPDATE_H_

#include <string>
#include <string_view>
#include <vector>

namespace kelv {

inline constexpr const char config_file_path[] = "/usr/local/etc/kelv.conf";

// Records command ("enable" or "disable"; anything else is ignored) for the
// service names in config_file_path.
void update_config(std::string_view command,
                   const std::vector<std::string>& names);

// The same on the file at path (its directory must be writable for
// "disable"). update_config uses it with config_file_path; tests use it with
// files in a temporary directory.
//
// "enable": appends every name with a newline, also names already in the
// file; creates the file when it is missing; first ends an unterminated last
// line so that no name is glued to it. A name whose write fails is taken out
// again, so no partial line stays behind.
// "disable": drops every line that equals one of the names over its whole
// length (without its newline) and keeps all other lines, comments included,
// in their order, with the file's owner and mode bits. The file is replaced
// only when lines were dropped and the whole copy was read, written and
// synced; otherwise it is left as it was and the temporary file removed.
// Both: empty names and names holding a newline cannot stand on a line of
// their own; they are skipped with a warning.
void update_config_at(const std::string& path, std::string_view command,
                      const std::vector<std::string>& names);

}  // namespace kelv

#endif  // KELV_CLIENT_CONFIG_UPDATE_H_
