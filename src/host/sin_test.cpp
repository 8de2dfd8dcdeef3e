#include "host/sin.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

// What a client sends is read by the instance of another process: anything
// but a whole request is refused.
TEST(SinRequestTest, OnlyWholeRequestsDecode) {
  SinRequest sent{.args = {"a b", "", "ü"}, .workingDirectory = "/home/u", .activationToken = ""};
  SinRequest read;
  ASSERT_TRUE(sinDecodeRequest(sinEncodeRequest(sent), read));
  EXPECT_EQ(read.args, sent.args);
  EXPECT_EQ(read.workingDirectory, "/home/u");
  EXPECT_EQ(read.activationToken, "");
  const std::string header = "jlauncher-activate 1\n";
  struct Case {
    std::string message;
    bool decodes;
  } cases[] = {
      {header + "/\0t\0"s, true},
      {header + "/\0t\0x"s, false},  // cut off in an argument
      {header + "/\0"s, false},      // no token
      {header, false},
      {"jlauncher-activate 2\n/\0t\0"s, false},
      {"", false},
      {header + "/\0t\0"s + std::string(3 * 1024 * 1024, 'x') + "\0"s, false},
  };
  for (const Case& c : cases) EXPECT_EQ(sinDecodeRequest(c.message, read), c.decodes) << c.message.size();
}

}  // namespace
