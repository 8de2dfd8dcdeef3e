// A set-user-ID-root installation run by user nobody: every way a caller
// could make the launcher read, write or run something of theirs with root's
// privileges is refused, and the same copy without the set-ID bit behaves as
// any other launcher.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "launcher.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                            "--clear-groups"};

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
    secret = dir.writeFile("secret", "root only\n", 0600);
  }
  void configure(const std::string& lines) {
    dir.writeFile("app/bin/myapp.config",
                  "javahome " + testJdkHome() + "\naddpath ../lib/jltest.jar\nmainclass jltest.Restart\n" + lines);
  }
  /// The launcher run by nobody, by the name argv0 (the launcher's path when empty).
  ProcessResult run(const std::vector<std::string>& args, std::map<std::string, std::optional<std::string>> env = {},
                    const std::string& argv0 = "") {
    // setpriv runs the launcher through a shell's exec -a, which sets argv[0].
    std::vector<std::string> argv = kAsNobody;
    argv.insert(argv.end(), {"/bin/bash", "-c", "exec -a \"$0\" " + launcher + " \"$@\"",
                             argv0.empty() ? launcher : argv0});
    argv.insert(argv.end(), args.begin(), args.end());
    env.emplace("PATH", kPathWithoutJava);
    return runLauncher(argv[0], argv, env, dir.path());
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
  configure("restartonexit 3\njpda running\noptions startupcache\n");
  std::string refused = "' is not allowed: this launcher runs with set-user-ID or set-group-ID privileges.\n";
  std::string counter = dir.file("user/starts");
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
      {"+J", {"+J-agentpath:" + dir.file("user/libagent.so")}, {}, "",
       "Error: The option '+J-agentpath:" + dir.file("user/libagent.so") + refused, "", 1},
      // The JVM would load the agent, or report that it cannot; the trace
      // file option would truncate the secret.
      {"environment",
       {counter, "0", "status"},
       {{"JAVA_TOOL_OPTIONS", "-agentpath:" + dir.file("user/libagent.so")},
        {"_JAVA_OPTIONS", "-XX:OnError=" + evil},
        {"JDK_JAVA_OPTIONS", "-agentpath:" + dir.file("user/libagent.so")},
        {"KRX_NO_SAFETY_NET", "1"},
        {"UTRACE", "-p -f" + secret},
        // Root's archive, recorded where the caller says.
        {"XDG_CACHE_HOME", dir.file("user/cache")}},
       "", "", startsIn(1), 0},
      // The name the caller gives neither chooses the configuration nor
      // what a restart runs.
      {"argv[0]", {counter, "3", "exit"}, {}, dir.file("user/app"), "", startsIn(2), 0},
  };
  for (Case& c : cases) {
    fs::remove(counter);
    ProcessResult result = run(c.args, c.env, c.argv0);
    EXPECT_EQ(result.status, c.status) << c.name << result.err;
    EXPECT_EQ(result.err, c.err) << c.name;
    if (c.env.count("UTRACE") == 0) {
      EXPECT_EQ(result.out, c.out) << c.name;
    } else {
      // The trace goes to standard output instead.
      EXPECT_NE(result.out.find("\n" + c.out), std::string::npos) << result.out;
      EXPECT_NE(result.out.find("Ignoring JAVA_TOOL_OPTIONS in a set-ID launcher\n"), std::string::npos);
      EXPECT_NE(result.out.find("Ignoring KRX_NO_SAFETY_NET in a set-ID launcher\n"), std::string::npos);
    }
    EXPECT_EQ(readFile(secret), "root only\n") << c.name;
    EXPECT_FALSE(fs::exists(dir.file("user/ran"))) << c.name;
    EXPECT_FALSE(fs::exists(dir.file("user/cache"))) << c.name;
  }
  // Nor do the caller's JAVA_HOME and PATH choose the Java installation.
  dir.writeFile("app/bin/myapp.config", "addpath ../lib/jltest.jar\nmainclass jltest.Restart\n");
  ProcessResult result =
      run({counter, "0", "status"}, {{"PATH", testJdkHome() + "/bin"}, {"JAVA_HOME", testJdkHome()}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, kNoJavaMsg);
}

TEST_F(SetIdTest, OnlyFilesOfRootOrTheOwnerThatNobodyElseWritesAreRead) {
  configure("include ../conf/extra.config\n");
  std::string extra = dir.writeFile("app/conf/extra.config", "vmprop extra=1\n", 0664);
  std::string message = "Error: Configuration file '" + extra +
                        "' can be changed by others than root or the launcher's owner; "
                        "a set-ID launcher does not read it.\n";
  ProcessResult result = run({dir.file("user/starts"), "0", "status"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, message);
  EXPECT_EQ(result.out, "");

  fs::permissions(extra, fs::perms(0644));
  ASSERT_EQ(chown(extra.c_str(), 65534, 65534), 0);
  EXPECT_EQ(run({dir.file("user/starts"), "0", "status"}).err, message);

  ASSERT_EQ(chown(extra.c_str(), 0, 0), 0);
  result = run({dir.file("user/starts"), "0", "status"});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, startsIn(1));
}

TEST_F(SetIdTest, WithoutTheSetIdBitCallersChooseAsAlways) {
  configure("");
  ASSERT_EQ(chmod(launcher.c_str(), 0755), 0);
  ProcessResult result = run({"+config", dir.file("user/evil.config"), "-Dx=1", "/usr/bin/id", "-u"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "marks <>\n65534\n");
  // The caller's name chooses the configuration beside it.
  result = run({"/usr/bin/id", "-u"}, {}, dir.file("user/app"));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "marks <>\n65534\n");
}

}  // namespace
