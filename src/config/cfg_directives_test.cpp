#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "config/cfg_fixture.h"
#include "config/cfg_state.h"
#include "host/hmd.h"

namespace {

using DirectiveTest = ConfigTest;

std::vector<std::string> finalOptions() {
  cfgFinalizeJVMOptions();
  std::vector<std::string> result;
  for (int i = 0; i < cfgGetJavaVMOptionsCount(); ++i) result.emplace_back(cfgGetJavaVMOptions()[i].optionString);
  return result;
}

TEST_F(DirectiveTest, ClassAndMethodAreSplitFromTheParameter) {
  struct Case {
    const char* lines;
    const char* mainClass;
    const char* method;
  } cases[] = {
      {"mainclass a.b.Main.start()", "a.b.Main", "start"},
      {"mainclass a.b.Main.start()\nmainclass Main", "Main", "start"},
      {"mainclass go()", "", "go"},
      {"mainclass ()", "()", "main"},
      {"mainclass Main\nmainmethod run", "Main", "run"},
  };
  for (const Case& c : cases) {
    cfgInit();
    ASSERT_TRUE(process(c.lines).ok) << c.lines;
    EXPECT_STREQ(cfgGetMainClass(), c.mainClass) << c.lines;
    EXPECT_STREQ(cfgGetMainMethod(), c.method) << c.lines;
  }
}

TEST_F(DirectiveTest, ExitClassDefaultsToTheMainClassAndCleanup) {
  EXPECT_TRUE(process("mainclass a.Main\nversionclass a.Version\n").ok);
  EXPECT_STREQ(cfgGetExitClass(), "a.Main");
  EXPECT_STREQ(cfgGetExitMethod(), "cleanup");
  EXPECT_STREQ(cfgGetVersionMethod(), "main");
  EXPECT_EQ(cfgGetUsageClass(), nullptr);
  EXPECT_TRUE(process("exitclass a.Exit.stop()\n").ok);
  EXPECT_STREQ(cfgGetExitClass(), "a.Exit");
  EXPECT_STREQ(cfgGetExitMethod(), "stop");
}

// A restart code is an exit status, 0 to 255; a usage code any 32-bit number.
TEST_F(DirectiveTest, ExitCodesMustBeWholeNumbers) {
  struct Case {
    const char* param;
    bool usageOk, restartOk;
  } cases[] = {{"3", true, true},           {"+7", true, true},          {"255", true, true},
               {"-1", true, false},         {"256", true, false},        {"2147483647", true, false},
               {"12x", false, false},       {"abc", false, false},       {"2147483648", false, false},
               {"-2147483649", false, false}, {"99999999999999999999", false, false}};
  for (const Case& c : cases) {
    cfgInit();
    std::string param = c.param;
    EXPECT_EQ(cfgSetRestartOnExitCode(param), c.restartOk) << c.param;
    EXPECT_EQ(cfgGetRestartOnExitCode(), c.restartOk ? std::atoi(c.param) : 0) << c.param;
    param = c.param;
    EXPECT_EQ(cfgSetUsageOnExitCode(param), c.usageOk) << c.param;
    EXPECT_EQ(cfgGetUsageOnExitCode(), c.usageOk ? std::atoi(c.param) : 0) << c.param;
  }
  // The restart decision is made after the configuration is released.
  std::string three = "3";
  cfgSetRestartOnExitCode(three);
  cfgTerm();
  EXPECT_EQ(cfgGetRestartOnExitCode(), 3);
}

TEST_F(DirectiveTest, FirstJavaHomeAndVmTypeWin) {
  dir.makeDir("jdk1");
  std::string out = traced([&] { EXPECT_TRUE(process("javahome jdk1\njavahome /other\nvmtype client\nvmtype server\n").ok); });
  EXPECT_STREQ(jopGetJavaHome(), dir.file("jdk1").c_str());
  EXPECT_EQ(cfgGetJVMSubType(), kSubTypeClient);
  EXPECT_NE(out.find("Javahome already set - not setting it to </other>\n"), std::string::npos);
  EXPECT_NE(out.find("VMType already set - not setting it to <server>\n"), std::string::npos);

  cfgInit();
  EXPECT_TRUE(process("vmtype jvmdefault\n").ok);
  EXPECT_EQ(cfgGetJVMSubType(), kSubTypeDefault);

  // A new launch chooses its home again.
  jopInit();
  EXPECT_TRUE(process("javahome /other\n").ok);
  EXPECT_STREQ(jopGetJavaHome(), "/other");
}

TEST_F(DirectiveTest, JavaPathIsKeptAsWritten) {
  std::string out = traced([&] { EXPECT_TRUE(process("javahome /j\njavapath lib/libjvm.so\njavapath /x\n").ok); });
  EXPECT_STREQ(jopGetJavaPath(), "lib/libjvm.so");
  EXPECT_NE(out.find("Javapath will override your previously set Javahome\n"), std::string::npos);
  EXPECT_NE(out.find("Javapath already set - not setting it to </x>\n"), std::string::npos);
  jopInit();
  EXPECT_TRUE(process("javapath /x\n").ok);
  EXPECT_STREQ(jopGetJavaPath(), "/x");
}

TEST_F(DirectiveTest, ConfiguredArgumentsComeFirstInOrder) {
  optAddApplicationArgument("x");
  optAddApplicationArgument("y");
  EXPECT_TRUE(process("apparg a\naddparam b\nnosplash true please\n").ok);
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"a", "b", "-nosplash", "x", "y"}));
  // Words as a shell splits them, an empty one included, in the same place.
  EXPECT_TRUE(process("addparams -cp \"\" 'two words'\naddparams $env(CFG_TEST_UNSET)\napparg c\n").ok);
  EXPECT_EQ(optGetApplicationArgList(),
            (std::vector<std::string>{"a", "b", "-nosplash", "-cp", "", "two words", "c", "x", "y"}));
  EXPECT_FALSE(process("addparams 'open\n").ok);
}

TEST_F(DirectiveTest, PathListsKeepExistingDistinctElements) {
  dir.makeDir("lib");
  dir.writeFile("lib/a.jar", "");
  dir.writeFile("lib/b.jar", "");
  std::string out = traced([&] { EXPECT_TRUE(process("addpath lib/a.jar:missing.jar::lib/a.jar\naddpath lib\\b.jar\n").ok); });
  EXPECT_EQ(cfgGetClassPath(), dir.file("lib/a.jar") + ":" + dir.file("lib/b.jar"));
  EXPECT_NE(out.find("Ignoring '" + dir.file("missing.jar") + "' - it does not exist\n"), std::string::npos);

  // An archive on both paths is listed by the boot class path only.
  EXPECT_TRUE(process("addbootpath " + dir.file("lib/b.jar") + "\naddpath lib/b.jar\n").ok);
  EXPECT_EQ(cfgGetClassPath(), dir.file("lib/a.jar"));
  EXPECT_EQ(cfgGetBootClassPath(), dir.file("lib/b.jar"));
  EXPECT_TRUE(process("addlibpath lib:" + dir.path() + "\n").ok);
  EXPECT_EQ(cfgGetShLibPath(), (PathArray{dir.file("lib"), dir.path()}));
}

TEST_F(DirectiveTest, JarDirectoriesAddArchivesSortedWithoutRegardToCase) {
  for (const char* name : {"B.jar", "a.zip", "c.JAR", "notes.txt", ".jar", "skip.jar"}) dir.writeFile(std::string("jars/") + name, "");
  for (const char* jar : {"first.jar", "after.jar", "last.jar"}) dir.writeFile(jar, "");
  EXPECT_TRUE(process("addpath first.jar\naddskippath jars/skip.jar\naddjars jars\naddjars no-such-dir\n").ok);
  EXPECT_EQ(cfgGetClassPath(), dir.file("first.jar") + ":" + dir.file("jars/a.zip") + ":" + dir.file("jars/B.jar") +
                                   ":" + dir.file("jars/c.JAR"));
  EXPECT_TRUE(process("addbootjars jars\n").ok);
  EXPECT_EQ(cfgGetBootClassPath(), dir.file("jars/a.zip") + ":" + dir.file("jars/B.jar") + ":" + dir.file("jars/c.JAR"));
  EXPECT_EQ(cfgGetClassPath(), dir.file("first.jar"));
}

TEST_F(DirectiveTest, SkipPathRemovesAnEntryAlreadyAdded) {
  dir.writeFile("x.jar", "");
  EXPECT_TRUE(process("addpath x.jar\naddskippath x.jar\n").ok);
  EXPECT_EQ(cfgGetClassPath(), std::nullopt);
  EXPECT_TRUE(process("addpath x.jar\n").ok);
  EXPECT_EQ(cfgGetClassPath(), dir.file("x.jar"));
}

TEST_F(DirectiveTest, ReferenceImplementationInAJarDirectoryEndsTheConfiguration) {
  dir.writeFile("jars/J2EE.jar", "");
  dir.writeFile("first.jar", "");
  dir.writeFile("jars.config", "addpath first.jar\naddbootjars jars\naddpath after.jar\n");
  Processed refused = process("include jars.config\naddpath last.jar\n");
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.err, "Sun's J2EE Reference Implementation found in '" + dir.file("jars") +
                             "/j2ee.jar'.\nCorvane Kestrix and Sun's J2EE are mutually exclusive. Uninstall J2EE.\n");
  EXPECT_EQ(cfgGetClassPath(), dir.file("first.jar"));
  setenv("KRX_NO_SAFETY_NET", "1", 1);
  cfgInit();
  unsetenv("KRX_NO_SAFETY_NET");
  EXPECT_TRUE(process("addjars jars\n").ok);
  EXPECT_EQ(cfgGetClassPath(), dir.file("jars/J2EE.jar"));
}

TEST_F(DirectiveTest, WorkingDirectoryDaemonSupportAndExport) {
  dir.makeDir("run");
  EXPECT_TRUE(process("cd work/../run\ndaemonsupport logs\nexport CFG_TEST_EXPORTED=bar\napparg $env(CFG_TEST_EXPORTED)\n"
                      "pidfile run/app.pid\nrestartlimit 2/60\n").ok);
  EXPECT_STREQ(cfgGetCurrentDir(), dir.file("run").c_str());
  // java's -splash: among JVM options is no JVM option: the splash image, as java takes it.
  EXPECT_TRUE(process("splash a.png\nvmparams -splash:rel.png\n").ok);
  EXPECT_EQ(cfgGetSplashImage(), "rel.png");
  EXPECT_STREQ(cfgGetPidFile(), dir.file("run/app.pid").c_str());
  EXPECT_EQ(cfgGetRestartLimitCount(), 2);
  EXPECT_EQ(cfgGetRestartLimitSeconds(), 60);
  EXPECT_TRUE(cfgGetDaemonSupport());
  EXPECT_STREQ(cfgGetDaemonLogDir(), dir.file("logs").c_str());
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"bar"}));
  unsetenv("CFG_TEST_EXPORTED");
}

TEST_F(DirectiveTest, ParametersPrecedePropertiesInTheFinalList) {
  setenv("CFG_TEST_COPIED", "/home/u", 1);
  EXPECT_TRUE(process("vmprop a=b\nvmparam -Xss1m\nvmparams -Xint  -Dq='x y'\nvmparams $env(CFG_TEST_UNSET)\n"
                      "vmmemmax 256m\nvmmemmin 32m\nvmmemmax auto\nsocket 7001x\n"
                      "copyenv CFG_TEST_COPIED\ncopyenv CFG_TEST_UNSET\n")
                  .ok);
  unsetenv("CFG_TEST_COPIED");
  EXPECT_EQ(cfgGetJavaVMOptions(), nullptr);
  EXPECT_EQ(cfgGetJavaVMOptionsCount(), 0);
  EXPECT_EQ(finalOptions(), (std::vector<std::string>{"-Xss1m", "-Xint", "-Xmx256m", "-Xms32m", "-Da=b", "-Dq=x y",
                                                      "-Dcorvane.socket=7001",
                                                      "-Dcorvane.copyenv.CFG_TEST_COPIED=/home/u"}));
  EXPECT_EQ(cfgGetSocketPort(), 7001);
  EXPECT_TRUE(cfgIsPropSet("-Da="));
  EXPECT_TRUE(cfgIsParamSet("-Da="));
}

// The words of a file as mvn takes .mvn/jvm.config: no quotes, no comments;
// a file that is not there adds nothing.
TEST_F(DirectiveTest, ParametersFileAddsItsWordsAndAMissingOneNothing) {
  dir.writeFile("jvm.config", "-Xint\t-Dq=\"a b\"\r\n\n  # -Dc=1 \\\n-Xss1m\n");
  dir.makeDir("directory.config");
  EXPECT_TRUE(process("vmparamsfile jvm.config\nvmparamsfile missing.config\nvmparamsfile directory.config\n").ok);
  EXPECT_EQ(finalOptions(), (std::vector<std::string>{"-Xint", "b\"", "#", "\\", "-Xss1m", "-Dq=\"a", "-Dc=1"}));
}

TEST_F(DirectiveTest, SocketPortMustBeAUsablePort) {
  for (const char* param : {"x", "0", "-1", "70000"}) {
    std::string text = param;
    EXPECT_FALSE(cfgSetSocketPort(text)) << param;
  }
  EXPECT_EQ(cfgGetSocketPort(), 0);
}

TEST_F(DirectiveTest, HeapSizeFromAShareOfMemory) {
  struct Case {
    const char* param;
    long long memory;
    std::optional<std::string> option;
    bool valid = true;
  } cases[] = {
      {"256m", 0, "-Xmx256m"},
      {"auto", 1 << 30, std::nullopt},
      {"50%", 1 << 30, "-Xmx500m"},
      {"25%", 1 << 30, "-Xmx250m"},
      {"50%", 512LL << 20, "-Xmx250m"},
      {"80%", 3LL << 29, sizeof(void*) == 4 ? "-Xmx1048m" : "-Xmx1280m"},
      {"50%", 64LL << 30, sizeof(void*) == 4 ? "-Xmx1048m" : "-Xmx34350m"},
      {"50%", 0, std::nullopt},
      {"99999999999999999999%", 1 << 30, std::nullopt, false},
      {"200000000%", 64LL << 30, std::nullopt, false},
      {"-5%", 1 << 30, std::nullopt, false},
  };
  static long long memory;
  for (const Case& c : cases) {
    memory = c.memory;
    std::optional<std::string> option = "unchanged";
    EXPECT_EQ(cfgHeapSizeOption("-Xmx", c.param, [] { return static_cast<MemorySize>(memory); }, option), c.valid)
        << c.param;
    EXPECT_EQ(option, c.option) << c.param << " of " << c.memory;
  }
}

// A share of this machine's memory, which is over 2.1 GB: a 32-bit launcher
// gets its cap, not a share of a count wrapped at 4 GiB.
TEST_F(DirectiveTest, HeapSizeFromAShareOfThisMachinesMemory) {
  std::optional<std::string> option;
  ASSERT_TRUE(cfgHeapSizeOption("-Xmx", "50%", getTotalPhysMem, option));
  ASSERT_TRUE(option);
  if (sizeof(void*) == 4) {
    EXPECT_EQ(*option, "-Xmx1048m");
  } else {
    ASSERT_EQ(option->substr(0, 4), "-Xmx");
    EXPECT_GT(std::stoll(option->substr(4)), 1048) << *option;
  }
}

TEST_F(DirectiveTest, ExportEnvPassesTheEnvironmentThroughAFile) {
  std::string param = "yes";
  EXPECT_FALSE(cfgSetExportEnv(param));
  param = "true";
  ASSERT_TRUE(cfgSetExportEnv(param));
  ASSERT_TRUE(cfgWriteExportEnv());
  std::vector<std::string> options = finalOptions();
  ASSERT_EQ(options.size(), 1u);
  std::string prefix = "-Dcorvane.exportenv=/tmp/corvane-envdump-";
  ASSERT_EQ(options[0].substr(0, prefix.size()), prefix);
  std::string file = options[0].substr(std::string("-Dcorvane.exportenv=").size());
  EXPECT_NE(readFile(file).find("PATH="), std::string::npos);
  hmdRemoveLaunchFiles();
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(DirectiveTest, DefaultVersionRequirementIsOnePointThreePointOneOrHigher) {
  std::string message;
  EXPECT_TRUE(cfgIsJVMVersionAcceptable("17.0.15", &message));
  EXPECT_EQ(message, "Version 1.3.1 or higher is required.");
  EXPECT_FALSE(cfgIsJVMVersionAcceptable("1.3.0", nullptr));
  EXPECT_FALSE(cfgIsJVMVersionAcceptable(nullptr, nullptr));
}

}  // namespace
