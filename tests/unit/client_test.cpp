#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/config_update.h"
#include "client/kelvctl.h"

namespace kelv {
namespace {

// --- reply reading ---------------------------------------------------------

struct reply_case {
  const char* what;
  std::vector<std::string> pieces;
  std::string text;  // what reaches standard output
  int result;
  size_t pieces_read;  // how many pieces the reader takes before it stops
};

TEST(ReplyReaderTest, FollowsTheReadingRule) {
  using namespace std::string_literals;
  const reply_case cases[] = {
      {"one piece",
       {"\x00Monitoring service.\n\x04"s},
       "Monitoring service.\n\x04",
       0,
       1},
      {"failure",
       {"\x01Service already registered.\n\x04"s},
       "Service already registered.\n\x04",
       1,
       1},
      {"status byte alone first",
       {"\x00"s, "abc\n"s, "def\n\x04"s, "junk"},
       "abc\ndef\n\x04",
       0,
       3},
      {"end marker alone", {"\x00x\n"s, "\x04"s, "junk"}, "x\n\x04", 0, 2},
      {"status byte 1 is not taken from a later piece",
       {"\x00"s, "\x01y\x04"s},
       "\x01y\x04",
       0,
       2},
      {"stream ends without marker", {"\x00partial"s}, "partial", 0, 1},
      {"nothing came", {}, "", 1, 0},
      {"text of a piece ends at a NUL",
       {"\x00"
        "ab\x00"
        "cd\x04"s},
       "ab",
       0,
       1},
      {"status byte is signed", {"\xff\x04"s}, "\x04", -1, 1},
  };
  for (const reply_case& c : cases) {
    reply_reader reader;
    std::string text;
    size_t taken = 0;
    for (const std::string& piece : c.pieces) {
      ++taken;
      if (reader.take(piece.data(), piece.size(), &text)) break;
    }
    EXPECT_EQ(c.text, text) << c.what;
    EXPECT_EQ(c.result, reader.result()) << c.what;
    EXPECT_EQ(c.pieces_read, taken) << c.what;
  }
}

// --- command line ----------------------------------------------------------

struct parse_outcome {
  int status;
  std::string socket_path;
  bool write_config = false;
  std::vector<std::string> words;
};

parse_outcome parse(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  optreset = 1;
  optind = 1;
  command_line command;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  parse_outcome out;
  out.status =
      parse_command_line(static_cast<int>(args.size()), argv.data(), &command);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  if (command.socket_path) out.socket_path = command.socket_path.get();
  out.write_config = command.write_config;
  out.words.assign(command.words.begin(), command.words.end());
  return out;
}

TEST(CommandLineTest, OptionsStopAtTheCommandWord) {
  parse_outcome out = parse({"kelvctl", "enable", "-w", "a"});
  EXPECT_EQ(-1, out.status);
  EXPECT_FALSE(out.write_config);
  EXPECT_EQ((std::vector<std::string>{"enable", "-w", "a"}), out.words);
  EXPECT_EQ("/var/run/kelv.sock", out.socket_path);

  out = parse({"kelvctl", "-s", "/x", "-w", "-s", "/y", "disable", "b"});
  EXPECT_EQ(-1, out.status);
  EXPECT_TRUE(out.write_config);
  EXPECT_EQ("/y", out.socket_path);
  EXPECT_EQ((std::vector<std::string>{"disable", "b"}), out.words);
}

TEST(CommandLineTest, UsageErrorsAndVersionEndWith64) {
  const std::vector<std::string> cases[] = {
      {"kelvctl"},
      {"kelvctl", "-w"},
      {"kelvctl", "-V", "status"},
      {"kelvctl", "-x", "status"},
      {"kelvctl", "-s"},
  };
  for (const auto& args : cases)
    EXPECT_EQ(64, parse(args).status) << args.back();
}

// --- configuration file update ---------------------------------------------

class ConfigUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kelv_client_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    dir_ = name;
    path_ = dir_ + "/kelv.conf";
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(0, system(command.c_str()));
  }

  void write_file(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
  }
  std::string read_file() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Names in the directory other than the configuration file.
  std::set<std::string> leftovers() {
    std::set<std::string> names;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != ".." && n != "kelv.conf") names.insert(n);
    }
    closedir(d);
    return names;
  }
  // Runs the update and returns what it wrote to standard error.
  std::string update(const char* command, std::vector<std::string> names) {
    testing::internal::CaptureStderr();
    update_config_at(path_, command, names);
    return testing::internal::GetCapturedStderr();
  }

  std::string dir_;
  std::string path_;
};

TEST_F(ConfigUpdateTest, EnableAppendsEveryNameAndEndsAnOpenLastLine) {
  write_file("#c\nntpd\nlast");
  EXPECT_EQ("", update("enable", {"ntpd", "sshd"}));
  EXPECT_EQ("#c\nntpd\nlast\nntpd\nsshd\n", read_file());
}

TEST_F(ConfigUpdateTest, EnableCreatesAMissingFileAndSkipsEmptyNames) {
  std::string errors = update("enable", {"a", "", "b\nc", "d"});
  EXPECT_NE(std::string::npos, errors.find("Ignoring empty service name"));
  EXPECT_NE(std::string::npos,
            errors.find("Ignoring service name with a newline"));
  EXPECT_EQ("a\nd\n", read_file());
}

struct rewrite_case {
  const char* what;
  std::string before;
  std::vector<std::string> names;
  std::string after;
};

TEST_F(ConfigUpdateTest, DisableDropsOnlyWholeLinesThatEqualAName) {
  const std::string long_line = std::string(79, 'x') + "foo";
  const rewrite_case cases[] = {
      {"neighbours of foo stay",
       "#foo\nfoobar\nfoo\nfoo.old\n foo\nfoo \nfoo\r\nbar\nfoo\n",
       {"foo"},
       "#foo\nfoobar\nfoo.old\n foo\nfoo \nfoo\r\nbar\n"},
      {"a long line is one line",
       long_line + "\nfoo\n" + long_line,
       {"foo"},
       long_line + "\n" + long_line},
      {"a long name matches whole",
       long_line + "\nkeep\n",
       {long_line},
       "keep\n"},
      {"several names, order kept", "a\nb\nc\nd\n", {"d", "b"}, "a\nc\n"},
      {"unterminated last line", "a\nb", {"b"}, "a\n"},
      {"empty lines stay", "a\n\nb\n", {"a"}, "\nb\n"},
  };
  for (const rewrite_case& c : cases) {
    write_file(c.before);
    update("disable", c.names);
    EXPECT_EQ(c.after, read_file()) << c.what;
    EXPECT_EQ(std::set<std::string>{}, leftovers()) << c.what;
  }
}

TEST_F(ConfigUpdateTest, DisableKeepsModeBitsAndReplacesInOneStep) {
  write_file("a\nb\n");
  ASSERT_EQ(0, chmod(path_.c_str(), 02640));
  struct stat before;
  ASSERT_EQ(0, stat(path_.c_str(), &before));
  EXPECT_EQ("", update("disable", {"a"}));
  struct stat after;
  ASSERT_EQ(0, stat(path_.c_str(), &after));
  EXPECT_EQ("b\n", read_file());
  EXPECT_EQ(02640u, after.st_mode & 07777u);
  EXPECT_EQ(before.st_uid, after.st_uid);
  EXPECT_NE(before.st_ino, after.st_ino);  // renamed over, not rewritten
}

// Without a matching line there is nothing to change: the file stays the
// very same file.
TEST_F(ConfigUpdateTest, DisableOfAbsentOrEmptyNamesLeavesTheFile) {
  write_file("a\n\nfoobar\n");
  struct stat before;
  ASSERT_EQ(0, stat(path_.c_str(), &before));
  EXPECT_EQ("", update("disable", {"foo"}));
  std::string errors = update("disable", {""});
  EXPECT_NE(std::string::npos, errors.find("Ignoring empty service name"));
  struct stat after;
  ASSERT_EQ(0, stat(path_.c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ("a\n\nfoobar\n", read_file());
  EXPECT_EQ(std::set<std::string>{}, leftovers());
}

TEST_F(ConfigUpdateTest, DisableOfAMissingFileWarnsAndCreatesNothing) {
  std::string errors = update("disable", {"a"});
  EXPECT_NE(std::string::npos,
            errors.find("Unable to open configuration file"));
  EXPECT_EQ(-1, access(path_.c_str(), F_OK));
  EXPECT_EQ(std::set<std::string>{}, leftovers());
}

// A directory opens but cannot be read: a read error must not turn into an
// empty configuration.
TEST_F(ConfigUpdateTest, ReadErrorKeepsTheOldFile) {
  ASSERT_EQ(0, mkdir(path_.c_str(), 0755));
  std::string errors = update("disable", {"a"});
  EXPECT_NE(std::string::npos, errors.find("Unable to read configuration file"))
      << errors;
  struct stat st;
  ASSERT_EQ(0, stat(path_.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(std::set<std::string>{}, leftovers());
}

// Lowers the file size limit for the scope, so that writes past it fail.
class file_size_limit {
 public:
  explicit file_size_limit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~file_size_limit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_;
  void (*old_handler_)(int);
};

TEST_F(ConfigUpdateTest, FailedWritesLeaveNoPartialLineAndNoHalfCopy) {
  const std::string big(150, 'x');
  write_file("keep\n" + big + "\nfoo\n");
  std::string errors;
  {
    file_size_limit limit(100);
    errors = update("disable", {"foo"});
  }
  EXPECT_NE(std::string::npos, errors.find("Unable to write configuration"));
  EXPECT_EQ("keep\n" + big + "\nfoo\n", read_file());
  EXPECT_EQ(std::set<std::string>{}, leftovers());

  write_file(std::string(89, 'a') + "\n");  // 90 bytes
  {
    file_size_limit limit(100);
    errors = update("enable", {"short", "a-much-longer-name", "x"});
  }
  EXPECT_NE(std::string::npos, errors.find("Unable to write to configuration"));
  EXPECT_EQ(std::string(89, 'a') + "\nshort\nx\n", read_file());
}

// Appenders and rewriters at once: every append survives every rewrite, and
// every disabled name is gone.
TEST_F(ConfigUpdateTest, ConcurrentUpdatesLoseNothing) {
  constexpr int rounds = 40;
  std::string initial = "#head\n";
  for (int i = 0; i < rounds; ++i) initial += "old" + std::to_string(i) + "\n";
  write_file(initial);
  testing::internal::CaptureStderr();
  std::thread appender([&] {
    for (int i = 0; i < rounds; ++i)
      update_config_at(path_, "enable", {"new" + std::to_string(i)});
  });
  std::thread remover([&] {
    for (int i = 0; i < rounds; ++i)
      update_config_at(path_, "disable", {"old" + std::to_string(i)});
  });
  appender.join();
  remover.join();
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  std::string expected = "#head\n";
  for (int i = 0; i < rounds; ++i) expected += "new" + std::to_string(i) + "\n";
  EXPECT_EQ(expected, read_file());
  EXPECT_EQ(std::set<std::string>{}, leftovers());
}

}  // namespace
}  // namespace kelv
