#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "host/hmd.h"
#include "temp_dir.h"

namespace {

class ApplicationHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hmdResetApplicationHome();
    const char* path = getenv("PATH");
    savedPath = path ? std::optional<std::string>(path) : std::nullopt;
  }
  void TearDown() override {
    hmdResetApplicationHome();
    if (savedPath) {
      setenv("PATH", savedPath->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }
  TempDir dir;
  std::optional<std::string> savedPath;
};

TEST_F(ApplicationHomeTest, HomeIsDerivedFromTheLauncherDirectory) {
  struct Case {
    const char* executable;
    const char* launcherPath;
    const char* home;
  } cases[] = {
      {"opt/app/bin/server", "opt/app/bin", "opt/app"},
      {"opt/app/bin/patches/server", "opt/app/bin/patches", "opt/app"},
      {"opt/app/patches/server", "opt/app/patches", "opt"},
      {"opt/app/Patches/server", "opt/app/Patches", "opt/app"},
      {"opt/app/mypatches/server", "opt/app/mypatches", "opt/app"},
  };
  for (const Case& c : cases) {
    hmdResetApplicationHome();
    std::string executable = dir.writeFile(c.executable, "", 0755);
    std::string home = "untouched";
    ASSERT_TRUE(hmdSetApplicationHome(executable.c_str(), home, kPathMax)) << c.executable;
    EXPECT_EQ(home, dir.file(c.home)) << c.executable;
    EXPECT_EQ(hmdGetApplicationHome(), dir.file(c.home)) << c.executable;
    EXPECT_EQ(hmdGetFullLauncherPath(), dir.file(c.launcherPath)) << c.executable;
    EXPECT_EQ(hmdGetFullLauncherFileName(), executable) << c.executable;
  }
}

TEST_F(ApplicationHomeTest, LinksAreResolvedButTheNameIsTakenAsTyped) {
  std::string executable = dir.writeFile("opt/app/bin/server", "", 0755);
  std::string link = dir.symlink(executable, "usr/local/bin/srv-link");
  std::string home;
  ASSERT_TRUE(hmdSetApplicationHome(link.c_str(), home, kPathMax));
  hmdSetApplicationName(link.c_str());
  EXPECT_EQ(home, dir.file("opt/app"));
  EXPECT_EQ(hmdGetFullLauncherFileName(), executable);
  EXPECT_STREQ(hmdGetApplicationName(), "srv-link");

  hmdSetApplicationName("server");
  EXPECT_STREQ(hmdGetApplicationName(), "server");
}

TEST_F(ApplicationHomeTest, BareNameIsSearchedAlongPath) {
  std::string decoy = dir.writeFile("first/server", "not executable", 0644);
  dir.writeFile("opt/app/bin/server", "", 0755);
  setenv("PATH", (":" + dir.file("empty") + "::" + dir.file("first") + ":" + dir.file("opt/app/bin")).c_str(), 1);
  std::string home;
  ASSERT_TRUE(hmdSetApplicationHome("server", home, kPathMax));
  EXPECT_EQ(hmdGetFullLauncherFileName(), decoy);
  EXPECT_EQ(home, dir.path());
}

TEST_F(ApplicationHomeTest, FailuresBeforeResolutionLeaveTheHomeUntouched) {
  std::string home = "untouched";
  unsetenv("PATH");
  EXPECT_FALSE(hmdSetApplicationHome("server", home, kPathMax));
  setenv("PATH", dir.file("nowhere").c_str(), 1);
  EXPECT_FALSE(hmdSetApplicationHome("server", home, kPathMax));
  EXPECT_FALSE(hmdSetApplicationHome((dir.path() + "/missing/server").c_str(), home, kPathMax));
  setenv("PATH", dir.path().c_str(), 1);
  EXPECT_FALSE(hmdSetApplicationHome("", home, kPathMax));
  EXPECT_EQ(home, "untouched");
  EXPECT_EQ(hmdGetFullLauncherFileName(), "");
}

TEST_F(ApplicationHomeTest, LauncherPathsLongerThanThePlatformLimitAreRefused) {
  // Built one directory at a time: the system refuses to create by a path
  // that long.
  std::string executable = dir.path();
  int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  while (static_cast<int>(executable.size()) < kPathMax + 100) {
    std::string component(200, 'd');
    ASSERT_EQ(mkdirat(fd, component.c_str(), 0755), 0);
    int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    executable += "/" + component;
  }
  close(openat(fd, "server", O_CREAT | O_WRONLY, 0755));
  close(fd);
  executable += "/server";
  std::string home = "untouched";
  EXPECT_FALSE(hmdSetApplicationHome(executable.c_str(), home, kPathMax));
  EXPECT_EQ(home, "untouched");
  EXPECT_EQ(hmdGetFullLauncherFileName(), "");
}

TEST_F(ApplicationHomeTest, LongValuesAreCutToTheCallersSize) {
  std::string executable = dir.writeFile("opt/app/bin/server", "", 0755);
  std::string home;
  ASSERT_TRUE(hmdSetApplicationHome(executable.c_str(), home, 5));
  EXPECT_EQ(home, dir.path().substr(0, 4));
  EXPECT_EQ(hmdGetApplicationHome(5), dir.path().substr(0, 4));
  EXPECT_EQ(hmdGetFullLauncherPath(1), "");
  EXPECT_EQ(hmdGetFullLauncherPath(0), "");
}

TEST_F(ApplicationHomeTest, EmptyLocationsAreNotStored) {
  hmdSetFullLauncherFileName("");
  hmdSetFullLauncherPath("");
  EXPECT_EQ(hmdGetFullLauncherFileName(), "");
  EXPECT_EQ(hmdGetFullLauncherPath(), "");
  EXPECT_EQ(hmdGetApplicationName(), nullptr);
}

// The start-up cache and extraction share one directory: a service's
// CacheDirectory= counts for both. Only an absolute name counts.
TEST(UserCacheDirectoryTest, XdgThenTheServicesDirectoryThenHome) {
  using Value = std::optional<std::string>;
  const char* names[] = {"XDG_CACHE_HOME", "CACHE_DIRECTORY", "HOME"};
  struct Case {
    Value given[3];
    Value directory;
  } cases[] = {
      {{"/var/cache/u/", "/var/cache/app", "/home/u"}, "/var/cache/u/jlauncher"},
      {{"cache", "/var/cache/app:/var/cache/other", "/home/u"}, "/var/cache/app/jlauncher"},
      {{"", "app", "/home/u/"}, "/home/u/.cache/jlauncher"},
      {{"cache", "", "home"}, std::nullopt},
  };
  Value saved[3];
  for (int i = 0; i < 3; ++i) saved[i] = getenv(names[i]) ? Value(getenv(names[i])) : std::nullopt;
  auto set = [&](const Value (&values)[3]) {
    for (int i = 0; i < 3; ++i) values[i] ? setenv(names[i], values[i]->c_str(), 1) : unsetenv(names[i]);
  };
  for (const Case& c : cases) {
    set(c.given);
    EXPECT_EQ(hmdUserCacheDirectory(), c.directory) << c.given[0].value_or("-") << " " << c.given[1].value_or("-");
  }
  set(saved);
}

TEST_F(ApplicationHomeTest, UnixHasNoRegistry) {
  EXPECT_FALSE(hmdGetNimbrelProperty("anything").has_value());
  EXPECT_FALSE(hmdGetNimbrelProperty("").has_value());
}

}  // namespace
