// Fuzzes the client's reading of a detailed status reply
// (parse_detailed_status) and the three views of what it accepts.
//
// Input: the reply's text, as the parser gets it.
#include <stdint.h>

#include <string>
#include <string_view>

#include "client/detail_reply.h"
#include "client/status_views.h"
#include "client/utf8_text.h"
#include "tests/fuzz/fuzz_check.h"

namespace kelv {
namespace {

// Valid UTF-8 whose only control byte is the newline: what the JSON and
// metrics views promise, whatever the names held.
void check_clean_text(const std::string& text) {
  FUZZ_CHECK(make_valid_utf8(text) == text);
  for (unsigned char c : text) FUZZ_CHECK(c >= 0x20 || c == '\n');
}

size_t count_lines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  detailed_status status;
  std::string error;
  if (!parse_detailed_status(text, &status, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  for (const service_detail& s : status.services) {
    for (unsigned char c : s.name) FUZZ_CHECK(c >= 0x20);
    FUZZ_CHECK(s.retry.has_value() == (s.state == service_state::queued));
  }
  std::string table = render_table(status, 1700000000);
  FUZZ_CHECK(count_lines(table) == status.services.size() + 2);
  std::string json = render_json(status);
  check_clean_text(json);
  FUZZ_CHECK(count_lines(json) ==
             (status.services.empty() ? 1 : status.services.size() + 2));
  check_clean_text(render_metrics(status));
  return 0;
}
