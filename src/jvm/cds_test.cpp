#include "jvm/cds.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(StartupCacheTest, CacheDirectoryFollowsXdgThenHome) {
  struct Case {
    const char* xdg;
    const char* home;
    std::optional<std::string> directory;
  } cases[] = {
      {"/var/cache/u", "/home/u", "/var/cache/u/jlauncher"},
      // Only an absolute XDG_CACHE_HOME counts.
      {"cache", "/home/u", "/home/u/.cache/jlauncher"},
      {"", "/home/u", "/home/u/.cache/jlauncher"},
      {nullptr, "/home/u", "/home/u/.cache/jlauncher"},
      {nullptr, "home", std::nullopt},
      {nullptr, nullptr, std::nullopt},
  };
  auto set = [](const char* name, const char* value) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  };
  auto saved = [](const char* name) { return std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt; };
  std::optional<std::string> xdg = saved("XDG_CACHE_HOME"), home = saved("HOME");
  for (const Case& c : cases) {
    set("XDG_CACHE_HOME", c.xdg);
    set("HOME", c.home);
    EXPECT_EQ(cdsGetCacheDirectory(), c.directory) << (c.xdg ? c.xdg : "-") << " " << (c.home ? c.home : "-");
  }
  set("XDG_CACHE_HOME", xdg ? xdg->c_str() : nullptr);
  set("HOME", home ? home->c_str() : nullptr);
}

}  // namespace
