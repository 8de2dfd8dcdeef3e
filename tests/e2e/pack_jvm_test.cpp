// jlauncher-pack makes single-file applications that run against the real
// JDKs, and refuses what it cannot pack without writing anything.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

#include "launcher.h"
#include "zero_jar.h"
#include "version.h"

namespace {

const std::string kPack = JLAUNCHER_PACK_PATH;
const std::string kJarOne = PACK_JAR_ONE;
const std::string kJarTwo = PACK_JAR_TWO;

class PackTest : public ::testing::Test {
 protected:
  /// Packs with the build's launcher unless args name another, whose
  /// warning is taken out of what the packer says.
  ProcessResult pack(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env = {}) {
    args.insert(args.begin(), "jlauncher-pack");
    ProcessResult result = runLauncher(kPack, args, env, dir.path());
    result.err = withoutLauncherWarning(result.err);
    return result;
  }
  ProcessResult run(const std::string& program, std::vector<std::string> args, const std::string& cwd,
                    std::map<std::string, std::optional<std::string>> env = {}) {
    args.insert(args.begin(), program);
    env.emplace("PATH", kPathWithoutJava);
    env.emplace("JAVA_HOME", testJdkHome());
    return runLauncher(program, args, env, cwd);
  }
  TempDir dir;
};

std::string warning(const std::string& text) { return "jlauncher-pack: warning: " + text + "\n"; }

// A file that reads as an arm64 program, as far as the packer looks.
std::string arm64Elf(const TempDir& dir, const std::string& name) {
  return dir.writeFile(name, std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(11, '\0') + "\xb7" + std::string(45, '\0'),
                       0755);
}

std::set<std::string> filesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// A JDK as --jlink uses one: jdeps finds java.base; jlink suggests no
// providers, and when linking runs jlinkStart, then makes a runtime at its
// --output.
std::string fakeJdk(const TempDir& dir, const std::string& jlinkStart) {
  dir.writeFile("jdk/release", "JAVA_VERSION=\"17.0.2\"\n");
  dir.writeFile("jdk/bin/jdeps", "#!/bin/sh\necho java.base\n", 0755);
  dir.writeFile("jdk/bin/jlink", "#!/bin/sh\n[ \"$1\" = --suggest-providers ] && exit 0\n" + jlinkStart + "\nwhile [ \"$1\" != --output ]; do shift; done\n"
                "mkdir -p \"$2/lib/server\" && echo 'JAVA_VERSION=\"17.0.2\"' >\"$2/release\" &&"
                " :>\"$2/lib/server/libjvm.so\"\n",
                0755);
  return dir.file("jdk");
}

// Merged with --flat: a conflicting resource and a signature would keep the
// jars whole by default.
TEST_F(PackTest, MergedJarsRunFromAnywhereOnEveryJdk) {
  std::string config = dir.writeFile("app.config", "apparg --from-config");
  ProcessResult packed = pack({"-o", "myapp", "--flat", "--config", config, kJarOne, COMPANION_JAR, kJarTwo});
  ASSERT_EQ(packed.status, 0) << packed.err;
  std::string kept = ": the one of '" + kJarOne + "' is kept";
  // Both jars' Greeter.class are the same bytes: one file, said nothing of.
  EXPECT_EQ(packed.err.find("Greeter.class"), std::string::npos) << packed.err;
  for (const std::string& line : {warning("'jlpack/which.txt' of '" + kJarTwo + "' is left out" + kept),
                                  warning("leaving out the signature file 'META-INF/TWO.SF' of '" + kJarTwo +
                                          "': a merged archive is not signed"),
                                  warning("leaving out the signature file 'META-INF/TWO.RSA' of '" + kJarTwo +
                                          "': a merged archive is not signed")}) {
    EXPECT_NE(packed.err.find(line), std::string::npos) << packed.err;
  }
  EXPECT_EQ(std::count(packed.err.begin(), packed.err.end(), '\n'), 3) << packed.err;

  // Offsets count from the start of the file: unzip reads it without a word
  // about extra bytes, and holds the configuration as the comment.
  std::string app = dir.file("myapp");
  ProcessResult tested = runLauncher("/usr/bin/unzip", {"unzip", "-t", app});
  EXPECT_EQ(tested.status, 0) << tested.out << tested.err;
  EXPECT_EQ(tested.err, "");
  EXPECT_NE(tested.out.find("Archive:  " + app + "\nmainclass jlpack.App\napparg --from-config\n"), std::string::npos)
      << tested.out;
  EXPECT_EQ(tested.out.find("TWO."), std::string::npos);

  std::string expected = "greeters [one, two]\nwhich one\nargs [--from-config, a, b c]\nlauncher true ";
  std::filesystem::create_directories(dir.file("elsewhere/bin"));
  std::filesystem::create_symlink(app, dir.file("elsewhere/bin/linked"));
  for (const std::string& jdk : installedJdks()) {
    for (const std::string& program : {app, dir.file("elsewhere/bin/linked")}) {
      ProcessResult result = run(program, {"a", "b c"}, dir.file("elsewhere"), {{"JAVA_HOME", jdk}});
      EXPECT_EQ(result.status, 0) << jdk << "\n" << result.err;
      EXPECT_EQ(result.out.substr(0, expected.size()), expected) << jdk;
    }
  }
  ProcessResult onPath = runLauncher("/bin/sh", {"sh", "-c", "linked a 'b c'"},
                                     {{"PATH", dir.file("elsewhere/bin")}, {"JAVA_HOME", testJdkHome()}}, "/");
  EXPECT_EQ(onPath.out.substr(0, expected.size()), expected) << onPath.err;
  ProcessResult javacmd = run(app, {"+javacmd", "a"}, dir.file("elsewhere"));
  EXPECT_EQ(javacmd.status, 0);
  EXPECT_NE(javacmd.out.find(" jlpack.App --from-config a\n"), std::string::npos) << javacmd.out;

  // The companion library outside the launcher: its answers, no error.
  ProcessResult plain = runLauncher(testJdkHome() + "/bin/java",
                                    {"java", "-cp", kJarOne + ":" + COMPANION_JAR + ":" + kJarTwo, "jlpack.App"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_TRUE(plain.out.ends_with("launcher false false\ndumped false\n")) << plain.out;
}

TEST_F(PackTest, MainClassFromTheCommandLineAndTheFirstJarWins) {
  EXPECT_EQ(pack({"-o", "myapp", "--flat", "--main-class", "jlpack.App", kJarTwo, kJarOne, COMPANION_JAR}).status, 0);
  ProcessResult result = run(dir.file("myapp"), {}, dir.path());
  EXPECT_EQ(result.out.substr(0, 36), "greeters [one, two]\nwhich two\nargs [") << result.err;
  // --force replaces an existing output.
  EXPECT_EQ(pack({"-o", "myapp", kJarOne, COMPANION_JAR}).status, 1);
  EXPECT_EQ(pack({"-o", "myapp", "--force", kJarOne, COMPANION_JAR}).status, 0);
  EXPECT_EQ(run(dir.file("myapp"), {}, dir.path()).out.substr(0, 29), "greeters [one]\nwhich one\nargs");
}

// Two libraries each list their extension classes in a descriptor of the
// same name: merged key by key, the packed application finds both, as under
// java -cp.
TEST_F(PackTest, DescriptorsOfEveryJarMergeIntoOne) {
  ProcessResult packed = pack({"-o", "extapp", PACK_EXT_ONE, PACK_EXT_TWO});
  EXPECT_EQ(packed.status, 0);
  EXPECT_EQ(packed.err, "");
  ProcessResult plain = runLauncher(testJdkHome() + "/bin/java",
                                    {"java", "-cp", std::string(PACK_EXT_ONE) + ":" + PACK_EXT_TWO, "jlext.App"});
  ASSERT_EQ(plain.out, "jlext.One adds one\njlext.Two adds two\n") << plain.err;
  ProcessResult result = run(dir.file("extapp"), {}, dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, plain.out);
}

// The jar a Class-Path names is packed, merged or kept whole: the
// application runs after it is gone.
TEST_F(PackTest, ClassPathJarsArePacked) {
  std::string app = dir.copyFile(PACK_CP_MAIN, "app/jlcp-main.jar");
  std::string lib = dir.copyFile(PACK_CP_LIB, "app/jlcp-lib.jar");
  ProcessResult plain = runLauncher(testJdkHome() + "/bin/java", {"java", "-jar", app});
  ASSERT_EQ(plain.out, "main uses the library\n") << plain.err;
  ProcessResult merged = pack({"-o", "cpapp", app});
  EXPECT_EQ(merged.status, 0);
  EXPECT_EQ(merged.err, "");
  ProcessResult kept = pack({"-o", "cpapp-kept", "--keep-jars", app});
  EXPECT_EQ(kept.status, 0);
  std::filesystem::remove(lib);
  for (const std::string& packed : {dir.file("cpapp"), dir.file("cpapp-kept")}) {
    ProcessResult result = run(packed, {}, dir.path(),
                               {{"HOME", dir.path()}, {"XDG_CACHE_HOME", std::nullopt}, {"CACHE_DIRECTORY", std::nullopt}});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, plain.out) << packed;
  }
}

// A refusal is reported once, with status 1, and leaves no output (and an
// existing one as it was): a command line refused, the packer's own refusal
// (the module's tests hold the others), and memory running out. The packer
// runs in 64 MiB of address space, where it cannot hold eight services files
// of 9 MiB.
TEST_F(PackTest, RefusalsWriteNothing) {
  std::string existing = dir.writeFile("existing", "keep me");
  const std::size_t mib = 1 << 20;
  std::vector<std::string> services;
  for (char c = 'a'; c < 'i'; ++c) services.push_back(std::string("META-INF/services/x.") + c);
  std::string many = zeroJar(dir, "many.jar", 9 * mib, services);
  std::string open = dir.makeDir("open");
  std::filesystem::permissions(open, std::filesystem::perms::all);
  // Another user's link in a sticky directory (/tmp), to a place of the
  // packer's user.
  std::filesystem::permissions(dir.makeDir("sticky"), std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  std::string linked = dir.symlink(dir.makeDir("mine"), "sticky/linked");
  EXPECT_EQ(lchown(linked.c_str(), 65534, 65534), 0);
  const std::string error = "jlauncher-pack: error: ";
  // A launcher and a runtime for another architecture than this one's.
  const std::string arm = arm64Elf(dir, "arm64/jlauncher"), jdk = testJdkHome();
  const std::string launcher = launcherBinary();
  dir.writeFile("arm64/jre/release", "JAVA_VERSION=\"17.0.2\"\n");
  arm64Elf(dir, "arm64/jre/lib/server/libjvm.so");
  dir.writeFile("arm64/jdk9/release", "JAVA_VERSION=\"9.0.4\"\n");
  dir.writeFile("arm64/jdk9/jmods/java.base.jmod", "");
  arm64Elf(dir, "arm64/jdk9/lib/server/libjvm.so");
  // A Debian package's options, then those of a package's refusals.
  auto deb = [](const std::string& kind, std::vector<std::string> more) {
    std::vector<std::string> args = {kind, "-o", "out.pkg", "--name", "app", "--version", "1", "--maintainer", "A <a@b.c>",
                                     "--description", "an app"};
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(kJarOne);
    return args;
  };
  const std::string page5 = dir.writeFile("app.5", ".TH APP 5\n");
  const std::string macro = dir.writeFile("macro.config", "desktopname App\n desktopicon  $env(HOME)/app.png\n");
  const std::string mime = dir.writeFile("mime.config", "mimetype text/x-app *.app\n");
  const std::string gzipped = dir.writeFile("app.1.gz", std::string("\x1f\x8b\x08\0", 4));
  const std::string notImage = dir.writeFile("notimage.config", "splash notes.txt\n");
  dir.writeFile("notes.txt", "text\n");
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::map<std::string, std::optional<std::string>> env{};
  } cases[] = {
      {{"-o", "out", "--bogus", kJarOne}, error + "unknown option '--bogus' (see jlauncher-pack --help)\n"},
      {{"-o", existing, kJarOne}, error + "'" + existing + "' exists; use --force to replace it\n"},
      {{"-o", "out", "--arch", "sparc64", kJarOne},
       error + "unknown architecture 'sparc64': packed files are for x86-64, arm64 or i386\n"},
      {{"-o", "out", "--arch", "i386", kJarOne},
       error + "no launcher for i386: none at '" +
           (std::filesystem::path(kPack).parent_path().parent_path() / "lib/jlauncher/i386/jlauncher").string() +
           "'; install the one built for i386 there, or name it with --launcher\n"},
      {{"-o", "out", "--arch", "aarch64", "--launcher", launcher, kJarOne},
       error + "the launcher '" + launcher + "' is for x86-64, not arm64\n"},
      {{"-o", "out", "--launcher", arm, "--runtime", jdk, kJarOne},
       error + "the runtime '" + jdk + "' is for x86-64 (" + jdk + "/lib/server/libjvm.so) and the launcher '" + arm +
           "' for arm64: the packed file would run on neither; pack with --arch x86-64, or a runtime for arm64\n"},
      {{"-o", "out", "--runtime", dir.file("arm64/jre"), kJarOne},
       error + "the runtime '" + dir.file("arm64/jre") + "' is for arm64 (" + dir.file("arm64/jre/lib/server/libjvm.so") +
           ") and the launcher '" + launcher + "' for x86-64: the packed file would run on neither; pack with --arch "
           "arm64, or a runtime for x86-64\n"},
      {{"-o", "out", "--arch", "arm64", "--launcher", arm, "--jlink", "--jdk", jdk, kJarOne},
       error + "--jlink makes the runtime from the JDK '" + jdk + "', which is for x86-64 (" + jdk +
           "/lib/server/libjvm.so), and the launcher '" + arm + "' is for arm64: pack with --arch x86-64, or name a "
           "JDK for arm64 with --jdk\n"},
      // A JDK for arm64 lends its modules to this machine's jlink of its release.
      {{"-o", "out", "--launcher", arm, "--jlink", "--jdk", dir.file("arm64/jre"), kJarOne},
       error + "--jlink makes a runtime for arm64 from the modules of '" + dir.file("arm64/jre") +
           "', which has no jmods/java.base.jmod: install the JDK's modules (Debian 12's openjdk-NN-jdk-headless has "
           "them)\n"},
      {{"-o", "out", "--launcher", arm, "--jlink", kJarOne},
       error + "--jlink makes a runtime for arm64 from the modules of '" + dir.file("arm64/jre") +
           "', which has no jmods/java.base.jmod: install the JDK's modules (Debian 12's openjdk-NN-jdk-headless has "
           "them)\n",
       {{"JAVA_HOME", dir.file("arm64/jre")}}},
      {{"-o", "out", "--launcher", arm, "--jlink", "--jdk", dir.file("arm64/jdk9"), kJarOne},
       error + "--jlink makes a runtime for arm64 from the modules of '" + dir.file("arm64/jdk9") +
           "' with the jlink of a Java 9 JDK for x86-64, and there is none here: install one, or name it with "
           "JAVA_HOME\n"},
      {{"-o", "out", "--main-class", "x.Main", many}, error + "out of memory\n"},
      {deb("--deb", {}), error + "dpkg-deb is not installed: install the Debian package dpkg\n", {{"PATH", "/nowhere"}}},
      {deb("--rpm", {}), error + "rpmbuild is not installed: install the Debian package rpm\n", {{"PATH", "/nowhere"}}},
      {deb("--deb", {"--man", page5}), error + "'" + page5 + "' is no manual page of section 1: its .TH line names no "
       "section 1\n"},
      {deb("--deb", {"--man", gzipped}), error + "'" + gzipped + "' is compressed: give the manual page itself, which "
       "the package compresses\n"},
      {deb("--deb", {"--config", notImage}), error + "the splash image '" + dir.file("notes.txt") + "' is no PNG, GIF "
       "or JPEG image\n"},
      {deb("--deb", {"--config", macro}), error + "'desktopicon $env(HOME)/app.png' of the configuration holds a "
       "macro, which jlauncher-pack does not expand: write out the file it names\n"},
      {deb("--deb", {"--config", mime}), error + "'mimetype text/x-app *.app' of the configuration: give a type, a file "
       "name pattern and a description\n"},
      // The jar rewritten without its Class-Path would lie where others
      // could replace it.
      {{"-o", "out", "--keep-jars", PACK_CP_MAIN},
       error + "cannot keep temporary files in '" + open + "': every user can change '" + open +
           "'; set TMPDIR to a directory that nobody but root and you can change\n",
       {{"TMPDIR", open}}},
      {{"-o", "out", "--keep-jars", PACK_CP_MAIN},
       error + "cannot keep temporary files in '" + linked + "': '" + linked + "' is a link of user 'nobody'; set "
           "TMPDIR to a directory that nobody but root and you can change\n",
       {{"TMPDIR", linked}}},
  };
  const std::set<std::string> before = filesIn(dir.path());
  for (const Case& c : cases) {
    std::vector<std::string> argv = {"prlimit", "--as=" + std::to_string(64 * mib), "--", kPack};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessResult result = runLauncher("/usr/bin/prlimit", argv, c.env, dir.path());
    EXPECT_EQ(result.status, 1) << c.err;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(filesIn(dir.path()), before) << c.err;
    EXPECT_TRUE(std::filesystem::is_empty(open)) << c.err;
  }
  EXPECT_EQ(readFile(existing), "keep me");
}

// Interrupted while jlink runs, the packer ends jlink, removes what it made
// (its work directory, the jar rewritten there) and ends by the same signal,
// the output as it was.
TEST_F(PackTest, ASignalEndsJlinkAndLeavesNothing) {
  std::string tmp = dir.makeDir("tmp");
  std::string pidFile = dir.file("jlink.pid");
  std::string jdk =
      fakeJdk(dir, "echo $$ >" + pidFile + ".new && mv " + pidFile + ".new " + pidFile + "\nexec sleep 60");
  std::string existing = dir.writeFile("out/myapp", "keep me");
  ProcessCommand command;
  command.program = kPack;
  command.argv = {"jlauncher-pack", "-o", existing, "--force", "--keep-jars", "--jlink", PACK_CP_MAIN};
  command.env = {{"JAVA_HOME", jdk}, {"TMPDIR", tmp}};
  RunningProcess packer(command);
  for (int tries = 0; tries < 300 && !std::filesystem::exists(pidFile); ++tries) usleep(100000);
  pid_t jlink = std::stoi(readFile(pidFile));
  packer.signal(SIGTERM);
  ProcessResult result = packer.finish();
  EXPECT_EQ(result.status, 128 + SIGTERM);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
  EXPECT_EQ(filesIn(dir.file("out")), std::set<std::string>{"myapp"});
  EXPECT_EQ(readFile(existing), "keep me");
  EXPECT_NE(kill(jlink, SIGKILL), 0) << "jlink still runs";
}

// Another member of a group that can change the output's directory puts
// links to root's private file in place of what the packer has there while
// jlink runs: none of that file reaches the output.
TEST_F(PackTest, OthersWhoCanChangeTheOutputsDirectoryReachNothing) {
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0711));
  std::string shared = dir.makeDir("shared");
  ASSERT_EQ(chown(shared.c_str(), 0, 65534), 0);
  std::filesystem::permissions(shared, std::filesystem::perms(0775));
  std::string secret = dir.writeFile("secret", "root's own secret", 0600);
  std::string jdk = fakeJdk(dir, "for f in " + shared + "/*; do [ -e \"$f\" ] && setpriv --reuid=nobody "
                                 "--regid=nogroup --clear-groups ln -sfn " + secret + " \"$f\"; done");
  ProcessResult packed = pack({"-o", shared + "/myapp", "--keep-jars", "--jlink", PACK_CP_MAIN},
                              {{"JAVA_HOME", jdk}, {"TMPDIR", dir.makeDir("tmp")}});
  EXPECT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(packed.err, "");
  EXPECT_EQ(filesIn(shared), std::set<std::string>{"myapp"});
  EXPECT_EQ(readFile(shared + "/myapp").find("root's own secret"), std::string::npos);
}

// A runtime that Debian's JDK 17 makes needs a newer glibc than the portable
// launcher: the packer names the installed JDK whose runtime would not, and
// --jdk makes the runtime with it, whose floor the configuration records.
TEST_F(PackTest, JlinkNamesTheJdkThatNeedsNoNewerGlibcThanTheLauncher) {
  const std::string debian = "/usr/lib/jvm/java-17-openjdk-amd64";
  const std::string temurin = "/usr/lib/jvm/temurin-25-jdk-amd64";
  const std::string portable = PORTABLE_LAUNCHER;
  if (portable.empty() || !std::filesystem::exists(debian) || !std::filesystem::exists(temurin)) {
    GTEST_SKIP() << "needs the build's portable launcher, " << debian << " and " << temurin;
  }
  ProcessResult narrow = pack({"-o", "narrow", "--launcher", portable, "--jlink", kJarOne, COMPANION_JAR},
                              {{"JAVA_HOME", debian}});
  EXPECT_EQ(narrow.status, 0) << narrow.err;
  EXPECT_EQ(narrow.err, warning("the runtime needs glibc 2.34 (its bin/java), the launcher 2.17: the packed file runs "
                                "only where glibc 2.34 or later is installed; " + temurin + " gives glibc 2.17: pack "
                                "with --jdk " + temurin));
  ProcessResult wide = pack({"-o", "wide", "--launcher", portable, "--jlink", "--jdk", temurin, kJarOne, COMPANION_JAR},
                            {{"JAVA_HOME", debian}});
  EXPECT_EQ(wide.status, 0) << wide.err;
  EXPECT_EQ(wide.err, "");
  std::string comment = runLauncher("/usr/bin/unzip", {"unzip", "-z", dir.file("wide")}).out;
  EXPECT_TRUE(std::regex_match(comment, std::regex("Archive: .*\nmainclass jlpack.App\npackedruntime [0-9a-f]{64} "
                                                   "glibc=2\\.17\n")))
      << comment;
}

TEST_F(PackTest, HelpAndVersion) {
  ProcessResult help = pack({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.find("Usage: jlauncher-pack -o OUTPUT "), 0u);
  // The version, and what the launcher every packed file carries needs.
  ProcessResult version = pack({"--version"});
  EXPECT_TRUE(std::regex_match(version.out, std::regex("jlauncher-pack " JLAUNCHER_VERSION
                                                       "\nlauncher /.*/jlauncher: (x86-64|arm64|i386), glibc "
                                                       "2\\.[0-9.]+ or later\n")))
      << version.out;
  // An install keeps a launcher for each architecture it packs for besides
  // its own; a file packed for one starts with its launcher.
  std::filesystem::copy_file(kPack, dir.makeDir("usr/bin") + "/jlauncher-pack");
  std::filesystem::copy_file(launcherBinary(), dir.file("usr/bin/jlauncher"));
  const std::string arm = arm64Elf(dir, "usr/lib/jlauncher/arm64/jlauncher");
  dir.writeFile("jre/release", "JAVA_VERSION=\"17.0.2\"\n");
  arm64Elf(dir, "jre/lib/server/libjvm.so");
  const std::string installed = dir.file("usr/bin/jlauncher-pack");
  EXPECT_EQ(runLauncher(installed, {installed, "--arch", "arm64", "--version"}).out,
            "jlauncher-pack " JLAUNCHER_VERSION "\nlauncher " + arm + ": arm64\n");
  ProcessResult packed = runLauncher(
      installed, {installed, "-o", "app", "--arch", "arm64", "--runtime", dir.file("jre"), kJarOne}, {}, dir.path());
  EXPECT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(readFile(dir.file("app")).substr(0, 64), readFile(arm));
  std::string text = dir.writeFile("text", "not a program\n");
  EXPECT_EQ(pack({"--launcher", text, "--version"}).out,
            "jlauncher-pack " JLAUNCHER_VERSION "\nlauncher " + text + ": no ELF file\n");
}

}  // namespace
