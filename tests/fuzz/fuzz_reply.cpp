// Fuzzes the client's reading of a reply (reply_reader), fed in pieces as
// recv would hand them over.
//
// Input: a byte giving the next piece's length (0 counts as 1), then that
// many bytes of the piece (fewer at the end of the input), again and again.
#include <stdint.h>
#include <string.h>

#include <string>

#include "client/kelvctl.h"
#include "common/protocol.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  reply_reader reader;
  std::string text;
  size_t at = 0;
  size_t taken = 0;
  bool first = true;
  bool done = false;
  int expected_result = 1;
  while (!done && at < size) {
    size_t length = data[at] == 0 ? 1 : data[at];
    ++at;
    if (at >= size) break;
    if (length > size - at) length = size - at;
    const char* piece = reinterpret_cast<const char*>(data + at);
    if (first) expected_result = static_cast<signed char>(piece[0]);
    first = false;
    size_t before = text.size();
    done = reader.take(piece, length, &text);
    // The reply ends exactly at a piece that ends with the marker.
    FUZZ_CHECK(done ==
               (static_cast<unsigned char>(piece[length - 1]) == end_marker));
    // A piece adds at most its own bytes, never a NUL.
    FUZZ_CHECK(text.size() - before <= length);
    FUZZ_CHECK(memchr(text.data() + before, '\0', text.size() - before) ==
               nullptr);
    taken += length;
    at += length;
  }
  FUZZ_CHECK(reader.result() == expected_result);
  FUZZ_CHECK(reader.result() >= -128 && reader.result() <= 127);
  FUZZ_CHECK(text.size() <= taken);
  return 0;
}
