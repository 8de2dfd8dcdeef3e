// Running Java applications through the launcher on the real JDKs: exit
// status, restart, arguments, the companion class, and the equivalence with
// the java command that +javacmd prints.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "launcher.h"

namespace {

class RunTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    launcher = installLauncher(dir, "app/bin/myapp");
    jar = dir.copyFile(testAppsJar(), "app/lib/jltest.jar");
  }
  void configure(const std::string& lines) {
    dir.writeFile("app/bin/myapp.config", "javahome " + GetParam() + "\naddpath ../lib/jltest.jar\n" + lines);
  }
  ProcessResult run(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env = {},
                    const std::string& argv0 = "") {
    args.insert(args.begin(), argv0.empty() ? launcher : argv0);
    env.emplace("PATH", kPathWithoutJava);
    return runLauncher(launcher, args, env, dir.path());
  }
  TempDir dir;
  std::string launcher, jar;
};

TEST_P(RunTest, ExitStatusOfTheEntryClass) {
  configure("mainclass jltest.Status\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"status", "3"}, 3, "main returns\nstatus 3\n"},
      {{"exit", "5"}, 5, ""},
      {{"status", "4", "exit", "6"}, 6, ""},
      // After getExitStatus supplied 0, a later System.exit(3) does not change the status.
      {{"status", "0", "later-exit", "3"}, 0, "main returns\nstatus 0\n"},
  };
  for (const Case& c : cases) {
    ProcessResult result = run(c.args);
    EXPECT_EQ(result.status, c.status) << ::testing::PrintToString(c.args) << result.err;
    EXPECT_EQ(result.out, c.out) << ::testing::PrintToString(c.args);
    EXPECT_EQ(result.err, "");
  }
}

TEST_P(RunTest, EntryClassWithoutStatusAndWithoutArguments) {
  configure("mainclass jltest.ShowLaunch\n");
  ProcessResult result = run({});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "args 0\ndir " + dir.path() + "\n");
}

TEST_P(RunTest, ExceptionInMainIsPrintedAndCountsAsZero) {
  configure("mainclass jltest.Status\n");
  ProcessResult result = run({"throw"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err.rfind("Exception in thread \"main\" java.lang.IllegalStateException: boom\n", 0), 0u)
      << result.err;
}

TEST_P(RunTest, EntryFailuresEndWithOne) {
  struct Case {
    std::string config;
    std::string err;
  } cases[] = {
      {"mainclass jltest.Missing\n", "Failed to load class jltest.Missing\n"},
      {"mainclass jltest.NoMain\n", "No 'static void main(java.lang.String[])' method in jltest.NoMain.\n"},
      {"mainclass jltest.Status.run()\n", "No 'static void run(java.lang.String[])' method in jltest.Status.\n"},
      {"mainclass jltest.ShowLaunch\nvmparam -Xfoo\n", "Unrecognized option: -Xfoo\nUnable to create JVM.\n"},
      {"mainclass jltest.ShowLaunch\nvmversion 1.4.0\n",
       "Unable to find a supported JDK or JRE version. Version 1.4.0 is required.\nCheck your installation and use the "
       "javahome commandline switchto specify the JDK or JRE location\n"},
  };
  for (const Case& c : cases) {
    configure(c.config);
    ProcessResult result = run({"x"});
    EXPECT_EQ(result.status, 1) << c.config;
    EXPECT_EQ(result.err, c.err) << c.config;
    EXPECT_EQ(result.out, "") << c.config;
  }
}

TEST_P(RunTest, ArgumentsArriveAsWithTheJavaCommand) {
  configure("mainclass jltest.ShowLaunch\n");
  std::vector<std::string> args = {"two words", "it's \"quoted\"", "$HOME", "caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", ""};
  for (const char* locale : {"C.UTF-8", "C"}) {
    ProcessResult launched = run(args, {{"LANG", locale}, {"LC_ALL", locale}});
    ProcessCommand java;
    java.program = GetParam() + "/bin/java";
    java.argv = {"java", "-cp", jar, "jltest.ShowLaunch"};
    java.argv.insert(java.argv.end(), args.begin(), args.end());
    java.env = {{"LANG", locale}, {"LC_ALL", locale}};
    java.cwd = dir.path();
    ProcessResult direct = runProcess(java);
    EXPECT_EQ(launched.out, direct.out) << locale;
    EXPECT_EQ(launched.status, 0) << launched.err;
  }
  ProcessResult utf8 = run({"caf\xc3\xa9"}, {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}});
  EXPECT_NE(utf8.out.find("arg <caf\xc3\xa9>\n"), std::string::npos) << utf8.out;
}

TEST_P(RunTest, CompanionClassSeesTheLauncher) {
  configure("mainclass jltest.UsesLauncher\n");
  ProcessResult result = run({});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, std::string("nativeAvailable true\nunderLauncher ") +
                            (exportsStackDump(GetParam()) ? "true" : "false") +
                            "\nregistryType 0\nregistryDword -1\nregistryString null\nregistryWrite false\n");
  ProcessCommand java;
  java.program = GetParam() + "/bin/java";
  java.argv = {"java", "-cp", jar, "jltest.UsesLauncher"};
  EXPECT_EQ(runProcess(java).out, "nativeAvailable false\n");
}

TEST_P(RunTest, VersionAndUsageClassesRunInsteadOfTheMainClass) {
  configure("mainclass jltest.ShowLaunch\nversionclass jltest.Tell\nusageclass jltest.Tell.usage()\nvmprop tell=v1\n");
  ProcessResult version = run({"+version", "a"});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(version.out, "v1 1\n");
  ProcessResult usage = run({"+usage"});
  EXPECT_EQ(usage.out, "usage text\n");
  configure("mainclass jltest.ShowLaunch\n");
  ProcessResult notConfigured = run({"+version"});
  EXPECT_EQ(notConfigured.out, "args 1\narg <+version>\ndir " + dir.path() + "\n");
}

TEST_P(RunTest, RestartOnTheConfiguredExitCode) {
  std::string start = dir.makeDir("start");
  dir.makeDir("work");
  for (const char* how : {"status", "exit"}) {
    std::string counter = dir.file(std::string("starts-") + how);
    configure("mainclass jltest.Restart\nrestartonexit 3\ncd ../../work\n");
    // Started by a relative path: the restart must go back to the start
    // directory, since the application ran in another.
    ProcessResult result = runLauncher(launcher, {"../app/bin/myapp", counter, "3", how},
                                       {{"PATH", kPathWithoutJava}}, start);
    EXPECT_EQ(result.status, 0) << how << result.err;
    EXPECT_EQ(result.out, "start 1 in " + dir.file("work") + "\nstart 2 in " + dir.file("work") + "\n") << how;
    EXPECT_EQ(readFile(counter), "2");
  }
}

TEST_P(RunTest, UsageFollowsTheUsageExitCode) {
  configure("mainclass jltest.Status\nusageonexit 4\n");
  ProcessResult result = run({"status", "4"});
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.out.rfind("main returns\nstatus 4\nUsage: ", 0), 0u) << result.out;
  EXPECT_NE(result.out.find("Usage: " + launcher + " <+options> <args>\n"), std::string::npos);
}

TEST_P(RunTest, JavaCommandRunsTheSameApplication) {
  dir.makeDir("work dir");
  struct Case {
    std::string config;
    std::vector<std::string> args;
  } cases[] = {
      {"mainclass jltest.ShowLaunch\nvmprop show=a,b\nvmprop a=one two\n", {"x", "y z"}},
      {"mainclass jltest.ShowLaunch\ncd ../../work dir\nvmprop show=user.dir,b\napparg first\n", {"-Db=$q 'x'", "*"}},
      {"mainclass jltest.ShowLaunch\naddbootpath ../lib/jltest.jar\nvmprop show=sun.boot.class.path,c\n",
       {"+classpath/p", "/nowhere", "-Dc=\"3\""}},
  };
  for (const Case& c : cases) {
    configure(c.config);
    ProcessResult launched = run(c.args);
    std::vector<std::string> printArgs = c.args;
    printArgs.insert(printArgs.begin(), "+javacmd");
    ProcessResult printed = run(printArgs);
    ProcessCommand shell;
    shell.program = "/bin/sh";
    shell.argv = {"sh", "-c", printed.out};
    shell.cwd = dir.path();
    ProcessResult ran = runProcess(shell);
    EXPECT_EQ(launched.status, 0) << launched.err;
    EXPECT_EQ(ran.out, launched.out) << c.config << printed.out;
    EXPECT_EQ(ran.err, launched.err);
  }
}

TEST_P(RunTest, RealApplicationTheJavaCompiler) {
  dir.writeFile("src/Good.java", "public class Good { public static void main(String[] a) {} }\n");
  dir.writeFile("src/Bad.java", "public class Bad { int x = ; }\n");
  dir.makeDir("out");
  configure("mainclass com.sun.tools.javac.Main\n");
  for (const char* source : {"src/Good.java", "src/Bad.java"}) {
    std::filesystem::remove_all(dir.file("out"));
    dir.makeDir("out");
    ProcessResult launched = run({"-d", "out", source});
    std::string launchedClasses;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("out"))) launchedClasses += entry.path().filename().string();
    std::filesystem::remove_all(dir.file("out"));
    dir.makeDir("out");
    ProcessCommand javac;
    javac.program = GetParam() + "/bin/javac";
    javac.argv = {"javac", "-d", "out", source};
    javac.cwd = dir.path();
    ProcessResult direct = runProcess(javac);
    std::string directClasses;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("out"))) directClasses += entry.path().filename().string();
    EXPECT_EQ(launched.status, direct.status) << source;
    EXPECT_EQ(launched.out, direct.out) << source;
    EXPECT_EQ(launched.err, direct.err) << source;
    EXPECT_EQ(launchedClasses, directClasses) << source;
  }
}

TEST_P(RunTest, TraceFollowsTheJvmThroughItsLife) {
  configure("mainclass jltest.Status\n");
  ProcessResult result = run({"status", "2", "later-exit", "5"}, {{"UTRACE", "-p"}});
  EXPECT_EQ(result.status, 2) << result.err;
  std::string javaVersion = readFile(GetParam() + "/release");
  javaVersion = javaVersion.substr(javaVersion.find("JAVA_VERSION=\"") + 14);
  javaVersion = javaVersion.substr(0, javaVersion.find('"'));
  std::vector<std::string> expected = {
      "JavaVMInitArgs:\n    version 0x00010002\n    ignoreUnrecognized is JNI_FALSE\n    nOptions is ",
      "    option[ 0] = '-Dlauncher.config.classpath=" + jar + "'\n",
      "] = 'exit' (JNI Invocation API JVM exit hook)\nJVM created\nJava version \"" + javaVersion + "\"\n",
      "JVM vendor is \"",
      "Arguments passed to java class are:\n    status\n    2\n    later-exit\n    5\n",
      "Calling entry class 'static void jltest.Status.main(java.lang.String[])'\n",
      "main returns\nCalling exitStatus class 'static int jltest.Status.getExitStatus()'\nstatus 2\n",
      "Returned from main class with status 2\n",
      "VM exited with java.lang.System.exit(5)\nUsing return code (2) from main class to determine restart\n"
      "C runtime exit() was called\n",
  };
  std::size_t at = 0;
  for (const std::string& part : expected) {
    std::size_t found = result.out.find(part, at);
    ASSERT_NE(found, std::string::npos) << "missing in order: " << part << "\n" << result.out;
    at = found + part.size();
  }
}

INSTANTIATE_TEST_SUITE_P(Jdks, RunTest, ::testing::ValuesIn(installedJdks()),
                         [](const auto& info) { return jdkTestName(info.param); });

}  // namespace
