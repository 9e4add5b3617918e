// kelvctl, the administration client of kelv: reads its command line, sends
// one request per connection to the daemon's control socket, writes the
// replies to standard output and adds up their status bytes; with -w it also
// records an enable or disable in the configuration file (config_update.h).
// "status -l", "-j" and "-m" collect the daemon's detailed status whole and
// write one of its views instead (status_views.h).
// Single-threaded; reports on standard error through err/warn/warnx.
#ifndef KELV_CLIENT_KELVCTL_H_
#define KELV_CLIENT_KELVCTL_H_

#include <stddef.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

namespace kelv {

inline constexpr const char client_version[] = "1.1";

// Exit statuses of kelvctl. Besides these it exits with the sum of the reply
// status bytes (the platform keeps its low 8 bits).
inline constexpr int exit_copy_failed =
    1;                                    // the -s argument could not be copied
inline constexpr int exit_usage = 64;     // EX_USAGE: -V, usage errors
inline constexpr int exit_os_error = 71;  // EX_OSERR: socket, connect, send
inline constexpr int exit_config = 78;    // EX_CONFIG: socket path too long

struct free_deleter {
  void operator()(char* p) const { free(p); }
};
// A string from asprintf, released with free.
using owned_text = std::unique_ptr<char, free_deleter>;

// What the command line asked for.
struct command_line {
  owned_text socket_path;     // never null after a successful parse
  bool write_config = false;  // -w
  // The command word and the words after it; they point into argv and live
  // as long as the process.
  std::vector<const char*> words;
};

// Reads the options ("Vs:w", stopping at the first non-option) into *out.
// Returns -1 to go on, or the exit status to end with at once: 64 after -V
// (version on standard error), after an unknown option or when no command
// word is left (usage on standard output). A failed copy of the -s argument
// or of the default path ends the process through err (1 and 71).
int parse_command_line(int argc, char** argv, command_line* out);

// Carries out the command: the requests in order, then the update with -w.
// Returns the exit status. Ends the process through err when the daemon
// cannot be reached (71) or the socket path is too long (78). A detailed
// status view returns 0 when written, and 1 after a warning when the daemon
// closed without a byte (it predates the request), when its reply is not a
// version it reads, or when standard output fails; a refusal (status byte
// not 0) is written as received and returns 1.
int run_command(const command_line& command);

// Writes the usage text to standard output.
void print_usage();

// Reads one reply frame piece by piece, following the protocol's reading
// rule: the status byte comes from the first piece only and is not part of
// the text; the text of a piece ends at the piece's end or at a NUL, and
// includes the end marker; the reply is complete when a piece ends with the
// end marker.
class reply_reader {
 public:
  // Takes the next piece of n > 0 bytes and appends the text it carries to
  // *text. Returns true when the piece ends the reply.
  bool take(const char* piece, size_t n, std::string* text);

  // The first byte of the stream read as a signed 8-bit value; 1 when no
  // byte has come (a connection closed without a reply is a failure).
  int result() const { return result_; }

 private:
  int result_ = 1;
  size_t received_ = 0;
};

// Makes one exchange with the daemon at socket_path: connects, sends request
// in one send, writes the reply's text to standard output. Returns the
// reply's status (0 or 1; 1 when nothing came or after a receive error,
// which is warned about). Ends the process through err(78) when the path has
// 104 bytes or more and err(71) when socket, connect or send fails.
int send_request(const char* socket_path, const char* request);

}  // namespace kelv

#endif  // KELV_CLIENT_KELVCTL_H_
