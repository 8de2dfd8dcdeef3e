// +javacmd prints the java command that starts the same application; run by
// sh, that command gets the same arguments and system properties.

#include <gtest/gtest.h>

#include "launcher.h"

namespace {

class JavaCmdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    launcher = installLauncher(dir, "my app/bin/myapp");
    jar = dir.copyFile(testAppsJar(), "my app/lib/jltest.jar");
    work = dir.makeDir("work dir");
  }
  ProcessResult run(const std::string& config, std::vector<std::string> args) {
    dir.writeFile("my app/bin/myapp.config", config);
    args.insert(args.begin(), launcher);
    return runLauncher(launcher, args, {{"PATH", kPathWithoutJava}}, dir.path());
  }
  TempDir dir;
  std::string launcher, jar, work;
};

TEST_F(JavaCmdTest, PrintedCommandRunsTheSameApplication) {
  std::string jdk = testJdkHome();
  ProcessResult printed = run("javahome " + jdk +
                                  "\n"
                                  "cd ../../work dir\n"
                                  "mainclass jltest.ShowLaunch\n"
                                  "addpath ../lib/jltest.jar\n"
                                  "vmprop show=greeting,other\n"
                                  "vmprop greeting=hello world\n"
                                  "vmprop other=$x \"q\" \\b 'it'\n"
                                  "apparg first arg\n"
                                  "exportenv true\n",
                              {"+javacmd", "-Dcmd=1", "second", "tab\there", "*", "", "\x1b[31mred"});
  ASSERT_EQ(printed.status, 0) << printed.err;
  EXPECT_EQ(printed.err, "");
  EXPECT_EQ(printed.out,
            "# exportenv: the application gets no environment dump (corvane.exportenv) from this command\n"
            "# All paths passed to the launcher command must be absolute for this cd to be valid\n"
            "cd \"" + work + "\"\n\n" +
            jdk + "/bin/java -server -Dshow=greeting,other \"-Dgreeting=hello world\" "
            "'-Dother=$x \"q\" \\b '\\''it'\\' -Dcmd=1 "
            "\"-Djava.class.path=" + jar + "\" -Dlauncher.jdk.home=" + jdk + " -Dlauncher.program=" + jdk +
            "/bin/java \"-Dcorvane.executable.path=" + launcher + "\" jltest.ShowLaunch \"first arg\" second "
            "'tab\there' '*' \"\" \"$(printf '\\033')\"'[31mred'\n");

  ProcessCommand shell;
  shell.program = "/bin/sh";
  shell.argv = {"sh", "-c", printed.out};
  shell.cwd = dir.path();
  ProcessResult ran = runProcess(shell);
  EXPECT_EQ(ran.err, "");
  EXPECT_EQ(ran.out,
            "args 6\n"
            "arg <first arg>\narg <second>\narg <tab\there>\narg <*>\narg <>\narg <\x1b[31mred>\n"
            "prop greeting=<hello world>\n"
            "prop other=<$x \"q\" \\b 'it'>\n"
            "dir " + work + "\n");
}

TEST_F(JavaCmdTest, WithoutCdThereIsNoCdLine) {
  ProcessResult printed = run("javahome " + testJdkHome() + "\nmainclass jltest.ShowLaunch\n", {"+javacmd"});
  ASSERT_EQ(printed.status, 0) << printed.err;
  EXPECT_EQ(printed.out.rfind(testJdkHome() + "/bin/java -server ", 0), 0u) << printed.out;
  EXPECT_EQ(printed.out.substr(printed.out.size() - 19), " jltest.ShowLaunch\n");
}

}  // namespace
