#include <gtest/gtest.h>

#include "config/cfg_fixture.h"

namespace {

using ProcessingTest = ConfigTest;

TEST_F(ProcessingTest, CommentsAndBlankLinesOnlySucceed) {
  Processed result = process("# nothing\n\n   \n\t# more\n");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.err, "");
}

TEST_F(ProcessingTest, EachFailureStopsTheFileWithItsMessage) {
  struct Case {
    const char* text;
    const char* message;  // %s is the file name
  } cases[] = {
      {"Mainclass x", "Error: Unrecognized directive 'Mainclass x' at line 1 in configuration file '%s'.\n"},
      {"# c\nmainclass\tx", "Error: Unrecognized directive 'mainclass\tx' at line 2 in configuration file '%s'.\n"},
      {"mainclass $env(CFG_TEST_UNSET)",
       "Error: Parameter required for 'mainclass ' at line 1 in configuration file '%s'.\n"},
      {"nosplash false", "Error: Unable to process 'nosplash false' at line 1 in configuration file '%s'.\n"},
      {"\n\nrestartonexit 12x", "Error: Invalid number in 'restartonexit 12x' at line 3 in configuration file '%s'.\n"},
      {"vmmemmax 99999999999999999999%",
       "Error: Invalid number in 'vmmemmax 99999999999999999999%%' at line 1 in configuration file '%s'.\n"},
      {"vmtype Server", "Error: Unrecognized VM type in 'vmtype Server' at line 1 in configuration file '%s'.\n"},
      {"vmversion 1.3.0",
       "Error: Invalid version specifier in 'vmversion 1.3.0' at line 1 in configuration file '%s'.\n"},
  };
  for (const Case& c : cases) {
    Processed result = process(std::string(c.text) + "\nmainclass never.Reached\n");
    EXPECT_FALSE(result.ok) << c.text;
    char expected[512];
    std::snprintf(expected, sizeof expected, c.message, dir.file("app.config").c_str());
    EXPECT_EQ(result.err, expected) << c.text;
    EXPECT_EQ(cfgGetMainClass(), nullptr) << c.text;
  }
}

TEST_F(ProcessingTest, EarlierLinesStayInEffectAfterAnError) {
  Processed result = process("mainclass a.Main\nbogus\nmainclass b.Main\n");
  EXPECT_FALSE(result.ok);
  EXPECT_STREQ(cfgGetMainClass(), "a.Main");
}

TEST_F(ProcessingTest, ParameterKeepsInnerAndTrailingTextAndHashes) {
  EXPECT_TRUE(process("apparg   one  two # not a comment\n").ok);
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"one  two # not a comment"}));
}

TEST_F(ProcessingTest, SuccessfulLinesAreTracedWithTheShortFileName) {
  std::string out = traced([&] { process("mainclass $var(fileSep)x\n", "sub/my.config"); });
  EXPECT_EQ(out, "Processed <mainclass /x> from <my.config>\n");
}

TEST_F(ProcessingTest, ErrorsInIncludedFilesNameTheirOwnLines) {
  dir.writeFile("inner.config", "# one\n\nbogus here\n");
  Processed result = process("\n\n\n\n\n\ninclude inner.config\nmainclass never.Reached\n");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err, "Error: Unrecognized directive 'bogus here' at line 3 in configuration file '" +
                            dir.file("inner.config") +
                            "'.\n"
                            "Error: Unable to process 'include inner.config' at line 7 in configuration file '" +
                            dir.file("app.config") + "'.\n");
  EXPECT_EQ(cfgGetMainClass(), nullptr);
  EXPECT_STREQ(cfgGetCurrentConfigFile(), dir.file("app.config").c_str());
}

TEST_F(ProcessingTest, IncludeOfAMissingFileReportsBothFiles) {
  Processed result = process("include missing.config\n");
  EXPECT_EQ(result.err, "Error: Unable to open configuration file '" + dir.file("missing.config") +
                            "'.\n"
                            "Error: Unable to process 'include missing.config' at line 1 in configuration file '" +
                            dir.file("app.config") + "'.\n");
}

TEST_F(ProcessingTest, IncludedFilesSeeTheirOwnDirectoryAndLaterLinesSeeVariables) {
  dir.writeFile("conf/inner.config", "addpath lib\nset WHERE=inner\n");
  dir.makeDir("conf/lib");
  EXPECT_TRUE(process("include conf/inner.config\napparg $var(WHERE)\n").ok);
  EXPECT_EQ(cfgGetClassPath(), dir.file("conf/lib"));
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"inner"}));
}

TEST_F(ProcessingTest, IncludeDirProcessesConfigFilesOnlyAndToleratesTheirErrors) {
  dir.writeFile("d/x.config", "bogus\n");
  dir.writeFile("d/y.CONFIG", "apparg from-y\n");
  dir.writeFile("d/.config", "apparg from-dot\n");
  dir.writeFile("d/z.cfg", "apparg from-cfg\n");
  Processed result = process("includedir d\napparg last\n");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.err, "Error: Unrecognized directive 'bogus' at line 1 in configuration file '" +
                            dir.file("d/x.config") + "'.\n");
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"from-y", "last"}));
  EXPECT_TRUE(process("includedir no-such-dir\n").ok);
}

TEST_F(ProcessingTest, SelfIncludeEndsWithAClearMessage) {
  Processed result = process("include app.config\n");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err.substr(0, result.err.find('\n') + 1),
            "Error: Configuration files are nested more than 64 deep at '" + dir.file("app.config") + "'.\n");
}

TEST_F(ProcessingTest, ADirectoryAsConfigurationIsAReadError) {
  dir.makeDir("conf.d");
  cfgSetCurrentConfigFile(dir.file("conf.d").c_str());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(cfgProcessConfigFile(dir.file("conf.d")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Unable to read configuration file '" + dir.file("conf.d") + "' - error 1.\n");
}

TEST_F(ProcessingTest, LargeConfigurationIsProcessedWhole) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "set V" + std::to_string(i % 100) + "=" + std::to_string(i) + "\n";
  text += "apparg $var(V99)\n";
  EXPECT_TRUE(process(text).ok);
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"99999"}));
}

// Choosing the source: +config, the default file beside the launcher, or the
// comment of the archive appended to the executable.
class SourceTest : public ConfigTest {
 protected:
  void install(const std::string& name) {
    launcher = dir.writeFile("app/bin/" + name, std::string(64, 'x'), 0755);
    std::string home;
    ASSERT_TRUE(hmdSetApplicationHome(launcher.c_str(), home, kPathMax));
    hmdSetApplicationName(name.c_str());
    cfgTerm();
    cfgInit();
  }
  Processed processConfig() {
    testing::internal::CaptureStderr();
    bool ok = cfgProcessConfig();
    return {ok, testing::internal::GetCapturedStderr()};
  }
  std::string launcher;
};

TEST_F(SourceTest, DefaultFileIsNamedAfterTheApplication) {
  install("myapp");
  dir.writeFile("app/bin/myapp.config", "mainclass a.Main\n");
  EXPECT_TRUE(processConfig().ok);
  EXPECT_STREQ(cfgGetMainClass(), "a.Main");
  EXPECT_STREQ(cfgGetCurrentConfigFile(), dir.file("app/bin/myapp.config").c_str());
  EXPECT_EQ(cfgGetConfigFileMode(), 0);
}

TEST_F(SourceTest, WindowlessNameSharesTheConfigurationWhenItExists) {
  install("myappW");
  dir.writeFile("app/bin/myappW.config", "mainclass own.Main\n");
  EXPECT_TRUE(processConfig().ok);
  EXPECT_STREQ(cfgGetMainClass(), "own.Main");

  dir.writeFile("app/bin/myapp.config", "mainclass shared.Main\n");
  install("myappW");
  EXPECT_TRUE(processConfig().ok);
  EXPECT_STREQ(cfgGetMainClass(), "shared.Main");
}

TEST_F(SourceTest, RelativeConfigOptionIsBelowTheLauncherDirectory) {
  install("myapp");
  dir.writeFile("app/bin/myapp.config", "mainclass default.Main\n");
  dir.writeFile("app/bin/conf/other.config", "mainclass other.Main\n");
  ASSERT_TRUE(cfgSetDefaultConfigFile("conf/other.config"));
  EXPECT_TRUE(processConfig().ok);
  EXPECT_STREQ(cfgGetMainClass(), "other.Main");
}

TEST_F(SourceTest, MissingConfigOptionFileIsAnErrorWithoutFallback) {
  install("myapp");
  dir.writeFile("app/bin/myapp.config", "mainclass default.Main\n");
  ASSERT_TRUE(cfgSetDefaultConfigFile("missing.config"));
  EXPECT_EQ(processConfig().err,
            "Error: Unable to open configuration file '" + dir.file("app/bin/missing.config") + "'.\n");
  EXPECT_EQ(cfgGetMainClass(), nullptr);
  EXPECT_FALSE(cfgSetDefaultConfigFile(std::string(kPathMax, 'x')));
}

TEST_F(SourceTest, NoConfigurationAtAllReportsTheDefaultFile) {
  install("myapp");
  Processed result = processConfig();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err, "Error: Unable to open configuration file '" + dir.file("app/bin/myapp.config") + "'.\n");
}

}  // namespace
