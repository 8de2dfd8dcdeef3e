// Running Java applications through the launcher on the real JDKs: exit
// status, restart, arguments, the companion class, packed applications,
// re-execution, debugging, and the equivalence with the java command that
// +javacmd prints.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "launcher.h"
#include "loopback.h"
#include "notify.h"

namespace {

ProcessCommand shellCommand(const std::string& script, const std::string& cwd, const std::string& display = "") {
  ProcessCommand command;
  command.program = "/bin/sh";
  command.argv = {"sh", "-c", script};
  command.cwd = cwd;
  if (!display.empty()) command.env = {{"DISPLAY", display}};
  return command;
}

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
  // A traced run with the launcher's arguments, as user nobody when asked.
  ProcessResult runTraced(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env,
                          bool asNobody) {
    env.emplace("UTRACE", "-p");
    env.emplace("PATH", kPathWithoutJava);
    args.insert(args.begin(), launcher);
    if (!asNobody) return runLauncher(launcher, args, env, dir.path());
    args.insert(args.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    return runLauncher("/usr/bin/setpriv", args, env, dir.path());
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
      // Checked, the application does not run.
      {{"+check", "status", "3"}, 0,
       "Read the configuration '" + dir.file("app/bin/myapp.config") + "'.\nWould run jltest.Status.main with the Java in '" +
           GetParam() + "'.\n"},
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

TEST_P(RunTest, FailuresEndWithOneAndNoRestart) {
  // A class compiled for a Java far newer than any installed one.
  std::string newer = runLauncher("/usr/bin/unzip", {"unzip", "-p", jar, "jltest/ShowLaunch.class"}).out;
  ASSERT_GT(newer.size(), 8u);
  newer[6] = 0;
  newer[7] = static_cast<char>(200);
  dir.writeFile("newer/jltest/ShowLaunch.class", newer);
  std::string j2ee = dir.writeFile("app/lib/j2ee.jar", "");
  dir.writeFile("app/ri/J2EE.jar", "");
  auto lacksTypo = [&](int line) {
    return "The class path lacks '" + dir.file("app/lib/typo.jar") + "' (line " + std::to_string(line) + " of '" +
           dir.file("app/bin/myapp.config") + "'), which does not exist.\n";
  };
  struct Case {
    std::string config;
    std::string err;
    bool described = false;  ///< err is followed by more (the exception's stack)
    std::vector<std::string> args = {"x"};
    std::vector<std::string> heard = {};  ///< what the service manager hears
  } cases[] = {
      {"mainclass jltest.Missing\n",
       "Failed to load class jltest.Missing\nException in thread \"main\" java.lang.NoClassDefFoundError: "
       "jltest/Missing\nCaused by: java.lang.ClassNotFoundException: jltest.Missing\n",
       true},
      // A mistyped jar is named when the class it should have held is missing.
      {"addpath " + dir.file("app/lib/typo.jar") + "\nmainclass jltest.Missing\n",
       "Failed to load class jltest.Missing\nThe class path lacks '" + dir.file("app/lib/typo.jar") + "' (line 4 of '" +
           dir.file("app/bin/myapp.config") + "'), which does not exist.\nException in thread \"main\" ",
       true},
      {"mainclass jltest.ShowLaunch\n",
       "Failed to load class jltest.ShowLaunch\nException in thread \"main\" java.lang.UnsupportedClassVersionError: "
       "jltest/ShowLaunch has been compiled by a more recent version of the Java Runtime (class file version 200.0), ",
       true, {"+classpath/p", "newer", "x"}},
      // A port the debug agent cannot use: its own message.
      {"mainclass jltest.ShowLaunch\njpda address=none\n", "ERROR: transport error 103: invalid port number specified\n",
       true, {"+jpda"}},
      {"mainclass jltest.NoMain\n", "No 'static void main(java.lang.String[])' method in jltest.NoMain.\n"},
      // A check reports what the launch would, and names each missing
      // entry, even when the class was found elsewhere or the Java was not.
      {"mainclass jltest.Missing\n",
       "Failed to load class jltest.Missing\nException in thread \"main\" java.lang.NoClassDefFoundError: ", true,
       {"+check"}},
      {"mainclass jltest.NoMain\n", "No 'static void main(java.lang.String[])' method in jltest.NoMain.\n", false,
       {"+check"}},
      {"addpath ../lib/typo.jar\nmainclass jltest.Status\n", lacksTypo(4), false, {"+check", "status", "0"}},
      {"addpath ../lib/typo.jar\nmainclass jltest.Status\n",
       kNoJavaLines + "  +javahome /nowhere: missing\n" + noJavaFixFor("+javahome") + lacksTypo(4), false,
       {"+javahome", "/nowhere", "+check"}},
      // A command prefix changes no +check into the application's argument.
      {"cmdprefix my\naddpath ../lib/typo.jar\nmainclass jltest.Status\n", lacksTypo(5), false, {"+check"}},
      {"mainclass jltest.Status.run()\n", "No 'static void run(java.lang.String[])' method in jltest.Status.\n"},
      {"mainclass jltest.ShowLaunch\nvmparam -Xfoo\n", "Unrecognized option: -Xfoo\nUnable to create JVM.\n"},
      {"mainclass jltest.ShowLaunch\nvmversion 1.4.0\n",
       "Unable to find a supported JDK or JRE version. Version 1.4.0 is required.\nCheck your installation and use the "
       "javahome commandline switchto specify the JDK or JRE location\n  javahome " + GetParam() + ": version ",
       true},
      {"mainclass jltest.ShowLaunch\nvmtype turbo\n",
       "Error: Unrecognized VM type in 'vmtype turbo' at line 5 in configuration file '" +
           dir.file("app/bin/myapp.config") + "'.\n"},
      // Sun's J2EE Reference Implementation ends the launch with its own
      // words alone: no help text, no report of a check.
      {"addjars ../ri\nmainclass jltest.ShowLaunch\n",
       "Sun's J2EE Reference Implementation found in '" + dir.file("app/ri") +
           "/j2ee.jar'.\nCorvane Kestrix and Sun's J2EE are mutually exclusive. Uninstall J2EE.\n"},
      {"addpath ../lib/typo.jar\naddpath ../lib/j2ee.jar\nusageonexit 1\nmainclass jltest.Status\n",
       "Sun's J2EE Reference Implementation found on classpath.\nCorvane Kestrix and Sun's J2EE are mutually "
       "exclusive.\nRemove '" + j2ee + "' from the classpath before running any Corvane Kestrix command.\n",
       false, {"+check"}},
      // An application that crashed did not succeed, nor did it ask for a restart.
      {"mainclass jltest.Status\n", "Exception in thread \"main\" java.lang.IllegalStateException: boom\n", true,
       {"throw"}, {"READY=1"}},
      // A service that was never ready did not start.
      {"readiness mainreturned\nmainclass jltest.Status\n",
       "Exception in thread \"main\" java.lang.IllegalStateException: boom\n", true, {"throw"},
       {"STATUS=waiting for main to return"}},
      {"readiness listening\nmainclass jltest.Status\n",
       "Exception in thread \"main\" java.lang.IllegalStateException: boom\n", true, {"throw"},
       {"STATUS=waiting for a listening socket"}},
  };
  for (const Case& c : cases) {
    // The status of the launcher's own failures is no restart request.
    configure("restartonexit 1\n" + c.config);
    NotifyListener manager(true, "");
    ProcessResult result = run(c.args, {{"NOTIFY_SOCKET", manager.address()}});
    EXPECT_EQ(result.status, 1) << c.config;
    EXPECT_EQ(c.described ? result.err.substr(0, c.err.size()) : result.err, c.err) << c.config;
    EXPECT_EQ(result.out, "") << c.config;
    // Only the application that was started was ever ready.
    EXPECT_EQ(manager.messages(), c.heard) << c.config;
  }
  // Under the journal, the launcher's own line is an error; what the JVM
  // prints of the exception is the application's output, left as it is.
  configure("mainclass jltest.Missing\n");
  ProcessResult result = runLauncher(
      "/bin/sh", {"sh", "-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/2) exec \"$0\"", launcher},
      {{"PATH", "/usr/bin:/bin"}}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(result.err.starts_with("<3>Failed to load class jltest.Missing\nException in thread \"main\" "
                                     "java.lang.NoClassDefFoundError: jltest/Missing\nCaused by: "))
      << result.err;
  EXPECT_EQ(occurrences(result.err, "<3>"), 1) << result.err;
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
  std::string seen = "nativeAvailable true\nunderLauncher true\nregistryType 0\nregistryDword -1\nregistryString null\n"
                     "registryWrite false\n";
  EXPECT_EQ(result.out, seen);
  // With or without the JVM's own stack dump export, the dump is a full one.
  ProcessResult dumped = run({"dump"});
  EXPECT_EQ(dumped.out.rfind(seen, 0), 0u) << dumped.err;
  EXPECT_NE(dumped.out.find("Full thread dump "), std::string::npos);
  EXPECT_EQ(dumped.out.substr(dumped.out.size() - 12), "dumped true\n");
  ProcessCommand java;
  java.program = GetParam() + "/bin/java";
  java.argv = {"java", "-cp", jar, "jltest.UsesLauncher"};
  EXPECT_EQ(runProcess(java).out, "nativeAvailable false\n");
}

TEST_P(RunTest, PackedApplicationRunsAsUnderJavaCp) {
  std::string packed = packApplication(dir, "packed/bin/tool", testAppsJar(),
                                       "javahome " + GetParam() + "\nmainclass jltest.OwnResources\n");
  ProcessResult launched = runLauncher(packed, {packed}, {{"PATH", kPathWithoutJava}}, dir.path());
  EXPECT_EQ(launched.status, 0) << launched.err;
  EXPECT_EQ(launched.out, "resource packed with the classes\nclass.path " + packed + "\n");
  EXPECT_EQ(runLauncher(GetParam() + "/bin/java", {"java", "-cp", packed, "jltest.OwnResources"}).out, launched.out);

  // Appended data that is no archive puts the executable on no path.
  std::ofstream(launcher, std::ios::binary | std::ios::app) << "PK not an archive";
  configure("mainclass jltest.ShowLaunch\nvmprop show=java.class.path\n");
  ProcessResult plain = run({});
  EXPECT_EQ(plain.err, "");
  EXPECT_EQ(plain.out, "args 0\nprop java.class.path=<" + jar + ">\ndir " + dir.path() + "\n");
}

TEST_P(RunTest, ReexecutesOnlyWhenTheLoaderMustSeeADifferentLibraryPath) {
  dir.copyFile(jniTestLibrary(), "app/lib/native/libjltestnative.so");
  bool root = geteuid() == 0;
  // Unprivileged runs need to reach the application.
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  const std::string shown = "args 0\ndir " + dir.path() + "\n";
  struct Case {
    const char* name;
    std::string config;
    std::map<std::string, std::optional<std::string>> env;
    bool asNobody;
    int execs;
    std::string out;
  } cases[] = {
      {"clean environment", "mainclass jltest.ShowLaunch\n", {}, false, 0, shown},
      {"clean environment, unprivileged", "mainclass jltest.ShowLaunch\n", {}, true, 0, shown},
      {"empty library path", "mainclass jltest.ShowLaunch\n", {{"LD_LIBRARY_PATH", ""}}, false, 0, shown},
      // A root launcher trusts no inherited library path: it empties it and
      // re-executes once.
      {"inherited library path", "mainclass jltest.ShowLaunch\n", {{"LD_LIBRARY_PATH", "/inherited"}}, false,
       root ? 1 : 0, shown},
      {"addlibpath", "mainclass jltest.Native\naddlibpath ../lib/native\n", {}, false, 1, "native hello\n"},
      {"addlibpath, unprivileged", "mainclass jltest.Native\naddlibpath ../lib/native\n", {}, true, 1,
       "native hello\n"},
  };
  for (Case& c : cases) {
    if (c.asNobody && !root) continue;  // this run is unprivileged already
    configure(c.config);
    ProcessResult result = runTraced({}, c.env, c.asNobody);
    EXPECT_EQ(result.status, 0) << c.name << result.err;
    EXPECT_EQ(occurrences(result.out, "Exec'ing"), c.execs) << c.name << result.out;
    EXPECT_NE(result.out.find("Returned from main class with status 0\n"), std::string::npos) << c.name;
    EXPECT_NE(result.out.find(c.out), std::string::npos) << c.name << result.out;
  }
}

TEST_P(RunTest, DebuggerAttachesToAPausedApplication) {
  configure("mainclass jltest.ShowLaunch\njpda paused\n");
  int port = freeLoopbackPort();
  ProcessCommand command;
  command.program = launcher;
  command.argv = {launcher, "+jpda:address=" + std::to_string(port)};
  command.env = {{"PATH", kPathWithoutJava}};
  command.cwd = dir.path();
  RunningProcess process(command);
  std::string listening = "Listening for transport dt_socket at address: " + std::to_string(port) + "\n";
  ASSERT_TRUE(process.waitForOutput(listening)) << process.out();

  int debugger = connectLoopback(port);
  ASSERT_GE(debugger, 0);
  const std::string handshake = "JDWP-Handshake";
  ASSERT_EQ(write(debugger, handshake.data(), handshake.size()), static_cast<ssize_t>(handshake.size()));
  std::string echoed(handshake.size(), '\0');
  ASSERT_EQ(recv(debugger, echoed.data(), echoed.size(), MSG_WAITALL), static_cast<ssize_t>(echoed.size()));
  EXPECT_EQ(echoed, handshake);
  process.waitForOutput("args", 1, 1);
  EXPECT_EQ(process.out(), listening) << "the application ran before the debugger resumed it";

  // VirtualMachine.Resume (command set 1, command 9), as a debugger's "go".
  const unsigned char resume[] = {0, 0, 0, 11, 0, 0, 0, 1, 0, 1, 9};
  ASSERT_EQ(write(debugger, resume, sizeof resume), static_cast<ssize_t>(sizeof resume));
  ProcessResult result = process.finish();
  close(debugger);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, listening + "args 0\ndir " + dir.path() + "\n");
}

// Tools such as javac and Maven take -X and -D arguments of their own.
TEST_P(RunTest, WithAppArgsJvmOptionsOfTheCommandLineReachTheApplication) {
  configure("mainclass jltest.ShowLaunch\noptions appargs\n");
  ProcessResult result = run({"-X", "-Dx=1", "+J-Dy=2", "-verbose", "b"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "args 4\narg <-X>\narg <-Dx=1>\narg <-verbose>\narg <b>\ndir " + dir.path() + "\n");

  configure("mainclass com.sun.tools.javac.Main\noptions appargs\n");
  dir.writeFile("W.java", "class W { java.util.List l; }\n");
  dir.writeFile("sources", "W.java\n");  // javac's own argument file, left to javac
  result = run({"+J-Xmx64m", "-Xlint:all", "-d", dir.path(), "@sources"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err.substr(0, result.err.find('\n') + 1), "W.java:1: warning: [rawtypes] found raw type: List\n");
  EXPECT_TRUE(std::filesystem::exists(dir.file("W.class")));
}

// A variable such as MAVEN_OPTS holds several options, with shell quoting,
// or nothing at all; JDK_JAVA_OPTIONS is taken as the java command takes it,
// ahead of the command line's options.
TEST_P(RunTest, JvmOptionsFromTheEnvironment) {
  configure("mainclass jltest.Tell\nvmparams $env(JLTEST_OPTS)\n");
  const std::string note = "NOTE: Picked up JDK_JAVA_OPTIONS: ";
  struct Case {
    std::map<std::string, std::optional<std::string>> env;
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{{"JLTEST_OPTS", "-Xmx300m -Dtell='a b'"}}, {}, 0, "a b 0\n", ""},
      {{{"JLTEST_OPTS", ""}}, {}, 0, "nothing 0\n", ""},
      {{{"JLTEST_OPTS", std::nullopt}}, {}, 0, "nothing 0\n", ""},
      {{{"JDK_JAVA_OPTIONS", "-Xmx300m  -Dtell=\"c d\""}}, {}, 0, "c d 0\n", note + "-Xmx300m  -Dtell=\"c d\"\n"},
      {{{"JDK_JAVA_OPTIONS", "-Dtell=env"}}, {"-Dtell=line"}, 0, "line 0\n", note + "-Dtell=env\n"},
      {{{"JDK_JAVA_OPTIONS", "-Dtell='open"}}, {}, 1, "",
       note + "-Dtell='open\nError: Unmatched quote in environment variable JDK_JAVA_OPTIONS\n"},
      {{{"JDK_JAVA_OPTIONS", "Main"}}, {}, 1, "",
       note + "Main\nError: Cannot specify main class in environment variable JDK_JAVA_OPTIONS\n"},
  };
  for (const Case& c : cases) {
    ProcessResult result = run(c.args, c.env);
    std::string label = ::testing::PrintToString(c.env);
    EXPECT_EQ(result.status, c.status) << label << result.err;
    EXPECT_EQ(result.out, c.out) << label;
    EXPECT_EQ(result.err, c.err) << label;
  }
}

// Argument files and JDK_JAVA_OPTIONS give the launcher what they give the
// JDK's own java: the same words, options, refusals and messages.
TEST_P(RunTest, ArgumentFilesAndJdkJavaOptionsAsJavaReadsThem) {
  const std::string java = GetParam() + "/bin/java";
  const std::string words =
      "plain 'single quoted' \"double quoted\" mid\"dle q\"uote back\\slash\n"
      "\"esc\\tape \\\"q\\\" \\\\\" \"joined \\\n    line\" # a comment\n"
      "dropped#with the rest of the line\n\"open quote\n'' last";
  dir.writeFile("words", words);
  dir.writeFile("java-words", "-cp " + jar + " jltest.ShowLaunch\n" + words);
  configure("mainclass jltest.ShowLaunch\n");
  ProcessResult ours = run({"+@words"});
  ProcessResult theirs = runLauncher(java, {java, "@java-words"}, {}, dir.path());
  EXPECT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(ours.out, theirs.out);
  EXPECT_EQ(ours.err, theirs.err);

  dir.writeFile("options", "-Dtell=\"from a file\" # and a comment\n");
  dir.writeFile("final", "-Dtell=x -jar\n");
  configure("mainclass jltest.Tell\n");
  for (const std::string& value : std::vector<std::string>{
           "--add-opens java.base/java.lang=ALL-UNNAMED --add-exports nosuch/x=ALL-UNNAMED -Dtell=opened",
        "-cp " + jar + " -Dtell=cp", "@/dev/null", "-showversion", "--show-version", "-jar", "@options",
        "@final", "@missing", "-Dtell=a\\b", "-cp", "--add-opens", "-splash:/nonexistent"}) {
    std::map<std::string, std::optional<std::string>> env = {{"JDK_JAVA_OPTIONS", value}};
    ours = run({"a"}, env);
    theirs = runLauncher(java, {java, "-cp", jar, "jltest.Tell", "a"}, env, dir.path());
    EXPECT_EQ(ours.status, theirs.status) << value << ours.err;
    EXPECT_EQ(ours.out, theirs.out) << value;
    EXPECT_EQ(ours.err, theirs.err) << value;
  }
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

// Each restarted image takes the pid file it wrote for its own; the limit
// ends the restarts with the application's status.
TEST_P(RunTest, RestartsStopAtTheLimit) {
  for (const char* how : {"status", "exit"}) {
    std::string counter = dir.file(std::string("starts-") + how);
    configure("mainclass jltest.Restart\nrestartonexit 3\nrestartlimit 2/60\npidfile ../../myapp.pid\n");
    ProcessResult result = run({counter, "3", how, "100"});
    EXPECT_EQ(result.status, 3) << how;
    std::string start = " in " + dir.path() + "\n";
    EXPECT_EQ(result.out, "start 1" + start + "start 2" + start + "start 3" + start) << how;
    EXPECT_EQ(result.err, "Not restarting the application, which ended with status 3: it was restarted 2 times "
                          "within 60 seconds.\n") << how;
    EXPECT_FALSE(std::filesystem::exists(dir.file("myapp.pid"))) << how;
  }
}

TEST_P(RunTest, RestartsStartWithNoneOfTheOldDescriptors) {
  std::string port = std::to_string(freeLoopbackPort());
  configure("mainclass jltest.Restart\nrestartonexit 3\nsocket " + port + "\n");
  ProcessResult result = run({dir.file("starts"), "3", "exit", "3"});
  EXPECT_EQ(result.status, 0) << result.err;
  // Each start listens on the command port again. A leak adds two
  // descriptors per restart; the JVM itself may hold one more for a moment.
  std::istringstream lines(result.out);
  std::string line;
  std::vector<int> counts;
  for (int start = 1; std::getline(lines, line); ++start) {
    ASSERT_EQ(line, "start " + std::to_string(start) + " in " + dir.path()) << result.out;
    ASSERT_TRUE(std::getline(lines, line)) << result.out;
    ASSERT_EQ(std::sscanf(line.c_str(), "listening with %d descriptors", &counts.emplace_back()), 1) << line;
  }
  ASSERT_EQ(counts.size(), 4u) << result.out;
  int fewest = *std::min_element(counts.begin(), counts.end());
  for (int count : counts) {
    EXPECT_LE(count, fewest + 1) << result.out;
  }
}

TEST_P(RunTest, LauncherMarksAndTheEnvironmentDumpStayTheLaunchersOwn) {
  // A second application the first one starts, with a launcher of its own.
  std::string other = installLauncher(dir, "app/bin/other");
  dir.writeFile("app/bin/other.config",
                "javahome " + GetParam() + "\naddpath ../lib/jltest.jar\nmainclass jltest.ShowLaunch\n");
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  bool root = geteuid() == 0;
  struct Case {
    const char* name;
    std::string config;
    std::map<std::string, std::optional<std::string>> env;
    bool asNobody;
    std::vector<std::string> args;
  } cases[] = {
      // A root launcher re-executes once to drop the inherited library path;
      // the application ends through System.exit.
      {"root", "", {{"LD_LIBRARY_PATH", "/inherited"}}, false, {other}},
      {"unprivileged", "addlibpath ../lib\n", {}, true, {}},
  };
  for (Case& c : cases) {
    if (c.asNobody && !root) continue;
    configure("mainclass jltest.Environment\nexportenv true\n" + c.config);
    ProcessResult result = runTraced(c.args, c.env, c.asNobody);
    EXPECT_EQ(result.status, 0) << c.name << result.err;
    EXPECT_EQ(occurrences(result.out, "Exec'ing"), root || c.asNobody ? 1 : 0) << c.name << result.out;
    EXPECT_NE(result.out.find("marks <>\ndump marks <>\n"), std::string::npos) << c.name << result.out;
    if (!c.args.empty()) {
      EXPECT_NE(result.out.find("args 0\ndir " + dir.path() + "\n"), std::string::npos) << c.name;
    }
    // One dump, which is gone once the launcher has ended.
    const std::string written = "Set corvane.exportenv to <";
    ASSERT_EQ(occurrences(result.out, written), 1) << c.name;
    std::size_t name = result.out.find(written) + written.size();
    EXPECT_FALSE(std::filesystem::exists(result.out.substr(name, result.out.find('>', name) - name))) << c.name;
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
      {"mainclass jltest.ShowLaunch$Nested\n", {"x"}},
  };
  for (const Case& c : cases) {
    configure(c.config);
    ProcessResult launched = run(c.args);
    std::vector<std::string> printArgs = c.args;
    printArgs.insert(printArgs.begin(), "+javacmd");
    ProcessResult printed = run(printArgs);
    ProcessResult ran = runProcess(shellCommand(printed.out, dir.path()));
    EXPECT_EQ(launched.status, 0) << launched.err;
    EXPECT_EQ(ran.out, launched.out) << c.config << printed.out;
    EXPECT_EQ(ran.err, launched.err);
  }
}

// The splash screen is up before the JVM starts and the application closes
// it; without a display, with nosplash or on a headless runtime there is
// none, and nothing is said. The later source wins, as for java.
TEST_P(RunTest, SplashScreenAsJavaShowsIt) {
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "no Xvfb to show splash screens on (Debian's xvfb)";
  // Xvfb takes a free display and names it once it is ready.
  RunningProcess xvfb(shellCommand("exec Xvfb -displayfd 1 -screen 0 800x600x24 -nolisten tcp", dir.path()));
  ASSERT_TRUE(xvfb.waitForOutput("\n"));
  const std::string display = ":" + xvfb.out().substr(0, xvfb.out().size() - 1);
  const std::string image = dir.copyFile(SPLASH_IMAGE, "app/splash.png"), note = "NOTE: Picked up JDK_JAVA_OPTIONS: ";
  bool shows = std::filesystem::exists(GetParam() + "/lib/libsplashscreen.so");
  const std::string shown = shows ? "splash 120x80\nclosed\n" : "splash none\n", none = "splash none\n";
  configure("mainclass jltest.Splash\nsplash ../splash.png\n");
  if (shows) {
    RunningProcess app(shellCommand("exec " + launcher, dir.path(), display));
    ASSERT_TRUE(app.waitForOutput("splash 120x80\n")) << app.out();
    std::string shot = std::string(TEST_ARTIFACTS_DIR) + "/splash-" + jdkTestName(GetParam()) + ".png";
    std::filesystem::create_directories(TEST_ARTIFACTS_DIR);
    ProcessResult taken = runProcess(shellCommand("xwd -root -display " + display + " | convert xwd:- png:" + shot +
                                                  " && convert " + shot + " -format '%[hex:p{400,300}]' info:", ""));
    if (taken.status == 0) {
      EXPECT_EQ(taken.out, "3366CC") << shot;  // the image at the screen's centre
    }
    dir.writeFile("go", "");  // the application closes its splash once this exists
    EXPECT_EQ(app.finish().out, shown);
  }
  dir.writeFile("go", "");
  struct Case {
    std::string config;
    std::vector<std::string> args;
    std::map<std::string, std::optional<std::string>> env;
    std::string out, err;
  } cases[] = {
      {"splash ../splash.png\n", {}, {}, shown, ""},
      {"splash ../splash.png\nnosplash true\n", {}, {}, none, ""},
      {"splash ../splash.png\n", {}, {{"DISPLAY", std::nullopt}}, none, ""},
      {"splash ../splash.png\n", {}, {{"DISPLAY", ":99999"}}, none, ""},
      {"", {"-splash:" + image}, {}, shown, ""},
      {"", {"+J-splash:" + image}, {{"JDK_JAVA_OPTIONS", "-splash:/none"}}, shown, note + "-splash:/none\n"},
      {"splash /none\n", {}, {{"JDK_JAVA_OPTIONS", "-splash:" + image}}, shown, note + "-splash:" + image + "\n"},
      {"splash ../splash.png\n", {"-splash:/none"}, {}, none, ""},
  };
  for (const Case& c : cases) {
    configure("mainclass jltest.Splash\n" + c.config);
    std::map<std::string, std::optional<std::string>> env = c.env;
    env.emplace("DISPLAY", display);
    ProcessResult result = run(c.args, env);
    std::string label = c.config + ::testing::PrintToString(c.args) + ::testing::PrintToString(c.env);
    EXPECT_EQ(result.status, 0) << label;
    EXPECT_EQ(result.out, c.out) << label;
    EXPECT_EQ(result.err, c.err) << label;
  }
  // The printed java command shows it too.
  ProcessResult printed = run({"+javacmd"}, {{"DISPLAY", display}});
  EXPECT_EQ(runProcess(shellCommand(printed.out, dir.path(), display)).out, shown) << printed.out;
  xvfb.signal(SIGTERM);  // it removes its lock file and socket
  xvfb.finish();
}

TEST_P(RunTest, RealApplicationTheJavaCompiler) {
  if (!std::filesystem::exists(GetParam() + "/bin/javac")) GTEST_SKIP() << "a runtime without the JDK has no javac";
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
