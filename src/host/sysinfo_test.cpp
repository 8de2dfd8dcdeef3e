#include "host/sysinfo.h"

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace {

/// "<file relative to root> <bytes>", or "none".
std::string describe(const std::optional<CgroupMemoryLimit>& limit, const TempDir& root) {
  return limit ? limit->file.substr(root.path().size() + 1) + " " + std::to_string(limit->bytes) : "none";
}

TEST(CgroupMemoryLimitTest, FirstExistingFileDecides) {
  const char* v2 = "app/one/memory.max";
  const char* v2Root = "memory.max";
  const char* v1 = "memory/app/one/memory.limit_in_bytes";
  const char* v1Root = "memory/memory.limit_in_bytes";
  struct Case {
    std::vector<std::pair<const char*, const char*>> files;
    std::string expected;
  } cases[] = {
      {{{v2, "536870912\n"}, {v2Root, "1024\n"}}, "app/one/memory.max 536870912"},
      {{{v2Root, "1024\n"}, {v1Root, "2048\n"}}, "memory.max 1024"},
      {{{v2, "max\n"}, {v1Root, "1024\n"}}, "none"},
      {{{v1, "9223372036854771712\n"}, {v1Root, "1024\n"}}, "memory/app/one/memory.limit_in_bytes 9223372036854771712"},
      {{{v1Root, "2048\n"}}, "memory/memory.limit_in_bytes 2048"},
      {{{"cpu/cpu.shares", "1024\n"}}, "none"},
      {{{v2, "12ab\n"}, {v2Root, "1024\n"}}, "none"},
      {{{v1Root, "-1\n"}}, "none"},
      {{{v2Root, ""}, {v1Root, "1024\n"}}, "none"},
  };
  for (const Case& c : cases) {
    TempDir root;
    for (const auto& [file, content] : c.files) root.writeFile(file, content);
    EXPECT_EQ(describe(getCgroupMemoryLimit("9:name=systemd:/\n4:cpu,memory:/app/one\n0::/app/one\n", root.path()), root),
              c.expected);
  }
}

TEST(CgroupMemoryLimitTest, LinesOfProcSelfCgroup) {
  TempDir root;
  root.writeFile("memory/app/two/memory.limit_in_bytes", "4096\n");
  root.writeFile("app/two/memory.max", "8192\n");
  root.writeFile("memory.max", "16384\n");
  const std::pair<const char*, const char*> cases[] = {
      {"5:memory:/app/two/\n", "memory/app/two/memory.limit_in_bytes 4096"},
      {"5:memoryx:/app/two\n3::/app/two\n", "none"},
      {"", "none"},
      {"0::/app/two", "app/two/memory.max 8192"},
      {"0::/\n", "memory.max 16384"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(describe(getCgroupMemoryLimit(text, root.path()), root), expected) << text;
}

}  // namespace
