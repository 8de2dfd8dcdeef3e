// What another local user can do to someone else's launch through a
// directory they share: each row is what user nobody prepares where the
// victim's application lives or writes, and what root's launch makes of it.
// Every row but the installations that must keep working was a way in.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "launcher.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned kNobody = 65534;
constexpr unsigned kUsers = 100;  // Debian's "users" group, of which nobody is no member

class TrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    fs::permissions(dir.path(), fs::perms(0755));
    // A directory all share, as /tmp.
    fs::permissions(dir.makeDir("shared"), fs::perms(01777));
    dir.copyFile(testAppsJar(), "lib/jltest.jar");
  }
  /// What the other user makes: theirs, as if they had made it.
  std::string theirs(const std::string& relative, const std::string& content = "") {
    std::string path = dir.writeFile(relative, content);
    for (std::string part = relative; !part.empty() && part != "shared"; part = fs::path(part).parent_path()) {
      EXPECT_EQ(chown(dir.file(part).c_str(), kNobody, kNobody), 0);
    }
    return path;
  }
  /// An application installed by root at relative, running jltest.Tell with
  /// the given lines.
  std::string install(const std::string& relative, const std::string& lines = "") {
    std::string launcher = installLauncher(dir, relative);
    dir.writeFile(relative + ".config", "javahome " + testJdkHome() + "\naddpath " + dir.file("lib/jltest.jar") +
                                            "\nmainclass jltest.Tell\n" + lines);
    return launcher;
  }
  std::string configRefused(const std::string& file, const std::string& why) {
    return "Error: Configuration file '" + file + "' is not read: " + why +
           ". A configuration is read only where nobody but root, the user running the launcher, the launcher's "
           "owner and a group that can change the launcher can change it or a directory above it.\n";
  }
  TempDir dir;
};

const std::string kOwnFileRule =
    "; the launcher writes only a regular file of its own with one name, in a directory that nobody but root and "
    "the user running it can change.\n";

TEST_F(TrustTest, AnotherUsersFilesChooseNothing) {
  const std::string shared = dir.file("shared");
  const std::string jdk = testJdkHome();
  // An installed application, an administrator's override of it and a
  // user's, which comes last; the administrator's tries to keep the user's
  // out, which only the application itself may.
  const std::string site = "/etc/jltest-overrides.d";
  const std::map<std::string, std::optional<std::string>> xdg = {{"XDG_CONFIG_HOME", dir.file("xdg")}};
  auto overridden = [&](const std::string& lines, int userMode = 0644) {
    std::string app = install("svc/jltest-overrides", lines);
    fs::create_directories(site);
    std::ofstream(site + "/10-site.config") << "options nooverrides\nvmprop tell=site\n";
    dir.writeFile("xdg/jltest-overrides/heap.config", "vmprop tell=user\n", userMode);
    return app;
  };
  struct Case {
    const char* name;
    std::function<std::string()> prepare;  ///< returns the program root runs
    std::vector<std::string> args;
    int status;
    std::string out, err;
    std::string cwd = "";  ///< where root works, below the test's directory
    std::map<std::string, std::optional<std::string>> env = {};
  } cases[] = {
      // The victim keeps a single-file application in /tmp; the other user
      // puts a configuration beside it, which would win over its own.
      {"a configuration beside a copy in a shared directory",
       [&] {
         theirs("shared/jlapp.config", "javahome " + jdk + "\nmainclass jltest.Status\n");
         return packApplication(dir, "shared/jlapp", testAppsJar(), "javahome " + jdk + "\nmainclass jltest.Tell\n");
       },
       {}, 1, "", configRefused(shared + "/jlapp.config", "it belongs to user 'nobody'")},
      // A file of root's whose text another user chooses (a set-ID
      // program's /proc/PID/cmdline holds their arguments), reached through
      // a link of theirs or a second name made in a shared directory.
      {"another user's link beside a copy in a shared directory",
       [&] {
         std::string chosen = dir.writeFile("chosen", "javahome " + jdk + "\nmainclass jltest.Status\n");
         EXPECT_EQ(symlink(chosen.c_str(), dir.file("shared/linked.config").c_str()), 0);
         EXPECT_EQ(lchown(dir.file("shared/linked.config").c_str(), kNobody, kNobody), 0);
         return install("shared/linked");
       },
       {}, 1, "", configRefused(shared + "/linked.config", "it is a link of user 'nobody'")},
      {"a second name of root's file in a shared directory",
       [&] {
         std::string app = install("shared/named");
         std::string chosen = dir.writeFile("chosen", "javahome " + jdk + "\nmainclass jltest.Status\n");
         fs::remove(app + ".config");
         EXPECT_EQ(link(chosen.c_str(), (app + ".config").c_str()), 0);
         return app;
       },
       {}, 1, "",
       configRefused(shared + "/named.config", "it has 2 names, and others can make names in '" + shared + "'")},
      {"a configuration a group can change",
       [&] {
         std::string app = install("shared/grp/app");
         fs::permissions(dir.file("shared/grp/app.config"), fs::perms(0664));
         EXPECT_EQ(chown(dir.file("shared/grp/app.config").c_str(), 0, kUsers), 0);
         return app;
       },
       {}, 1, "", configRefused(shared + "/grp/app.config", "group 'users' can change it")},
      // An application installed at /tmp/x/app has /tmp for its home, where
      // anyone can make adm/security/keys, which switches the class run.
      {"the home's adm/security/keys in a shared directory",
       [&] {
         theirs("shared/adm/security/keys");
         return install("shared/x/app");
       },
       {}, 0, "nothing 0\n", ""},
      // Installations that must keep working: one a group shares, whose
      // members could change the launcher itself anyway, and a user's own.
      {"an installation a group shares",
       [&] {
         std::string app = install("grp/bin/app");
         for (const std::string& path : {dir.file("grp/bin"), dir.file("grp/bin/app.config")}) {
           EXPECT_EQ(chown(path.c_str(), 0, kUsers), 0);
         }
         fs::permissions(dir.file("grp/bin"), fs::perms(02775));
         fs::permissions(dir.file("grp/bin/app.config"), fs::perms(0664));
         return app;
       },
       {}, 0, "nothing 0\n", ""},
      {"a user's own copy run by root",
       [&] {
         std::string app = install("shared/own/bin/app");
         theirs("shared/own/bin/app.config", readFile(app + ".config"));
         EXPECT_EQ(chown(app.c_str(), kNobody, kNobody), 0);
         return app;
       },
       {}, 0, "nothing 0\n", ""},
      // Whoever owns the directory one works in may have written its
      // project's files: root builds a user's checkout as Maven's own
      // script would. A /tmp/.mvn above one's own work is another's.
      {"the JVM options of another user's project root works in",
       [&] {
         theirs("shared/proj/.mvn/jvm.config", "-Dtell=project\n");
         return install("svc/app", "vmparamsfile $findup(.mvn)/.mvn/jvm.config\n");
       },
       {}, 0, "project 0\n", "", "shared/proj"},
      {"the JVM options of a project above root's work",
       [&] {
         theirs("shared/.mvn/jvm.config", "-Dtell=project\n");
         dir.makeDir("shared/work");
         return install("svc/app", "vmparamsfile $findup(.mvn)/.mvn/jvm.config\n");
       },
       {}, 1, "",
       "Error: Configuration file '" + shared + "/.mvn/jvm.config' is not read: '" + shared +
           "/.mvn' belongs to user 'nobody'. A project's file is read only where nobody but root, the user running the "
           "launcher, the owner of the working directory, the launcher's owner and a group that can change the launcher "
           "can change it or a directory above it.\n",
       "shared/work"},
      // The log of a service: a directory a group can write, and another
      // user's FIFO (which blocked the start until they read it) or file in
      // a sticky one.
      {"a log in a directory a group can write",
       [&] {
         std::string glog = dir.makeDir("glog");
         EXPECT_EQ(chown(glog.c_str(), 0, kUsers), 0);
         fs::permissions(glog, fs::perms(0775));
         EXPECT_EQ(mkfifo(dir.file("glog/svc.log").c_str(), 0666), 0);
         return install("svc/svc", "daemonsupport " + glog + "\n");
       },
       {}, 1, "", "Error: Unable to open the log file '" + dir.file("glog/svc.log") + "': group 'users' can change '" +
                      dir.file("glog") + "'" + kOwnFileRule},
      {"a log directory that is another user's link",
       [&] {
         std::string logs = dir.makeDir("logs");
         EXPECT_EQ(symlink(logs.c_str(), dir.file("shared/logs").c_str()), 0);
         EXPECT_EQ(lchown(dir.file("shared/logs").c_str(), kNobody, kNobody), 0);
         return install("svc/svc", "daemonsupport " + shared + "/logs\n");
       },
       {}, 1, "", "Error: Unable to open the log file '" + shared + "/logs/svc.log': '" + shared +
                      "/logs' is a link of user 'nobody'" + kOwnFileRule},
      {"another user's FIFO as the log",
       [&] {
         EXPECT_EQ(mkfifo(dir.file("shared/svc.log").c_str(), 0666), 0);
         EXPECT_EQ(chown(dir.file("shared/svc.log").c_str(), kNobody, kNobody), 0);
         return install("svc/svc", "daemonsupport " + shared + "\n");
       },
       {}, 1, "", "Error: Unable to open the log file '" + shared + "/svc.log': it is a FIFO" + kOwnFileRule},
      {"another user's file as the log",
       [&] {
         theirs("shared/svc.log");
         fs::permissions(dir.file("shared/svc.log"), fs::perms(0666));
         return install("svc/svc", "daemonsupport " + shared + "\n");
       },
       {}, 1, "", "Error: Unable to open the log file '" + shared + "/svc.log': it belongs to user 'nobody'" +
                      kOwnFileRule},
      {"the site's and the user's overrides", [&] { return overridden(""); }, {}, 0, "user 0\n", "", "", xdg},
      {"+check naming where each option came from", [&] { return overridden(""); }, {"+check"}, 0,
       "Read the configuration '" + dir.file("svc/jltest-overrides.config") + "'.\nRead the configuration '" + site +
           "/10-site.config'.\nRead the configuration '" + dir.file("xdg/jltest-overrides/heap.config") +
           "'.\nJVM option '-Dtell=site' from line 2 of '" + site +
           "/10-site.config'.\nJVM option '-Dtell=user' from line 1 of '" +
           dir.file("xdg/jltest-overrides/heap.config") + "'.\nWould run jltest.Tell.main with the Java in '" + jdk +
           "'.\n",
       "", "", xdg},
      {"an application without overrides", [&] { return overridden("options nooverrides\n"); }, {}, 0,
       "nothing 0\n", "", "", xdg},
      {"a user's override others can change", [&] { return overridden("", 0666); }, {}, 1, "",
       configRefused(dir.file("xdg/jltest-overrides/heap.config"), "every user can change it"), "", xdg},
      // A copy named so that +unit would print settings of the name's choice.
      {"+unit of a copy named with line breaks",
       [&] {
         std::string name = "svc\nExecStartPre=evil\nUser=root";
         install("svc/app");
         fs::copy_file(dir.file("svc/app.config"), dir.file("svc/" + name + ".config"));
         return dir.symlink(dir.file("svc/app"), "svc/" + name);
       },
       {"+unit"}, 1, "",
       "Error: +unit prints no unit: the application name \"svc\\x0aExecStartPre=evil\\x0aUser=root\" holds control "
       "characters, which a unit cannot hold.\n"},
  };
  for (const Case& c : cases) {
    std::string program = c.prepare();
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessCommand command;
    command.program = program;
    command.argv = argv;
    command.env = c.env;
    command.env.emplace("PATH", kPathWithoutJava);
    command.cwd = dir.file(c.cwd);
    // A FIFO nobody reads held the launch for ever.
    command.timeoutSeconds = 30;
    ProcessResult result = runProcess(command);
    EXPECT_EQ(result.status, c.status) << c.name << "\n" << result.err;
    EXPECT_EQ(result.out, c.out) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
    std::error_code ignored;
    fs::remove_all(dir.file("svc"), ignored);
    fs::remove_all(dir.file("shared/.mvn"), ignored);
    fs::remove(dir.file("shared/svc.log"), ignored);
    fs::remove_all(site, ignored);
    fs::remove_all(dir.file("xdg"), ignored);
  }
}

// Another user's pid file names a running instance of the launcher, theirs:
// root's service would refuse to start ("already running").
TEST_F(TrustTest, AnotherUsersPidFileIsNotBelieved) {
  std::string app = install("svc/svc", "pidfile " + dir.file("shared/svc.pid") + "\n");
  std::string config = theirs("shared/their.config", "javahome " + testJdkHome() + "\naddpath " +
                                                         dir.file("lib/jltest.jar") + "\nmainclass jltest.Waiter\n");
  ProcessCommand command;
  command.program = "/usr/bin/setpriv";
  command.argv = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", app, "+config", config, "0",
                  "until=" + dir.file("never")};
  command.env = {{"PATH", kPathWithoutJava}};
  RunningProcess their(command);
  ASSERT_TRUE(their.waitForOutput("ready\n"));
  theirs("shared/svc.pid", std::to_string(their.pid()) + "\n");
  ProcessResult result = runLauncher(app, {app}, {{"PATH", kPathWithoutJava}}, dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "nothing 0\n");
  EXPECT_EQ(result.err, "");
}

}  // namespace
