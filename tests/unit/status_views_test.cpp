#include "client/status_views.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

namespace kelv {
namespace {

constexpr int64_t now = 1000000;
const std::string weird = "we\"ird\\ n\xC3\xA4me";  // quote, backslash, UTF-8
const std::string invalid = "bad\xFF";

service_detail make_service(std::string name, service_state state,
                            int64_t since) {
  service_detail s;
  s.name = std::move(name);
  s.state = state;
  s.since = since;
  return s;
}

// One service of each kind the views tell apart.
detailed_status sample() {
  detailed_status status;
  status.kelv_pid = 812;
  service_detail ntpd = make_service("ntpd", service_state::running, now - 3);
  ntpd.pids = {915};
  service_detail queued = make_service(weird, service_state::queued, now - 312);
  queued.exits = 4;
  queued.restarts = 3;
  queued.failed_restarts = 1;
  queued.last_exit =
      exit_record{.time = now - 300, .by_signal = true, .value = 11};
  queued.retry = retry_plan{.retries_left = 2, .next_retry = now + 30};
  service_detail gone =
      make_service(invalid, service_state::given_up, now - 7500);
  gone.exits = gone.restarts = gone.failed_restarts = 5;
  gone.last_exit =
      exit_record{.time = now - 12, .by_signal = false, .value = 3};
  service_detail httpd = make_service("httpd", service_state::running,
                                      now - (4 * 86400 + 3 * 3600 + 59 * 60));
  httpd.pids = {100, 101};
  // Clocks disagree: a time after now counts as now.
  service_detail sshd = make_service("sshd", service_state::no_pid, now + 10);
  sshd.exits = 1;
  sshd.last_exit =
      exit_record{.time = now - 86400, .by_signal = false, .value = 0};
  status.services = {ntpd, queued, gone, httpd, sshd};
  return status;
}

detailed_status one_service(const std::string& name) {
  detailed_status status;
  status.kelv_pid = 1;
  status.services = {make_service(name, service_state::running, now)};
  return status;
}

TEST(StatusViewsTest, TableLinesUpColumnsByCharacters) {
  // The rows line up as the output does.
  // clang-format off
  const std::string expected =
      "The kelv pid is 812.\n"
      "SERVICE       STATE     PIDS     RESTARTS      LAST EXIT                       IN STATE\n"
      "ntpd          running   915      0             -                               3s\n"
      "we\"ird\\ n\xC3\xA4me  queued    -        3 (1 failed)  signal 11 (SIGSEGV), 5m00s ago  5m12s\n"
      "bad\xFF          given-up  -        5 (5 failed)  exit 3, 12s ago                 2h05m\n"
      "httpd         running   100,101  0             -                               4d03h\n"
      "sshd          no-pid    -        0             exit 0, 1d00h ago               0s\n";
  // clang-format on
  EXPECT_EQ(expected, render_table(sample(), now));
}

TEST(StatusViewsTest, TableWithoutServicesHasItsHeader) {
  detailed_status empty;
  empty.kelv_pid = 7;
  EXPECT_EQ(
      "The kelv pid is 7.\n"
      "SERVICE  STATE  PIDS  RESTARTS  LAST EXIT  IN STATE\n",
      render_table(empty, now));
}

TEST(StatusViewsTest, DurationsKeepTwoUnits) {
  const std::pair<int64_t, const char*> cases[] = {
      {-5, "0s"},
      {0, "0s"},
      {59, "59s"},
      {60, "1m00s"},
      {312, "5m12s"},
      {3599, "59m59s"},
      {3600, "1h00m"},
      {7500, "2h05m"},
      {86399, "23h59m"},
      {86400, "1d00h"},
      {4 * 86400 + 3 * 3600 + 3599, "4d03h"},
      {400 * 86400, "400d00h"},
  };
  for (const auto& [seconds, text] : cases)
    EXPECT_EQ(text, format_duration(seconds)) << seconds;
}

TEST(StatusViewsTest, SignalNamesAreThePlatformsOwn) {
  EXPECT_STREQ("SIGSEGV", signal_name(SIGSEGV));
  EXPECT_STREQ("SIGKILL", signal_name(SIGKILL));
  EXPECT_STREQ("SIGUSR2", signal_name(SIGUSR2));
  EXPECT_STREQ("SIGWINCH", signal_name(SIGWINCH));
  EXPECT_EQ(nullptr, signal_name(0));
  EXPECT_EQ(nullptr, signal_name(1000));
}

TEST(StatusViewsTest, JsonHoldsEveryMember) {
  EXPECT_EQ(
      "{\"kelv_pid\": 812, \"services\": [\n"
      "  {\"name\": \"ntpd\", \"jail\": null, \"state\": \"running\", "
      "\"pids\": [915], "
      "\"since\": 999997, \"exits\": 0, \"restarts\": 0, "
      "\"failed_restarts\": 0, \"last_exit\": null, \"retries_left\": null, "
      "\"next_retry\": null},\n"
      "  {\"name\": \"we\\\"ird\\\\ n\xC3\xA4me\", \"jail\": null, "
      "\"state\": \"queued\", "
      "\"pids\": [], \"since\": 999688, \"exits\": 4, \"restarts\": 3, "
      "\"failed_restarts\": 1, \"last_exit\": {\"time\": 999700, "
      "\"signal\": 11}, \"retries_left\": 2, \"next_retry\": 1000030},\n"
      "  {\"name\": \"bad\xEF\xBF\xBD\", \"jail\": null, \"state\": "
      "\"given-up\", "
      "\"pids\": [], \"since\": 992500, \"exits\": 5, \"restarts\": 5, "
      "\"failed_restarts\": 5, \"last_exit\": {\"time\": 999988, "
      "\"status\": 3}, \"retries_left\": null, \"next_retry\": null},\n"
      "  {\"name\": \"httpd\", \"jail\": null, \"state\": \"running\", "
      "\"pids\": [100, 101], "
      "\"since\": 640060, \"exits\": 0, \"restarts\": 0, "
      "\"failed_restarts\": 0, \"last_exit\": null, \"retries_left\": null, "
      "\"next_retry\": null},\n"
      "  {\"name\": \"sshd\", \"jail\": null, \"state\": \"no-pid\", \"pids\": "
      "[], "
      "\"since\": 1000010, \"exits\": 1, \"restarts\": 0, "
      "\"failed_restarts\": 0, \"last_exit\": {\"time\": 913600, "
      "\"status\": 0}, \"retries_left\": null, \"next_retry\": null}\n"
      "]}\n",
      render_json(sample()));
  detailed_status empty;
  empty.kelv_pid = 7;
  EXPECT_EQ("{\"kelv_pid\": 7, \"services\": []}\n", render_json(empty));
}

TEST(StatusViewsTest, MetricsHaveEveryFamilyAndSeries) {
  detailed_status status = sample();
  status.services.resize(2);
  EXPECT_EQ(
      "# HELP kelv_services Services registered with kelv.\n"
      "# TYPE kelv_services gauge\n"
      "kelv_services 2\n"
      "# HELP kelv_service_up 1 when kelv watches a live process of the "
      "service, else 0.\n"
      "# TYPE kelv_service_up gauge\n"
      "kelv_service_up{service=\"ntpd\"} 1\n"
      "kelv_service_up{service=\"we\\\"ird\\\\ n\xC3\xA4me\"} 0\n"
      "# HELP kelv_service_state What kelv is doing with the service: 1 for "
      "its current state, 0 for the others.\n"
      "# TYPE kelv_service_state gauge\n"
      "kelv_service_state{service=\"ntpd\",state=\"running\"} 1\n"
      "kelv_service_state{service=\"ntpd\",state=\"no-pid\"} 0\n"
      "kelv_service_state{service=\"ntpd\",state=\"restarting\"} 0\n"
      "kelv_service_state{service=\"ntpd\",state=\"waiting\"} 0\n"
      "kelv_service_state{service=\"ntpd\",state=\"queued\"} 0\n"
      "kelv_service_state{service=\"ntpd\",state=\"given-up\"} 0\n"
      "kelv_service_state{service=\"we\\\"ird\\\\ n\xC3\xA4me\","
      "state=\"running\"} 0\n"
      "kelv_service_state{service=\"we\\\"ird\\\\ n\xC3\xA4me\","
      "state=\"no-pid\"} 0\n"
      "kelv_service_state{service=\"we\\\"ird\\\\ n\xC3\xA4me\","
      "state=\"restarting\"} 0\n"
      "kelv_service_state{service=\"we\\\"ird\\\\ n\xC3\xA4me\","
      "state=\"waiting\"} 0\n"
      "kelv_service_state{service=\"we\\\"ird\\\\ n\xC3\xA4me\","
      "state=\"queued\"} 1\n"
      "kelv_service_state{service=\"we\\\"ird\\\\ n\xC3\xA4me\","
      "state=\"given-up\"} 0\n"
      "# HELP kelv_service_exits_total Exits of the service's processes "
      "that kelv saw.\n"
      "# TYPE kelv_service_exits_total counter\n"
      "kelv_service_exits_total{service=\"ntpd\"} 0\n"
      "kelv_service_exits_total{service=\"we\\\"ird\\\\ n\xC3\xA4me\"} 4\n"
      "# HELP kelv_service_restarts_total Restart commands kelv ran for the "
      "service.\n"
      "# TYPE kelv_service_restarts_total counter\n"
      "kelv_service_restarts_total{service=\"ntpd\"} 0\n"
      "kelv_service_restarts_total{service=\"we\\\"ird\\\\ n\xC3\xA4me\"} 3\n"
      "# HELP kelv_service_failed_restarts_total Restart commands kelv ran "
      "for the service that failed.\n"
      "# TYPE kelv_service_failed_restarts_total counter\n"
      "kelv_service_failed_restarts_total{service=\"ntpd\"} 0\n"
      "kelv_service_failed_restarts_total{service=\"we\\\"ird\\\\ "
      "n\xC3\xA4me\"} 1\n"
      "# HELP kelv_service_last_exit_timestamp_seconds When a process of the "
      "service last exited, in seconds since the epoch.\n"
      "# TYPE kelv_service_last_exit_timestamp_seconds gauge\n"
      "kelv_service_last_exit_timestamp_seconds{service=\"we\\\"ird\\\\ "
      "n\xC3\xA4me\"} 999700\n",
      render_metrics(status));
}

struct escape_case {
  std::string name;
  std::string json;   // the JSON string, quotes included
  std::string label;  // the label value, without its quotes
};

// Names in the views that promise UTF-8: escaped as each format requires,
// bytes that are not UTF-8 as U+FFFD.
TEST(StatusViewsTest, NamesAreEscapedForJsonAndLabels) {
  const escape_case cases[] = {
      {"plain", "\"plain\"", "plain"},
      {"a\"b", "\"a\\\"b\"", "a\\\"b"},
      {"a\\b", "\"a\\\\b\"", "a\\\\b"},
      {"a\nb", "\"a\\nb\"", "a\\nb"},
      {"a\x01"
       "b\x1f",
       "\"a\\u0001b\\u001f\"",
       "a\x01"
       "b\x1f"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"",
       "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"bad\xFF", "\"bad\xEF\xBF\xBD\"", "bad\xEF\xBF\xBD"},
      {"cut\xE2\x82", "\"cut\xEF\xBF\xBD\"", "cut\xEF\xBF\xBD"},
  };
  for (const escape_case& c : cases) {
    std::string json = render_json(one_service(c.name));
    EXPECT_NE(std::string::npos,
              json.find("{\"name\": " + c.json + ", \"jail\": null, "))
        << json;
    std::string metrics = render_metrics(one_service(c.name));
    EXPECT_NE(std::string::npos, metrics.find("\nkelv_service_up{service=\"" +
                                              c.label + "\"} 1\n"))
        << metrics;
  }
}

// NAME@JAIL is listed under its full name; the JSON view adds the jail, the
// metrics a jail label on every series of the service. Host services keep
// their series as they were.
TEST(StatusViewsTest, JailedServicesShowTheirJail) {
  const struct {
    std::string name;
    std::string json_jail;  // the member's value
    std::string labels;     // of kelv_service_up, without the braces
  } cases[] = {
      {"nginx@web1", "\"web1\"", "service=\"nginx@web1\",jail=\"web1\""},
      {"a@b@12", "\"12\"", "service=\"a@b@12\",jail=\"12\""},
      {"db@we\"b\xFF", "\"we\\\"b\xEF\xBF\xBD\"",
       "service=\"db@we\\\"b\xEF\xBF\xBD\",jail=\"we\\\"b\xEF\xBF\xBD\""},
      {"ntpd", "null", "service=\"ntpd\""},
  };
  for (const auto& c : cases) {
    detailed_status status = one_service(c.name);
    status.services[0].last_exit =
        exit_record{.time = now, .by_signal = true, .value = 11};
    std::string json = render_json(status);
    EXPECT_NE(std::string::npos,
              json.find("\", \"jail\": " + c.json_jail + ", \"state\": "))
        << json;
    // Every series of the service carries the same labels.
    std::string metrics = render_metrics(status);
    for (const char* family :
         {"kelv_service_up", "kelv_service_exits_total",
          "kelv_service_restarts_total", "kelv_service_failed_restarts_total",
          "kelv_service_last_exit_timestamp_seconds"}) {
      EXPECT_NE(std::string::npos, metrics.find(std::string("\n") + family +
                                                "{" + c.labels + "} "))
          << family << "\n"
          << metrics;
    }
    EXPECT_NE(std::string::npos,
              metrics.find("\nkelv_service_state{" + c.labels +
                           ",state=\"running\"} 1\n"))
        << metrics;
  }
  EXPECT_NE(std::string::npos,
            render_table(one_service("nginx@web1"), now).find("\nnginx@web1 "));
}

}  // namespace
}  // namespace kelv
