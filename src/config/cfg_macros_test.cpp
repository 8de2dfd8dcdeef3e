#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cmdline/opt.h"
#include "config/cfg_fixture.h"
#include "config/cfg.h"
#include "host/hmd.h"
#include "util/platform.h"
#include "jvmoptions/jop.h"
#include "util/utrace.h"

namespace {

constexpr const char* kEnvNames[] = {"CFGMT_HOME", "CFGMT_EMPTY", "CFGMT_UNSET", "CFGMT_DOLLAR", "CFGMT_LONG"};

/// Fresh configuration, arguments, Java home and launcher location, the
/// environment the tables expect, and tracing silent whatever UTRACE holds.
class MacroTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    ut_TraceData.initPending = 0;
    setenv("CFGMT_HOME", "/home/u", 1);
    setenv("CFGMT_EMPTY", "", 1);
    setenv("CFGMT_DOLLAR", "$env(CFGMT_HOME)", 1);
  }
  void TearDown() override {
    ConfigTest::TearDown();
    for (const char* name : kEnvNames) unsetenv(name);
  }
  struct Expanded {
    std::string text, trace;
  };
  static Expanded expand(const std::string& line) {
    ut_tprodon();
    testing::internal::CaptureStdout();
    std::string text = cfgExpandMacros(line).value_or("<too long>");
    ut_TraceData.production = 0;
    return {text, testing::internal::GetCapturedStdout()};
  }
};

TEST_F(MacroTest, ExpandsOrKeepsLinesAsWritten) {
  const std::string kept;  // marks rows whose line must come back unchanged
  const struct {
    std::string line, expected, trace;
  } rows[] = {
      {"", "", ""},
      {"$env(CFGMT_HOME)/lib", "/home/u/lib", ""},
      {"$env(CFGMT_UNSET)/lib", "/lib", ""},
      {"$env(CFGMT_UNSET:/tmp)/lib", "/tmp/lib", ""},
      {"[$env(CFGMT_EMPTY:/tmp)]", "[]", ""},
      {"$ENV(CFGMT_HOME)$env(CFGMT_HOME)", "/home/u/home/u", ""},
      {"$reg(CFGMT_HOME:r)|$reg(CFGMT_HOME)|", "r||", ""},
      {"$REGTHENENV(CFGMT_HOME:d) $envThenReg(CFGMT_UNSET:d)", "/home/u d", ""},
      {"$env($var(X:d)) ", "d) ", ""},
      {"$env(CFGMT_DOLLAR)", "$env(CFGMT_HOME)", ""},
      {"$file(a\\b\\c) $FILE(d\\e:)", "a/b/c d/e", ""},
      {"price $5", kept, "Malformed macro <$5>\n"},
      {"x $env(CFGMT_HOME) $env(CFGMT_HOME", "x /home/u $env(CFGMT_HOME", "Malformed macro <$env(CFGMT_HOME>\n"},
      {"$env() $env(CFGMT_HOME)", kept, "Malformed macro <$env() $env(CFGMT_HOME)>\n"},
      {"$env(:d)", kept, "Malformed macro <$env(:d)>\n"},
      {"$file(C:\\x) $env(CFGMT_HOME)", kept, "Malformed macro <$file(C:\\x) $env(CFGMT_HOME)>\n"},
      {"$foo(x) $env(CFGMT_HOME)", kept, "Unrecognised macro <$foo(x) $env(CFGMT_HOME)>\n"},
      {"$envy(CFGMT_HOME)", kept, "Unrecognised macro <$envy(CFGMT_HOME)>\n"},
      {"$var(nothing) $var(nothing:)", "<UNKNOWN> <UNKNOWN>",
       "Undefined variable <nothing>\nUndefined variable <nothing>\n"},
      {"$var(nothing:x)", "x", ""},
  };
  for (const auto& row : rows) {
    const Expanded result = expand(row.line);
    EXPECT_EQ(result.text, row.expected.empty() ? row.line : row.expected) << row.line;
    EXPECT_EQ(result.trace, row.trace) << row.line;
  }
}

TEST_F(MacroTest, BuiltInsComeFirstAndIgnoreCaseVariablesDoNot) {
  for (const char* text : {"PID=variable", "Foo=bar", "empty=", "literal=$env(CFGMT_HOME)"}) cfgAddVar(text);
  hmdSetFullLauncherPath("/opt/app/bin");
  char cwd[kPathMax];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string pid = std::to_string(getpid());

  EXPECT_EQ(expand("$Var(PID) $var(pid) $sys(Pid)").text, pid + " " + pid + " " + pid);
  EXPECT_EQ(expand("$var(installRoot) $sys(cwd)").text, std::string("/opt/app/bin/.. ") + cwd);
  EXPECT_EQ(expand("$var(fileSep)$var(PATHSEP)").text, "/:");
  EXPECT_EQ(expand("$var(Foo) $var(foo:none) [$var(empty:d)] $var(literal)").text, "bar none [] $env(CFGMT_HOME)");

  // JDKHome is a variable name until a Java home is known; only the built-in ignores case.
  EXPECT_EQ(expand("$var(JDKHome) $var(JDKHome:/d)").text, "<UNKNOWN> /d");
  cfgAddVar("JDKHome=/v");
  EXPECT_EQ(expand("$var(JDKHome:/d) $var(jdkhome:/d)").text, "/v /d");
  jopSetJavaHome("/jdk");
  EXPECT_EQ(expand("$var(JDKHome) $var(jdkhome)").text, "/jdk /jdk");
}

// The nearest directory holding a directory of that name, from the working
// directory up; a file of that name does not count.
TEST_F(MacroTest, FindUpNamesTheNearestDirectoryHoldingADirectoryOfThatName) {
  dir.makeDir("p/.mvn");
  dir.writeFile("p/sub/.mvn", "");
  dir.makeDir("p/sub/deeper/.mvn/x");
  const std::string root = std::filesystem::canonical(dir.path()).string();
  const std::string none = "jlauncher-test-no-such-entry";
  const struct {
    std::string cwd, line, expected;
  } rows[] = {
      {"p", "$findup(.mvn)/.mvn", root + "/p/.mvn"},
      {"p/sub", "$FINDUP(.mvn:/d)", root + "/p"},
      {"p/sub/deeper/.mvn/x", "$findup(.mvn)", root + "/p/sub/deeper"},
      {"p/sub/deeper/.mvn/x", "$findup(p)", root},
      {"p/sub", "$findup(" + none + ":/d)", "/d"},
      {"p/sub", "$findup(" + none + ") $findup(" + none + ":)", root + "/p/sub " + root + "/p/sub"},
  };
  char start[kPathMax];
  ASSERT_NE(getcwd(start, sizeof start), nullptr);
  for (const auto& row : rows) {
    ASSERT_EQ(chdir(dir.file(row.cwd).c_str()), 0) << row.cwd;
    EXPECT_EQ(cfgExpandMacros(row.line), row.expected) << row.cwd << ": " << row.line;
  }
  ASSERT_EQ(chdir(start), 0);
}

TEST_F(MacroTest, LongValuesAreInsertedWholeAndNamesAndDefaultsAreCut) {
  const std::string longValue(3000, 'v');
  setenv("CFGMT_LONG", longValue.c_str(), 1);
  EXPECT_EQ(cfgExpandMacros("<$env(CFGMT_LONG)>$env(CFGMT_LONG)"), "<" + longValue + ">" + longValue);
  EXPECT_EQ(cfgExpandMacros("x"), "x");  // the reused buffer starts empty

  const std::string name(4096, 'n');
  cfgAddVar(name + "=hit");
  EXPECT_EQ(cfgExpandMacros("$var(" + name + "tail)"), "hit");
  EXPECT_EQ(cfgExpandMacros("$var(nothing:" + std::string(5000, 'd') + ")"), std::string(4096, 'd'));

  // Up to the line limit, and not a byte more.
  cfgAddVar("HALF=" + std::string(512 * 1024, 'h'));
  EXPECT_EQ(cfgExpandMacros("$var(HALF)$var(HALF)")->size(), 1024u * 1024u);
  EXPECT_EQ(cfgExpandMacros("$var(HALF)$var(HALF)x"), std::nullopt);
  EXPECT_EQ(cfgExpandMacros("$var(HALF)$var(HALF)$var(HALF)"), std::nullopt);
  EXPECT_EQ(cfgExpandMacros("x"), "x");
}

TEST_F(MacroTest, NumbersWithinTheCountAreArgumentsAndNegativeOnesConsume) {
  cfgAddVar("3=three");
  const struct {
    const char *line, *expected;
    std::vector<std::string> left;
  } rows[] = {
      {"$var(2)$var(1)", "twoone", {"one", "two"}},
      {"$var(+2) $var(02)", "two two", {"one", "two"}},
      {"$var(-1)", "one", {"two"}},
      {"$var(-1),$var(-1)", "one,two", {}},
      {"$var(-2) $var(1)", "two one", {"one"}},
      {"$var(3) $var(-3:d)", "three d", {"one", "two"}},
      {"$var(0:d)$var(-0:d)$var(-:d)$var(+-1:d)$var( 1:d)$var(1x:d)", "dddddd", {"one", "two"}},
      {"$var(4294967297:d)", "d", {"one", "two"}},
  };
  for (const auto& row : rows) {
    optInit();
    optAddApplicationArgument("one");
    optAddApplicationArgument("two");
    EXPECT_EQ(cfgExpandMacros(row.line), row.expected) << row.line;
    EXPECT_EQ(optGetApplicationArgList(), row.left) << row.line;
  }
  EXPECT_EQ(cfgGetVar("nothing", ""), std::nullopt);
}

}  // namespace
