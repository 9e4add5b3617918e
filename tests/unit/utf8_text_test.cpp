#include "client/utf8_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kelv {
namespace {

constexpr const char bad[] = "\xEF\xBF\xBD";  // U+FFFD

struct repair_case {
  std::string in;
  std::string out;
  size_t length;
};

// Each maximal ill-formed subpart becomes one U+FFFD, as Python's
// decode("utf-8", "replace") has it.
TEST(Utf8TextTest, ReplacesEachMaximalIllFormedSubpart) {
  const std::string b = bad;
  const repair_case cases[] = {
      {"", "", 0},
      {"plain", "plain", 5},
      {"n\xC3\xA4me", "n\xC3\xA4me", 4},            // 2 bytes
      {"\xE2\x82\xAC", "\xE2\x82\xAC", 1},          // 3 bytes
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", 1},  // 4 bytes
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", 1},  // U+10FFFF
      {"\x7F", "\x7F", 1},
      {"a\xFF"
       "b",
       "a" + b + "b", 3},
      {"\x80", b, 1},                          // lone continuation
      {"\xC0\xAF", b + b, 2},                  // overlong '/'
      {"\xE0\x80\x80", b + b + b, 3},          // overlong 3 bytes
      {"\xF0\x80\x80\x80", b + b + b + b, 4},  // overlong 4 bytes
      {"\xED\xA0\x80", b + b + b, 3},          // surrogate
      {"\xF4\x90\x80\x80", b + b + b + b, 4},  // past U+10FFFF
      {"\xF5\x80", b + b, 2},
      {"\xE2\x82", b, 1},  // cut short at the end
      {"\xE2\x82"
       "A",
       b + "A", 2},
      {"\xF0\x9F\x98", b, 1},
      {"\xE1\x80\xE2\x82\xAC", b + "\xE2\x82\xAC", 2},
  };
  for (const repair_case& c : cases) {
    EXPECT_EQ(c.out, make_valid_utf8(c.in)) << testing::PrintToString(c.in);
    EXPECT_EQ(c.length, utf8_length(c.in)) << testing::PrintToString(c.in);
  }
}

}  // namespace
}  // namespace kelv
