// Today's Java tools wrapped by the launcher the way their own scripts start
// them: their -X, -D and -verbose options reach the tool, and their *_OPTS
// variables reach the JVM.

#include <gtest/gtest.h>

#include <filesystem>

#include "launcher.h"

namespace {

class ToolTest : public ::testing::Test {
 protected:
  ProcessResult run(const std::string& tool, const std::string& config, std::vector<std::string> args,
                    std::map<std::string, std::optional<std::string>> env = {}) {
    std::string launcher = installLauncher(dir, "bin/" + tool);
    dir.writeFile("bin/" + tool + ".config", config);
    args.insert(args.begin(), launcher);
    env.emplace("PATH", kPathWithoutJava);
    return runLauncher(launcher, args, env, dir.file("project"));
  }
  TempDir dir;
};

class JavacTest : public ToolTest, public ::testing::WithParamInterface<std::string> {};

// javac's own -X option, as the JDK's javac prints its findings.
TEST_P(JavacTest, LintOptionsReachTheCompiler) {
  dir.writeFile("project/W.java", "import java.util.*;\nclass W { List l = new ArrayList(); }\n");
  ProcessResult direct = runLauncher(GetParam() + "/bin/javac", {"javac", "-Xlint:all", "-d", "direct", "W.java"},
                                     {}, dir.file("project"));
  ASSERT_NE(direct.err.find("warning: [rawtypes]"), std::string::npos) << direct.err;
  std::string config = "javahome " + GetParam() + "\noptions appargs\nmainclass com.sun.tools.javac.Main\n";
  ProcessResult result = run("javac", config, {"-Xlint:all", "-d", "out", "W.java"});
  EXPECT_EQ(result.status, direct.status);
  EXPECT_EQ(result.err, direct.err);
  EXPECT_EQ(result.out, direct.out);
  EXPECT_TRUE(std::filesystem::exists(dir.file("project/out/W.class")));
}

INSTANTIATE_TEST_SUITE_P(Jdks, JavacTest, ::testing::ValuesIn(installedJdks()),
                         [](const auto& info) { return jdkTestName(info.param); });

// Debian's maven package, started as its mvn script starts it.
TEST_F(ToolTest, MavenDebugBuildWithMavenOpts) {
  dir.writeFile("project/pom.xml",
                "<project><modelVersion>4.0.0</modelVersion><groupId>t</groupId><artifactId>t</artifactId>"
                "<version>1</version><packaging>pom</packaging></project>\n");
  std::string config = "addjars /usr/share/maven/boot\n"
                       "vmprop classworlds.conf=/usr/share/maven/bin/m2.conf\n"
                       "vmprop maven.home=/usr/share/maven\n"
                       "vmprop maven.multiModuleProjectDirectory=$var(CWD)\n"
                       "vmparams $env(MAVEN_OPTS:)\n"
                       "options appargs\n"
                       "mainclass org.codehaus.plexus.classworlds.launcher.Launcher\n";
  std::string repository = dir.file("repo with space");
  std::string mavenOpts = "-Xmx256m '-Dmaven.repo.local=" + repository + "'";
  ProcessResult result =
      run("mvn", config, {"-o", "-B", "-X", "validate"}, {{"JAVA_HOME", testJdkHome()}, {"MAVEN_OPTS", mavenOpts}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("[DEBUG] Using local repository at " + repository), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("[INFO] BUILD SUCCESS"), std::string::npos) << result.out;
}

// Debian's ant package, started as its ant script starts it.
TEST_F(ToolTest, AntVerboseBuildWithAntOpts) {
  dir.writeFile("project/build.xml",
                "<project default=\"hello\"><target name=\"hello\"><echo message=\"${greeting} ${x}\"/></target>"
                "</project>\n");
  std::string config = "addpath /usr/share/ant/lib/ant-launcher.jar\n"
                       "vmprop ant.home=/usr/share/ant\n"
                       "vmparams $env(ANT_OPTS:)\n"
                       "options appargs\n"
                       "mainclass org.apache.tools.ant.launch.Launcher\n";
  ProcessResult result = run("ant", config, {"-verbose", "-Dx=from the command line"},
                             {{"JAVA_HOME", testJdkHome()}, {"ANT_OPTS", "\"-Dgreeting=hello from\" -Xss2m"}});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("Build sequence for target(s) `hello' is [hello]\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("     [echo] hello from from the command line\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nBUILD SUCCESSFUL\n"), std::string::npos);
}

}  // namespace
