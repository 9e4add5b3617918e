// The detailed listing behind `kelvctl status -l|-j|-m`: every registered
// service with its state and counters, in a line format with a version line.
#ifndef KELV_DAEMON_DETAIL_LISTING_H_
#define KELV_DAEMON_DETAIL_LISTING_H_

#include <string>

#include "daemon/monitor_state.h"

namespace kelv {

// The listing's text, without the reply frame:
//   kelv-detail 1
//   kelv_pid PID
//   service STATE SINCE EXITS RESTARTS FAILED LAST_TIME LAST_CAUSE
//           RETRIES_LEFT NEXT_RETRY PIDS NAME      (one line each, list order)
//   end COUNT
// Absent values are "-"; LAST_CAUSE is "signal:N" or "status:N"; PIDS are
// comma-separated; NAME is the rest of the line. REQUIRES: state.lock held.
std::string format_detail(monitor_state& state);

}  // namespace kelv

#endif  // KELV_DAEMON_DETAIL_LISTING_H_
