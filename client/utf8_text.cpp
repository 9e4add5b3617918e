#include "client/utf8_text.h"

namespace kelv {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD

// The bytes of the character at the start of s (s not empty) and whether it
// is well formed; when not, the bytes are the maximal ill-formed subpart.
struct utf8_step {
  size_t bytes;
  bool valid;
};

utf8_step step(std::string_view s) {
  unsigned char lead = s[0];
  if (lead < 0x80) return {1, true};
  // Continuation bytes still wanted, and the range the first one must lie
  // in (narrowed to rule out overlong forms, surrogates and > U+10FFFF).
  size_t wanted;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    wanted = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    wanted = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    wanted = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};
  }
  size_t taken = 1;
  while (taken <= wanted && taken < s.size()) {
    unsigned char c = s[taken];
    if (c < low || c > high) break;
    ++taken;
    low = 0x80;
    high = 0xBF;
  }
  return {taken, taken == wanted + 1};
}

}  // namespace

std::string make_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    utf8_step s = step(bytes);
    if (s.valid) {
      out.append(bytes.substr(0, s.bytes));
    } else {
      out.append(replacement);
    }
    bytes.remove_prefix(s.bytes);
  }
  return out;
}

size_t utf8_length(std::string_view bytes) {
  size_t length = 0;
  for (; !bytes.empty(); ++length) bytes.remove_prefix(step(bytes).bytes);
  return length;
}

}  // namespace kelv
