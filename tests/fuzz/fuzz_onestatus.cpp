// Fuzzes the search for a PID in what `service NAME onestatus` prints
// (refresh_pids), and the start that polls for one (start_service).
//
// Input: one byte that picks the command's exit status, then its output,
// used for both "onestatus" and "restart". A few PIDs are live.
#include <stdint.h>

#include <string>

#include "daemon/probes.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/unit/fake_env.h"

namespace kelv {
namespace {

constexpr pid_t live_pids[] = {1, 7, 812, 915, 65535, 2147483647};
constexpr int statuses[] = {0, 0x80, exit_status(1), -1, exit_status(127)};

// At most one PID, one that lives, and one exactly when the result says so
// (a status that is not clean may keep the PID it found).
void check_pids(const service_entry& entry, int result) {
  FUZZ_CHECK(result == -1 || result == 0 || result == 1);
  FUZZ_CHECK(entry.pids.size() <= 1);
  if (result == 0) FUZZ_CHECK(entry.pids.size() == 1);
  if (result == 1) FUZZ_CHECK(entry.pids.empty());
  for (pid_t pid : entry.pids) {
    bool live = false;
    for (pid_t candidate : live_pids) live = live || candidate == pid;
    FUZZ_CHECK(live);
  }
}

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  if (size == 0) return 0;
  const int status = statuses[data[0] % (sizeof statuses / sizeof statuses[0])];
  const std::string output(reinterpret_cast<const char*>(data) + 1, size - 1);

  fake_env env;
  scoped_env installed(env);
  for (pid_t pid : live_pids) env.add_live_pid(pid);
  env.set_default("svc", "onestatus", {output, status});
  env.set_default("svc", "restart", {output, status});

  service_entry entry;
  entry.name = "svc";
  entry.pids = {4242};  // a stale PID: emptied first, whatever follows
  int result = refresh_pids(entry);
  check_pids(entry, result);

  entry.pids.clear();
  result = start_service(entry);
  check_pids(entry, result);
  FUZZ_CHECK(env.command_count("svc", "onestatus") <= 1 + 11);
  return 0;
}
