// A test fixture for the configuration module: fresh module state, a
// temporary directory, and a way to process configuration text and see what
// it reported.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "cmdline/opt.h"
#include "config/cfg.h"
#include "host/hmd.h"
#include "jvm/jev.h"
#include "jvmoptions/jop.h"
#include "launcher/jap.h"
#include "launcher.h"
#include "temp_dir.h"
#include "util/utrace.h"

struct Processed {
  bool ok;
  std::string err;  ///< what was printed on standard error
};

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hmdResetApplicationHome();
    jevReset();
    jopInit();
    optInit();
    cfgInit();
  }
  void TearDown() override {
    cfgTerm();
    optTerm();
    jopTerm();
    jevReset();
    hmdResetApplicationHome();
    ut_TraceData = UtTraceData{};
  }

  /// Writes text as dir/relative and processes it as the current file.
  Processed process(const std::string& text, const std::string& relative = "app.config") {
    std::string path = dir.writeFile(relative, text);
    cfgSetCurrentConfigFile(path.c_str());
    testing::internal::CaptureStderr();
    bool ok = cfgProcessConfigFile(path);
    return {ok, testing::internal::GetCapturedStderr()};
  }

  /// Finalizes the JVM options as a launch of java would; false after a
  /// reported refusal.
  static bool finalize(const JavaChoice& java = {}) { return jopFinalizeJVMOptions(japFinalInputs(java, "")); }

  /// The Java of the test JDK, chosen with the flavour subType.
  static JavaChoice testJava(int subType = kSubTypeDefault) {
    jopSetJavaHome(testJdkHome());
    std::optional<JavaChoice> java = jevChooseJava(subType);
    EXPECT_TRUE(java.has_value());
    return java.value_or(JavaChoice{});
  }

  /// The trace lines written while f runs.
  template <typename F>
  std::string traced(F f) {
    ut_tprodon();
    testing::internal::CaptureStdout();
    f();
    std::string out = testing::internal::GetCapturedStdout();
    ut_TraceData = UtTraceData{};
    return out;
  }

  TempDir dir;
};
