// The three views of kelvctl status -l, -j and -m: a table for people, one
// JSON document, and the metrics text exposition format 0.0.4. Each is a
// pure function of a parsed detailed status (detail_reply.h) and, for the
// table, the current time, so that tests compare whole outputs. Safe from
// any thread.
#ifndef KELV_CLIENT_STATUS_VIEWS_H_
#define KELV_CLIENT_STATUS_VIEWS_H_

#include <stdint.h>

#include <string>
#include <string_view>

#include "client/detail_reply.h"

namespace kelv {

enum class status_view {
  table,    // -l
  json,     // -j
  metrics,  // -m
};

// Sets *view to the view the option word ("-l", "-j" or "-m") asks for and
// returns true; returns false for any other word.
bool parse_status_view(std::string_view word, status_view* view);

// "The kelv pid is N." and a table with one row per service: SERVICE, STATE,
// PIDS, RESTARTS, LAST EXIT, IN STATE. Times are shown relative to now
// (epoch seconds); a time after now counts as now. Names are written as
// their bytes; the name column is as wide as the longest name in characters.
std::string render_table(const detailed_status& status, int64_t now);

// {"kelv_pid": N, "services": [...]}: one object per service, in order, with
// name, jail (the JAIL of NAME@JAIL, null on the host), state, pids, since,
// exits, restarts, failed_restarts, last_exit (null or {"time": T,
// "signal"|"status": N}), retries_left and next_retry (null unless queued).
// Names are made valid UTF-8 (make_valid_utf8), then escaped as JSON requires.
std::string render_json(const detailed_status& status);

// The metric families kelv_services, kelv_service_up, kelv_service_state
// (one series per state word), kelv_service_exits_total,
// kelv_service_restarts_total, kelv_service_failed_restarts_total and
// kelv_service_last_exit_timestamp_seconds (only services that have exited),
// each with # HELP and # TYPE. A service's series carry the label service
// (the full name) and, for NAME@JAIL, jail. Label values are made valid UTF-8,
// then backslash, double quote and newline are escaped.
std::string render_metrics(const detailed_status& status);

// The view asked for; now as for render_table.
std::string render_status_view(status_view view, const detailed_status& status,
                               int64_t now);

// A span of seconds as the table shows it: "3s", "5m12s", "2h05m",
// "4d03h". Negative spans count as 0s.
std::string format_duration(int64_t seconds);

// The name of the platform's signal number (e.g. "SIGSEGV"), or null when
// the table has none.
const char* signal_name(int64_t number);

}  // namespace kelv

#endif  // KELV_CLIENT_STATUS_VIEWS_H_
