#include "client/kelvctl.h"

#include <err.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "client/config_update.h"
#include "client/detail_reply.h"
#include "client/status_views.h"
#include "common/detail_format.h"
#include "common/getopt_order.h"
#include "common/protocol.h"
#include "common/unique_fd.h"

namespace kelv {
namespace {

constexpr const char usage_text[] =
    "usage:  kelvctl enable <service> [service ...]\n"
    "        kelvctl disable <service> [service ...]\n"
    "        kelvctl shutdown\n"
    "        kelvctl status\n"
    "\n"
    "options:\n"
    "        -V   Print out version.\n"
    "        -s S Use socket S instead of the default.\n"
    "        -w   Write the status change to kelv.conf";

// Option reading stops at the first non-option, so that a word like "-w"
// after the command word is a service name.
constexpr const char option_string[] = KELV_GETOPT_IN_ORDER "Vs:w";

__attribute__((format(printf, 1, 2))) owned_text format_text(const char* format,
                                                             ...) {
  va_list ap;
  va_start(ap, format);
  char* text = nullptr;
  int n = vasprintf(&text, format, ap);
  va_end(ap);
  if (n < 0) return nullptr;
  return owned_text(text);
}

// Connects to the daemon and sends request in one send. Ends the process
// through err as send_request's contract says.
unique_fd connect_and_send(const char* socket_path, const char* request) {
  unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) err(exit_os_error, "socket");
  sockaddr_un addr;
  socklen_t length = make_socket_address(socket_path, &addr);
  if (length == 0) {
    errno = ENAMETOOLONG;
    err(exit_config, "socket path too long");
  }
  if (connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), length) !=
      0)
    err(exit_os_error, "connect");
  // MSG_NOSIGNAL: a daemon that closed early must give "send" its error
  // instead of killing the client with SIGPIPE.
  if (send(sock.get(), request, strlen(request), MSG_NOSIGNAL) == -1)
    err(exit_os_error, "send");
  return sock;
}

// A whole reply, collected before any of it is used.
struct whole_reply {
  size_t bytes = 0;  // received, the status byte included
  int status = 1;
  std::string text;  // with the end marker when it came
  bool receive_failed = false;
};

whole_reply receive_whole_reply(int sock) {
  whole_reply reply;
  reply_reader reader;
  char buffer[receive_buffer_bytes];
  for (;;) {
    ssize_t n = recv(sock, buffer, max_request_bytes, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      warn("recv");
      reply.receive_failed = true;
      break;
    }
    if (n == 0) break;
    reply.bytes += static_cast<size_t>(n);
    if (reader.take(buffer, static_cast<size_t>(n), &reply.text)) break;
  }
  reply.status = reader.result();
  return reply;
}

bool write_all_of(const std::string& text) {
  if (fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
      fflush(stdout) == 0)
    return true;
  warn("standard output");
  return false;
}

int show_detailed_status(const char* socket_path, status_view view) {
  owned_text request = format_text("%s:", command_detail);
  if (!request) err(exit_os_error, "asprintf");
  unique_fd sock = connect_and_send(socket_path, request.get());
  whole_reply reply = receive_whole_reply(sock.get());
  if (reply.receive_failed) return 1;
  if (reply.bytes == 0) {
    warnx("this kelv has no detailed status; it is older than this kelvctl");
    return 1;
  }
  if (reply.status != 0) {
    write_all_of(reply.text);
    return 1;
  }
  std::string_view text = reply.text;
  detailed_status status;
  std::string error;
  bool understood = false;
  // The reader drops what follows a NUL in a piece; a text that lost bytes
  // must not pass for a whole one.
  if (reply.bytes != text.size() + 1) {
    error = "a NUL byte in the text";
  } else if (text.empty() ||
             static_cast<unsigned char>(text.back()) != end_marker) {
    error = "cut short before the end marker";
  } else {
    text.remove_suffix(1);
    understood = parse_detailed_status(text, &status, &error);
  }
  if (!understood) {
    warnx("unrecognised detailed status from kelv: %s", error.c_str());
    return 1;
  }
  return write_all_of(render_status_view(view, status, time(nullptr))) ? 0 : 1;
}

int request_status_or_shutdown(const command_line& command) {
  status_view view;
  if (strcmp(command.words[0], command_status) == 0 &&
      command.words.size() == 2 && parse_status_view(command.words[1], &view))
    return show_detailed_status(command.socket_path.get(), view);
  if (command.words.size() > 1) {
    print_usage();
    return exit_usage;
  }
  owned_text request = format_text("%s:", command.words[0]);
  if (!request) err(exit_os_error, "asprintf");
  return send_request(command.socket_path.get(), request.get());
}

int request_enable_or_disable(const command_line& command) {
  const char* word = command.words[0];
  if (command.words.size() == 1) {
    if (command.write_config) warnx("No service name given to update");
    return 0;
  }
  int sum = 0;
  std::vector<std::string> names;
  for (size_t i = 1; i < command.words.size(); ++i) {
    names.emplace_back(command.words[i]);
    owned_text request = format_text("%s:%s", word, command.words[i]);
    if (!request) {
      warn("asprintf");
      continue;
    }
    sum += send_request(command.socket_path.get(), request.get());
  }
  // Whatever the daemon replied: the file records the administrator's intent
  // for the next start.
  if (command.write_config) update_config(word, names);
  return sum;
}

}  // namespace

void print_usage() { puts(usage_text); }

int parse_command_line(int argc, char** argv, command_line* out) {
  int ch;
  while ((ch = getopt(argc, argv, option_string)) != -1) {
    switch (ch) {
      case 'V':
        fprintf(stderr, "kelvctl version: %s\n", client_version);
        return exit_usage;
      case 's':
        out->socket_path = format_text("%s", optarg);
        if (!out->socket_path) err(exit_copy_failed, "asprintf");
        break;
      case 'w':
        out->write_config = true;
        break;
      default:
        print_usage();
        return exit_usage;
    }
  }
  if (!out->socket_path) {
    out->socket_path = format_text("%s", default_socket_path);
    if (!out->socket_path) err(exit_os_error, "asprintf");
  }
  if (optind >= argc) {
    print_usage();
    return exit_usage;
  }
  out->words.assign(argv + optind, argv + argc);
  return -1;
}

int run_command(const command_line& command) {
  const char* word = command.words[0];
  if (strcmp(word, command_shutdown) == 0 || strcmp(word, command_status) == 0)
    return request_status_or_shutdown(command);
  if (strcmp(word, command_disable) == 0 || strcmp(word, command_enable) == 0)
    return request_enable_or_disable(command);
  warnx("unknown option: %s", word);
  print_usage();
  return exit_usage;
}

bool reply_reader::take(const char* piece, size_t n, std::string* text) {
  const char* begin = piece;
  if (received_ == 0) {
    result_ = static_cast<signed char>(piece[0]);
    ++begin;
  }
  received_ += n;
  // The text of a piece is what printf("%s") would write of it.
  const char* end = piece + n;
  const char* nul = static_cast<const char*>(memchr(begin, '\0', end - begin));
  text->append(begin, nul ? nul : end);
  return static_cast<unsigned char>(piece[n - 1]) == end_marker;
}

int send_request(const char* socket_path, const char* request) {
  unique_fd sock = connect_and_send(socket_path, request);
  reply_reader reader;
  char buffer[receive_buffer_bytes];
  std::string text;
  for (;;) {
    ssize_t n = recv(sock.get(), buffer, max_request_bytes, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      warn("recv");
      break;
    }
    if (n == 0) break;
    text.clear();
    bool done = reader.take(buffer, static_cast<size_t>(n), &text);
    fwrite(text.data(), 1, text.size(), stdout);
    if (done) break;
  }
  return reader.result();
}

}  // namespace kelv
