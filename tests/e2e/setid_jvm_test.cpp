// A set-user-ID-root installation run by user nobody: every way a caller
// could make the launcher read, write or run something of theirs with root's
// privileges is refused, and the same copy without the set-ID bit behaves as
// any other launcher.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "launcher.h"
#include "notify.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                            "--clear-groups"};
const std::string kOwnFileRule =
    "; the launcher writes only a regular file of its own with one name, in a directory that nobody but root and "
    "the user running it can change.\n";

class SetIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to install a set-user-ID-root copy";
    fs::permissions(dir.path(), fs::perms(0755));
    launcher = installLauncher(dir, "app/bin/myapp");
    ASSERT_EQ(chown(launcher.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(launcher.c_str(), 04755), 0);
    dir.copyFile(testAppsJar(), "app/lib/jltest.jar");
    // What a caller owns: a program, a configuration and a JNI library of theirs.
    fs::permissions(dir.makeDir("user"), fs::perms(0777));
    evil = dir.writeFile("user/evil.sh", "#!/bin/sh\nid -u > " + dir.file("user/ran") + "\n", 0755);
    dir.writeFile("user/app", readFile(evil), 0755);
    std::string own = "javahome " + testJdkHome() + "\naddpath ../app/lib/jltest.jar\nmainclass jltest.Environment\n";
    dir.writeFile("user/app.config", own);
    dir.writeFile("user/evil.config", own);
    dir.writeFile("user/config/myapp/evil.config", "mainclass jltest.Status\n");
    secret = dir.writeFile("secret", "root only\n", 0600);
  }
  // Root's own, closed to the caller.
  void configure(const std::string& lines, const std::string& application = "addpath ../lib/jltest.jar\n"
                                                                            "mainclass jltest.Restart\n") {
    dir.writeFile("app/bin/myapp.config", "javahome " + testJdkHome() + "\n" + application + lines, 0600);
  }
  /// The launcher run by nobody (by root with asRoot), by the name argv0 (the
  /// launcher's path when empty), from cwd (the test's directory when empty).
  ProcessResult run(const std::vector<std::string>& args, std::map<std::string, std::optional<std::string>> env = {},
                    const std::string& argv0 = "", const std::string& cwd = "", bool asRoot = false) {
    // setpriv runs the launcher through a shell's exec -a, which sets argv[0].
    std::vector<std::string> argv = asRoot ? std::vector<std::string>{"/usr/bin/env"} : kAsNobody;
    // A JOURNAL_STREAM of "caller's stdout" names the stream the launcher's
    // output goes to, as a caller can.
    std::string journal = env.contains("JOURNAL_STREAM") ? "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) " : "";
    argv.insert(argv.end(), {"/bin/bash", "-c", journal + "exec -a \"$0\" " + launcher + " \"$@\"",
                             argv0.empty() ? launcher : argv0});
    argv.insert(argv.end(), args.begin(), args.end());
    env.emplace("PATH", kPathWithoutJava);
    return runLauncher(argv[0], argv, env, cwd.empty() ? dir.path() : cwd);
  }
  std::string startsIn(int starts) const {
    std::string out;
    for (int start = 1; start <= starts; ++start) out += "start " + std::to_string(start) + " in " + dir.path() + "\n";
    return out;
  }
  TempDir dir;
  std::string launcher, evil, secret;
};

TEST_F(SetIdTest, CallersChooseNoCodeAndNoFile) {
  configure("restartonexit 3\njpda running\noptions startupcache\ndesktopname Tool\n");
  std::string refused = "' is not allowed: this launcher runs with set-user-ID or set-group-ID privileges.\n";
  std::string counter = dir.file("user/starts");
  NotifyListener manager(true, dir.path());
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::map<std::string, std::optional<std::string>> env;
    std::string argv0, err, out;
    int status;
  } cases[] = {
      {"+config", {"+config", dir.file("user/evil.config")}, {}, "", "Error: The option '+config" + refused, "", 1},
      {"+javahome", {"+javahome", dir.file("user")}, {}, "", "Error: The option '+javahome" + refused, "", 1},
      {"+classpath/p", {"+classpath/p", dir.file("user")}, {}, "", "Error: The option '+classpath/p" + refused, "", 1},
      {"+jpda", {"+jpda:address=8000"}, {}, "", "Error: The option '+jpda:address=8000" + refused, "", 1},
      {"-XX:OnError", {counter, "0", "status", "-XX:OnError=" + evil}, {}, "",
       "Error: The option '-XX:OnError=" + evil + refused, "", 1},
      {"-D", {"-Djava.library.path=" + dir.file("user")}, {}, "",
       "Error: The option '-Djava.library.path=" + dir.file("user") + refused, "", 1},
      {"-verbose", {"-verbose:class"}, {}, "", "Error: The option '-verbose:class" + refused, "", 1},
      // The splash library would read an image the caller may not read.
      {"-splash:", {"-splash:" + dir.file("user/splash.png")}, {}, "",
       "Error: The option '-splash:" + dir.file("user/splash.png") + refused, "", 1},
      {"+J", {"+J-agentpath:" + dir.file("user/libagent.so")}, {}, "",
       "Error: The option '+J-agentpath:" + dir.file("user/libagent.so") + refused, "", 1},
      // The printed command and the trace would show the configuration.
      {"+javacmd", {"+javacmd"}, {}, "", "Error: The option '+javacmd" + refused, "", 1},
      {"+@", {"+@" + dir.file("user/args")}, {}, "", "Error: The option '+@" + dir.file("user/args") + refused, "", 1},
      {"+check", {"+check"}, {}, "", "Error: The option '+check" + refused, "", 1},
      // It would write into the machine's directories for any caller.
      {"+desktop", {"+desktop", "install"}, {}, "", "Error: The option '+desktop" + refused, "", 1},
      // It would print what only root may read (a pid file's place).
      {"+unit", {"+unit"}, {}, "", "Error: The option '+unit" + refused, "", 1},
      {"+debug", {counter, "+debug"}, {}, "", "Error: The option '+debug" + refused, "", 1},
      {"UTRACE", {counter, "0", "status"}, {{"UTRACE", "-p -f" + secret}}, "",
       "Error: The environment variable 'UTRACE' is not allowed: this launcher runs with set-user-ID or set-group-ID "
       "privileges.\n", "", 1},
      // The JVM would load the agent, or report that it cannot.
      {"environment",
       {counter, "0", "status"},
       {{"JAVA_TOOL_OPTIONS", "-agentpath:" + dir.file("user/libagent.so")},
        {"_JAVA_OPTIONS", "-XX:OnError=" + evil},
        {"JDK_JAVA_OPTIONS", "-agentpath:" + dir.file("user/libagent.so")},
        {"KRX_NO_SAFETY_NET", "1"},
        // Where the privileged launcher would send datagrams.
        {"NOTIFY_SOCKET", manager.address()},
        // Root's archive, recorded where the caller says.
        {"XDG_CACHE_HOME", dir.file("user/cache")},
        // The caller's override of the application.
        {"XDG_CONFIG_HOME", dir.file("user/config")}},
       "", "", startsIn(1), 0},
      {"a service's cache directory", {counter, "0", "status"}, {{"CACHE_DIRECTORY", dir.file("user/cache")}}, "",
       "", startsIn(1), 0},
      // The name the caller gives neither chooses the configuration nor
      // what a restart runs.
      {"argv[0]", {counter, "3", "exit"}, {}, dir.file("user/app"), "", startsIn(2), 0},
  };
  for (Case& c : cases) {
    fs::remove(counter);
    ProcessResult result = run(c.args, c.env, c.argv0);
    EXPECT_EQ(result.status, c.status) << c.name << result.err;
    EXPECT_EQ(result.err, c.err) << c.name;
    EXPECT_EQ(result.out, c.out) << c.name;
    EXPECT_EQ(readFile(secret), "root only\n") << c.name;
    EXPECT_FALSE(fs::exists(dir.file("user/ran"))) << c.name;
    EXPECT_FALSE(fs::exists(dir.file("user/cache"))) << c.name;
  }
  EXPECT_EQ(manager.messages(), std::vector<std::string>{});
  // Nor do the caller's JAVA_HOME and PATH choose the Java installation.
  dir.writeFile("app/bin/myapp.config", "addpath ../lib/jltest.jar\nmainclass jltest.Restart\n", 0600);
  ProcessResult result =
      run({counter, "0", "status"}, {{"PATH", testJdkHome() + "/bin"}, {"JAVA_HOME", testJdkHome()}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, kNoJavaMsg);
}

// The caller's working directory is no search path, and the caller's
// environment no input, of a privileged launch.
TEST_F(SetIdTest, NothingComesFromTheCallersDirectoryOrEnvironment) {
  std::string user = dir.file("user");
  dir.copyFile(jniTestLibrary(), "user/libjltestnative.so");
  ASSERT_EQ(std::system(("cd " + user + " && unzip -q " + testAppsJar() + " jltest/Tell.class").c_str()), 0);
  dir.writeFile("app/bin/site.config", "vmprop tell=site\n");
  // A project's JVM options where the caller works (root's own file even).
  dir.writeFile("user/.mvn/jvm.config", "-Dtell=caller\n");
  const std::string tell = "addpath ../lib/jltest.jar\nmainclass jltest.Tell\n";
  struct Case {
    const char* name;
    std::string application;
    std::map<std::string, std::optional<std::string>> env;
    bool asRoot;
    int status;
    std::string out, errStart;
  } cases[] = {
      {"library, as root", "addpath ../lib/jltest.jar\nmainclass jltest.Native\n", {}, true, 1, "",
       "Exception in thread \"main\" java.lang.UnsatisfiedLinkError: no jltestnative in java.library.path"},
      {"library", "addpath ../lib/jltest.jar\nmainclass jltest.Native\n", {}, false, 1, "",
       "Exception in thread \"main\" java.lang.UnsatisfiedLinkError: no jltestnative in java.library.path"},
      {"class", "addpath ../lib/typo.jar\nmainclass jltest.Tell\n", {}, false, 1, "",
       "Failed to load class jltest.Tell\nException in thread \"main\" "},
      {"relative class path", "options leavepathsrelative\naddpath .\nmainclass jltest.Tell\n", {}, false, 1, "",
       "Error: The JVM option '-Djava.class.path=.' names a path in the working directory, which the caller of a "
       "set-ID launcher chooses.\n"},
      {"relative agent", tell + "vmparam -javaagent:agent.jar=/opt/x.conf\n", {}, false, 1, "",
       "Error: The JVM option '-javaagent:agent.jar=/opt/x.conf' names a path in the working directory, which the "
       "caller of a set-ID launcher chooses.\n"},
      {"pid file", tell + "pidfile ../../user/myapp.pid\n", {}, false, 1, "",
       "Error: Unable to write the pid file '" + user + "/myapp.pid': every user can change '" + user + "'" +
           kOwnFileRule},
      {"log file", tell + "daemonsupport ../../user\n", {}, false, 1, "",
       "Error: Unable to open the log file '" + user + "/myapp.log': every user can change '" + user + "'" +
           kOwnFileRule},
      // Root's own places work in a set-ID launch, which writes with the
      // effective ids; the caller's JOURNAL_STREAM naming their own output
      // does not take the log's place.
      {"pid file of root's", tell + "pidfile ../run/myapp.pid\n", {}, false, 0, "nothing 0\n", ""},
      {"log of root's", tell + "daemonsupport ../run\n", {{"JOURNAL_STREAM", "caller's stdout"}}, false, 0, "", ""},
      {"$env in vmparams", tell + "vmparams $env(APP_OPTS:-Dtell=configured)\n", {{"APP_OPTS", "-Dtell=caller"}},
       false, 0, "configured 0\n", ""},
      {"$env in include", tell + "include $env(APP_SITE:site.config)\n", {{"APP_SITE", secret}}, false, 0,
       "site 0\n", ""},
      {"single instance", tell + "singleinstance\n", {}, false, 1, "",
       "Error: singleinstance is refused in set-ID mode: a later launch by another user would reach an instance "
       "running with other rights.\n"},
      {"$findup in vmparamsfile", tell + "vmprop tell=configured\nvmparamsfile $findup(.mvn)/.mvn/jvm.config\n", {},
       false, 0, "configured 0\n", ""},
  };
  dir.makeDir("app/run");
  for (const Case& c : cases) {
    configure("", c.application);
    ProcessResult result = run({}, c.env, "", user, c.asRoot);
    EXPECT_EQ(result.status, c.status) << c.name << result.err;
    EXPECT_EQ(result.out, c.out) << c.name;
    EXPECT_EQ(result.err.substr(0, c.errStart.size()), c.errStart) << c.name << result.err;
  }
  EXPECT_EQ(readFile(dir.file("app/run/myapp.log")), "nothing 0\n");
}

TEST_F(SetIdTest, OnlyFilesOfRootOrTheOwnerThatNobodyElseWritesAreRead) {
  configure("include ../conf/extra.config\n");
  std::string extra = dir.writeFile("app/conf/extra.config", "vmprop extra=1\n", 0664);
  auto message = [&](const std::string& why) {
    return "Error: Configuration file '" + extra + "' is not read: " + why +
           ". A set-ID launcher reads only what nobody but root and the launcher's owner can change.\n";
  };
  // The group of a set-ID launcher's files is no trusted group: a group's
  // write to a set-ID file chooses nothing of a privileged launch.
  ProcessResult result = run({dir.file("user/starts"), "0", "status"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, message("group 'root' can change it"));
  EXPECT_EQ(result.out, "");

  fs::permissions(extra, fs::perms(0644));
  ASSERT_EQ(chown(extra.c_str(), 65534, 65534), 0);
  EXPECT_EQ(run({dir.file("user/starts"), "0", "status"}).err, message("it belongs to user 'nobody'"));

  ASSERT_EQ(chown(extra.c_str(), 0, 0), 0);
  result = run({dir.file("user/starts"), "0", "status"});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, startsIn(1));
}

TEST_F(SetIdTest, WithoutTheSetIdBitCallersChooseAsAlways) {
  configure("");
  ASSERT_EQ(chmod(launcher.c_str(), 0755), 0);
  // The caller's own directory, which only they can change.
  for (const std::string& own : {dir.file("user"), dir.file("user/app.config"), dir.file("user/evil.config")}) {
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
  }
  fs::permissions(dir.file("user"), fs::perms(0755));
  ProcessResult result = run({"+config", dir.file("user/evil.config"), "-Dx=1", "/usr/bin/id", "-u"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "marks <>\n65534\n");
  // The caller's name chooses the configuration beside it.
  result = run({"/usr/bin/id", "-u"}, {}, dir.file("user/app"));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "marks <>\n65534\n");
}

}  // namespace
