// What the fuzz targets share: a check that stops the run on a broken
// property (libFuzzer keeps the input that did it), and the check that no
// name `service` would read as an option or a path ever reached rc(8).
#ifndef KELV_TESTS_FUZZ_FUZZ_CHECK_H_
#define KELV_TESTS_FUZZ_FUZZ_CHECK_H_

#include <stdio.h>
#include <stdlib.h>

#include <string>

#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) {                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
              #condition);                                             \
      abort();                                                         \
    }                                                                  \
  } while (0)

namespace kelv {

// Every name handed to the `service` command must be a plain name.
inline void check_plain_name(const std::string& name) {
  FUZZ_CHECK(name.empty() || name[0] != '-');
  FUZZ_CHECK(name.find('/') == std::string::npos);
  for (char c : name) {
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  }
}

}  // namespace kelv

#endif  // KELV_TESTS_FUZZ_FUZZ_CHECK_H_
