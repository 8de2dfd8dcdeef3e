// Single-file applications that carry their jars whole, or a Java runtime:
// the first launch extracts them into the user's cache, later launches use
// them there, and a launch that may not or cannot extract says why.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  ProcessResult pack(std::vector<std::string> args) {
    args.insert(args.begin(), "jlauncher-pack");
    return runLauncher(kPack, args, {{"JAVA_HOME", testJdkHome()}}, dir.path());
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
  ProcessResult packed = runLauncher(kPack, {"jlauncher-pack", "-o", "myapp", "--jlink", "--strip-debug",
                                             "--add-modules", "jdk.zipfs", kJarOne, COMPANION_JAR, kJarTwo},
                                     {{"JAVA_HOME", testJdkHome()}, {"TMPDIR", tmp}}, dir.path());
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
}

}  // namespace
