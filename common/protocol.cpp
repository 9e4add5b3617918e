#include "common/protocol.h"

#include <string.h>

namespace kelv {

socklen_t make_socket_address(const char* path, sockaddr_un* addr) {
  memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  size_t length = strlen(path);
  if (length >= sun_path_bound) return 0;
  static_assert(sizeof(addr->sun_path) >= sun_path_bound);
  memcpy(addr->sun_path, path, length + 1);
  return static_cast<socklen_t>(length + 2);
}

request_fields split_request(char* text) {
  char* rest = text;
  char* slots[2] = {nullptr, nullptr};
  int slot = 0;
  slots[slot] = strsep(&rest, ":");
  while (slots[slot] != nullptr) {
    if (slots[slot][0] == '\0') {
      slots[slot] = strsep(&rest, ":");
      continue;
    }
    if (slot == 1) break;
    slot = 1;
    slots[slot] = strsep(&rest, ":");
  }
  return {slots[0], slots[1]};
}

}  // namespace kelv
