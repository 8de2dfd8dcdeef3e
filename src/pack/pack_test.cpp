#include "pack/pack.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include "util/sha256.h"

#include "temp_dir.h"
#include "util/sha256.h"
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

/// The entries of a packed output, read with libzip as any archive, and its
/// comment under the name ""; the names of the entries stored uncompressed
/// go to *stored when given.
std::map<std::string, std::string> entriesOf(const std::string& path, std::set<std::string>* stored = nullptr) {
  std::map<std::string, std::string> entries;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, nullptr);
  if (archive == nullptr) return entries;
  const char* comment = zip_get_archive_comment(archive, nullptr, 0);
  entries[""] = comment ? comment : "";
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    zip_stat_t stat;
    zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat);
    std::string data(stat.size, '\0');
    zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    zip_fread(file, data.data(), data.size());
    zip_fclose(file);
    entries[stat.name] = data;
    if (stored != nullptr && stat.comp_method == ZIP_CM_STORE) stored->insert(stat.name);
  }
  zip_discard(archive);
  return entries;
}

/// text with each "{x}" replaced by the path of dir's file x.jar.
std::string inDir(std::string text, const std::string& dir) {
  for (std::size_t at; (at = text.find('{')) != std::string::npos;) {
    std::size_t end = text.find('}', at);
    text.replace(at, end - at + 1, dir + "/" + text.substr(at + 1, end - at - 1) + ".jar");
  }
  return text;
}

std::set<std::string> filesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

/// A Java runtime as the packer sees one, at dir/name: a release file, a
/// JVM library, an executable java and a link inside it.
std::string makeRuntime(const TempDir& dir, const std::string& name) {
  dir.writeFile(name + "/release", "IMPLEMENTOR=\"hand\"\nJAVA_VERSION=\"17.0.2\"\n");
  dir.writeFile(name + "/lib/server/libjvm.so", "\x7f" "ELF jvm");
  dir.writeFile(name + "/bin/java", "\x7f" "ELF java", 04755);
  dir.symlink("server/libjvm.so", name + "/lib/libjvm.so");
  return dir.file(name);
}

class PackTest : public testing::Test {
 protected:
  /// Packs into dir/out with a small stand-in launcher unless the request
  /// names others; what was reported is left in warnings, error and notes.
  bool pack(PackRequest request) {
    warnings.clear();
    error.clear();
    notes.clear();
    if (request.output.empty()) request.output = dir.file("out");
    if (request.launcher.empty()) request.launcher = launcher;
    return packApplication(request, &warnings, &error, &notes);
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
  std::vector<std::string> notes;
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
  std::string half2 = dir.copyFile(half, "half2.jar");
  std::string service = zeroJar(dir, "service.jar", 17 * mib, {"META-INF/services/x.Y"});
  std::string runtime = makeRuntime(dir, "jre");
  std::string fifo = makeRuntime(dir, "fifo");
  mkfifo(dir.file("fifo/lib/pipe").c_str(), 0644);
  std::string noJvm = dir.makeDir("nojvm/lib/server");
  std::string exactly17 = dir.writeFile("17.config", "vmversion 17\n");
  std::string old = dir.writeFile("old.config", "vmversion 21+\nvmversion 1.3.0+\nvmversion $env(V)\nvmversion 11-\n");
  // Files outside what was named, that not every user may read.
  std::string secret = dir.writeFile("secret", "root's own", 0600);
  std::string shadowed = makeRuntime(dir, "shadowed");
  dir.symlink(secret, "shadowed/conf/net.properties");
  std::string system = makeRuntime(dir, "system");
  dir.symlink("/proc/self/environ", "system/conf/sound.properties");
  dir.makeDir("given");
  std::string given = makeJar(dir, "given/app.jar", {{"META-INF/MANIFEST.MF", "Main-Class: a.Main\nClass-Path: ../secret\n"}});
  const std::string linkFix = "; replace the link with a copy of the file if it is meant to be packed, or remove it";
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
      // Refused before a layout is chosen: the signature is not yet warned of.
      {{.mainClass = "x.Main", .jars = {other, service}},
       "'META-INF/services/x.Y' of '" + service + "' is larger than 16 MiB"},
      {{.mainClass = "x.Main", .jars = {half, half2}},
       "'META-INF/services/x.Y' joined with that of '" + half2 + "' is larger than 16 MiB"},
      {{.jars = {app}, .runtime = runtime, .jlink = true}, "--runtime and --jlink both name a runtime; give one"},
      {{.jars = {app}, .runtime = runtime, .stripDebug = true}, "--strip-debug goes with --jlink"},
      {{.jars = {app}, .runtime = runtime, .bindServices = true}, "--bind-services goes with --jlink"},
      {{.jars = {app}, .runtime = runtime, .jdk = runtime}, "--jdk goes with --jlink"},
      {{.jars = {app}, .runtime = dir.file("nojvm")}, "'" + dir.file("nojvm") +
       "' is not a Java runtime: it needs a release file and lib/server/libjvm.so (or lib/client/libjvm.so)"},
      {{.jars = {app}, .runtime = fifo},
       "'" + fifo + "/lib/pipe' is a fifo: a packed runtime holds only directories, files and symbolic links"},
      {{.configFile = exactly17, .jars = {app}, .runtime = runtime},
       "the runtime '" + runtime + "' is Java 17.0.2, which 'vmversion 17' of the configuration refuses"},
      {{.configFile = old, .jars = {app}, .runtime = runtime},
       "the runtime '" + runtime + "' is Java 17.0.2, which 'vmversion 11-' of the configuration refuses"},
      {{.jars = {app}, .runtime = shadowed}, "the symbolic link '" + shadowed + "/conf/net.properties' of the runtime "
       "leads outside it to '" + secret + "', which not every user can read" + linkFix},
      {{.jars = {app}, .runtime = system}, "the symbolic link '" + system + "/conf/sound.properties' of the runtime "
       "leads outside it to '/proc/" + std::to_string(getpid()) + "/environ', a file of the running system (under "
       "/proc, /sys or /dev), not of an application" + linkFix},
  };
  // A jar of another user's naming a file of the packer's that they cannot
  // read (run by root, as a jar in /tmp naming /root's).
  std::vector<Case> all(std::begin(cases), std::end(cases));
  if (geteuid() == 0 && chown(given.c_str(), 65534, 65534) == 0) {
    all.push_back({{.jars = {given}}, "'../secret' named by the Class-Path of '" + given + "' is '" + secret +
                                          "', which not every user can read, nor belongs to the jar's owner; give it as "
                                          "a jar of its own if it is meant to be packed"});
  }
  const std::set<std::string> before = filesIn(dir.path());
  for (const Case& c : all) {
    EXPECT_FALSE(pack(c.request)) << c.error;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(warnings, c.warnings) << c.error;
    EXPECT_EQ(filesIn(dir.path()), before) << c.error;
  }
  EXPECT_EQ(readFile(existing), "keep me");
}

// Each row: two or three jars (a, b, c), the options, and what the packer
// chose and said. "{a}" stands for a.jar's path.
TEST_F(PackTest, LayoutKeepsTheJarsWholeWhenMergingIsNotExact) {
  const std::string main = "Main-Class: a.Main\n";
  const Entries signedJar = {{"META-INF/B.SF", "s"}, {"META-INF/B.RSA", "r"}, {"b/B.class", "b"}};
  const std::string plugins = "META-INF/org/apache/logging/log4j/core/config/plugins/Log4j2Plugins.dat";
  struct Row {
    std::vector<Entries> jars;
    PackRequest options;
    PackLayout layout;
    std::vector<std::string> notes{};
    std::vector<std::string> warnings{};
  } rows[] = {
      // Identical duplicates, directories and service lists merge exactly.
      {{{{"META-INF/MANIFEST.MF", main}, {"x/", ""}, {"x/same.txt", "1"}, {"META-INF/services/s.S", "a.A"}},
        {{"x/", ""}, {"x/same.txt", "1"}, {"META-INF/services/s.S", "b.B"}}},
       {.verbose = true}, PackLayout::kFlat, {"the jars are merged: merging them loses nothing"}},
      {{{{"META-INF/MANIFEST.MF", main}}, {{"b/B.class", "b"}}}, {.keepJars = true, .verbose = true},
       PackLayout::kKeptJars, {"the jars are kept whole: --keep-jars was given"}},
      {{{{"META-INF/MANIFEST.MF", main}, {"x.txt", "1"}}, {{"x.txt", "2"}}}, {}, PackLayout::kKeptJars,
       {"the jars are kept whole: 'x.txt' differs between '{a}' and '{b}' (--verbose lists every reason)"}},
      {{{{"META-INF/MANIFEST.MF", main}, {"x.txt", "1"}}, {{"x.txt", "2"}}}, {.flat = true}, PackLayout::kFlat, {},
       {"'x.txt' of '{b}' is left out: the one of '{a}' is kept"}},
      // The jars the end-to-end tests pack: a conflict and a signature.
      {{{{"META-INF/MANIFEST.MF", main}, {"x.txt", "1"}}, signedJar, {{"x.txt", "3"}}}, {.verbose = true},
       PackLayout::kKeptJars,
       {"the jars are kept whole: '{b}' is signed",
        "the jars are kept whole: 'x.txt' differs between '{a}' and '{c}'"}},
      {{{{"META-INF/MANIFEST.MF", main}}, signedJar}, {.flat = true}, PackLayout::kFlat, {},
       {"leaving out the signature file 'META-INF/B.SF' of '{b}': a merged archive is not signed",
        "leaving out the signature file 'META-INF/B.RSA' of '{b}': a merged archive is not signed"}},
      {{{{"META-INF/MANIFEST.MF", main}, {plugins, "1"}}, {{plugins, "2"}}}, {}, PackLayout::kKeptJars,
       {"the jars are kept whole: '" + plugins + "' of '{a}' and '{b}' cannot be merged (--verbose lists every reason)"}},
      {{{{"META-INF/MANIFEST.MF", main}, {"META-INF/services/s.S", "k=1\n"}}, {{"META-INF/services/s.S", "k=2\n"}}},
       {.flat = true}, PackLayout::kFlat, {}, {"'META-INF/services/s.S' of '{b}' is left out: the one of '{a}' is kept"}},
      {{{{"META-INF/MANIFEST.MF", main}},
        {{"META-INF/MANIFEST.MF", "Multi-Release: true\n"}, {"META-INF/versions/11/b/B.class", "b"}}},
       {.flat = true}, PackLayout::kFlat, {},
       {"'{b}' has versioned entries, and its Multi-Release differs from that of the first jar '{a}'"}},
      {{{{"META-INF/MANIFEST.MF", main + "Implementation-Version: 1\n"}}, {{"b/B.class", "b"}}}, {},
       PackLayout::kKeptJars,
       {"the jars are kept whole: 'Implementation-Version' of '{b}' cannot be given to its package 'b/' in a merged "
        "manifest (--verbose lists every reason)"}},
      {{{{"META-INF/MANIFEST.MF", main + "Class-Path: gone.jar\n"}}}, {.allowExternal = true}, PackLayout::kKeptJars,
       {"the jars are kept whole: '" + dir.path() + "/row/gone.jar' named by the Class-Path of '{a}' stays outside the "
        "output (--verbose lists every reason)"}},
  };
  for (const Row& row : rows) {
    std::filesystem::remove_all(dir.file("row"));
    PackRequest request = row.options;
    for (std::size_t j = 0; j < row.jars.size(); ++j) {
      dir.makeDir("row");
      request.jars.push_back(makeJar(dir, "row/" + std::string(1, static_cast<char>('a' + j)) + ".jar", row.jars[j]));
    }
    request.force = true;
    std::vector<std::string> notes;
    warnings.clear();
    request.output = dir.file("out");
    request.launcher = launcher;
    ASSERT_TRUE(packApplication(request, &warnings, &error, &notes)) << error;
    std::vector<std::string> expectedNotes, expectedWarnings;
    for (const std::string& note : row.notes) expectedNotes.push_back(inDir(note, dir.file("row")));
    for (const std::string& warning : row.warnings) expectedWarnings.push_back(inDir(warning, dir.file("row")));
    std::string comment = entriesOf(request.output)[""];
    EXPECT_EQ(comment.find("packedjar ") != std::string::npos, row.layout == PackLayout::kKeptJars) << comment;
    EXPECT_EQ(notes, expectedNotes);
    EXPECT_EQ(warnings, expectedWarnings);
  }
}

// Each row: the file two jars hold, and what the merged archive holds.
TEST_F(PackTest, MergedFilesHoldBothJarsParts) {
  const std::string groovy = "META-INF/groovy/org.codehaus.groovy.runtime.ExtensionModule";
  const std::string longClass = "a." + std::string(70, 'x') + ".Main";
  struct Row {
    std::string path, first, second, merged;
  } rows[] = {
      {"META-INF/services/s.S", "# first\na.A", "b.B\n", "# first\na.A\nb.B\n"},
      {"META-INF/services/s.S", "moduleName=m\nextensionClasses=a.A\n", "moduleName = m\nextensionClasses: b.B, a.A\n",
       "moduleName=m\nextensionClasses=a.A,b.B\n"},
      {"META-INF/services/x.Y", "a=b\n\\\n", "a=c,d\n", "a=b,c,d\n"},
      {groovy, "staticExtensionClasses=a.S\n", "staticExtensionClasses=b.S\n", "staticExtensionClasses=a.S,b.S\n"},
      {"META-INF/spring.handlers", "http\\://a=a.H\n", "http\\://b=b.H", "http\\://a=a.H\nhttp\\://b=b.H"},
      {"META-INF/spring.factories", "k=a.A,\\\n  a.B\n", "k=b.B\nj=c.C\n", "k=a.A,a.B,b.B\nj=c.C\n"},
      {"META-INF/spring/x.imports", "a.A\nb.B\n", "b.B\nc.C\n", "a.A\nb.B\nc.C\n"},
      {"META-INF/LICENSE.txt", "one\n", "two\n", "one\n\ntwo\n"},
      {"META-INF/NOTICE", "same\n", "same\n", "same\n"},
      {"META-INF/LICENSE", "apache\n", "mit", "apache\n\nmit"},
      {"META-INF/notice.md", "a\n", "b\n", "a\n\nb\n"},
      {"LICENSE", "a\n", "b\n", "a\n\nb\n"},
      {"data.bin", "same", "same", "same"},
      // The first jar's main section without Class-Path (b.jar it names is
      // packed), lines cut at 72 bytes; the second jar's package attributes
      // as a section for its package.
      {"META-INF/MANIFEST.MF", "Main-Class: " + longClass + "\nClass-Path: b.jar\n\nName: a/\nSealed: true\n",
       "Implementation-Version: 2\n",
       "Main-Class: " + longClass.substr(0, 60) + "\r\n " + longClass.substr(60) + "\r\n\r\nName: a/\r\n"
       "Sealed: true\r\n\r\nName: b/\r\nImplementation-Version: 2\r\n\r\n"},
  };
  for (const Row& row : rows) {
    std::filesystem::remove_all(dir.file("row"));
    dir.makeDir("row");
    Entries first = {{row.path, row.first}}, second = {{row.path, row.second}, {"b/B.class", "b"}};
    if (!row.path.ends_with("MANIFEST.MF")) first.emplace_back("META-INF/MANIFEST.MF", "Main-Class: a.Main\n");
    PackRequest request{.force = true, .jars = {makeJar(dir, "row/a.jar", first), makeJar(dir, "row/b.jar", second)}};
    ASSERT_TRUE(pack(request)) << error;
    EXPECT_EQ(entriesOf(dir.file("out"))[row.path], row.merged) << row.path;
    EXPECT_EQ(warnings, std::vector<std::string>{}) << row.path;
  }
}

// The jars a Class-Path names follow the jar that names them, each once, in
// the order the JVM reads them; the kept jars are stored as they are, under
// names of their own that any cache can hold. A jar from outside the given
// jars' directories is said to be packed.
TEST_F(PackTest, ClassPathJarsArePackedInTheJvmsOrder) {
  dir.makeDir("lib");
  dir.makeDir("x");
  TempDir elsewhere;
  chmod(elsewhere.path().c_str(), 0755);
  std::string e = makeJar(elsewhere, "e.jar", {{"e/E.class", "e"}});
  chmod(e.c_str(), 0644);
  std::string a = makeJar(dir, "a.jar", {{"META-INF/MANIFEST.MF", "Main-Class: a.Main\nClass-Path: lib/b%20c.jar "
                                          "gone.jar lib/ http://h/d.jar file:" + e + "\n"}});
  std::string bc = makeJar(dir, "lib/b c.jar", {{"META-INF/MANIFEST.MF", "Class-Path: ../d.jar file:" + a + "\n"}});
  std::string d = makeJar(dir, "d.jar", {{"d/D.class", "d"}});
  std::string a2 = makeJar(dir, "x/a.jar", {{"x/X.class", "x"}});
  const std::string longName = std::string(244, 'l') + ".jar";
  std::string long1 = makeJar(dir, "x/" + longName, {{"l/L.class", "1"}});
  std::string long2 = makeJar(dir, longName, {{"l/L.class", "2"}});
  ASSERT_TRUE(pack({.jars = {a, a2, d, long1, long2}, .keepJars = true})) << error;
  EXPECT_EQ(notes, std::vector<std::string>{"packing '" + e + "' from outside the jars' directories: the Class-Path "
                                            "of '" + a + "' names it"});
  std::set<std::string> stored;
  std::map<std::string, std::string> entries = entriesOf(dir.file("out"), &stored);
  std::string expected = "mainclass a.Main\n";
  std::vector<std::pair<std::string, std::string>> kept = {
      {a, "a.jar"}, {bc, "b_c.jar"}, {d, "d.jar"}, {e, "e.jar"}, {a2, "a-2.jar"},
      {long1, longName.substr(0, 124) + ".jar"}, {long2, longName.substr(0, 122) + "-2.jar"}};
  for (const auto& [path, name] : kept) {
    const std::string& bytes = entries["jlauncher/jars/" + name];
    expected += "packedjar " + sha256Hex(bytes) + " " + name + "\n";
    EXPECT_TRUE(stored.contains("jlauncher/jars/" + name)) << name;
    // A kept jar loses its Class-Path, which the JVM would follow outside
    // the output, and nothing else.
    std::map<std::string, std::string> original = entriesOf(path);
    std::map<std::string, std::string> copy = entriesOf(dir.writeFile("copy-" + name, bytes));
    if (original["META-INF/MANIFEST.MF"].find("Class-Path") == std::string::npos) {
      EXPECT_EQ(bytes, readFile(path)) << name;
      continue;
    }
    EXPECT_EQ(copy["META-INF/MANIFEST.MF"].find("Class-Path"), std::string::npos) << name;
    original.erase("META-INF/MANIFEST.MF");
    copy.erase("META-INF/MANIFEST.MF");
    EXPECT_EQ(copy, original) << name;
  }
  EXPECT_EQ(entriesOf(dir.file("copy-a.jar"))["META-INF/MANIFEST.MF"], "Main-Class: a.Main\r\n\r\n");
  EXPECT_EQ(entries[""], expected);
  EXPECT_EQ(entries.size(), kept.size() + 1);
  const std::string tail = "' named by the Class-Path of '" + a + "' ";
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          "'" + dir.file("gone.jar") + tail + "does not exist; the packed application will not have it",
                          "'" + dir.file("lib/") + tail + "is not a jar file; the packed application will not have it",
                          "'http://h/d.jar" + tail + "is not a jar file; the packed application will not have it"}));
}

// A runtime that needs a newer glibc than the launcher it is packed with
// narrows where the file runs, and the packer says so, naming the installed
// JDK that would make one needing less; the floors are read from the ELF
// files' needed symbol versions (Debian's JDK 17 needs 2.34, Temurin's 2.17
// and below), and the runtime's goes into its line of the configuration. A
// launcher that needs more than glibc 2.17 gives is said of too, and so is
// what java.desktop needs of the machine.
TEST_F(PackTest, WhatTheRuntimeNeedsOfTheMachineIsWarnedOf) {
  const std::string debian = "/usr/lib/jvm/java-17-openjdk-amd64/bin/java";
  const std::string temurin = "/usr/lib/jvm/temurin-25-jdk-amd64/bin/java";
  if (!std::filesystem::exists(debian) || !std::filesystem::exists(temurin)) GTEST_SKIP() << "needs both JDKs";
  EXPECT_EQ(packGlibcFloor(debian), "2.34");
  EXPECT_EQ(packGlibcFloor(temurin), "2.2.5");
  EXPECT_EQ(packGlibcFloor(launcher), std::nullopt);
  std::string runtime = makeRuntime(dir, "jre");
  std::filesystem::copy_file(debian, dir.file("jre/lib/server/libjvm.so"),
                             std::filesystem::copy_options::overwrite_existing);
  auto notPortable = [](const std::string& launcher, const std::string& needs) {
    return "the launcher '" + launcher + "' needs " + needs + ": the packed file runs only on systems like this one; "
           "pack with the portable launcher (--launcher, or build it: see the README's Portable launcher)";
  };
  ASSERT_TRUE(pack({.launcher = temurin, .jars = {app}, .runtime = runtime})) << error;
  const std::string jdk = "/usr/lib/jvm/temurin-25-jdk-amd64";
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          "the runtime needs glibc 2.34 (its lib/server/libjvm.so), the launcher 2.2.5: the packed file "
                          "runs only where glibc 2.34 or later is installed; " + jdk + " gives glibc 2.17: pack with "
                          "--jlink --jdk " + jdk,
                          notPortable(temurin, "libjli.so")}));
  EXPECT_NE(entriesOf(dir.file("out"))[""].find(" glibc=2.34\n"), std::string::npos);
  ASSERT_TRUE(pack({.launcher = debian, .force = true, .jars = {app}, .runtime = runtime})) << error;
  const std::string debianNeeds = notPortable(debian, "glibc 2.34, libz.so.1 and libjli.so");
  EXPECT_EQ(warnings, std::vector<std::string>{debianNeeds});
  // java.desktop's font code needs the machine's fontconfig and fonts.
  dir.writeFile("jre/lib/libfontmanager.so", "");
  ASSERT_TRUE(pack({.launcher = debian, .force = true, .jars = {app}, .runtime = runtime})) << error;
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          "the runtime has the module java.desktop: for AWT and Swing to draw text, the machines that "
                          "run the packed file need fontconfig and a font (on Debian the packages fontconfig and "
                          "fonts-dejavu-core)",
                          debianNeeds}));
}

// ELF files made by hand, as a runtime could carry them: a section that
// claims more bytes than any file holds, and versions the launcher could not
// compare, give no floor and no failure; a real version still does.
TEST_F(PackTest, DamagedElfFilesGiveNoGlibcFloor) {
  // A header, then a null section, the strings and the needed versions.
  auto elf = [](const std::string& version, std::uint64_t verneedSize) {
    auto put = [](std::string& to, std::size_t at, std::uint64_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) to[at + i] = static_cast<char>(value >> (8 * i));
    };
    const std::string strings = std::string(1, '\0') + version + '\0';
    std::string verneed(32, '\0');
    put(verneed, 0, 1, 2), put(verneed, 2, 1, 2), put(verneed, 8, 16, 4), put(verneed, 24, 1, 4);
    std::string file(64 + 3 * 64, '\0');
    file.replace(0, 6, "\x7f" "ELF\x02\x01");
    put(file, 40, 64, 8), put(file, 58, 64, 2), put(file, 60, 3, 2);
    const std::size_t data = file.size();
    put(file, 128 + 4, 3, 4), put(file, 128 + 24, data, 8), put(file, 128 + 32, strings.size(), 8);
    put(file, 192 + 4, 0x6ffffffe, 4), put(file, 192 + 24, data + strings.size(), 8);
    put(file, 192 + 32, verneedSize, 8), put(file, 192 + 40, 1, 4);
    return file + strings + verneed;
  };
  const struct {
    std::string version;
    std::uint64_t verneedSize;
    std::optional<std::string> floor;
  } rows[] = {
      {"GLIBC_2.34", 32, "2.34"},
      {"GLIBC_2.34", 1ULL << 62, std::nullopt},
      {"GLIBC_2.34\npackedjar x", 32, std::nullopt},
      {"GLIBC_2.3x", 32, std::nullopt},
      {"GLIBC_PRIVATE", 32, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(packGlibcFloor(dir.writeFile("lib.so", elf(row.version, row.verneedSize))), row.floor)
        << row.version << " " << row.verneedSize;
  }
}

// The runtime's entries follow the jars', in name order, with their modes
// (set-ID bits cleared), and the comment names the runtime by the hash of
// their names, modes and data.
TEST_F(PackTest, RuntimeEntriesAndTheirHash) {
  std::string runtime = makeRuntime(dir, "jre");
  // As distributions link a JDK's configuration to /etc: the file, which
  // every user can read, is packed in the link's place, and said to be;
  // links to a directory outside or to nothing are left out.
  chmod(dir.path().c_str(), 0755);
  dir.writeFile("etc/jvm.cfg", "-server KNOWN\n", 0604);
  dir.symlink(dir.file("etc/jvm.cfg"), "jre/lib/jvm.cfg");
  dir.symlink("../../etc", "jre/lib/etc");
  dir.symlink("../../gone/src.zip", "jre/lib/src.zip");
  std::string config = dir.writeFile("app.config", "vmversion 21+\nvmversion $env(V)\nvmversion 1.8.0+\n");
  ASSERT_TRUE(pack({.configFile = config, .jars = {app}, .runtime = runtime})) << error;
  zip_t* archive = zip_open(dir.file("out").c_str(), ZIP_RDONLY, nullptr);
  ASSERT_NE(archive, nullptr);
  std::vector<std::pair<std::string, zip_uint32_t>> entries;
  Sha256 hash;
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    std::string name = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
    zip_uint8_t system;
    zip_uint32_t attributes;
    zip_file_get_external_attributes(archive, static_cast<zip_uint64_t>(i), 0, &system, &attributes);
    if (!name.starts_with("jlauncher/runtime/")) continue;
    EXPECT_EQ(system, ZIP_OPSYS_UNIX) << name;
    entries.emplace_back(name, attributes >> 16);
    std::string data(1024, '\0');
    zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    data.resize(static_cast<std::size_t>(zip_fread(file, data.data(), data.size())));
    zip_fclose(file);
    char octal[16];
    std::snprintf(octal, sizeof octal, "%o", attributes >> 16);
    hash.update(name.data(), name.size() + 1);
    hash.update(octal, std::strlen(octal) + 1);
    hash.update(data.data(), data.size());
  }
  const std::vector<std::pair<std::string, zip_uint32_t>> expected = {
      {"jlauncher/runtime/bin/", S_IFDIR | 0755},           {"jlauncher/runtime/bin/java", S_IFREG | 0755},
      {"jlauncher/runtime/lib/", S_IFDIR | 0755},           {"jlauncher/runtime/lib/jvm.cfg", S_IFREG | 0604},
      {"jlauncher/runtime/lib/libjvm.so", S_IFLNK | 0777},
      {"jlauncher/runtime/lib/server/", S_IFDIR | 0755},    {"jlauncher/runtime/lib/server/libjvm.so", S_IFREG | 0644},
      {"jlauncher/runtime/release", S_IFREG | 0644},
  };
  EXPECT_EQ(entries, expected);
  EXPECT_EQ(notes, std::vector<std::string>{"packing '" + dir.file("etc/jvm.cfg") + "' from outside the runtime: its link '" +
                                            runtime + "/lib/jvm.cfg' names it"});
  const std::string leftOut = "leaving out the symbolic link '" + runtime + "/lib/";
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          leftOut + "etc' of the runtime: it leads outside the runtime to a directory ('../../etc')",
                          leftOut + "src.zip' of the runtime: it leads outside the runtime to nothing "
                                    "('../../gone/src.zip')"}));
  EXPECT_EQ(zip_get_name(archive, 0, 0), std::string("META-INF/MANIFEST.MF"));
  EXPECT_EQ(std::string(zip_get_archive_comment(archive, nullptr, 0)), "mainclass app.Main\npackedruntime " + hash.hex() + "\n" +
                                                              readFile(config));
  zip_close(archive);
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
  for (const auto& [manifest, mainClass] : cases) {
    EXPECT_EQ(packManifestMainClass(packParseManifest(manifest)), mainClass) << manifest;
  }
}

TEST(PackCommandLineTest, OptionsAndJarsInAnyOrder) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
    std::string output{};
    std::vector<std::string> jars{};
    PackCommand command = PackCommand::kPack;
    std::vector<std::string> addModules{};
    std::string version{};
  } cases[] = {
      {{"--add-modules", "a,b", "-ox", "--jlink", "a.jar", "--add-modules=c"}, "", "x", {"a.jar"}, PackCommand::kPack,
       {"a,b", "c"}},
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
      {{"-o", "x", "--flat", "--keep-jars", "a.jar"}, "--keep-jars and --flat exclude each other"},
      // With a package, --version names its version rather than asking for the packer's.
      {{"--deb", "-o", "x.deb", "--name", "x1", "--version", "1.0-2", "--maintainer", "A B <a@b.c>",
        "--description", "an app", "--depends", "a, b (>= 2)", "a.jar"}, "", "x.deb", {"a.jar"}, PackCommand::kPack,
       {}, "1.0-2"},
      {{"--rpm", "-ox.rpm", "--name=x1", "--version", "2", "--description=d", "--", "--deb"}, "", "x.rpm", {"--deb"},
       PackCommand::kPack, {}, "2"},
      {{"-o", "x", "--", "--deb", "--version", "1"}, "", "x", {"--deb", "--version", "1"}},
      {{"-o", "x", "--rpm", "--deb", "a.jar"}, "--deb and --rpm exclude each other"},
      {{"-o", "x", "--name", "x1", "a.jar"}, "--name goes with --deb or --rpm"},
      {{"-o", "x", "--man", "x.1", "a.jar"}, "--man goes with --deb or --rpm"},
      {{"--deb", "-o", "x", "--version", "1", "--description", "d", "a.jar"}, "--deb needs --name NAME"},
      {{"--rpm", "-o", "x", "--name", "x1", "--description", "d", "a.jar"}, "--rpm needs --version VERSION"},
      {{"--deb", "-o", "x", "--name", "x1", "--version", "1", "--description", "d", "a.jar"},
       "--deb needs --maintainer 'Name <mail address>'"},
      {{"--rpm", "-o", "x", "--name", "x1", "--version", "1", "a.jar"}, "--rpm needs --description TEXT"},
      {{"--rpm", "-o", "x", "--name", "My_App", "--version", "1", "--description", "d", "a.jar"},
       "'My_App' cannot name a package: use lower-case letters, digits, '+', '-' and '.', at least two, first a "
       "letter or digit"},
      {{"--rpm", "-o", "x", "--name", "x1", "--version", "1:2.0", "--description", "d", "a.jar"},
       "'1:2.0' is no package version: begin with a digit, then letters, digits, '.', '+', '~' and one '-' (not "
       "last)"},
      // RPM's version would end at the second '-'.
      {{"--rpm", "-o", "x", "--name", "x1", "--version", "1.0-2-3", "--description", "d", "a.jar"},
       "'1.0-2-3' is no package version: begin with a digit, then letters, digits, '.', '+', '~' and one '-' (not "
       "last)"},
      {{"--deb", "-o", "x", "--name", "x1", "--version", "1", "--maintainer", "a@b.c", "--description", "d", "a.jar"},
       "'a@b.c' is no maintainer: give 'Name <mail address>', a name without commas"},
      {{"--deb", "-o", "x", "--name", "x1", "--version", "1", "--maintainer", "Doe, Jo <j@b.c>", "--description", "d",
        "a.jar"},
       "'Doe, Jo <j@b.c>' is no maintainer: give 'Name <mail address>', a name without commas"},
      {{"--rpm", "-o", "x", "--name", "x1", "--version", "1", "--description", "two\nlines", "a.jar"},
       "--description takes one line of text, not blank"},
      {{"--rpm", "-o", "x", "--name", "x1", "--version", "1", "--description", "  ", "a.jar"},
       "--description takes one line of text, not blank"},
      {{"--rpm", "-o", "x", "--name", "x1", "--version", "1", "--description", "d", "--depends", "a,,b", "a.jar"},
       "'a,,b' is no list of package relations: separate them with commas"},
      {{"--deb", "-o", "x", "--name", "x1", "--version"}, "option '--version' needs a value"},
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
    EXPECT_EQ(request.addModules, c.addModules) << c.args[0];
    EXPECT_EQ(request.version, c.version) << c.args[0];
  }
}

}  // namespace
