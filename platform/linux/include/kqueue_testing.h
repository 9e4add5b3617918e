// Test hooks of the Linux kqueue stand-in. Not for the daemon's use.
#ifndef KELV_PLATFORM_KQUEUE_TESTING_H_
#define KELV_PLATFORM_KQUEUE_TESTING_H_

namespace kelv::testing {

// While true, exit statuses are read as if the process-events connector
// could not be opened (our child's from waitid, a zombie's from /proc, any
// other process's as 0). Thread safe.
void ignore_exit_connector(bool ignore);

}  // namespace kelv::testing

#endif  // KELV_PLATFORM_KQUEUE_TESTING_H_
