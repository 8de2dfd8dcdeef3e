// Environment preparation: the launcher adds what the dynamic loader needs to
// LD_LIBRARY_PATH and re-executes itself once, from its start directory.

#include <gtest/gtest.h>
#include <unistd.h>

#include "util/platform.h"
#include "launcher.h"
#include "loopback.h"

namespace {

class RestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    launcher = installLauncher(dir, "app/bin/myapp");
    home = makeSunJavaHome(dir, "jdk", false, 2, "-client KNOWN\n");
    libs = oldLayoutLibraryDir(home, false);
    dir.copyFile(fakeJvmLibrary(), libs.substr(dir.path().size() + 1) + "/client/libjvm.so");
    jvmDirs = libs + "/native_threads:" + libs + "/client:" + libs;
  }
  ProcessResult run(const std::string& config, const std::string& argv0, std::map<std::string, std::optional<std::string>> env,
                    const std::string& cwd) {
    dir.writeFile("app/bin/myapp.config", "javahome " + home + "\n" + config);
    env.emplace("UTRACE", "-p");
    env.emplace("PATH", kPathWithoutJava);
    return runLauncher(launcher, {argv0, "+help"}, env, cwd);
  }
  TempDir dir;
  std::string launcher, home, libs, jvmDirs;
};

TEST_F(RestartTest, ReexecutesOnceFromTheStartDirectory) {
  std::string start = dir.makeDir("start");
  dir.makeDir("extra");
  ProcessResult result = run("addlibpath ../../extra\ncd /\n", "../app/bin/myapp", {}, start);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(occurrences(result.out, "export LD_LIBRARY_PATH=" + jvmDirs + ":" + dir.file("extra") + "\n"), 1)
      << result.out;
  EXPECT_EQ(
      occurrences(result.out, "Reset CWD to '" + start + "'\nExec'ing '../app/bin/myapp' to restart server.....\n"),
      1);
  EXPECT_EQ(occurrences(result.out, "*setenv=1\n"), 1);
  EXPECT_EQ(occurrences(result.out, "*setenv=0\n"), 1);
  EXPECT_NE(result.out.find("Usage: ../app/bin/myapp <+options> <args>\n"), std::string::npos);
}

TEST_F(RestartTest, NothingToAddMeansNoReexecution) {
  std::map<std::string, std::optional<std::string>> env{{"LD_LIBRARY_PATH", jvmDirs}};
  if (geteuid() == 0) env.emplace("LAUNCHER_ENV_CHECKED", "true");
  ProcessResult result = run("", launcher, env, dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(occurrences(result.out, "Exec'ing"), 0);
  EXPECT_EQ(occurrences(result.out, "export LD_LIBRARY_PATH"), 0);
}

TEST_F(RestartTest, InheritedLibraryPathIsKeptUnlessRunningAsRoot) {
  ProcessResult result = run("", launcher, {{"LD_LIBRARY_PATH", "/inherited"}}, dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  std::string exported = geteuid() == 0 ? jvmDirs : jvmDirs + ":/inherited";
  EXPECT_EQ(occurrences(result.out, "export LD_LIBRARY_PATH=" + exported + "\n"), 1) << result.out;
}

TEST_F(RestartTest, ShellModeForwardsFromTheFirstImageOnly) {
  dir.writeFile("app/bin/myapp.config", "javahome " + home + "\nsocket " + std::to_string(freeLoopbackPort()) + "\n");
  ProcessResult result = runLauncher(launcher, {launcher, "+shell", "a.txt", "+help"},
                                     {{"UTRACE", "-p"}, {"PATH", kPathWithoutJava}}, dir.path());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(occurrences(result.out, "Exec'ing"), 1) << result.out;
  EXPECT_EQ(result.err, "Can't send message\n") << result.out;
}

TEST_F(RestartTest, UnexecutableLauncherNameEndsWithTheErrorNumber) {
  // Found by name (home and configuration beside it), but not executable.
  std::string decoy = dir.writeFile("app/bin/myapp-copy", "", 0644);
  dir.writeFile("app/bin/myapp-copy.config", "javahome " + home + "\n");
  ProcessResult result =
      runLauncher(launcher, {decoy, "+help"}, {{"PATH", kPathWithoutJava}}, dir.path());
  EXPECT_EQ(result.status, EACCES);
  EXPECT_EQ(result.err, "Unable to re-exec self [error=" + std::to_string(EACCES) + "]\n");
}

}  // namespace
