#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "config/cfg_fixture.h"

namespace {

using ProcessingTest = ConfigTest;

TEST_F(ProcessingTest, CommentsAndBlankLinesOnlySucceed) {
  Processed result = process("# nothing\n\n   \n\t# more\n");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.err, "");
}

TEST_F(ProcessingTest, EachFailureStopsTheFileWithItsMessage) {
  const std::string kHeapSizeHint =
      "A heap size takes a unit (64m, 2g), a share of the memory (50%%) or auto; a number alone counts bytes, which "
      "the JVM takes only as a multiple of 1024 of at least 2 MB.\n";
  auto kReadinessError = [](const std::string& value) {
    return "Error: Invalid readiness in 'readiness " + value + "' at line 1 in configuration file '%s'.\n"
           "A service is ready when it has started, when it is listening (on any TCP port, or "
           "listening:PORT[,PORT...] on each of those), when its main method has returned (mainreturned), or when "
           "the application says so (application).\n";
  };
  struct Case {
    const char* text;
    std::string message;  // %s is the file name
  } cases[] = {
      {"Mainclass x", "Error: Unrecognized directive 'Mainclass x' at line 1 in configuration file '%s'.\n"},
      {"# c\nmainclass\tx", "Error: Unrecognized directive 'mainclass\tx' at line 2 in configuration file '%s'.\n"},
      {"mainclass $env(CFG_TEST_UNSET)",
       "Error: Parameter required for 'mainclass ' at line 1 in configuration file '%s'.\n"},
      {"addjars", "Error: Parameter required for 'addjars' at line 1 in configuration file '%s'.\n"},
      {"nosplash false", "Error: Unable to process 'nosplash false' at line 1 in configuration file '%s'.\n"},
      {"vmparams -Dx='open", "Error: Unable to process 'vmparams -Dx='open' at line 1 in configuration file '%s'.\n"},
      {"\n\nrestartonexit 12x", "Error: Invalid number in 'restartonexit 12x' at line 3 in configuration file '%s'.\n"},
      {"restartonexit 256", "Error: Invalid number in 'restartonexit 256' at line 1 in configuration file '%s'.\n"},
      {"restartlimit 5", "Error: Invalid number in 'restartlimit 5' at line 1 in configuration file '%s'.\n"},
      {"restartlimit 0/10", "Error: Invalid number in 'restartlimit 0/10' at line 1 in configuration file '%s'.\n"},
      {"restartlimit 3/1s", "Error: Invalid number in 'restartlimit 3/1s' at line 1 in configuration file '%s'.\n"},
      {"cd no/such/dir", "Error: Unable to process 'cd no/such/dir' at line 1 in configuration file '%s'.\n"},
      // A carried jar's hash and name become a path in the user's cache.
      {"packedjar 0000000000000000000000000000000000000000000000000000000000000000 ../app.jar",
       "Error: Unable to process 'packedjar 0000000000000000000000000000000000000000000000000000000000000000 ../app.jar' at line 1 in configuration file '%s'.\n"},
      {"packedjar 000000000000000000000000000000000000000000000000000000000000000G app.jar",
       "Error: Unable to process 'packedjar 000000000000000000000000000000000000000000000000000000000000000G app.jar' at line 1 in configuration file '%s'.\n"},
      {"packedruntime ../0000000000000000000000000000000000000000000000000000000000000",
       "Error: Unable to process 'packedruntime ../0000000000000000000000000000000000000000000000000000000000000' at line 1 in configuration file '%s'.\n"},
      // Its glibc field is a version, and the only field there is.
      {"packedruntime 0000000000000000000000000000000000000000000000000000000000000000 glibc=2.3x",
       "Error: Unable to process 'packedruntime 0000000000000000000000000000000000000000000000000000000000000000 glibc=2.3x' at line 1 in configuration file '%s'.\n"},
      {"packedruntime 0000000000000000000000000000000000000000000000000000000000000000 cpu=x86",
       "Error: Unable to process 'packedruntime 0000000000000000000000000000000000000000000000000000000000000000 cpu=x86' at line 1 in configuration file '%s'.\n"},
      {"vmmemmax 50.5%", "Error: Invalid number in 'vmmemmax 50.5%%' at line 1 in configuration file '%s'.\n" +
                             kHeapSizeHint},
      {"vmmemmax 99999999999999999999%",
       "Error: Invalid number in 'vmmemmax 99999999999999999999%%' at line 1 in configuration file '%s'.\n" +
           kHeapSizeHint},
      {"\nvmmemmin 512", "Error: Invalid number in 'vmmemmin 512' at line 2 in configuration file '%s'.\n" +
                             kHeapSizeHint},
      {"bo\x1b]0;owned\x07gus\x7f\xc2\x9b", "Error: Unrecognized directive 'bo\\x1b]0;owned\\x07gus\\x7f\\xc2\\x9b' "
                                          "at line 1 in configuration file '%s'.\n"},
      {"readiness listening:80,", kReadinessError("listening:80,")},
      {"readiness mainreturned:80", kReadinessError("mainreturned:80")},
      {"readiness listening:65536", kReadinessError("listening:65536")},
      {"readiness ready", kReadinessError("ready")},
      {"vmtype Server", "Error: Unrecognized VM type in 'vmtype Server' at line 1 in configuration file '%s'.\n"},
      {"vmversion 1.3.0",
       "Error: Invalid version specifier in 'vmversion 1.3.0' at line 1 in configuration file '%s'.\n"},
  };
  for (const Case& c : cases) {
    Processed result = process(std::string(c.text) + "\nmainclass never.Reached\n");
    EXPECT_FALSE(result.ok) << c.text;
    char expected[1024];
    std::snprintf(expected, sizeof expected, c.message.c_str(), dir.file("app.config").c_str());
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

// In name order, whatever order the directory lists them in: a site's
// 10-site.config comes before its 90-local.config on every file system.
TEST_F(ProcessingTest, IncludeDirProcessesConfigFilesOnlyAndToleratesTheirErrors) {
  dir.writeFile("d/y.CONFIG", "apparg from-y\n");
  dir.writeFile("d/x.config", "bogus\n");
  dir.writeFile("d/90-local.config", "apparg from-90\n");
  dir.writeFile("d/10-site.config", "apparg from-10\n");
  dir.writeFile("d/.config", "apparg from-dot\n");
  dir.writeFile("d/z.cfg", "apparg from-cfg\n");
  Processed result = process("includedir d\napparg last\n");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.err, "Error: Unrecognized directive 'bogus' at line 1 in configuration file '" +
                            dir.file("d/x.config") + "'.\n");
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"from-10", "from-90", "from-y", "last"}));
  EXPECT_TRUE(process("includedir no-such-dir\n").ok);
}

// Each refusal ends all processing at once, with its message alone: the
// including lines add nothing, and nothing after them runs.
TEST_F(ProcessingTest, HostileInputEndsAtOnceWithItsMessage) {
  dir.makeDir("conf.d");
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  dir.writeFile("loop/a.config", "\ninclude b.config\n");
  dir.writeFile("loop/b.config", "includedir .\n");
  dir.writeFile("big/long.config", "set A=1\n" + std::string(1024 * 1024 + 1, 'x') + "\n");
  std::filesystem::resize_file(dir.writeFile("big/large.config", ""), 64 * 1024 * 1024 + 1);
  // A chain of distinct files nests 64 deep.
  for (int i = 0; i < 70; ++i) {
    dir.writeFile("chain/" + std::to_string(i) + ".config", "include " + std::to_string(i + 1) + ".config\n");
  }
  std::string app = dir.file("app.config");
  // Each line doubles the last: 15 bytes become 1.9 MiB on line 18.
  std::string doubling = "set A0=0123456789abcde";
  for (int i = 1; i <= 17; ++i) {
    doubling += "\nset A" + std::to_string(i) + "=$var(A" + std::to_string(i - 1) + ")$var(A" +
                std::to_string(i - 1) + ")";
  }
  std::string copying = "set A0=0123456789abcde";
  for (int i = 1; i <= 16; ++i) {
    copying += "\nset A" + std::to_string(i) + "=$var(A" + std::to_string(i - 1) + ")$var(A" +
               std::to_string(i - 1) + ")";
  }
  for (int i = 0; i < 300; ++i) copying += "\nset COPY=$var(A16)";
  struct Case {
    std::string text, message;
  } cases[] = {
      {doubling, "Error: Line 18 of configuration file '" + app + "' is longer than 1 MiB once its macros are "
                 "expanded.\n"},
      {copying, "Error: The configuration is longer than 256 MiB once its macros are expanded, at line 289 of "
                "configuration file '" + app + "'.\n"},
      {"include app.config", "Error: Configuration file '" + app + "' is included again while it is read, at line 1 "
                             "in configuration file '" + app + "'.\n"},
      {"includedir .\nincludedir .", "Error: Configuration file '" + app + "' is included again while it is read, "
                                    "at line 1 in configuration file '" + app + "'.\n"},
      {"include loop/a.config", "Error: Configuration file '" + dir.file("loop/a.config") + "' is included again "
                                "while it is read, at line 1 in configuration file '" + dir.file("loop/b.config") +
                                "'.\n"},
      {"include conf.d", "Error: Configuration file '" + dir.file("conf.d") + "' is not a regular file.\n"},
      {"include fifo", "Error: Configuration file '" + dir.file("fifo") + "' is not a regular file.\n"},
      {"includedir conf.d\ninclude /dev/zero", "Error: Configuration file '/dev/zero' is not a regular file.\n"},
      {"include big/long.config", "Error: Line 2 of configuration file '" + dir.file("big/long.config") +
                                  "' is longer than 1 MiB.\n"},
      {"include big/large.config", "Error: Configuration file '" + dir.file("big/large.config") +
                                   "' is larger than 64 MiB.\n"},
      {"include chain/0.config", "Error: Configuration files are nested more than 64 deep at '" +
                                     dir.file("chain/63.config") + "'.\n"},
  };
  for (const Case& c : cases) {
    cfgTerm();
    cfgInit();
    Processed result = process(c.text + "\nmainclass never.Reached\n");
    EXPECT_FALSE(result.ok) << c.text;
    EXPECT_EQ(result.err.substr(0, result.err.find('\n') + 1), c.message) << c.text;
    if (c.text.find("chain") == std::string::npos) {
      EXPECT_EQ(result.err, c.message) << c.text;
    }
    EXPECT_EQ(cfgGetMainClass(), nullptr) << c.text;
  }
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
