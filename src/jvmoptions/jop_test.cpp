#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jvmoptions/jop.h"

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

TEST(JvmOptionListTest, GrowsFromFourByDoublingAndKeepsEntries) {
  JvmOptionList list;
  EXPECT_EQ(list.capacity(), 0);
  int markers[5];
  for (int i = 0; i < 5; ++i) {
    list.add("-Dn=" + std::to_string(i), &markers[i]);
    EXPECT_EQ(list.capacity(), i < 4 ? 4 : 8);
  }
  ASSERT_EQ(list.count(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(list.data()[i].optionString, ("-Dn=" + std::to_string(i)).c_str());
    EXPECT_EQ(list.data()[i].extraInfo, &markers[i]);
  }
  JvmOptionList moved = std::move(list);
  EXPECT_EQ(moved.count(), 5);
  EXPECT_EQ(list.count(), 0);
  moved.clear();
  EXPECT_EQ(moved.capacity(), 0);
  EXPECT_EQ(moved.data(), nullptr);
}

TEST_F(JopTest, RepeatedPropertiesAreKeptInOrder) {
  jopAddProp("-Dfoo=1", nullptr);
  jopAddProp("-Dfoo=2", nullptr);
  EXPECT_TRUE(jopIsPropSet("-Dfoo"));
  EXPECT_TRUE(jopIsPropSet("-Dfoo=2"));
  EXPECT_FALSE(jopIsPropSet("-Dfoo=3"));
  EXPECT_FALSE(jopIsParamSet("-Dfoo"));
  jopFinalizeJVMOptions();
  EXPECT_EQ(strings(jopGetJavaVMOptions(), jopGetJavaVMOptionsCount()),
            (std::vector<std::string>{"-Dfoo=1", "-Dfoo=2"}));
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
  jopFinalizeJVMOptions();
  jopFinalizeJVMOptions();
  EXPECT_EQ(strings(jopGetJavaVMOptions(), jopGetJavaVMOptionsCount()), (std::vector<std::string>{"-Xmx64m"}));
  // Appending after finalization extends the final list (the exit hook does so).
  int hook;
  jopAddParam("exit", &hook);
  ASSERT_EQ(jopGetJavaVMOptionsCount(), 2);
  EXPECT_EQ(jopGetJavaVMOptions()[1].extraInfo, &hook);
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
  jopFinalizeJVMOptions();
  EXPECT_EQ(strings(jopGetJavaVMOptions(), jopGetJavaVMOptionsCount()),
            (std::vector<std::string>{"-Done=-Xms32m", "-Dlauncher.config.params=-Xms32m\n-Dx=1",
                                      "-Dlong=-Xms32m\n-Dx=1\n" + longOption}));
}

TEST_F(JopTest, JavaHomeAndPathAreReplacedAndReset) {
  EXPECT_EQ(jopGetJavaHome(), nullptr);
  jopSetJavaHome("/opt/jdk1");
  jopSetJavaHome("/opt/jdk2");
  EXPECT_STREQ(jopGetJavaHome(), "/opt/jdk2");
  jopSetJavaPath("/x/libjvm.so");
  EXPECT_STREQ(jopGetJavaPath(), "/x/libjvm.so");
  jopTerm();
  jopInit();
  EXPECT_EQ(jopGetJavaHome(), nullptr);
  EXPECT_EQ(jopGetJavaPath(), nullptr);
}

TEST_F(JopTest, SafetyNetFollowsTheEnvironmentAtInit) {
  EXPECT_TRUE(jopIsSafetyNetOn());
  setenv("KRX_NO_SAFETY_NET", "", 1);
  jopInit();
  EXPECT_FALSE(jopIsSafetyNetOn());
  unsetenv("KRX_NO_SAFETY_NET");
  jopInit();
  EXPECT_TRUE(jopIsSafetyNetOn());
}

}  // namespace
