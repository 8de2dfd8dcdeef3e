// The launcher's own options as a user types them: the help text on a parse
// failure, +config, and what the configuration adds to the help.

#include <gtest/gtest.h>

#include <sstream>

#include "launcher.h"

namespace {


std::string optionLines(const std::string& prefix, bool usage, bool version, bool jpda) {
  auto line = [&](const std::string& name, const std::string& arg, const std::string& help) {
    return "    " + prefix + name + arg + "\n\t" + help + "\n";
  };
  const std::string classPathArg = " <directories and zip/jar files separated by path separators>";
  return line("+help", "", "Prints this help message") +
         (usage ? line("+usage", "", "Prints a summary of command syntax and options") : "") +
         (version ? line("+version", "", "Prints product copyright and version information") : "") +
         line("+debug", "", "Runs with debugging information enabled") +
         line("+config", " <config filename>", "Uses the specified configuration file instead of the default") +
         line("+check", "", "Checks that the application would start, without running it") +
         line("+cache", " [clear]",
              "Lists the jars and Java runtimes extracted into the user's cache, or removes those not in use") +
         line("+desktop", " {install|uninstall} [--prefix <dir>]",
              "Installs or removes the application's desktop entry, icons and file types") +
         line("+javahome", " <directory>", "Specifies the installation directory of the Java VM") +
         line("-D", "<name>=<value>", "Sets a Java system property") +
         line("-verbose", "[:{class|gc|jni}]", "Enables verbose output from the Java VM") +
         line("-splash:", "<image>", "Shows the image while the Java VM starts") +
         line("-X", "", "Prints a summary of non-standard command options") +
         line("+classicvm", "", "Selects the Classic VM") + line("+hotspotvm", "", "Selects the HotSpot VM") +
         line("+clientvm", "", "Selects the HotSpot Client VM 2.0 [JDK 1.3]") +
         line("+servervm", "", "Selects the HotSpot Server VM 2.0 [JDK 1.3]") +
         line("+classpath", "", "Same as +classpath/a") +
         line("+classpath/a", classPathArg, "Appends to the classpath from the config file") +
         line("+classpath/p", classPathArg, "Prepends to the classpath from the config file") +
         line("+classpath/r", classPathArg, "Replaces the classpath from the config file") +
         (jpda ? line("+jpda", "[:[{paused|running}][,address=[<host>:]<port#>]]",
                      "Turns on JPDA to allow debugging from a JPDA debugger")
               : "") +
         line("+J", "<option>", "Passes the option to the Java VM as it stands") +
         line("+@", "<file>", "Reads options and arguments from the file, as java reads @file");
}

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override { launcher = installLauncher(dir, "app/bin/myapp"); }
  ProcessResult run(std::vector<std::string> args, const std::string& cwd = "") {
    args.insert(args.begin(), launcher);
    return runLauncher(launcher, args, {{"PATH", kPathWithoutJava}}, cwd.empty() ? dir.path() : cwd);
  }
  TempDir dir;
  std::string launcher;
};

TEST_F(CommandLineTest, ParseFailureShowsTheConfiguredHelpAndFails) {
  dir.writeFile("app/bin/myapp.config",
                "cmdprefix my\nusageclass a.Usage\njpda running\nsetfromoption PORT=-port:server port\n"
                "setfromoption LOG=-log:  log file\n");
  for (const char* missing : {"+config", "+classpath", "+javahome", "+sig"}) {
    ProcessResult result = run({"data", missing});
    EXPECT_EQ(result.status, 1) << missing;
    EXPECT_EQ(result.err, "") << missing;
    EXPECT_EQ(result.out, "Usage: " + launcher + " <+options> <args>\n\nwhere options include:\n" +
                              optionLines("my", true, false, true) +
                              "    -port <value>\tserver port\n    -log <value>\tlog file\n")
        << missing;
  }
}

TEST_F(CommandLineTest, ConfigurationErrorWinsOverTheHelp) {
  dir.writeFile("app/bin/myapp.config", "vmtype turbo\n");
  ProcessResult result = run({"+config"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error: Unrecognized VM type in 'vmtype turbo' at line 1 in configuration file '" +
                            dir.file("app/bin/myapp.config") + "'.\n");
}

TEST_F(CommandLineTest, RefusedArgumentsShowThePlainHelp) {
  // The launcher's own failure is no reason to restart.
  dir.writeFile("app/bin/myapp.config", "restartonexit 1\n");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {{{"+config", ""}, "Error: The option '+config' needs a configuration file name.\n"},
               {{"+sig", "int,usr1"}, ""},
               {{"+jpdax"}, ""}};
  for (const Case& c : cases) {
    ProcessResult result = run(c.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "Usage: " + launcher + " <+options> <args>\n\nwhere options include:\n" +
                              optionLines("", false, false, false));
  }
}

TEST_F(CommandLineTest, RelativeConfigOptionIsFoundBesideTheLauncher) {
  dir.writeFile("app/bin/conf/other.config", "vmtype turbo\n");
  dir.writeFile("conf/other.config", "# the one in the working directory is not read\n");
  ProcessResult result = run({"+config", "conf/other.config"}, dir.path());
  EXPECT_EQ(result.err, "Error: Unrecognized VM type in 'vmtype turbo' at line 1 in configuration file '" +
                            dir.file("app/bin/conf/other.config") + "'.\n");
}

TEST_F(CommandLineTest, MissingOptionValueInSetFromOptionIsAConfigurationError) {
  dir.writeFile("app/bin/myapp.config", "setfromoption PORT=-port\n");
  ProcessResult result = run({"data", "-port"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: A value must be specified for option '-port'.\n");
  EXPECT_EQ(result.out, "");
}

TEST_F(CommandLineTest, DisabledOptionsReachTheApplicationAndEnabledOnesDoNot) {
  dir.writeFile("app/bin/myapp.config", "versionclass a.Version\n");
  ProcessResult result =
      runLauncher(launcher, {launcher, "+version", "+usage", "x"}, {{"UTRACE", "-p"}, {"PATH", kPathWithoutJava}}, dir.path());
  EXPECT_NE(result.out.find("Converted disabled arg <+usage> into an application arg\n"), std::string::npos);
  EXPECT_EQ(result.out.find("Converted disabled arg <+version>"), std::string::npos);
  EXPECT_EQ(result.err, kNoJavaMsg);
}

// Ready for systemctl edit --full --force: the real file, and each argument
// as systemd reads it back.
TEST_F(CommandLineTest, UnitRunsTheInstalledApplicationAsAService) {
  dir.writeFile("app/bin/myapp.config", "daemonsupport /var/log\n");
  ProcessResult result = run({"-v", "+unit", "--port", "80", "two words", "say \"hi\"\\", "50%", "$HOME", ""});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("\nExecStart=" + launcher + " --port 80 \"two words\" \"say \\\"hi\\\"\\\\\" 50%% $$HOME \"\"\n"
                            "ExecReload=/bin/kill -HUP $MAINPID\nKillMode=mixed\n"),
            std::string::npos)
      << result.out;
  // Given as another option's value, +unit still prints the unit, without arguments.
  result = run({"+javahome", "+unit"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("\nExecStart=" + launcher + "\nExecReload="), std::string::npos) << result.out;
}

// The README's example unit is what +unit prints for its example
// configuration, word for word.
TEST_F(CommandLineTest, ReadmeUnitIsWhatUnitPrints) {
  const std::string readme = readFile(README_PATH);
  std::size_t at = readme.find("### Running as a service");
  auto next = [&](const std::string& open, const std::string& close) {
    at = readme.find(open, at) + open.size();
    return readme.substr(at, readme.find(close, at) - at);
  };
  const std::string config = next("`/opt/myapp/bin/myapp.config`\n\n```\n", "```\n");
  std::istringstream command(next("\n`/opt/myapp/bin/myapp +unit ", "` prints"));
  std::string unit = next("```ini\n", "```\n");
  std::string installed = installLauncher(dir, "opt/myapp/bin/myapp");
  dir.writeFile("opt/myapp/bin/myapp.config", config);
  std::vector<std::string> args = {installed, "+unit"};
  for (std::string word; command >> word;) args.push_back(word);
  unit.replace(unit.find("ExecStart=/opt/myapp/bin/myapp"), 30, "ExecStart=" + installed);
  EXPECT_EQ(runLauncher(installed, args, {{"PATH", kPathWithoutJava}}, dir.path()).out, unit);
}

// What the configuration needs of systemd is in the unit: a cache directory
// for what it caches or extracts, a runtime directory for its pid file, a
// reload for its log, the restart status; and the user it runs as.
TEST_F(CommandLineTest, UnitHasWhatTheConfigurationNeeds) {
  const std::string hash(64, 'a');
  const std::string cache = "# The start-up cache and what the application extracts ($CACHE_DIRECTORY).\n"
                            "CacheDirectory=myapp\n";
  struct Case {
    std::string config;
    std::vector<std::string> args;
    std::string lines;  ///< found in the unit, or the message without one
    int status = 0;
  } cases[] = {
      {"options startupcache\n", {}, cache},
      {"packedjar " + hash + " lib.jar\n", {}, cache},
      {"packedruntime " + hash + "\n", {}, cache},
      {"pidfile /run/svc/a/myapp.pid\n", {},
       "other tools.\nRuntimeDirectory=svc/a\nPIDFile=/run/svc/a/myapp.pid\n"},
      {"pidfile ../run/myapp.pid\n", {},
       "#User=myapp\n# systemd knows the main process without a pid file: this one is for other tools.\n"
       "# A user other than root writes it in RuntimeDirectory=: \"pidfile /run/myapp/myapp.pid\".\n"
       "RuntimeDirectory=myapp\nPIDFile=" + dir.file("app/run/myapp.pid") + "\n\n[Install]"},
      {"restartonexit 3\n", {},
       "SuccessExitStatus=143\n# The launcher restarts the application itself on status 3 (restartonexit),\n"
       "# up to restartlimit times, and systemd restarts the unit on top of that:\n"
       "# the counts multiply. To leave restarts to systemd, remove restartonexit.\nRestartForceExitStatus=3\n"},
      {"options notifyready\n", {}, "NotifyAccess=main\nExecStart="},
      {"readiness started\n", {}, "NotifyAccess=main\nExecStart="},
      {"", {"--user", "nobody"}, "SuccessExitStatus=143\nUser=nobody\nGroup=nogroup\n\n[Install]"},
      {"", {"--user=no one%"}, "User=no one%%\nGroup=no one%%\n"},
      {"", {"--user"}, "Error: +unit prints no unit: --user needs the name of the user the service runs as.\n", 1},
      {"", {"--user", "a\nb"},
       "Error: +unit prints no unit: the user \"a\\x0ab\" holds control characters, which a unit cannot hold.\n", 1},
  };
  for (const Case& c : cases) {
    dir.writeFile("app/bin/myapp.config", c.config);
    std::vector<std::string> args = {"+unit"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult result = run(args);
    EXPECT_EQ(result.status, c.status) << c.config << result.err;
    if (c.status != 0) {
      EXPECT_EQ(result.err, c.lines);
      continue;
    }
    EXPECT_NE(result.out.find(c.lines), std::string::npos) << c.config << result.out;
    // Readiness is advised where the configuration says nothing of it.
    bool readinessSaid = c.config == "options notifyready\n" || c.config.starts_with("readiness");
    EXPECT_EQ(result.out.find("\n# Ready once") == std::string::npos, readinessSaid) << c.config;
  }
}

}  // namespace
