// Fuzzes the start-up pass over the configuration file (load_config), with
// the restart waiters it starts run to their end in virtual time.
//
// Input: one byte that picks rc(8)'s behaviour (rc_modes.h), then the file.
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/event.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "daemon/config_loader.h"
#include "daemon/settings.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/rc_modes.h"
#include "tests/unit/fake_env.h"

namespace kelv {
namespace {

constexpr size_t max_line_bytes = 2047;

// The fuzzed file, in a directory of its own under TMPDIR that goes at exit.
class scratch_file {
 public:
  scratch_file() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
        "/kelv-fuzz-config.XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    dir_ = pattern;
    path_ = dir_ + "/kelv.conf";
  }
  ~scratch_file() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  scratch_file(const scratch_file&) = delete;
  scratch_file& operator=(const scratch_file&) = delete;

  void write(const uint8_t* data, size_t size) {
    FILE* file = fopen(path_.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(fclose(file) == 0);
  }
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  if (size == 0) return 0;
  static scratch_file file;
  static const int kq = kqueue();
  file.write(data + 1, size - 1);
  settings().config_path = file.path();

  fake_env env;
  scoped_env installed(env);
  // A name is one line, not a comment: no newline, at most one buffer's
  // worth.
  script_rc(env, pick_mode(data[0]), [](const std::string& name) {
    FUZZ_CHECK(name.find('\n') == std::string::npos);
    FUZZ_CHECK(name.size() <= max_line_bytes);
    FUZZ_CHECK(name.empty() || name[0] != '#');
  });

  monitor_state state;
  const char* what = nullptr;
  FUZZ_CHECK(init_monitor_sync(state, &what) == 0);
  state.kq = kq;
  load_config(state);
  std::vector<std::string> texts = env.log_texts();
  FUZZ_CHECK(!texts.empty() && texts.back() == "Monitoring processes...");
  env.run_threads();

  FUZZ_CHECK(pthread_mutex_trylock(&state.lock) == 0);
  std::set<std::string> names;
  for (const auto& entry : state.services) {
    FUZZ_CHECK(!entry->name.empty());
    FUZZ_CHECK(names.insert(entry->name).second);
  }
  pthread_mutex_unlock(&state.lock);
  state.services.clear();
  pthread_cond_destroy(&state.retry_cond);
  pthread_cond_destroy(&state.startup_cond);
  pthread_mutex_destroy(&state.lock);
  return 0;
}
