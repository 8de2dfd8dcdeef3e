#include "pack/pack.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <utility>

#include "temp_dir.h"
#include "zero_jar.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

/// A jar at dir/name; its entries are stored, so a test finds their bytes.
std::string makeJar(const TempDir& dir, const std::string& name, const Entries& entries) {
  zip_t* jar = zip_open(dir.file(name).c_str(), ZIP_CREATE | ZIP_EXCL, nullptr);
  for (const auto& [path, data] : entries) {
    zip_int64_t index = zip_file_add(jar, path.c_str(), zip_source_buffer(jar, data.data(), data.size(), 0), 0);
    zip_set_file_compression(jar, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
  }
  EXPECT_EQ(zip_close(jar), 0) << zip_strerror(jar);
  return dir.file(name);
}

std::set<std::string> filesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

class PackTest : public testing::Test {
 protected:
  /// Packs into dir/out with a small stand-in launcher unless the request
  /// names others; what was reported is left in warnings and error.
  bool pack(PackRequest request) {
    warnings.clear();
    error.clear();
    if (request.output.empty()) request.output = dir.file("out");
    if (request.launcher.empty()) request.launcher = launcher;
    return packApplication(request, &warnings, &error);
  }

  TempDir dir;
  const std::string launcher = dir.writeFile("jlauncher", "\x7f" "ELF launcher bytes\n", 0755);
  const std::string app = makeJar(dir, "app.jar", {{"META-INF/MANIFEST.MF", "Main-Class: app.Main\n"},
                                                   {"app/Main.class", std::string(300, 'M')}});
  /// No Main-Class, and a signature.
  const std::string other = makeJar(dir, "other.jar", {{"META-INF/MANIFEST.MF", "Created-By: hand\n"},
                                                       {"META-INF/OTHER.SF", "signature"}});
  std::vector<std::string> warnings;
  std::string error;
};

// Each refusal leaves no output, and an existing one as it was.
TEST_F(PackTest, RefusalsWriteNothing) {
  std::string notAJar = dir.writeFile("text.jar", "not a zip archive\n");
  std::string huge = dir.writeFile("huge.config", std::string(70000, '#') + "\n");
  std::string latin = dir.writeFile("latin.config", "apparg caf\xe9\n");
  std::string existing = dir.writeFile("existing", "keep me");
  std::string empty = dir.writeFile("empty", "");
  std::string missing = dir.file("missing.jar");
  // A byte of Main.class changed: its CRC no longer holds.
  std::string bytes = readFile(app);
  bytes[bytes.find(std::string(300, 'M')) + 200] = 'm';
  std::string damaged = dir.writeFile("damaged.jar", bytes);
  const std::size_t mib = 1 << 20;
  std::string bomb = zeroJar(dir, "bomb.jar", 17 * mib, {"META-INF/MANIFEST.MF", "META-INF/services/x.Y"});
  std::string half = zeroJar(dir, "half.jar", 9 * mib, {"META-INF/services/x.Y"});
  struct Case {
    PackRequest request;
    std::string error;
    std::vector<std::string> warnings{};
  } cases[] = {
      {{}, "no jar given (see jlauncher-pack --help)"},
      {{.jars = {missing}}, "cannot read the jar '" + missing + "': No such file"},
      {{.jars = {notAJar}}, "cannot read the jar '" + notAJar + "': Not a zip archive"},
      {{.jars = {damaged}}, "cannot read the jar '" + damaged + "': its entry 'app/Main.class': CRC error"},
      {{.jars = {other}},
       "no main class: '" + other + "' has no Main-Class in its manifest; name one with --main-class"},
      {{.configFile = missing, .jars = {app}}, "cannot read the configuration '" + missing + "'"},
      {{.configFile = huge, .jars = {app}}, "the configuration is 70020 bytes; an archive comment holds at most 65535"},
      {{.configFile = latin, .jars = {app}}, "the configuration is not UTF-8 text, which an archive comment must be"},
      {{.launcher = missing, .jars = {app}}, "cannot read the launcher '" + missing + "': No such file or directory"},
      {{.launcher = empty, .jars = {app}}, "cannot read the launcher '" + empty + "'"},
      {{.output = existing, .jars = {app}}, "'" + existing + "' exists; use --force to replace it"},
      {{.jars = {bomb}}, "'META-INF/MANIFEST.MF' of '" + bomb + "' is larger than 16 MiB"},
      {{.mainClass = "x.Main", .jars = {other, bomb}},
       "'META-INF/services/x.Y' of '" + bomb + "' is larger than 16 MiB",
       {"leaving out the signature file 'META-INF/OTHER.SF' of '" + other + "': a merged archive is not signed"}},
      {{.mainClass = "x.Main", .jars = {half, half}},
       "'META-INF/services/x.Y' joined with that of '" + half + "' is larger than 16 MiB"},
  };
  const std::set<std::string> before = filesIn(dir.path());
  for (const Case& c : cases) {
    EXPECT_FALSE(pack(c.request)) << c.error;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(warnings, c.warnings) << c.error;
    EXPECT_EQ(filesIn(dir.path()), before) << c.error;
  }
  EXPECT_EQ(readFile(existing), "keep me");
}

TEST(PackManifestTest, MainClassOfTheMainSection) {
  const std::pair<std::string, std::string> cases[] = {
      {"Manifest-Version: 1.0\nMain-Class: a.B\n", "a.B"},
      {"Main-Class: com.example.very.lo\n ng.name.App\nX: y\n", "com.example.very.long.name.App"},
      {"Manifest-Version: 1.0\r\nMain-Class: a.\r\n B\r\n\r\n", "a.B"},
      {"Manifest-Version: 1.0\rMain-Class: a.\r B\r\rName: x\rMain-Class: c.D\r", "a.B"},
      {"Manifest-Version: 1.0\nCreated-By: hand\n", ""},
      {"Manifest-Version: 1.0\n\nName: a/B.class\nMain-Class: a.B\n", ""},
      {"Class-Path: lib.jar\n Main-Class: a.B\n", ""},
      {"main-class: a.B\nMAIN-CLASS: c.D\n", "a.B"},
      {"Main-Class:   a.B   \n", "a.B"},
      {"Main-Class: a.B", "a.B"},
  };
  for (const auto& [manifest, mainClass] : cases) EXPECT_EQ(packManifestMainClass(manifest), mainClass) << manifest;
}

TEST(PackCommandLineTest, OptionsAndJarsInAnyOrder) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
    std::string output{};
    std::vector<std::string> jars{};
    PackCommand command = PackCommand::kPack;
  } cases[] = {
      {{"-oout.bin", "a.jar"}, "", "out.bin", {"a.jar"}},
      {{"-o=x", "a.jar", "", "-"}, "", "x", {"a.jar", "", "-"}},
      {{"a.jar", "--output=x", "--out", "y", "--", "-o", "--force"}, "", "y", {"a.jar", "-o", "--force"}},
      {{"--output", "--force", "a.jar"}, "", "--force", {"a.jar"}},
      {{"--help", "--bogus"}, "", "", {}, PackCommand::kHelp},
      {{"a.jar"}, "no output given: name it with -o"},
      {{"a.jar", "-o"}, "option '-o' needs a value"},
      {{"a.jar", "--output"}, "option '--output' needs a value"},
      {{"-o", "out", "--bogus=1", "--help"}, "unknown option '--bogus=1'"},
      {{"-xo", "out"}, "unknown option '-x'"},
      {{"--force=yes", "--help"}, "option '--force' takes no value"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    std::vector<char*> argv = {const_cast<char*>("jlauncher-pack")};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    PackRequest request;
    PackCommand command;
    std::string error;
    if (!packReadCommandLine(static_cast<int>(args.size() + 1), argv.data(), &request, &command, &error)) {
      EXPECT_EQ(error, c.error + " (see jlauncher-pack --help)");
      continue;
    }
    EXPECT_EQ(c.error, "") << c.args[0];
    EXPECT_EQ(command, c.command) << c.args[0];
    EXPECT_EQ(request.output, c.output) << c.args[0];
    EXPECT_EQ(request.jars, c.jars) << c.args[0];
  }
}

}  // namespace
