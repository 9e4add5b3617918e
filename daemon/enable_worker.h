// "enable" requests served on threads of their own: their rc(8) probes may
// take their whole time limit, and meanwhile the control server answers
// other requests. A few run at once; more wait their turn on the server's
// thread.
#ifndef KELV_DAEMON_ENABLE_WORKER_H_
#define KELV_DAEMON_ENABLE_WORKER_H_

#include "common/unique_fd.h"
#include "daemon/monitor_state.h"

namespace kelv {

inline constexpr int max_enable_workers = 8;

// Whether a received request (NUL-terminated) is an "enable".
bool is_enable_request(const char* request);

// Serves request on a detached worker thread that owns client from then on
// and closes it. Returns false, with client still the caller's, when none
// can take it (max_enable_workers run, or no thread could be made).
bool hand_off_enable(monitor_state& state, unique_fd& client,
                     const char* request);

}  // namespace kelv

#endif  // KELV_DAEMON_ENABLE_WORKER_H_
