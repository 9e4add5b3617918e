#include "client/detail_reply.h"

#include <charconv>

namespace kelv {
namespace {

constexpr std::string_view none = detail_none;

// Hands out the text's lines without their "\n", counting them from 1.
class line_cursor {
 public:
  explicit line_cursor(std::string_view text) : rest_(text) {}

  // Takes the next line. Returns false at the end of the text and for a last
  // line without its newline (a reply cut short).
  bool next(std::string_view* line) {
    size_t newline = rest_.find('\n');
    if (newline == std::string_view::npos) return false;
    *line = rest_.substr(0, newline);
    rest_.remove_prefix(newline + 1);
    ++number_;
    return true;
  }

  bool at_end() const { return rest_.empty(); }
  int number() const { return number_; }

 private:
  std::string_view rest_;
  int number_ = 0;
};

// Decimal digits only: no sign, no spaces, no overflow.
bool parse_number(std::string_view s, int64_t* out) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && end == s.data() + s.size();
}

// Takes the field up to the next space from *rest, and the space. Fields
// are never empty, so two spaces in a row are an error.
bool take_field(std::string_view* rest, std::string_view* field) {
  size_t space = rest->find(' ');
  if (space == 0 || space == std::string_view::npos) return false;
  *field = rest->substr(0, space);
  rest->remove_prefix(space + 1);
  return true;
}

// "WORD NUMBER" as a whole line.
bool parse_word_and_number(std::string_view line, std::string_view word,
                           int64_t* number) {
  std::string_view field;
  return take_field(&line, &field) && field == word &&
         parse_number(line, number);
}

bool parse_pids(std::string_view s, std::vector<int64_t>* pids) {
  if (s == none) return true;
  for (;;) {
    size_t comma = s.find(',');
    int64_t pid;
    if (!parse_number(s.substr(0, comma), &pid) || pid == 0) return false;
    pids->push_back(pid);
    if (comma == std::string_view::npos) return true;
    s.remove_prefix(comma + 1);
  }
}

bool parse_last_exit(std::string_view time, std::string_view cause,
                     std::optional<exit_record>* out) {
  if (time == none || cause == none) return time == cause;
  exit_record record;
  if (!parse_number(time, &record.time)) return false;
  constexpr std::string_view by_signal = detail_cause_signal;
  constexpr std::string_view by_status = detail_cause_status;
  if (cause.starts_with(by_signal)) {
    record.by_signal = true;
    cause.remove_prefix(by_signal.size());
  } else if (cause.starts_with(by_status)) {
    cause.remove_prefix(by_status.size());
  } else {
    return false;
  }
  if (!parse_number(cause, &record.value)) return false;
  *out = record;
  return true;
}

bool parse_retry(std::string_view left, std::string_view next, bool queued,
                 std::optional<retry_plan>* out) {
  if (!queued) return left == none && next == none;
  retry_plan plan;
  if (!parse_number(left, &plan.retries_left) ||
      !parse_number(next, &plan.next_retry))
    return false;
  *out = plan;
  return true;
}

// Parses the fields after "service "; returns what is wrong, or null.
const char* parse_service(std::string_view rest, service_detail* out) {
  enum {
    state,
    since,
    exits,
    restarts,
    failed,
    last_time,
    last_cause,
    retries_left,
    next_retry,
    pids,
    field_count
  };
  std::string_view f[field_count];
  for (std::string_view& field : f)
    if (!take_field(&rest, &field)) return "too few fields";
  if (!parse_service_state(f[state], &out->state)) return "unknown state";
  if (!parse_number(f[since], &out->since)) return "bad time of the state";
  if (!parse_number(f[exits], &out->exits) ||
      !parse_number(f[restarts], &out->restarts) ||
      !parse_number(f[failed], &out->failed_restarts))
    return "bad count";
  if (!parse_last_exit(f[last_time], f[last_cause], &out->last_exit))
    return "bad last exit";
  if (!parse_retry(f[retries_left], f[next_retry],
                   out->state == service_state::queued, &out->retry))
    return "retry fields do not fit the state";
  if (!parse_pids(f[pids], &out->pids)) return "bad PID list";
  for (unsigned char c : rest)
    if (c < 0x20) return "control byte in the name";
  out->name = rest;
  return nullptr;
}

bool fail(std::string* error, int line, const char* what) {
  *error = "line " + std::to_string(line) + ": " + what;
  return false;
}

}  // namespace

bool parse_detailed_status(std::string_view text, detailed_status* out,
                           std::string* error) {
  line_cursor lines(text);
  std::string_view line;
  std::string_view version_word;
  if (!lines.next(&line) || !take_field(&line, &version_word) ||
      version_word != detail_version_word) {
    *error = "not a detailed status";
    return false;
  }
  int64_t version;
  if (!parse_number(line, &version)) return fail(error, 1, "bad version");
  if (version != detail_version) {
    *error = "version " + std::to_string(version) + ", this kelvctl reads " +
             std::to_string(detail_version);
    return false;
  }
  if (!lines.next(&line) ||
      !parse_word_and_number(line, detail_pid_word, &out->kelv_pid) ||
      out->kelv_pid == 0)
    return fail(error, 2, "bad kelv_pid line");

  out->services.clear();
  for (;;) {
    if (!lines.next(&line)) {
      *error = "cut short before the end line";
      return false;
    }
    std::string_view rest = line;
    std::string_view word;
    int64_t count;
    if (take_field(&rest, &word) && word == detail_service_word) {
      service_detail service;
      const char* wrong = parse_service(rest, &service);
      if (wrong) return fail(error, lines.number(), wrong);
      out->services.push_back(std::move(service));
    } else if (parse_word_and_number(line, detail_end_word, &count)) {
      if (static_cast<uint64_t>(count) != out->services.size())
        return fail(error, lines.number(),
                    "the count differs from the service lines");
      break;
    } else {
      return fail(error, lines.number(), "unexpected line");
    }
  }
  if (!lines.at_end())
    return fail(error, lines.number() + 1, "text after the end line");
  return true;
}

}  // namespace kelv
