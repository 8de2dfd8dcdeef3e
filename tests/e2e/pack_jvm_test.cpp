// jlauncher-pack makes single-file applications that run against the real
// JDKs, and refuses what it cannot pack without writing anything.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>

#include "launcher.h"
#include "zero_jar.h"
#include "version.h"

namespace {

const std::string kPack = JLAUNCHER_PACK_PATH;
const std::string kJarOne = PACK_JAR_ONE;
const std::string kJarTwo = PACK_JAR_TWO;

class PackTest : public ::testing::Test {
 protected:
  ProcessResult pack(std::vector<std::string> args) {
    args.insert(args.begin(), "jlauncher-pack");
    return runLauncher(kPack, args, {}, dir.path());
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
  const std::string error = "jlauncher-pack: error: ";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-o", "out", "--bogus", kJarOne}, error + "unknown option '--bogus' (see jlauncher-pack --help)\n"},
      {{"-o", existing, kJarOne}, error + "'" + existing + "' exists; use --force to replace it\n"},
      {{"-o", "out", "--main-class", "x.Main", many}, error + "out of memory\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {"prlimit", "--as=" + std::to_string(64 * mib), "--", kPack};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessResult result = runLauncher("/usr/bin/prlimit", argv, {}, dir.path());
    EXPECT_EQ(result.status, 1) << c.err;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) left.push_back(entry.path().filename());
    EXPECT_EQ(left.size(), 2u) << c.err;
  }
  EXPECT_EQ(readFile(existing), "keep me");
}

TEST_F(PackTest, HelpAndVersion) {
  ProcessResult help = pack({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.find("Usage: jlauncher-pack -o OUTPUT "), 0u);
  ProcessResult version = pack({"--version"});
  EXPECT_EQ(version.out, "jlauncher-pack " JLAUNCHER_VERSION "\n");
}

}  // namespace
