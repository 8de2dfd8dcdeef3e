#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <vector>

#include "host/hmd.h"
#include "temp_dir.h"

extern "C" char** environ;

namespace {

TEST(TempFileTest, EveryCallMakesAPrivateFileWithTheText) {
  const std::string text("line one\nbinary \0 byte\n", 23);
  std::optional<std::string> first = hmdWriteTempFile(text);
  std::optional<std::string> second = hmdWriteTempFile(text);
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  for (const std::string& name : {*first, *second}) {
    EXPECT_EQ(name.size(), std::string(tempFilename).size());
    EXPECT_EQ(name.rfind("/tmp/corvane-envdump-", 0), 0u) << name;
    EXPECT_EQ(readFile(name), text);
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    std::remove(name.c_str());
  }
}

TEST(TempFileTest, EmptyTextLeavesNoFile) {
  // Other processes may make such files meanwhile, but never empty ones.
  auto emptyTempFiles = [] {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
      std::error_code ignored;
      const std::string name = entry.path().string();
      if (name.rfind("/tmp/corvane-envdump-", 0) == 0 && entry.file_size(ignored) == 0) names.insert(name);
    }
    return names;
  };
  std::set<std::string> before = emptyTempFiles();
  EXPECT_EQ(hmdWriteTempFile(""), std::nullopt);
  EXPECT_EQ(emptyTempFiles(), before);
}

/// Each test gets an empty environment; the original comes back afterwards.
class EnvironmentFileTest : public testing::Test {
 protected:
  void SetUp() override {
    for (char** entry = environ; *entry != nullptr; ++entry) saved.emplace_back(*entry);
    clearenv();
  }
  void TearDown() override {
    clearenv();
    for (const std::string& entry : saved) {
      std::size_t equals = entry.find('=');
      setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
  }
  std::vector<std::string> saved;
};

TEST_F(EnvironmentFileTest, EntriesAreWrittenInOrderWithSingleBackslashesDoubled) {
  EXPECT_EQ(hmdWriteEnvironment(), std::nullopt);
  setenv("PLAIN", "value", 1);
  setenv("SINGLE", "C:\\dir\\file", 1);
  setenv("PAIR", "a\\\\b", 1);
  setenv("EMPTY", "", 1);
  std::optional<std::string> name = hmdWriteEnvironment();
  ASSERT_TRUE(name);
  EXPECT_EQ(readFile(*name), "PLAIN=value\nSINGLE=C:\\\\dir\\\\file\nPAIR=a\\\\b\nEMPTY=\n");
  EXPECT_STREQ(hmdGetEnvironmentValue("SINGLE"), "C:\\dir\\file");
  EXPECT_EQ(hmdGetEnvironmentValue("MISSING"), nullptr);
  std::remove(name->c_str());
}

TEST(FileContentTest, SizeAndWindowsOfAFile) {
  TempDir dir;
  std::string big;
  for (int i = 0; i < 200000; ++i) big += static_cast<char>(i % 253);
  std::string path = dir.writeFile("big", big);
  EXPECT_EQ(hmdGetFileSize(path.c_str()), 200000);
  EXPECT_EQ(hmdGetFileSize(dir.writeFile("empty", "").c_str()), 0);

  struct Case {
    long long offset;
    long long length;
    std::string expected;
  } cases[] = {
      {1000, 150000, big.substr(1000, 150000)},
      {199990, 100, big.substr(199990)},
      {200000, 5, ""},
      {500000, 5, ""},
      {10, 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(hmdCreateFileContent(path.c_str(), c.offset, c.length), c.expected) << c.offset;

  // A missing file, and a path through a plain file, which even root cannot open.
  for (const std::string& unopenable : {dir.file("missing"), path + "/inside"}) {
    EXPECT_EQ(hmdGetFileSize(unopenable.c_str()), -1) << unopenable;
    EXPECT_EQ(hmdCreateFileContent(unopenable.c_str(), 0, 10), std::nullopt) << unopenable;
  }
}

}  // namespace

namespace {

// What the trust walk makes of the places a cache may be: links are
// followed to what they name, and that is checked from the top.
TEST(PrivateDirectoryTest, LinksAreResolvedAndMissingDirectoriesMadeForTheUser) {
  TempDir dir;
  std::string real = dir.makeDir("real");
  dir.symlink(real, "link");
  std::string why;
  EXPECT_EQ(hmdPrivateDirectory(dir.file("link/cache"), false, why), std::nullopt);
  EXPECT_EQ(why, "cannot write to '" + dir.file("link/cache") + "' (No such file or directory)");
  EXPECT_EQ(hmdPrivateDirectory(dir.file("link/cache/jlauncher"), true, why), dir.file("real/cache/jlauncher"));
  struct stat st;
  ASSERT_EQ(stat(dir.file("real/cache/jlauncher").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A private file is a regular file of the user, read up to its limit.
  std::string file = dir.writeFile("real/cache/jlauncher/stamp", "0123456789");
  EXPECT_EQ(hmdReadPrivateFile(file, 10), "0123456789");
  EXPECT_EQ(hmdReadPrivateFile(file, 9), std::nullopt);
  EXPECT_EQ(hmdReadPrivateFile(dir.symlink(file, "real/cache/jlauncher/link"), 10), std::nullopt);
  EXPECT_TRUE(hmdWritePrivateFile(file, "new"));
  EXPECT_EQ(readFile(file), "new");
}

// A file the launcher writes where others might have put something: only a
// regular file of the user's with one name is opened, and nothing waits.
TEST(OwnFileTest, OnlyTheUsersRegularFileWithOneNameIsOpened) {
  TempDir dir;
  const std::string rule =
      "; the launcher writes only a regular file of its own with one name, in a directory that nobody but root and "
      "the user running it can change";
  std::string own = dir.writeFile("own", "");
  dir.symlink(own, "link");
  ASSERT_EQ(link(own.c_str(), dir.file("named twice").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  std::filesystem::permissions(dir.makeDir("open"), std::filesystem::perms(0770));
  struct Case {
    std::string file;
    std::string why;  ///< "" when it is opened
  } cases[] = {
      {"new", ""},
      {"link", "it is a symbolic link" + rule},
      {"named twice", "it has 2 names" + rule},
      {"fifo", "it is a FIFO" + rule},
      {"open/new", "group " + hmdGroupName(getegid()) + " can change '" + dir.file("open") + "'" + rule},
  };
  for (const Case& c : cases) {
    std::string why;
    int fd = hmdOpenOwnFile(dir.file(c.file), O_WRONLY | O_CREAT | O_APPEND, 0600, why);
    EXPECT_EQ(fd >= 0, c.why.empty()) << c.file;
    EXPECT_EQ(why, c.why) << c.file;
    if (fd >= 0) close(fd);
  }
}

}  // namespace
