#include <gtest/gtest.h>

#include "cmdline/opt.h"
#include "config/cfg_fixture.h"
#include "jvm/jev.h"
#include "launcher.h"
#include "host/hmd.h"
#include "launcher/jap.h"
#include "temp_dir.h"

namespace {

class SecureBootstrapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hmdResetApplicationHome();
    japInit();
    std::string launcher = dir.writeFile("app/bin/server", "", 0755);
    std::string home;
    ASSERT_TRUE(hmdSetApplicationHome(launcher.c_str(), home, kPathMax));
    optAddApplicationArgument("user-arg");
  }
  void TearDown() override {
    japTerm();
    hmdResetApplicationHome();
  }
  TempDir dir;
};

TEST_F(SecureBootstrapTest, WithoutKeysTheMainClassRunsUnchanged) {
  EXPECT_EQ(japConfigureForSSL(nullptr), nullptr);
  EXPECT_STREQ(japConfigureForSSL("com.example.Main"), "com.example.Main");
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"user-arg"}));
}

TEST_F(SecureBootstrapTest, WithKeysTheLoginClassRunsWithAuthAndMainFirst) {
  dir.writeFile("app/adm/security/keys", "any kind of file counts");
  EXPECT_STREQ(japConfigureForSSL("com.example.Main"), "com.ostrave.security.bootstrap.Login");
  EXPECT_EQ(optGetApplicationArgList(),
            (std::vector<std::string>{"com.ostrave.security.bootstrap.AuthClear", "com.example.Main", "user-arg"}));
}

}  // namespace

namespace {

TEST(QuoteTest, EveryWordReachesTheShellWhole) {
  struct Case {
    const char* text;
    const char* quoted;
  } cases[] = {
      {"plain-/path_1.jar:x,y+z=@%", "plain-/path_1.jar:x,y+z=@%"},
      {"two words", "\"two words\""},
      {"", "\"\""},
      {"tab\there", "'tab\there'"},
      {"$HOME", "'$HOME'"},
      {"it's", "'it'\\''s'"},
      {"say \"hi\" now", "'say \"hi\" now'"},
      {"a\\b", "'a\\b'"},
      {"*.jar", "'*.jar'"},
      {"~user", "'~user'"},
      {"`cmd`", "'`cmd`'"},
      {"a;b|c&d", "'a;b|c&d'"},
      {"line\nbreak", "'line\nbreak'"},
      {"'", "\\'"},
      {"\x1b]0;x\x07 y\xc2\x9b'", "\"$(printf '\\033')\"']0;x'\"$(printf '\\007')\"' y'\"$(printf '\\302\\233')\"\\'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(japQuoteSpaces(c.text), c.quoted) << c.text;
    // What the shell makes of the word is the text itself.
    ProcessCommand sh;
    sh.program = "/bin/sh";
    sh.argv = {"sh", "-c", "printf %s " + japQuoteSpaces(c.text)};
    EXPECT_EQ(runProcess(sh).out, c.text) << c.quoted;
  }
}

}  // namespace

namespace {

using JavaCmdVariantTest = ConfigTest;

// The java launcher of a modular runtime takes -client and -server only.
TEST_F(JavaCmdVariantTest, ModularRuntimeGetsOnlyTheFlagsItsJavaAccepts) {
  JavaChoice java = testJava(kSubTypeServer);
  finalize(java);
  struct Case {
    int subType;
    std::string flag;
  } cases[] = {{kSubTypeServer, " -server"}, {kSubTypeClient, " -client"}, {kSubTypeHotspot, ""}, {kSubTypeClassic, ""}};
  for (const Case& c : cases) {
    java.info.jvmSubType = c.subType;
    std::string out = traced([&] { japPrintJavaCmd(java, "a.Main"); });
    std::string expected = testJdkHome() + "/bin/java" + c.flag + " -Dlauncher.jdk.home=";
    EXPECT_NE(out.find(expected), std::string::npos) << c.subType << out;
    if (c.flag.empty()) {
      EXPECT_NE(out.find(" the java launcher of a modular Java runtime does not accept it\n"), std::string::npos);
    }
  }
}

// What the launcher adds for a launch through itself is left out of the
// printed command; the user's own options are printed, whatever they look like.
TEST_F(JavaCmdVariantTest, LeavesOutOnlyWhatTheLauncherAddedForItself) {
  JavaChoice java = testJava();
  ASSERT_TRUE(process("cd /\nvmparam -Xrs\nvmprop launcher.config.mine=1\nvmprop user.dir=/u\n").ok);
  jopAddParam("-Xss1m", nullptr);
  finalize(java);
  std::string out = traced([&] { japPrintJavaCmd(java, "a.Main"); });
  std::string command = testJdkHome() + "/bin/java";
  EXPECT_NE(out.find("\n" + command + " -server -Xrs -Dlauncher.config.mine=1 -Duser.dir=/u -Xss1m -Dlauncher.jdk.home=" +
                     testJdkHome() + " -Dlauncher.program=" + command + " "),
            std::string::npos)
      << out;
  for (const char* own : {"launcher.config.params", "launcher.commandline.params", "user.dir=/ "}) {
    EXPECT_EQ(out.find(own), std::string::npos) << own << out;
  }
}

}  // namespace

namespace {

using DecideTest = ConfigTest;

// What a launch does, from the command line as the configuration enables its
// options: the first of +unit, +cache, +help, -X, an unsupported -jpda, +version and
// +usage wins; +javacmd and +check say how the entry class is started. The
// launcher's options end at -X; they may follow an application argument.
TEST_F(DecideTest, CommandLineAndConfigurationChooseTheAction) {
  struct Case {
    std::vector<std::string> args;
    const char* config;
    LaunchAction action;
    bool print = false, check = false;
  } cases[] = {
      {{"+unit", "+help"}, "", LaunchAction::kUnit},
      {{"+cache", "+help"}, "", LaunchAction::kCache},
      {{"+javacmd", "+help", "-X"}, "", LaunchAction::kHelp, true},
      {{"+check", "-X", "+javacmd"}, "", LaunchAction::kXUsage, false, true},
      {{"+jpda", "+version"}, "jpda running\nversionclass a.V\n", LaunchAction::kVersion},
      {{"+version", "+usage"}, "usageclass a.U\n", LaunchAction::kUsage},
      {{"+usage", "+javacmd"}, "usageclass a.U\n", LaunchAction::kUsage, true},
      {{"+version"}, "", LaunchAction::kRun},
      {{"+check", "+javacmd", "app"}, "", LaunchAction::kRun, true, true},
      {{"app", "+help"}, "", LaunchAction::kHelp},
  };
  for (const Case& c : cases) {
    cfgInit();
    optInit();
    ASSERT_TRUE(process(c.config).ok);
    std::vector<std::string> args = c.args;
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    char** rest = argv.data();
    optParseArgument(&argc, &rest);
    optConvertDisabledArguments();
    LaunchPlan plan = japDecide(japReadRequest());
    std::string name = c.args.front() + " " + c.config;
    EXPECT_EQ(plan.action, c.action) << name;
    EXPECT_EQ(plan.printJavaCommand, c.print) << name;
    EXPECT_EQ(plan.check, c.check) << name;
  }
}

}  // namespace
