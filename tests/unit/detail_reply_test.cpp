#include "client/detail_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace kelv {
namespace {

const std::string head = "kelv-detail 1\nkelv_pid 812\n";

// A comparable one-line summary of each service, "|"-separated.
std::string describe(const detailed_status& status) {
  std::string out = "pid " + std::to_string(status.kelv_pid);
  for (const service_detail& s : status.services) {
    out += "|[" + s.name + "] " + service_state_word(s.state) + " since " +
           std::to_string(s.since) + " exits " + std::to_string(s.exits) +
           " restarts " + std::to_string(s.restarts) + "/" +
           std::to_string(s.failed_restarts);
    if (s.last_exit) {
      out += " last " + std::to_string(s.last_exit->time) +
             (s.last_exit->by_signal ? " signal " : " status ") +
             std::to_string(s.last_exit->value);
    }
    if (s.retry) {
      out += " retry " + std::to_string(s.retry->retries_left) + " at " +
             std::to_string(s.retry->next_retry);
    }
    out += " pids";
    for (int64_t pid : s.pids) out += " " + std::to_string(pid);
  }
  return out;
}

// The summary, or "error: ..." when the text is refused.
std::string parse(const std::string& text) {
  detailed_status status;
  std::string error;
  if (!parse_detailed_status(text, &status, &error)) return "error: " + error;
  return describe(status);
}

struct parse_case {
  std::string text;
  std::string expected;
};

TEST(DetailReplyTest, ReadsWellFormedReplies) {
  const parse_case cases[] = {
      {head + "end 0\n", "pid 812"},
      {head + "service running 1000 0 0 0 - - - - 915 ntpd\n"
              "service queued 900 4 3 1 990 signal:11 2 1030 - b\n"
              "service given-up 800 5 5 5 950 status:3 - - - c\n"
              "service no-pid 700 0 0 0 - - - - - d\n"
              "service restarting 600 1 1 0 650 status:0 - - 7,8,9 e\n"
              "service waiting 500 1 0 0 550 signal:9 - - - f\n"
              "end 6\n",
       "pid 812"
       "|[ntpd] running since 1000 exits 0 restarts 0/0 pids 915"
       "|[b] queued since 900 exits 4 restarts 3/1 last 990 signal 11 "
       "retry 2 at 1030 pids"
       "|[c] given-up since 800 exits 5 restarts 5/5 last 950 status 3 pids"
       "|[d] no-pid since 700 exits 0 restarts 0/0 pids"
       "|[e] restarting since 600 exits 1 restarts 1/0 last 650 status 0 "
       "pids 7 8 9"
       "|[f] waiting since 500 exits 1 restarts 0/0 last 550 signal 9 pids"},
      // The name is every byte after the space behind PIDS.
      {head + "service running 1 0 0 0 - - - - 1  two  spaces \n"
              "service running 1 0 0 0 - - - - 2 q\"b\\s\xC3\xA4\xFF\x7F\n"
              "service running 1 0 0 0 - - - - 3 \n"
              "end 3\n",
       "pid 812"
       "|[ two  spaces ] running since 1 exits 0 restarts 0/0 pids 1"
       "|[q\"b\\s\xC3\xA4\xFF\x7F] running since 1 exits 0 restarts 0/0 "
       "pids 2"
       "|[] running since 1 exits 0 restarts 0/0 pids 3"},
      {head + "service running 9223372036854775807 0 0 0 - - - - 1 big\n"
              "end 1\n",
       "pid 812|[big] running since 9223372036854775807 exits 0 "
       "restarts 0/0 pids 1"},
  };
  for (const parse_case& c : cases)
    EXPECT_EQ(c.expected, parse(c.text)) << c.text;
}

TEST(DetailReplyTest, RefusesMalformedReplies) {
  const std::string ok = "service running 1 0 0 0 - - - - 1 a\n";
  const parse_case cases[] = {
      {"", "error: not a detailed status"},
      {"The kelv pid is 42.\nprocess name  pid\n",
       "error: not a detailed status"},
      {"kelv-detail 1", "error: not a detailed status"},
      {"kelv-detail 2\nkelv_pid 812\nend 0\n",
       "error: version 2, this kelvctl reads 1"},
      {"kelv-detail x\n", "error: line 1: bad version"},
      {"kelv-detail 1 \nkelv_pid 812\nend 0\n", "error: line 1: bad version"},
      {"kelv-detail 1\nend 0\n", "error: line 2: bad kelv_pid line"},
      {"kelv-detail 1\nkelv_pid 0\nend 0\n",
       "error: line 2: bad kelv_pid line"},
      {"kelv-detail 1\nkelv_pid -3\nend 0\n",
       "error: line 2: bad kelv_pid line"},
      {head + "service sleeping 1 0 0 0 - - - - 1 a\nend 1\n",
       "error: line 3: unknown state"},
      {head + "service Running 1 0 0 0 - - - - 1 a\nend 1\n",
       "error: line 3: unknown state"},
      {head + "service running 1 0 0 0 - - - - 1\nend 1\n",
       "error: line 3: too few fields"},
      {head + "service running 1 0 0 0 - - -  - 1 a\nend 1\n",
       "error: line 3: too few fields"},
      {head + "service running +1 0 0 0 - - - - 1 a\nend 1\n",
       "error: line 3: bad time of the state"},
      {head + "service running 9223372036854775808 0 0 0 - - - - 1 a\nend 1\n",
       "error: line 3: bad time of the state"},
      {head + "service running 1 0 -1 0 - - - - 1 a\nend 1\n",
       "error: line 3: bad count"},
      {head + "service running 1 0 0 0x1 - - - - 1 a\nend 1\n",
       "error: line 3: bad count"},
      {head + "service running 1 0 0 0 5 - - - 1 a\nend 1\n",
       "error: line 3: bad last exit"},
      {head + "service running 1 0 0 0 - signal:9 - - 1 a\nend 1\n",
       "error: line 3: bad last exit"},
      {head + "service running 1 0 0 0 5 exit:3 - - 1 a\nend 1\n",
       "error: line 3: bad last exit"},
      {head + "service running 1 0 0 0 5 signal: - - 1 a\nend 1\n",
       "error: line 3: bad last exit"},
      {head + "service queued 1 0 0 0 - - - - - a\nend 1\n",
       "error: line 3: retry fields do not fit the state"},
      {head + "service queued 1 0 0 0 - - 2 - - a\nend 1\n",
       "error: line 3: retry fields do not fit the state"},
      {head + "service running 1 0 0 0 - - 2 30 1 a\nend 1\n",
       "error: line 3: retry fields do not fit the state"},
      {head + "service running 1 0 0 0 - - - - 1,,2 a\nend 1\n",
       "error: line 3: bad PID list"},
      {head + "service running 1 0 0 0 - - - - 1, a\nend 1\n",
       "error: line 3: bad PID list"},
      {head + "service running 1 0 0 0 - - - - 0 a\nend 1\n",
       "error: line 3: bad PID list"},
      {head + "service running 1 0 0 0 - - - - 1 a\tb\nend 1\n",
       "error: line 3: control byte in the name"},
      {head + "service running 1 0 0 0 - - - - 1 a\r\nend 1\n",
       "error: line 3: control byte in the name"},
      {head + ok + "kelv_pid 812\nend 1\n", "error: line 4: unexpected line"},
      {head + ok + "\nend 1\n", "error: line 4: unexpected line"},
      {head + ok + "end 2\n",
       "error: line 4: the count differs from the service lines"},
      {head + ok + "end -1\n", "error: line 4: unexpected line"},
      {head + ok, "error: cut short before the end line"},
      {head + ok + "end 1", "error: cut short before the end line"},
      {head + ok + "end 1\n" + ok, "error: line 5: text after the end line"},
      {head + "end 0\n\n", "error: line 4: text after the end line"},
  };
  for (const parse_case& c : cases)
    EXPECT_EQ(c.expected, parse(c.text)) << c.text;
}

}  // namespace
}  // namespace kelv
