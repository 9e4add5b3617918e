#include "common/protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kelv {
namespace {

struct split_case {
  const char* request;
  const char* command;   // null: none
  const char* argument;  // null: none
};

std::string show(const char* s) {
  return s ? std::string("\"") + s + "\"" : "(none)";
}

TEST(SplitRequestTest, FieldsFollowTheColonRules) {
  const split_case cases[] = {
      {"enable:ntpd", "enable", "ntpd"},
      {"enable::ntpd", "enable", "ntpd"},
      {":enable:ntpd", "enable", "ntpd"},
      {"enable:ntpd:x", "enable", "ntpd"},
      {"enable:a:b", "enable", "a"},
      {"status:", "status", nullptr},
      {"status", "status", nullptr},
      {"shutdown:now", "shutdown", "now"},
      {"enable:", "enable", nullptr},
      {":", nullptr, nullptr},
      {"::", nullptr, nullptr},
      {"", nullptr, nullptr},
      {"enable:ntpd \n", "enable", "ntpd \n"},
  };
  for (const auto& c : cases) {
    std::string text = c.request;
    request_fields fields = split_request(text.data());
    EXPECT_EQ(show(c.command), show(fields.command)) << c.request;
    EXPECT_EQ(show(c.argument), show(fields.argument)) << c.request;
  }
}

TEST(SocketAddressTest, PathsOf103BytesFitAnd104DoNot) {
  sockaddr_un addr;
  std::string fits(103, 'a');
  EXPECT_EQ(105u, make_socket_address(fits.c_str(), &addr));
  EXPECT_EQ(fits, addr.sun_path);
  EXPECT_EQ(AF_UNIX, addr.sun_family);
  std::string too_long(104, 'a');
  EXPECT_EQ(0u, make_socket_address(too_long.c_str(), &addr));
}

}  // namespace
}  // namespace kelv
