#include "daemon/control_server.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/detail_format.h"
#include "common/protocol.h"
#include "common/unique_fd.h"
#include "daemon/detail_listing.h"
#include "daemon/enable_worker.h"
#include "daemon/log.h"
#include "daemon/probes.h"
#include "daemon/settings.h"
#include "daemon/status_listing.h"
#include "daemon/system_env.h"

namespace kelv {
namespace {

constexpr int listen_backlog = 5;
// accept is called at most this many times more after a failure with EINTR
// or ECONNABORTED before the thread gives up.
constexpr int max_accept_retries = 5;
// Every other client waits in the backlog while one is served: a client
// that sends nothing, or never reads, is cut off after this long.
constexpr time_t client_timeout_seconds = 5;

// Logs "<prefix>: <error text>" at priority 3, or short_form when errnum has
// no text.
void log_failure(int errnum, const char* prefix, const char* short_form) {
  char text[error_text_bytes];
  if (error_text(errnum, text, sizeof(text))) {
    log_msg(log_error, "%s: %s", prefix, text);
  } else {
    log_msg(log_error, "%s", short_form);
  }
}

[[noreturn]] void exit_logging(int errnum, const char* prefix,
                               const char* short_form) {
  log_failure(errnum, prefix, short_form);
  end_process(1);
}

ssize_t send_bytes(int fd, const void* bytes, size_t length) {
  return send(fd, bytes, length, 0);
}

ssize_t send_text(int fd, const char* text) {
  return send_bytes(fd, text, strlen(text));
}

// One frame: status byte, text, end marker. Nobody is left to tell when a
// send fails, so the results are dropped.
void send_reply(int fd, unsigned char status, const char* text) {
  (void)send_bytes(fd, &status, 1);
  (void)send_text(fd, text);
  (void)send_bytes(fd, &end_marker, 1);
}

// Sends all of bytes within one overall deadline. A client that stops
// reading is cut off when it passes; the failure is logged.
void send_with_deadline(int fd, const std::string& bytes) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += client_timeout_seconds;
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n =
        send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t left_ms =
        (static_cast<int64_t>(deadline.tv_sec) - now.tv_sec) * 1000 +
        (deadline.tv_nsec - now.tv_nsec) / 1000000;
    if (left_ms <= 0) {
      errno = EAGAIN;
      break;
    }
    pollfd writable = {fd, POLLOUT, 0};
    if (poll(&writable, 1, static_cast<int>(left_ms)) == -1 && errno != EINTR) {
      break;
    }
  }
  if (sent < bytes.size()) log_failure(errno, "send", "send failed.");
}

void send_status(monitor_state& state, int fd) {
  std::string reply;
  {
    mutex_guard hold(state.lock);
    reply = format_status(state);
  }
  send_with_deadline(fd, reply);
}

void send_detail(monitor_state& state, int fd) {
  std::string reply(1, static_cast<char>(status_success));
  {
    mutex_guard hold(state.lock);
    reply += format_detail(state);
  }
  reply.push_back(static_cast<char>(end_marker));
  send_with_deadline(fd, reply);
}

// Learns the PID of a record this thread owns alone, starting the service
// first when rc(8) reports it as not running, as "enable" does. Returns false
// when it could not be started. A service whose PID cannot be learned is
// still watched, without a PID. rc(8) is asked without the lock: a probe that
// hangs holds up nothing but this request.
bool probe_or_start(service_entry& entry) {
  if (!service_running(entry.name) && start_service(entry) != 0) return false;
  if (entry.pids.empty()) (void)refresh_pids(entry);
  return true;
}

// Watches a registered service that kelv gave up on again, as a fresh
// "enable" would: its PID is learned, or it is started first. Its counters
// are kept. Replies like "enable".
void rearm_service(monitor_state& state, int fd, const std::string& name,
                   uint64_t generation) {
  service_entry probe;
  probe.name = name;
  if (!probe_or_start(probe)) {
    send_reply(fd, status_failure, "Could not start service.\n");
    return;
  }
  mutex_guard hold(state.lock);
  service_entry* entry = find_service(state, name, generation);
  if (entry == nullptr || entry->report.state != service_state::given_up) {
    // Disabled, or taken up by another hand meanwhile.
    hold.unlock();
    send_reply(fd, status_failure, "Service already registered.\n");
    return;
  }
  entry->pids = std::move(probe.pids);
  // Taken up afresh: the quick deaths before count no more.
  entry->throttle = probe.throttle;
  if (watch_service(state, *entry) != 0) {
    hold.unlock();
    send_reply(fd, status_failure, "Could not monitor service.\n");
    return;
  }
  enter_state(entry->report, entry->pids.empty() ? service_state::no_pid
                                                 : service_state::running);
  log_msg(log_info, "%s is monitored again.", name.c_str());
  hold.unlock();
  send_reply(fd, status_success, "Monitoring service.\n");
}

void enable_service(monitor_state& state, int fd, const std::string& name) {
  // A watched name is refused before rc(8) is asked anything; one that kelv
  // gave up on is watched again.
  {
    mutex_guard hold(state.lock);
    if (service_entry* entry = find_service(state, name)) {
      const bool given_up = entry->report.state == service_state::given_up;
      const uint64_t generation = entry->generation;
      hold.unlock();
      if (given_up) {
        rearm_service(state, fd, name, generation);
      } else {
        send_reply(fd, status_failure, "Service already registered.\n");
      }
      return;
    }
  }
  std::unique_ptr<service_entry> entry = new_service(name);
  if (!entry) {
    send_reply(fd, status_failure, "Error building process structure.\n");
    return;
  }
  // The record is private to this thread until it is linked.
  if (!probe_or_start(*entry)) {
    send_reply(fd, status_failure, "Could not start service.\n");
    return;
  }
  mutex_guard hold(state.lock);
  // The start-up pass may have added it meanwhile; one record per name.
  if (find_service(state, name) != nullptr) {
    hold.unlock();
    send_reply(fd, status_failure, "Service already registered.\n");
    return;
  }
  if (watch_service(state, *entry) != 0) {
    hold.unlock();
    send_reply(fd, status_failure, "Could not monitor service.\n");
    return;
  }
  link_service(state, std::move(entry));
  log_msg(log_info, "%s has been added.", name.c_str());
  hold.unlock();
  send_reply(fd, status_success, "Monitoring service.\n");
}

void disable_service(monitor_state& state, int fd, const std::string& name) {
  mutex_guard hold(state.lock);
  if (unlink_service(state, name)) {
    remove_retry_entry(state, name);
    log_msg(log_info, "%s has been removed.", name.c_str());
    hold.unlock();
    send_reply(fd, status_success, "Service removed.\n");
    return;
  }
  // A queued retry of an unwatched name is dropped all the same.
  remove_retry_entry(state, name);
  hold.unlock();
  send_reply(fd, status_failure, "Removing service failed: Not found.\n");
}

// Returns the listening socket, bound at the socket path with mode 0700. Any
// failure ends the process.
int open_listener() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    exit_logging(errno, "Creating socket failed", "Creating socket failed.");
  }
  const char* path = settings().socket_path.c_str();
  sockaddr_un addr;
  socklen_t length = make_socket_address(path, &addr);
  if (length == 0) {
    log_msg(log_error, "Socket path too long.");
    end_process(1);
  }
  if (unlink(path) != 0 && errno != ENOENT) {
    exit_logging(errno, "Deleting socket failed", "Deleting socket failed.");
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    exit_logging(errno, "Binding to socket failed",
                 "Binding to socket failed.");
  }
  if (chmod(path, 0700) != 0) {
    exit_logging(errno, "Changing socket permissions failed",
                 "Changing socket permissions failed.");
  }
  if (listen(fd, listen_backlog) != 0) {
    exit_logging(errno, "Listening to socket failed",
                 "Listening to socket failed.");
  }
  return fd;
}

// Returns the next connection. EINTR and ECONNABORTED are routine and retried
// a second apart, a few times; anything else ends the process silently.
int accept_client(int listener) {
  for (int retries = 0;; ++retries) {
    sockaddr_un peer;
    socklen_t peer_length = sizeof(peer);
    int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                     SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    int error = errno;
    if (error != EINTR && error != ECONNABORTED) end_process(1);
    if (retries == max_accept_retries) {
      exit_logging(error, "accept retries exhausted",
                   "accept retries exhausted.");
    }
    current_env().sleep_seconds(1);
  }
}

void bound_client_waits(int fd) {
  timeval limit{};
  limit.tv_sec = client_timeout_seconds;
  // Without the bound the connection is still served, only less defended.
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

void serve_connection(monitor_state& state, unique_fd client) {
  bound_client_waits(client.get());
  char request[receive_buffer_bytes];
  ssize_t received = recv(client.get(), request, max_request_bytes, 0);
  if (received < 0) {
    log_failure(errno, "receiving from client failed",
                "receiving from client failed.");
    return;
  }
  if (received == 0) return;
  request[received] = '\0';
  if (is_enable_request(request) && hand_off_enable(state, client, request))
    return;
  serve_request(state, client.get(), request);
}

}  // namespace

void serve_request(monitor_state& state, int fd, char* request) {
  request_fields fields = split_request(request);
  {
    // Requests that come during the start-up pass are served after it.
    mutex_guard hold(state.lock);
    wait_for_startup_pass(state);
  }
  if (fields.command == nullptr) return;
  const std::string command = fields.command;
  const bool needs_name =
      command == command_enable || command == command_disable;
  if (needs_name && fields.argument == nullptr) {
    send_reply(fd, status_failure, "No service name given.\n");
  } else if (command == command_enable) {
    enable_service(state, fd, fields.argument);
  } else if (command == command_disable) {
    disable_service(state, fd, fields.argument);
  } else if (command == command_status) {
    send_status(state, fd);
  } else if (command == command_detail) {
    send_detail(state, fd);
  } else if (command == command_shutdown) {
    mutex_guard hold(state.lock);
    send_reply(fd, status_success, "kelv shutting down.\n");
    // The lock stays held: nothing else may touch the lists any more.
    run_shutdown_sequence(0);
  }
}

void* control_server(void* arg) {
  monitor_state& state = *static_cast<monitor_state*>(arg);
  log_msg(log_info, "Server thread started.");
  unique_fd listener(open_listener());
  for (;;) {
    unique_fd client(accept_client(listener.get()));
    serve_connection(state, std::move(client));
  }
}

}  // namespace kelv
