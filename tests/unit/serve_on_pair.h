// Serves one control request over a fresh socket pair, as the control server
// would on a client's connection, and reads back the reply. For unit tests
// and fuzz targets.
#ifndef KELV_TESTS_UNIT_SERVE_ON_PAIR_H_
#define KELV_TESTS_UNIT_SERVE_ON_PAIR_H_

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/control_server.h"

namespace kelv {

// Returns every byte written back (empty, too, when no socket pair could be
// made). The request is handed over as a C string: it ends at its first NUL.
inline std::string serve_on_pair(monitor_state& state,
                                 const std::string& request) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
  std::vector<char> text(request.begin(), request.end());
  text.push_back('\0');
  serve_request(state, fds[0], text.data());
  close(fds[0]);
  std::string reply;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[1], buf, sizeof buf)) > 0) reply.append(buf, n);
  close(fds[1]);
  return reply;
}

}  // namespace kelv

#endif  // KELV_TESTS_UNIT_SERVE_ON_PAIR_H_
