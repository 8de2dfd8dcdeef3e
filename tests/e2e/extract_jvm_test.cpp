// Single-file applications that carry their jars whole, or a Java runtime:
// the first launch extracts them into the user's cache, later launches use
// them there, and a launch that may not or cannot extract says why.

#include <fcntl.h>
#include <gnu/libc-version.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstring>
#include <filesystem>

#include "launcher.h"
#include "util/sha256.h"

namespace {

namespace fs = std::filesystem;

const std::string kPack = JLAUNCHER_PACK_PATH;
const std::string kJarOne = PACK_JAR_ONE;
const std::string kJarTwo = PACK_JAR_TWO;
const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                            "--clear-groups"};

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Other users run the application in some rows.
    fs::permissions(dir.path(), fs::perms(0755));
  }
  /// Packs with the build's launcher, whose warning is taken out of what
  /// the packer says.
  ProcessResult pack(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env = {}) {
    args.insert(args.begin(), "jlauncher-pack");
    env.emplace("JAVA_HOME", testJdkHome());
    ProcessResult result = runLauncher(kPack, args, env, dir.path());
    result.err = withoutLauncherWarning(result.err);
    return result;
  }
  /// Runs the application with the test's own home, and no Java but the
  /// build's JDK.
  ProcessResult run(const std::string& program, std::vector<std::string> args,
                    std::map<std::string, std::optional<std::string>> env = {}) {
    args.insert(args.begin(), program);
    env.emplace("PATH", kPathWithoutJava);
    env.emplace("JAVA_HOME", testJdkHome());
    env.emplace("HOME", home);
    return runLauncher(program, args, withoutCaches(env), dir.path());
  }
  /// No cache directory but the home's, unless env names one.
  static std::map<std::string, std::optional<std::string>> withoutCaches(
      std::map<std::string, std::optional<std::string>> env) {
    env.emplace("XDG_CACHE_HOME", std::nullopt);
    env.emplace("CACHE_DIRECTORY", std::nullopt);
    return env;
  }
  std::string jarsIn() const { return home + "/.cache/jlauncher/jars/"; }

  TempDir dir;
  std::string home = dir.makeDir("home");
  const std::string expected = "greeters [one, two]\nwhich one\nargs [a]\nlauncher true ";
};

// The jars stand on the class path as the files they were, in their order
// and with everything of their own, as under java -cp; a damaged copy is
// extracted again.
TEST_F(ExtractTest, KeptJarsRunAsUnderJavaCpAndADamagedCopyIsReplaced) {
  ASSERT_EQ(pack({"--keep-jars", "-o", "myapp", kJarOne, COMPANION_JAR, kJarTwo}).status, 0);
  std::string app = dir.file("myapp");
  ProcessResult first = run(app, {"a"});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out.substr(0, expected.size()), expected);

  ProcessResult javacmd = run(app, {"+javacmd", "a"});
  std::string classPath;
  for (const std::string& jar : {kJarOne, std::string(COMPANION_JAR), kJarTwo}) {
    std::string name = fs::path(jar).filename();
    std::string hash = sha256Hex(readFile(jar));
    classPath += (classPath.empty() ? "" : ":") + jarsIn() + hash + "/" + name;
    EXPECT_EQ(readFile(jarsIn() + hash + "/" + name), readFile(jar)) << name;
  }
  EXPECT_NE(javacmd.out.find(" -Djava.class.path=" + classPath + " "), std::string::npos) << javacmd.out;

  std::string copy = jarsIn() + sha256Hex(readFile(kJarOne)) + "/" + fs::path(kJarOne).filename().string();
  fs::permissions(copy, fs::perms::owner_write, fs::perm_options::add);
  fs::resize_file(copy, 100);
  ProcessResult repaired = run(app, {"a"}, {{"UTRACE", "-p"}});
  EXPECT_EQ(repaired.status, 0) << repaired.err;
  EXPECT_NE(repaired.out.find("Extracting <" + fs::path(kJarOne).filename().string() + ">"), std::string::npos);
  EXPECT_NE(repaired.out.find(expected), std::string::npos) << repaired.out;
  EXPECT_EQ(readFile(copy), readFile(kJarOne));
}

// Launches that start together wait for one another: each jar is extracted
// once, and every launch runs the application.
TEST_F(ExtractTest, LaunchesStartedTogetherExtractOnce) {
  ASSERT_EQ(pack({"--keep-jars", "-o", "myapp", kJarOne, COMPANION_JAR, kJarTwo}).status, 0);
  ProcessResult together = runLauncher(
      "/bin/sh", {"sh", "-c", "for i in 1 2 3; do \"$0\" a & done; wait", dir.file("myapp")},
      withoutCaches({{"PATH", kPathWithoutJava}, {"JAVA_HOME", testJdkHome()}, {"HOME", home}, {"UTRACE", "-p"}}),
      dir.path());
  auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (std::size_t at = together.out.find(text); at != std::string::npos; at = together.out.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("Extracting <"), 3u) << together.out;
  EXPECT_EQ(count("greeters [one, two]\n"), 3u) << together.out << together.err;
}

// Copies no launch used for 30 days go with a later launch of another
// application, which marks its own as used; +cache lists what is left and
// +cache clear removes all of it but what a launch holds.
TEST_F(ExtractTest, UnusedCopiesArePrunedAndPlusCacheListsAndClears) {
  ASSERT_EQ(pack({"--keep-jars", "-o", "myapp", kJarOne, COMPANION_JAR, kJarTwo}).status, 0);
  ASSERT_EQ(pack({"--keep-jars", "-o", "other", kJarOne, COMPANION_JAR}).status, 0);
  ASSERT_EQ(run(dir.file("myapp"), {"a"}).status, 0);
  const time_t now = std::time(nullptr);
  auto copy = [&](const std::string& jar) { return jarsIn() + sha256Hex(readFile(jar)); };
  auto jarOf = [&](const std::string& jar) { return copy(jar) + "/" + fs::path(jar).filename().string(); };
  for (const std::string& jar : {kJarOne, kJarTwo}) {
    const timespec times[2] = {{now - 40 * 24 * 3600, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, jarOf(jar).c_str(), times, 0), 0);
  }
  fs::remove(home + "/.cache/jlauncher/.pruned");
  ProcessResult other = run(dir.file("other"), {"a"});
  EXPECT_EQ(other.status, 0) << other.err;
  EXPECT_FALSE(fs::exists(copy(kJarTwo)));
  struct stat info;
  ASSERT_EQ(stat(jarOf(kJarOne).c_str(), &info), 0);
  EXPECT_GE(info.st_atim.tv_sec, now);
  EXPECT_EQ(info.st_mtim.tv_sec, 315532800);  // still as extracted

  // The lines in the order of the hashes; sizes as du counts them.
  std::vector<std::string> kept = {kJarOne, COMPANION_JAR};
  std::sort(kept.begin(), kept.end(), [&](auto& a, auto& b) { return copy(a) < copy(b); });
  char day[16];
  struct tm utc;
  std::strftime(day, sizeof day, "%Y-%m-%d", gmtime_r(&now, &utc));
  std::string listing;
  long long total = 0, bytes = 0;
  auto kiB = [](long long n) { return std::to_string((n + 1023) / 1024); };
  for (const std::string& jar : kept) {
    bytes = 0;
    for (const fs::path& path : {fs::path(copy(jar)), fs::path(jarOf(jar)), fs::path(copy(jar) + "/.lock")}) {
      lstat(path.c_str(), &info);
      bytes += info.st_blocks * 512LL;
    }
    total += bytes;
    char line[256];
    std::snprintf(line, sizeof line, "jar      %.12s  %5s KiB  %s  %s\n", sha256Hex(readFile(jar)).c_str(),
                  kiB(bytes).c_str(), day, fs::path(jar).filename().c_str());
    listing += line;
  }
  const std::string cache = home + "/.cache/jlauncher";
  ProcessResult listed = run(dir.file("myapp"), {"+cache"}, {{"TZ", "UTC"}});
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.err, "");
  EXPECT_EQ(listed.out, listing + "2 copies, " + kiB(total) + " KiB, in '" + cache + "'\n");

  // A running launch holds its copies.
  if (kept[0] == kJarOne) bytes = total - bytes;
  int held = open(copy(COMPANION_JAR).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_SH), 0);
  ProcessResult cleared = run(dir.file("myapp"), {"+cache", "clear"});
  close(held);
  EXPECT_EQ(cleared.status, 0);
  EXPECT_EQ(cleared.err, "");
  ASSERT_EQ(stat(copy(kJarOne).c_str(), &info), -1);
  EXPECT_EQ(cleared.out, "Kept the jar " + sha256Hex(readFile(COMPANION_JAR)).substr(0, 12) +
                            ": a launch is using it.\nRemoved 1 copy, " + kiB(bytes) + " KiB, from '" + cache + "'.\n");
  ProcessResult unknown = run(dir.file("myapp"), {"+cache", "all"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "Error: 'all' is no word of +cache, which lists the extracted jars and Java runtimes; +cache "
                         "clear removes those no launch is using.\n");
}

// Where nothing can be extracted the launch ends before any JVM, with one
// message that says what to do: never in a directory others can change,
// never with another user's privileges.
TEST_F(ExtractTest, NothingIsExtractedWhereItMayNotBe) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as nobody and install a set-user-ID copy";
  ASSERT_EQ(pack({"--keep-jars", "-o", "myapp", kJarOne, COMPANION_JAR}).status, 0);
  std::string app = dir.file("myapp");
  std::string setId = dir.file("setid");
  fs::copy_file(app, setId);
  ASSERT_EQ(chmod(setId.c_str(), 04755), 0);
  std::string shared = dir.makeDir("shared");
  fs::permissions(shared, fs::perms::all);
  const std::string fix =
      ". Set XDG_CACHE_HOME to a directory of the user's own, or give its service CacheDirectory= in the unit.\n";
  struct Case {
    const char* what;
    std::string program;
    std::map<std::string, std::optional<std::string>> env;
    std::string err;
  } cases[] = {
      {"no home", app, {{"HOME", std::nullopt}},
       "Error: myapp has no cache directory to extract its jars or Java runtime into: none of XDG_CACHE_HOME, "
       "CACHE_DIRECTORY and HOME names a directory" + fix},
      {"a cache others can change", app, {{"XDG_CACHE_HOME", shared}},
       "Error: myapp has no cache directory to extract its jars or Java runtime into: every user can change '" +
           shared + "'" + fix},
      {"a home the user cannot write, as for a service's dynamic user", app, {{"HOME", "/"}},
       "Error: myapp has no cache directory to extract its jars or Java runtime into: cannot write to "
       "'/.cache/jlauncher' (Permission denied)" + fix},
      {"a set-ID launch", setId, {},
       "Error: setid carries jars or a Java runtime to extract into the user's cache, which a set-user-ID or "
       "set-group-ID launch never does.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> argv = kAsNobody;
    argv.push_back(c.program);
    std::map<std::string, std::optional<std::string>> env = c.env;
    env.emplace("PATH", kPathWithoutJava);
    env.emplace("JAVA_HOME", testJdkHome());
    env.emplace("HOME", dir.path());
    ProcessResult result = runLauncher(argv[0], argv, withoutCaches(env), "/");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
  }
  EXPECT_FALSE(fs::exists(shared + "/jlauncher/jars"));

  // The directory a service manager made for the service is the fix.
  std::string service = dir.makeDir("var/cache/myapp");
  ASSERT_EQ(chown(service.c_str(), 65534, 65534), 0);
  fs::permissions(service, fs::perms::owner_all);
  ProcessResult served = runLauncher(kAsNobody[0], {kAsNobody[0], kAsNobody[1], kAsNobody[2], kAsNobody[3], app, "a"},
                                     withoutCaches({{"HOME", "/"}, {"CACHE_DIRECTORY", service},
                                                    {"PATH", kPathWithoutJava}, {"JAVA_HOME", testJdkHome()}}),
                                     "/");
  EXPECT_EQ(served.status, 0) << served.err;
  const std::string one = "greeters [one]\nwhich one\n";
  EXPECT_EQ(served.out.substr(0, one.size()), one);
  EXPECT_TRUE(fs::exists(service + "/jlauncher/jars"));
}

// A runtime jlink makes for the application's modules (and those asked
// for) runs it where no Java is installed: /usr/lib/jvm empty, no java on
// PATH, no JAVA_HOME. jlink's work leaves nothing behind; a runtime
// damaged since its extraction is extracted again.
TEST_F(ExtractTest, ACarriedRuntimeRunsWhereNoJavaIsInstalled) {
  // An empty file system over /usr/lib/jvm, in a mount namespace of the
  // command's own: one that a user without root, a chroot or a container
  // may not grant, which the same command on true finds out.
  const std::vector<std::string> withoutJavas = {"unshare", "-m", "/bin/sh", "-c",
                                                 "/bin/mount -t tmpfs none /usr/lib/jvm && exec \"$@\"", "sh"};
  std::vector<std::string> probe = withoutJavas;
  probe.push_back("/bin/true");
  ProcessResult hidden = runLauncher("/usr/bin/unshare", probe);
  if (hidden.status != 0) GTEST_SKIP() << "cannot hide /usr/lib/jvm here: " << hidden.err;
  std::string tmp = dir.makeDir("tmp");
  ProcessResult packed = pack({"-o", "myapp", "--jlink", "--strip-debug", "--add-modules", "jdk.zipfs", kJarOne,
                               COMPANION_JAR, kJarTwo},
                              {{"TMPDIR", tmp}});
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(packed.err, "jlauncher-pack: the jars are kept whole: '" + kJarTwo +
                            "' is signed (--verbose lists every reason)\n");
  EXPECT_TRUE(fs::is_empty(tmp));
  std::vector<std::string> launch = withoutJavas;
  launch.insert(launch.end(), {dir.file("myapp"), "a"});
  ProcessResult result =
      runLauncher("/usr/bin/unshare", launch,
                  withoutCaches({{"PATH", kPathWithoutJava}, {"JAVA_HOME", std::nullopt}, {"HOME", home}}), dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out.substr(0, expected.size()), expected) << result.err;
  EXPECT_EQ(result.err, "");
  std::vector<fs::path> runtimes(fs::directory_iterator(home + "/.cache/jlauncher/runtime"), {});
  std::erase_if(runtimes, [](const fs::path& path) { return path.extension() == ".lock"; });
  ASSERT_EQ(runtimes.size(), 1u);
  // The jars need java.base alone; jdk.zipfs was asked for.
  EXPECT_NE(readFile(runtimes[0] / "release").find("\nMODULES=\"java.base jdk.zipfs\"\n"), std::string::npos);
  EXPECT_EQ(fs::status(runtimes[0] / "bin/java").permissions(), fs::perms(0755));
  // A runtime damaged since is extracted again.
  fs::resize_file(runtimes[0] / "lib/modules", 4096);
  ProcessResult repaired = run(dir.file("myapp"), {"a"}, {{"UTRACE", "-p"}});
  EXPECT_EQ(repaired.status, 0) << repaired.err;
  EXPECT_NE(repaired.out.find("Extracting the Java runtime to <" + runtimes[0].string() + ">"), std::string::npos);
  EXPECT_NE(repaired.out.find(expected), std::string::npos) << repaired.out << repaired.err;
  // +javahome still names another.
  ProcessResult other = run(dir.file("myapp"), {"+javahome", testJdkHome(), "+javacmd", "a"});
  EXPECT_EQ(other.out.substr(0, testJdkHome().size()), testJdkHome()) << other.out;

  // The runtime's line records the oldest glibc it runs with. Edited in
  // place (the archive's offsets stay right): a floor above this system's
  // glibc is refused before anything is extracted, unless +javahome names
  // another Java; a line without the field, as earlier packers wrote it, runs.
  std::string bytes = readFile(dir.file("myapp"));
  std::size_t field = bytes.rfind("\npackedruntime ") + std::strlen("\npackedruntime ") + 64;
  std::size_t size = bytes.find('\n', field) - field;
  ASSERT_EQ(bytes.substr(field, 7), " glibc=");
  const std::string floor(size - 7, '9');
  std::string refused = dir.writeFile("refused", std::string(bytes).replace(field, size, " glibc=" + floor), 0755);
  std::string earlier = dir.writeFile("earlier", bytes.replace(field, size, "\n" + std::string(size - 1, '#')), 0755);
  std::string fresh = dir.makeDir("fresh");
  ProcessResult stopped = run(refused, {"a"}, {{"HOME", fresh}});
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(stopped.out + stopped.err, "Error: refused carries a Java runtime that needs glibc " + floor + " or later; "
            "this system has glibc " + gnu_get_libc_version() + ". Install a Java runtime and name it with +javahome, "
            "or ask for a file packed with a runtime that needs less.\n");
  EXPECT_TRUE(fs::is_empty(fresh));
  EXPECT_EQ(run(refused, {"+javahome", testJdkHome(), "a"}, {{"HOME", fresh}}).out.substr(0, expected.size()), expected);
  ProcessResult old = run(earlier, {"a"}, {{"HOME", fresh}});
  EXPECT_EQ(old.status, 0) << old.err;
  EXPECT_EQ(old.out.substr(0, expected.size()), expected) << old.err;
}

// A runtime jlink makes has the modules that provide the JDK's services the
// jars name (jdeps sees javax.tools.JavaCompiler, whose provider is
// jdk.compiler) and a class-data archive of its own, which the JVM maps
// from the extracted copy and on which the start-up cache records the
// application's (Java 17 records it in the application's JVM).
TEST_F(ExtractTest, ACarriedRuntimeProvidesServicesAndStartsFromItsArchives) {
  std::string log = dir.file("classes.log");
  std::string config = dir.writeFile("app.config", "options startupcache\nvmparam -Xlog:class+load=info:file=" + log);
  ProcessResult packed = pack({"--jlink", "-o", "myapp", "--config", config, PACK_SVC_JAR});
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(packed.err, "jlauncher-pack: adding jdk.compiler to the runtime: the jars use the service "
                        "javax.tools.JavaCompiler, which it provides\n");
  auto source = [&log](const std::string& name) {
    std::string classes = readFile(log);
    std::size_t at = classes.find("] " + name + " source: ");
    return at == std::string::npos ? "" : classes.substr(at, classes.find('\n', at) - at);
  };
  for (const std::string& main : {"] jlsvc.Compiler source: file:" + dir.file("myapp"),
                                  std::string("] jlsvc.Compiler source: shared objects file (top)")}) {
    ProcessResult result = run(dir.file("myapp"), {});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "compiler true\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(source("java.lang.Object"), "] java.lang.Object source: shared objects file");
    EXPECT_EQ(source("jlsvc.Compiler"), main);
  }
}

}  // namespace
