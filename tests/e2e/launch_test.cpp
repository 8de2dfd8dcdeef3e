// Finding and loading the JVM library, with Java homes built from files and
// stand-in libraries: every failure is reported and none crashes.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "util/platform.h"
#include "launcher.h"

namespace {

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override { launcher = installLauncher(dir, "app/bin/myapp"); }

  ProcessResult run(const std::string& config, std::vector<std::string> args = {},
                    std::map<std::string, std::optional<std::string>> env = {}) {
    dir.writeFile("app/bin/myapp.config", config);
    args.insert(args.begin(), launcher);
    env.emplace("PATH", kPathWithoutJava);
    return runLauncher(launcher, args, env, dir.path());
  }

  // A Sun JDK of the 1.4 layout whose client flavour is the given library.
  std::string fakeJdk(const std::string& library, const std::string& jvmCfg = "-client KNOWN\n") {
    std::string home = makeSunJavaHome(dir, "jdk", true, 2, jvmCfg);
    clientDir = oldLayoutLibraryDir(home, true) + "/client";
    if (!library.empty()) dir.copyFile(library, clientDir.substr(dir.path().size() + 1) + "/libjvm.so");
    return home;
  }

  TempDir dir;
  std::string launcher;
  std::string clientDir;
};

TEST_F(LaunchTest, NoJavaAnywhere) {
  ProcessResult result = run("# no javahome\n", {"some", "args"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, kNoJavaMsg);
  EXPECT_EQ(result.out, "");
}

// Each place looked at is named with the reason it was passed over.
TEST_F(LaunchTest, HomeThatIsAFileOrHoldsNoJava) {
  for (const std::string& home : {dir.writeFile("a-file", "x"), dir.makeDir("empty")}) {
    ProcessResult result = run("javahome " + home + "\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, kNoJavaLines + "  javahome " + home + ": not a Java home\n" +
                              noJavaFixFor("javahome in the configuration"));
  }
  std::string fakeJava = dir.writeFile("bin/java", "#!/bin/sh\n", 0755);
  ProcessResult result =
      runLauncher(launcher, {launcher, "+javahome", dir.file("none")},
                  {{"PATH", dir.file("bin")}, {"JAVA_HOME", dir.file("empty")}}, dir.path());
  EXPECT_EQ(result.err, kNoJavaLines + "  +javahome " + dir.file("none") + ": missing\n" + noJavaFixFor("+javahome"));
  // A link left behind by a removed Java is named too.
  std::string broken = dir.symlink(dir.file("removed/bin/java"), "old/java");
  result = run("# no javahome\n", {},
               {{"PATH", "/nonexistent:" + dir.file("old") + ":" + dir.file("bin")}, {"JAVA_HOME", ""}});
  EXPECT_EQ(result.err, kNoJavaLines + "  JAVA_HOME=: empty\n  PATH " + broken + ": broken link\n  PATH " + fakeJava +
                            ": not a Java home\n" + kNoJavaFix);
  // A modular runtime whose JVM library is missing.
  for (const char* file : {"jdk/bin/java", "jdk/lib/modules", "jdk/lib/jvm.cfg"}) dir.writeFile(file, "", 0755);
  dir.writeFile("jdk/release", "JAVA_VERSION=\"21\"\n");
  result = run("# no javahome\n", {}, {{"JAVA_HOME", dir.file("jdk")}});
  EXPECT_EQ(result.err, kNoJavaLines + "  JAVA_HOME=" + dir.file("jdk") + ": no JVM library\n" + kNoJavaFix);
  // One whose library is for another architecture than the launcher's.
  dir.writeFile("jdk/lib/server/libjvm.so", foreignElfHeader());
  result = run("# no javahome\n", {}, {{"JAVA_HOME", dir.file("jdk")}});
  EXPECT_EQ(result.err, kNoJavaLines + "  JAVA_HOME=" + dir.file("jdk") + ": for another architecture\n" + kNoJavaFix);
  // Named, it is passed over all the same, where a load would fail.
  result = run("javahome " + dir.file("jdk") + "\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, kNoJavaLines + "  javahome " + dir.file("jdk") + ": for another architecture\n" +
                            noJavaFixFor("javahome in the configuration"));
}

TEST_F(LaunchTest, OldLayoutHomeIsPreparedReexecutedAndLoaded) {
  std::string home = fakeJdk(fakeJvmLibrary());
  std::string libs = oldLayoutLibraryDir(home, true);
  ProcessResult result = run("javahome " + home + "\n", {"+help"}, {{"UTRACE", "-p"}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  std::string libraryPath = home + "/lib/" + kArchDir + ":" + libs + "/native_threads:" +
                            clientDir + ":" + libs;
  std::size_t exported = result.out.find("export LD_LIBRARY_PATH=" + libraryPath + "\n");
  std::size_t exec = result.out.find("Exec'ing '" + launcher + "' to restart server.....\n");
  std::size_t loaded = result.out.find("Loaded Java VM Library libjvm.so from LD_LIBRARY_PATH\n");
  std::size_t help = result.out.find("Usage: " + launcher + " <+options> <args>\n");
  EXPECT_LT(exported, exec) << result.out;
  EXPECT_LT(exec, loaded) << result.out;
  EXPECT_LT(loaded, help) << result.out;
  EXPECT_EQ(result.out.find("export LD_LIBRARY_PATH", exec), std::string::npos) << "one re-execution only";
}

TEST_F(LaunchTest, NonStandardOptionsAreListedFromXusage) {
  std::string home = fakeJdk(fakeJvmLibrary());
  ProcessResult missing = run("javahome " + home + "\n", {"-X"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Can't open " + clientDir + "/Xusage.txt\n");
  dir.writeFile(clientDir.substr(dir.path().size() + 1) + "/Xusage.txt", "    -Xfoo   the foo option\n");
  ProcessResult listed = run("javahome " + home + "\n", {"-X"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(listed.out, "    -Xfoo   the foo option\n");
}

TEST_F(LaunchTest, LibraryFailures) {
  std::string home = fakeJdk(fakeJvmLibraryWithoutDefaults());
  void* handle = dlopen((clientDir + "/libjvm.so").c_str(), RTLD_LAZY);
  ASSERT_NE(handle, nullptr);
  dlsym(handle, "JNI_GetDefaultJavaVMInitArgs");
  std::string missingSymbol = dlerror();
  ProcessResult noDefaults = run("javahome " + home + "\n");
  EXPECT_EQ(noDefaults.status, 1);
  EXPECT_EQ(noDefaults.err, "Can't find JNI interfaces in: libjvm.so [" + missingSymbol + "]\n");

  std::string notALibrary = dir.writeFile("notalib.so", "this is text");
  ASSERT_EQ(dlopen(notALibrary.c_str(), RTLD_LAZY), nullptr);
  std::string loadError = dlerror();
  ProcessResult javapath = run("javahome " + home + "\njavapath " + notALibrary + "\n");
  EXPECT_EQ(javapath.status, 1);
  EXPECT_EQ(javapath.err, "Error loading Java VM library: libjvm.so [" + loadError + "]\n");

  // A library that is no JVM: the loader's message of the first lookup. The
  // C library's maths library is there for every architecture built.
  void* libm = dlopen("libm.so.6", RTLD_LAZY);
  ASSERT_NE(libm, nullptr);
  dlsym(libm, "JNI_CreateJavaVM");
  std::string notAJvm = dlerror();
  ProcessResult other = run("javahome " + home + "\njavapath libm.so.6\n");
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.err, "Can't find JNI interfaces in: libjvm.so [" + notAJvm + "]\n");
}

TEST_F(LaunchTest, HomeFailures) {
  std::string home = fakeJdk("", "-native ERROR\n-zero KNOWN\n");
  std::string cfg = oldLayoutLibraryDir(home, true) + "/jvm.cfg";
  EXPECT_EQ(run("javahome " + home + "\n").err, "Error: No JVM found in '" + cfg + "'.\n");

  // A broken library link: jvm.cfg finds no flavour with a library, and a
  // flavour chosen on the command line finds none either.
  dir.writeFile("jdk" + cfg.substr(home.size()), "-client KNOWN\n");
  dir.symlink(dir.file("nowhere/libjvm.so"), clientDir.substr(dir.path().size() + 1) + "/libjvm.so");
  EXPECT_EQ(run("javahome " + home + "\n").err, "Error: No JVM found in '" + cfg + "'.\n");
  ProcessResult broken = run("javahome " + home + "\n", {"+clientvm"});
  EXPECT_EQ(broken.status, 1);
  EXPECT_EQ(broken.err, "Unable to find a suitable Java VM in " + home + "\n");
}

TEST_F(LaunchTest, LoaderThatDropsTheLibraryPathEndsWithARefusal) {
  std::string home = fakeJdk(fakeJvmLibrary());
  std::string real = installLauncher(dir, "app/bin/myapp.real");
  // Started as the wrapper, the launcher re-executes the wrapper, which drops
  // LD_LIBRARY_PATH again, as a loader does for a set-user-ID program.
  dir.writeFile("app/bin/myapp", "#!/bin/bash\nunset LD_LIBRARY_PATH\nexec -a \"$0\" " + real + " \"$@\"\n", 0755);
  ProcessResult result = run("javahome " + home + "\n");
  std::string libs = oldLayoutLibraryDir(home, true);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, std::string("Unable to start with setuid to root privileges.\n") +
                            (kSolaris ? "The following must be in the trusted directories list (see crle(1)):\n"
                                      : "The following must be in the trusted directories list (see ldconfig(8)):\n") +
                        "\t" + home + "/lib/" + kArchDir + ":" + libs + "/native_threads:" + clientDir + ":" + libs +
                            "\n");
}

}  // namespace
