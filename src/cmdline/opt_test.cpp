#include "cmdline/opt.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "config/cfg_fixture.h"

namespace {

class ParseTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    hmdResetSignals();
  }
  void TearDown() override {
    hmdResetSignals();
    ConfigTest::TearDown();
  }

  struct Parsed {
    bool ok;
    std::vector<std::string> residual;
  };
  Parsed parse(std::vector<std::string> args) {
    arguments = std::move(args);
    pointers.clear();
    for (std::string& arg : arguments) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    int argc = static_cast<int>(arguments.size());
    char** argv = pointers.data();
    Parsed result{optParseArgument(&argc, &argv), {}};
    for (int i = 0; i < argc; ++i) result.residual.emplace_back(argv[i]);
    if (argv != nullptr) {
      EXPECT_EQ(argv[argc], nullptr);
    }
    return result;
  }
  std::vector<std::string> recorded() {
    return std::vector<std::string>(optGetArgumentList().begin(), optGetArgumentList().end());
  }
  std::vector<std::string> params() {
    finalize();
    std::vector<std::string> result;
    // The command line's options, without what finalization generates.
    for (int i = 0; i < jopGetJavaVMOptionsCount(); ++i) {
      std::string option = jopGetJavaVMOptions()[i].optionString;
      if (!option.starts_with("-Dlauncher.") && !option.starts_with("-Dcorvane.")) result.push_back(option);
    }
    return result;
  }

  std::vector<std::string> arguments;
  std::vector<char*> pointers;
};

using Strings = std::vector<std::string>;

TEST_F(ParseTest, OptionsAndApplicationArgumentsAreSeparated) {
  struct Case {
    Strings args;
    bool ok;
    Strings residual;
    Strings recorded;
    Strings appArgs;
    Strings jvmOptions;
  } cases[] = {
      // JVM options stay application arguments too until the configuration
      // says whether they are (appargs).
      {{"-X"}, true, {"-X"}, {"-X"}, {"-X"}, {}},
      {{"-Xmx512m", "a"}, true, {}, {"-Xmx512m"}, {"-Xmx512m", "a"}, {"-Xmx512m"}},
      {{"-D", "-Dx=1", "-verbose:gc"}, true, {}, {"-D", "-Dx=1", "-verbose:gc"}, {"-D", "-Dx=1", "-verbose:gc"},
       {"-verbose:gc", "-D", "-Dx=1"}},
      {{"+J-Xss2m", "a", "+J-Dq=1"}, true, {}, {"+J-Xss2m", "+J-Dq=1"}, {"a"}, {"-Xss2m", "-Dq=1"}},
      {{"+J"}, false, {}, {}, {}, {}},
      {{"+HELP", "a", "b"}, true, {"+HELP", "a", "b"}, {"+HELP"}, {}, {}},
      {{"+VERSION", "+version"}, true, {}, {"+version"}, {"+VERSION", "+version"}, {}},
      // A missing value leaves the caller's arguments as they were.
      {{"a", "+classpath"}, false, {"a", "+classpath"}, {}, {"a"}, {}},
      {{"app.jar", "+Debug", "x"}, true, {}, {"+Debug"}, {"app.jar", "x"}, {}},
      {{"+usage", "+usage"}, true, {}, {"+usage", "+usage"}, {"+usage", "+usage"}, {}},
      {{"+unknown", "+javacmd", "+JAVAG"}, true, {}, {"+javacmd", "+JAVAG"}, {"+unknown"}, {}},
      {{"+config", "x.config", "+shell"}, true, {}, {"+config", "x.config", "+shell"}, {}, {}},
      {{"+config", ""}, false, {}, {}, {}, {}},
      {{"+jpdax"}, false, {}, {}, {}, {}},
      {{"+jpda:paused", "z"}, true, {}, {"+jpda:paused"}, {"+jpda:paused", "z"},
       {"-Xdebug", "-Xnoagent", "-Djava.compiler=", "-Xrunjdwp:transport=dt_socket,server=y,suspend=y"}},
  };
  for (const Case& c : cases) {
    optInit();
    jopInit();
    Parsed result = parse(c.args);
    std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(result.ok, c.ok) << label;
    EXPECT_EQ(result.residual, c.residual) << label;
    EXPECT_EQ(recorded(), c.recorded) << label;
    EXPECT_EQ(optGetApplicationArgList(), c.appArgs) << label;
    EXPECT_EQ(params(), c.jvmOptions) << label;
    ut_TraceData = UtTraceData{};
  }
}

TEST_F(ParseTest, OptionQueriesCompareWholeArguments) {
  parse({"-Xmx64m", "+HELP", "+javacmd"});
  EXPECT_FALSE(optIsOptionOn("-X", false));
  EXPECT_FALSE(optIsOptionOn("+javacmd", true));  // after +help, nothing is parsed
  EXPECT_TRUE(optIsOptionOn("+help", true));
  EXPECT_FALSE(optIsOptionOn("+help", false));
}

TEST_F(ParseTest, DebugSwitchesTracingOnUnlessLevelTracingIsOn) {
  std::string out = traced([&] {
    ut_TraceData = UtTraceData{};
    ut_TraceData.initPending = 0;
    parse({"a", "+debug", "b"});
  });
  EXPECT_EQ(ut_TraceData.production, 0);  // traced() restores the state
  optInit();
  ut_ton(3);
  parse({"+debug"});
  EXPECT_EQ(ut_TraceData.production, 0);
  EXPECT_EQ(ut_tison(), 1);
}

TEST_F(ParseTest, ValuesAreTakenFromTheNextArgumentAndTraced) {
  std::string out = traced([&] { parse({"+javahome", "C:\\jdk", "+javahome", "/second", "+clientvm", "w"}); });
  EXPECT_EQ(out,
            "Processed <+javahome C:\\jdk> arg\n"
            "Processed <+javahome /second> arg\n"
            "Processed <+clientvm> arg\n"
            "Processed <w> application arg\n");
  EXPECT_STREQ(jopGetJavaHome(), "C:/jdk");
  EXPECT_EQ(cfgGetJVMSubType(), kSubTypeClient);
}

TEST_F(ParseTest, JpdaForms) {
  struct Case {
    const char* arg;
    bool ok;
    bool paused;
    const char* address;
    const char* trace;
  } cases[] = {
      {"+jpda", true, false, nullptr, ""},
      {"+jpda:", true, false, nullptr, ""},
      {"+jpda:paused,address=myhost:8000", true, true, "myhost:8000", ""},
      {"+jpda:,running,,address=1,address=2", true, false, "2", ""},
      {"+jpda:wait", false, false, nullptr, "Unknown option in +jpda argument <wait>\n"},
      {"+jpdax", false, false, nullptr, "Invalid +jpda argument <+jpdax>\n"},
      {"+JPDA", false, false, nullptr, "Invalid +jpda argument <+JPDA>\n"},
  };
  for (const Case& c : cases) {
    optInit();
    Parsed result;
    std::string out = traced([&] { result = parse({c.arg}); });
    EXPECT_EQ(result.ok, c.ok) << c.arg;
    EXPECT_EQ(optIsJPDAEnabled(), c.ok) << c.arg;
    EXPECT_EQ(optIsJPDAStartPaused(), c.paused) << c.arg;
    EXPECT_STREQ(optGetJPDAAddr(), c.address) << c.arg;
    if (!c.ok) {
      EXPECT_EQ(out, c.trace) << c.arg;
    }
  }
}

TEST_F(ParseTest, LaterJpdaKeepsWhatItDoesNotMention) {
  parse({"+jpda:paused,address=8000", "+jpda:address=9000"});
  EXPECT_TRUE(optIsJPDAStartPaused());
  EXPECT_STREQ(optGetJPDAAddr(), "9000");
}

TEST_F(ParseTest, SignalNamesAreMarkedUntilOneIsRefused) {
  EXPECT_FALSE(parse({"+sig", "INT,FOO,HUP"}).ok);
  EXPECT_EQ(signals[1].handler, SIG_IGN);
  EXPECT_EQ(signals[0].handler, hmdSignalHandler);
  EXPECT_TRUE(parse({"+SIG", "term,Quit"}).ok);
  EXPECT_EQ(signals[2].handler, SIG_IGN);
  EXPECT_EQ(signals[3].handler, SIG_IGN);
}

TEST_F(ParseTest, ConfigFileNameMustFitThePathBuffer) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(parse({"+config", std::string(kPathMax, 'c')}).ok);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: The configuration file name given with +config is longer than " + std::to_string(kPathMax - 1) +
                " characters.\n");
  EXPECT_TRUE(parse({"+config", std::string(kPathMax - 1, 'c')}).ok);
  EXPECT_EQ(cfgGetDefaultConfigFile().size(), static_cast<std::size_t>(kPathMax - 1));
}

TEST_F(ParseTest, ClassPathOptionsSetPlacementAndReplaceThePath) {
  dir.writeFile("a.jar", "");
  dir.writeFile("b.jar", "");
  parse({"+classpath/p", dir.file("a.jar"), "+CLASSPATH", dir.file("b.jar") + ":" + dir.file("b.jar")});
  EXPECT_EQ(jopGetClassPathLocation(), kClassPathAppend);
  EXPECT_EQ(jopGetCmdLineClassPath(), PathArray{dir.file("b.jar")});
  parse({"+classpath/r", dir.file("a.jar"), "+classpath/P", dir.file("b.jar")});
  EXPECT_EQ(jopGetClassPathLocation(), kClassPathReplace);  // the parser ignores case, the placement does not
}

TEST_F(ParseTest, DisabledOptionsBecomeApplicationArguments) {
  std::string out = traced([&] {
    parse({"+usage", "a", "+version", "+jpda:paused", "b"});
    optConvertDisabledArguments();
  });
  EXPECT_EQ(optGetApplicationArgList(), (Strings{"+usage", "a", "+version", "+jpda:paused", "b"}));
  EXPECT_EQ(recorded(), Strings{});
  EXPECT_FALSE(optIsJPDAEnabled());
  EXPECT_NE(out.find("Converted disabled arg <+usage> into an application arg\n"), std::string::npos);
  EXPECT_NE(out.find("Converted disabled arg <+jpda:paused> into an application arg\n"), std::string::npos);
}

TEST_F(ParseTest, JvmOptionsAreTheJvmsUnlessAppArgsMakesThemTheApplications) {
  Strings args = {"-Dx=1", "a", "-Xmx1g", "+J-Xss2m", "-verbose:gc", "-splash:s.png", "-Dx=1"};
  parse(args);
  optConvertDisabledArguments();
  EXPECT_EQ(optGetApplicationArgList(), Strings{"a"});
  EXPECT_EQ(params(), (Strings{"-Xmx1g", "-Xss2m", "-verbose:gc", "-Dx=1", "-Dx=1"}));
  EXPECT_EQ(optGetSplashImage(), "s.png");

  optInit();
  jopInit();
  parse(args);
  ASSERT_TRUE(process("options appargs\n").ok);
  optConvertDisabledArguments();
  EXPECT_EQ(optGetApplicationArgList(), (Strings{"-Dx=1", "a", "-Xmx1g", "-verbose:gc", "-splash:s.png", "-Dx=1"}));
  EXPECT_EQ(params(), Strings{"-Xss2m"});
  EXPECT_EQ(optGetSplashImage(), std::nullopt);
  EXPECT_EQ(recorded(), Strings{"+J-Xss2m"});
}

TEST_F(ParseTest, EnabledOptionsStayLauncherOptions) {
  parse({"+usage", "a", "+version", "+jpda:paused", "b"});
  ASSERT_TRUE(process("usageclass a.Usage\nversionclass a.Version\njpda running\n").ok);
  optConvertDisabledArguments();
  EXPECT_EQ(optGetApplicationArgList(), (Strings{"a", "b"}));
  EXPECT_TRUE(optIsOptionOn("+usage", true));
  EXPECT_TRUE(optIsJPDAEnabled());
  EXPECT_TRUE(optIsJPDAStartPaused());  // the command line's mode wins over the configured one
}

TEST(ApplicationArgumentsTest, InsertAndRemoveByPosition) {
  optInit();
  for (const char* arg : {"x", "y"}) optAddApplicationArgument(arg);
  optInsertApplicationArgumentN("a", 1);
  optInsertApplicationArgumentN("b", 2);
  optInsertApplicationArgumentN("front", -3);
  optInsertApplicationArgumentN("zero", 0);
  optInsertApplicationArgumentN("end", 9);
  EXPECT_EQ(optGetApplicationArgList(), (Strings{"zero", "front", "a", "b", "x", "y", "end"}));
  EXPECT_EQ(optRemoveApplicationArgumentN(8), std::nullopt);
  EXPECT_EQ(optRemoveApplicationArgumentN(2), "front");
  EXPECT_EQ(optGetApplicationArgCount(), 6);
  optTerm();
}

TEST(ApplicationArgumentsTest, RemoveOptionWithItsValue) {
  struct Case {
    Strings list;
    const char* name;
    bool prefix;
    bool wantValue;
    std::optional<std::string> arg, value;
    Strings left;
  } cases[] = {
      {{"a", "-name", "v", "b"}, "-name", false, true, "-name", "v", {"a", "b"}},
      {{"b", "-name"}, "-name", false, true, "-name", std::nullopt, {"b", "-name"}},
      {{"b", "-name", "v"}, "-name", false, false, "-name", std::nullopt, {"b", "v"}},
      {{"-port", "80"}, "-p", false, true, std::nullopt, std::nullopt, {"-port", "80"}},
      {{"-port", "80"}, "-p", true, true, "-port", "80", {}},
      {{"-Name", "v"}, "-name", false, true, std::nullopt, std::nullopt, {"-Name", "v"}},
  };
  for (const Case& c : cases) {
    optInit();
    for (const std::string& arg : c.list) optAddApplicationArgument(arg);
    std::optional<std::string> arg = "stale", value = "stale";
    optRemoveApplicationArgument(c.name, c.prefix, &arg, c.wantValue ? &value : nullptr);
    EXPECT_EQ(arg, c.arg) << c.name;
    if (c.wantValue) {
      EXPECT_EQ(value, c.value) << c.name;
    }
    EXPECT_EQ(optGetApplicationArgList(), c.left) << c.name;
  }
  optTerm();
}

TEST(ApplicationArgumentsTest, RemoveRecordedOptionLastInTheList) {
  optInit();
  char name[] = "-name";
  optAddArgument(name);
  const char* arg = nullptr;
  const char* value = "stale";
  optRemoveArgument("-name", false, &arg, &value);
  EXPECT_EQ(arg, name);
  EXPECT_EQ(value, nullptr);
  EXPECT_TRUE(optGetArgumentList().empty());
  optTerm();
}

}  // namespace
