// The detailed status exchange between kelv and kelvctl: what the daemon is
// doing with each service. kelvctl sends the request word command_detail
// the way it sends "status"; the reply is one ordinary frame (status byte 0,
// text, end marker) whose text is, line by line, each line ended by "\n":
//
//   kelv-detail 1
//   kelv_pid PID
//   service STATE SINCE EXITS RESTARTS FAILED LAST_TIME LAST_CAUSE
//           RETRIES_LEFT NEXT_RETRY PIDS NAME          (one line, wrapped here)
//   ...                        one service line per registered service, in
//                              the daemon's list order (the order of status)
//   end COUNT                  COUNT = the number of service lines
//
// Fields are separated by one space. STATE is a word of service_state_word.
// SINCE: epoch seconds when the service entered its state. EXITS: exit events
// seen; RESTARTS: restart commands kelv ran; FAILED: those that failed.
// LAST_TIME: epoch seconds of the last exit, or "-". LAST_CAUSE: "signal:N",
// "status:N", or "-" exactly when LAST_TIME is "-". RETRIES_LEFT and
// NEXT_RETRY (epoch seconds): numbers when queued, else "-". PIDS: PIDs
// joined by commas, or "-". NAME: every byte after the space that follows
// PIDS up to the newline, as registered; it holds no control byte.
//
// A daemon that does not know the request word closes the connection without
// a byte. Constants and constexpr functions only; safe from any thread.
#ifndef KELV_COMMON_DETAIL_FORMAT_H_
#define KELV_COMMON_DETAIL_FORMAT_H_

#include <string_view>

namespace kelv {

inline constexpr const char command_detail[] = "detail";

// First line: the version word and the version of the format.
inline constexpr const char detail_version_word[] = "kelv-detail";
inline constexpr int detail_version = 1;

inline constexpr const char detail_pid_word[] = "kelv_pid";
inline constexpr const char detail_service_word[] = "service";
inline constexpr const char detail_end_word[] = "end";

// An absent value, and the prefixes of LAST_CAUSE.
inline constexpr const char detail_none[] = "-";
inline constexpr const char detail_cause_signal[] = "signal:";
inline constexpr const char detail_cause_status[] = "status:";

// What kelv is doing with a registered service.
enum class service_state {
  running,     // watched, with at least one live PID
  no_pid,      // watched, but no PID could be learned
  restarting,  // a restart command of kelv's runs
  waiting,     // its process ended; kelv gives an outside hand time
  queued,      // in the retry queue
  given_up,    // retries exhausted or not queued: registered, not watched
};

// Every state, in the order above (the order views list them in).
inline constexpr service_state all_service_states[] = {
    service_state::running, service_state::no_pid, service_state::restarting,
    service_state::waiting, service_state::queued, service_state::given_up};

// The state's word on the wire and in the views.
constexpr const char* service_state_word(service_state state) {
  switch (state) {
    case service_state::running:
      return "running";
    case service_state::no_pid:
      return "no-pid";
    case service_state::restarting:
      return "restarting";
    case service_state::waiting:
      return "waiting";
    case service_state::queued:
      return "queued";
    case service_state::given_up:
      return "given-up";
  }
  return "";
}

// Sets *state to the state whose word is word and returns true; returns
// false (and leaves *state) for any other word.
constexpr bool parse_service_state(std::string_view word,
                                   service_state* state) {
  for (service_state s : all_service_states) {
    if (word == service_state_word(s)) {
      *state = s;
      return true;
    }
  }
  return false;
}

}  // namespace kelv

#endif  // KELV_COMMON_DETAIL_FORMAT_H_
