// Bounds a crash loop. A service whose process is killed by a crash signal
// is restarted at once, but not without end: a crash that comes less than
// quick_death_seconds after kelv's own start or restart of the service
// completed is a quick death, and after quick_deaths_restarted quick deaths
// in a row every further one hands the service to the retry queue instead,
// so a service that never stays up is tried once a retry interval.
//
// One crash_throttle lives in each service record and goes with it: disable
// and enable start a fresh count. It is read and written with the lock held.
#ifndef KELV_DAEMON_CRASH_THROTTLE_H_
#define KELV_DAEMON_CRASH_THROTTLE_H_

#include <time.h>

namespace kelv {

// A crash sooner than this after kelv's own start or restart is quick.
inline constexpr time_t quick_death_seconds = 1;
// Quick deaths in a row that are still restarted at once.
inline constexpr unsigned quick_deaths_restarted = 5;

struct crash_throttle {
  bool start_known = false;   // kelv (re)started it, and `started` says when
  timespec started{};         // CLOCK_MONOTONIC
  unsigned quick_deaths = 0;  // consecutive
};

// Notes that kelv's own start or restart of the service has completed now
// (the process runs and is watched). Without a clock reading no death that
// follows counts as quick.
void note_own_start(crash_throttle& throttle);

// Judges one death of the service's process. A crash (the restart-at-once
// path) that is quick adds one to the run of quick deaths; any other death,
// and a crash whose quickness is unknown (no start noted since the last
// death, or no clock reading), ends the run. The start noted is used up.
// Returns true when this death must go to the retry queue instead of being
// restarted: a quick death beyond the first quick_deaths_restarted in a row.
bool note_death(crash_throttle& throttle, bool crash);

}  // namespace kelv

#endif  // KELV_DAEMON_CRASH_THROTTLE_H_
