#include "launcher/pkd.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "temp_dir.h"
#include "util/sha256.h"

namespace {

struct FakeEntry {
  std::string name;
  std::uint32_t mode;
  std::string data;
};

/// An archive given as a list; an entry whose data is "damaged" fails its
/// checksum when read.
class FakeArchive : public PkdArchive {
 public:
  explicit FakeArchive(std::vector<FakeEntry> entries) : entries_(std::move(entries)) {}
  std::vector<PkdEntry> entries(std::string_view prefix) override {
    std::vector<PkdEntry> found;
    for (const FakeEntry& entry : entries_) {
      if (entry.name.starts_with(prefix)) found.push_back({entry.name, entry.mode});
    }
    return found;
  }
  bool read(const std::string& name, const Sink& sink, std::string* error) override {
    for (const FakeEntry& entry : entries_) {
      if (entry.name != name) continue;
      if (entry.data == "damaged") {
        *error = "'" + name + "' cannot be read: CRC error";
        return false;
      }
      return sink(entry.data.data(), entry.data.size());
    }
    *error = "'" + name + "' cannot be read: No such file";
    return false;
  }

  /// The runtime's hash as the packer computes it.
  std::string hash() const {
    Sha256 digest;
    for (const FakeEntry& entry : entries_) {
      char mode[16];
      std::snprintf(mode, sizeof mode, "%o", entry.mode);
      digest.update(entry.name.c_str(), entry.name.size() + 1);
      digest.update(mode, std::strlen(mode) + 1);
      digest.update(entry.data.data(), entry.data.size());
    }
    return digest.hex();
  }

 private:
  std::vector<FakeEntry> entries_;
};

constexpr std::uint32_t kDir = S_IFDIR | 0755, kExe = S_IFREG | 0755, kFile = S_IFREG | 0644, kLink = S_IFLNK | 0777;
const std::string kTop = "jlauncher/runtime/";

// A runtime is extracted whole, with its modes and inner links, or not at
// all: whatever would leave the directory or is damaged refuses the whole.
TEST(PkdTest, ExtractsARuntimeWholeOrNotAtAll) {
  const std::vector<FakeEntry> good = {{kTop + "bin/", kDir, ""},
                                       {kTop + "bin/java", kExe, "#!java"},
                                       {kTop + "lib/server/libjvm.so", kFile, "jvm"},
                                       {kTop + "lib/java", kLink, "../bin/java"}};
  struct Case {
    const char* what;
    std::vector<FakeEntry> extra;
    std::string error;  ///< "" when it works
    bool wrongHash = false;
  } cases[] = {
      {"a whole runtime", {}, ""},
      {"a climbing name", {{kTop + "../evil", kFile, "x"}},
       "'jlauncher/runtime/../evil' would be written outside the runtime"},
      {"an empty component", {{kTop + "lib//x", kFile, "x"}},
       "'jlauncher/runtime/lib//x' would be written outside the runtime"},
      {"an absolute link", {{kTop + "lib/passwd", kLink, "/etc/passwd"}},
       "the link 'jlauncher/runtime/lib/passwd' leads out of the runtime"},
      {"a climbing link", {{kTop + "lib/up", kLink, "../../x"}},
       "the link 'jlauncher/runtime/lib/up' leads out of the runtime"},
      {"a file through a link", {{kTop + "bin2", kLink, "bin"}, {kTop + "bin2/evil", kFile, "x"}},
       "cannot make the directory of 'jlauncher/runtime/bin2/evil': Not a directory"},
      {"a fifo", {{kTop + "fifo", S_IFIFO | 0644, ""}},
       "'jlauncher/runtime/fifo' is not a file, a directory or a link"},
      {"a damaged entry", {{kTop + "lib/modules", kFile, "damaged"}},
       "'jlauncher/runtime/lib/modules' cannot be read: CRC error"},
      {"another runtime's hash", {}, "its files do not match their SHA-256: the executable is damaged", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::vector<FakeEntry> entries = good;
    entries.insert(entries.end(), c.extra.begin(), c.extra.end());
    FakeArchive archive(entries);
    std::string home = dir.file("runtime");
    std::string error;
    bool ok = pkdExtractRuntime(archive, c.wrongHash ? sha256Hex("other") : archive.hash(), home, &error);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ok, c.error.empty());
    if (!ok) {
      EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "left behind";
      continue;
    }
    struct stat info;
    ASSERT_EQ(stat((home + "/lib/java").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode, kExe);
    EXPECT_EQ(readFile(home + "/lib/server/libjvm.so"), "jvm");
    EXPECT_EQ(std::filesystem::read_symlink(home + "/lib/java"), "../bin/java");
  }
}

// A jar whose bytes are not the ones its hash names is never published.
TEST(PkdTest, AJarIsPublishedOnlyWhenItsHashHolds) {
  TempDir dir;
  FakeArchive archive({{"jlauncher/jars/app.jar", 0, "PK jar bytes"}});
  std::string error;
  EXPECT_FALSE(pkdExtractJar(archive, sha256Hex("PK other bytes"), "app.jar", dir.path(), &error));
  EXPECT_EQ(error, "it does not match its SHA-256: the executable is damaged");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  ASSERT_TRUE(pkdExtractJar(archive, sha256Hex("PK jar bytes"), "app.jar", dir.path(), &error)) << error;
  struct stat info;
  ASSERT_EQ(stat(dir.file("app.jar").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode, S_IFREG | 0444u);
  EXPECT_EQ(readFile(dir.file("app.jar")), "PK jar bytes");
}

}  // namespace
