// The reply to "status": kelv's PID and every watched service with its PIDs.
#ifndef KELV_DAEMON_STATUS_LISTING_H_
#define KELV_DAEMON_STATUS_LISTING_H_

#include <string>

#include "daemon/monitor_state.h"

namespace kelv {

// The whole reply frame: status byte 0, the listing, the end marker. A
// service with no known PID has no row. REQUIRES: state.lock held.
std::string format_status(monitor_state& state);

}  // namespace kelv

#endif  // KELV_DAEMON_STATUS_LISTING_H_
