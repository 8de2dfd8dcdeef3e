#include "service/jsv.h"

#include <gtest/gtest.h>

#include "config/cfg_fixture.h"
#include "launcher.h"

namespace {

class JudgeTest : public ConfigTest {
 protected:
  struct Judged {
    int result;
    std::string trace, err;
  };
  Judged judge(const JvmIdentity& jvm) {
    Judged judged{};
    judged.trace = traced([&] {
      testing::internal::CaptureStderr();
      judged.result = jsvJudgeJVM(jvm);
      judged.err = testing::internal::GetCapturedStderr();
    });
    return judged;
  }
  static JvmIdentity sun131b24(const std::string& info = "mixed mode") {
    return {info, "Sun Microsystems Inc.", "1.3.1-b24", "Java HotSpot(TM) Client VM", "Java(TM) 2 Runtime Environment",
            "1.3.1-b24", "Linux", "1.3.1"};
  }
};

constexpr const char* kUnsupported = "This Java VM release is unsupported by Corvane Kestrix (see the release notes)";
constexpr const char* kCheckJavaHome =
    "Check your installation and use the javahome commandline switchto specify the JDK or JRE location";

TEST_F(JudgeTest, OldVersionsAreTracedOnOneLine) {
  struct Case {
    const char* version;
    std::string trace;
  } cases[] = {
      {"1.2.2", "Java version \"1.2.2\"\nVM (info)\nJVM vendor is \"V\"\n"},
      {"1.3.0", "Java version \"1.3.0\"\nRT (build RV)\nVM (build VV, info)\nJVM vendor is \"V\"\n"},
      {"1.3.0_01", "Java version \"1.3.0_01\"\nRT (build RV)\nVM (build VV, info)\nJVM vendor is \"V\"\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(judge({"info", "V", "VV", "VM", "RT", "RV", "", c.version}).trace, c.trace) << c.version;
  }
}

TEST_F(JudgeTest, VersionRequirementRefusesWithTheRequirementText) {
  ASSERT_TRUE(process("vmversion 1.4.0\njavahome /opt/jdk\n").ok);
  Judged judged = judge({"", "", "", "", "", "", "", "17.0.15"});
  EXPECT_EQ(judged.result, 1);
  EXPECT_EQ(judged.err, std::string("Unable to find a supported JDK or JRE version. Version 1.4.0 is required.\n") +
                            kCheckJavaHome + "\n  javahome /opt/jdk: version 17.0.15 is too high\n" +
                            "Correct javahome in the configuration to name a usable JDK or JRE, or remove it to let the "
                            "launcher search JAVA_HOME, PATH and /usr/lib/jvm.\n");
  EXPECT_EQ(judge({"", "", "", "", "", "", "", "1.4.0"}).result, 0);
}

TEST_F(JudgeTest, StrictCheckRefusesOneBuildUnlessWorkedAround) {
  EXPECT_EQ(judge(sun131b24()).result, 0);  // not strict
  ASSERT_TRUE(process("options strictvm\n").ok);
  Judged refused = judge(sun131b24());
  EXPECT_EQ(refused.result, 1);
  EXPECT_EQ(refused.err, std::string(kUnsupported) + "\n" + kCheckJavaHome + "\n");

  std::string workaround = std::string("\n") + kUnsupported + "\nAttempting to start server with workaround for Java VM issue\n\n";
  Judged fixedBuild = judge(sun131b24("1.3.1-b24, mixed mode"));
  EXPECT_EQ(fixedBuild.result, 0);
  EXPECT_EQ(fixedBuild.err, workaround);
  jopAddProp("-Djava.security.policy=my.policy", nullptr);
  EXPECT_EQ(judge(sun131b24()).err, workaround);

  jopInit();
  JvmIdentity otherVendor = sun131b24();
  otherVendor.vmVendor = "Sun Microsystems Inc. (licensed)";
  EXPECT_EQ(judge(otherVendor).err, "");
  setenv("KRX_NO_SAFETY_NET", "1", 1);
  Judged safetyNetOff = judge(sun131b24());
  unsetenv("KRX_NO_SAFETY_NET");
  EXPECT_EQ(safetyNetOff.result, 0);
  EXPECT_EQ(safetyNetOff.err, "");
}

}  // namespace
