#include <gtest/gtest.h>

#include "config/cfg_fixture.h"

namespace {

using CheckDirectiveTest = ConfigTest;

TEST_F(CheckDirectiveTest, OptionsFlipTheirFlags) {
  EXPECT_TRUE(process("options strictvm,handleexit,startupcache,notifyready,quickstart\n").ok);
  EXPECT_TRUE(cfgIsStrictVMCheckEnabled());
  EXPECT_TRUE(cfgIsHandleShutdownEnabled());
  EXPECT_TRUE(cfgIsStartupCacheEnabled());
  EXPECT_EQ(cfgGetReadiness().kind, Readiness::kApplication);
  EXPECT_TRUE(cfgIsQuickStartEnabled());
  // A readiness directive, in whichever line, says otherwise.
  EXPECT_TRUE(process("readiness started\n").ok);
  EXPECT_EQ(cfgGetReadiness().kind, Readiness::kStarted);
  EXPECT_TRUE(process("options strictvm,,strictvm,strictvm,allowjavaonpath,leavepathsrelative\n").ok);
  EXPECT_FALSE(cfgIsStrictVMCheckEnabled());
  EXPECT_FALSE(cfgIsAllowJavaOnPathEnabled());
  EXPECT_FALSE(cfgIsMakePathsAbsolute());

  cfgInit();
  std::string out = traced([&] {
    Processed result = process("options strictvm, allowri\n");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.err, "Error: Invalid option in 'options strictvm, allowri' at line 1 in configuration file '" +
                              dir.file("app.config") + "'.\n");
  });
  EXPECT_EQ(out, "Unknown option in 'options' directive < allowri>\n");
  EXPECT_TRUE(cfgIsStrictVMCheckEnabled());
  EXPECT_FALSE(cfgIsAllowRIEnabled());
}

TEST_F(CheckDirectiveTest, LeavePathsRelativeAppliesToLaterLines) {
  dir.makeDir("one");
  EXPECT_TRUE(process("cd one\noptions leavepathsrelative\ndaemonsupport two/../logs\n").ok);
  EXPECT_STREQ(cfgGetCurrentDir(), dir.file("one").c_str());
  EXPECT_STREQ(cfgGetDaemonLogDir(), "logs");
}

TEST_F(CheckDirectiveTest, JpdaDeclaresSupportAndDefaults) {
  EXPECT_TRUE(process("jpda paused,address=8000\n").ok);
  EXPECT_TRUE(cfgIsJPDASupportEnabled());
  EXPECT_TRUE(cfgIsJPDAStartPaused());
  EXPECT_STREQ(cfgGetJPDAAddr(), "8000");
  EXPECT_TRUE(process("jpda address=host:8000,running\n").ok);
  EXPECT_FALSE(cfgIsJPDAStartPaused());
  EXPECT_STREQ(cfgGetJPDAAddr(), "host:8000");

  cfgInit();
  std::string out = traced([&] { EXPECT_FALSE(process("jpda paused,suspend,address=1\n").ok); });
  EXPECT_EQ(out, "Unknown option in jpda directive <suspend>\n");
  EXPECT_FALSE(cfgIsJPDASupportEnabled());
  EXPECT_TRUE(cfgIsJPDAStartPaused());
  EXPECT_EQ(cfgGetJPDAAddr(), nullptr);
}

TEST_F(CheckDirectiveTest, VersionRequirementAcceptsAndRefuses) {
  struct Case {
    const char* requirement;
    const char* message;
    std::vector<const char*> accepted, refused;
  } cases[] = {
      {"1.4.0", "Version 1.4.0 is required.", {"1.4.0", "1.4.0_01"}, {"1.4.1", "1.3.1", "1.4"}},
      {"1.4.0+", "Version 1.4.0 or higher is required.", {"1.4.0", "1.4.2", "1.5.0", "17.0.15", "21", "25-ea", "9.0.4"},
       {"1.3.1", "1", "1.5", "abc", "8"}},
      {"17+", "Version 17.0.0 or higher is required.", {"17", "17.0.15", "21", "25-ea"}, {"11.0.2", "1.8.0_392", "9"}},
      {"21", "Version 21.0.0 is required.", {"21", "21.0.0"}, {"21.0.1", "17.0.15", "25"}},
      {"11-", "Version 11.0.0 or lower is required.", {"11", "1.8.0", "9.0.4"}, {"11.0.1", "17"}},
      {"1.4.2-", "Version 1.4.2 or lower is required.", {"1.3.1", "1.4.2", "1.4.2_03", "1.4.2-b28"}, {"1.4.3"}},
  };
  for (const Case& c : cases) {
    std::string param = c.requirement;
    ASSERT_TRUE(cfgVMVersionCmd(param)) << c.requirement;
    std::string message;
    for (const char* version : c.accepted) EXPECT_TRUE(cfgIsJVMVersionAcceptable(version, &message)) << version;
    for (const char* version : c.refused) EXPECT_FALSE(cfgIsJVMVersionAcceptable(version, &message)) << version;
    EXPECT_EQ(message, c.message);
  }
  for (const char* bad : {"1.3.0", "1.4", "1.4.0+x", "1.4.0++", "1.4.0 ", "1.1234.0", "a.b.c", "1+", "17.", "+17"}) {
    std::string param = bad;
    EXPECT_FALSE(cfgVMVersionCmd(param)) << bad;
  }
  std::string message;
  EXPECT_FALSE(cfgIsJVMVersionAcceptable("1.4.3", &message));
  EXPECT_EQ(message, "Version 1.4.2 or lower is required.");  // a refused line leaves the requirement
  std::string out = traced([&] {
    std::string param = "1.3.0";
    cfgVMVersionCmd(param);
  });
  EXPECT_EQ(out, "1.3.0 is less than built in minimum 1.3.1\n");
}

TEST_F(CheckDirectiveTest, CommandPrefixKeepsTwentyCharacters) {
  EXPECT_TRUE(process("cmdprefix abcdefghijklmnopqrstuvwxyz1234\n").ok);
  EXPECT_STREQ(cfgGetCmdPrefix(), "abcdefghijklmnopqrst");
}

TEST_F(CheckDirectiveTest, SetFromOptionTakesTheOptionsValue) {
  for (const char* arg : {"-port", "8080", "data"}) optAddApplicationArgument(arg);
  EXPECT_TRUE(process("setfromoption PORT=-port:  server port\napparg $var(PORT)\n").ok);
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"8080", "data"}));
  testing::internal::CaptureStdout();
  cfgPrintUsage();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "    -port <value>\tserver port\n");
}

TEST_F(CheckDirectiveTest, SetFromOptionWithoutValueOrOption) {
  for (const char* arg : {"data", "-port"}) optAddApplicationArgument(arg);
  Processed result = process("setfromoption PORT=-port\n");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err, "Error: A value must be specified for option '-port'.\n");
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"data", "-port"}));

  optInit();
  std::string out = traced([&] {
    EXPECT_TRUE(process("setfromoption PORT=-port:server port\nsetfromoption =x\nsetfromoption V=:x\napparg $var(PORT:80)\n").ok);
  });
  EXPECT_EQ(out.find("Option <-port> not on command line\n") != std::string::npos, true) << out;
  EXPECT_NE(out.find("No variable name specified in <=x>\n"), std::string::npos);
  EXPECT_NE(out.find("No option name specified in <V=:x>\n"), std::string::npos);
  EXPECT_EQ(optGetApplicationArgList(), (std::vector<std::string>{"80"}));
}

TEST_F(CheckDirectiveTest, DirMustExistAcceptsAnyFileAndStopsOtherwise) {
  dir.writeFile("plain.txt", "");
  EXPECT_TRUE(process("dirmustexist plain.txt\n").ok);
  Processed result = process("dirmustexist sub\\missing\nmainclass never.Reached\n");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.err, "Error: Can't find '" + dir.file("sub/missing") + "'.\n");
  EXPECT_EQ(cfgGetMainClass(), nullptr);
}

}  // namespace
