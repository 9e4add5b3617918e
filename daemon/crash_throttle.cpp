#include "daemon/crash_throttle.h"

#include <stdint.h>

#include "daemon/system_env.h"

namespace kelv {
namespace {

constexpr int64_t ns_per_second = 1000000000;

int64_t nanoseconds(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * ns_per_second + t.tv_nsec;
}

}  // namespace

void note_own_start(crash_throttle& throttle) {
  throttle.start_known = current_env().monotonic_now(&throttle.started) == 0;
}

bool note_death(crash_throttle& throttle, bool crash) {
  bool quick = false;
  if (crash && throttle.start_known) {
    timespec now;
    if (current_env().monotonic_now(&now) == 0) {
      quick = nanoseconds(now) - nanoseconds(throttle.started) <
              int64_t{quick_death_seconds} * ns_per_second;
    }
  }
  throttle.start_known = false;
  if (!quick) {
    throttle.quick_deaths = 0;
    return false;
  }
  ++throttle.quick_deaths;
  return throttle.quick_deaths > quick_deaths_restarted;
}

}  // namespace kelv
