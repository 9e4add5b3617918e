#include "client/status_views.h"

#include <signal.h>

#include <algorithm>
#include <array>
#include <vector>

#include "client/utf8_text.h"
#include "common/service_name.h"

namespace kelv {
namespace {

// Keyed by the macros, so that each number is the platform's own. Only the
// signals both Linux and FreeBSD define.
struct named_signal {
  int number;
  const char* name;
};
#define KELV_SIGNAL(name) \
  { name, #name }
constexpr named_signal signal_names[] = {
    KELV_SIGNAL(SIGHUP),    KELV_SIGNAL(SIGINT),  KELV_SIGNAL(SIGQUIT),
    KELV_SIGNAL(SIGILL),    KELV_SIGNAL(SIGTRAP), KELV_SIGNAL(SIGABRT),
    KELV_SIGNAL(SIGFPE),    KELV_SIGNAL(SIGKILL), KELV_SIGNAL(SIGBUS),
    KELV_SIGNAL(SIGSEGV),   KELV_SIGNAL(SIGSYS),  KELV_SIGNAL(SIGPIPE),
    KELV_SIGNAL(SIGALRM),   KELV_SIGNAL(SIGTERM), KELV_SIGNAL(SIGURG),
    KELV_SIGNAL(SIGSTOP),   KELV_SIGNAL(SIGTSTP), KELV_SIGNAL(SIGCONT),
    KELV_SIGNAL(SIGCHLD),   KELV_SIGNAL(SIGTTIN), KELV_SIGNAL(SIGTTOU),
    KELV_SIGNAL(SIGIO),     KELV_SIGNAL(SIGXCPU), KELV_SIGNAL(SIGXFSZ),
    KELV_SIGNAL(SIGVTALRM), KELV_SIGNAL(SIGPROF), KELV_SIGNAL(SIGWINCH),
    KELV_SIGNAL(SIGUSR1),   KELV_SIGNAL(SIGUSR2),
};
#undef KELV_SIGNAL

std::string join_pids(const std::vector<int64_t>& pids, const char* comma) {
  std::string out;
  for (int64_t pid : pids) {
    if (!out.empty()) out += comma;
    out += std::to_string(pid);
  }
  return out;
}

// --- table -----------------------------------------------------------------

constexpr size_t table_columns = 6;
using table_row = std::array<std::string, table_columns>;

std::string describe_last_exit(const std::optional<exit_record>& last,
                               int64_t now) {
  if (!last) return "-";
  std::string out;
  if (last->by_signal) {
    out = "signal " + std::to_string(last->value);
    if (const char* name = signal_name(last->value))
      out = out + " (" + name + ")";
  } else {
    out = "exit " + std::to_string(last->value);
  }
  return out + ", " + format_duration(now - last->time) + " ago";
}

table_row make_row(const service_detail& s, int64_t now) {
  std::string restarts = std::to_string(s.restarts);
  if (s.failed_restarts > 0)
    restarts += " (" + std::to_string(s.failed_restarts) + " failed)";
  return {s.name,
          service_state_word(s.state),
          s.pids.empty() ? "-" : join_pids(s.pids, ","),
          restarts,
          describe_last_exit(s.last_exit, now),
          format_duration(now - s.since)};
}

// --- JSON ------------------------------------------------------------------

std::string json_string(std::string_view bytes) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : make_valid_utf8(bytes)) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xf];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string json_number_or_null(const std::optional<int64_t>& n) {
  return n ? std::to_string(*n) : "null";
}

std::string json_service(const service_detail& s) {
  const service_name_parts parts = split_service_name(s.name);
  std::string out = "{\"name\": " + json_string(s.name);
  out += ", \"jail\": " + (parts.jailed ? json_string(parts.jail) : "null");
  out += ", \"state\": \"";
  out += service_state_word(s.state);
  out += "\", \"pids\": [" + join_pids(s.pids, ", ") + "]";
  out += ", \"since\": " + std::to_string(s.since);
  out += ", \"exits\": " + std::to_string(s.exits);
  out += ", \"restarts\": " + std::to_string(s.restarts);
  out += ", \"failed_restarts\": " + std::to_string(s.failed_restarts);
  out += ", \"last_exit\": ";
  if (s.last_exit) {
    out += "{\"time\": " + std::to_string(s.last_exit->time) + ", \"";
    out += s.last_exit->by_signal ? "signal" : "status";
    out += "\": " + std::to_string(s.last_exit->value) + "}";
  } else {
    out += "null";
  }
  std::optional<int64_t> left, next;
  if (s.retry) {
    left = s.retry->retries_left;
    next = s.retry->next_retry;
  }
  out += ", \"retries_left\": " + json_number_or_null(left);
  out += ", \"next_retry\": " + json_number_or_null(next) + "}";
  return out;
}

// --- metrics ---------------------------------------------------------------

std::string label_value(std::string_view bytes) {
  std::string out;
  for (char c : make_valid_utf8(bytes)) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void add_family(std::string* out, const char* name, const char* type,
                const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name +
          " " + type + "\n";
}

// The labels that name a service: service="NAME", and for a jailed one
// also jail="JAIL" (host services carry no jail label).
std::string service_labels(const service_detail& s) {
  const service_name_parts parts = split_service_name(s.name);
  std::string out = "service=\"" + label_value(s.name) + "\"";
  if (parts.jailed) out += ",jail=\"" + label_value(parts.jail) + "\"";
  return out;
}

// One series per service of the family name, with the value value(s).
template <typename value_of>
void add_series(std::string* out, const detailed_status& status,
                const char* name, value_of value) {
  for (const service_detail& s : status.services) {
    *out += std::string(name) + "{" + service_labels(s) + "} " +
            std::to_string(value(s)) + "\n";
  }
}

}  // namespace

bool parse_status_view(std::string_view word, status_view* view) {
  if (word == "-l") {
    *view = status_view::table;
  } else if (word == "-j") {
    *view = status_view::json;
  } else if (word == "-m") {
    *view = status_view::metrics;
  } else {
    return false;
  }
  return true;
}

std::string render_table(const detailed_status& status, int64_t now) {
  std::vector<table_row> rows = {
      {"SERVICE", "STATE", "PIDS", "RESTARTS", "LAST EXIT", "IN STATE"}};
  for (const service_detail& s : status.services)
    rows.push_back(make_row(s, now));
  // Only names can hold characters of more than one byte.
  std::array<size_t, table_columns> widths{};
  for (const table_row& row : rows) {
    widths[0] = std::max(widths[0], utf8_length(row[0]));
    for (size_t i = 1; i < table_columns; ++i)
      widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out =
      "The kelv pid is " + std::to_string(status.kelv_pid) + ".\n";
  for (const table_row& row : rows) {
    for (size_t i = 0; i + 1 < table_columns; ++i) {
      size_t used = i == 0 ? utf8_length(row[i]) : row[i].size();
      out += row[i];
      out.append(widths[i] - used + 2, ' ');
    }
    out += row[table_columns - 1] + "\n";
  }
  return out;
}

std::string render_json(const detailed_status& status) {
  std::string out =
      "{\"kelv_pid\": " + std::to_string(status.kelv_pid) + ", \"services\": [";
  const char* separator = "\n  ";
  for (const service_detail& s : status.services) {
    out += separator + json_service(s);
    separator = ",\n  ";
  }
  return out + (status.services.empty() ? "]}\n" : "\n]}\n");
}

std::string render_metrics(const detailed_status& status) {
  std::string out;
  add_family(&out, "kelv_services", "gauge", "Services registered with kelv.");
  out += "kelv_services " + std::to_string(status.services.size()) + "\n";
  add_family(&out, "kelv_service_up", "gauge",
             "1 when kelv watches a live process of the service, else 0.");
  add_series(&out, status, "kelv_service_up", [](const service_detail& s) {
    return s.state == service_state::running ? 1 : 0;
  });
  add_family(&out, "kelv_service_state", "gauge",
             "What kelv is doing with the service: 1 for its current state, "
             "0 for the others.");
  for (const service_detail& s : status.services) {
    for (service_state state : all_service_states) {
      out += "kelv_service_state{" + service_labels(s) + ",state=\"" +
             service_state_word(state) + "\"} " +
             (s.state == state ? "1" : "0") + "\n";
    }
  }
  add_family(&out, "kelv_service_exits_total", "counter",
             "Exits of the service's processes that kelv saw.");
  add_series(&out, status, "kelv_service_exits_total",
             [](const service_detail& s) { return s.exits; });
  add_family(&out, "kelv_service_restarts_total", "counter",
             "Restart commands kelv ran for the service.");
  add_series(&out, status, "kelv_service_restarts_total",
             [](const service_detail& s) { return s.restarts; });
  add_family(&out, "kelv_service_failed_restarts_total", "counter",
             "Restart commands kelv ran for the service that failed.");
  add_series(&out, status, "kelv_service_failed_restarts_total",
             [](const service_detail& s) { return s.failed_restarts; });
  add_family(&out, "kelv_service_last_exit_timestamp_seconds", "gauge",
             "When a process of the service last exited, in seconds since "
             "the epoch.");
  for (const service_detail& s : status.services) {
    if (!s.last_exit) continue;
    out += "kelv_service_last_exit_timestamp_seconds{" + service_labels(s) +
           "} " + std::to_string(s.last_exit->time) + "\n";
  }
  return out;
}

std::string render_status_view(status_view view, const detailed_status& status,
                               int64_t now) {
  switch (view) {
    case status_view::table:
      return render_table(status, now);
    case status_view::json:
      return render_json(status);
    case status_view::metrics:
      return render_metrics(status);
  }
  return "";
}

std::string format_duration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  // The larger unit, then the smaller one in two digits.
  auto two_units = [](int64_t big, const char* big_unit, int64_t small,
                      const char* small_unit) {
    std::string out = std::to_string(big) + big_unit;
    if (small < 10) out += "0";
    return out + std::to_string(small) + small_unit;
  };
  if (seconds < 60) return std::to_string(seconds) + "s";
  if (seconds < 3600) return two_units(seconds / 60, "m", seconds % 60, "s");
  if (seconds < 86400)
    return two_units(seconds / 3600, "h", seconds % 3600 / 60, "m");
  return two_units(seconds / 86400, "d", seconds % 86400 / 3600, "h");
}

const char* signal_name(int64_t number) {
  for (const named_signal& s : signal_names)
    if (s.number == number) return s.name;
  return nullptr;
}

}  // namespace kelv
