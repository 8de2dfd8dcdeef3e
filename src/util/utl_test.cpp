#include "util/utl.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config/cfg.h"
#include "host/hmd.h"
#include "util/platform.h"
#include "util/sha256.h"
#include "util/utrace.h"

namespace {

/// No configuration file, no launcher directory, UTL_TEST_VAR unset and
/// tracing silent (whatever UTRACE holds), before and after every test.
class UtlTest : public testing::Test {
 protected:
  void SetUp() override { reset(); ut_TraceData.initPending = 0; }
  void TearDown() override { reset(); }
  static void reset() {
    ut_TraceData = UtTraceData{};
    cfgSetCurrentConfigFile(nullptr);
    hmdResetApplicationHome();
    unsetenv("UTL_TEST_VAR");
  }
  /// The trace lines written while fn runs.
  static std::string traced(const std::function<void()>& fn) {
    ut_tprodon();
    testing::internal::CaptureStdout();
    fn();
    ut_TraceData.production = 0;
    return testing::internal::GetCapturedStdout();
  }
};

/// The entries of list as "name=value", checking that the end stays the end.
std::vector<std::string> enumerate(const NameValueList& list) {
  std::vector<std::string> seen;
  NameValueEnum e = utlListEnumStart(list);
  while (const NameValueEntry* entry = utlListEnumNext(e)) seen.push_back(entry->name + "=" + entry->value);
  EXPECT_EQ(utlListEnumNext(e), nullptr);
  return seen;
}

TEST_F(UtlTest, ListKeepsFirstPositionAndEveryEntry) {
  NameValueList list = utlListCreate();
  EXPECT_TRUE(enumerate(list).empty());
  utlListAdd(list, "A", "1");
  utlListAdd(list, "b", "2");
  utlListAdd(list, "A", "3");
  utlListAdd(list, "a", "");
  EXPECT_EQ(enumerate(list), (std::vector<std::string>{"A=3", "b=2", "a="}));
  EXPECT_STREQ(utlListGet(list, "a"), "");
  EXPECT_EQ(utlListGet(list, "B"), nullptr);
  for (const char* name : {"c", "d", "e", "f", "g"}) utlListAdd(list, name, name);
  EXPECT_EQ(enumerate(list), (std::vector<std::string>{"A=3", "b=2", "a=", "c=c", "d=d", "e=e", "f=f", "g=g"}));
}

TEST_F(UtlTest, ListAddNameEqualValueSplitsAtFirstEquals) {
  NameValueList list = utlListCreate();
  EXPECT_EQ(traced([&] {
              for (const char* text : {"k=v", "e=", "q=a=b", "=v", "novalue"}) utlListAddNameEqualValue(list, text);
            }),
            "No variable name specified in <=v>\nNo variable name specified in <novalue>\n");
  EXPECT_EQ(enumerate(list), (std::vector<std::string>{"k=v", "e=", "q=a=b"}));
}

TEST_F(UtlTest, MakeAbsPathNormalizes) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/../c/./d/", "/a/c/d"}, {"/..", "/"},          {"../../x/../y", "../../y"}, {"a\\b//c", "a/b/c"},
      {"", "."},                    {"a/..", "."},         {"/a/../../b", "/b"},        {"\\a\\..\\..\\b", "../b"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(utlMakeAbsPath(path), expected) << path;
}

TEST_F(UtlTest, MakeAbsPathAnchorsRelativePaths) {
  hmdSetFullLauncherPath("/opt/app/bin");
  EXPECT_EQ(utlMakeAbsPath("../lib/x.jar", cfgGetAnchorDirectory()), "/opt/app/lib/x.jar");
  cfgSetCurrentConfigFile("/etc/app/app.config");
  EXPECT_EQ(utlMakeAbsPath("lib/x.jar", cfgGetAnchorDirectory()), "/etc/app/lib/x.jar");
  EXPECT_EQ(utlMakeAbsPath("/usr/lib", cfgGetAnchorDirectory()), "/usr/lib");
  cfgSetCurrentConfigFile("/app.config");
  EXPECT_EQ(utlMakeAbsPath("lib/x.jar", cfgGetAnchorDirectory()), "/lib/x.jar");
  hmdResetApplicationHome();
  cfgSetCurrentConfigFile("/opt/app/bin/app.config");
  EXPECT_EQ(utlMakeAbsPath("lib/x.jar", cfgGetAnchorDirectory()), "/opt/app/bin/lib/x.jar");
}

TEST_F(UtlTest, MakeAbsPathReturnsOverlongResultWhole) {
  const std::string longest = "/" + std::string(kPathMax - 2, 'a');
  EXPECT_EQ(traced([&] { EXPECT_EQ(utlMakeAbsPath(longest), longest); }), "");
  const std::string tooLong = longest + "b";
  EXPECT_EQ(traced([&] { EXPECT_EQ(utlMakeAbsPath(tooLong + "/"), tooLong); }),
            "Path longer than " + std::to_string(kPathMax - 1) + " characters: <" + tooLong + ">\n");
}

TEST_F(UtlTest, PathArrayKeepsExistingDistinctPaths) {
  char pattern[] = "/tmp/utl_test_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::ofstream(dir + "/f") << "x";
  std::filesystem::create_directory(dir + "/d");
  PathArray array;
  const std::string list = ":" + dir + "/d::" + dir + "/d/:" + dir + "/missing:" + dir + "/./f:";
  EXPECT_EQ(traced([&] { utlPathStringToArray(array, list.c_str()); }),
            "Ignoring '" + dir + "/missing' - it does not exist\n");
  utlPathStringToArray(array, "../f:.:..", dir + "/d");
  utlPathStringToArray(array, "", dir + "/d");
  EXPECT_EQ(utlPathArrayToString(array), dir + "/d:" + dir + "/f:" + dir);
  EXPECT_EQ(utlPathArrayToString(PathArray{}), std::nullopt);
  std::filesystem::remove_all(dir);
}

TEST_F(UtlTest, RemoveFromPathAndArray) {
  PathArray array{"/a/b", "/c", "/a/b", "/d"};
  utlRemoveFromPath(array, "\\a\\b");
  utlRemoveFromPath(array, "/c/");  // not normalized: no match
  EXPECT_EQ(array, (PathArray{"/c", "/d"}));
  utlRemoveFromArray(array, PathArray{"/x", "/d"});
  EXPECT_EQ(array, PathArray{"/c"});
  utlRemoveFromArray(array, array);
  EXPECT_TRUE(array.empty());
}

// Thousands of entries: order, replacement in place and removal hold as the
// indexes beside the storage grow.
TEST_F(UtlTest, ContainersKeepTheirRulesAtThousandsOfEntries) {
  constexpr int kCount = 5000;
  NameValueList list = utlListCreate();
  for (int i = 0; i < kCount; ++i) utlListAdd(list, "v" + std::to_string(i), "first");
  for (int i = kCount - 1; i >= 0; i -= 2) utlListAdd(list, "v" + std::to_string(i), std::to_string(i));
  std::vector<std::string> seen = enumerate(list);
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(seen[i], "v" + std::to_string(i) + "=" + (i % 2 ? std::to_string(i) : "first")) << i;
  }
  EXPECT_EQ(utlListGet(list, "v5000"), nullptr);

  PathArray array, odd;
  for (int i = 0; i < kCount; ++i) {
    EXPECT_TRUE(array.add("/p/" + std::to_string(i)));
    EXPECT_FALSE(array.add("/p/" + std::to_string(i / 2)));
    if (i % 2) odd.add("/p/" + std::to_string(i));
  }
  array.removeAll(odd);
  ASSERT_EQ(array.size(), static_cast<std::size_t>(kCount / 2));
  for (int i = 0; i < kCount / 2; ++i) EXPECT_EQ(array[i], "/p/" + std::to_string(2 * i));
  EXPECT_FALSE(array.contains("/p/1"));
  EXPECT_TRUE(array.add("/p/1"));  // a removed path can come back, at the end
  EXPECT_EQ(array[array.size() - 1], "/p/1");
}

TEST_F(UtlTest, StrtokSkipsEmptyTokensAndTakesDelimiterSet) {
  char text[] = "::a::b:;c";
  char* state = nullptr;
  EXPECT_STREQ(utlStrtok(&state, text, ":"), "a");
  EXPECT_STREQ(state, ":b:;c");
  EXPECT_STREQ(utlStrtok(&state, nullptr, ";:"), "b");
  EXPECT_STREQ(utlStrtok(&state, nullptr, ";:"), "c");
  EXPECT_EQ(utlStrtok(&state, nullptr, ";:"), nullptr);
  EXPECT_EQ(state, nullptr);
  EXPECT_EQ(utlStrtok(&state, nullptr, ":"), nullptr);
}

TEST_F(UtlTest, DblBackSlashDoublesUnpairedBackslashes) {
  const std::pair<const char*, const char*> cases[] = {
      {"a\\b", "a\\\\b"}, {"\\\\", "\\\\"}, {"\\\\\\", "\\\\\\\\"}, {"x\\", "x\\\\"}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(utlDblBackSlash(text), expected) << text;
}

TEST_F(UtlTest, EnforceEnvValue) {
  // current (null: unset), value, separator, position, expected value, return
  const std::tuple<const char*, const char*, const char*, int, const char*, int> cases[] = {
      {nullptr, "/x", ":", 0, "/x", 1},         {"/x", "/x", ":", 0, "/x", 0},
      {"/a:/b", "/c", ":", 0, "/a:/b:/c", 1},   {"/a:/b", "/c", ":", 1, "/c:/a:/b", 1},
      {"/a::/b", "/b", ":", 0, "/a::/b", 0},    {"/ab", "/a", ":", 0, "/ab:/a", 1},
      {"", "/x", ":", 1, "/x", 1},              {"/a", "/x", ":", 2, "/x", 1},
      {"/a:/b", "/a:/b", nullptr, 0, "/a:/b", 0}, {"a;b", "c", ";,", 0, "a;b;,c", 1},
  };
  for (const auto& [current, value, separator, position, expected, returns] : cases) {
    current ? setenv("UTL_TEST_VAR", current, 1) : unsetenv("UTL_TEST_VAR");
    EXPECT_EQ(utlEnforceEnvValue("UTL_TEST_VAR", value, separator, position), returns) << current;
    EXPECT_STREQ(getenv("UTL_TEST_VAR"), expected) << current;
  }
}

TEST_F(UtlTest, EnforceLackOfEnvValue) {
  EXPECT_EQ(utlEnforceLackOfEnvValue("UTL_TEST_VAR", "b", " "), 0);
  EXPECT_EQ(getenv("UTL_TEST_VAR"), nullptr);
  const std::tuple<const char*, const char*, const char*, const char*, int> cases[] = {
      {"a b c", "b", " ", "a c", 1}, {"a b c", "d", " ", "a b c", 0}, {" a  b  b ", "b", " ", "a", 1},
      {"b", "b", " ", "", 1},        {"a,b c", "b", ", ", "a, c", 1},
  };
  for (const auto& [current, value, separator, expected, returns] : cases) {
    setenv("UTL_TEST_VAR", current, 1);
    EXPECT_EQ(utlEnforceLackOfEnvValue("UTL_TEST_VAR", value, separator), returns) << current;
    EXPECT_STREQ(getenv("UTL_TEST_VAR"), expected) << current;
  }
}

TEST(UtlWordsTest, SplitsAsAShellDoes) {
  using Words = std::vector<std::string>;
  struct Case {
    const char* text;
    std::optional<Words> words;
  } cases[] = {
      {"", Words{}},
      {" \t\n ", Words{}},
      {"-Xmx512m  -Dfoo=bar", Words{"-Xmx512m", "-Dfoo=bar"}},
      {"-Dx='a b' -Dy=\"c  d\"", Words{"-Dx=a b", "-Dy=c  d"}},
      {"''  \"\"", Words{"", ""}},
      {"a\\ b \\'c\\\\", Words{"a b", "'c\\"}},
      {"\"\\\"\\$\\x\" '\\n'", Words{"\"$\\x", "\\n"}},
      {"a\\\nb \\\n c\"d\\\ne\"", Words{"ab", "cde"}},
      {"'open", std::nullopt},
      {"-Dx=\"open", std::nullopt},
      {"\"a\\\"", std::nullopt},
      {"end\\", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(utlSplitWords(c.text), c.words) << c.text;
}

}  // namespace

// The digests of the standard's own examples, one of them fed in pieces
// that straddle the 64-byte blocks.
TEST(UtlSha256Test, DigestsTheStandardExamples) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 pieces;
  std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  for (std::size_t at = 0; at < text.size(); at += 7) {
    pieces.update(text.data() + at, std::min<std::size_t>(7, text.size() - at));
  }
  EXPECT_EQ(pieces.hex(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256Hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
