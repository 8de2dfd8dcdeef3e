// How the launcher finds itself: started by path, through a link, through
// PATH, from a patches directory, and the ways that fail.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "launcher.h"
#include "version.h"

namespace {

// The trace starts with the launcher's version, then where it found itself.
const std::string kVersionTrace = "jlauncher " JLAUNCHER_VERSION "\n";

std::string locationTrace(const std::string& file, const std::string& directory) {
  return kVersionTrace + "The full launcher filename and path is set = " + file + "\nThe full launcher path is set = " + directory +
         "\n";
}

constexpr const char* kNoHome = "Can't get home directory\n";

class LocationTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string launcher = installLauncher(dir, "app/bin/myapp");
  std::string bin = dir.file("app/bin");
};

TEST_F(LocationTest, TraceShowsTheResolvedLocationWhicheverWayItWasStarted) {
  std::string links = dir.makeDir("links");
  dir.symlink(launcher, "links/srv-link");

  struct Case {
    const char* how;
    std::vector<std::string> argv;
    std::string cwd;
    std::optional<std::string> path;
  } cases[] = {
      {"absolute path", {launcher}, dir.path(), "/usr/bin:/bin"},
      {"./name from its directory", {"./myapp"}, bin, "/usr/bin:/bin"},
      {"relative path with ..", {"../app/bin/myapp"}, links, "/usr/bin:/bin"},
      {"symbolic link", {links + "/srv-link"}, dir.path(), "/usr/bin:/bin"},
      {"bare name through PATH", {"myapp"}, dir.path(), "::" + dir.file("nothing") + ":" + bin + ":/usr/bin"},
      {"link name through PATH", {"srv-link"}, dir.path(), links + ":/usr/bin"},
  };
  for (const Case& c : cases) {
    ProcessResult result = runLauncher(launcher, c.argv, {{"UTRACE", "-p"}, {"PATH", c.path}}, c.cwd);
    EXPECT_EQ(result.out.substr(0, locationTrace(launcher, bin).size()), locationTrace(launcher, bin)) << c.how;
    EXPECT_NE(result.status, 255) << c.how << "\n" << result.err;
  }
}

TEST_F(LocationTest, FirstPathElementHoldingTheNameWinsEvenWhenNotExecutable) {
  std::string decoy = dir.writeFile("first/myapp", "not a program", 0644);
  ProcessResult result =
      runLauncher(launcher, {"myapp"}, {{"UTRACE", "-p"}, {"PATH", dir.file("first") + ":" + bin}}, dir.path());
  EXPECT_EQ(result.out.substr(0, locationTrace(decoy, dir.file("first")).size()),
            locationTrace(decoy, dir.file("first")));
}

TEST_F(LocationTest, PatchesDirectoryLauncherFindsItself) {
  std::string patched = installLauncher(dir, "app/bin/patches/myapp");
  ProcessResult result = runLauncher(patched, {patched}, {{"UTRACE", "-p"}});
  EXPECT_EQ(result.out.substr(0, locationTrace(patched, bin + "/patches").size()),
            locationTrace(patched, bin + "/patches"));
  EXPECT_NE(result.status, 255);
}

TEST_F(LocationTest, DebugOptionComesTooLateForTheLocationLines) {
  ProcessResult result = runLauncher(launcher, {launcher, "+debug"});
  EXPECT_EQ(result.out.find("The full launcher"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.substr(0, 23), "Processed <+debug> arg\n");
}

TEST_F(LocationTest, NoTraceWithoutUtraceOrDebug) {
  ProcessResult result = runLauncher(launcher, {launcher, "a", "b"});
  EXPECT_EQ(result.out, "");
}

TEST_F(LocationTest, UnfindableLauncherEndsWith255AndOneMessage) {
  struct Case {
    const char* how;
    std::vector<std::string> argv;
    std::optional<std::string> path;
  } cases[] = {
      {"name not on PATH", {"no-such-launcher"}, dir.file("empty") + ":/usr/bin"},
      {"PATH unset", {"myapp"}, std::nullopt},
      {"empty PATH", {"myapp"}, ""},
      {"no argv[0] at all", {}, "/usr/bin"},
      {"empty argv[0]", {""}, "/usr/bin"},
      {"relative path that does not exist", {"./missing/myapp"}, "/usr/bin"},
  };
  for (const Case& c : cases) {
    ProcessResult result = runLauncher(launcher, c.argv, {{"PATH", c.path}}, dir.path());
    EXPECT_EQ(result.status, 255) << c.how;
    EXPECT_EQ(result.err, kNoHome) << c.how;
    EXPECT_EQ(result.out, "") << c.how;
  }
}

TEST_F(LocationTest, ExitOutsideMainIsTraced) {
  ProcessResult result = runLauncher(launcher, {"no-such-launcher"}, {{"UTRACE", "-p"}, {"PATH", "/usr/bin"}});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, kVersionTrace + "C runtime exit() was called\n");
}

TEST(RootLocationTest, LauncherDirectlyInRootHasNoHome) {
  std::string target = "/jlauncher-e2e-" + std::to_string(getpid());
  std::error_code error;
  std::filesystem::copy_file(launcherBinary(), target, error);
  if (error) GTEST_SKIP() << "cannot write to / (needs root): " << error.message();
  std::filesystem::permissions(target, std::filesystem::perms(0755));
  ProcessResult result = runLauncher(target, {target});
  std::filesystem::remove(target);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, kNoHome);
  EXPECT_EQ(result.out, "");
}

}  // namespace
