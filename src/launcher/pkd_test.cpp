#include "launcher/pkd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>

#include "temp_dir.h"
#include "util/sha256.h"

namespace {

struct FakeEntry {
  std::string name;
  std::uint32_t mode;
  std::string data;
  std::size_t times = 1;  ///< how often data follows itself in the entry
};

/// An archive given as a list; an entry whose data is "damaged" fails its
/// checksum when read. An entry's data is handed over once per repetition.
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
      bool taken = true;
      for (std::size_t i = 0; taken && i < entry.times; ++i) taken = sink(entry.data.data(), entry.data.size());
      return taken;
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
      for (std::size_t i = 0; i < entry.times; ++i) digest.update(entry.data.data(), entry.data.size());
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
      {"a link out through an inner link",
       {{kTop + "a/b/c/d/e/f/g/h/u", kLink, "../../../../../../../.."},
        {kTop + "v", kLink, "a/b/c/d/e/f/g/h/u/../../../../../../../../etc"}},
       "the link 'jlauncher/runtime/v' leads out of the runtime"},
      {"a loop of links", {{kTop + "loop", kLink, "pool"}, {kTop + "pool", kLink, "loop"}},
       "the link 'jlauncher/runtime/loop' leads through more than 40 links"},
      {"a link too long", {{kTop + "lib/long", kLink, std::string(5000, 'x')}},
       "the link 'jlauncher/runtime/lib/long' names more than 4095 bytes"},
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
    std::string hash = c.wrongHash ? sha256Hex("other") : archive.hash();
    // What an extraction killed part way leaves, found by the next one.
    dir.writeFile("." + hash.substr(0, 16) + ".Kill9d/lib/modules", "half");
    std::string error;
    bool ok = pkdExtractRuntime(archive, hash, home, &error);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ok, c.error.empty());
    std::vector<std::filesystem::path> left(std::filesystem::directory_iterator(dir.path()), {});
    EXPECT_EQ(left, std::vector<std::filesystem::path>(ok, home)) << "left behind";
    if (!ok) continue;
    struct stat info;
    ASSERT_EQ(stat((home + "/lib/java").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode, kExe);
    EXPECT_EQ(readFile(home + "/lib/server/libjvm.so"), "jvm");
    EXPECT_EQ(std::filesystem::read_symlink(home + "/lib/java"), "../bin/java");
  }
}

// A runtime's file is written as it is read, whatever its size: a launch
// needs no memory for it.
TEST(PkdTest, ARuntimeFileIsWrittenAsItIsRead) {
  TempDir dir;
  constexpr std::size_t kBlock = 1 << 20, kBlocks = 32;
  FakeArchive archive({{kTop + "lib/modules", kFile, std::string(kBlock, 'm'), kBlocks}});
  std::string error;
  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  ASSERT_TRUE(pkdExtractRuntime(archive, archive.hash(), dir.file("runtime"), &error)) << error;
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(std::filesystem::file_size(dir.file("runtime/lib/modules")), kBlock * kBlocks);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, static_cast<long>(kBlock * kBlocks / 4 / 1024)) << "KiB more";
}

// A launch uses an extracted runtime while each of its files has the type,
// mode, size and time its extraction gave it, as its stamp records them.
TEST(PkdTest, ARuntimeChangedSinceItsExtractionIsNotIntact) {
  namespace fs = std::filesystem;
  using Change = void (*)(const fs::path&);
  struct Case {
    const char* what;
    const char* file;
    Change change;
    bool sameTime;  ///< the file's time is put back after the change
    bool intact;
  } cases[] = {
      {"as extracted", "bin/java", [](const fs::path&) {}, false, true},
      {"a file cut short", "lib/modules", [](const fs::path& p) { fs::resize_file(p, 1); }, true, false},
      {"a file written to", "lib/modules", [](const fs::path& p) { fs::last_write_time(p, {}); }, false, false},
      {"a file removed", "bin/java", [](const fs::path& p) { fs::remove(p); }, false, false},
      {"a file made a link", "bin/java", [](const fs::path& p) { fs::remove(p), fs::create_symlink("x", p); },
       false, false},
      {"a file no longer executable", "bin/java",
       [](const fs::path& p) { fs::permissions(p, fs::perms::owner_exec, fs::perm_options::remove); }, false, false},
      {"the empty stamp of an earlier launcher", ".jlauncher-stamp", [](const fs::path& p) { fs::resize_file(p, 0); },
       true, false},
  };
  FakeArchive archive({{kTop + "bin/", kDir, ""}, {kTop + "bin/java", kExe, "#!java"},
                       {kTop + "lib/modules", kFile, "modules"}, {kTop + "lib/java", kLink, "../bin/java"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string home = dir.file("runtime"), error;
    ASSERT_TRUE(pkdExtractRuntime(archive, archive.hash(), home, &error)) << error;
    EXPECT_TRUE(pkdRuntimeIntact(home));
    fs::path file = home + "/" + c.file;
    fs::file_time_type time = fs::last_write_time(file);
    fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
    c.change(file);
    if (c.sameTime) fs::last_write_time(file, time);
    EXPECT_EQ(pkdRuntimeIntact(home), c.intact);
  }
}

// A jar whose bytes are not the ones its hash names is never published.
TEST(PkdTest, AJarIsPublishedOnlyWhenItsHashHolds) {
  TempDir dir;
  FakeArchive archive({{"jlauncher/jars/app.jar", 0, "PK jar bytes"}});
  dir.writeFile(".app.jar.Kill9d", "PK ja");  // an extraction killed part way
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

// Copies no launch used for 30 days go, with their locks, once a day;
// a copy a launch holds or extracts stays, and nothing outside the cache is
// reached through a link.
TEST(PkdTest, APruneRemovesCopiesUnusedFor30Days) {
  namespace fs = std::filesystem;
  const time_t now = std::time(nullptr), day = 24 * 3600;
  // A copy last used days ago: a jar, or a runtime and its lock.
  auto jar = [&](const TempDir& dir, const std::string& hash, int days) {
    std::string path = dir.writeFile("cache/jars/" + hash + "/app.jar", "PK", 0444);
    dir.writeFile("cache/jars/" + hash + "/.lock", "");
    const timespec times[2] = {{now - days * day, 0}, {315532800, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  };
  auto runtime = [&](const TempDir& dir, const std::string& hash, int days) {
    std::string stamp = dir.writeFile("cache/runtime/" + hash + "/.jlauncher-stamp", "", 0444);
    dir.writeFile("cache/runtime/" + hash + "/bin/java", "#!java", 0755);
    dir.writeFile("cache/runtime/" + hash + ".lock", "");
    const timespec times[2] = {{now - days * day, 0}, {315532800, 0}};
    utimensat(AT_FDCWD, stamp.c_str(), times, 0);
  };
  auto hold = [](const std::string& path, int how) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    flock(fd, how);
    return fd;
  };
  auto marked = [&](const TempDir& d, time_t when) {
    jar(d, "j1", 31);
    const timespec times[2] = {{when, 0}, {when, 0}};
    utimensat(AT_FDCWD, d.writeFile("cache/.pruned", "").c_str(), times, 0);
  };
  struct Case {
    const char* what;
    std::function<int(const TempDir&)> arrange;  ///< the descriptor of a lock held during the prune, or -1
    std::vector<std::string> kept, gone;         ///< below the cache
    bool ran = true;
  } cases[] = {
      {"unused for 31 days", [&](const TempDir& d) { return jar(d, "j1", 31), runtime(d, "r1", 31), -1; },
       {"jars", "runtime"}, {"jars/j1", "runtime/r1", "runtime/r1.lock"}},
      {"used 29 days ago", [&](const TempDir& d) { return jar(d, "j1", 29), runtime(d, "r1", 29), -1; },
       {"jars/j1/app.jar", "runtime/r1/bin/java", "runtime/r1.lock"}, {}},
      {"held by a launch",
       [&](const TempDir& d) { return jar(d, "j1", 31), hold(d.file("cache/jars/j1"), LOCK_SH); },
       {"jars/j1/app.jar", "jars/j1/.lock"}, {}},
      {"being extracted",
       [&](const TempDir& d) { return runtime(d, "r1", 31), hold(d.file("cache/runtime/r1.lock"), LOCK_EX); },
       {"runtime/r1/bin/java"}, {}},
      {"a lock alone",
       [&](const TempDir& d) {
         return d.writeFile("cache/runtime/r2.lock", ""), d.writeFile("cache/jars/j2/.lock", ""), -1;
       },
       {"runtime"}, {"runtime/r2.lock", "jars/j2"}},
      {"links out of the cache",
       [&](const TempDir& d) {
         d.writeFile("outside/j3/app.jar", "PK", 0444);
         d.symlink(d.file("outside/j3"), "cache/jars/j3");
         runtime(d, "r1", 31);
         d.symlink(d.file("outside/j3"), "cache/runtime/r1/lib");
         return -1;
       },
       {"jars/j3"}, {"runtime/r1"}},
      {"pruned within the day",
       [&](const TempDir& d) { return jar(d, "j1", 31), d.writeFile("cache/.pruned", ""), -1; },
       {"jars/j1/app.jar"}, {}, false},
      {"pruned by a launch that read the clock later", [&](const TempDir& d) { return marked(d, now + 5), -1; },
       {"jars/j1/app.jar"}, {}, false},
      {"marked before the clock was set back", [&](const TempDir& d) { return marked(d, now + 2 * day), -1; },
       {}, {"jars/j1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string base = dir.makeDir("cache");
    int held = c.arrange(dir);
    EXPECT_EQ(pkdPruneCache(base, now), c.ran);
    if (held >= 0) close(held);
    for (const std::string& path : c.kept) EXPECT_TRUE(fs::exists(fs::symlink_status(base + "/" + path))) << path;
    for (const std::string& path : c.gone) EXPECT_FALSE(fs::exists(fs::symlink_status(base + "/" + path))) << path;
    EXPECT_EQ(readFile(dir.file("outside/j3/app.jar")), c.what == std::string("links out of the cache") ? "PK" : "");
  }
}

}  // namespace
