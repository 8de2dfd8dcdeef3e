// The real Java installations of this machine: found through a configured
// javahome, +javahome, JAVA_HOME or PATH, loaded, and the stages after
// loading.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "util/platform.h"
#include "launcher.h"

namespace {

class InstalledJdkTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    launcher = installLauncher(dir, "app/bin/myapp");
    std::cout << "[ JDK      ] " << GetParam() << "\n";
  }
  ProcessResult run(const std::string& config, std::vector<std::string> args, const std::string& path,
                    std::optional<std::string> javaHome = std::nullopt) {
    dir.writeFile("app/bin/myapp.config", config);
    args.insert(args.begin(), launcher);
    return runLauncher(launcher, args, {{"UTRACE", "-p"}, {"PATH", path}, {"JAVA_HOME", javaHome}}, dir.path());
  }
  void expectHelpAfterLoading(const ProcessResult& result) {
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    // Newer JVMs no longer export their stack dump function.
    std::string loadedLines = "Loaded Java VM Library libjvm.so from " + GetParam() + "/lib/server\n";
    if (exportsStackDump(GetParam())) loadedLines += "JVM is 1.3.1_01 or later\n";
    std::size_t loaded = result.out.find(loadedLines);
    std::size_t help = result.out.find("Usage: " + launcher + " <+options> <args>\n\nwhere options include:\n");
    EXPECT_NE(loaded, std::string::npos) << result.out;
    EXPECT_LT(loaded, help) << result.out;
    EXPECT_NE(result.out.find("JVM shared library dir is " + GetParam() + "/lib/server\n"), std::string::npos);
  }
  TempDir dir;
  std::string launcher;
};

TEST_P(InstalledJdkTest, ConfiguredJavaHome) {
  expectHelpAfterLoading(run("javahome " + GetParam() + "\n", {"+help"}, kPathWithoutJava));
}

TEST_P(InstalledJdkTest, CommandLineJavaHomeWinsOverTheConfiguration) {
  ProcessResult result = run("javahome /nowhere\n", {"+javahome", GetParam(), "+HELP"}, kPathWithoutJava);
  expectHelpAfterLoading(result);
  EXPECT_NE(result.out.find("Javahome already set - not setting it to </nowhere>\n"), std::string::npos);
}

TEST_P(InstalledJdkTest, JavaFoundThroughPath) {
  expectHelpAfterLoading(run("# nothing\n", {"+help"}, "/nonexistent:" + GetParam() + "/bin"));
  // The flavour asked for holds for a discovered runtime too (these have
  // only the server JVM).
  ProcessResult client = run("# nothing\n", {"+clientvm", "+help"}, GetParam() + "/bin");
  EXPECT_EQ(client.status, 1);
  EXPECT_EQ(client.err, "Unable to find a suitable Java VM in " + GetParam() + "\n");
}

// JAVA_HOME comes after what the command line and the configuration name,
// and before PATH; one that names no usable installation is skipped.
TEST_P(InstalledJdkTest, JavaHomeFromTheEnvironment) {
  ProcessResult result = run("# nothing\n", {"+help"}, kPathWithoutJava, GetParam());
  expectHelpAfterLoading(result);
  EXPECT_NE(result.out.find("Using the Java home " + GetParam() + " named by JAVA_HOME\n"), std::string::npos);
  for (const std::string& unusable : {std::string(), launcher, dir.path(), GetParam() + "/bin"}) {
    result = run("# nothing\n", {"+help"}, GetParam() + "/bin", unusable);
    expectHelpAfterLoading(result);
    EXPECT_NE(result.out.find("JAVA_HOME '" + unusable + "' is no usable Java installation: skipped\n"),
              std::string::npos) << unusable;
    EXPECT_NE(result.out.find("Using the Java home " + GetParam() + " of " + GetParam() + "/bin/java on PATH\n"),
              std::string::npos) << result.out;
  }
  result = run("javahome " + GetParam() + "\n", {"+help"}, kPathWithoutJava, "/nowhere");
  expectHelpAfterLoading(result);
  EXPECT_EQ(result.out.find("JAVA_HOME"), std::string::npos);
}

TEST_P(InstalledJdkTest, NoMainClassAfterLoading) {
  ProcessResult result = run("javahome " + GetParam() + "\n", {"arg"}, kPathWithoutJava);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Main class is undefined.\n");
}

TEST_P(InstalledJdkTest, NonStandardOptionsAsTheJavaCommandListsThem) {
  dir.writeFile("app/bin/myapp.config", "javahome " + GetParam() + "\n");
  ProcessResult result = runLauncher(launcher, {launcher, "-X"}, {{"PATH", kPathWithoutJava}});
  ProcessResult direct = runLauncher(GetParam() + "/bin/java", {"java", "-X"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  ASSERT_NE(direct.err.find("-Xmx<size>"), std::string::npos);
  // java prints it on standard error.
  EXPECT_EQ(result.out, direct.err);
}

// A runtime found on PATH that is too old gives way to the newest installed
// one that the configuration's vmversion accepts.
TEST(JavaSelectionTest, VersionRequirementChoosesAmongTheInstalledRuntimes) {
  std::vector<std::string> jdks = installedJdks();
  auto major = [](const std::string& home) {
    std::string release = readFile(home + "/release");
    return std::stoi(release.substr(release.find("JAVA_VERSION=\"") + 14));
  };
  // The launcher looks for a runtime that fits under /usr/lib/jvm, whatever
  // else the tests run against.
  std::vector<std::string> installed;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/jvm", error)) {
    if (!entry.is_symlink() && std::filesystem::exists(entry.path() / "lib/modules") &&
        std::filesystem::exists(entry.path() / "release")) {
      installed.push_back(entry.path().string());
    }
  }
  auto newest = std::max_element(installed.begin(), installed.end(),
                                 [&](auto& a, auto& b) { return major(a) < major(b); });
  auto oldest = std::min_element(jdks.begin(), jdks.end(), [&](auto& a, auto& b) { return major(a) < major(b); });
  if (installed.empty() || major(*newest) <= major(*oldest)) {
    GTEST_SKIP() << "needs a Java under /usr/lib/jvm newer than the oldest one tested";
  }
  TempDir dir;
  std::string launcher = installLauncher(dir, "app/bin/myapp");
  dir.writeFile("app/bin/myapp.config", "vmversion " + std::to_string(major(*newest)) + "+\n");
  ProcessResult result =
      runLauncher(launcher, {launcher, "+help"}, {{"UTRACE", "-p"}, {"PATH", *oldest + "/bin"}}, dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find(" is too low); using " + *newest + "\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Loaded Java VM Library libjvm.so from " + *newest + "/lib/server\n"), std::string::npos);

  // None fits: the JVM's own refusal, then every runtime passed over.
  dir.writeFile("app/bin/myapp.config", "mainclass Any\nvmversion " + std::to_string(major(*newest) + 1) + "+\n");
  result = runLauncher(launcher, {launcher}, {{"PATH", *oldest + "/bin"}}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.find("Unable to find a supported JDK or JRE version. Version " +
                            std::to_string(major(*newest) + 1) + ".0.0 or higher is required.\n"), 0u) << result.err;
  for (const std::string& place : {"PATH " + *oldest + "/bin/java", *newest}) {
    EXPECT_NE(result.err.find("\n  " + place + ": version " + std::to_string(major(place.starts_with("PATH") ?
                              *oldest : *newest))), std::string::npos) << result.err;
  }
  EXPECT_TRUE(result.err.ends_with(" is too low\n" + kNoJavaFix)) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Jdks, InstalledJdkTest, ::testing::ValuesIn(installedJdks()),
                         [](const auto& info) { return jdkTestName(info.param); });

// The JVM finds its own installation through the real path of its library,
// so a home whose library links to a real one loads it: an old layout, the
// layout Debian's Java 8 runtime package leaves (a JDK's, without javac), and
// a JDK 9 style home, which still shipped bin/tnameserv beside its module
// image.
TEST(LinkedHomeTest, LinkedLibraryLoadsAsTheHomeIsClassified) {
  TempDir dir;
  std::string launcher = installLauncher(dir, "app/bin/myapp");
  std::string old = makeSunJavaHome(dir, "old", false, 2, "-server KNOWN\n");
  makeSunJavaHome(dir, "java-8/jre", false, 2, "-server KNOWN\n-client IGNORE\n");
  for (const char* tool : {"java-8/bin/java", "java-8/bin/tnameserv"}) dir.writeFile(tool, "", 0755);
  std::string java8 = dir.file("java-8");
  std::string jdk9 = makeSunJavaHome(dir, "jdk-9", true, 2, "");
  dir.writeFile("jdk-9/lib/modules", "");
  dir.writeFile("jdk-9/lib/jvm.cfg", "-server KNOWN\n");
  dir.writeFile("jdk-9/release", "JAVA_VERSION=\"9.0.4\"\n");
  struct Case {
    std::string home, libraryDir, classified, loaded;
  } cases[] = {
      {old, oldLayoutLibraryDir(old, false) + "/server", "JVM appears to be Sun Java 2 v1.4\n",
       "Loaded Java VM Library libjvm.so from LD_LIBRARY_PATH\nJVM is 1.3.1_01 or later\n"},
      {java8, oldLayoutLibraryDir(java8, true) + "/server", "JVM appears to be in the jre directory of " + java8 + "\n",
       "Loaded Java VM Library libjvm.so from LD_LIBRARY_PATH\nJVM is 1.3.1_01 or later\n"},
      // Its old-layout files would make it a Sun 1.4 JDK without a library.
      {jdk9, jdk9 + "/lib/server", "JVM appears to be a modular Java runtime, version 9.0.4\n",
       "Loaded Java VM Library libjvm.so from " + jdk9 + "/lib/server\n"},
  };
  for (const Case& c : cases) {
    dir.symlink(testJvmLibraryDir() + "/libjvm.so", c.libraryDir.substr(dir.path().size() + 1) + "/libjvm.so");
    dir.writeFile("app/bin/myapp.config", "javahome " + c.home + "\n");
    ProcessResult result =
        runLauncher(launcher, {launcher, "+help"}, {{"UTRACE", "-p"}, {"PATH", kPathWithoutJava}}, dir.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(c.classified), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(c.loaded), std::string::npos) << result.out;
  }
}

}  // namespace
