// The control protocol between kelv and kelvctl: one request per connection
// on a local stream socket, one framed reply. Pure functions and constants;
// safe to use from any thread.
#ifndef KELV_COMMON_PROTOCOL_H_
#define KELV_COMMON_PROTOCOL_H_

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace kelv {

inline constexpr const char default_socket_path[] = "/var/run/kelv.sock";

// Command words, compared whole and case-sensitively.
inline constexpr const char command_enable[] = "enable";
inline constexpr const char command_disable[] = "disable";
inline constexpr const char command_status[] = "status";
inline constexpr const char command_shutdown[] = "shutdown";

// Reply frame: status byte, text, end marker.
inline constexpr unsigned char status_success = 0;
inline constexpr unsigned char status_failure = 1;
inline constexpr unsigned char end_marker = 0x04;

// The daemon reads one request of at most this many bytes.
inline constexpr size_t max_request_bytes = 2047;
// A receive buffer: at most max_request_bytes and the NUL put behind them.
inline constexpr size_t receive_buffer_bytes = 2048;

// sun_path as FreeBSD lays out sockaddr_un. Linux has room for more, but a
// path must mean the same on both systems, so the smaller bound holds here.
inline constexpr size_t sun_path_bound = 104;

// Fills *addr (zeroed first) with AF_UNIX and path. Returns the address
// length to hand to bind or connect (the path's length plus 2), or 0 when the
// path has sun_path_bound bytes or more; such a path is never truncated.
socklen_t make_socket_address(const char* path, sockaddr_un* addr);

// A request split into its command word and argument. Both point into the
// text handed to split_request and live as long as it; null when absent.
struct request_fields {
  const char* command = nullptr;
  const char* argument = nullptr;
};

// Splits a NUL-terminated request in place at ':' (the text is modified):
// empty fields are skipped, the first non-empty field is the command word,
// the second the argument, and everything after the colon that ends the
// argument is ignored. "enable::ntpd" and ":enable:ntpd:x" both give
// {"enable", "ntpd"}; ":" gives no command word.
request_fields split_request(char* text);

}  // namespace kelv

#endif  // KELV_COMMON_PROTOCOL_H_
