// What the fuzz targets share: a check that stops the run on a broken
// property (libFuzzer keeps the input that did it), and the checks that no
// name `service` would read as an option or a path ever reached rc(8), and
// that `service` is given no other option than the -j of NAME@JAIL.
#ifndef KELV_TESTS_FUZZ_FUZZ_CHECK_H_
#define KELV_TESTS_FUZZ_FUZZ_CHECK_H_

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "daemon/timed_command.h"

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

// What `service` is given for a command on name: exactly `NAME VERB` with a
// plain NAME, or exactly `-j JAIL NAME VERB` with JAIL and NAME plain and
// not empty, for NAME@JAIL. No other word is ever an option.
inline void check_service_words(const std::string& name,
                                const std::string& verb) {
  const std::vector<std::string> words =
      service_command_words(name, verb.c_str());
  FUZZ_CHECK(words.size() == 3 || words.size() == 5);
  FUZZ_CHECK(words.front() == "service" && words.back() == verb);
  if (words.size() == 3) {
    FUZZ_CHECK(words[1] == name);
    FUZZ_CHECK(name.find('@') == std::string::npos);
    check_plain_name(name);
    return;
  }
  FUZZ_CHECK(words[1] == "-j");
  FUZZ_CHECK(words[3] + "@" + words[2] == name);
  for (const std::string& part : {words[2], words[3]}) {
    FUZZ_CHECK(!part.empty());
    check_plain_name(part);
  }
}

}  // namespace kelv

#endif  // KELV_TESTS_FUZZ_FUZZ_CHECK_H_
