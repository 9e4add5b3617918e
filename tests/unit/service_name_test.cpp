// NAME@JAIL: how a name is split, which names the gate lets through to
// `service` (and with what log line it refuses the others), and the words
// that reach `service` for each.
#include "common/service_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/probes.h"
#include "daemon/service_command.h"
#include "daemon/timed_command.h"
#include "tests/unit/fake_env.h"

namespace kelv {
namespace {

using words = std::vector<std::string>;

TEST(ServiceNameTest, SplitsAtTheLastAt) {
  const struct {
    std::string name;
    bool jailed;
    std::string service;
    std::string jail;
  } cases[] = {
      {"nginx", false, "nginx", ""},         {"", false, "", ""},
      {"nginx@web1", true, "nginx", "web1"}, {"nginx@12", true, "nginx", "12"},
      {"a@b@web1", true, "a@b", "web1"},     {"nginx@", true, "nginx", ""},
      {"@web1", true, "", "web1"},           {"@", true, "", ""},
  };
  for (const auto& c : cases) {
    service_name_parts parts = split_service_name(c.name);
    EXPECT_EQ(c.jailed, parts.jailed) << c.name;
    EXPECT_EQ(c.service, parts.service) << c.name;
    EXPECT_EQ(c.jail, parts.jail) << c.name;
  }
}

// Each name goes through the gate once; what it logs and, when it passes,
// the exact words `service` is given.
TEST(ServiceNameTest, TheGateChecksNameAndJailEachAndSaysWhy) {
  const struct {
    std::string name;
    std::string refusal;  // empty: accepted
    words argv;           // when accepted, for the verb "restart"
  } cases[] = {
      // Plain names are checked as they always were.
      {"nginx", "", {"service", "nginx", "restart"}},
      {"", "", {"service", "", "restart"}},
      {"-R", "Refusing service name -R: it would be read as an option.", {}},
      {"a/b", "Refusing service name a/b: it would be read as a path.", {}},
      {"cr\r",
       "Refusing service name cr\\015: it holds a control character.",
       {}},
      // NAME@JAIL becomes exactly `service -j JAIL NAME VERB`.
      {"nginx@web1", "", {"service", "-j", "web1", "nginx", "restart"}},
      {"nginx@7", "", {"service", "-j", "7", "nginx", "restart"}},
      {"a@b@web1", "", {"service", "-j", "web1", "a@b", "restart"}},
      {"nginx@web1-old", "", {"service", "-j", "web1-old", "nginx", "restart"}},
      // Either part empty, or either read as an option or a path.
      {"@",
       "Refusing service name @: it names no service before the \"@\".",
       {}},
      {"@web1",
       "Refusing service name @web1: it names no service before the \"@\".",
       {}},
      {"nginx@",
       "Refusing service name nginx@: it names no jail after the \"@\".",
       {}},
      {"nginx@-R",
       "Refusing service name nginx@-R: its jail would be read as an option.",
       {}},
      {"-R@web1",
       "Refusing service name -R@web1: it would be read as an option.",
       {}},
      {"nginx@x/y",
       "Refusing service name nginx@x/y: it would be read as a path.",
       {}},
      {"x/y@web1",
       "Refusing service name x/y@web1: it would be read as a path.",
       {}},
      {"nginx@we\tb1",
       "Refusing service name nginx@we\\011b1: it holds a control character.",
       {}},
      {"ng\x7f@web1",
       "Refusing service name ng\\177@web1: it holds a control character.",
       {}},
  };
  for (const auto& c : cases) {
    fake_env env;
    scoped_env installed(env);
    const bool accepted = acceptable_service_name(c.name);
    EXPECT_EQ(c.refusal.empty(), accepted) << c.name;
    if (accepted) {
      EXPECT_TRUE(env.log_texts().empty()) << c.name;
      EXPECT_EQ(c.argv, service_command_words(c.name, "restart")) << c.name;
    } else {
      EXPECT_EQ(words{c.refusal}, env.log_texts()) << c.name;
    }
    // Refused names run nothing at all.
    (void)service_running(c.name);
    EXPECT_EQ(accepted ? 1u : 0u, env.commands().size()) << c.name;
  }
}

}  // namespace
}  // namespace kelv
