// Fuzzes the control requests: their splitting into command word and
// argument, and their handling by the control server over a socket pair.
//
// Input: one byte that picks rc(8)'s behaviour (rc_modes.h), then requests
// separated by NUL bytes (the server reads a request as a C string, so a NUL
// ends one anyway), served in turn on the same registry. "shutdown" would end
// the process and is skipped.
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "client/detail_reply.h"
#include "common/detail_format.h"
#include "common/protocol.h"
#include "common/service_name.h"
#include "daemon/control_server.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/rc_modes.h"
#include "tests/unit/fake_env.h"
#include "tests/unit/serve_on_pair.h"

namespace kelv {
namespace {

constexpr int max_requests = 16;

// Every field split_request returns is a non-empty run of the text without
// a colon.
void check_split(const std::vector<char>& original) {
  std::vector<char> text = original;
  request_fields fields = split_request(text.data());
  const char* begin = text.data();
  const char* end = begin + text.size();
  for (const char* field : {fields.command, fields.argument}) {
    if (field == nullptr) continue;
    FUZZ_CHECK(field >= begin && field < end);
    FUZZ_CHECK(field[0] != '\0');
    FUZZ_CHECK(strchr(field, ':') == nullptr);
  }
  FUZZ_CHECK(fields.command != nullptr || fields.argument == nullptr);
}

std::string command_of(const std::vector<char>& request) {
  std::vector<char> text = request;
  request_fields fields = split_request(text.data());
  return fields.command != nullptr ? fields.command : "";
}

void check_reply(const std::string& command, const std::string& reply) {
  const bool answered = command == command_enable ||
                        command == command_disable ||
                        command == command_status || command == command_detail;
  if (!answered) {
    FUZZ_CHECK(reply.empty());
    return;
  }
  // One whole frame: status byte, text, end marker. No name holds a control
  // byte, so the marker's byte comes only at the end.
  FUZZ_CHECK(reply.size() >= 2);
  FUZZ_CHECK(reply[0] == status_success || reply[0] == status_failure);
  FUZZ_CHECK(static_cast<unsigned char>(reply.back()) == end_marker);
  FUZZ_CHECK(reply.find(static_cast<char>(end_marker)) == reply.size() - 1);
  if (command == command_detail) {
    // What the daemon writes, kelvctl reads.
    detailed_status parsed;
    std::string error;
    FUZZ_CHECK(parse_detailed_status(
        std::string_view(reply).substr(1, reply.size() - 2), &parsed, &error));
  }
}

void check_registry(monitor_state& state) {
  FUZZ_CHECK(pthread_mutex_trylock(&state.lock) == 0);
  std::set<std::string> names;
  for (const auto& entry : state.services) {
    FUZZ_CHECK(!entry->name.empty());
    // Registered only after its probes: through the gate, as a whole.
    FUZZ_CHECK(check_service_name(entry->name) == name_problem::none);
    check_service_words(entry->name, "restart");
    FUZZ_CHECK(names.insert(entry->name).second);
    FUZZ_CHECK(entry->pids.size() <= 1);
  }
  pthread_mutex_unlock(&state.lock);
}

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  if (size == 0) return 0;
  // One queue for the whole run: a fresh one per input costs more than the
  // input, and the watches in it are all on this process.
  static const int kq = kqueue();
  fake_env env;
  scoped_env installed(env);
  script_rc(env, pick_mode(data[0]));

  monitor_state state;
  const char* what = nullptr;
  FUZZ_CHECK(init_monitor_sync(state, &what) == 0);
  state.kq = kq;

  const char* next = reinterpret_cast<const char*>(data) + 1;
  const char* end = reinterpret_cast<const char*>(data) + size;
  for (int served = 0; served < max_requests && next < end; ++served) {
    const char* stop = static_cast<const char*>(memchr(next, '\0', end - next));
    if (stop == nullptr) stop = end;
    // The server reads at most this much of a request.
    size_t length = std::min<size_t>(stop - next, max_request_bytes);
    std::vector<char> request(next, next + length);
    request.push_back('\0');
    next = stop + 1;

    check_split(request);
    const std::string command = command_of(request);
    if (command == command_shutdown) continue;
    check_reply(command, serve_on_pair(state, request.data()));
    check_registry(state);
  }
  state.services.clear();
  pthread_cond_destroy(&state.retry_cond);
  pthread_cond_destroy(&state.startup_cond);
  pthread_mutex_destroy(&state.lock);
  return 0;
}
