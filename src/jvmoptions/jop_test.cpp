#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jvmoptions/jop.h"

#include <filesystem>

#include "config/cfg_fixture.h"
#include "launcher.h"

namespace {

class JopTest : public ::testing::Test {
 protected:
  void SetUp() override { jopInit(); }
  void TearDown() override { jopTerm(); }
};

std::vector<std::string> strings(const JavaVMOption* options, int count) {
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) result.emplace_back(options[i].optionString);
  return result;
}

// The first n options of the final list (the launcher's generated options follow).
std::vector<std::string> firstFinal(std::size_t n) {
  std::vector<std::string> all = strings(jopGetJavaVMOptions(), jopGetJavaVMOptionsCount());
  return std::vector<std::string>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(n, all.size())));
}

// Each option string is the list's own copy: the text it was made from
// is gone by the time the JVM reads it.
TEST(JvmOptionListTest, KeepsEveryEntryInOrderAsItsOwnCopy) {
  JvmOptionList list;
  int markers[100];
  for (int i = 0; i < 100; ++i) {
    std::string text = "-Dn=" + std::to_string(i);
    list.add(text, &markers[i]);
  }
  ASSERT_EQ(list.count(), 100);
  for (int i = 0; i < 100; ++i) {
    EXPECT_STREQ(list.data()[i].optionString, ("-Dn=" + std::to_string(i)).c_str());
    EXPECT_EQ(list.data()[i].extraInfo, &markers[i]);
  }
  JvmOptionList moved = std::move(list);
  EXPECT_EQ(moved.count(), 100);
  EXPECT_EQ(list.count(), 0);
  moved.clear();
  EXPECT_EQ(moved.count(), 0);
  EXPECT_EQ(moved.data(), nullptr);
}

TEST_F(JopTest, RepeatedPropertiesAreKeptInOrder) {
  jopAddProp("-Dfoo=1", nullptr);
  jopAddProp("-Dfoo=2", nullptr);
  EXPECT_TRUE(jopIsPropSet("-Dfoo"));
  EXPECT_TRUE(jopIsPropSet("-Dfoo=2"));
  EXPECT_FALSE(jopIsPropSet("-Dfoo=3"));
  EXPECT_FALSE(jopIsParamSet("-Dfoo"));
  jopFinalizeJVMOptions(japFinalInputs(JavaChoice{}, ""));
  EXPECT_EQ(firstFinal(2), (std::vector<std::string>{"-Dfoo=1", "-Dfoo=2"}));
}

TEST_F(JopTest, PrefixTestMatchesLongerNames) {
  jopAddParam("-Dfoobar=2", nullptr);
  EXPECT_TRUE(jopIsParamSet("-Dfoo"));
  EXPECT_FALSE(jopIsParamSet("-Dfoobarx"));
}

TEST_F(JopTest, OptionsAreHiddenUntilFinalized) {
  jopAddParam("-Xmx64m", nullptr);
  EXPECT_EQ(jopGetJavaVMOptions(), nullptr);
  EXPECT_EQ(jopGetJavaVMOptionsCount(), 0);
  jopFinalizeJVMOptions(japFinalInputs(JavaChoice{}, ""));
  jopFinalizeJVMOptions(japFinalInputs(JavaChoice{}, ""));
  EXPECT_EQ(firstFinal(1), (std::vector<std::string>{"-Xmx64m"}));
  // Appending after finalization extends the final list (the exit hook does so).
  int count = jopGetJavaVMOptionsCount();
  int hook;
  jopAddParam("exit", &hook);
  ASSERT_EQ(jopGetJavaVMOptionsCount(), count + 1);
  EXPECT_EQ(jopGetJavaVMOptions()[count].extraInfo, &hook);
}

TEST_F(JopTest, ConsolidateListsOptionsSeparatedByNewlines) {
  JvmOptionList source;
  jopConsolidateParams("launcher.config.params", source.data(), 0);
  jopConsolidateParams("launcher.config.params", nullptr, -1);
  source.add("-Xms32m", nullptr);
  jopConsolidateParams("one", source.data(), 1);
  source.add("-Dx=1", nullptr);
  jopConsolidateParams("launcher.config.params", source.data(), 2);
  std::string longOption(3000, 'x');
  source.add(longOption, nullptr);
  jopConsolidateParams("long", source.data(), 3);
  jopFinalizeJVMOptions(japFinalInputs(JavaChoice{}, ""));
  EXPECT_EQ(firstFinal(3), (std::vector<std::string>{"-Done=-Xms32m", "-Dlauncher.config.params=-Xms32m\n-Dx=1",
                                      "-Dlong=-Xms32m\n-Dx=1\n" + longOption}));
}

}  // namespace

namespace {

class FinalizeTest : public ConfigTest {
 protected:
  JavaChoice java;  ///< the Java the options are for
  std::vector<std::string> finalOptions() {
    finalize(java);
    return strings(jopGetJavaVMOptions(), jopGetJavaVMOptionsCount());
  }
  // The options that follow the class path options.
  static std::vector<std::string> launcherProperties() {
    std::string launcher = hmdGetFullLauncherFileName();
    return {"-Dlauncher.program=" + launcher, "-Dcorvane.executable.path=" + launcher};
  }
  static std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
};

TEST_F(FinalizeTest, ConfigurationOptionsComeFirstThenTheCommandLines) {
  ASSERT_TRUE(process("vmparam -Xmx128m\n").ok);
  jopAddParam("-Xmx256m", nullptr);
  jopAddProp("-Dlog=1", nullptr);
  // From the environment (JDK_JAVA_OPTIONS), ahead of the command line's own.
  jopPrependOptions({"-Xss1m", "-Denv=1", "-Xint"});
  EXPECT_EQ(finalOptions(), concat({"-Xmx128m", "-Xss1m", "-Xint", "-Xmx256m", "-Denv=1", "-Dlog=1",
                                    "-Dlauncher.commandline.params=-Xss1m\n-Xint\n-Xmx256m\n-Denv=1\n-Dlog=1",
                                    "-Dlauncher.config.params=-Xmx128m"},
                                   launcherProperties()));
  std::size_t count = finalOptions().size();
  finalize();
  EXPECT_EQ(static_cast<std::size_t>(jopGetJavaVMOptionsCount()), count);
}

TEST_F(FinalizeTest, ClassPathPlacements) {
  for (const char* name : {"a.jar", "x.jar"}) dir.writeFile(name, "");
  std::string a = dir.file("a.jar"), x = dir.file("x.jar");
  struct Case {
    const char* option;
    std::string classPath;
  } cases[] = {
      {"+classpath/p", x + ":" + a},
      {"+classpath", a + ":" + x},
      {"+classpath/r", x},
      {"+classpath/a", a + ":" + x},
  };
  for (const Case& c : cases) {
    jopInit();
    cfgInit();
    ASSERT_TRUE(process("addpath a.jar\n").ok);
    jopSetCmdLineClassPath(c.option, (x + ":" + a).c_str());
    if (std::string(c.option) == "+classpath/r") jopSetCmdLineClassPath(c.option, x.c_str());
    std::vector<std::string> options = finalOptions();
    std::string commandLine = std::string(c.option) == "+classpath/r" ? x : x + ":" + a;
    EXPECT_EQ(options, concat({"-Dlauncher.config.classpath=" + a, "-Dlauncher.commandline.classpath=" + commandLine,
                               "-Djava.class.path=" + c.classPath},
                              launcherProperties()))
        << c.option;
  }
}

TEST_F(FinalizeTest, ClassPathDroppedWholeAddsNoClassPathOption) {
  std::string x = dir.writeFile("x.jar", "");
  jopSetCmdLineClassPath("+classpath", x.c_str());
  std::filesystem::remove(x);
  EXPECT_EQ(finalOptions(), concat({"-Dlauncher.commandline.classpath=" + x}, launcherProperties()));
}

TEST_F(FinalizeTest, BootClassPathIsPrependedOrAppendedForModularRuntimes) {
  std::string boot = dir.writeFile("boot.jar", "");
  // An executable with an appended archive is first on an old runtime's boot
  // class path (and so off its class path). One without is on no boot class
  // path: Java 8 refuses to start with a file there that holds no archive.
  std::string launcher = dir.writeFile("bin/launcher", std::string("ELF") + "PK\x05\x06" + std::string(18, '\0'));
  hmdSetFullLauncherFileName(launcher);
  ASSERT_TRUE(process("addbootpath boot.jar\naddpath bin/launcher\n").ok);
  std::string bootPath = launcher + ":" + boot;
  EXPECT_EQ(finalOptions(), concat({"-Dlauncher.config.bootclasspath=" + bootPath, "-Xbootclasspath/p:" + bootPath},
                                   launcherProperties()));
  jopInit();
  dir.writeFile("bin/launcher", "ELF");
  EXPECT_EQ(finalOptions(), concat({"-Dlauncher.config.classpath=" + launcher, "-Dlauncher.config.bootclasspath=" + boot,
                                    "-Xbootclasspath/p:" + boot, "-Djava.class.path=" + launcher},
                                   launcherProperties()));
  jopInit();
  java = testJava();
  std::string out = traced([&] {
    EXPECT_EQ(finalOptions(), concat({"-Dlauncher.config.classpath=" + launcher,
                                      "-Dlauncher.config.bootclasspath=" + boot, "-Xbootclasspath/a:" + boot,
                                      "-Djava.class.path=" + launcher,
                                      "-Dlauncher.jdk.home=" + testJdkHome()},
                                     launcherProperties()));
  });
  EXPECT_NE(out.find("The modular Java runtime takes the boot class path appended (-Xbootclasspath/a:)\n"),
            std::string::npos);
}

TEST_F(FinalizeTest, ReferenceImplementationOnTheClassPathIsRefused) {
  std::string j2ee = dir.writeFile("opt/x/J2EE.JAR", "");
  dir.makeDir("j2ee.jar.d");
  ASSERT_TRUE(process("addpath j2ee.jar.d\n").ok);
  jopSetCmdLineClassPath("+classpath", j2ee.c_str());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(finalize());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Sun's J2EE Reference Implementation found on classpath.\nCorvane Kestrix and Sun's J2EE are mutually "
            "exclusive.\nRemove '" +
                j2ee + "' from the classpath before running any Corvane Kestrix command.\n");
  // Without the safety net when the launch began, or with allowri, it is a
  // jar like any other.
  setenv("KRX_NO_SAFETY_NET", "", 1);
  jopInit();
  unsetenv("KRX_NO_SAFETY_NET");
  jopSetCmdLineClassPath("+classpath", j2ee.c_str());
  EXPECT_EQ(finalOptions().at(2), "-Djava.class.path=" + dir.file("j2ee.jar.d") + ":" + j2ee);
  jopInit();
  jopSetCmdLineClassPath("+classpath", j2ee.c_str());
  ASSERT_TRUE(process("options allowri\n").ok);
  EXPECT_EQ(finalOptions().at(2), "-Djava.class.path=" + dir.file("j2ee.jar.d") + ":" + j2ee);
}

TEST_F(FinalizeTest, GeneratedOptionsFollowTheConfiguration) {
  ASSERT_TRUE(process("cd /tmp\noptions handleexit\n").ok);
  jevGetInvocationFunction()->DumpAllStacks = [](JNIEnv*, jclass) {};
  EXPECT_EQ(finalOptions(), concat(launcherProperties(), {"-Duser.dir=/tmp", "-Xrs"}));
}

TEST_F(FinalizeTest, DebuggerOptions) {
  struct Case {
    const char* jpda;
    int subType;
    std::vector<std::string> options;
    bool modular = false;
  } cases[] = {
      {"+jpda:address=8000", kSubTypeDefault,
       {"-Xdebug", "-Xnoagent", "-Djava.compiler=", "-Xrunjdwp:transport=dt_socket,server=y,suspend=n,address=8000"}},
      {"+jpda:paused,address=myhost:8000", kSubTypeServer,
       {"-Xdebug", "-Xnoagent", "-Xrunjdwp:transport=dt_socket,server=n,suspend=y,address=myhost:8000"}},
      {"+jpda", kSubTypeClassic, {"-Xdebug", "-Xnoagent", "-Djava.compiler=", "-Xrunjdwp:transport=dt_socket,server=y,suspend=n"}},
      // JDK 25 refuses -Xnoagent: a modular runtime gets the agent library.
      {"+jpda:paused,address=8000", kSubTypeDefault,
       {"-agentlib:jdwp=transport=dt_socket,server=y,suspend=y,address=8000"}, true},
  };
  for (const Case& c : cases) {
    jevReset();
    jopInit();
    optInit();
    java = c.modular ? testJava() : JavaChoice{};
    java.info.jvmSubType = c.subType;
    ASSERT_TRUE(optSetJPDA(false, c.jpda, OptionValue{}));
    std::vector<std::string> generated = launcherProperties();
    if (c.modular) generated.insert(generated.begin(), "-Dlauncher.jdk.home=" + testJdkHome());
    EXPECT_EQ(finalOptions(), concat(generated, c.options)) << c.jpda;
  }
}

}  // namespace
